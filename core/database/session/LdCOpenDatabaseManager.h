// LdCOpenDatabaseManager: the session of one open database. It owns the store and the object
// context over it, keeps the database's user record, checks and changes the password, saves with
// the database's metadata, runs the database update service, writes the deletion log that sync
// reads, fans object changes out to the domain managers and closes the database.
//
// The catalogue (LdCDatabaseManager) makes one session per open and drops it after close; a
// session is not reused. Everything runs on the main thread. While a session is open it holds an
// advisory lock on the database folder, so a second process answers "already open" (6) instead of
// overwriting this one's changes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/session/LdCManagedObjectsChangeNotificationManager.h"
#include "core/support/LdError.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/platform/LdSubscription.h"

class LdCDatabaseInfo;
class LdCFileAttachmentsManager;
class LdCFileResourceManager;
class LdCDatabaseManager;
class LdCExchangeRateManager;
class LdCDUser;
class LdClock;
class LdCryptStore;
class LdMainQueue;

namespace ld::detail {
class LdDatabaseLock;
}

// Result codes of opening (the catalogue adds 4 to 6 before a session is made; the session also
// answers 6 when another process holds the database).
enum LdOpenDatabaseResult : int {
    kLdOpenDatabaseOpened = 0,
    kLdOpenDatabaseWrongPassword = 1,
    kLdOpenDatabaseNeedsMigration = 2,
    kLdOpenDatabaseNewerVersion = 3,
    kLdOpenDatabaseCloudConflicts = 4,
    kLdOpenDatabaseBusy = 5,
    kLdOpenDatabaseAlreadyOpen = 6,
    kLdOpenDatabaseNotLoaded = 99,
};

// Modes of opening: 0 full open with housekeeping; 1 open even when a migration is needed, with
// the model version the store records, without housekeeping; 2 read-only, without housekeeping.
enum LdOpenDatabaseMode : int {
    kLdOpenDatabaseModeNormal = 0,
    kLdOpenDatabaseModeIgnoringMigration = 1,
    kLdOpenDatabaseModeReadOnly = 2,
};

// Told when the user record changes (addUserObserver:).
class LdCUserObserver {
public:
    virtual ~LdCUserObserver() = default;
    virtual void currentUserDidUpdate() = 0;
};

class LdCOpenDatabaseManager final : public LdDeletionLogger, public LdCManagedObjectsObserver {
public:
    // initWithDatabaseInfo: — deletion logging and automatic backups on. `catalogue` outlives the
    // session.
    LdCOpenDatabaseManager(LdCDatabaseManager& catalogue, std::shared_ptr<LdCDatabaseInfo> info);
    ~LdCOpenDatabaseManager() override;
    LdCOpenDatabaseManager(const LdCOpenDatabaseManager&) = delete;
    LdCOpenDatabaseManager& operator=(const LdCOpenDatabaseManager&) = delete;

    // openDatabaseWithPassword:mode: — an LdOpenDatabaseResult.
    int openDatabaseWithPassword(const std::optional<std::string>& password, int mode);

    // isPasswordProtected — whether the user record holds a password hash.
    bool isPasswordProtected() const;
    // isDatabasePasswordCorrect: — checks a password against the user record, throttling repeated
    // failures (the fourth within half a second of the oldest kept failure waits ten seconds on
    // the clock).
    bool isDatabasePasswordCorrect(const std::optional<std::string>& password);
    // setNewPassword:oldPassword:error: — changes the password; nullopt removes it.
    bool setNewPassword(const std::optional<std::string>& newPassword,
                        const std::optional<std::string>& oldPassword,
                        LdError* error = nullptr);

    // saveChanges: / forceSaveChanges: / saveChangesWithoutICloudUpload:
    bool saveChanges(LdError* error = nullptr) { return saveChanges(error, false, true); }
    bool forceSaveChanges(LdError* error = nullptr) { return saveChanges(error, true, true); }
    bool saveChangesWithoutICloudUpload(LdError* error = nullptr) {
        return saveChanges(error, false, false);
    }
    // saveChanges:forceSave:saveToICloud: — false without an error when there was nothing to save
    // (and no force) or an archive export runs.
    bool saveChanges(LdError* error, bool forceSave, bool saveToICloud);

    // closeDatabase / closeDatabaseWithoutSaving / closeDatabaseWithoutiCloudUpload; each returns
    // the error of a failed save (the database is closed all the same).
    std::optional<LdError> closeDatabase() { return closeDatabaseWithSaveing(true, true); }
    std::optional<LdError> closeDatabaseWithoutSaving() {
        return closeDatabaseWithSaveing(false, true);
    }
    std::optional<LdError> closeDatabaseWithoutiCloudUpload() {
        return closeDatabaseWithSaveing(true, false);
    }
    // closeDatabaseWithSaveing:saveToICloud:
    std::optional<LdError> closeDatabaseWithSaveing(bool save, bool saveToICloud);
    bool isOpen() const { return context_ != nullptr; }

    LdManagedObjectContext* managedObjectContext() const { return context_.get(); }
    LdCryptStore* cryptStore() const { return store_.get(); }
    LdCDUser* currentUser() const { return currentUser_; }
    const std::shared_ptr<LdCDatabaseInfo>& databaseInfo() const { return info_; }
    LdCDatabaseManager& catalogue() const { return catalogue_; }
    std::filesystem::path databaseURL() const;
    std::string databaseID() const;
    std::string databaseName() const;
    // resourceFilesEncryptionKey — the user record's key for resource files.
    std::vector<std::uint8_t> resourceFilesEncryptionKey() const;
    const std::optional<std::string>& cachedDatabasePassword() const { return cachedPassword_; }
    void setCachedDatabasePassword(std::optional<std::string> password) {
        cachedPassword_ = std::move(password);
    }
    std::optional<LdDate> databaseOpenDate() const { return databaseOpenDate_; }

    // mainCurrency / setMainCurrency: — the user record's main currency code.
    std::string mainCurrency() const;
    void setMainCurrency(const std::string& currencyCode);
    // setCreateLocalRecurringTransactionsInactive:
    void setCreateLocalRecurringTransactionsInactive(bool inactive);
    // setMaxDaysToComputeRecurringTransactions: — capped at 999.
    void setMaxDaysToComputeRecurringTransactions(std::uint64_t days);

    // databaseSyncMode / setDatabaseSyncMode: — 0 none, 1 cloud folder, 2 local network.
    std::uint32_t databaseSyncMode() const;
    void setDatabaseSyncMode(std::uint32_t mode);
    bool isICloudEnabled() const { return databaseSyncMode() == 1; }
    // isDatabaseConnectedToiCloud — whether the database lives in the cloud folder (never yet: the
    // cloud folder sync does not exist so far).
    bool isDatabaseConnectedToiCloud() const { return false; }

    // objectOfClass:withManagedObjectIDString: — the object whose ID has this text form when it is
    // a T.
    template <typename T>
    T* objectOfClass(const std::string& objectIDString) {
        if (!context_) {
            return nullptr;
        }
        return dynamic_cast<T*>(context_->objectForURIRepresentation(objectIDString));
    }

    // logDeleteOfManagedObjectWithSyncID:ofKind: — inserts a deletion-log record unless logging
    // is off (around undo and redo).
    void logDeleteOfManagedObjectWithSyncID(const std::string& syncID,
                                            const std::string& kind) override;
    bool isDeleteLogRegistrationEnabled() const { return enableDeleteLogRegistration_; }
    void disableDeleteLogRegistration() { enableDeleteLogRegistration_ = false; }
    void enableDeleteLogRegistration() { enableDeleteLogRegistration_ = true; }

    // Automatic time-based backups before saves (on from creation).
    bool automaticBackupsEnabled() const { return enableAutomaticBackups_; }
    void setAutomaticBackupsEnabled(bool enabled) { enableAutomaticBackups_ = enabled; }

    // addUserObserver: / removeUserObserver:
    void addUserObserver(LdCUserObserver* observer);
    void removeUserObserver(LdCUserObserver* observer);

    // managedObjectsUpdated: — the user record changed: tells every user observer.
    void managedObjectsUpdated(const std::vector<LdManagedObject*>& objects) override;

    // notifyManagersOfDayChange
    void notifyManagersOfDayChange();

    // performDatabaseUpdateService — whether it changed anything.
    bool performDatabaseUpdateService();

    // encryptAllResourceFiles / deleteAllEncryptedFiles
    void encryptAllResourceFiles();
    bool deleteAllEncryptedFiles();

    LdCManagedObjectsChangeNotificationManager* managedObjectsChangeNotificationManager() const {
        return changeNotificationManager_.get();
    }
    // The resource files of the database (made at every open that gets that far, dropped at
    // close); nullptr while closed.
    LdCFileResourceManager* fileResourceManager() const { return fileResourceManager_.get(); }
    // fileAttachmentsManager — the attachments of transactions; made at a full open, dropped at
    // close. The session owns it until the transactions manager exists.
    // The exchange rates of this database, in their own store beside it (made at every open).
    LdCExchangeRateManager* exchangeRateManager() const { return exchangeRateManager_.get(); }
    LdCFileAttachmentsManager* fileAttachmentsManager() const {
        return fileAttachmentsManager_.get();
    }

    // Hooks of the save that later subsystems fill: a time-based backup before a save with
    // changes, the exchange-rate store's save after it, and whether an archive export of this
    // database runs (saves are refused meanwhile).
    void setBackupHook(std::function<void(LdCOpenDatabaseManager&)> hook) {
        backupHook_ = std::move(hook);
    }
    void setAfterSaveHook(std::function<void(LdCOpenDatabaseManager&)> hook) {
        afterSaveHook_ = std::move(hook);
    }
    void setExportRunningCheck(std::function<bool()> check) { exportRunning_ = std::move(check); }
    // Runs first when the database closes, before its last save: stops an archive export of this
    // database, so that the save is not refused and the export does not copy a closing database.
    void setBeforeCloseHook(std::function<void(LdCOpenDatabaseManager&)> hook) {
        beforeCloseHook_ = std::move(hook);
    }

private:
    int loadStore(const std::optional<std::string>& password, int mode);
    void installUndoManager();
    bool writeMetadata(bool saveToICloud, LdError* error);
    void repairAllowedSyncDevices();
    void updateLegacyAccountCurrencies();

    LdCDatabaseManager& catalogue_;
    std::shared_ptr<LdCDatabaseInfo> info_;
    std::unique_ptr<ld::detail::LdDatabaseLock> lock_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
    std::unique_ptr<LdCManagedObjectsChangeNotificationManager> changeNotificationManager_;
    LdCDUser* currentUser_ = nullptr;
    std::vector<LdCUserObserver*> userObservers_;
    std::vector<LdDate> passwordTryTimes_;
    std::optional<std::string> cachedPassword_;
    std::optional<LdDate> databaseOpenDate_;
    int mode_ = kLdOpenDatabaseModeNormal;
    bool enableAutomaticBackups_ = true;
    bool enableDeleteLogRegistration_ = true;
    std::vector<LdSubscription> subscriptions_;
    std::function<void(LdCOpenDatabaseManager&)> backupHook_;
    std::function<void(LdCOpenDatabaseManager&)> afterSaveHook_;
    std::function<bool()> exportRunning_;
    std::function<void(LdCOpenDatabaseManager&)> beforeCloseHook_;
    std::unique_ptr<LdCFileResourceManager> fileResourceManager_;
    std::unique_ptr<LdCFileAttachmentsManager> fileAttachmentsManager_;
    std::unique_ptr<LdCExchangeRateManager> exchangeRateManager_;
};
