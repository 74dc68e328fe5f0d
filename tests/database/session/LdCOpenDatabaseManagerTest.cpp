// The session of an open database through the catalogue: opening codes, passwords and their
// throttle, saving and metadata, the deletion log around undo and redo, and consistency after the
// process is killed in the middle of saves and password changes.
#include "core/database/session/LdCOpenDatabaseManager.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/security/LdSecretStore.h"
#include "core/security/VTCrypto.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdClock.h"
#include "core/support/queues/LdMainQueue.h"

#include "tests/database/store/LdFaultVFS.h"
#include "tests/testutil/LdTestUtil.h"

namespace {

class LdCOpenDatabaseManagerTest : public ::testing::Test {
protected:
    LdCOpenDatabaseManagerTest()
        : clock_(LdDate::fromReferenceSeconds(800'000'000.0)),
          scopedClock_(clock_),
          settings_(LdUserDefaults::inMemory()) {
        catalogue_ =
                std::make_unique<LdCDatabaseManager>(folder_.path(), *settings_, secrets_, clock_);
    }
    ~LdCOpenDatabaseManagerTest() override {
        catalogue_.reset();
        LdMainQueue::main().runUntilIdle();
    }

    LdCDatabaseManager::InfoPtr create(const std::string& name) {
        LdError error;
        auto info = catalogue_->createNewDatabaseWithName(name, &error);
        EXPECT_TRUE(info) << error;
        return info;
    }

    LdCOpenDatabaseManager* open(const LdCDatabaseManager::InfoPtr& info,
                                 const std::optional<std::string>& password,
                                 int mode = kLdOpenDatabaseModeNormal) {
        const int result = catalogue_->openDatabase(info, password, mode);
        EXPECT_EQ(result, kLdOpenDatabaseOpened);
        return catalogue_->openDatabaseManagerForURL(info->url());
    }

    static std::size_t count(LdCOpenDatabaseManager& session,
                             const LdEntityDescription* entity,
                             const char* format = nullptr,
                             std::vector<LdPredicateArgument> arguments = {}) {
        LdFetchRequest request;
        request.entity = entity;
        if (format != nullptr) {
            request.predicate = LdPredicateParser::predicateWithFormat(format, arguments);
        }
        return session.managedObjectContext()->countForFetchRequest(request).value_or(9999);
    }

    // Whether SQLCipher opens the store with this key (empty: unencrypted) and reads its tables.
    static bool storeOpensWithKey(const std::filesystem::path& databaseURL,
                                  const std::string& key) {
        const auto path = LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(databaseURL);
        sqlite3* connection = nullptr;
        if (sqlite3_open_v2(path.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK) {
            sqlite3_close(connection);
            return false;
        }
        if (!key.empty()) {
            sqlite3_key(connection, key.data(), static_cast<int>(key.size()));
        }
        const bool reads = sqlite3_exec(connection, "SELECT count(*) FROM sqlite_master;", nullptr,
                                        nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(connection);
        return reads;
    }

    LdTemporaryFolder folder_;
    LdManualClock clock_;
    LdScopedClock scopedClock_;
    std::unique_ptr<LdUserDefaults> settings_;
    LdInMemorySecretStore secrets_;
    std::unique_ptr<LdCDatabaseManager> catalogue_;
};

TEST_F(LdCOpenDatabaseManagerTest, DatabaseWithoutPasswordOpensWithAnyPasswordOnAPlainStore) {
    auto info = create("Household");
    LdCOpenDatabaseManager* session = open(info, std::nullopt);
    ASSERT_NE(session, nullptr);
    ASSERT_NE(session->currentUser(), nullptr);
    EXPECT_FALSE(session->isPasswordProtected());
    EXPECT_EQ(count(*session, LdCDCategory::entityDescription()), 22U);
    session->closeDatabase();
    EXPECT_TRUE(storeOpensWithKey(info->url(), ""));

    for (const std::optional<std::string>& password :
         {std::optional<std::string>("anything"), std::optional<std::string>(""),
          std::optional<std::string>()}) {
        session = open(info, password);
        ASSERT_NE(session, nullptr);
        EXPECT_TRUE(session->isDatabasePasswordCorrect("other"));
        EXPECT_EQ(session->cachedDatabasePassword(), std::nullopt);
        session->closeDatabaseWithoutSaving();
    }
}

TEST_F(LdCOpenDatabaseManagerTest, PasswordLifecycleKeysTheStoreWithThePasswordText) {
    auto info = create("Office");
    LdCOpenDatabaseManager* session = open(info, std::nullopt);
    ASSERT_NE(session, nullptr);
    secrets_.setPasswordForDatabaseID("stale", info->databaseID());
    LdError error;
    ASSERT_TRUE(session->setNewPassword("first secret", std::nullopt, &error)) << error;
    EXPECT_TRUE(session->isPasswordProtected());
    EXPECT_EQ(secrets_.passwordForDatabaseID(info->databaseID()), std::nullopt);
    EXPECT_EQ(catalogue_->openDatabase(info, "first secret", 0), kLdOpenDatabaseAlreadyOpen);
    session->closeDatabase();
    EXPECT_TRUE(storeOpensWithKey(info->url(), "first secret"));
    EXPECT_FALSE(storeOpensWithKey(info->url(), ""));

    EXPECT_EQ(catalogue_->openDatabase(info, "wrong", 0), kLdOpenDatabaseWrongPassword);
    EXPECT_EQ(catalogue_->openDatabase(info, std::nullopt, 0), kLdOpenDatabaseWrongPassword);
    session = open(info, "first secret");
    ASSERT_NE(session, nullptr);
    EXPECT_FALSE(session->setNewPassword("x", "not the old one", &error));
    EXPECT_EQ(error.title(), LdStrings::localizedString("_WRONG_PASSWORD"));
    EXPECT_FALSE(session->setNewPassword("", "first secret"));
    ASSERT_TRUE(session->setNewPassword("second", "first secret", &error)) << error;
    session->closeDatabase();
    EXPECT_TRUE(storeOpensWithKey(info->url(), "second"));
    EXPECT_EQ(catalogue_->openDatabase(info, "first secret", 0), kLdOpenDatabaseWrongPassword);

    session = open(info, "second");
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->setNewPassword(std::nullopt, "second", &error)) << error;
    EXPECT_FALSE(session->isPasswordProtected());
    session->closeDatabase();
    EXPECT_TRUE(storeOpensWithKey(info->url(), ""));
    EXPECT_NE(open(info, "whatever"), nullptr);
}

TEST_F(LdCOpenDatabaseManagerTest, FirstOpenWithPasswordCreatesAProtectedDatabase) {
    auto info = create("Protected");
    LdCOpenDatabaseManager* session = open(info, "from the start");
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->isPasswordProtected());
    EXPECT_EQ(session->cachedDatabasePassword(), "from the start");
    session->closeDatabase();
    EXPECT_TRUE(storeOpensWithKey(info->url(), "from the start"));
    EXPECT_TRUE(info->isEncrypted());
    EXPECT_EQ(catalogue_->openDatabase(info, "other", 0), kLdOpenDatabaseWrongPassword);
}

TEST_F(LdCOpenDatabaseManagerTest, ResourceFilesFollowThePassword) {
    auto info = create("Files");
    LdCOpenDatabaseManager* session = open(info, std::nullopt);
    ASSERT_NE(session, nullptr);
    const auto attachments = LdCDatabaseManager::urlForResourceType(
            LdCDatabaseManager::kResourceTypeFileAttachments, info->url());
    ldWriteFile(attachments / "receipt.pdf", std::string("%PDF receipt"));
    ASSERT_TRUE(session->setNewPassword("secret", std::nullopt));
    EXPECT_TRUE(std::filesystem::exists(attachments / "receipt.pdf.crypt"));

    // A file that arrived only in encrypted form (by sync) keeps its content when the password
    // goes: it is decrypted, not deleted.
    ASSERT_FALSE(VTCrypto::aesEncryptFileAtURL(
            attachments / "receipt.pdf", session->resourceFilesEncryptionKey(), folder_.path()));
    std::filesystem::rename(folder_ / "receipt.pdf.crypt", attachments / "synced.pdf.crypt");
    ASSERT_TRUE(session->setNewPassword(std::nullopt, "secret"));
    EXPECT_FALSE(std::filesystem::exists(attachments / "receipt.pdf.crypt"));
    EXPECT_FALSE(std::filesystem::exists(attachments / "synced.pdf.crypt"));
    EXPECT_EQ(ldReadFile(attachments / "synced.pdf"), ldReadFile(attachments / "receipt.pdf"));
}

TEST_F(LdCOpenDatabaseManagerTest, RepeatedWrongPasswordsWaitOnTheClock) {
    auto info = create("Throttled");
    LdCOpenDatabaseManager* session = open(info, std::nullopt);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->setNewPassword("right", std::nullopt));

    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(session->isDatabasePasswordCorrect("wrong"));
        clock_.advance(0.1);
    }
    EXPECT_EQ(clock_.waitedSeconds(), 0.0);
    EXPECT_FALSE(session->isDatabasePasswordCorrect("wrong"));  // within 0.5 s of the oldest
    EXPECT_EQ(clock_.waitedSeconds(), 10.0);

    // Spaced attempts never wait; a right password clears the record.
    for (int attempt = 0; attempt < 5; ++attempt) {
        clock_.advance(0.6);
        EXPECT_FALSE(session->isDatabasePasswordCorrect("wrong"));
    }
    EXPECT_EQ(clock_.waitedSeconds(), 10.0);
    EXPECT_TRUE(session->isDatabasePasswordCorrect("right"));
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(session->isDatabasePasswordCorrect("wrong"));
    }
    EXPECT_EQ(clock_.waitedSeconds(), 10.0);
}

TEST_F(LdCOpenDatabaseManagerTest, SavingWritesTheMetadataAndSkipsWhenNothingChanged) {
    auto info = create("Metadata");
    LdCOpenDatabaseManager* session = open(info, std::nullopt);
    ASSERT_NE(session, nullptr);
    EXPECT_FALSE(session->saveChanges());
    clock_.advance(60);
    ASSERT_TRUE(session->forceSaveChanges());
    auto item = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(
            LdCDatabaseManager::metadataFileURLForDatabaseURL(info->url()));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->lastModified(), clock_.now());

    session->currentUser()->setName("Changed");
    clock_.advance(60);
    EXPECT_TRUE(session->saveChanges());
    item = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(
            LdCDatabaseManager::metadataFileURLForDatabaseURL(info->url()));
    EXPECT_EQ(item->lastModified(), clock_.now());

    session->setMaxDaysToComputeRecurringTransactions(5000);
    EXPECT_EQ(session->currentUser()->numberOfDaysToCreateRecurringEntriesInAdvance(), 999);
}

TEST_F(LdCOpenDatabaseManagerTest, DeletionLogFollowsUndoAndRedoWithoutRowsOfItsOwn) {
    auto info = create("Log");
    LdCOpenDatabaseManager* session = open(info, std::nullopt);
    ASSERT_NE(session, nullptr);
    LdManagedObjectContext& context = *session->managedObjectContext();
    auto* account = context.insertNewObject<LdCDAccount>(LdCDAccount::entityName());
    account->setTitle("Giro");
    ASSERT_TRUE(session->saveChanges());
    LdMainQueue::main().runUntilIdle();
    const std::string syncID = account->syncUniqueID();
    ASSERT_FALSE(syncID.empty());
    const std::size_t logsBefore = count(*session, LdCDSyncDeleteLog::entityDescription());
    auto logsOfAccount = [&] {
        return count(*session, LdCDSyncDeleteLog::entityDescription(),
                     "id_of_deleted_object == %@ AND object_kind == 'Account'", {syncID});
    };

    ASSERT_TRUE(context.deleteObject(account));
    LdMainQueue::main().runUntilIdle();  // the task's undo group closes
    ASSERT_TRUE(session->saveChanges());
    EXPECT_EQ(logsOfAccount(), 1U);

    context.undoManager()->undo();
    ASSERT_TRUE(session->saveChanges());
    EXPECT_EQ(logsOfAccount(), 0U);
    EXPECT_EQ(count(*session, LdCDSyncDeleteLog::entityDescription()), logsBefore);

    context.undoManager()->redo();
    ASSERT_TRUE(session->saveChanges());
    EXPECT_EQ(logsOfAccount(), 1U);
    EXPECT_EQ(count(*session, LdCDSyncDeleteLog::entityDescription()), logsBefore + 1);
    EXPECT_TRUE(session->isDeleteLogRegistrationEnabled());
}

TEST_F(LdCOpenDatabaseManagerTest, ReadOnlyModeRefusesToSaveAndAnotherHolderAnswersOpen) {
    auto info = create("Shared");
    ASSERT_NE(open(info, std::nullopt), nullptr);
    catalogue_->openDatabaseManagerForURL(info->url())->closeDatabase();

    LdCOpenDatabaseManager* session = open(info, std::nullopt, kLdOpenDatabaseModeReadOnly);
    ASSERT_NE(session, nullptr);
    session->currentUser()->setName("Not saved");
    LdError error;
    EXPECT_FALSE(session->saveChanges(&error));
    session->closeDatabaseWithoutSaving();

    // A second session over the same folder (as another process would make) finds it locked.
    ASSERT_NE(open(info, std::nullopt), nullptr);
    LdCOpenDatabaseManager second(*catalogue_, info);
    EXPECT_EQ(second.openDatabaseWithPassword(std::nullopt, 0), kLdOpenDatabaseAlreadyOpen);
}

// A child process runs one kind of operation in a loop and is killed at a random point; afterwards
// the database must open with the old or the new password and hold what the last completed save
// wrote. The child reports every completed step on a pipe before it starts the next.
class LdSessionKillTest : public LdCOpenDatabaseManagerTest {
protected:
    // Key derivation with the full iteration count costs over 100 ms under the sanitizers; the
    // rounds here test crash consistency, not the cipher, so new connections of this process
    // derive keys with few iterations while the test runs (files stay readable throughout: every
    // connection of the process uses the same count).
    static void setDefaultKeyDerivationIterations(int iterations) {
        sqlite3* connection = nullptr;
        sqlite3_open(":memory:", &connection);
        sqlite3_key(connection, "k", 1);
        const std::string pragma = "PRAGMA cipher_default_kdf_iter = " + std::to_string(iterations);
        sqlite3_exec(connection, pragma.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(connection);
    }
    void SetUp() override {
        setDefaultKeyDerivationIterations(256);
        // A killed process leaves its writes in the operating system: syncs to the disk are not
        // needed for these rounds and only make them wait on it.
        vfs_ = std::make_unique<ld::test::LdFaultVFS>();
    }
    void TearDown() override {
        vfs_.reset();
        setDefaultKeyDerivationIterations(64000);
    }

    std::unique_ptr<ld::test::LdFaultVFS> vfs_;

    enum class Operation { Save, SetAndRemovePassword, ChangePassword, Rename };

    // What the database holds between rounds: its password, the user's name and the database's
    // name; `counter` makes every step's new value unique.
    struct State {
        std::optional<std::string> password;
        std::string userName = "start";
        std::string databaseName = "Killed";
        int counter = 0;
    };

    // The state after `steps` completed steps of `operation` from `state`.
    static State after(Operation operation, State state, int steps) {
        for (int step = 1; step <= steps; ++step) {
            const std::string value = std::to_string(state.counter + step);
            switch (operation) {
                case Operation::Save:
                    state.userName = "name " + value;
                    break;
                case Operation::SetAndRemovePassword:
                    state.password = state.password ? std::nullopt
                                                    : std::optional<std::string>("pw " + value);
                    break;
                case Operation::ChangePassword:
                    state.password = "pw " + value;
                    break;
                case Operation::Rename:
                    state.databaseName = "Renamed " + value;
                    break;
            }
        }
        state.counter += steps;
        return state;
    }

    LdCDatabaseManager::InfoPtr onlyDatabase() {
        catalogue_->reloadAvailableDatabases();
        auto all = catalogue_->allDatabases();
        EXPECT_EQ(all.size(), 1U);
        return all.empty() ? nullptr : all.front();
    }

    // The child: opens the database and runs steps until it is killed, reporting each completed
    // step (0: opened) on `report`.
    [[noreturn]] void runChild(Operation operation, const State& start, int report) {
        LdCDatabaseManager catalogue(folder_.path(), *settings_, secrets_, clock_);
        catalogue.reloadAvailableDatabases();
        auto all = catalogue.allDatabases();
        if (all.size() != 1) {
            _exit(3);
        }
        auto info = all.front();
        LdCOpenDatabaseManager* session = nullptr;
        if (operation != Operation::Rename) {
            if (catalogue.openDatabase(info, start.password, 0) != kLdOpenDatabaseOpened) {
                _exit(4);
            }
            session = catalogue.openDatabaseManagerForURL(info->url());
        }
        State state = start;
        for (int step = 0;; ++step) {
            if (step > 0) {
                const State next = after(operation, state, 1);
                bool done = false;
                LdError error;
                switch (operation) {
                    case Operation::Save:
                        session->currentUser()->setName(next.userName);
                        done = session->saveChanges();
                        break;
                    case Operation::SetAndRemovePassword:
                    case Operation::ChangePassword:
                        done = session->setNewPassword(next.password, state.password, &error);
                        break;
                    case Operation::Rename: {
                        std::filesystem::path newURL;
                        done = catalogue.renameDatabaseAtURL(info->url(), next.databaseName,
                                                             &newURL);
                        info = catalogue.databaseInfoForURL(newURL);
                        break;
                    }
                }
                if (!done) {
                    std::fprintf(stderr, "step %d failed: %s\n", step,
                                 error.logDescription().c_str());
                    _exit(5);
                }
                state = next;
            }
            if (write(report, &step, sizeof step) != sizeof step) {
                _exit(6);
            }
        }
    }

    // Runs `kills` rounds of `operation`, each killing a child after a random number of completed
    // steps, and checks the database after each.
    void runRounds(Operation operation, State& state, int kills) {
        std::mt19937 random(static_cast<unsigned>(operation) * 7919U + 17U);
        std::uniform_int_distribution<int> stepsBeforeKill(0, 2);
        std::uniform_int_distribution<int> spin(0, 20000);
        for (int round = 0; round < kills; ++round) {
            int pipeEnds[2];
            ASSERT_EQ(pipe(pipeEnds), 0);
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(pipeEnds[0]);
                runChild(operation, state, pipeEnds[1]);
            }
            close(pipeEnds[1]);
            const int target = stepsBeforeKill(random);
            int completed = -1;
            int step = 0;
            while (read(pipeEnds[0], &step, sizeof step) == sizeof step) {
                completed = step;
                if (step >= target) {
                    break;
                }
            }
            // Let the child get a random way into its next step.
            for (volatile int turn = spin(random); turn > 0;) {
                turn = turn - 1;
            }
            kill(child, SIGKILL);
            int status = 0;
            waitpid(child, &status, 0);
            // The child may have completed more steps before the signal landed.
            while (read(pipeEnds[0], &step, sizeof step) == sizeof step) {
                completed = step;
            }
            close(pipeEnds[0]);
            ASSERT_TRUE(WIFSIGNALED(status))
                    << "child failed with " << WEXITSTATUS(status) << " in round " << round;
            ASSERT_GE(completed, 0) << "round " << round;

            // The database holds the last completed step or the one that was running.
            const State done = after(operation, state, completed);
            const State running = after(operation, state, completed + 1);
            auto info = onlyDatabase();
            ASSERT_TRUE(info);
            State found = done;
            if (operation == Operation::Rename) {
                ASSERT_TRUE(info->name() == done.databaseName ||
                            info->name() == running.databaseName)
                        << info->name() << " in round " << round;
                found.databaseName = info->name();
            }
            int result = catalogue_->openDatabase(info, done.password, 0);
            if (result == kLdOpenDatabaseWrongPassword && running.password != done.password) {
                result = catalogue_->openDatabase(info, running.password, 0);
                found.password = running.password;
            }
            ASSERT_EQ(result, kLdOpenDatabaseOpened) << "round " << round;
            LdCOpenDatabaseManager* session = catalogue_->openDatabaseManagerForURL(info->url());
            EXPECT_EQ(session->isPasswordProtected(), found.password.has_value());
            const std::string name = session->currentUser()->name();
            ASSERT_TRUE(name == done.userName || name == running.userName) << name;
            found.userName = name;
            session->closeDatabaseWithoutSaving();
            found.counter = running.counter;
            state = found;
        }
    }
};

TEST_F(LdSessionKillTest, KilledSavesKeepTheLastCompletedSave) {
    auto info = create("Killed");
    ASSERT_NE(open(info, std::nullopt), nullptr);
    catalogue_->openDatabaseManagerForURL(info->url())->currentUser()->setName("start");
    catalogue_->openDatabaseManagerForURL(info->url())->closeDatabase();
    State state;
    runRounds(Operation::Save, state, 50);
    runRounds(Operation::Rename, state, 50);
}

TEST_F(LdSessionKillTest, KilledPasswordChangesLeaveOneWorkingPassword) {
    auto info = create("Killed");
    ASSERT_NE(open(info, std::nullopt), nullptr);
    catalogue_->openDatabaseManagerForURL(info->url())->currentUser()->setName("start");
    catalogue_->openDatabaseManagerForURL(info->url())->closeDatabase();
    State state;
    // About half the rounds are killed amid setting a password, half amid removing it.
    runRounds(Operation::SetAndRemovePassword, state, 100);
    if (!state.password) {
        LdCOpenDatabaseManager* session = open(onlyDatabase(), std::nullopt);
        ASSERT_NE(session, nullptr);
        ASSERT_TRUE(session->setNewPassword("pw start", std::nullopt));
        session->closeDatabase();
        state.password = "pw start";
    }
    runRounds(Operation::ChangePassword, state, 50);
}

}  // namespace
