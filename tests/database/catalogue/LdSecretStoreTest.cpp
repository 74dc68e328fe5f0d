// Saved passwords: the generic-password items of the in-memory store and the database-password
// helpers on top of them.
#include "core/security/LdSecretStore.h"

#include <gtest/gtest.h>

#include "core/security/VTCrypto.h"

namespace {
LdData bytes(std::string_view text) {
    return LdSecretStore::bytes(text);
}
}  // namespace

TEST(LdSecretStoreTest, ItemsAreUniquePerServiceAndAccountAndMatchTheirGenericAttribute) {
    LdInMemorySecretStore store;
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
    EXPECT_EQ(store.itemCount(), 1U);
}

TEST(LdSecretStoreTest, DatabasePasswordIsReplacedReadAndDeleted) {
    LdInMemorySecretStore store;
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

TEST(LdSecretStoreTest, OlderVersionsPasswordsAreDecodedAndMigrated) {
    LdInMemorySecretStore store;
    const std::optional<LdData> legacy = LdSecretStore::legacyDataFromPassword("geheim");
    ASSERT_TRUE(legacy.has_value());
    ASSERT_TRUE(store.addGenericPassword("Ledra 4: DB-PW", "DB2", std::nullopt, *legacy));
    EXPECT_EQ(store.legacyPasswordForDatabaseID("DB2"), "geheim");
    EXPECT_FALSE(store.passwordForDatabaseID("DB2").has_value());
    ASSERT_TRUE(store.migrateSavedLedra4PasswordForDatabaseID("DB2"));
    EXPECT_EQ(store.passwordForDatabaseID("DB2"), "geheim");
    EXPECT_FALSE(store.migrateSavedLedra4PasswordForDatabaseID("DB3"));
}

TEST(LdSecretStoreTest, CurrentItemThatIsNoTextIsReadInTheOlderEncoding) {
    LdInMemorySecretStore store;
    const std::optional<LdData> cipher =
            VTCrypto::aesEncrypt(bytes("geheim"), bytes("Wq4Rvn7e#pd!?8&T"));
    ASSERT_TRUE(cipher.has_value());
    ASSERT_TRUE(store.addGenericPassword("Ledra", "DB4", bytes("LedraDatabasePassword"), *cipher));
    EXPECT_EQ(store.passwordForDatabaseID("DB4"), "geheim");
}
