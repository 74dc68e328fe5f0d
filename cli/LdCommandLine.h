// The `ledra` command line: global options, one subcommand area per part of the library.
#pragma once

#include <string>
#include <vector>

#include "cli/LdCliContext.h"

// Runs `ledra` with `arguments` (without the program name). Returns the exit status: 0 success, 1
// failure, 2 usage error.
int ldRunCommandLine(const std::vector<std::string>& arguments, LdCliStreams streams);
