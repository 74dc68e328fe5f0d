// LdCDatabaseManager: the catalogue of the user's databases — where they live, how their folders
// and files are named, listing, creating, renaming, duplicating and deleting them, opening them
// through their sessions and migrating old ones to the current object model.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/database/catalogue/LdCDatabaseInfo.h"
#include "core/support/LdError.h"
#include "core/support/platform/LdSubscription.h"
#include "core/support/queues/LdTimer.h"

class LdClock;
class LdCOpenDatabaseManager;
class LdOperation;
class LdOperationQueue;
class LdSecretStore;
class LdUserDefaults;

namespace ld::detail {
class LdFolderWatch;
}

// Told about one database (addObserver:forDatabaseInfo:).
class LdCDatabaseInfoObserver {
public:
    virtual ~LdCDatabaseInfoObserver() = default;
    // Flags, progress, name or URL of the info changed.
    virtual void databaseInfoDidChange(const std::shared_ptr<LdCDatabaseInfo>& /*info*/) {}
    // The database is gone from the catalogue (its folder was deleted or vanished).
    virtual void databaseInfoWasDeleted(const std::shared_ptr<LdCDatabaseInfo>& /*info*/) {}
};

// The application's interface delegate (UIDelegate).
class LdCDatabaseManagerUIDelegate {
public:
    virtual ~LdCDatabaseManagerUIDelegate() = default;
    // availableDatabasesDidChange — the list of databases or their metadata changed.
    virtual void availableDatabasesDidChange() = 0;
    // databaseChanged: — the database was opened or closed.
    virtual void databaseChanged(const std::shared_ptr<LdCDatabaseInfo>& info) = 0;
};

// Questions that later subsystems (archive export, local-network sync, the cloud folder) answer
// about a database; a check that is not set answers no.
struct LdCDatabaseActivityChecks {
    std::function<bool(const LdCDatabaseInfo&)> isExporting;
    std::function<bool(const LdCDatabaseInfo&)> isSynchronizing;
    std::function<bool(const LdCDatabaseInfo&)> isDownloading;
    std::function<bool(const LdCDatabaseInfo&)> hasCloudConflicts;
};

// One step of the migration chain, from the model version it is registered under to `toVersion`.
// `migrate` runs on the queue "MigrationQueue": it reads the store at `sourceStoreURL` and writes
// the migrated store to `destinationStoreURL` (a fresh path in "MigrationTemp"), reporting its
// progress through `operation`; the catalogue then puts the result in place of the old store.
struct LdCDatabaseMigrationStep {
    int toVersion = 0;
    std::function<bool(const std::filesystem::path& sourceStoreURL,
                       const std::filesystem::path& destinationStoreURL,
                       const std::optional<std::string>& password,
                       LdOperation& operation,
                       LdError* error)>
            migrate;
};

// The conversion of databases of the previous major version (stores carrying
// "databaseVersionKey"). `convert` runs on the queue "MigrationQueue" and converts the database
// folder in place, removing "databaseVersionKey" from its store's metadata.
struct LdCPreviousVersionConverter {
    std::int64_t oldestAcceptedVersion = 0;
    std::function<bool(const std::filesystem::path& databaseURL,
                       const std::optional<std::string>& password,
                       LdOperation& operation,
                       LdError* error)>
            convert;
};

// The catalogue: one per process in the application (the tests make their own). Owns the open
// sessions and, until the next open of the same database or its own end, the closed ones (a
// caller may still hold a pointer). Catalogue operations run on the main thread; the folder watch
// and the migration report there (LdMainQueue::main()). The settings, secret store and clock
// outlive the catalogue.
class LdCDatabaseManager {
public:
    using InfoPtr = std::shared_ptr<LdCDatabaseInfo>;
    using MigrationCompletion = std::function<void(bool success, std::optional<LdError> error)>;

    static constexpr const char* kDatabaseExtension = "lddb";
    static constexpr const char* kStoreFileName = "store.ldcryptdata";
    static constexpr const char* kMetadataFileName = "externalMetadata.ldmetadata";
    static constexpr const char* kExchangeRatesFileName = "erData.lderdata";
    static constexpr const char* kSyncMetadataFileName = "syncMetadata.ldmetadata";
    static constexpr const char* kOnlineFilesFolderName = "OnlineData";
    static constexpr const char* kEncryptedFileExtension = "crypt";
    static constexpr const char* kMigrationTempFolderName = "MigrationTemp";
    static constexpr const char* kDatabaseVersionKey = "databaseVersionKey";
    static constexpr const char* kLastOpenDatabaseIDKey = "LastOpenDatabaseID";
    static constexpr const char* kOpenLastDatabaseAfterLaunchKey = "OpenLastDatabaseAfterLaunchKey";
    // The model version of databases this release writes.
    static constexpr int kCurrentModelVersion = 4992;

    // Resource types and their folders in a database.
    static constexpr int kResourceTypeAccountImages = 1;
    static constexpr int kResourceTypeContactImages = 2;
    static constexpr int kResourceTypeCategoryImages = 3;
    static constexpr int kResourceTypeFileAttachments = 4;
    static constexpr int kResourceTypeAccountStatements = 5;

    // Answers of isMigrationNeededForDatabaseAtURL.
    static constexpr int kMigrationNotNeeded = 0;
    static constexpr int kMigrationNeeded = 1;
    static constexpr int kMigrationWrongPassword = 2;
    static constexpr int kMigrationNewerVersion = 3;

    // Creates `databasesFolder` when missing, lists it and starts watching it.
    LdCDatabaseManager(const std::filesystem::path& databasesFolder,
                       LdUserDefaults& settings,
                       LdSecretStore& secrets,
                       LdClock& clock);
    // Closes the open databases (saving them) and drops the sessions.
    ~LdCDatabaseManager();
    LdCDatabaseManager(const LdCDatabaseManager&) = delete;
    LdCDatabaseManager& operator=(const LdCDatabaseManager&) = delete;

    // defaultDatabaseFolder — "Databases" in the application's base folder.
    static std::filesystem::path defaultDatabaseFolder();
    const std::filesystem::path& databasesFolderURL() const { return databasesFolder_; }

    // ---- Paths (class operations)

    // databaseStoreFileURLForDatabaseURL:
    static std::filesystem::path databaseStoreFileURLForDatabaseURL(
            const std::filesystem::path& url);
    // metadataFileURLForDatabaseURL:
    static std::filesystem::path metadataFileURLForDatabaseURL(const std::filesystem::path& url);
    // exchangeRatesStoreFileURLForDatabaseURL:
    static std::filesystem::path exchangeRatesStoreFileURLForDatabaseURL(
            const std::filesystem::path& url);
    // syncMetadataFileURLForDatabaseURL:
    static std::filesystem::path syncMetadataFileURLForDatabaseURL(
            const std::filesystem::path& url);
    // databaseOnlineFilesURLForDatabaseURL:
    static std::filesystem::path databaseOnlineFilesURLForDatabaseURL(
            const std::filesystem::path& url);
    // fileAttachmentsFolderURLForDatabaseURL:
    static std::filesystem::path fileAttachmentsFolderURLForDatabaseURL(
            const std::filesystem::path& url);
    // accountStatementsFolderURLForDatabase:
    static std::filesystem::path accountStatementsFolderURLForDatabase(
            const std::filesystem::path& url);
    // urlForResourceType:inDatabaseAtURL: — empty for an unknown type.
    static std::filesystem::path urlForResourceType(int resourceType,
                                                    const std::filesystem::path& url);
    // allDatabaseResourceTypes — fixed order: 2, 3, 5, 4, 1.
    static const std::array<int, 5>& allDatabaseResourceTypes();
    // encryptedFilePathFor:forDatabaseURL: — the plain file's path with ".crypt" appended; a
    // relative path is taken inside the database folder.
    static std::filesystem::path encryptedFilePathForDatabaseURL(
            const std::filesystem::path& plainPath, const std::filesystem::path& url);

    // ---- Names and identifiers

    // databaseIDFromDatabaseURL:
    static std::string databaseIDFromDatabaseURL(const std::filesystem::path& url);
    // databaseIDFromDatabaseFileName: — the part before the first " - "; empty without one.
    static std::string databaseIDFromDatabaseFileName(std::string_view fileName);
    // databaseNameFromFileName: — the part after the first " - " without extension; empty
    // without one.
    static std::string databaseNameFromFileName(std::string_view fileName);
    // localizedDatabaseNameFromFileName: — the name, or the text of "_DB_WITHOUT_NAME".
    static std::string localizedDatabaseNameFromFileName(std::string_view fileName);
    // nameForDatabaseAtURL: — the localized name of the folder.
    static std::string nameForDatabaseAtURL(const std::filesystem::path& url);
    // filteredDatabaseName: — " - " becomes "___"; "/", ":", ".", "#" and "-" become "_".
    static std::string filteredDatabaseName(std::string_view name);
    // fullDatabaseNameFromID:andReadableName: — "<id> - <filtered name>".
    static std::string fullDatabaseNameFromID(std::string_view databaseID,
                                              std::string_view readableName);
    // databaseURLFromDatabaseID:databaseName: — the folder "<id> - <filtered name>.lddb" in the
    // databases folder.
    std::filesystem::path databaseURLFromDatabaseID(std::string_view databaseID,
                                                    std::string_view databaseName) const;
    // URLForDatabaseWithID: — the URL of the known database with this identifier.
    // NOLINTNEXTLINE(readability-identifier-naming): the operation's own name
    std::optional<std::filesystem::path> URLForDatabaseWithID(std::string_view databaseID) const;
    // uniqueDatabaseNameForProposedName: — the proposal, or with " 2", " 3" ... appended until no
    // known database has that name (ignoring case and width).
    std::string uniqueDatabaseNameForProposedName(std::string_view proposedName) const;

    // ---- Catalogue

    // reloadAvailableDatabases — lists the databases folder; known databases whose folder
    // vanished are closed without saving, announced to their observers and dropped.
    void reloadAvailableDatabases();
    // allDatabases — ordered by URL.
    std::vector<InfoPtr> allDatabases() const;
    // iCloudDatabases — databases known only in the cloud folder.
    const std::vector<InfoPtr>& iCloudDatabases() const { return cloudDatabases_; }
    // databaseInfoForURL:
    InfoPtr databaseInfoForURL(const std::filesystem::path& url) const;
    // addObserver:forDatabaseInfo: — registered while the subscription lives
    // (removeDatabaseInfoObserver: is its cancel).
    [[nodiscard]] LdSubscription addObserver(LdCDatabaseInfoObserver& observer,
                                             const InfoPtr& info);
    // Tells the info's observers that it changed.
    void notifyObserversOfDatabaseInfo(const InfoPtr& info);
    // syncMetadataExistsForDatabaseAtURL:
    static bool syncMetadataExistsForDatabaseAtURL(const std::filesystem::path& url);
    // isDatabaseEncryptedAtURL: — false for a folder without store file; else whether the store's
    // first 16 bytes differ from a plain SQLite file's header.
    static bool isDatabaseEncryptedAtURL(const std::filesystem::path& url);
    // isDatabaseOpenAtURL:
    bool isDatabaseOpenAtURL(const std::filesystem::path& url) const;
    // openDatabaseManagerForURL: — the open session, or nullptr; owned by the catalogue.
    LdCOpenDatabaseManager* openDatabaseManagerForURL(const std::filesystem::path& url) const;
    // currentOpenDatabaseManager — the most recently opened session that is still open.
    LdCOpenDatabaseManager* currentOpenDatabaseManager() const;
    // countOfOpenDatabases
    std::size_t countOfOpenDatabases() const { return openSessions_.size(); }

    // Answers of later subsystems for opening and canBeOpened.
    void setActivityChecks(LdCDatabaseActivityChecks checks) { checks_ = std::move(checks); }
    const LdCDatabaseActivityChecks& activityChecks() const { return checks_; }

    // UIDelegate — not owned; nullptr for none.
    void setUIDelegate(LdCDatabaseManagerUIDelegate* delegate) { uiDelegate_ = delegate; }
    // NOLINTNEXTLINE(readability-identifier-naming): the property's own name
    LdCDatabaseManagerUIDelegate* UIDelegate() const { return uiDelegate_; }

    // syncStateChangedForDatabaseURL: — the session changed the sync mode in the metadata file:
    // the info reads it again, its observers and the delegate are told.
    void syncStateChangedForDatabaseURL(const std::filesystem::path& url);

    // The services the catalogue was made with, for its sessions.
    LdSecretStore& secretStore() const { return secrets_; }
    LdUserDefaults& settings() const { return settings_; }
    LdClock& clock() const { return clock_; }

    // Reads the folder watch's waiting events now and reloads when there were any (tests, and
    // hosts that know they changed the folder). Returns whether it reloaded.
    bool processPendingFolderEvents();
    // Whether the folder watch runs.
    bool isWatchingDatabasesFolder() const;

    // ---- Life of a database

    // createNewDatabaseWithName:error: — under a fresh identifier.
    InfoPtr createNewDatabaseWithName(std::string_view name, LdError* error = nullptr);
    // createNewDatabaseWithName:identifier:error: — makes the folder and its metadata file; the
    // store and the initial content follow at the first open. An empty name is a missing argument
    // (nullptr, no error); an existing folder of that name is an error.
    InfoPtr createNewDatabaseWithName(std::string_view name,
                                      std::string_view identifier,
                                      LdError* error = nullptr);
    // renameDatabaseAtURL:newName:newURL:error: — an open database or a name another database
    // (or folder) has already fails with an error; an unchanged name does nothing. An unknown URL
    // or an empty name is a missing argument.
    bool renameDatabaseAtURL(const std::filesystem::path& url,
                             std::string_view newName,
                             std::filesystem::path* newURL = nullptr,
                             LdError* error = nullptr);
    // duplicateDatabase:error: — copies the closed database's folder under a fresh identifier and
    // a unique name derived from the original's; returns the copy's info.
    InfoPtr duplicateDatabase(const InfoPtr& info, LdError* error = nullptr);
    // deleteDatabaseAtURL:error: — closes an open database without saving, removes the folder and
    // the saved password; a database that also lives in the cloud keeps its info under the cloud
    // URL.
    bool deleteDatabaseAtURL(const std::filesystem::path& url, LdError* error = nullptr);

    // ---- Opening

    // openDatabase:withPassword:mode: — an LdOpenDatabaseResult: 99 without info, 6 already open,
    // 5 busy, 4 cloud conflicts, else the session's answer. 1 deletes the saved password; 0
    // registers the session and remembers the database as the last one opened.
    int openDatabase(const InfoPtr& info, const std::optional<std::string>& password, int mode);
    // openDatabaseAtURL:withPassword:mode:
    int openDatabaseAtURL(const std::filesystem::path& url,
                          const std::optional<std::string>& password,
                          int mode);
    // canOpenDatabaseWithoutUserInteraction: — it can be opened, needs no password or has a saved
    // one, and needs no migration with it.
    bool canOpenDatabaseWithoutUserInteraction(const InfoPtr& info);
    // isPassword:correctForDatabaseAtURL: — a database without store file takes any password.
    bool isPasswordCorrectForDatabaseAtURL(const std::optional<std::string>& password,
                                           const std::filesystem::path& url) const;
    // deleteStoredPasswordForDatabase: — the saved and the biometric password.
    void deleteStoredPasswordForDatabase(const InfoPtr& info);
    // openDatabaseManagerDidClose: — called by a session at the end of its close.
    void openDatabaseManagerDidClose(LdCOpenDatabaseManager& session);
    // databaseURLToOpenOnAppLaunch — the last opened database when the user asked for it.
    std::optional<std::filesystem::path> databaseURLToOpenOnAppLaunch() const;

    // ---- Migration

    // isMigrationNeededForDatabaseAtURL:password: — 0 none (also without store file), 1 needed
    // (a previous major version's store, or an older model version), 2 wrong password, 3 a newer
    // model version or a store that does not fit the model.
    int isMigrationNeededForDatabaseAtURL(const std::filesystem::path& url,
                                          const std::optional<std::string>& password) const;
    // startMigrationToNewestModelForDatabase:password:completionHander: — runs the chain of steps
    // until no migration is needed; `completion` runs on the main queue with the outcome. Only
    // one migration at a time.
    void startMigrationToNewestModelForDatabase(const InfoPtr& info,
                                                const std::optional<std::string>& password,
                                                MigrationCompletion completion);
    bool isMigrating() const { return migrationInfo_ != nullptr; }
    // Plugs a step into the chain for stores of `fromVersion`.
    void registerMigrationStep(int fromVersion, LdCDatabaseMigrationStep step);
    // Installs the converter of the previous major version (none: such stores are refused).
    void setPreviousVersionConverter(std::optional<LdCPreviousVersionConverter> converter) {
        converter_ = std::move(converter);
    }
    // A backup before the first migration step (reason 2); its failure stops the migration.
    void setMigrationBackupHook(std::function<bool(const LdCDatabaseInfo&, LdError*)> hook) {
        migrationBackupHook_ = std::move(hook);
    }
    // Called with each new session before it opens (the backup manager installs the session's
    // backup hook and export check here). Empty: nothing.
    void setSessionSetupHook(std::function<void(LdCOpenDatabaseManager&)> hook) {
        sessionSetupHook_ = std::move(hook);
    }
    // Blocks until the running migration step's work has finished and its completion is posted
    // to the main queue (tests then run the main queue).
    void waitUntilMigrationStepFinished();

private:
    struct ObserverEntry {
        std::uint64_t id = 0;
        const LdCDatabaseInfo* info = nullptr;
        LdCDatabaseInfoObserver* observer = nullptr;
    };
    struct ObserverRegistry {
        std::vector<ObserverEntry> entries;
        std::uint64_t nextID = 1;
    };

    void tellDelegateAvailableDatabasesDidChange();
    void announceDeleted(const InfoPtr& info);
    bool isDatabaseBusy(const LdCDatabaseInfo& info) const;
    bool nameIsTaken(std::string_view name, const LdCDatabaseInfo* except) const;

    void runNextMigrationStep(const std::optional<std::string>& password);
    void runMigrationWork(std::function<bool(LdOperation&, LdError*)> work,
                          std::function<bool(LdError*)> onSuccess,
                          const std::optional<std::string>& password);
    void finishMigration(bool success, std::optional<LdError> error);

    std::filesystem::path databasesFolder_;
    LdUserDefaults& settings_;
    LdSecretStore& secrets_;
    LdClock& clock_;
    LdCDatabaseManagerUIDelegate* uiDelegate_ = nullptr;
    LdCDatabaseActivityChecks checks_;

    std::map<std::filesystem::path, InfoPtr> allDatabases_;
    std::vector<InfoPtr> cloudDatabases_;
    std::shared_ptr<ObserverRegistry> observers_ = std::make_shared<ObserverRegistry>();

    using SessionPtr = std::unique_ptr<LdCOpenDatabaseManager>;
    // Makes a session for the info and opens it; `result` is its answer.
    SessionPtr openSession(const InfoPtr& info,
                           const std::optional<std::string>& password,
                           int mode,
                           int& result);
    static void closeSession(LdCOpenDatabaseManager& session, bool save);

    std::map<std::filesystem::path, SessionPtr> openSessions_;
    std::map<std::filesystem::path, SessionPtr> closedSessions_;
    std::vector<std::filesystem::path> openOrder_;  // oldest first

    std::map<int, LdCDatabaseMigrationStep> migrationSteps_;
    std::optional<LdCPreviousVersionConverter> converter_;
    std::function<bool(const LdCDatabaseInfo&, LdError*)> migrationBackupHook_;
    std::function<void(LdCOpenDatabaseManager&)> sessionSetupHook_;
    InfoPtr migrationInfo_;
    MigrationCompletion migrationCompletion_;
    bool migrationBackupDone_ = false;
    std::shared_ptr<LdOperation> migrationOperation_;
    LdTimer migrationProgressTimer_;
    std::unique_ptr<LdOperationQueue> migrationQueue_;
    // Cleared on destruction, so work posted to the main queue by a step that outlived the
    // catalogue finds it gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::unique_ptr<ld::detail::LdFolderWatch> watch_;
};
