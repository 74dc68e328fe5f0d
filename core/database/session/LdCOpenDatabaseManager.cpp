#include "core/database/session/LdCOpenDatabaseManager.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <system_error>
#include <utility>

#include "core/database/catalogue/LdCDatabaseInfo.h"
#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/catalogue/LdCDatabaseMetadataItem.h"
#include "core/database/model/LdObjectModel.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/rates/LdCExchangeRateManager.h"
#include "core/database/resources/LdCFileAttachmentsManager.h"
#include "core/database/resources/LdCFileResourceManager.h"
#include "core/database/session/LdCDatabaseInitializer.h"
#include "core/database/session/LdCManagedObjectsChangeNotificationManager.h"
#include "core/database/session/detail/LdDatabaseLock.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/security/LdSecretStore.h"
#include "core/security/VTCrypto.h"
#include "core/support/LdLogger.h"
#include "core/support/currency/LdCCountryManager.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUserDefaults.h"
#include "core/support/queues/LdMainQueue.h"
#include "core/sync/LdCDatabaseMergeManager.h"

namespace {

// The current model version; the only one this library writes.
constexpr std::int64_t kCurrentModelVersion = 4992;
// Failed password checks kept for the throttle, the span in which a fourth failure waits, and
// how long it waits.
constexpr std::size_t kPasswordTriesKept = 3;
constexpr double kPasswordTrySpanSeconds = 0.5;
constexpr double kPasswordThrottleSeconds = 10.0;
// The update service cleans the deletion log when it last did so longer ago than this (62 days).
constexpr double kSyncLogCleanUpIntervalSeconds = 5356800.0;
// Recurring entries are created at most this many days ahead.
constexpr std::uint64_t kMaximumRecurringDays = 999;
// Build numbers at which the update service's repairs were introduced.
constexpr std::int32_t kUpdateServiceBuild = 50021;
constexpr std::int32_t kSyncDeviceRepairBuild = 50007;

constexpr const char* kDayDidChangeNotification = "LdDayDidChangeNotification";
constexpr const char* kAllowedSyncDevicesKey = "sync_allways_allowed_device_ids";
constexpr const char* kDeviceIdentifierKey = "DeviceIdentifier";

LdData sha512OfText(const std::string& text) {
    return VTCrypto::SHA512(LdData(text.begin(), text.end()));
}

// Whether a store file is a plain SQLite file, which is opened without a key whatever password
// the caller gives.
bool isPlainStoreFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::array<char, 16> header{};
    if (!file.read(header.data(), header.size())) {
        return false;
    }
    return std::memcmp(header.data(), "SQLite format 3", 16) == 0;
}

// The model version a store's metadata records: the last version identifier read as a number.
std::int64_t modelVersionOfMetadata(const LdValue::Dictionary& metadata) {
    auto identifiers = metadata.find(kLdStoreModelVersionIdentifiersKey);
    if (identifiers == metadata.end() || !identifiers->second.isArray() ||
        identifiers->second.arrayValue().empty()) {
        return kCurrentModelVersion;
    }
    const LdValue& last = identifiers->second.arrayValue().back();
    if (last.isString()) {
        try {
            return std::stoll(last.stringValue());
        } catch (...) {
            return 0;
        }
    }
    return last.integerValue();
}

}  // namespace

LdCOpenDatabaseManager::LdCOpenDatabaseManager(LdCDatabaseManager& catalogue,
                                               std::shared_ptr<LdCDatabaseInfo> info)
    : catalogue_(catalogue), info_(std::move(info)) {}

LdCOpenDatabaseManager::~LdCOpenDatabaseManager() {
    if (context_) {
        closeDatabaseWithSaveing(false, false);
    }
}

std::filesystem::path LdCOpenDatabaseManager::databaseURL() const {
    return info_ ? info_->url() : std::filesystem::path();
}

std::string LdCOpenDatabaseManager::databaseID() const {
    return info_ ? info_->databaseID() : std::string();
}

std::string LdCOpenDatabaseManager::databaseName() const {
    return info_ ? info_->name() : std::string();
}

std::vector<std::uint8_t> LdCOpenDatabaseManager::resourceFilesEncryptionKey() const {
    return currentUser_ != nullptr ? currentUser_->passwordForResourceFiles() : LdData();
}

int LdCOpenDatabaseManager::openDatabaseWithPassword(const std::optional<std::string>& password,
                                                     int mode) {
    const std::filesystem::path url = databaseURL();
    std::error_code folderError;
    if (url.empty() || !std::filesystem::is_directory(url, folderError)) {
        return kLdOpenDatabaseNotLoaded;
    }
    if (context_) {
        return kLdOpenDatabaseAlreadyOpen;
    }
    lock_ = ld::detail::LdDatabaseLock::tryLock(url);
    if (!lock_) {
        LdLogger::shared().log("The database is open in another process: " + url.string(), 1);
        return kLdOpenDatabaseAlreadyOpen;
    }
    mode_ = mode;
    const int result = loadStore(password, mode);
    if (result != kLdOpenDatabaseOpened) {
        lock_.reset();
        return result;
    }

    // Step 5: the password check, the update service, notifications and undo.
    if (!isDatabasePasswordCorrect(password)) {
        closeDatabaseWithSaveing(false, false);
        return kLdOpenDatabaseWrongPassword;
    }
    changeNotificationManager_ =
            std::make_unique<LdCManagedObjectsChangeNotificationManager>(*context_);
    changeNotificationManager_->disableNotifications();
    if (mode != kLdOpenDatabaseModeReadOnly && performDatabaseUpdateService()) {
        const bool backups = enableAutomaticBackups_;
        enableAutomaticBackups_ = false;
        LdError error;
        if (!saveChanges(&error, false, true)) {
            LdLogger::shared().logError(error.logDescription());
        }
        enableAutomaticBackups_ = backups;
    }
    changeNotificationManager_->enableNotifications();
    context_->processPendingChanges();
    installUndoManager();
    fileResourceManager_ = std::make_unique<LdCFileResourceManager>(*this);
    exchangeRateManager_ = std::make_unique<LdCExchangeRateManager>(*this);
    if (mode != kLdOpenDatabaseModeNormal) {
        return kLdOpenDatabaseOpened;
    }

    // Step 7: the housekeeping of a full open. The domain managers that take part in it are
    // called here in their fixed order as they come into being.
    subscriptions_.push_back(LdNotificationCenter::defaultCenter().addObserverForName(
            kDayDidChangeNotification, nullptr,
            [this](const LdNotification&) { notifyManagersOfDayChange(); }));
    subscriptions_.push_back(changeNotificationManager_->registerObserver(
            this, std::vector<const LdEntityDescription*>{LdCDUser::entityDescription()}));
    databaseOpenDate_ = catalogue_.clock().now();
    fileAttachmentsManager_ = std::make_unique<LdCFileAttachmentsManager>(*this);
    // Files no object refers to any more go, now that every object is loaded.
    fileResourceManager_->performGarbageCollection();
    return kLdOpenDatabaseOpened;
}

// Steps 2 to 4 of opening: the migration check, the store's metadata and the store itself, the
// context and the user record.
int LdCOpenDatabaseManager::loadStore(const std::optional<std::string>& password, int mode) {
    const std::filesystem::path url = databaseURL();
    const std::filesystem::path storePath =
            LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(url);
    std::error_code existsError;
    const bool storeExists = std::filesystem::exists(storePath, existsError);
    // A plain store is read without a key whatever password is given: the password check below
    // decides for it.
    const std::string key =
            storeExists && isPlainStoreFile(storePath) ? std::string() : password.value_or("");
    const int migration = catalogue_.isMigrationNeededForDatabaseAtURL(
            url, key.empty() ? std::nullopt : std::optional<std::string>(key));
    if (migration == 1 && mode != kLdOpenDatabaseModeIgnoringMigration) {
        return kLdOpenDatabaseNeedsMigration;
    }
    if (migration == 2) {
        return kLdOpenDatabaseWrongPassword;
    }
    if (migration == 3) {
        return kLdOpenDatabaseNewerVersion;
    }

    const LdObjectModel& model = LdObjectModel::ledraModel();
    if (storeExists) {
        bool passwordCorrect = false;
        LdError error;
        auto metadata =
                LdCryptStore::metadataForCryptStoreAtURL(storePath, key, &passwordCorrect, &error);
        if (!passwordCorrect) {
            return kLdOpenDatabaseWrongPassword;
        }
        if (metadata) {
            const std::int64_t version = modelVersionOfMetadata(*metadata);
            if (version != kCurrentModelVersion ||
                !LdCryptStore::isModelCompatibleWithMetadata(model, *metadata)) {
                // Only the current model version exists: a store of another one cannot be loaded.
                return version > kCurrentModelVersion ? kLdOpenDatabaseNewerVersion
                                                      : kLdOpenDatabaseNotLoaded;
            }
        }
    } else if (mode == kLdOpenDatabaseModeReadOnly) {
        return kLdOpenDatabaseNotLoaded;
    }

    LdValue::Dictionary options;
    if (!key.empty()) {
        options.emplace(kLdCryptStorePasswordOption, LdValue(key));
    }
    if (mode == kLdOpenDatabaseModeReadOnly) {
        options.emplace(kLdCryptStoreReadOnlyOption, LdValue(true));
    }
    store_ = std::make_unique<LdCryptStore>(storePath, options, model);
    LdError loadError;
    if (!store_->loadMetadata(&loadError)) {
        LdLogger::shared().logError(loadError.logDescription());
        store_.reset();
        return kLdOpenDatabaseNotLoaded;
    }
    context_ = std::make_unique<LdManagedObjectContext>(*store_);
    context_->setUndoEnabled(false);
    context_->setDeletionLogger(this);
    context_->setMainQueue(&LdMainQueue::main());
    currentUser_ = LdCDatabaseInitializer::createUserForContext(*context_);
    if (currentUser_ == nullptr) {
        context_.reset();
        store_.reset();
        return kLdOpenDatabaseNotLoaded;
    }
    // A new database's user record and initial content are saved at once.
    const bool created = currentUser_->isInserted();
    bool needsSave = created;
    if (!key.empty() && currentUser_->passwordHash() != sha512OfText(key)) {
        // The store opened with this password, so it is the database's password. A crash between
        // a re-key and the save of the new hash leaves the old hash behind: the file decides.
        currentUser_->setPasswordHash(sha512OfText(key));
        needsSave = true;
        if (!created) {
            LdLogger::shared().log("The password hash of database " + databaseID() +
                                           " did not match its store's key and was set from it.",
                                   1);
        }
    }
    if (needsSave && mode != kLdOpenDatabaseModeReadOnly) {
        LdError error;
        if (!context_->save(&error)) {
            LdLogger::shared().logError(error.logDescription());
            currentUser_ = nullptr;
            context_.reset();
            store_.reset();
            return kLdOpenDatabaseNotLoaded;
        }
    }
    return kLdOpenDatabaseOpened;
}

void LdCOpenDatabaseManager::installUndoManager() {
    context_->setUndoEnabled(true);
    LdUndoManager* undo = context_->undoManager();
    auto& center = LdNotificationCenter::defaultCenter();
    for (const char* name :
         {kLdUndoManagerWillUndoNotification, kLdUndoManagerWillRedoNotification}) {
        subscriptions_.push_back(center.addObserverForName(
                name, undo, [this](const LdNotification&) { disableDeleteLogRegistration(); }));
    }
    for (const char* name :
         {kLdUndoManagerDidUndoNotification, kLdUndoManagerDidRedoNotification}) {
        subscriptions_.push_back(center.addObserverForName(
                name, undo, [this](const LdNotification&) { enableDeleteLogRegistration(); }));
    }
}

bool LdCOpenDatabaseManager::isPasswordProtected() const {
    return currentUser_ != nullptr && !currentUser_->passwordHash().empty();
}

bool LdCOpenDatabaseManager::isDatabasePasswordCorrect(const std::optional<std::string>& password) {
    if (currentUser_ == nullptr) {
        return false;
    }
    const LdData hash = currentUser_->passwordHash();
    if (hash.empty()) {
        passwordTryTimes_.clear();
        cachedPassword_.reset();
        return true;
    }
    if (password && !password->empty() && sha512OfText(*password) == hash) {
        passwordTryTimes_.clear();
        cachedPassword_ = password;
        return true;
    }
    LdClock& clock = catalogue_.clock();
    if (passwordTryTimes_.size() >= kPasswordTriesKept) {
        const double sinceOldest = clock.now().timeIntervalSinceDate(passwordTryTimes_.front());
        if (sinceOldest <= kPasswordTrySpanSeconds) {
            clock.waitSeconds(kPasswordThrottleSeconds);
        }
        passwordTryTimes_.erase(passwordTryTimes_.begin());
    }
    passwordTryTimes_.push_back(clock.now());
    return false;
}

bool LdCOpenDatabaseManager::setNewPassword(const std::optional<std::string>& newPassword,
                                            const std::optional<std::string>& oldPassword,
                                            LdError* error) {
    if (!context_ || !isDatabasePasswordCorrect(oldPassword)) {
        return failWith(error, LdError::errorWithTitle("_WRONG_PASSWORD", "_DB_WRONG_PASSWORD"));
    }
    if (isDatabaseConnectedToiCloud() && !newPassword) {
        return failWith(error, LdError::errorWithTitle("_DB_PASSWORD_DELETE_FAILED",
                                                       "_DB_PASSWORD_DELETE_FAILED_ICLOUD_REASON"));
    }
    if (mode_ == kLdOpenDatabaseModeReadOnly) {
        return failWith(error, LdError::errorWithTitle("_ERROR", "_DB_OPENED_READ_ONLY"));
    }
    catalogue_.secretStore().deletePasswordForDatabaseID(databaseID());
    if (newPassword && newPassword->empty()) {
        return false;
    }
    const std::optional<std::string> previousPassword = cachedPassword_;
    const LdData previousHash = currentUser_->passwordHash();
    LdError storeError;
    if (!store_->changePasswordTo(newPassword, &storeError)) {
        LdLogger::shared().logError(storeError.logDescription());
        context_->undoManager()->removeAllActions();
        return failWith(
                error,
                newPassword ? LdError::errorWithTitle("_DB_PASSWORD_CHANGED_FAILED", "")
                            : LdError::errorWithTitle("_DB_PASSWORD_DELETE_FAILED",
                                                      "_DB_PASSWORD_DELETE_FAILED_RESTORE_REASON"));
    }
    if (newPassword) {
        currentUser_->setPasswordHash(sha512OfText(*newPassword));
    } else {
        currentUser_->setPasswordHash(std::nullopt);
    }
    cachedPassword_ = newPassword;
    LdError saveError;
    const bool saved = saveChanges(&saveError, true, true);
    if (!saved) {
        // The file is keyed with the new password but its hash is not stored: key it back, so the
        // file and the user record agree again, and keep the old password.
        LdError rekeyError;
        if (!store_->changePasswordTo(previousPassword, &rekeyError)) {
            LdLogger::shared().logError(rekeyError.logDescription());
        }
        currentUser_->setPasswordHash(previousHash.empty() ? std::nullopt
                                                           : std::optional<LdData>(previousHash));
        cachedPassword_ = previousPassword;
        context_->undoManager()->removeAllActions();
        return failWith(error, saveError);
    }
    if (newPassword) {
        if (!previousPassword) {
            encryptAllResourceFiles();
        }
    } else {
        deleteAllEncryptedFiles();
    }
    context_->undoManager()->removeAllActions();
    return true;
}

bool LdCOpenDatabaseManager::saveChanges(LdError* error, bool forceSave, bool saveToICloud) {
    if (!context_) {
        return false;
    }
    if (exportRunning_ && exportRunning_()) {
        return false;
    }
    // The rate store is a file of its own: its changes are saved whether or not the database
    // has any (also when the database is open read-only).
    if (exchangeRateManager_) {
        LdError rateError;
        if (!exchangeRateManager_->saveChanges(&rateError)) {
            LdLogger::shared().logError(rateError.logDescription());
        }
    }
    if (mode_ == kLdOpenDatabaseModeReadOnly) {
        return failWith(error, LdError::errorWithTitle("_ERROR", "_DB_OPENED_READ_ONLY"));
    }
    const bool contextChanged = context_->hasChanges();
    const LdCDatabaseMetadataItem* item = info_->databaseMetadata();
    const bool metadataChanged = item != nullptr && item->hasChanges();
    if (!contextChanged && !metadataChanged && !forceSave) {
        return false;
    }
    if (contextChanged && enableAutomaticBackups_ && backupHook_) {
        backupHook_(*this);
    }
    if (!context_->save(error)) {
        return false;
    }
    LdError metadataError;
    if (!writeMetadata(saveToICloud, &metadataError)) {
        // The data is saved; a metadata file that could not be written is only logged.
        LdLogger::shared().logError(metadataError.logDescription());
    }
    if (LdCDatabaseManagerUIDelegate* delegate = catalogue_.UIDelegate()) {
        delegate->availableDatabasesDidChange();
    }
    if (afterSaveHook_) {
        afterSaveHook_(*this);
    }
    return true;
}

bool LdCOpenDatabaseManager::writeMetadata(bool saveToICloud, LdError* error) {
    LdCDatabaseMetadataItem* item = info_->databaseMetadata();
    if (item == nullptr) {
        info_->setDatabaseMetadata(LdCDatabaseMetadataItem(
                LdCDatabaseManager::metadataFileURLForDatabaseURL(databaseURL())));
        item = info_->databaseMetadata();
    }
    const LdDate now = catalogue_.clock().now();
    item->setLastModified(now);
    if (saveToICloud) {
        item->setLastModifiedForICloud(now);
    }
    item->setLastWritingAppName(LdApplication::name());
    item->setLastWritingAppVersion(LdApplication::version());
    return item->writeMetadata(error);
}

std::optional<LdError> LdCOpenDatabaseManager::closeDatabaseWithSaveing(bool save,
                                                                        bool saveToICloud) {
    if (!context_) {
        return std::nullopt;
    }
    if (beforeCloseHook_) {
        beforeCloseHook_(*this);
    }
    subscriptions_.clear();
    context_->setUndoEnabled(false);
    std::optional<LdError> saveError;
    if (save && mode_ != kLdOpenDatabaseModeReadOnly) {
        LdError error;
        if (!saveChanges(&error, false, saveToICloud) && !error.title().empty()) {
            LdLogger::shared().logError(error.logDescription());
            saveError = error;
        }
    }
    if (isPasswordProtected()) {
        // Plain resource files are working copies beside their encrypted twins; only the twins
        // stay on disk.
        LdCFileResourceManager::deletePlainFilesWithEncryptedTwins(databaseURL());
    }
    fileAttachmentsManager_.reset();
    fileResourceManager_.reset();
    // Cancels a running download and saves the rate store.
    exchangeRateManager_.reset();
    changeNotificationManager_.reset();
    currentUser_ = nullptr;
    context_.reset();
    store_.reset();
    cachedPassword_.reset();
    lock_.reset();
    catalogue_.openDatabaseManagerDidClose(*this);
    return saveError;
}

std::string LdCOpenDatabaseManager::mainCurrency() const {
    return currentUser_ != nullptr ? currentUser_->mainCurrency() : std::string();
}

void LdCOpenDatabaseManager::setMainCurrency(const std::string& currencyCode) {
    if (currentUser_ == nullptr || currencyCode.empty() ||
        currentUser_->mainCurrency() == currencyCode) {
        return;
    }
    currentUser_->setMainCurrency(currencyCode);
    currentUser_->setSyncChangeDate(catalogue_.clock().now());
    // The accounts and stock managers convert the main lists to the new currency once they exist.
    if (LdCDAccountList* list = currentUser_->mainAccountList()) {
        list->setCurrencyCode(currencyCode);
    }
    if (LdCDStockList* list = currentUser_->mainStockList()) {
        list->setCurrencyCode(currencyCode);
    }
}

void LdCOpenDatabaseManager::setCreateLocalRecurringTransactionsInactive(bool inactive) {
    if (currentUser_ != nullptr) {
        currentUser_->setCreateRecurringEntriesInactive(inactive);
    }
}

void LdCOpenDatabaseManager::setMaxDaysToComputeRecurringTransactions(std::uint64_t days) {
    if (currentUser_ == nullptr) {
        return;
    }
    days = std::min(days, kMaximumRecurringDays);
    const auto current = static_cast<std::uint64_t>(
            currentUser_->numberOfDaysToCreateRecurringEntriesInAdvance());
    if (current == days) {
        return;
    }
    currentUser_->setNumberOfDaysToCreateRecurringEntriesInAdvance(static_cast<std::int64_t>(days));
    // The transactions manager creates or removes the recurring entries beyond the new limit
    // once it exists.
}

std::uint32_t LdCOpenDatabaseManager::databaseSyncMode() const {
    const LdCDatabaseMetadataItem* item = info_ ? info_->databaseMetadata() : nullptr;
    return item != nullptr ? item->syncMode() : 0;
}

void LdCOpenDatabaseManager::setDatabaseSyncMode(std::uint32_t mode) {
    if (mode == databaseSyncMode()) {
        return;
    }
    if (mode != 2) {
        std::error_code removeError;
        std::filesystem::remove(
                LdCDatabaseManager::syncMetadataFileURLForDatabaseURL(databaseURL()), removeError);
    }
    LdCDatabaseMetadataItem* item = info_->databaseMetadata();
    if (item == nullptr) {
        info_->setDatabaseMetadata(LdCDatabaseMetadataItem(
                LdCDatabaseManager::metadataFileURLForDatabaseURL(databaseURL())));
        item = info_->databaseMetadata();
    }
    item->setSyncMode(mode);
    LdError error;
    if (!item->writeMetadata(&error)) {
        LdLogger::shared().logError(error.logDescription());
    }
    catalogue_.syncStateChangedForDatabaseURL(databaseURL());
}

void LdCOpenDatabaseManager::logDeleteOfManagedObjectWithSyncID(const std::string& syncID,
                                                                const std::string& kind) {
    if (!enableDeleteLogRegistration_ || syncID.empty() || kind.empty() || !context_) {
        return;
    }
    auto* log = context_->insertNewObject<LdCDSyncDeleteLog>(LdCDSyncDeleteLog::entityName());
    if (log != nullptr) {
        log->setId_of_deleted_object(syncID);
        log->setObject_kind(kind);
    }
}

void LdCOpenDatabaseManager::addUserObserver(LdCUserObserver* observer) {
    if (observer != nullptr &&
        std::find(userObservers_.begin(), userObservers_.end(), observer) == userObservers_.end()) {
        userObservers_.push_back(observer);
    }
}

void LdCOpenDatabaseManager::removeUserObserver(LdCUserObserver* observer) {
    userObservers_.erase(std::remove(userObservers_.begin(), userObservers_.end(), observer),
                         userObservers_.end());
}

void LdCOpenDatabaseManager::managedObjectsUpdated(
        const std::vector<LdManagedObject*>& /*objects*/) {
    const std::vector<LdCUserObserver*> observers = userObservers_;
    for (LdCUserObserver* observer : observers) {
        observer->currentUserDidUpdate();
    }
}

void LdCOpenDatabaseManager::notifyManagersOfDayChange() {
    // Balances, recurring entries, account lists, budgets, charts and reports are updated here,
    // in that order, by their managers once they exist.
}

bool LdCOpenDatabaseManager::performDatabaseUpdateService() {
    if (LdApplication::buildNumber() < 1 || currentUser_ == nullptr) {
        return false;
    }
    bool changed = false;
    const LdDate now = catalogue_.clock().now();
    const std::optional<LdDate> lastCleanUp = currentUser_->lastSyncLogCleanUpDate();
    if (!lastCleanUp || now.timeIntervalSinceDate(*lastCleanUp) > kSyncLogCleanUpIntervalSeconds) {
        LdError error;
        if (!LdCDatabaseMergeManager::deleteOldDeleteSyncLogsWithError(&error, *context_)) {
            LdLogger::shared().logError(error.logDescription());
        }
        changed = true;
    }
    const std::int32_t lastBuild = currentUser_->lastUpdateServiceBuildNumber();
    if (lastBuild < kUpdateServiceBuild) {
        if (lastBuild < kSyncDeviceRepairBuild) {
            repairAllowedSyncDevices();
        }
        // FinTS accounts are repaired by the accounts manager once it exists.
        updateLegacyAccountCurrencies();
        currentUser_->setLastUpdateServiceBuildNumber(LdApplication::buildNumber());
        changed = true;
    }
    return changed;
}

void LdCOpenDatabaseManager::repairAllowedSyncDevices() {
    LdUserDefaults& defaults = catalogue_.settings();
    auto devices = defaults.objectForKey(kAllowedSyncDevicesKey);
    if (!devices || !devices->isDictionary()) {
        return;
    }
    LdValue::Dictionary dictionary = devices->dictionaryValue();
    auto literal = dictionary.find(kDeviceIdentifierKey);
    if (literal == dictionary.end()) {
        return;
    }
    const LdValue description = literal->second;
    dictionary.erase(literal);
    if (description.isDictionary()) {
        const auto& fields = description.dictionaryValue();
        auto identifier = fields.find(kDeviceIdentifierKey);
        if (identifier != fields.end() && identifier->second.isString() &&
            !identifier->second.stringValue().empty()) {
            dictionary[identifier->second.stringValue()] = description;
        }
    }
    defaults.set(kAllowedSyncDevicesKey, LdValue(std::move(dictionary)));
}

void LdCOpenDatabaseManager::updateLegacyAccountCurrencies() {
    LdFetchRequest request;
    request.entity = LdCDAccount::entityDescription();
    auto accounts = context_->executeFetchRequest(request);
    if (!accounts) {
        return;
    }
    const auto& replacements = LdCCountryManager::replacementCurrencyCodes();
    for (LdManagedObject* object : *accounts) {
        auto* account = static_cast<LdCDAccount*>(object);
        auto replacement = replacements.find(account->currencyCode());
        if (replacement != replacements.end()) {
            account->setCurrencyCode(replacement->second);
        }
    }
}

void LdCOpenDatabaseManager::encryptAllResourceFiles() {
    const LdData key = resourceFilesEncryptionKey();
    for (int type : LdCDatabaseManager::allDatabaseResourceTypes()) {
        const std::filesystem::path folder =
                LdCDatabaseManager::urlForResourceType(type, databaseURL());
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            if (!entry.is_regular_file() || entry.path().extension() == ".crypt") {
                continue;
            }
            if (auto failure = VTCrypto::aesEncryptFileAtURL(entry.path(), key, folder)) {
                LdLogger::shared().logError(failure->logDescription());
            }
        }
    }
}

bool LdCOpenDatabaseManager::deleteAllEncryptedFiles() {
    const LdData key = resourceFilesEncryptionKey();
    for (int type : LdCDatabaseManager::allDatabaseResourceTypes()) {
        const std::filesystem::path folder =
                LdCDatabaseManager::urlForResourceType(type, databaseURL());
        std::error_code error;
        std::vector<std::filesystem::path> encrypted;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            if (entry.is_regular_file() && entry.path().extension() == ".crypt") {
                encrypted.push_back(entry.path());
            }
        }
        for (const std::filesystem::path& path : encrypted) {
            std::filesystem::path plain = path;
            plain.replace_extension();
            std::error_code existsError;
            if (!std::filesystem::exists(plain, existsError)) {
                // Only the encrypted form exists (it came by sync): keep its content as plain file.
                if (auto failure = VTCrypto::aesDecryptFileAtURL(path, key, folder)) {
                    LdLogger::shared().logError(failure->logDescription());
                    return false;
                }
            }
            std::error_code removeError;
            if (!std::filesystem::remove(path, removeError)) {
                return false;
            }
        }
    }
    return true;
}
