// The `ledra` program: sets up the process-wide services and runs the command line.
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/support/LdLogger.h"
#include "core/support/platform/LdApplication.h"

#include "cli/LdCommandLine.h"

int main(int argc, char** argv) {
    LdLogger::shared().setFolderURL(LdApplication::logsFolder());
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = ldRunCommandLine(
            arguments, {std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1});
    LdLogger::shared().saveToDisk();
    return status;
}
