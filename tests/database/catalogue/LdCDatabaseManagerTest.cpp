// The catalogue on real folders in a temporary directory: names, creating, listing through the
// folder watch, renaming, duplicating, deleting, the encryption check and migration.
#include "core/database/catalogue/LdCDatabaseManager.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/security/LdSecretStore.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUserDefaults.h"
#include "core/support/plist/LdKeyedArchive.h"
#include "core/support/queues/LdMainQueue.h"
#include "core/support/queues/LdOperation.h"

#include "tests/testutil/LdTestUtil.h"

namespace fs = std::filesystem;

namespace {

class RecordingDelegate final : public LdCDatabaseManagerUIDelegate {
public:
    void availableDatabasesDidChange() override { ++listChanges; }
    void databaseChanged(const std::shared_ptr<LdCDatabaseInfo>& /*info*/) override {
        ++databaseChanges;
    }
    int listChanges = 0;
    int databaseChanges = 0;
};

class RecordingObserver final : public LdCDatabaseInfoObserver {
public:
    void databaseInfoDidChange(const std::shared_ptr<LdCDatabaseInfo>& /*info*/) override {
        ++changes;
    }
    void databaseInfoWasDeleted(const std::shared_ptr<LdCDatabaseInfo>& /*info*/) override {
        ++deletions;
    }
    int changes = 0;
    int deletions = 0;
};

// Writes a store file for a database, then rewrites the metadata it records (the store itself
// always writes the current model version).
void makeStore(const fs::path& databaseURL,
               const std::string& password,
               const std::function<void(LdValue::Dictionary&)>& editMetadata = {}) {
    const fs::path path = LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(databaseURL);
    {
        LdValue::Dictionary options;
        options[kLdCryptStorePasswordOption] = LdValue(password);
        LdCryptStore store(path, options);
        LdError error;
        ASSERT_TRUE(store.loadMetadata(&error)) << error;
        store.closeDatabase();
    }
    if (!editMetadata) {
        return;
    }
    bool passwordCorrect = false;
    auto metadata = LdCryptStore::metadataForCryptStoreAtURL(path, password, &passwordCorrect);
    ASSERT_TRUE(metadata.has_value());
    editMetadata(*metadata);
    auto archive = LdKeyedArchiver::archivedDataWithRootObject(LdValue(*metadata));
    ASSERT_TRUE(archive.has_value());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    if (!password.empty()) {
        sqlite3_key(db, password.data(), static_cast<int>(password.size()));
    }
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE T_METADATA SET plist = ?;", -1, &statement, nullptr),
              SQLITE_OK);
    sqlite3_bind_blob(statement, 1, archive->data(), static_cast<int>(archive->size()),
                      SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

void setModelVersion(LdValue::Dictionary& metadata, const std::string& version) {
    metadata[kLdStoreModelVersionIdentifiersKey] = LdValue::array({LdValue(version)});
}

}  // namespace

class LdCDatabaseManagerTest : public ::testing::Test {
protected:
    LdCDatabaseManagerTest() {
        LdApplication::setBaseFolder(temp_.path());  // "MigrationTemp" goes there
        catalogue_->setUIDelegate(&delegate_);
    }
    ~LdCDatabaseManagerTest() override { LdApplication::setBaseFolder({}); }

    fs::path folderOf(const std::string& name) const { return temp_ / "Databases" / name; }

    LdCDatabaseManager::InfoPtr create(const std::string& name, const std::string& id = {}) {
        LdError error;
        auto info = catalogue_->createNewDatabaseWithName(name, id, &error);
        EXPECT_TRUE(info) << error;
        return info;
    }

    // Runs a migration to its end: each step's work, then its completion on the main queue.
    std::pair<bool, std::optional<LdError>> migrate(const LdCDatabaseManager::InfoPtr& info,
                                                    const std::optional<std::string>& password) {
        std::optional<std::pair<bool, std::optional<LdError>>> outcome;
        catalogue_->startMigrationToNewestModelForDatabase(
                info, password, [&outcome](bool success, std::optional<LdError> error) {
                    outcome.emplace(success, std::move(error));
                });
        while (!outcome.has_value() && catalogue_->isMigrating()) {
            catalogue_->waitUntilMigrationStepFinished();
            LdMainQueue::main().runUntilIdle();
        }
        EXPECT_TRUE(outcome.has_value());
        return outcome.value_or(std::make_pair(false, std::nullopt));
    }

    LdTemporaryFolder temp_;
    std::unique_ptr<LdUserDefaults> settings_ = LdUserDefaults::inMemory();
    LdInMemorySecretStore secrets_;
    LdManualClock clock_{LdDate::fromReferenceSeconds(736000000.0)};
    RecordingDelegate delegate_;
    std::unique_ptr<LdCDatabaseManager> catalogue_ =
            std::make_unique<LdCDatabaseManager>(temp_ / "Databases", *settings_, secrets_, clock_);
};

TEST_F(LdCDatabaseManagerTest, IdentifierAndNameComeFromTheFolderName) {
    EXPECT_EQ(LdCDatabaseManager::databaseIDFromDatabaseFileName("A1B2 - Household.lddb"), "A1B2");
    EXPECT_EQ(LdCDatabaseManager::databaseNameFromFileName("A1B2 - Household.lddb"), "Household");
    EXPECT_EQ(LdCDatabaseManager::databaseIDFromDatabaseURL("/x/A1B2 - Household.lddb/"), "A1B2");
    EXPECT_EQ(LdCDatabaseManager::databaseIDFromDatabaseFileName("Household.lddb"), "");
    EXPECT_EQ(LdCDatabaseManager::databaseNameFromFileName("Household.lddb"), "");
    EXPECT_EQ(LdCDatabaseManager::localizedDatabaseNameFromFileName("Household.lddb"),
              LdStrings::localizedString("_DB_WITHOUT_NAME"));
    EXPECT_NE(LdStrings::localizedString("_DB_WITHOUT_NAME"), "_DB_WITHOUT_NAME");
    // Only the first separator divides; the name keeps the rest.
    EXPECT_EQ(LdCDatabaseManager::databaseNameFromFileName("ID - A - B.lddb"), "A - B");
}

TEST_F(LdCDatabaseManagerTest, PathsOfADatabaseFolder) {
    const fs::path db = "/d/ID - X.lddb";
    EXPECT_EQ(LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(db), db / "store.ldcryptdata");
    EXPECT_EQ(LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(db),
              db / "erData.lderdata");
    EXPECT_EQ(LdCDatabaseManager::urlForResourceType(2, db), db / "ContactImages");
    EXPECT_EQ(LdCDatabaseManager::accountStatementsFolderURLForDatabase(db),
              db / "AccountStatements");
    EXPECT_TRUE(LdCDatabaseManager::urlForResourceType(6, db).empty());
    EXPECT_EQ(LdCDatabaseManager::allDatabaseResourceTypes(), (std::array<int, 5>{2, 3, 5, 4, 1}));
    EXPECT_EQ(LdCDatabaseManager::encryptedFilePathForDatabaseURL("FileAttachments/a.pdf", db),
              db / "FileAttachments/a.pdf.crypt");
}

TEST_F(LdCDatabaseManagerTest, CreateFiltersTheNameAndWritesTheMetadataFile) {
    auto info = create("Home/Office: 2024.1 - new", "ID1");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->url(), folderOf("ID1 - Home_Office_ 2024_1___new.lddb"));
    EXPECT_TRUE(fs::is_directory(info->url()));
    EXPECT_EQ(info->databaseID(), "ID1");
    EXPECT_EQ(info->name(), "Home_Office_ 2024_1___new");
    EXPECT_EQ(catalogue_->databaseInfoForURL(info->url()), info);
    EXPECT_EQ(delegate_.listChanges, 1);

    const LdData bytes = ldReadFile(info->url() / "externalMetadata.ldmetadata");
    const auto json = nlohmann::json::parse(bytes.begin(), bytes.end());
    EXPECT_EQ(json["lastModified"], *clock_.now().iso8601String());
    EXPECT_TRUE(json.contains("lastWritingApp"));
    EXPECT_TRUE(json.contains("lastWritingAppVersion"));
    EXPECT_EQ(json["syncMode"], 0);
    EXPECT_FALSE(json.contains("lastModifiedForICloud"));
    ASSERT_NE(info->databaseMetadata(), nullptr);
    EXPECT_FALSE(info->databaseMetadata()->hasChanges());

    // A fresh identifier is a UUID; the same identifier and name again is refused.
    EXPECT_EQ(create("Other")->databaseID().size(), 36U);
    LdError error;
    EXPECT_FALSE(catalogue_->createNewDatabaseWithName("Home/Office: 2024.1 - new", "ID1", &error));
    EXPECT_TRUE(error.isSet());
    error = LdError();
    EXPECT_FALSE(catalogue_->createNewDatabaseWithName("", &error));
    EXPECT_FALSE(error.isSet());
}

TEST_F(LdCDatabaseManagerTest, UniqueNamesIgnoreCaseAndWidth) {
    create("Household");
    create("household 2");
    EXPECT_EQ(catalogue_->uniqueDatabaseNameForProposedName("Household"), "Household 3");
    // Full-width letters compare as their plain forms.
    EXPECT_EQ(catalogue_->uniqueDatabaseNameForProposedName("\uFF28ousehold"), "\uFF28ousehold 3");
    EXPECT_EQ(catalogue_->uniqueDatabaseNameForProposedName("Holiday"), "Holiday");
    // A number the proposal ends with is its own; one is appended after it.
    EXPECT_EQ(catalogue_->uniqueDatabaseNameForProposedName("Household 2"), "Household 2 2");
}

TEST_F(LdCDatabaseManagerTest, ListingFollowsFoldersMadeAndRemovedBehindItsBack) {
    ASSERT_TRUE(catalogue_->isWatchingDatabasesFolder());
    fs::create_directory(folderOf("B1 - Behind.lddb"));
    fs::create_directory(folderOf(".B2 - Hidden.lddb"));
    fs::create_directory(folderOf("B3 - Other.folder"));
    ldWriteFile(folderOf("B4 - File.lddb"), std::string("no folder"));
    EXPECT_TRUE(catalogue_->processPendingFolderEvents());
    ASSERT_EQ(catalogue_->allDatabases().size(), 1U);
    auto info = catalogue_->allDatabases().front();
    EXPECT_EQ(info->databaseID(), "B1");
    EXPECT_EQ(info->databaseMetadata(), nullptr);  // no metadata file: tolerated

    RecordingObserver observer;
    LdSubscription subscription = catalogue_->addObserver(observer, info);
    const int listChanges = delegate_.listChanges;
    fs::remove(folderOf("B1 - Behind.lddb"));
    EXPECT_TRUE(catalogue_->processPendingFolderEvents());
    EXPECT_TRUE(catalogue_->allDatabases().empty());
    EXPECT_EQ(observer.deletions, 1);
    EXPECT_EQ(delegate_.listChanges, listChanges + 1);
    EXPECT_FALSE(catalogue_->processPendingFolderEvents());  // nothing new
}

TEST_F(LdCDatabaseManagerTest, FolderWatchReloadsOnTheMainQueueAfterItsLatency) {
    LdScopedClock scoped(clock_);
    LdMainQueue::main().runUntilIdle();  // leftovers of earlier tests
    fs::create_directory(folderOf("W1 - Watched.lddb"));
    LdMainQueue::main().runUntilIdle();
    EXPECT_TRUE(catalogue_->allDatabases().empty());  // coalescing for 0.1 seconds
    clock_.advance(0.2);
    LdMainQueue::main().runUntilIdle();
    ASSERT_EQ(catalogue_->allDatabases().size(), 1U);
    EXPECT_EQ(catalogue_->allDatabases().front()->databaseID(), "W1");
}

TEST_F(LdCDatabaseManagerTest, RenameKeepsTheIdentifierAndRefusesATakenName) {
    auto household = create("Household", "H1");
    create("Holiday", "H2");
    RecordingObserver observer;
    LdSubscription subscription = catalogue_->addObserver(observer, household);

    LdError error;
    fs::path newURL;
    EXPECT_FALSE(catalogue_->renameDatabaseAtURL(household->url(), "HOLIDAY", &newURL, &error));
    EXPECT_EQ(error.titleKey(), "_ERROR");
    EXPECT_EQ(error.descriptionKey(), "_DB_MANAGER_RENAME_DB_WITH_NAME_ALREADY_EXISTS");
    EXPECT_TRUE(fs::is_directory(folderOf("H1 - Household.lddb")));

    ASSERT_TRUE(catalogue_->renameDatabaseAtURL(household->url(), "Household", &newURL));
    EXPECT_EQ(newURL, household->url());  // unchanged name: nothing happens

    ASSERT_TRUE(catalogue_->renameDatabaseAtURL(household->url(), "Family.Budget", &newURL, &error))
            << error;
    EXPECT_EQ(newURL, folderOf("H1 - Family_Budget.lddb"));
    EXPECT_FALSE(fs::exists(folderOf("H1 - Household.lddb")));
    EXPECT_EQ(household->url(), newURL);
    EXPECT_EQ(household->name(), "Family_Budget");
    EXPECT_EQ(catalogue_->databaseInfoForURL(newURL), household);
    EXPECT_EQ(household->databaseMetadata()->metadataFileURL(),
              newURL / "externalMetadata.ldmetadata");
    EXPECT_EQ(observer.changes, 1);
    // A case-only change of its own name is no clash.
    EXPECT_TRUE(catalogue_->renameDatabaseAtURL(newURL, "family_budget", &newURL));
}

TEST_F(LdCDatabaseManagerTest, DuplicateCopiesTheFolderUnderAFreshIdentifierAndUniqueName) {
    auto original = create("Household", "H1");
    makeStore(original->url(), "");
    ldWriteFile(original->url() / "FileAttachments" / "a.pdf.crypt", std::string("pdf"));

    LdError error;
    auto copy = catalogue_->duplicateDatabase(original, &error);
    ASSERT_TRUE(copy) << error;
    EXPECT_NE(copy->databaseID(), "H1");
    EXPECT_EQ(copy->name(), "Household 2");
    EXPECT_EQ(ldReadFile(copy->url() / "FileAttachments" / "a.pdf.crypt"),
              ldReadFile(original->url() / "FileAttachments" / "a.pdf.crypt"));
    EXPECT_EQ(ldReadFile(copy->url() / "store.ldcryptdata"),
              ldReadFile(original->url() / "store.ldcryptdata"));
    ASSERT_NE(copy->databaseMetadata(), nullptr);
    EXPECT_EQ(*copy->databaseMetadata(), *original->databaseMetadata());
    EXPECT_EQ(catalogue_->allDatabases().size(), 2U);
    EXPECT_FALSE(catalogue_->duplicateDatabase(nullptr, &error));
}

TEST_F(LdCDatabaseManagerTest, DeleteRemovesTheFolderAndTheSavedPasswords) {
    auto info = create("Household", "H1");
    create("Holiday", "H2");
    ASSERT_TRUE(secrets_.setPasswordForDatabaseID("secret", "H1"));
    ASSERT_TRUE(secrets_.setPasswordForDatabaseID("other", "H2"));
    ASSERT_TRUE(secrets_.addGenericPassword("Ledra: DB-PW-LA", "H1", std::nullopt,
                                            LdSecretStore::bytes("secret")));
    RecordingObserver observer;
    LdSubscription subscription = catalogue_->addObserver(observer, info);

    LdError error;
    ASSERT_TRUE(catalogue_->deleteDatabaseAtURL(info->url(), &error)) << error;
    EXPECT_FALSE(fs::exists(folderOf("H1 - Household.lddb")));
    EXPECT_FALSE(secrets_.passwordForDatabaseID("H1").has_value());
    EXPECT_FALSE(secrets_.findGenericPassword("Ledra: DB-PW-LA", "H1", std::nullopt).has_value());
    EXPECT_EQ(secrets_.passwordForDatabaseID("H2"), "other");
    EXPECT_EQ(catalogue_->databaseInfoForURL(info->url()), nullptr);
    EXPECT_EQ(observer.deletions, 1);
    EXPECT_FALSE(catalogue_->deleteDatabaseAtURL(info->url(), &error));  // no longer known
}

TEST_F(LdCDatabaseManagerTest, EncryptionIsReadFromTheStoreHeader) {
    auto info = create("Household");
    EXPECT_FALSE(info->isEncrypted());  // no store file yet
    makeStore(info->url(), "");
    EXPECT_FALSE(info->isEncrypted());
    fs::remove(info->url() / "store.ldcryptdata");
    makeStore(info->url(), "sesame");
    EXPECT_TRUE(info->isEncrypted());
    EXPECT_TRUE(catalogue_->isPasswordCorrectForDatabaseAtURL("sesame", info->url()));
    EXPECT_FALSE(catalogue_->isPasswordCorrectForDatabaseAtURL("wrong", info->url()));
}

TEST_F(LdCDatabaseManagerTest, MigrationAnswersFollowTheStoreMetadata) {
    auto info = create("Household");
    const auto answer = [&](const std::optional<std::string>& password) {
        return catalogue_->isMigrationNeededForDatabaseAtURL(info->url(), password);
    };
    EXPECT_EQ(answer(std::nullopt), 0);  // no store yet
    makeStore(info->url(), "sesame");
    EXPECT_EQ(answer("sesame"), 0);
    EXPECT_EQ(answer("wrong"), 2);
    EXPECT_EQ(answer(std::nullopt), 2);
    const fs::path store = info->url() / "store.ldcryptdata";

    const std::vector<std::pair<std::function<void(LdValue::Dictionary&)>, int>> cases = {
            {[](LdValue::Dictionary& m) { setModelVersion(m, "4991"); }, 1},
            {[](LdValue::Dictionary& m) { setModelVersion(m, "4993"); }, 3},
            {[](LdValue::Dictionary& m) { setModelVersion(m, "v5"); }, 3},
            {[](LdValue::Dictionary& m) { m["databaseVersionKey"] = LdValue(8); }, 1},
            {[](LdValue::Dictionary& m) {
                 m[kLdStoreModelVersionHashesKey] = LdValue(LdValue::Dictionary{});
                 m[kLdStoreModelVersionHashesKey].set("Unknown", LdValue(LdData{1}));
             },
             3},
    };
    for (std::size_t index = 0; index < cases.size(); ++index) {
        fs::remove(store);
        makeStore(info->url(), "", cases[index].first);
        EXPECT_EQ(answer(std::nullopt), cases[index].second) << "case " << index;
    }
}

TEST_F(LdCDatabaseManagerTest, MigrationReportsItsErrorsThroughTheCompletion) {
    auto info = create("Household");
    makeStore(info->url(), "sesame");
    auto [success, error] = migrate(info, "wrong");
    EXPECT_FALSE(success);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->descriptionKey(), "_DB_WRONG_PASSWORD");

    fs::remove(info->url() / "store.ldcryptdata");
    makeStore(info->url(), "", [](LdValue::Dictionary& m) { setModelVersion(m, "4993"); });
    std::tie(success, error) = migrate(info, std::nullopt);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->titleKey(), "_DB_MANAGER_ERROR_DB_VERSION_FROM_NEWER_VERSION");

    fs::remove(info->url() / "store.ldcryptdata");
    makeStore(info->url(), "",
              [](LdValue::Dictionary& m) { m["databaseVersionKey"] = LdValue(8); });
    std::tie(success, error) = migrate(info, std::nullopt);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->titleKey(), "_DB_MANAGER_ERROR_DB_VERSION_FROM_OLD_LD4_VERSION");

    // An older model version without a step in the chain.
    fs::remove(info->url() / "store.ldcryptdata");
    makeStore(info->url(), "", [](LdValue::Dictionary& m) { setModelVersion(m, "4991"); });
    std::tie(success, error) = migrate(info, std::nullopt);
    EXPECT_FALSE(success);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->descriptionKey(), "_DB_MANAGER_ERROR_NO_MIGRATION_STEP");
    EXPECT_FALSE(info->isMigrating());
    EXPECT_FALSE(catalogue_->isMigrating());
}

TEST_F(LdCDatabaseManagerTest, MigrationRunsTheChainAndReplacesTheStore) {
    auto info = create("Household");
    makeStore(info->url(), "", [](LdValue::Dictionary& m) { setModelVersion(m, "4990"); });
    std::vector<int> stepsRun;
    // Two steps: 4990 -> 4991 -> 4992, each rewriting the recorded version.
    for (int from : {4990, 4991}) {
        catalogue_->registerMigrationStep(
                from, {from + 1, [from, &stepsRun](const fs::path& source, const fs::path& target,
                                                   const std::optional<std::string>&,
                                                   LdOperation& operation, LdError*) {
                           stepsRun.push_back(from);
                           fs::copy_file(source, target);
                           makeStore(target.parent_path(), "", [from](LdValue::Dictionary& m) {
                               setModelVersion(m, std::to_string(from + 1));
                           });
                           operation.setTotalUnitCount(1);
                           operation.setCompletedUnitCount(1);
                           return true;
                       }});
    }
    RecordingObserver observer;
    LdSubscription subscription = catalogue_->addObserver(observer, info);
    bool backedUp = false;
    catalogue_->setMigrationBackupHook([&backedUp](const LdCDatabaseInfo&, LdError*) {
        backedUp = true;
        return true;
    });

    auto [success, error] = migrate(info, std::nullopt);
    EXPECT_TRUE(success) << (error ? error->description() : "");
    EXPECT_EQ(stepsRun, (std::vector<int>{4990, 4991}));
    EXPECT_TRUE(backedUp);
    EXPECT_EQ(catalogue_->isMigrationNeededForDatabaseAtURL(info->url(), std::nullopt), 0);
    EXPECT_FALSE(info->isMigrating());
    EXPECT_FALSE(info->progress().has_value());
    EXPECT_GE(observer.changes, 2);  // marked migrating, then done
    EXPECT_TRUE(fs::is_empty(LdApplication::baseFolder() / "MigrationTemp"));
}

TEST_F(LdCDatabaseManagerTest, OnlyOneMigrationRunsAtATime) {
    auto info = create("Household");
    makeStore(info->url(), "", [](LdValue::Dictionary& m) { setModelVersion(m, "4991"); });
    catalogue_->registerMigrationStep(
            4991, {4992, [](const fs::path&, const fs::path&, const std::optional<std::string>&,
                            LdOperation&, LdError*) {
                       return false;
                   }});
    std::optional<LdError> second;
    catalogue_->startMigrationToNewestModelForDatabase(info, std::nullopt,
                                                       [](bool, std::optional<LdError>) {});
    EXPECT_TRUE(info->isMigrating());
    EXPECT_FALSE(info->canBeOpened());
    catalogue_->startMigrationToNewestModelForDatabase(
            info, std::nullopt,
            [&second](bool, std::optional<LdError> error) { second = std::move(error); });
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->descriptionKey(), "_DB_MANAGER_MIGRATION_ALREADY_RUNNING");
    catalogue_->waitUntilMigrationStepFinished();
    LdMainQueue::main().runUntilIdle();
    EXPECT_FALSE(catalogue_->isMigrating());
    EXPECT_TRUE(info->canBeOpened());
}

TEST_F(LdCDatabaseManagerTest, OpeningWithoutAskingNeedsASavedPasswordForAnEncryptedDatabase) {
    auto info = create("Household", "H1");
    EXPECT_TRUE(catalogue_->canOpenDatabaseWithoutUserInteraction(info));
    makeStore(info->url(), "sesame");
    EXPECT_FALSE(catalogue_->canOpenDatabaseWithoutUserInteraction(info));
    ASSERT_TRUE(secrets_.setPasswordForDatabaseID("wrong", "H1"));
    EXPECT_FALSE(catalogue_->canOpenDatabaseWithoutUserInteraction(info));
    ASSERT_TRUE(secrets_.setPasswordForDatabaseID("sesame", "H1"));
    EXPECT_TRUE(catalogue_->canOpenDatabaseWithoutUserInteraction(info));
    catalogue_->setActivityChecks({.isSynchronizing = [](const LdCDatabaseInfo&) {
        return true;
    }});
    EXPECT_FALSE(catalogue_->canOpenDatabaseWithoutUserInteraction(info));
}

TEST_F(LdCDatabaseManagerTest, OpeningAnswersBeforeASessionIsMade) {
    auto info = create("Household");
    EXPECT_EQ(catalogue_->openDatabase(nullptr, std::nullopt, 0), 99);
    info->setMerging(true);
    EXPECT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), 5);
    info->setMerging(false);
    catalogue_->setActivityChecks({.hasCloudConflicts = [](const LdCDatabaseInfo&) {
        return true;
    }});
    EXPECT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), 4);
    EXPECT_EQ(catalogue_->countOfOpenDatabases(), 0U);
}

TEST_F(LdCDatabaseManagerTest, LastOpenDatabaseIsOfferedAtLaunchWhenTheUserAskedForIt) {
    auto info = create("Household", "H1");
    settings_->setString("H1", "LastOpenDatabaseID");
    EXPECT_FALSE(catalogue_->databaseURLToOpenOnAppLaunch().has_value());
    settings_->setBool(true, "OpenLastDatabaseAfterLaunchKey");
    EXPECT_EQ(catalogue_->databaseURLToOpenOnAppLaunch(), info->url());
    settings_->setString("gone", "LastOpenDatabaseID");
    EXPECT_FALSE(catalogue_->databaseURLToOpenOnAppLaunch().has_value());
}

TEST_F(LdCDatabaseManagerTest, OpeningRegistersTheSessionOnceAndClosingKeepsItAlive) {
    auto info = create("Household", "H1");
    ASSERT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), 0);
    LdCOpenDatabaseManager* session = catalogue_->openDatabaseManagerForURL(info->url());
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(catalogue_->currentOpenDatabaseManager(), session);
    EXPECT_EQ(catalogue_->countOfOpenDatabases(), 1U);
    EXPECT_TRUE(info->isOpen());
    EXPECT_EQ(delegate_.databaseChanges, 1);
    EXPECT_EQ(settings_->stringForKey("LastOpenDatabaseID"), "H1");

    // Already open: 6, and the same session stays.
    EXPECT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), 6);
    EXPECT_EQ(catalogue_->openDatabaseManagerForURL(info->url()), session);
    EXPECT_EQ(catalogue_->countOfOpenDatabases(), 1U);

    // An open database is neither renamed nor duplicated.
    LdError error;
    EXPECT_FALSE(catalogue_->renameDatabaseAtURL(info->url(), "Other", nullptr, &error));
    EXPECT_EQ(error.titleKey(), "_INFORMATION");
    EXPECT_EQ(error.descriptionKey(), "_DB_MANAGER_EDIT_ERROR_CLOSE_DATABASE");
    error = LdError();
    EXPECT_FALSE(catalogue_->duplicateDatabase(info, &error));
    EXPECT_EQ(error.descriptionKey(), "_DB_MANAGER_EDIT_ERROR_CLOSE_DATABASE");

    session->closeDatabaseWithoutSaving();
    EXPECT_EQ(catalogue_->countOfOpenDatabases(), 0U);
    EXPECT_EQ(catalogue_->currentOpenDatabaseManager(), nullptr);
    EXPECT_FALSE(info->isOpen());
    EXPECT_FALSE(session->isOpen());  // the closed session is still there to ask
    EXPECT_EQ(delegate_.databaseChanges, 2);
}

TEST_F(LdCDatabaseManagerTest, WrongPasswordDeletesTheSavedOne) {
    auto info = create("Household", "H1");
    makeStore(info->url(), "sesame");
    ASSERT_TRUE(secrets_.setPasswordForDatabaseID("stale", "H1"));
    EXPECT_EQ(catalogue_->openDatabase(info, "wrong", 0), 1);
    EXPECT_FALSE(secrets_.passwordForDatabaseID("H1").has_value());
    EXPECT_EQ(catalogue_->countOfOpenDatabases(), 0U);
}

TEST_F(LdCDatabaseManagerTest, DeletingAnOpenDatabaseClosesItFirst) {
    auto info = create("Household", "H1");
    ASSERT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), 0);
    LdError error;
    ASSERT_TRUE(catalogue_->deleteDatabaseAtURL(info->url(), &error)) << error;
    EXPECT_EQ(catalogue_->countOfOpenDatabases(), 0U);
    EXPECT_FALSE(fs::exists(info->url()));
}

TEST_F(LdCDatabaseManagerTest, SyncStateChangeRereadsTheMetadataFile) {
    auto info = create("Household");
    RecordingObserver observer;
    LdSubscription subscription = catalogue_->addObserver(observer, info);
    auto item = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(
            info->url() / "externalMetadata.ldmetadata");
    ASSERT_TRUE(item.has_value());
    item->setSyncMode(LdCDatabaseMetadataItem::kSyncModeLocalNetwork);
    ASSERT_TRUE(item->writeMetadata());
    ldWriteFile(info->url() / "syncMetadata.ldmetadata", std::string("{}"));

    catalogue_->syncStateChangedForDatabaseURL(info->url());
    EXPECT_EQ(info->databaseMetadata()->syncMode(), 2U);
    EXPECT_TRUE(info->isWifiSynced());
    EXPECT_EQ(observer.changes, 1);
    subscription.cancel();
    catalogue_->syncStateChangedForDatabaseURL(info->url());
    EXPECT_EQ(observer.changes, 1);  // no longer registered
}
