// LdCDatabaseBackupInfo: what a backup archive says about itself — when and why it was made, by
// which application build, and how large it is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/support/LdError.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdValue.h"

// Reasons of a backup, as "backup.info" stores them.
enum LdCBackupReason : int {
    kLdBackupReasonAll = 0,  // only as a filter: every reason
    kLdBackupReasonTimeBased = 1,
    kLdBackupReasonMigration = 2,
    kLdBackupReasonCloudSync = 3,
    kLdBackupReasonLocalSync = 4,
};

// The description of one archive, read from its "backup.info" (a keyed archive of a dictionary).
// A plain value; safe to copy between threads.
class LdCDatabaseBackupInfo {
public:
    // Keys of the "backup.info" dictionary.
    static constexpr const char* kCreationDateKey = "creation date";
    static constexpr const char* kReasonKey = "reason";
    static constexpr const char* kAppNameKey = "app name";
    static constexpr const char* kAppVersionKey = "app version";
    static constexpr const char* kAppBuildNumberKey = "app build number";
    static constexpr const char* kDebugVersionKey = "debug version";

    LdCDatabaseBackupInfo() = default;

    // initWithBackupURL: — reads "backup.info" in the archive folder and sums the sizes of its
    // files. Nothing when the folder or its info file is missing or cannot be decoded. The older
    // text reasons ("time", "migration", "icloud", "wifi") read as their numbers.
    static std::optional<LdCDatabaseBackupInfo> infoFromBackupURL(
            const std::filesystem::path& backupURL, LdError* error = nullptr);

    // The "backup.info" dictionary for a backup made now by this application.
    static LdValue infoDictionaryForReason(int reason, LdDate creationDate);

    // The reason from its stored value: a number as it is, an older text as its number, else 0.
    static int reasonFromValue(const LdValue& value);

    const std::optional<LdDate>& creationDate() const { return creationDate_; }
    int backupReason() const { return backupReason_; }
    const std::string& applicationName() const { return applicationName_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    std::int64_t applicationBuildNumber() const { return applicationBuildNumber_; }
    bool createdWithDebugBuild() const { return createdWithDebugBuild_; }
    // The sum of the sizes of all files in the archive.
    std::uint64_t backupByteSize() const { return backupByteSize_; }
    const std::filesystem::path& backupLocation() const { return backupLocation_; }

    // localizedReasonTitle — the reason's display text ("???" for an unknown one).
    static std::string localizedReasonTitle(int reason);
    // localizedInfoString — reason, date, size and application build, one line each.
    std::string localizedInfoString() const;

private:
    std::optional<LdDate> creationDate_;
    int backupReason_ = 0;
    std::string applicationName_;
    std::string applicationVersion_;
    std::int64_t applicationBuildNumber_ = 0;
    bool createdWithDebugBuild_ = false;
    std::uint64_t backupByteSize_ = 0;
    std::filesystem::path backupLocation_;
};
