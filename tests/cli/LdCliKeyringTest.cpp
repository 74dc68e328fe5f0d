// `ledra db remember / forget` against the desktop's real Secret Service. Runs in the keyring test
// entry (a private session bus with a fresh keyring); elsewhere it skips.
#include <chrono>
#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/security/LdSecretServiceStore.h"

#include "cli/LdCommandLine.h"
#include "tests/testutil/LdTestUtil.h"

namespace {

struct LedraRun {
    int status;
    std::string out;
    std::string err;
};

class LdCliKeyringTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* flag = std::getenv("LD_KEYRING_SESSION");
        if (flag == nullptr || std::string_view(flag) != "1") {
            GTEST_SKIP() << "runs in the keyring test entry";
        }
    }
    void TearDown() override { ::unsetenv("LEDRA_PASSWORD"); }

    LedraRun ledra(std::vector<std::string> arguments,
                   std::optional<std::string> password = std::nullopt) {
        if (password) {
            ::setenv("LEDRA_PASSWORD", password->c_str(), 1);
        } else {
            ::unsetenv("LEDRA_PASSWORD");
        }
        arguments.insert(arguments.begin(), {"--databases-folder", (folder_ / "DB").string()});
        std::istringstream in;
        std::ostringstream out;
        std::ostringstream err;
        const int status = ldRunCommandLine(arguments, {in, out, err, false});
        return {status, out.str(), err.str()};
    }

    LdTemporaryFolder folder_;
};

}  // namespace

TEST_F(LdCliKeyringTest, RememberedPasswordOpensWithoutAskingUntilForgottenOrDeleted) {
    ASSERT_EQ(ledra({"db", "create", "Vault"}, "pw-1").status, 0);
    EXPECT_EQ(ledra({"db", "show", "Vault"}).status, 1);  // no password anywhere

    EXPECT_EQ(ledra({"db", "remember", "Vault"}).status, 2);  // LEDRA_PASSWORD missing
    EXPECT_EQ(ledra({"db", "remember", "Vault"}, "wrong").status, 1);
    const LedraRun remembered = ledra({"db", "remember", "Vault"}, "pw-1");
    ASSERT_EQ(remembered.status, 0) << remembered.err;
    const LedraRun shown = ledra({"db", "show", "Vault"});
    EXPECT_EQ(shown.status, 0) << shown.err;

    // A password change carries the saved password along.
    ::setenv("LEDRA_NEW_PASSWORD", "pw-2", 1);
    ASSERT_EQ(ledra({"db", "passwd", "Vault"}, "pw-1").status, 0);
    ::unsetenv("LEDRA_NEW_PASSWORD");
    EXPECT_EQ(ledra({"db", "show", "Vault"}).status, 0);

    const LedraRun forgotten = ledra({"--json", "db", "forget", "Vault"});
    EXPECT_NE(forgotten.out.find("\"deleted\": true"), std::string::npos) << forgotten.out;
    EXPECT_EQ(ledra({"db", "show", "Vault"}).status, 1);

    // Deleting the database deletes its saved password.
    ASSERT_EQ(ledra({"db", "remember", "Vault"}, "pw-2").status, 0);
    LdSecretServiceStore keyring;
    ASSERT_EQ(keyring.databaseIDsForSavedDatabasePasswords().size(), 1U);
    ASSERT_EQ(ledra({"db", "delete", "Vault"}).status, 0);
    EXPECT_TRUE(keyring.databaseIDsForSavedDatabasePasswords().empty());
}

TEST(LdCliSavedPasswordTest, WithoutASessionBusAProtectedDatabaseOpensWithItsPasswordAtOnce) {
    // The ordinary test entry has no session bus; make sure of it for a run by hand too.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "", 1);
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    LdTemporaryFolder folder;
    const auto run = [&folder](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--databases-folder", (folder / "DB").string()});
        std::istringstream in;
        std::ostringstream out;
        std::ostringstream err;
        return ldRunCommandLine(arguments, {in, out, err, false});
    };
    ::setenv("LEDRA_PASSWORD", "pw", 1);
    ASSERT_EQ(run({"db", "create", "Vault"}), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run({"db", "show", "Vault"}), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(run({"db", "remember", "Vault"}), 1);  // nowhere to save it: a clear failure
    ::unsetenv("LEDRA_PASSWORD");
    EXPECT_EQ(run({"db", "show", "Vault"}), 1);
}
