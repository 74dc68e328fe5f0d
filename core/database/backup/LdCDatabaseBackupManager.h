// LdCDatabaseBackupManager: the backups of all databases in one backup folder — when a time-based
// backup is due, making, listing, pruning, deleting and restoring them — and the export and
// import of database archives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/database/backup/LdCDatabaseBackupInfo.h"
#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/support/LdError.h"

class LdClock;
class LdOperation;
class LdOperationQueue;
class LdUserDefaults;

// The strings table of the backup messages.
inline constexpr const char* LdCBackups = "LdCBackups";

// The application keeps one manager beside its catalogue (tests make their own). Made, used and
// destroyed on the main thread; the archive exports run on the serial queue
// "DatabaseArchiveExportQueue" and their completions come back on the main queue
// (LdMainQueue::main()). The catalogue outlives the manager.
//
// On construction the manager installs itself in the catalogue: the time-based backup before a
// session's save, the session's check for a running export, the catalogue's "is exporting"
// activity check and the backup before a migration. The destructor takes them out again.
class LdCDatabaseBackupManager {
public:
    // Completion of a backup or export: success, and the error of a failure (nothing when the
    // export was cancelled or failed without a reason).
    using Completion = std::function<void(bool success, std::optional<LdError> error)>;

    static constexpr const char* kBackupsChangedNotification =
            "LdCDatabaseBackupsChangedNotification";
    static constexpr const char* kArchiveExtension = "ld5a";
    static constexpr const char* kBackupInfoFileName = "backup.info";
    static constexpr const char* kExportQueueName = "DatabaseArchiveExportQueue";
    static constexpr const char* kDefaultBackupFolderName = "Backups";
    // The progress units of one export.
    static constexpr std::int64_t kExportProgressUnits = 9;

    // Settings in the user defaults (the application sets their first values).
    static constexpr const char* kTimeBasedBackupsKey = "timeBasedBackups";
    static constexpr const char* kDeleteSyncBackupsKey = "deleteSyncBackups";
    static constexpr const char* kBackupIntervalKey = "backups_intervall";
    static constexpr const char* kNumberToKeepKey = "backups_number_to_keep";
    static constexpr const char* kBackupFolderBookmarkKey = "backups_folderBookmarkData";

    // Settings, clock and the databases come from `catalogue`, which outlives the manager.
    explicit LdCDatabaseBackupManager(LdCDatabaseManager& catalogue);
    // Cancels the running exports, waits for them and takes the manager's hooks out of the
    // catalogue. Completions not yet delivered are dropped.
    ~LdCDatabaseBackupManager();
    LdCDatabaseBackupManager(const LdCDatabaseBackupManager&) = delete;
    LdCDatabaseBackupManager& operator=(const LdCDatabaseBackupManager&) = delete;

    // ---- The backup folder

    // backupFolderURL — the override when set, else the remembered folder when it exists and is
    // a readable folder, else the default.
    std::filesystem::path backupFolderURL() const;
    // defaultBackupFolderURL — "Backups" in the application's base folder.
    static std::filesystem::path defaultBackupFolderURL();
    // setBackupFolderURL: — moves the existing backups into `folder` (moveBackupsToNewFolder:)
    // and remembers it in the user defaults. An empty path is a missing argument.
    bool setBackupFolderURL(const std::filesystem::path& folder, LdError* error = nullptr);
    // A backup folder for this process only (the command line's --backups-folder): neither
    // remembered nor moving anything. An empty path removes the override.
    void setBackupFolderOverride(const std::filesystem::path& folder);

    // ---- Making backups

    // makeTimeBasedBackupForDatabase: — when automatic backups are on and one is due, starts a
    // backup with reason 1 on the export queue. Returns whether one was started.
    bool makeTimeBasedBackupForDatabase(const std::filesystem::path& databaseURL,
                                        Completion completion = {});
    // isItTimeToBackupDatabaseAtURL: — no time-based backup yet, or the newest one that lies
    // before now is more than "backups_intervall" seconds old.
    bool isItTimeToBackupDatabaseAtURL(const std::filesystem::path& databaseURL);
    // startBackupForDatabaseAtURL:reason:completion: — creates the database's subfolder, names
    // the archive and starts its export; after it the database's backups are pruned and the
    // change is posted, then `completion` runs. False (and nothing is called) without a database
    // identifier, or when the subfolder cannot be made or is a file.
    bool startBackupForDatabaseAtURL(const std::filesystem::path& databaseURL,
                                     int reason,
                                     Completion completion = {});
    // The same backup, made on the calling thread to the end before returning (the backup before
    // a save or a migration, the command line). Prunes and posts the change like the above.
    bool backupDatabaseAtURLNow(const std::filesystem::path& databaseURL,
                                int reason,
                                LdError* error = nullptr);

    // ---- Listing, pruning, deleting

    // existingBackupInfosForDatabaseID:ofType: — the archives in the database's subfolder, of one
    // reason or of all (0), newest first (those without creation date last).
    std::vector<LdCDatabaseBackupInfo> existingBackupInfosForDatabaseID(std::string_view databaseID,
                                                                        int reason = 0);
    // backupInfoFromBackupURL:
    std::optional<LdCDatabaseBackupInfo> backupInfoFromBackupURL(
            const std::filesystem::path& backupURL);
    // deleteBackupAtURL:postChangeNotification: — only an archive inside the backup folder; an
    // emptied database subfolder goes with it. Returns whether it was deleted.
    bool deleteBackupAtURL(const std::filesystem::path& backupURL,
                           bool postChangeNotification = true);
    // deleteAllBackupsForDatabaseID:error:
    bool deleteAllBackupsForDatabaseID(std::string_view databaseID, LdError* error = nullptr);
    // existingBackupDatabaseIDs — the names of the subfolders of the backup folder, sorted.
    std::vector<std::string> existingBackupDatabaseIDs();
    // cleanBackupsForDatabaseID: — prunes to "backups_number_to_keep" (below 1 counts as 1)
    // candidates; sync backups and the newest migration backups stay.
    void cleanBackupsForDatabaseID(std::string_view databaseID);
    // cleanAllBackups — removes what killed exports left behind and prunes every database's
    // backups. Runs once by itself at the manager's first use.
    void cleanAllBackups();

    // ---- Restoring, exporting, importing

    // restoreDatabaseBackupwithBackupURL:error: — imports an archive inside the backup folder as
    // a new database named by databaseNameForRestoredBackupFromURL:. Returns its info.
    LdCDatabaseManager::InfoPtr restoreDatabaseBackupwithBackupURL(
            const std::filesystem::path& backupURL, LdError* error = nullptr);
    // databaseNameForRestoredBackupFromURL: — "_BACKUP_RESTORE_DB_NAME_WITH_DATE" with the
    // database's name and the backup's creation date ("_UNKNOWN" without one).
    std::string databaseNameForRestoredBackupFromURL(const std::filesystem::path& backupURL);

    // exportDatabaseAtURL:toArchiveURL:backupMode:completion: — queues the export of the database
    // as an archive at `archiveURL`; `backupMode` is the reason written into "backup.info" (0 for
    // a plain export). An existing archive there is replaced only once the new one is complete.
    // False with an error ("_EXPORT_LEDRA_ARCHIVE_IS_ALREADY_EXPORTING") while an export of the
    // same database runs; `completion` is then not called. Missing arguments: false, no error.
    bool exportDatabaseAtURL(const std::filesystem::path& databaseURL,
                             const std::filesystem::path& archiveURL,
                             int backupMode,
                             Completion completion,
                             LdError* error = nullptr);
    // isArchiveExportInProgressForDBAtURL:
    bool isArchiveExportInProgressForDBAtURL(const std::filesystem::path& databaseURL) const;
    // The running or queued export's operation (progress, cancel), or nullptr.
    std::shared_ptr<LdOperation> archiveExportOperationForDatabaseURL(
            const std::filesystem::path& databaseURL) const;
    // cancelArchiveExportForDatabaseURL:
    void cancelArchiveExportForDatabaseURL(const std::filesystem::path& databaseURL);
    // cancelAllArchiveExportOperations
    void cancelAllArchiveExportOperations();
    // Blocks until every queued backup and export has finished, delivering their completions on
    // the main queue (the command line before it exits). Main thread only.
    void waitUntilAllExportsFinished();

    // importDatabaseOrDBArchiveAtURL:error: — imports a database folder ("lddb") or an archive
    // ("ld5a") as a new database under a fresh identifier. The store file is vetted first (with
    // `password` for an encrypted one); a refused or missing store adds nothing.
    LdCDatabaseManager::InfoPtr importDatabaseOrDBArchiveAtURL(const std::filesystem::path& url,
                                                               LdError* error = nullptr);
    LdCDatabaseManager::InfoPtr importDatabaseOrDBArchiveAtURL(
            const std::filesystem::path& url,
            const std::optional<std::string>& password,
            LdError* error = nullptr);

    // Told the name of each archive item ("backup.info", the store file's name, ...) after it was
    // copied, on the thread that copies (tests, progress displays). Empty: nothing.
    void setItemCopiedObserver(std::function<void(const std::string& itemName)> observer);

private:
    struct State;
    std::shared_ptr<State> state_;
};
