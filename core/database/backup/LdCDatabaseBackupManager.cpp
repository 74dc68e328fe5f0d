// LdCDatabaseBackupManager: backups of all databases in one backup folder, their pruning, and the
// export and import of database archives.
//
// Life of an archive export (runExport, on the export queue or on the caller's thread):
//
//   Queued --[cancel]--> Finished (cancelled)
//   Queued -> Copying   [runExport: ".<uuid>.partial" made beside the target]
//   Copying: backup.info, store, metadata, exchange rates, resource folders 1, 3, 2, 4, 5
//   Copying --[failure / cancel]--> Finished   [partial folder removed; the old archive stays]
//   Copying -> Replacing   [old archive renamed to ".<uuid>.<name>.replaced"]
//   Replacing -> Finished  [partial renamed to the target; the replaced archive removed]
//
// A process killed in any state leaves hidden names only; removeArchiveLeftoversInFolder (run at
// the manager's first use) removes partial folders and puts a replaced archive back when its
// successor never arrived.
#include "core/database/backup/LdCDatabaseBackupManager.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include <unistd.h>

#include "core/database/backup/detail/LdBackupFiles.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCStoreFileVetter.h"
#include "core/support/LdLogger.h"
#include "core/support/LdStrings.h"
#include "core/support/detail/LdLocalTime.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/platform/LdUserDefaults.h"
#include "core/support/plist/LdKeyedArchive.h"
#include "core/support/queues/LdMainQueue.h"
#include "core/support/queues/LdOperation.h"
#include "core/support/queues/LdOperationQueue.h"

namespace fs = std::filesystem;
using ld::detail::backupError;

namespace {

// Folders outside the backup folder that exports are writing to, so that the next process can
// remove what a killed export left there.
constexpr const char* kPendingExportFoldersKey = "backups_pendingExportFolders";
// Seconds the second newest migration backup is protected from pruning.
constexpr double kSecondMigrationBackupProtection = 3600.0;
// The resource folders of an archive, in their fixed order.
constexpr int kArchiveResourceTypes[] = {
        LdCDatabaseManager::kResourceTypeAccountImages,
        LdCDatabaseManager::kResourceTypeCategoryImages,
        LdCDatabaseManager::kResourceTypeContactImages,
        LdCDatabaseManager::kResourceTypeFileAttachments,
        LdCDatabaseManager::kResourceTypeAccountStatements,
};

// The key of a database in the running exports: the same folder however it was written.
fs::path databaseKey(const fs::path& url) {
    fs::path normal = url.lexically_normal();
    if (normal.has_parent_path() && normal.filename().empty()) {
        normal = normal.parent_path();
    }
    return normal;
}

LdError fileError(std::string_view descriptionKey,
                  const std::vector<std::string>& arguments,
                  const fs::path& path,
                  const std::error_code& code) {
    LdError error = backupError("_ERROR", descriptionKey, arguments);
    error.addDebugInfo("path", path.string());
    error.addDebugInfo("reason", code.message());
    return error;
}

// A database name that is safe inside a file name.
std::string nameForFileName(std::string name) {
    std::replace(name.begin(), name.end(), '/', '_');
    if (name.empty() || name == "." || name == "..") {
        name = "_";
    }
    return name;
}

// One export: what to copy from where to where, decided on the main thread.
struct ExportJob {
    fs::path databaseURL;
    fs::path archiveURL;
    std::string databaseName;
    int reason = 0;
    LdDate date;
    bool onlyEncryptedResources = false;
};

using ItemObserver = std::function<void(const std::string&)>;

// Writes a new file with `bytes`.
bool writeNewFile(const fs::path& path, const LdData& bytes, std::error_code& code) {
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (file == nullptr) {
        code = {errno, std::generic_category()};
        return false;
    }
    const bool written =
            bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        code = std::make_error_code(std::errc::io_error);
        return false;
    }
    return true;
}

// Copies the archive's items into `folder`, one progress unit each. False with an error, or
// without one when cancelled.
bool copyArchiveItems(const ExportJob& job,
                      const fs::path& folder,
                      LdOperation& operation,
                      const ItemObserver& itemCopied,
                      LdError* error) {
    const ld::detail::LdBackupCancelCheck isCancelled = [&operation] {
        return operation.isCancelled();
    };
    const auto copied = [&](const std::string& name) {
        operation.addCompletedUnitCount(1);
        if (itemCopied) {
            itemCopied(name);
        }
    };
    const auto failed = [&](const fs::path& item, const std::error_code& code) {
        if (code == std::errc::operation_canceled || operation.isCancelled()) {
            return false;  // cancelled: no error
        }
        return failWith(error, fileError("_EXPORT_LEDRA_ARCHIVE_COPY_FAILED",
                                         {item.filename().string(), code.message()}, item, code));
    };
    std::error_code code;

    // Fixed order: backup.info, store, metadata, exchange rates, resource folders 1, 3, 2, 4, 5.
    LdError archiveError;
    const std::optional<LdData> info = LdKeyedArchiver::archivedDataWithRootObject(
            LdCDatabaseBackupInfo::infoDictionaryForReason(job.reason, job.date), &archiveError);
    if (!info.has_value()) {
        return failWith(error, archiveError);
    }
    const fs::path infoPath = folder / LdCDatabaseBackupManager::kBackupInfoFileName;
    if (!writeNewFile(infoPath, *info, code)) {
        return failed(infoPath, code);
    }
    copied(LdCDatabaseBackupManager::kBackupInfoFileName);

    const fs::path store = LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(job.databaseURL);
    if (operation.isCancelled()) {
        return false;
    }
    if (!fs::is_regular_file(store, code)) {
        LdError missing = backupError("_EXPORT_LEDRA_ARCHIVE_FAILED_DESC",
                                      "_EXPORT_LEDRA_ARCHIVE_NO_STORE", {job.databaseName});
        missing.addDebugInfo("path", store.string());
        return failWith(error, missing);
    }
    if (!ld::detail::copyFileStreaming(store, folder / store.filename(), isCancelled, code)) {
        return failed(store, code);
    }
    copied(store.filename().string());

    // Files that a database may lack: copied when present, counted either way.
    for (const fs::path& file :
         {LdCDatabaseManager::metadataFileURLForDatabaseURL(job.databaseURL),
          LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(job.databaseURL)}) {
        if (operation.isCancelled()) {
            return false;
        }
        if (!fs::is_regular_file(file, code)) {
            operation.addCompletedUnitCount(1);
            continue;
        }
        if (!ld::detail::copyFileStreaming(file, folder / file.filename(), isCancelled, code)) {
            return failed(file, code);
        }
        copied(file.filename().string());
    }
    for (const int type : kArchiveResourceTypes) {
        if (operation.isCancelled()) {
            return false;
        }
        const fs::path resources = LdCDatabaseManager::urlForResourceType(type, job.databaseURL);
        if (!fs::is_directory(fs::symlink_status(resources, code))) {
            operation.addCompletedUnitCount(1);
            continue;
        }
        if (!ld::detail::copyFolderStreaming(resources, folder / resources.filename(),
                                             job.onlyEncryptedResources, isCancelled, code)) {
            return failed(resources, code);
        }
        copied(resources.filename().string());
    }
    return !operation.isCancelled();
}

// Runs one export to its end: assembles the archive in a hidden folder beside the target and
// puts it in place of an existing one only once it is complete.
bool runExport(const ExportJob& job,
               LdOperation& operation,
               const ItemObserver& itemCopied,
               LdError* error) {
    if (operation.isCancelled()) {
        return false;
    }
    operation.setTotalUnitCount(LdCDatabaseBackupManager::kExportProgressUnits);
    operation.setCompletedUnitCount(0);
    const fs::path parent = job.archiveURL.parent_path();
    std::error_code code;
    fs::create_directories(parent, code);
    const fs::path partial = ld::detail::partialArchivePath(parent);
    if (code || !fs::create_directory(partial, code)) {
        return failWith(error, fileError("_EXPORT_LEDRA_ARCHIVE_FAILED_DESC", {job.databaseName},
                                         partial, code));
    }
    LdError copyError;
    if (!copyArchiveItems(job, partial, operation, itemCopied, &copyError)) {
        std::error_code ignored;
        fs::remove_all(partial, ignored);
        if (copyError.isSet()) {
            return failWith(error, copyError);
        }
        return false;
    }

    // Fixed order: the old archive steps aside, the new one takes its name, the old one goes.
    std::optional<fs::path> replaced;
    if (fs::exists(fs::symlink_status(job.archiveURL, code))) {
        replaced = ld::detail::replacedArchivePath(job.archiveURL);
        fs::rename(job.archiveURL, *replaced, code);
        if (code) {
            std::error_code ignored;
            fs::remove_all(partial, ignored);
            return failWith(error, fileError("_EXPORT_LEDRA_ARCHIVE_FAILED_DESC",
                                             {job.databaseName}, job.archiveURL, code));
        }
    }
    fs::rename(partial, job.archiveURL, code);
    if (code) {
        std::error_code ignored;
        if (replaced.has_value()) {
            fs::rename(*replaced, job.archiveURL, ignored);
        }
        fs::remove_all(partial, ignored);
        return failWith(error, fileError("_EXPORT_LEDRA_ARCHIVE_FAILED_DESC", {job.databaseName},
                                         job.archiveURL, code));
    }
    if (replaced.has_value()) {
        std::error_code ignored;
        fs::remove_all(*replaced, ignored);
    }
    return true;
}

// Newest first; backups without a creation date last.
void sortNewestFirst(std::vector<LdCDatabaseBackupInfo>& infos) {
    std::sort(infos.begin(), infos.end(),
              [](const LdCDatabaseBackupInfo& a, const LdCDatabaseBackupInfo& b) {
                  if (a.creationDate().has_value() != b.creationDate().has_value()) {
                      return a.creationDate().has_value();
                  }
                  if (a.creationDate() != b.creationDate()) {
                      return *a.creationDate() > *b.creationDate();
                  }
                  return a.backupLocation() > b.backupLocation();
              });
}

bool isValidDatabaseID(std::string_view databaseID) {
    return !databaseID.empty() && databaseID != "." && databaseID != ".." &&
           databaseID.find('/') == std::string_view::npos && databaseID.front() != '.';
}

}  // namespace

struct LdCDatabaseBackupManager::State {
    explicit State(LdCDatabaseManager& owner)
        : catalogue(owner), settings(owner.settings()), clock(owner.clock()) {}

    LdCDatabaseManager& catalogue;  // outlives the manager
    LdUserDefaults& settings;
    LdClock& clock;
    std::optional<fs::path> folderOverride;
    bool cleanedUp = false;

    mutable std::mutex mutex;  // guards the two below: the export queue's worker reads them
    std::map<fs::path, std::shared_ptr<LdOperation>> runningExports;
    ItemObserver itemCopied;

    std::unique_ptr<LdOperationQueue> queue;  // made with the first export

    ItemObserver itemObserver() const {
        std::lock_guard lock(mutex);
        return itemCopied;
    }

    // Copies the database folder or archive `source` into a new database named after
    // `proposedName`; the store is vetted (with `password`) before the database takes its place.
    LdCDatabaseManager::InfoPtr importFolder(const fs::path& source,
                                             const std::string& proposedName,
                                             const std::optional<std::string>& password,
                                             LdError* error);
};

// ---- Life

LdCDatabaseBackupManager::LdCDatabaseBackupManager(LdCDatabaseManager& catalogue)
    : state_(std::make_shared<State>(catalogue)) {
    const std::weak_ptr<State> weakState = state_;
    LdCDatabaseBackupManager* const self = this;

    LdCDatabaseActivityChecks checks = catalogue.activityChecks();
    checks.isExporting = [weakState, self](const LdCDatabaseInfo& info) {
        return !weakState.expired() && self->isArchiveExportInProgressForDBAtURL(info.url());
    };
    catalogue.setActivityChecks(std::move(checks));

    // The backup before a migration runs to its end before the first step.
    catalogue.setMigrationBackupHook(
            [weakState, self](const LdCDatabaseInfo& info, LdError* error) {
                if (weakState.expired()) {
                    return true;
                }
                return self->backupDatabaseAtURLNow(info.url(), kLdBackupReasonMigration, error);
            });

    catalogue.setSessionSetupHook([weakState, self](LdCOpenDatabaseManager& session) {
        // The time-based backup is complete before the save writes. It is no export of the
        // database, so the save does not refuse itself; a backup that fails is only logged.
        session.setBackupHook([weakState, self](LdCOpenDatabaseManager& saving) {
            if (weakState.expired() || !self->state_->settings.boolForKey(kTimeBasedBackupsKey)) {
                return;
            }
            const fs::path url = saving.databaseURL();
            if (!self->isItTimeToBackupDatabaseAtURL(url)) {
                return;
            }
            LdError error;
            if (!self->backupDatabaseAtURLNow(url, kLdBackupReasonTimeBased, &error)) {
                LdLogger::shared().logError("Time-based backup before a save failed: " +
                                            error.logDescription());
            }
        });
        LdCOpenDatabaseManager* const exporting = &session;
        session.setExportRunningCheck([weakState, self, exporting] {
            return !weakState.expired() &&
                   self->isArchiveExportInProgressForDBAtURL(exporting->databaseURL());
        });
        // An export of a database that closes is cancelled, and the close waits until it has
        // stopped (it removes its unfinished folder), so that the last save goes through.
        session.setBeforeCloseHook([weakState, self](LdCOpenDatabaseManager& closing) {
            if (weakState.expired() ||
                !self->isArchiveExportInProgressForDBAtURL(closing.databaseURL())) {
                return;
            }
            self->cancelArchiveExportForDatabaseURL(closing.databaseURL());
            if (self->state_->queue) {
                self->state_->queue->waitUntilAllOperationsAreFinished();
            }
        });
    });
}

LdCDatabaseBackupManager::~LdCDatabaseBackupManager() {
    if (state_->queue) {
        state_->queue->cancelAllOperations();
        state_->queue->waitUntilAllOperationsAreFinished();
    }
    LdCDatabaseActivityChecks checks = state_->catalogue.activityChecks();
    checks.isExporting = nullptr;
    state_->catalogue.setActivityChecks(std::move(checks));
    state_->catalogue.setMigrationBackupHook(nullptr);
    state_->catalogue.setSessionSetupHook(nullptr);
    // Sessions made meanwhile keep hooks that find the manager gone (their weak state expires).
    state_.reset();
}

// ---- The backup folder

fs::path LdCDatabaseBackupManager::defaultBackupFolderURL() {
    return LdApplication::baseFolder() / kDefaultBackupFolderName;
}

namespace {

// The remembered folder when it is a folder this process can read and enter, else the default.
fs::path rememberedOrDefaultFolder(const LdUserDefaults& settings) {
    const std::optional<LdData> bookmark =
            settings.dataForKey(LdCDatabaseBackupManager::kBackupFolderBookmarkKey);
    if (bookmark.has_value() && !bookmark->empty()) {
        const fs::path folder(std::string(bookmark->begin(), bookmark->end()));
        std::error_code code;
        if (folder.is_absolute() && fs::is_directory(folder, code) &&
            ::access(folder.c_str(), R_OK | W_OK | X_OK) == 0) {
            return folder;
        }
    }
    return LdCDatabaseBackupManager::defaultBackupFolderURL();
}

}  // namespace

fs::path LdCDatabaseBackupManager::backupFolderURL() const {
    if (state_->folderOverride.has_value()) {
        return *state_->folderOverride;
    }
    return rememberedOrDefaultFolder(state_->settings);
}

bool LdCDatabaseBackupManager::setBackupFolderURL(const fs::path& folder, LdError* error) {
    if (folder.empty()) {
        return false;  // missing argument
    }
    cleanAllBackups();
    const fs::path newFolder = fs::absolute(folder).lexically_normal();
    const fs::path oldFolder = rememberedOrDefaultFolder(state_->settings);
    std::error_code code;
    fs::create_directories(newFolder, code);
    if (code || !fs::is_directory(newFolder, code)) {
        return failWith(error, fileError("_BACKUP_FOLDER_MOVE_FAILED",
                                         {newFolder.string(), code.message()}, newFolder, code));
    }
    // moveBackupsToNewFolder: — each database's folder, merged archive by archive into a folder
    // of the same name that is there already.
    const bool sameFolder = fs::equivalent(oldFolder, newFolder, code);
    code.clear();
    if (!sameFolder && fs::is_directory(oldFolder, code)) {
        for (fs::directory_iterator entry(oldFolder, code), end; !code && entry != end;
             entry.increment(code)) {
            std::error_code itemCode;
            if (fs::equivalent(entry->path(), newFolder, itemCode) ||
                !entry->is_directory(itemCode) ||
                entry->path().filename().string().front() == '.') {
                continue;
            }
            const fs::path target = newFolder / entry->path().filename();
            if (!fs::exists(target, itemCode)) {
                if (!ld::detail::moveItem(entry->path(), target, itemCode)) {
                    return failWith(error, fileError("_BACKUP_FOLDER_MOVE_FAILED",
                                                     {newFolder.string(), itemCode.message()},
                                                     entry->path(), itemCode));
                }
                continue;
            }
            for (fs::directory_iterator archive(entry->path(), itemCode), last;
                 !itemCode && archive != last; archive.increment(itemCode)) {
                std::error_code archiveCode;
                const fs::path archiveTarget = target / archive->path().filename();
                if (!fs::exists(archiveTarget, archiveCode) &&
                    !ld::detail::moveItem(archive->path(), archiveTarget, archiveCode)) {
                    return failWith(error, fileError("_BACKUP_FOLDER_MOVE_FAILED",
                                                     {newFolder.string(), archiveCode.message()},
                                                     archive->path(), archiveCode));
                }
            }
            std::error_code ignored;
            fs::remove(entry->path(), ignored);  // only when emptied
        }
    }
    const std::string text = newFolder.string();
    state_->settings.setData(LdData(text.begin(), text.end()), kBackupFolderBookmarkKey);
    LdNotificationCenter::defaultCenter().postNotificationName(kBackupsChangedNotification, this);
    return true;
}

void LdCDatabaseBackupManager::setBackupFolderOverride(const fs::path& folder) {
    if (folder.empty()) {
        state_->folderOverride.reset();
    } else {
        state_->folderOverride = fs::absolute(folder).lexically_normal();
    }
}

// ---- Making backups

bool LdCDatabaseBackupManager::makeTimeBasedBackupForDatabase(const fs::path& databaseURL,
                                                              Completion completion) {
    if (databaseURL.empty() || !state_->settings.boolForKey(kTimeBasedBackupsKey) ||
        !isItTimeToBackupDatabaseAtURL(databaseURL)) {
        return false;
    }
    return startBackupForDatabaseAtURL(databaseURL, kLdBackupReasonTimeBased,
                                       std::move(completion));
}

bool LdCDatabaseBackupManager::isItTimeToBackupDatabaseAtURL(const fs::path& databaseURL) {
    const std::string databaseID = LdCDatabaseManager::databaseIDFromDatabaseURL(databaseURL);
    if (!isValidDatabaseID(databaseID)) {
        return false;
    }
    const LdDate now = state_->clock.now();
    const auto interval = static_cast<double>(state_->settings.integerForKey(kBackupIntervalKey));
    for (const LdCDatabaseBackupInfo& info :
         existingBackupInfosForDatabaseID(databaseID, kLdBackupReasonTimeBased)) {
        if (info.creationDate().has_value() && *info.creationDate() < now) {
            return now.timeIntervalSinceDate(*info.creationDate()) > interval;
        }
    }
    return true;
}

namespace {

// The archive's name: "<yyyyMMdd_HH_mm_ss_SSSS> - <database name>.ld5a", in local time.
std::string archiveName(LdDate date, const LdClock& clock, const std::string& databaseName) {
    const ld::detail::LocalTime local =
            ld::detail::timeWithOffset(date, clock.secondsFromGMTForDate(date));
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02d_%02d_%02d_%04d", local.year, local.month,
                  local.day, local.hour, local.minute, local.second, local.millisecondsTenths);
    return std::string(stamp) + " - " + nameForFileName(databaseName) + "." +
           LdCDatabaseBackupManager::kArchiveExtension;
}

}  // namespace

// The database's backup subfolder, made when missing; nothing without identifier, or when it
// cannot be made or is a file.
static std::optional<fs::path> backupSubfolder(const fs::path& backupFolder,
                                               const fs::path& databaseURL) {
    const std::string databaseID = LdCDatabaseManager::databaseIDFromDatabaseURL(databaseURL);
    if (!isValidDatabaseID(databaseID)) {
        return std::nullopt;
    }
    const fs::path folder = backupFolder / databaseID;
    std::error_code code;
    fs::create_directories(folder, code);
    if (!fs::is_directory(folder, code)) {
        return std::nullopt;
    }
    return folder;
}

bool LdCDatabaseBackupManager::startBackupForDatabaseAtURL(const fs::path& databaseURL,
                                                           int reason,
                                                           Completion completion) {
    if (databaseURL.empty()) {
        return false;
    }
    cleanAllBackups();
    const std::optional<fs::path> folder = backupSubfolder(backupFolderURL(), databaseURL);
    if (!folder.has_value()) {
        return false;
    }
    const std::string databaseID = LdCDatabaseManager::databaseIDFromDatabaseURL(databaseURL);
    const fs::path archive =
            *folder / archiveName(state_->clock.now(), state_->clock,
                                  LdCDatabaseManager::nameForDatabaseAtURL(databaseURL));
    const std::weak_ptr<State> weakState = state_;
    LdCDatabaseBackupManager* const self = this;
    return exportDatabaseAtURL(databaseURL, archive, reason,
                               [weakState, self, databaseID, completion = std::move(completion)](
                                       bool success, std::optional<LdError> error) {
                                   if (!weakState.expired()) {
                                       self->cleanBackupsForDatabaseID(databaseID);
                                       LdNotificationCenter::defaultCenter().postNotificationName(
                                               kBackupsChangedNotification, self);
                                   }
                                   if (completion) {
                                       completion(success, std::move(error));
                                   }
                               });
}

bool LdCDatabaseBackupManager::backupDatabaseAtURLNow(const fs::path& databaseURL,
                                                      int reason,
                                                      LdError* error) {
    if (databaseURL.empty()) {
        return false;
    }
    cleanAllBackups();
    const std::string name = LdCDatabaseManager::nameForDatabaseAtURL(databaseURL);
    const std::optional<fs::path> folder = backupSubfolder(backupFolderURL(), databaseURL);
    if (!folder.has_value()) {
        return failWith(error, backupError("_ERROR", "_BACKUP_FAILED", {name}));
    }
    ExportJob job;
    job.databaseURL = databaseURL;
    job.databaseName = name;
    job.reason = reason;
    job.date = state_->clock.now();
    job.archiveURL = *folder / archiveName(job.date, state_->clock, name);
    job.onlyEncryptedResources = LdCDatabaseManager::isDatabaseEncryptedAtURL(databaseURL);
    LdOperation operation;
    const bool made = runExport(job, operation, state_->itemObserver(), error);
    cleanBackupsForDatabaseID(LdCDatabaseManager::databaseIDFromDatabaseURL(databaseURL));
    LdNotificationCenter::defaultCenter().postNotificationName(kBackupsChangedNotification, this);
    return made;
}

// ---- Listing, pruning, deleting

std::vector<LdCDatabaseBackupInfo> LdCDatabaseBackupManager::existingBackupInfosForDatabaseID(
        std::string_view databaseID, int reason) {
    std::vector<LdCDatabaseBackupInfo> infos;
    if (!isValidDatabaseID(databaseID)) {
        return infos;
    }
    cleanAllBackups();
    const std::string extension = std::string(".") + kArchiveExtension;
    std::error_code code;
    for (fs::directory_iterator entry(backupFolderURL() / databaseID, code), end;
         !code && entry != end; entry.increment(code)) {
        const std::string name = entry->path().filename().string();
        if (name.front() == '.' || entry->path().extension() != extension) {
            continue;
        }
        std::optional<LdCDatabaseBackupInfo> info =
                LdCDatabaseBackupInfo::infoFromBackupURL(entry->path());
        if (info.has_value() && (reason == 0 || info->backupReason() == reason)) {
            infos.push_back(std::move(*info));
        }
    }
    sortNewestFirst(infos);
    return infos;
}

std::optional<LdCDatabaseBackupInfo> LdCDatabaseBackupManager::backupInfoFromBackupURL(
        const fs::path& backupURL) {
    return LdCDatabaseBackupInfo::infoFromBackupURL(backupURL);
}

bool LdCDatabaseBackupManager::deleteBackupAtURL(const fs::path& backupURL,
                                                 bool postChangeNotification) {
    if (backupURL.empty()) {
        return false;
    }
    cleanAllBackups();
    const fs::path folder = backupFolderURL();
    if (!ld::detail::isPathInsideFolder(backupURL, folder)) {
        LdLogger::shared().logError("Refused to delete a backup outside the backup folder: " +
                                    backupURL.string());
        return false;
    }
    std::error_code code;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(backupURL), code);
    if (code || !fs::exists(fs::symlink_status(resolved, code))) {
        return false;
    }
    fs::remove_all(resolved, code);
    if (code) {
        LdLogger::shared().logError("Deleting the backup " + resolved.string() +
                                    " failed: " + code.message());
        return false;
    }
    // An emptied database subfolder goes too (remove takes only an empty folder).
    const fs::path parent = resolved.parent_path();
    if (ld::detail::isPathInsideFolder(parent, folder)) {
        std::error_code ignored;
        fs::remove(parent, ignored);
    }
    if (postChangeNotification) {
        LdNotificationCenter::defaultCenter().postNotificationName(kBackupsChangedNotification,
                                                                   this);
    }
    return true;
}

bool LdCDatabaseBackupManager::deleteAllBackupsForDatabaseID(std::string_view databaseID,
                                                             LdError* error) {
    if (!isValidDatabaseID(databaseID)) {
        return false;  // missing argument
    }
    cleanAllBackups();
    const fs::path folder = backupFolderURL() / databaseID;
    std::error_code code;
    if (!fs::exists(fs::symlink_status(folder, code))) {
        return true;
    }
    fs::remove_all(folder, code);
    if (code) {
        return failWith(error, fileError("_BACKUP_DELETE_FAILED", {code.message()}, folder, code));
    }
    LdNotificationCenter::defaultCenter().postNotificationName(kBackupsChangedNotification, this);
    return true;
}

std::vector<std::string> LdCDatabaseBackupManager::existingBackupDatabaseIDs() {
    cleanAllBackups();
    std::vector<std::string> identifiers;
    std::error_code code;
    for (fs::directory_iterator entry(backupFolderURL(), code), end; !code && entry != end;
         entry.increment(code)) {
        std::error_code typeCode;
        const std::string name = entry->path().filename().string();
        if (name.front() != '.' && entry->is_directory(typeCode)) {
            identifiers.push_back(name);
        }
    }
    std::sort(identifiers.begin(), identifiers.end());
    return identifiers;
}

void LdCDatabaseBackupManager::cleanBackupsForDatabaseID(std::string_view databaseID) {
    if (!isValidDatabaseID(databaseID)) {
        return;
    }
    const std::vector<LdCDatabaseBackupInfo> infos = existingBackupInfosForDatabaseID(databaseID);
    if (infos.empty()) {
        std::error_code ignored;
        fs::remove(backupFolderURL() / databaseID, ignored);  // only when empty
        return;
    }
    if (infos.size() == 1) {
        return;
    }
    // Sync backups are never pruned here; of the migration backups the two newest are
    // protected (the second only for an hour); everything else competes for the places.
    std::vector<LdCDatabaseBackupInfo> candidates;
    std::vector<const LdCDatabaseBackupInfo*> migrations;
    for (const LdCDatabaseBackupInfo& info : infos) {
        switch (info.backupReason()) {
            case kLdBackupReasonCloudSync:
            case kLdBackupReasonLocalSync:
                break;
            case kLdBackupReasonMigration:
                if (migrations.size() < 2) {
                    migrations.push_back(&info);
                } else {
                    candidates.push_back(info);
                }
                break;
            default:
                candidates.push_back(info);
                break;
        }
    }
    if (migrations.size() == 2) {
        const LdCDatabaseBackupInfo& second = *migrations[1];
        const LdDate now = state_->clock.now();
        if (!second.creationDate().has_value() ||
            now.timeIntervalSinceDate(*second.creationDate()) > kSecondMigrationBackupProtection) {
            candidates.push_back(second);
        }
    }
    sortNewestFirst(candidates);
    const std::int64_t keep =
            std::max<std::int64_t>(1, state_->settings.integerForKey(kNumberToKeepKey));
    std::int64_t kept = 0;
    bool deleted = false;
    for (const LdCDatabaseBackupInfo& candidate : candidates) {
        if (candidate.creationDate().has_value() && kept < keep) {
            ++kept;
            continue;
        }
        deleted = deleteBackupAtURL(candidate.backupLocation(), false) || deleted;
    }
    if (deleted) {
        LdNotificationCenter::defaultCenter().postNotificationName(kBackupsChangedNotification,
                                                                   this);
    }
}

void LdCDatabaseBackupManager::cleanAllBackups() {
    if (state_->cleanedUp) {
        return;
    }
    state_->cleanedUp = true;
    const fs::path folder = backupFolderURL();
    std::error_code code;
    ld::detail::removeArchiveLeftoversInFolder(folder);
    for (fs::directory_iterator entry(folder, code), end; !code && entry != end;
         entry.increment(code)) {
        std::error_code typeCode;
        if (entry->is_directory(typeCode) && entry->path().filename().string().front() != '.') {
            ld::detail::removeArchiveLeftoversInFolder(entry->path());
        }
    }
    // Exports outside the backup folder that a process did not see to their end.
    if (const std::optional<LdValue::Array> pending =
                state_->settings.arrayForKey(kPendingExportFoldersKey)) {
        bool stillRunning = false;
        for (const LdValue& pendingFolder : *pending) {
            if (pendingFolder.isString() && !pendingFolder.stringValue().empty()) {
                ld::detail::removeArchiveLeftoversInFolder(pendingFolder.stringValue());
            }
        }
        {
            std::lock_guard lock(state_->mutex);
            stillRunning = !state_->runningExports.empty();
        }
        if (!stillRunning) {
            state_->settings.removeObjectForKey(kPendingExportFoldersKey);
        }
    }
    // Imports that never reached their place.
    const fs::path databases = state_->catalogue.databasesFolderURL();
    code.clear();
    for (fs::directory_iterator entry(databases, code), end; !code && entry != end;
         entry.increment(code)) {
        if (ld::detail::isPartialArchiveName(entry->path().filename().string())) {
            std::error_code ignored;
            fs::remove_all(entry->path(), ignored);
        }
    }
    for (const std::string& databaseID : existingBackupDatabaseIDs()) {
        cleanBackupsForDatabaseID(databaseID);
    }
}

// ---- Restoring, importing

std::string LdCDatabaseBackupManager::databaseNameForRestoredBackupFromURL(
        const fs::path& backupURL) {
    std::string name = LdCDatabaseManager::databaseNameFromFileName(
            backupURL.lexically_normal().filename().string());
    if (name.empty()) {
        name = LdStrings::localizedString("_UNKNOWN", LdCBackups);
    }
    std::string date = LdStrings::localizedString("_UNKNOWN", LdCBackups);
    const std::optional<LdCDatabaseBackupInfo> info =
            LdCDatabaseBackupInfo::infoFromBackupURL(backupURL);
    if (info.has_value() && info->creationDate().has_value()) {
        const LdDate created = *info->creationDate();
        const ld::detail::LocalTime local =
                ld::detail::timeWithOffset(created, state_->clock.secondsFromGMTForDate(created));
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02dh%02d", local.year, local.month,
                      local.day, local.hour, local.minute);
        date = text;
    }
    return LdStrings::localizedFormat("_BACKUP_RESTORE_DB_NAME_WITH_DATE", {name, date},
                                      LdCBackups);
}

LdCDatabaseManager::InfoPtr LdCDatabaseBackupManager::restoreDatabaseBackupwithBackupURL(
        const fs::path& backupURL, LdError* error) {
    if (backupURL.empty()) {
        return nullptr;
    }
    cleanAllBackups();
    if (!ld::detail::isPathInsideFolder(backupURL, backupFolderURL())) {
        failWith(error,
                 backupError("_BACKUP_RESTORE_FAILED", "_BACKUP_RESTORE_NOT_IN_BACKUP_FOLDER"));
        return nullptr;
    }
    std::error_code code;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(backupURL), code);
    if (code) {
        failWith(error, fileError("_BACKUP_RESTORE_FAILED", {}, backupURL, code));
        return nullptr;
    }
    return state_->importFolder(resolved, databaseNameForRestoredBackupFromURL(resolved),
                                std::nullopt, error);
}

LdCDatabaseManager::InfoPtr LdCDatabaseBackupManager::importDatabaseOrDBArchiveAtURL(
        const fs::path& url, LdError* error) {
    return importDatabaseOrDBArchiveAtURL(url, std::nullopt, error);
}

LdCDatabaseManager::InfoPtr LdCDatabaseBackupManager::importDatabaseOrDBArchiveAtURL(
        const fs::path& url, const std::optional<std::string>& password, LdError* error) {
    if (url.empty()) {
        return nullptr;
    }
    cleanAllBackups();
    const fs::path source = databaseKey(fs::absolute(url));
    std::string name = LdCDatabaseManager::databaseNameFromFileName(source.filename().string());
    if (name.empty()) {
        name = source.stem().string();
    }
    return state_->importFolder(source, name, password, error);
}

LdCDatabaseManager::InfoPtr LdCDatabaseBackupManager::State::importFolder(
        const fs::path& source,
        const std::string& proposedName,
        const std::optional<std::string>& password,
        LdError* error) {
    const std::string shownName = source.filename().string();
    const fs::path store = LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(source);
    std::error_code code;
    if (!fs::is_regular_file(fs::symlink_status(store, code))) {
        failWith(error, backupError("_IMPORT_DATABASE_FAILED", "_IMPORT_DATABASE_NO_STORE_FILE",
                                    {shownName}));
        return nullptr;
    }
    // The new database is assembled in a hidden folder of the databases folder and takes its
    // name only once complete and vetted; the catalogue never lists the hidden folder.
    const fs::path assembly = ld::detail::partialArchivePath(catalogue.databasesFolderURL());
    const auto fail = [&](const LdError& made) {
        std::error_code ignored;
        fs::remove_all(assembly, ignored);
        failWith(error, made);
        return nullptr;
    };
    if (!fs::create_directory(assembly, code)) {
        return fail(fileError("_IMPORT_DATABASE_COPY_FAILED", {shownName, code.message()}, assembly,
                              code));
    }
    const auto copyInto = [&](const fs::path& item, bool onlyEncrypted) -> std::optional<LdError> {
        std::error_code itemCode;
        const fs::file_status status = fs::symlink_status(item, itemCode);
        bool copied = true;
        if (fs::is_regular_file(status)) {
            copied = ld::detail::copyFileStreaming(item, assembly / item.filename(), {}, itemCode);
        } else if (fs::is_directory(status)) {
            copied = ld::detail::copyFolderStreaming(item, assembly / item.filename(),
                                                     onlyEncrypted, {}, itemCode);
        }
        if (!copied) {
            return fileError("_IMPORT_DATABASE_COPY_FAILED",
                             {item.filename().string(), itemCode.message()}, item, itemCode);
        }
        return std::nullopt;
    };
    // The copy is vetted, not the source: what is checked is what lands.
    if (auto failure = copyInto(store, false)) {
        return fail(*failure);
    }
    LdError vetError;
    if (!LdCStoreFileVetter::vetStoreFileAtURL(assembly / store.filename(), password, &vetError)) {
        LdError refused = backupError("_IMPORT_DATABASE_FAILED", "_IMPORT_DATABASE_STORE_REFUSED",
                                      {shownName});
        refused.setUnderlyingError(vetError);
        return fail(refused);
    }
    const bool encrypted = LdCDatabaseManager::isDatabaseEncryptedAtURL(source);
    for (const fs::path& file :
         {LdCDatabaseManager::metadataFileURLForDatabaseURL(source),
          LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(source)}) {
        if (auto failure = copyInto(file, false)) {
            return fail(*failure);
        }
    }
    for (const int type : kArchiveResourceTypes) {
        if (auto failure =
                    copyInto(LdCDatabaseManager::urlForResourceType(type, source), encrypted)) {
            return fail(*failure);
        }
    }
    const std::string name = catalogue.uniqueDatabaseNameForProposedName(proposedName);
    const fs::path target = catalogue.databaseURLFromDatabaseID(LdUUID::uuidString(), name);
    if (fs::exists(fs::symlink_status(target, code))) {
        return fail(fileError("_IMPORT_DATABASE_COPY_FAILED",
                              {shownName, std::make_error_code(std::errc::file_exists).message()},
                              target, std::make_error_code(std::errc::file_exists)));
    }
    fs::rename(assembly, target, code);
    if (code) {
        return fail(fileError("_IMPORT_DATABASE_COPY_FAILED", {shownName, code.message()}, target,
                              code));
    }
    catalogue.reloadAvailableDatabases();
    return catalogue.databaseInfoForURL(target);
}

// ---- Exports

bool LdCDatabaseBackupManager::exportDatabaseAtURL(const fs::path& databaseURL,
                                                   const fs::path& archiveURL,
                                                   int backupMode,
                                                   Completion completion,
                                                   LdError* error) {
    if (databaseURL.empty() || archiveURL.empty()) {
        return false;  // missing argument
    }
    cleanAllBackups();
    const fs::path key = databaseKey(databaseURL);
    ExportJob job;
    job.databaseURL = key;
    job.archiveURL = databaseKey(fs::absolute(archiveURL));
    job.databaseName = LdCDatabaseManager::nameForDatabaseAtURL(key);
    job.reason = backupMode;
    job.date = state_->clock.now();
    job.onlyEncryptedResources = LdCDatabaseManager::isDatabaseEncryptedAtURL(key);

    if (!ld::detail::isPathInsideFolder(job.archiveURL, backupFolderURL())) {
        // Remembered, so that the next process can clean up after a killed export there.
        LdValue::Array pending =
                state_->settings.arrayForKey(kPendingExportFoldersKey).value_or(LdValue::Array());
        const LdValue parent(job.archiveURL.parent_path().string());
        if (std::find(pending.begin(), pending.end(), parent) == pending.end()) {
            pending.push_back(parent);
            state_->settings.set(kPendingExportFoldersKey, LdValue(std::move(pending)));
        }
    }
    if (!state_->queue) {
        state_->queue = std::make_unique<LdOperationQueue>(kExportQueueName);
    }
    State* const state = state_.get();
    const std::weak_ptr<State> weakState = state_;
    std::lock_guard lock(state_->mutex);
    if (state_->runningExports.count(key) != 0) {
        return failWith(error, backupError("_EXPORT_LEDRA_ARCHIVE_FAILED_DESC",
                                           "_EXPORT_LEDRA_ARCHIVE_IS_ALREADY_EXPORTING",
                                           {job.databaseName}));
    }
    auto operationHolder = std::make_shared<std::weak_ptr<LdOperation>>();
    std::shared_ptr<LdOperation> operation = state_->queue->addOperation(
            // The queue and with it this work end before the state does.
            [state, job, key](LdOperation& running, LdError* workError) {
                running.setLocalizedDescription(LdStrings::localizedFormat(
                        "_EXPORT_LEDRA_ARCHIVE_PROGRESS", {job.databaseName}, LdCBackups));
                const bool succeeded = runExport(job, running, state->itemObserver(), workError);
                std::lock_guard workLock(state->mutex);
                const auto it = state->runningExports.find(key);
                if (it != state->runningExports.end() && it->second.get() == &running) {
                    state->runningExports.erase(it);
                }
                return succeeded;
            },
            [weakState, key, operationHolder,
             completion = std::move(completion)](const LdOperationResult& result) {
                const std::shared_ptr<State> owner = weakState.lock();
                if (!owner) {
                    return;
                }
                {
                    std::lock_guard completionLock(owner->mutex);
                    const auto it = owner->runningExports.find(key);
                    if (it != owner->runningExports.end() &&
                        it->second == operationHolder->lock()) {
                        owner->runningExports.erase(it);
                    }
                }
                if (!completion) {
                    return;
                }
                if (result.succeeded) {
                    completion(true, std::nullopt);
                } else if (result.error.isSet() && !result.cancelled) {
                    completion(false, result.error);
                } else {
                    completion(false, std::nullopt);
                }
            });
    *operationHolder = operation;
    state_->runningExports[key] = operation;
    return true;
}

bool LdCDatabaseBackupManager::isArchiveExportInProgressForDBAtURL(
        const fs::path& databaseURL) const {
    std::lock_guard lock(state_->mutex);
    return state_->runningExports.count(databaseKey(databaseURL)) != 0;
}

std::shared_ptr<LdOperation> LdCDatabaseBackupManager::archiveExportOperationForDatabaseURL(
        const fs::path& databaseURL) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->runningExports.find(databaseKey(databaseURL));
    return it == state_->runningExports.end() ? nullptr : it->second;
}

void LdCDatabaseBackupManager::cancelArchiveExportForDatabaseURL(const fs::path& databaseURL) {
    if (const std::shared_ptr<LdOperation> operation =
                archiveExportOperationForDatabaseURL(databaseURL)) {
        operation->cancel();
    }
}

void LdCDatabaseBackupManager::cancelAllArchiveExportOperations() {
    if (state_->queue) {
        state_->queue->cancelAllOperations();
    }
}

void LdCDatabaseBackupManager::waitUntilAllExportsFinished() {
    // A completion may start the next backup: wait and deliver until nothing is left.
    for (;;) {
        if (state_->queue) {
            state_->queue->waitUntilAllOperationsAreFinished();
        }
        const std::size_t delivered = LdMainQueue::main().runUntilIdle();
        if (delivered == 0 && (!state_->queue || state_->queue->operationCount() == 0)) {
            return;
        }
    }
}

void LdCDatabaseBackupManager::setItemCopiedObserver(
        std::function<void(const std::string& itemName)> observer) {
    std::lock_guard lock(state_->mutex);
    state_->itemCopied = std::move(observer);
}
