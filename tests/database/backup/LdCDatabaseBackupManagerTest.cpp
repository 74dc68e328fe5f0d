// Backups and archives: the backup infos, pruning, the archive's items and their order, replacing
// an archive only once its successor is complete, restore and import with the store vetted, the
// backup before a save, the backup folder, and consistency after exports killed at random points.
#include "core/database/backup/LdCDatabaseBackupManager.h"

#include <csignal>
#include <future>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/database/backup/detail/LdBackupFiles.h"
#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/security/LdSecretStore.h"
#include "core/support/LdStrings.h"
#include "core/support/detail/LdLocalTime.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/plist/LdKeyedArchive.h"
#include "core/support/queues/LdMainQueue.h"
#include "core/support/queues/LdOperation.h"

#include "tests/testutil/LdTestUtil.h"

namespace fs = std::filesystem;
using Manager = LdCDatabaseBackupManager;

namespace {

constexpr double kStart = 800'000'000.0;
constexpr double kHour = 3600.0;

// Every regular file under `folder` by its path relative to it, with its bytes.
std::map<std::string, LdData> filesUnder(const fs::path& folder) {
    std::map<std::string, LdData> files;
    std::error_code code;
    for (fs::recursive_directory_iterator entry(folder, code), end; !code && entry != end;
         entry.increment(code)) {
        if (entry->is_regular_file()) {
            files[entry->path().lexically_relative(folder).string()] = ldReadFile(entry->path());
        }
    }
    return files;
}

// The names directly in `folder` that start with a dot.
std::vector<std::string> hiddenNamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code code;
    for (fs::directory_iterator entry(folder, code), end; !code && entry != end;
         entry.increment(code)) {
        if (entry->path().filename().string().front() == '.') {
            names.push_back(entry->path().string());
        }
    }
    return names;
}

// The names under `folder` and its subfolders that start with a dot.
std::vector<std::string> hiddenNamesUnder(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code code;
    for (fs::recursive_directory_iterator entry(folder, code), end; !code && entry != end;
         entry.increment(code)) {
        if (entry->path().filename().string().front() == '.') {
            names.push_back(entry->path().string());
        }
    }
    return names;
}

class LdCDatabaseBackupTest : public ::testing::Test {
protected:
    LdCDatabaseBackupTest()
        : clock_(LdDate::fromReferenceSeconds(kStart)),
          scopedClock_(clock_),
          settings_(LdUserDefaults::inMemory()) {
        LdApplication::setBaseFolder(folder_ / "Base");
        makeManagers();
        settings_->setInteger(100, Manager::kNumberToKeepKey);
    }
    ~LdCDatabaseBackupTest() override {
        manager_.reset();
        catalogue_.reset();
        LdMainQueue::main().runUntilIdle();
        LdApplication::setBaseFolder({});
    }

    void makeManagers() {
        manager_.reset();
        catalogue_.reset();
        catalogue_ = std::make_unique<LdCDatabaseManager>(folder_ / "Databases", *settings_,
                                                          secrets_, clock_);
        manager_ = std::make_unique<Manager>(*catalogue_);
    }

    // A closed database with a store whose user is called `userName`, an exchange-rate file and
    // a file in each resource folder.
    fs::path makeDatabase(const std::string& name,
                          const std::string& userName = "Alice",
                          const std::optional<std::string>& password = std::nullopt) {
        LdError error;
        auto info = catalogue_->createNewDatabaseWithName(name, &error);
        EXPECT_TRUE(info) << error;
        EXPECT_EQ(catalogue_->openDatabase(info, password, kLdOpenDatabaseModeNormal),
                  kLdOpenDatabaseOpened);
        LdCOpenDatabaseManager* session = catalogue_->openDatabaseManagerForURL(info->url());
        session->currentUser()->setName(userName);
        session->closeDatabase();
        ldWriteFile(LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(info->url()),
                    std::string("rates"));
        for (const int type : LdCDatabaseManager::allDatabaseResourceTypes()) {
            ldWriteFile(LdCDatabaseManager::urlForResourceType(type, info->url()) / "item.png",
                        "image " + std::to_string(type));
        }
        return info->url();
    }

    std::string userNameOf(const fs::path& url) {
        auto info = catalogue_->databaseInfoForURL(url);
        if (!info || catalogue_->openDatabase(info, std::nullopt, 0) != kLdOpenDatabaseOpened) {
            return "<not opened>";
        }
        LdCOpenDatabaseManager* session = catalogue_->openDatabaseManagerForURL(url);
        std::string name = session->currentUser()->name();
        session->closeDatabaseWithoutSaving();
        return name;
    }

    // A backup made on this thread with the clock `age` seconds back.
    fs::path backupAged(const fs::path& url, int reason, double age) {
        clock_.setNow(LdDate::fromReferenceSeconds(kStart - age));
        LdError error;
        EXPECT_TRUE(manager_->backupDatabaseAtURLNow(url, reason, &error)) << error;
        clock_.setNow(LdDate::fromReferenceSeconds(kStart));
        auto infos = manager_->existingBackupInfosForDatabaseID(
                LdCDatabaseManager::databaseIDFromDatabaseURL(url));
        for (const auto& info : infos) {
            if (info.creationDate() == LdDate::fromReferenceSeconds(kStart - age)) {
                return info.backupLocation();
            }
        }
        ADD_FAILURE() << "no backup of age " << age;
        return {};
    }

    fs::path backupFolderOf(const fs::path& url) const {
        return manager_->backupFolderURL() / LdCDatabaseManager::databaseIDFromDatabaseURL(url);
    }

    LdTemporaryFolder folder_;
    LdManualClock clock_;
    LdScopedClock scopedClock_;
    std::unique_ptr<LdUserDefaults> settings_;
    LdInMemorySecretStore secrets_;
    std::unique_ptr<LdCDatabaseManager> catalogue_;
    std::unique_ptr<Manager> manager_;
};

// ---- Backup infos

TEST(LdCDatabaseBackupInfoTest, ReadsNumbersAndOlderTextReasonsFlagsAndSize) {
    LdTemporaryFolder folder;
    const struct {
        LdValue reason;
        int expected;
        std::string title;
    } cases[] = {
            {LdValue(1), 1, "Automatic backup"},
            {LdValue("time"), 1, "Automatic backup"},
            {LdValue("migration"), 2, "Backup before a database update"},
            {LdValue("icloud"), 3, "Backup before cloud synchronisation"},
            {LdValue("wifi"), 4, "Backup before local network synchronisation"},
            {LdValue(4), 4, "Backup before local network synchronisation"},
            {LdValue(7), 7, "???"},
            {LdValue("weekly"), 0, "???"},
    };
    for (const auto& entry : cases) {
        const fs::path archive = folder / (LdUUID::uuidString() + ".ld5a");
        LdValue::Dictionary info = LdCDatabaseBackupInfo::infoDictionaryForReason(
                                           1, LdDate::fromReferenceSeconds(kStart))
                                           .dictionaryValue();
        info["reason"] = entry.reason;
        info["debug version"] = LdValue(true);
        ldWriteFile(archive / "backup.info",
                    *LdKeyedArchiver::archivedDataWithRootObject(LdValue(info)));
        ldWriteFile(archive / "store.ldcryptdata", std::string(1000, 'x'));
        ldWriteFile(archive / "AccountImages" / "a.png", std::string(24, 'y'));

        const auto read = LdCDatabaseBackupInfo::infoFromBackupURL(archive);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->backupReason(), entry.expected);
        EXPECT_EQ(LdCDatabaseBackupInfo::localizedReasonTitle(read->backupReason()), entry.title);
        EXPECT_EQ(read->creationDate(), LdDate::fromReferenceSeconds(kStart));
        EXPECT_TRUE(read->createdWithDebugBuild());
        EXPECT_EQ(read->applicationName(), LdApplication::name());
        EXPECT_EQ(read->applicationBuildNumber(), LdApplication::buildNumber());
        const std::uint64_t infoSize = fs::file_size(archive / "backup.info");
        EXPECT_EQ(read->backupByteSize(), infoSize + 1024U);
        EXPECT_EQ(read->backupLocation(), archive);
        EXPECT_NE(read->localizedInfoString().find(entry.title), std::string::npos);
    }
    // No info file, or one that is no keyed archive: no info.
    EXPECT_FALSE(LdCDatabaseBackupInfo::infoFromBackupURL(folder / "missing.ld5a"));
    ldWriteFile(folder / "bad.ld5a" / "backup.info", std::string("not an archive"));
    LdError error;
    EXPECT_FALSE(LdCDatabaseBackupInfo::infoFromBackupURL(folder / "bad.ld5a", &error));
    EXPECT_EQ(error.descriptionKey(), "_BACKUP_INFO_UNREADABLE");
}

// ---- Pruning

class LdCDatabaseBackupPruningTest : public LdCDatabaseBackupTest {
protected:
    // (reason, age in minutes) of the backups left, newest first.
    std::vector<std::pair<int, int>> remaining(const fs::path& url) {
        std::vector<std::pair<int, int>> left;
        for (const auto& info : manager_->existingBackupInfosForDatabaseID(
                     LdCDatabaseManager::databaseIDFromDatabaseURL(url))) {
            const double age = LdDate::fromReferenceSeconds(kStart).timeIntervalSinceDate(
                    *info.creationDate());
            left.emplace_back(info.backupReason(), static_cast<int>(age / 60.0));
        }
        return left;
    }

    void makeMixedBackups(const fs::path& url, double secondMigrationAge) {
        for (int hours = 1; hours <= 5; ++hours) {
            backupAged(url, kLdBackupReasonTimeBased, hours * kHour);
        }
        backupAged(url, kLdBackupReasonMigration, 30 * 60);
        backupAged(url, kLdBackupReasonMigration, secondMigrationAge);
        backupAged(url, kLdBackupReasonMigration, 8 * kHour);
        backupAged(url, kLdBackupReasonCloudSync, 9 * kHour);
        backupAged(url, kLdBackupReasonLocalSync, 10 * kHour);
    }
};

TEST_F(LdCDatabaseBackupPruningTest, KeepsTheNewestCandidatesTheNewestMigrationsAndAllSyncBackups) {
    const fs::path url = makeDatabase("Pruned");
    makeMixedBackups(url, 50 * 60);
    ASSERT_EQ(remaining(url).size(), 10U);
    int notifications = 0;
    auto subscription = LdNotificationCenter::defaultCenter().addObserverForName(
            Manager::kBackupsChangedNotification, nullptr,
            [&notifications](const LdNotification&) { ++notifications; });

    settings_->setInteger(3, Manager::kNumberToKeepKey);
    manager_->cleanBackupsForDatabaseID(LdCDatabaseManager::databaseIDFromDatabaseURL(url));
    const std::vector<std::pair<int, int>> expected = {{2, 30},  {2, 50},  {1, 60}, {1, 120},
                                                       {1, 180}, {3, 540}, {4, 600}};
    EXPECT_EQ(remaining(url), expected);
    EXPECT_EQ(notifications, 1);  // once for all deletions

    // A keep value below one keeps one candidate.
    settings_->setInteger(0, Manager::kNumberToKeepKey);
    manager_->cleanBackupsForDatabaseID(LdCDatabaseManager::databaseIDFromDatabaseURL(url));
    const std::vector<std::pair<int, int>> keepOne = {
            {2, 30}, {2, 50}, {1, 60}, {3, 540}, {4, 600}};
    EXPECT_EQ(remaining(url), keepOne);
}

TEST_F(LdCDatabaseBackupPruningTest, SecondMigrationBackupOverAnHourOldCompetesForAPlace) {
    const fs::path url = makeDatabase("Pruned");
    makeMixedBackups(url, 100 * 60);
    settings_->setInteger(3, Manager::kNumberToKeepKey);
    manager_->cleanBackupsForDatabaseID(LdCDatabaseManager::databaseIDFromDatabaseURL(url));
    const std::vector<std::pair<int, int>> expected = {{2, 30},  {1, 60},  {2, 100},
                                                       {1, 120}, {3, 540}, {4, 600}};
    EXPECT_EQ(remaining(url), expected);
}

// ---- Archives

TEST_F(LdCDatabaseBackupTest, BackupArchiveHoldsItsItemsInOrderWithTheStoreByteIdentical) {
    const fs::path url = makeDatabase("Household");
    std::vector<std::string> copied;
    manager_->setItemCopiedObserver([&copied](const std::string& item) { copied.push_back(item); });
    int notifications = 0;
    auto subscription = LdNotificationCenter::defaultCenter().addObserverForName(
            Manager::kBackupsChangedNotification, nullptr,
            [&notifications](const LdNotification&) { ++notifications; });
    std::optional<bool> outcome;
    ASSERT_TRUE(manager_->startBackupForDatabaseAtURL(
            url, kLdBackupReasonCloudSync, [&outcome](bool success, std::optional<LdError> error) {
                EXPECT_FALSE(error.has_value());
                outcome = success;
            }));
    const std::shared_ptr<LdOperation> operation =
            manager_->archiveExportOperationForDatabaseURL(url);
    ASSERT_NE(operation, nullptr);
    manager_->waitUntilAllExportsFinished();
    EXPECT_EQ(outcome, true);
    EXPECT_EQ(operation->totalUnitCount(), 9);
    EXPECT_EQ(operation->completedUnitCount(), 9);
    EXPECT_FALSE(manager_->isArchiveExportInProgressForDBAtURL(url));
    EXPECT_EQ(notifications, 1);

    const std::vector<std::string> order = {
            "backup.info",     "store.ldcryptdata", "externalMetadata.ldmetadata",
            "erData.lderdata", "AccountImages",     "CategoryImages",
            "ContactImages",   "FileAttachments",   "AccountStatements"};
    EXPECT_EQ(copied, order);
    const auto infos = manager_->existingBackupInfosForDatabaseID(
            LdCDatabaseManager::databaseIDFromDatabaseURL(url));
    ASSERT_EQ(infos.size(), 1U);
    EXPECT_EQ(infos[0].backupReason(), kLdBackupReasonCloudSync);
    const fs::path archive = infos[0].backupLocation();
    EXPECT_EQ(archive.extension(), ".ld5a");
    EXPECT_NE(archive.filename().string().find(" - Household.ld5a"), std::string::npos);
    EXPECT_EQ(ldReadFile(archive / "store.ldcryptdata"),
              ldReadFile(LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(url)));
    EXPECT_EQ(ldReadFile(archive / "FileAttachments" / "item.png"),
              ldReadFile(LdCDatabaseManager::fileAttachmentsFolderURLForDatabaseURL(url) /
                         "item.png"));
    EXPECT_TRUE(hiddenNamesUnder(manager_->backupFolderURL()).empty());
}

TEST_F(LdCDatabaseBackupTest, PasswordProtectedDatabaseArchivesOnlyEncryptedResourceFiles) {
    const fs::path url = makeDatabase("Secret", "Alice", "pw");
    ASSERT_TRUE(LdCDatabaseManager::isDatabaseEncryptedAtURL(url));
    const fs::path images = LdCDatabaseManager::urlForResourceType(1, url);
    ldWriteFile(images / "item.png.crypt", std::string("sealed"));
    ldWriteFile(images / "sub" / "deep.png.crypt", std::string("sealed too"));
    ldWriteFile(images / "sub" / "deep.png", std::string("working copy"));
    const fs::path target = folder_ / "Exports" / "Secret.ld5a";
    ASSERT_TRUE(manager_->exportDatabaseAtURL(url, target, 0, {}));
    manager_->waitUntilAllExportsFinished();
    std::vector<std::string> archived;
    for (const auto& [path, bytes] : filesUnder(target / "AccountImages")) {
        archived.push_back(path);
    }
    EXPECT_EQ(archived, (std::vector<std::string>{"item.png.crypt", "sub/deep.png.crypt"}));
    EXPECT_FALSE(fs::exists(target / "FileAttachments" / "item.png"));
}

TEST_F(LdCDatabaseBackupTest, RunningExportRefusesASecondExportAndTheSessionsSaves) {
    const fs::path url = makeDatabase("Busy");
    auto info = catalogue_->databaseInfoForURL(url);
    ASSERT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), kLdOpenDatabaseOpened);
    LdCOpenDatabaseManager* session = catalogue_->openDatabaseManagerForURL(url);

    // The export holds after its first item until the test lets it go on.
    std::promise<void> reached;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    manager_->setItemCopiedObserver([&reached, released](const std::string& item) {
        if (item == "backup.info") {
            reached.set_value();
            released.wait();
        }
    });
    std::optional<bool> outcome;
    ASSERT_TRUE(manager_->exportDatabaseAtURL(
            url, folder_ / "Busy.ld5a", 0,
            [&outcome](bool success, const std::optional<LdError>&) { outcome = success; }));
    reached.get_future().wait();

    EXPECT_TRUE(manager_->isArchiveExportInProgressForDBAtURL(url.string() + "/"));
    EXPECT_TRUE(catalogue_->activityChecks().isExporting(*info));
    LdError error;
    EXPECT_FALSE(manager_->exportDatabaseAtURL(url, folder_ / "Other.ld5a", 0, {}, &error));
    EXPECT_EQ(error.titleKey(), "_EXPORT_LEDRA_ARCHIVE_FAILED_DESC");
    EXPECT_EQ(error.descriptionKey(), "_EXPORT_LEDRA_ARCHIVE_IS_ALREADY_EXPORTING");
    EXPECT_EQ(error.localizedDescription(),
              LdStrings::localizedFormat("_EXPORT_LEDRA_ARCHIVE_IS_ALREADY_EXPORTING", {"Busy"},
                                         LdCBackups));
    EXPECT_NE(error.localizedDescription().find("\"Busy\""), std::string::npos);
    session->currentUser()->setName("Changed");
    EXPECT_FALSE(session->saveChanges());

    release.set_value();
    manager_->waitUntilAllExportsFinished();
    EXPECT_EQ(outcome, true);
    EXPECT_FALSE(fs::exists(folder_ / "Other.ld5a"));
    EXPECT_TRUE(session->saveChanges());
    session->closeDatabase();
}

TEST_F(LdCDatabaseBackupTest, ClosingTheDatabaseCancelsItsExportAndStillSaves) {
    const fs::path url = makeDatabase("Closing");
    auto info = catalogue_->databaseInfoForURL(url);
    ASSERT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), kLdOpenDatabaseOpened);
    LdCOpenDatabaseManager* session = catalogue_->openDatabaseManagerForURL(url);

    // The export holds after its first item until it is cancelled.
    std::promise<void> reached;
    manager_->setItemCopiedObserver([this, &reached, url](const std::string& item) {
        if (item == "backup.info") {
            const auto operation = manager_->archiveExportOperationForDatabaseURL(url);
            reached.set_value();
            while (operation && !operation->isCancelled()) {
                std::this_thread::yield();
            }
        }
    });
    std::optional<bool> outcome;
    ASSERT_TRUE(manager_->exportDatabaseAtURL(
            url, folder_ / "Closing.ld5a", 0,
            [&outcome](bool success, const std::optional<LdError>&) { outcome = success; }));
    reached.get_future().wait();
    session->currentUser()->setName("Changed before closing");
    EXPECT_FALSE(session->closeDatabase().has_value());
    EXPECT_FALSE(manager_->isArchiveExportInProgressForDBAtURL(url));
    manager_->waitUntilAllExportsFinished();
    EXPECT_EQ(outcome, false);
    EXPECT_FALSE(fs::exists(folder_ / "Closing.ld5a"));

    ASSERT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), kLdOpenDatabaseOpened);
    EXPECT_EQ(catalogue_->openDatabaseManagerForURL(url)->currentUser()->name(),
              "Changed before closing");
    catalogue_->openDatabaseManagerForURL(url)->closeDatabaseWithoutSaving();
}

TEST_F(LdCDatabaseBackupTest, ExportOntoAnArchiveReplacesItOnlyOnceTheNewOneIsComplete) {
    const fs::path url = makeDatabase("Replace");
    const fs::path target = folder_ / "Exports" / "Replace.ld5a";
    ASSERT_TRUE(manager_->exportDatabaseAtURL(url, target, 0, {}));
    manager_->waitUntilAllExportsFinished();
    const auto before = filesUnder(target);
    ASSERT_EQ(before.size(), 9U);

    // A cancelled export and a failing one (the store went missing) leave the old archive as it
    // was and nothing hidden beside it.
    manager_->setItemCopiedObserver([this, url](const std::string& item) {
        if (item == "store.ldcryptdata") {
            manager_->cancelArchiveExportForDatabaseURL(url);
        }
    });
    std::optional<bool> cancelled;
    clock_.advance(kHour);
    ASSERT_TRUE(manager_->exportDatabaseAtURL(
            url, target, 0, [&cancelled](bool success, const std::optional<LdError>& error) {
                EXPECT_FALSE(error.has_value());
                cancelled = success;
            }));
    manager_->waitUntilAllExportsFinished();
    EXPECT_EQ(cancelled, false);
    EXPECT_EQ(filesUnder(target), before);
    EXPECT_TRUE(hiddenNamesIn(target.parent_path()).empty());

    manager_->setItemCopiedObserver({});
    const fs::path store = LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(url);
    fs::rename(store, folder_ / "aside");
    std::optional<LdError> failure;
    ASSERT_TRUE(manager_->exportDatabaseAtURL(
            url, target, 0, [&failure](bool, std::optional<LdError> error) { failure = error; }));
    manager_->waitUntilAllExportsFinished();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->descriptionKey(), "_EXPORT_LEDRA_ARCHIVE_NO_STORE");
    EXPECT_EQ(filesUnder(target), before);
    EXPECT_TRUE(hiddenNamesIn(target.parent_path()).empty());
    fs::rename(folder_ / "aside", store);

    // Links, pipes and other non-files in resource folders are left out; the complete new
    // archive takes the old one's place.
    const fs::path attachments = LdCDatabaseManager::fileAttachmentsFolderURLForDatabaseURL(url);
    fs::create_symlink("/nonexistent", attachments / "dangling");
    fs::create_directory(attachments / "nested");
    ::mkfifo((attachments / "nested" / "pipe").c_str(), 0600);
    ldWriteFile(attachments / "nested" / "note.txt", std::string("nested"));
    failure.reset();
    ASSERT_TRUE(manager_->exportDatabaseAtURL(
            url, target, 0, [&failure](bool, std::optional<LdError> error) { failure = error; }));
    manager_->waitUntilAllExportsFinished();
    EXPECT_FALSE(failure.has_value());
    // The new archive replaced the old one: its info has the later date.
    const auto replaced = LdCDatabaseBackupInfo::infoFromBackupURL(target);
    ASSERT_TRUE(replaced.has_value());
    EXPECT_EQ(replaced->creationDate(), LdDate::fromReferenceSeconds(kStart + kHour));
    EXPECT_EQ(ldReadFile(target / "FileAttachments" / "nested" / "note.txt"),
              LdData({'n', 'e', 's', 't', 'e', 'd'}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(target / "FileAttachments" / "dangling")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(target / "FileAttachments" / "nested" / "pipe")));
    EXPECT_TRUE(hiddenNamesIn(target.parent_path()).empty());
}

TEST_F(LdCDatabaseBackupTest, ExportWithoutStoreFailsAndLeavesNothing) {
    LdError error;
    auto info = catalogue_->createNewDatabaseWithName("Empty", &error);
    ASSERT_TRUE(info);
    std::optional<LdError> failure;
    ASSERT_TRUE(
            manager_->exportDatabaseAtURL(info->url(), folder_ / "Empty.ld5a", 0,
                                          [&failure](bool success, std::optional<LdError> made) {
                                              EXPECT_FALSE(success);
                                              failure = made;
                                          }));
    manager_->waitUntilAllExportsFinished();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->descriptionKey(), "_EXPORT_LEDRA_ARCHIVE_NO_STORE");
    EXPECT_FALSE(fs::exists(folder_ / "Empty.ld5a"));
    EXPECT_TRUE(hiddenNamesIn(folder_.path()).empty());
    // A backup of it fails the same way.
    EXPECT_FALSE(manager_->backupDatabaseAtURLNow(info->url(), 1, &error));
    EXPECT_TRUE(manager_->existingBackupInfosForDatabaseID(info->databaseID()).empty());
}

TEST_F(LdCDatabaseBackupTest, LeftoversOfAKilledExportAreRepairedAtTheFirstUse) {
    const fs::path url = makeDatabase("Leftovers");
    const fs::path kept = backupAged(url, 1, 2 * kHour);
    const fs::path lost = backupAged(url, 1, kHour);
    const auto keptFiles = filesUnder(kept);
    const auto lostFiles = filesUnder(lost);
    const fs::path folder = kept.parent_path();
    // Killed after the old archive stepped aside: it returns. Killed after the new one arrived:
    // the old one goes. Unfinished archives go.
    const fs::path aside = ld::detail::replacedArchivePath(lost);
    fs::rename(lost, aside);
    fs::copy(kept, ld::detail::replacedArchivePath(kept), fs::copy_options::recursive);
    fs::create_directories(ld::detail::partialArchivePath(folder) / "AccountImages");
    ldWriteFile(ld::detail::partialArchivePath(folder) / "store.ldcryptdata", std::string("x"));

    makeManagers();
    EXPECT_EQ(manager_->existingBackupInfosForDatabaseID(
                              LdCDatabaseManager::databaseIDFromDatabaseURL(url))
                      .size(),
              2U);
    EXPECT_TRUE(hiddenNamesUnder(folder).empty());
    EXPECT_EQ(filesUnder(kept), keptFiles);
    EXPECT_EQ(filesUnder(lost), lostFiles);
}

// ---- Restore and import

TEST_F(LdCDatabaseBackupTest, RestoredBackupIsANewDatabaseNamedWithTheBackupDate) {
    const fs::path url = makeDatabase("Household", "Alice");
    const fs::path archive = backupAged(url, kLdBackupReasonTimeBased, 0);
    EXPECT_EQ(userNameOf(url), "Alice");
    auto session = catalogue_->openDatabase(catalogue_->databaseInfoForURL(url), std::nullopt, 0);
    ASSERT_EQ(session, kLdOpenDatabaseOpened);
    catalogue_->openDatabaseManagerForURL(url)->currentUser()->setName("Later");
    catalogue_->openDatabaseManagerForURL(url)->closeDatabase();

    const std::string name = manager_->databaseNameForRestoredBackupFromURL(archive);
    const ld::detail::LocalTime local =
            ld::detail::timeWithOffset(LdDate::fromReferenceSeconds(kStart), 0);
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d %02dh%02d", local.year, local.month, local.day,
                  local.hour, local.minute);
    EXPECT_EQ(name, LdStrings::localizedFormat("_BACKUP_RESTORE_DB_NAME_WITH_DATE",
                                               {"Household", date}, LdCBackups));
    LdError error;
    auto restored = manager_->restoreDatabaseBackupwithBackupURL(archive, &error);
    ASSERT_TRUE(restored) << error;
    EXPECT_NE(restored->databaseID(), LdCDatabaseManager::databaseIDFromDatabaseURL(url));
    EXPECT_EQ(restored->name(), LdCDatabaseManager::filteredDatabaseName(name));
    EXPECT_EQ(ldReadFile(LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(restored->url())),
              ldReadFile(archive / "store.ldcryptdata"));
    EXPECT_FALSE(fs::exists(restored->url() / "backup.info"));
    EXPECT_EQ(userNameOf(restored->url()), "Alice");
    EXPECT_EQ(userNameOf(url), "Later");
    EXPECT_TRUE(hiddenNamesIn(catalogue_->databasesFolderURL()).empty());

    // Without a readable info the date is unknown.
    EXPECT_NE(manager_->databaseNameForRestoredBackupFromURL(folder_ / "x - Name.ld5a")
                      .find(LdStrings::localizedString("_UNKNOWN", LdCBackups)),
              std::string::npos);
}

TEST_F(LdCDatabaseBackupTest, RestoreAndDeleteStayInsideTheResolvedBackupFolder) {
    const fs::path url = makeDatabase("Inside");
    const fs::path archive = backupAged(url, kLdBackupReasonTimeBased, 0);
    const fs::path outside = folder_ / "Outside.ld5a";
    fs::copy(archive, outside, fs::copy_options::recursive);
    const fs::path backupFolder = manager_->backupFolderURL();
    const std::size_t databases = catalogue_->allDatabases().size();

    const fs::path dotted = archive.parent_path() / ".." / ".." / ".." / outside.filename();
    ASSERT_TRUE(fs::exists(dotted));
    const fs::path linked = archive.parent_path() / "Linked.ld5a";
    fs::create_directory_symlink(outside, linked);
    for (const fs::path& crafted : {dotted, linked, backupFolder, outside}) {
        LdError error;
        EXPECT_FALSE(manager_->restoreDatabaseBackupwithBackupURL(crafted, &error)) << crafted;
        EXPECT_EQ(error.descriptionKey(), "_BACKUP_RESTORE_NOT_IN_BACKUP_FOLDER") << crafted;
        EXPECT_FALSE(manager_->deleteBackupAtURL(crafted)) << crafted;
    }
    EXPECT_EQ(catalogue_->allDatabases().size(), databases);
    EXPECT_EQ(filesUnder(outside), filesUnder(archive));

    // The link itself lies inside: deleting it removes the link, not what it points at.
    fs::remove(linked);
    EXPECT_TRUE(manager_->deleteBackupAtURL(archive));
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_FALSE(fs::exists(archive.parent_path()));  // the emptied database folder goes too
    EXPECT_TRUE(fs::exists(outside / "store.ldcryptdata"));
}

TEST_F(LdCDatabaseBackupTest, ImportVetsTheStoreAndAddsNothingWhenRefused) {
    const fs::path url = makeDatabase("Source", "Alice");
    const std::size_t databases = catalogue_->allDatabases().size();
    const auto listing = [this] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(catalogue_->databasesFolderURL())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    };
    const std::set<std::string> before = listing();

    // A damaged store in an archive and in a database folder; a folder without store.
    const fs::path archive = folder_ / "Damaged.ld5a";
    fs::copy(url, archive, fs::copy_options::recursive);
    LdData bytes = ldReadFile(archive / "store.ldcryptdata");
    std::fill(bytes.begin() + 100, bytes.begin() + 4096, std::uint8_t{0x5A});
    bytes.insert(bytes.end(), 100, std::uint8_t{0x5A});
    ldWriteFile(archive / "store.ldcryptdata", bytes);
    const fs::path folder = folder_ / "1234 - Damaged.lddb";
    fs::copy(archive, folder, fs::copy_options::recursive);
    ldWriteFile(folder_ / "Nothing.ld5a" / "backup.info", std::string("x"));
    for (const fs::path& refused : {archive, folder}) {
        LdError error;
        EXPECT_FALSE(manager_->importDatabaseOrDBArchiveAtURL(refused, &error)) << refused;
        EXPECT_EQ(error.descriptionKey(), "_IMPORT_DATABASE_STORE_REFUSED") << refused;
        EXPECT_NE(error.underlyingError(), nullptr);
    }
    LdError error;
    EXPECT_FALSE(manager_->importDatabaseOrDBArchiveAtURL(folder_ / "Nothing.ld5a", &error));
    EXPECT_EQ(error.descriptionKey(), "_IMPORT_DATABASE_NO_STORE_FILE");
    EXPECT_EQ(listing(), before);
    catalogue_->reloadAvailableDatabases();
    EXPECT_EQ(catalogue_->allDatabases().size(), databases);

    // A sound database folder imports under a fresh identifier and a unique name.
    auto imported = manager_->importDatabaseOrDBArchiveAtURL(url, std::nullopt, &error);
    ASSERT_TRUE(imported) << error;
    EXPECT_EQ(imported->name(), "Source 2");
    EXPECT_EQ(userNameOf(imported->url()), "Alice");
    EXPECT_EQ(ldReadFile(
                      LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(imported->url())),
              ldReadFile(LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(url)));
}

// ---- Backups before saves and the backup folder

TEST_F(LdCDatabaseBackupTest, TimeBasedBackupIsCompleteBeforeTheSaveWrites) {
    settings_->setBool(true, Manager::kTimeBasedBackupsKey);
    settings_->setInteger(3600, Manager::kBackupIntervalKey);
    // The first open has no store to copy yet, or only an empty one: the open succeeds.
    const fs::path url = makeDatabase("Saved", "Alice");
    const std::string databaseID = LdCDatabaseManager::databaseIDFromDatabaseURL(url);
    const auto timeBased = [&] {
        return manager_->existingBackupInfosForDatabaseID(databaseID, kLdBackupReasonTimeBased);
    };
    const std::size_t firstBackups = timeBased().size();

    clock_.advance(2 * kHour);
    EXPECT_TRUE(manager_->isItTimeToBackupDatabaseAtURL(url));
    auto info = catalogue_->databaseInfoForURL(url);
    ASSERT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), kLdOpenDatabaseOpened);
    LdCOpenDatabaseManager* session = catalogue_->openDatabaseManagerForURL(url);
    const LdData storeBeforeSave =
            ldReadFile(LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(url));
    std::vector<std::string> copied;
    manager_->setItemCopiedObserver([&copied](const std::string& item) { copied.push_back(item); });
    session->currentUser()->setName("Bob");
    ASSERT_TRUE(session->saveChanges());

    // Made on this thread before the save returned; its store is the one before the save.
    EXPECT_EQ(copied.size(), 9U);
    auto backups = timeBased();
    ASSERT_EQ(backups.size(), firstBackups + 1);
    EXPECT_EQ(backups[0].creationDate(), clock_.now());
    EXPECT_EQ(ldReadFile(backups[0].backupLocation() / "store.ldcryptdata"), storeBeforeSave);
    EXPECT_NE(ldReadFile(LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(url)),
              storeBeforeSave);

    // Within the interval the next save makes none.
    clock_.advance(kHour / 2);
    EXPECT_FALSE(manager_->isItTimeToBackupDatabaseAtURL(url));
    session->currentUser()->setName("Carol");
    ASSERT_TRUE(session->saveChanges());
    EXPECT_EQ(timeBased().size(), firstBackups + 1);
    session->closeDatabase();
}

TEST_F(LdCDatabaseBackupTest, BackupFolderMovesIsRememberedAndOverriddenForTheProcess) {
    const fs::path url = makeDatabase("Moved");
    const fs::path archive = backupAged(url, 1, 0);
    const fs::path oldFolder = Manager::defaultBackupFolderURL();
    EXPECT_EQ(manager_->backupFolderURL(), oldFolder);
    EXPECT_EQ(archive.parent_path().parent_path(), oldFolder);
    const std::string databaseID = LdCDatabaseManager::databaseIDFromDatabaseURL(url);

    const fs::path newFolder = folder_ / "Elsewhere";
    ASSERT_TRUE(manager_->setBackupFolderURL(newFolder));
    EXPECT_EQ(manager_->backupFolderURL(), newFolder);
    EXPECT_TRUE(fs::exists(newFolder / databaseID / archive.filename() / "backup.info"));
    EXPECT_FALSE(fs::exists(archive));
    const std::string remembered = newFolder.string();
    EXPECT_EQ(settings_->dataForKey(Manager::kBackupFolderBookmarkKey),
              LdData(remembered.begin(), remembered.end()));
    EXPECT_EQ(manager_->existingBackupDatabaseIDs(), std::vector<std::string>{databaseID});

    // The override neither moves nor is remembered.
    const fs::path overrideFolder = folder_ / "ForNow";
    manager_->setBackupFolderOverride(overrideFolder);
    EXPECT_EQ(manager_->backupFolderURL(), overrideFolder);
    EXPECT_TRUE(manager_->existingBackupDatabaseIDs().empty());
    EXPECT_TRUE(fs::exists(newFolder / databaseID));
    makeManagers();
    EXPECT_EQ(manager_->backupFolderURL(), newFolder);
    ASSERT_TRUE(manager_->deleteAllBackupsForDatabaseID(databaseID));
    EXPECT_FALSE(fs::exists(newFolder / databaseID));
    EXPECT_TRUE(manager_->existingBackupDatabaseIDs().empty());

    // A remembered folder that vanished, or became a file, leaves the default.
    fs::remove_all(newFolder);
    EXPECT_EQ(manager_->backupFolderURL(), oldFolder);
    ldWriteFile(newFolder, std::string("file"));
    EXPECT_EQ(manager_->backupFolderURL(), oldFolder);
}

// ---- Exports killed at random points

// A child process exports the database over an existing archive, again and again, and is killed
// at a random point; the next manager of the parent must find no partial archive and every
// earlier backup as it was. The child reports on a pipe when it is ready (0) and each item it
// copied (1, 2, ... counted over all its exports), so the parent can kill it amid any item or
// amid the replacement that follows the last one.
class LdBackupKillTest : public LdCDatabaseBackupTest {
protected:
    [[noreturn]] void runChild(const fs::path& databaseURL, const fs::path& target, int report) {
        LdUserDefaults settings(folder_ / "settings.json");
        LdCDatabaseManager catalogue(folder_ / "Databases", settings, secrets_, clock_);
        Manager manager(catalogue);
        int copied = 0;
        manager.setItemCopiedObserver([report, &copied](const std::string&) {
            ++copied;
            if (write(report, &copied, sizeof copied) != sizeof copied) {
                _exit(6);
            }
        });
        if (write(report, &copied, sizeof copied) != sizeof copied) {
            _exit(6);
        }
        for (;;) {
            bool done = false;
            if (!manager.exportDatabaseAtURL(
                        databaseURL, target, 0,
                        [&done](bool success, const auto&) { done = success; })) {
                _exit(4);
            }
            manager.waitUntilAllExportsFinished();
            if (!done) {
                _exit(5);
            }
        }
    }
};

TEST_F(LdBackupKillTest, KilledExportsLeaveNoPartialArchiveAndEveryEarlierBackup) {
    manager_.reset();
    catalogue_.reset();
    settings_ = std::make_unique<LdUserDefaults>(folder_ / "settings.json");
    settings_->setInteger(100, Manager::kNumberToKeepKey);
    makeManagers();
    const fs::path url = makeDatabase("Killed");
    ldWriteFile(LdCDatabaseManager::fileAttachmentsFolderURLForDatabaseURL(url) / "large.pdf",
                std::string(std::size_t{3} << 20U, 'p'));
    backupAged(url, kLdBackupReasonTimeBased, 2 * kHour);
    backupAged(url, kLdBackupReasonMigration, kHour);
    const fs::path insideTarget = backupAged(url, kLdBackupReasonTimeBased, 0);
    const fs::path outsideTarget = folder_ / "Exports" / "Killed.ld5a";
    ASSERT_TRUE(manager_->exportDatabaseAtURL(url, outsideTarget, 0, {}));
    manager_->waitUntilAllExportsFinished();
    // Every export writes the same bytes (same clock, same database), so a complete new
    // archive equals the old one.
    ASSERT_TRUE(manager_->exportDatabaseAtURL(url, insideTarget, 0, {}));
    manager_->waitUntilAllExportsFinished();
    const auto backupsBefore = filesUnder(manager_->backupFolderURL());
    const auto exportBefore = filesUnder(outsideTarget.parent_path());
    ASSERT_EQ(backupsBefore.size(), 30U);
    manager_.reset();
    catalogue_.reset();

    std::mt19937 random(4711U);
    // Up to two exports of nine items each.
    std::uniform_int_distribution<int> itemsBeforeKill(0, 18);
    std::uniform_int_distribution<int> spin(0, 20000);
    constexpr int kKills = 36;
    int roundsWithLeftovers = 0;
    int replacedLeftovers = 0;
    for (int round = 0; round < kKills; ++round) {
        const fs::path target = round % 2 == 0 ? insideTarget : outsideTarget;
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeEnds[0]);
            runChild(url, target, pipeEnds[1]);
        }
        close(pipeEnds[1]);
        const int wanted = itemsBeforeKill(random);
        int step = 0;
        while (read(pipeEnds[0], &step, sizeof step) == sizeof step && step < wanted) {
        }
        // Let the child get a random way into its next item.
        // After an export's last item only the replacement is left: kill at once or nearly.
        const int turns = wanted % 9 == 0 && wanted > 0 ? spin(random) % 64 : spin(random);
        for (volatile int turn = turns; turn > 0;) {
            turn = turn - 1;
        }
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        close(pipeEnds[0]);
        ASSERT_TRUE(WIFSIGNALED(status))
                << "child failed with " << WEXITSTATUS(status) << " in round " << round;

        if (!hiddenNamesUnder(Manager::defaultBackupFolderURL()).empty() ||
            !hiddenNamesUnder(outsideTarget.parent_path()).empty()) {
            ++roundsWithLeftovers;
        }
        for (const fs::path& folder :
             {Manager::defaultBackupFolderURL(), outsideTarget.parent_path()}) {
            for (const std::string& name : hiddenNamesUnder(folder)) {
                replacedLeftovers += name.find(".replaced") != std::string::npos ? 1 : 0;
            }
        }
        settings_ = std::make_unique<LdUserDefaults>(folder_ / "settings.json");
        makeManagers();
        EXPECT_EQ(manager_->existingBackupDatabaseIDs().size(), 1U);  // the first use repairs
        ASSERT_EQ(filesUnder(manager_->backupFolderURL()), backupsBefore) << "round " << round;
        ASSERT_EQ(filesUnder(outsideTarget.parent_path()), exportBefore) << "round " << round;
        ASSERT_TRUE(hiddenNamesUnder(manager_->backupFolderURL()).empty()) << "round " << round;
        ASSERT_TRUE(hiddenNamesUnder(outsideTarget.parent_path()).empty()) << "round " << round;
        manager_.reset();
        catalogue_.reset();
    }
    // The kills must land inside exports, not only between them.
    std::printf("kills amid an export: %d of %d (%d amid a replacement)\n", roundsWithLeftovers,
                kKills, replacedLeftovers);
    EXPECT_GT(roundsWithLeftovers, 0);
    makeManagers();
}

}  // namespace
