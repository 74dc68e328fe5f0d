// LdLogger: the shared collector of errors and writer of the daily error and debug log files.
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/LdError.h"

// One shared instance for the process (`shared()`); tests may make their own. Thread-safe: errors and
// messages may come from any thread. Files are written only while a folder is set.
class LdLogger {
public:
    static constexpr const char* ErrorLogFilePrefix = "Ledra_Error_Log_";
    static constexpr const char* DebugLogFilePrefix = "Ledra_Debug_Log_";
    // The newest errors kept in memory; older ones are dropped (a long run must not grow without bound).
    static constexpr std::size_t kMaxKeptErrors = 1000;
    static constexpr int kErrorLevel = 1;
    static constexpr int kDebugLevel = 3;

    LdLogger() = default;
    LdLogger(const LdLogger&) = delete;
    LdLogger& operator=(const LdLogger&) = delete;
    ~LdLogger();

    static LdLogger& shared();

    // folderURL — the folder of the log files; nothing sets it means no files are written.
    std::optional<std::filesystem::path> folderURL() const;
    void setFolderURL(std::optional<std::filesystem::path> folder);

    bool errorLoggingEnabled() const;
    void setErrorLoggingEnabled(bool enabled);
    bool logToConsole() const;
    void setLogToConsole(bool enabled);
    bool useLoggingPrefix() const;
    void setUseLoggingPrefix(bool enabled);
    int logLevel() const;
    void setLogLevel(int level);

    // add(error:) — keeps the error in `errors` and, when error logging is on, queues its log description for the
    // error log. The factories of LdError call this for every error they make.
    void addError(const LdError& error);
    // add(error:print:)
    void addError(const LdError& error, bool print);
    // log(error:) — level 1.
    void logError(std::string_view message);
    // debugLog — level 3.
    void debugLog(std::string_view message);
    // log(_:level:print:) — written (to the debug log) only when `level` is not above logLevel.
    void log(std::string_view message, int level, bool print = false);

    // The newest errors of this run, oldest first.
    std::vector<LdError> errors() const;
    std::size_t errorCount() const;
    void clearErrors();

    // saveToDisk — appends buffered messages to today's files. Called after every message; cheap when
    // nothing is buffered.
    void saveToDisk();
    // closeFileHandles — nothing is kept open between writes; kept for callers that close at the end of a run.
    void closeFileHandles();
    // clearExistingLogs — removes every log file of both prefixes in the folder.
    void clearExistingLogs();
    // logFilesWithPrefix — the existing log files of one prefix, sorted by name (so by day).
    std::vector<std::filesystem::path> logFilesWithPrefix(std::string_view prefix) const;

    // The file name of a prefix on the day of `date` in local time: prefix + "yyyy_MM_dd".
    static std::string logFileName(std::string_view prefix, LdDate date);
    // "yyyy-MM-dd hh:mm:ss" in local time (hh on the 12-hour clock).
    static std::string messageTimeStamp(LdDate date);

private:
    struct Pending {
        bool isError;
        std::string line;
    };
    void enqueueLocked(bool isError, std::string_view message);
    void writePendingLocked();

    mutable std::mutex mutex_;
    std::optional<std::filesystem::path> folder_;
    bool errorLoggingEnabled_ = true;
    bool logToConsole_ = false;
    bool useLoggingPrefix_ = true;
    int logLevel_ = kErrorLevel;
    std::deque<LdError> errors_;
    std::vector<Pending> logStrings_;
    bool reportedWriteFailure_ = false;
};
