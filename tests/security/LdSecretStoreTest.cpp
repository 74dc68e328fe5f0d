// Saved passwords: the generic-password items of both stores — in memory, and the desktop's Secret
// Service — and the database-password helpers on top of them. The Secret Service cases run in their
// own test entry, inside a private session bus with a fresh keyring (tools/run-with-keyring.sh);
// elsewhere they skip.
#include "core/security/LdSecretStore.h"

#include <chrono>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "core/security/LdCKeychainController.h"
#include "core/security/LdSecretServiceStore.h"
#include "core/security/VTCrypto.h"

namespace {
LdData bytes(std::string_view text) {
    return LdSecretStore::bytes(text);
}

bool inKeyringSession() {
    const char* flag = std::getenv("LD_KEYRING_SESSION");
    return flag != nullptr && std::string_view(flag) == "1";
}

class LdSecretStoreTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            if (!inKeyringSession()) {
                GTEST_SKIP() << "runs in the keyring test entry";
            }
            store_ = std::make_unique<LdSecretServiceStore>();
        } else {
            store_ = std::make_unique<LdInMemorySecretStore>();
        }
    }
    void TearDown() override {
        // The keyring lives for the whole test entry: leave it empty for the next case.
        if (!store_) {
            return;
        }
        for (const char* service : {"Ledra", "Other", "Ledra: DB-PW", "Ledra 4: DB-PW"}) {
            for (const std::string& account : store_->accountNamesForService(service)) {
                store_->deleteGenericPassword(service, account, std::nullopt);
            }
        }
    }
    LdSecretStore& store() { return *store_; }

private:
    std::unique_ptr<LdSecretStore> store_;
};
}  // namespace

TEST_P(LdSecretStoreTest, ItemsAreUniquePerServiceAndAccountAndMatchTheirGenericAttribute) {
    LdSecretStore& store = this->store();
    ASSERT_TRUE(store.addGenericPassword("Ledra", "A1", bytes("type"), bytes("one")));
    LdError error;
    EXPECT_FALSE(store.addGenericPassword("Ledra", "A1", bytes("other"), bytes("two"), &error));
    EXPECT_TRUE(error.isSet());
    EXPECT_TRUE(store.addGenericPassword("Other", "A1", std::nullopt, bytes("three")));
    EXPECT_FALSE(store.addGenericPassword("", "A1", std::nullopt, bytes("x")));

    EXPECT_EQ(store.findGenericPassword("Ledra", "A1", std::nullopt), bytes("one"));
    EXPECT_EQ(store.findGenericPassword("Ledra", "A1", bytes("type")), bytes("one"));
    EXPECT_FALSE(store.findGenericPassword("Ledra", "A1", bytes("other")).has_value());
    EXPECT_FALSE(store.deleteGenericPassword("Ledra", "A1", bytes("other")));
    EXPECT_EQ(store.accountNamesForService("Ledra"), std::vector<std::string>{"A1"});
    EXPECT_TRUE(store.accountNamesForService("Ledra", bytes("other")).empty());
    EXPECT_TRUE(store.deleteGenericPassword("Ledra", "A1", std::nullopt));
    EXPECT_FALSE(store.findGenericPassword("Ledra", "A1", std::nullopt).has_value());
    EXPECT_EQ(store.findGenericPassword("Other", "A1", std::nullopt), bytes("three"));
}

TEST_P(LdSecretStoreTest, DatabasePasswordIsReplacedReadAndDeleted) {
    LdSecretStore& store = this->store();
    EXPECT_FALSE(store.passwordForDatabaseID("DB1").has_value());
    ASSERT_TRUE(store.setPasswordForDatabaseID("first", "DB1"));
    ASSERT_TRUE(store.setPasswordForDatabaseID("second", "DB1"));
    EXPECT_EQ(store.passwordForDatabaseID("DB1"), "second");
    // The item the keychain table names: service "Ledra", the type as generic attribute.
    EXPECT_EQ(store.findGenericPassword("Ledra", "DB1", bytes("LedraDatabasePassword")),
              bytes("second"));
    EXPECT_EQ(store.databaseIDsForSavedDatabasePasswords(), std::vector<std::string>{"DB1"});
    EXPECT_FALSE(store.setPasswordForDatabaseID("", "DB1"));
    EXPECT_TRUE(store.deletePasswordForDatabaseID("DB1"));
    EXPECT_FALSE(store.deletePasswordForDatabaseID("DB1"));
    EXPECT_FALSE(store.passwordForDatabaseID("DB1").has_value());
}

TEST_P(LdSecretStoreTest, OlderVersionsPasswordsAreDecodedAndMigrated) {
    LdSecretStore& store = this->store();
    const std::optional<LdData> legacy = LdSecretStore::legacyDataFromPassword("geheim");
    ASSERT_TRUE(legacy.has_value());
    ASSERT_TRUE(store.addGenericPassword("Ledra 4: DB-PW", "DB2", std::nullopt, *legacy));
    EXPECT_EQ(store.legacyPasswordForDatabaseID("DB2"), "geheim");
    EXPECT_FALSE(store.passwordForDatabaseID("DB2").has_value());
    ASSERT_TRUE(store.migrateSavedLedra4PasswordForDatabaseID("DB2"));
    EXPECT_EQ(store.passwordForDatabaseID("DB2"), "geheim");
    EXPECT_FALSE(store.migrateSavedLedra4PasswordForDatabaseID("DB3"));
}

TEST_P(LdSecretStoreTest, CurrentItemThatIsNoTextIsReadInTheOlderEncoding) {
    LdSecretStore& store = this->store();
    const std::optional<LdData> cipher =
            VTCrypto::aesEncrypt(bytes("geheim"), bytes("Wq4Rvn7e#pd!?8&T"));
    ASSERT_TRUE(cipher.has_value());
    ASSERT_TRUE(store.addGenericPassword("Ledra", "DB4", bytes("LedraDatabasePassword"), *cipher));
    EXPECT_EQ(store.passwordForDatabaseID("DB4"), "geheim");
}

INSTANTIATE_TEST_SUITE_P(Stores, LdSecretStoreTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& parameter) {
                             return parameter.param ? "SecretService" : "InMemory";
                         });

TEST(LdSecretServiceStoreTest, WithoutASessionBusLookupsFindNothingAtOnceAndWritesFail) {
    const char* savedAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string address = savedAddress != nullptr ? savedAddress : "";
    const std::string runtime = savedRuntime != nullptr ? savedRuntime : "";
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("XDG_RUNTIME_DIR");

    LdSecretServiceStore store;
    EXPECT_FALSE(LdSecretServiceStore::isSessionBusConfigured());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(store.passwordForDatabaseID("DB1").has_value());
    EXPECT_TRUE(store.databaseIDsForSavedDatabasePasswords().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    LdError error;
    EXPECT_FALSE(store.setPasswordForDatabaseID("secret", "DB1", &error));
    EXPECT_TRUE(error.isSet());

    if (savedAddress != nullptr) {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    if (savedRuntime != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
}

TEST(LdCKeychainControllerTest, UsesTheChosenStoreAndBiometricsAreUnsupported) {
    LdInMemorySecretStore chosen;
    LdCKeychainController::setSecretStore(&chosen);
    ASSERT_TRUE(LdCKeychainController::addOrUpdatePasswordOfType("PIN", "BLZ-user", "1234"));
    EXPECT_EQ(LdCKeychainController::getPasswordOfType("PIN", "BLZ-user"), "1234");
    EXPECT_EQ(chosen.getPasswordOfType("PIN", "BLZ-user"), "1234");
    EXPECT_EQ(LdCKeychainController::keychainAccountStringForUserID("user", "10020030"),
              "10020030-user");
    EXPECT_EQ(LdCKeychainController::keychainAccountStringForUserID("", "10020030"), "");
    const auto legacy = LdSecretStore::legacyDataFromPassword("4711");
    ASSERT_TRUE(legacy.has_value());
    ASSERT_TRUE(chosen.addGenericPassword("Ledra: HBCI-PIN", "Giro", std::nullopt, *legacy));
    EXPECT_EQ(LdCKeychainController::getLedra4HBCIPasswordForAccount("Giro"), "4711");
    EXPECT_EQ(LdCKeychainController::accountNamesForSavedLd4OnlineProviderPasswords(),
              std::vector<std::string>{"Giro"});
    LdCKeychainController::setSecretStore(nullptr);
    EXPECT_FALSE(LdCKeychainController::getPasswordOfType("PIN", "BLZ-user").has_value());

    EXPECT_FALSE(LdCLocalAuthenticationManager::supportsFaceOrTouchID());
    EXPECT_FALSE(LdCLocalAuthenticationManager::savePassword("secret", "DB1"));
    EXPECT_FALSE(LdCLocalAuthenticationManager::passwordForDatabase("DB1").has_value());
}
