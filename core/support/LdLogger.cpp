// The shared logger: keeps the newest errors, buffers messages and appends them to daily log files.
#include "core/support/LdLogger.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <system_error>

#include "core/support/detail/LdLocalTime.h"
#include "core/support/platform/LdClock.h"

LdLogger::~LdLogger() {
    std::lock_guard lock(mutex_);
    writePendingLocked();
}

LdLogger& LdLogger::shared() {
    // Never destroyed: errors may be created while other statics are torn down at exit.
    static auto* logger = new LdLogger();  // NOLINT: intentionally leaked process-wide instance
    return *logger;
}

std::optional<std::filesystem::path> LdLogger::folderURL() const {
    std::lock_guard lock(mutex_);
    return folder_;
}

void LdLogger::setFolderURL(std::optional<std::filesystem::path> folder) {
    std::lock_guard lock(mutex_);
    writePendingLocked();
    folder_ = std::move(folder);
    reportedWriteFailure_ = false;
}

bool LdLogger::errorLoggingEnabled() const {
    std::lock_guard lock(mutex_);
    return errorLoggingEnabled_;
}

void LdLogger::setErrorLoggingEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    errorLoggingEnabled_ = enabled;
}

bool LdLogger::logToConsole() const {
    std::lock_guard lock(mutex_);
    return logToConsole_;
}

void LdLogger::setLogToConsole(bool enabled) {
    std::lock_guard lock(mutex_);
    logToConsole_ = enabled;
}

bool LdLogger::useLoggingPrefix() const {
    std::lock_guard lock(mutex_);
    return useLoggingPrefix_;
}

void LdLogger::setUseLoggingPrefix(bool enabled) {
    std::lock_guard lock(mutex_);
    useLoggingPrefix_ = enabled;
}

int LdLogger::logLevel() const {
    std::lock_guard lock(mutex_);
    return logLevel_;
}

void LdLogger::setLogLevel(int level) {
    std::lock_guard lock(mutex_);
    logLevel_ = level;
}

void LdLogger::addError(const LdError& error) {
    addError(error, false);
}

void LdLogger::addError(const LdError& error, bool print) {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
    if (errors_.size() > kMaxKeptErrors) {
        errors_.pop_front();
    }
    if (print || logToConsole_) {
        std::cerr << error.description() << '\n';
    }
    if (errorLoggingEnabled_ && kErrorLevel <= logLevel_ && folder_) {
        // The backtrace is symbolised here, only because the error is written.
        enqueueLocked(true, error.logDescription());
        writePendingLocked();
    }
}

void LdLogger::logError(std::string_view message) {
    log(message, kErrorLevel);
}

void LdLogger::debugLog(std::string_view message) {
    log(message, kDebugLevel);
}

void LdLogger::log(std::string_view message, int level, bool print) {
    std::lock_guard lock(mutex_);
    if (level < 0 || level > 4 || level > logLevel_) {
        return;
    }
    if (print || logToConsole_) {
        std::cerr << message << '\n';
    }
    if (!folder_) {
        return;
    }
    enqueueLocked(level == kErrorLevel, message);
    writePendingLocked();
}

std::vector<LdError> LdLogger::errors() const {
    std::lock_guard lock(mutex_);
    return {errors_.begin(), errors_.end()};
}

std::size_t LdLogger::errorCount() const {
    std::lock_guard lock(mutex_);
    return errors_.size();
}

void LdLogger::clearErrors() {
    std::lock_guard lock(mutex_);
    errors_.clear();
}

void LdLogger::saveToDisk() {
    std::lock_guard lock(mutex_);
    writePendingLocked();
}

void LdLogger::closeFileHandles() {
    saveToDisk();
}

void LdLogger::clearExistingLogs() {
    std::lock_guard lock(mutex_);
    logStrings_.clear();
    if (!folder_) {
        return;
    }
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator(*folder_, code)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(ErrorLogFilePrefix) || name.starts_with(DebugLogFilePrefix)) {
            std::filesystem::remove(entry.path(), code);
        }
    }
}

std::vector<std::filesystem::path> LdLogger::logFilesWithPrefix(std::string_view prefix) const {
    std::vector<std::filesystem::path> files;
    std::optional<std::filesystem::path> folder = folderURL();
    if (!folder || prefix.empty()) {
        return files;
    }
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator(*folder, code)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string LdLogger::logFileName(std::string_view prefix, LdDate date) {
    const ld::detail::LocalTime local = ld::detail::localTime(date);
    char day[16];
    std::snprintf(day, sizeof day, "%04d_%02d_%02d", local.year, local.month, local.day);
    return std::string(prefix) + day;
}

std::string LdLogger::messageTimeStamp(LdDate date) {
    const ld::detail::LocalTime local = ld::detail::localTime(date);
    const int hour12 = local.hour % 12 == 0 ? 12 : local.hour % 12;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", local.year, local.month,
                  local.day, hour12, local.minute, local.second);
    return stamp;
}

void LdLogger::enqueueLocked(bool isError, std::string_view message) {
    std::string line;
    if (useLoggingPrefix_) {
        line = messageTimeStamp(LdClock::shared().now()) + (isError ? " [ERROR] " : " [DEBUG] ");
    }
    line += message;
    logStrings_.push_back({isError, std::move(line)});
}

void LdLogger::writePendingLocked() {
    if (logStrings_.empty() || !folder_) {
        return;
    }
    std::error_code code;
    std::filesystem::create_directories(*folder_, code);
    const LdDate now = LdClock::shared().now();
    bool failed = false;
    for (const bool isError : {true, false}) {
        std::ofstream file;
        for (const Pending& pending : logStrings_) {
            if (pending.isError != isError) {
                continue;
            }
            if (!file.is_open()) {
                const auto path = *folder_ / logFileName(isError ? ErrorLogFilePrefix
                                                                 : DebugLogFilePrefix,
                                                         now);
                file.open(path, std::ios::app | std::ios::binary);
            }
            file << pending.line << '\n';
        }
        if (file.is_open()) {
            file.flush();
            failed = failed || !file;
        }
    }
    logStrings_.clear();
    // A log that cannot be written must not take the application down; say so once.
    if (failed && !reportedWriteFailure_) {
        reportedWriteFailure_ = true;
        std::cerr << "Could not write the log files in " << folder_->string() << '\n';
    }
}
