// What every `ledra` command shares: the global options, the streams, machine output, the password
// source and the way a command reports failure.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

// Exit statuses of `ledra`.
inline constexpr int kLdExitSuccess = 0;
inline constexpr int kLdExitFailure = 1;
inline constexpr int kLdExitUsage = 2;

struct LdCliStreams {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    // Whether standard input is a terminal, so a password may be asked for.
    bool inputIsTerminal = false;
};

class LdCliContext {
public:
    explicit LdCliContext(LdCliStreams streams) : streams_(streams) {}

    // Global options, set before the command runs.
    std::optional<std::filesystem::path> databasesFolder;
    std::optional<std::filesystem::path> backupsFolder;
    bool json = false;

    std::ostream& out() { return streams_.out; }
    std::ostream& err() { return streams_.err; }

    // Prints a result: as JSON with --json, else the human text (a newline is added when missing).
    void printResult(const LdValue& value, const std::string& humanText);
    // Reports a failure on stderr and returns the failure exit status.
    int fail(const std::string& message);
    int fail(const LdError& error);
    // Progress of long work, on stderr so that it never mixes with machine output.
    void progress(const std::string& description, double fractionCompleted);

    // The password for `purpose` (a database name): LEDRA_PASSWORD, else a prompt without echo when
    // standard input is a terminal. Nothing, with the reason on stderr, when neither is possible.
    std::optional<std::string> readPassword(const std::string& purpose);

    // A password where one may be needed: LEDRA_PASSWORD, else a prompt when standard input is a
    // terminal, else the empty text (no password).
    std::string optionalPassword(const std::string& purpose);

    // Reading of terminal passwords; tests replace it.
    std::function<std::optional<std::string>(const std::string& prompt)> terminalPasswordReader;

private:
    LdCliStreams streams_;
};

// The JSON text of a value (dates as ISO 8601 text, data as Base64, decimals as their text).
std::string ldJsonText(const LdValue& value, bool pretty = true);
