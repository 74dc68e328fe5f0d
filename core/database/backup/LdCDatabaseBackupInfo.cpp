// LdCDatabaseBackupInfo: reading and writing the "backup.info" dictionary of an archive.
#include "core/database/backup/LdCDatabaseBackupInfo.h"

#include <cmath>
#include <cstdio>
#include <system_error>

#include "core/database/backup/LdCDatabaseBackupManager.h"
#include "core/support/LdStrings.h"
#include "core/support/detail/LdLocalTime.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdFiles.h"
#include "core/support/plist/LdKeyedArchive.h"

namespace fs = std::filesystem;

namespace {

// Sums the sizes of the regular files under `folder`; links are not followed.
std::uint64_t folderByteSize(const fs::path& folder) {
    std::uint64_t total = 0;
    std::error_code code;
    for (fs::recursive_directory_iterator entry(folder, code), end; !code && entry != end;
         entry.increment(code)) {
        std::error_code sizeCode;
        if (entry->is_regular_file(sizeCode) && !entry->is_symlink(sizeCode)) {
            const std::uintmax_t size = entry->file_size(sizeCode);
            if (!sizeCode) {
                total += size;
            }
        }
    }
    return total;
}

LdError backupInfoError(const fs::path& url, std::string_view reason) {
    LdError error = LdError::errorWithTitle("_ERROR", "_BACKUP_INFO_UNREADABLE");
    error.addDebugInfo("path", url.string());
    error.addDebugInfo("reason", std::string(reason));
    return error;
}

}  // namespace

std::optional<LdCDatabaseBackupInfo> LdCDatabaseBackupInfo::infoFromBackupURL(
        const fs::path& backupURL, LdError* error) {
    if (backupURL.empty()) {
        return std::nullopt;  // missing argument
    }
    std::string failure;
    const std::optional<LdData> bytes = LdFiles::readFileContents(
            backupURL / LdCDatabaseBackupManager::kBackupInfoFileName, &failure);
    if (!bytes.has_value()) {
        failWith(error, backupInfoError(backupURL, failure));
        return std::nullopt;
    }
    LdError decodeError;
    const std::optional<LdValue> root =
            LdKeyedUnarchiver::unarchivedObjectFromData(*bytes, &decodeError);
    if (!root.has_value() || !root->isDictionary()) {
        failWith(error, backupInfoError(backupURL, decodeError.logDescription()));
        return std::nullopt;
    }
    const LdValue::Dictionary& dictionary = root->dictionaryValue();
    const auto value = [&dictionary](const char* key) -> const LdValue* {
        const auto it = dictionary.find(key);
        return it == dictionary.end() ? nullptr : &it->second;
    };

    LdCDatabaseBackupInfo info;
    if (const LdValue* date = value(kCreationDateKey);
        date != nullptr && date->isDate() &&
        std::isfinite(date->dateValue().timeIntervalSinceReferenceDate())) {
        info.creationDate_ = date->dateValue();
    }
    if (const LdValue* reason = value(kReasonKey)) {
        info.backupReason_ = reasonFromValue(*reason);
    }
    if (const LdValue* name = value(kAppNameKey)) {
        info.applicationName_ = name->stringValue();
    }
    if (const LdValue* version = value(kAppVersionKey)) {
        info.applicationVersion_ = version->stringValue();
    }
    if (const LdValue* build = value(kAppBuildNumberKey)) {
        info.applicationBuildNumber_ =
                build->isString() ? std::strtoll(build->stringValue().c_str(), nullptr, 10)
                                  : build->integerValue();
    }
    if (const LdValue* debug = value(kDebugVersionKey)) {
        info.createdWithDebugBuild_ = debug->boolValue();
    }
    info.backupByteSize_ = folderByteSize(backupURL);
    info.backupLocation_ = backupURL;
    return info;
}

LdValue LdCDatabaseBackupInfo::infoDictionaryForReason(int reason, LdDate creationDate) {
    LdValue::Dictionary dictionary;
    dictionary.emplace(kCreationDateKey, LdValue(creationDate));
    dictionary.emplace(kReasonKey, LdValue(reason));
    dictionary.emplace(kAppNameKey, LdValue(LdApplication::name()));
    dictionary.emplace(kAppVersionKey, LdValue(LdApplication::version()));
    dictionary.emplace(kAppBuildNumberKey, LdValue(LdApplication::buildNumber()));
    return LdValue(std::move(dictionary));
}

int LdCDatabaseBackupInfo::reasonFromValue(const LdValue& value) {
    if (value.isString()) {
        // Archives of older releases stored the reason as a word.
        const std::string& text = value.stringValue();
        if (text == "time") {
            return kLdBackupReasonTimeBased;
        }
        if (text == "migration") {
            return kLdBackupReasonMigration;
        }
        if (text == "icloud") {
            return kLdBackupReasonCloudSync;
        }
        if (text == "wifi") {
            return kLdBackupReasonLocalSync;
        }
        return 0;
    }
    if (value.isInteger() || value.isReal()) {
        const std::int64_t number = value.integerValue();
        return number >= 0 && number <= 1000 ? static_cast<int>(number) : 0;
    }
    return 0;
}

std::string LdCDatabaseBackupInfo::localizedReasonTitle(int reason) {
    switch (reason) {
        case kLdBackupReasonTimeBased:
            return LdStrings::localizedString("_BACKUP_SETTINGS_TYPE_TIME_BASED_TITLE", LdCBackups);
        case kLdBackupReasonMigration:
            return LdStrings::localizedString("_BACKUP_SETTINGS_TYPE_MIGRATION_BASED_TITLE",
                                              LdCBackups);
        case kLdBackupReasonCloudSync:
            return LdStrings::localizedString("_BACKUP_SETTINGS_TYPE_CLOUD_BASED_TITLE",
                                              LdCBackups);
        case kLdBackupReasonLocalSync:
            return LdStrings::localizedString("_BACKUP_SETTINGS_TYPE_WLAN_BASED_TITLE", LdCBackups);
        default:
            return "???";
    }
}

std::string LdCDatabaseBackupInfo::localizedInfoString() const {
    std::string date = LdStrings::localizedString("_UNKNOWN", LdCBackups);
    if (creationDate_.has_value()) {
        const LdClock& clock = LdClock::shared();
        const ld::detail::LocalTime local = ld::detail::timeWithOffset(
                *creationDate_, clock.secondsFromGMTForDate(*creationDate_));
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.year, local.month,
                      local.day, local.hour, local.minute, local.second);
        date = text;
    }
    std::string build = std::to_string(applicationBuildNumber_);
    if (createdWithDebugBuild_) {
        build += ", " + LdStrings::localizedString("_BACKUP_INFO_DEBUG_BUILD", LdCBackups);
    }
    return LdStrings::localizedFormat(
            "_BACKUP_INFO_STRING",
            {localizedReasonTitle(backupReason_), date, std::to_string(backupByteSize_),
             applicationName_, applicationVersion_, build},
            LdCBackups);
}
