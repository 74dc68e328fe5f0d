// LdCKeychainController: the saved passwords of the process — database passwords, bank PINs and
// the older versions' items — in the secret store the application chose (the desktop's Secret
// Service for `ledra`, memory for tests and tools).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/security/LdSecretStore.h"

class LdCKeychainController {
public:
    // The store the class operations use: the one set, else one in memory for the process.
    static LdSecretStore& secretStore();
    // Sets the process's store (nullptr: back to memory). The store outlives its use here.
    static void setSecretStore(LdSecretStore* store);

    // The service of the previous major version's bank PINs.
    static constexpr std::string_view kLegacyBankPINService = "Ledra: HBCI-PIN";

    // keychainAccountStringForUserID:BankID: — "<bank>-<user>"; empty when either is empty.
    static std::string keychainAccountStringForUserID(std::string_view userID,
                                                      std::string_view bankID);

    static std::optional<std::string> passwordForDatabaseID(std::string_view databaseID) {
        return secretStore().passwordForDatabaseID(databaseID);
    }
    static bool deletePasswordForDatabaseID(std::string_view databaseID) {
        return secretStore().deletePasswordForDatabaseID(databaseID);
    }
    static std::vector<std::string> databaseIDsForSavedDatabasePasswords() {
        return secretStore().databaseIDsForSavedDatabasePasswords();
    }
    static std::optional<std::string> legacyPasswordForDatabaseID(std::string_view databaseID) {
        return secretStore().legacyPasswordForDatabaseID(databaseID);
    }
    static bool migrateSavedLedra4PasswordForDatabaseID(std::string_view databaseID) {
        return secretStore().migrateSavedLedra4PasswordForDatabaseID(databaseID);
    }
    // getLedra4HBCIPasswordForAccount: — the previous major version's bank PIN (legacy encoding).
    static std::optional<std::string> getLedra4HBCIPasswordForAccount(std::string_view account);
    // accountNamesForSavedLd4OnlineProviderPasswords — the accounts of those PINs.
    static std::vector<std::string> accountNamesForSavedLd4OnlineProviderPasswords() {
        return secretStore().accountNamesForService(kLegacyBankPINService);
    }
    static std::optional<std::string> getPasswordOfType(std::string_view type,
                                                        std::string_view account) {
        return secretStore().getPasswordOfType(type, account);
    }
    // getPasswordForService:account: — the UTF-8 text of any item of the service and account.
    static std::optional<std::string> getPasswordForService(std::string_view service,
                                                            std::string_view account);
    static bool addOrUpdatePasswordOfType(std::string_view type,
                                          std::string_view account,
                                          std::string_view password,
                                          LdError* error = nullptr) {
        return secretStore().addOrUpdatePasswordOfType(type, account, password, error);
    }
    static bool deletePasswordOfType(std::string_view type, std::string_view account) {
        return secretStore().deletePasswordOfType(type, account);
    }
    static std::vector<std::string> accountNamesForService(std::string_view service) {
        return secretStore().accountNamesForService(service);
    }
    static std::vector<std::string> accountNamesForPasswordType(std::string_view type) {
        return secretStore().accountNamesForPasswordType(type);
    }
};

// LdCLocalAuthenticationManager: database passwords behind biometric authentication. No device
// here can check a fingerprint or face, so it reports that it is unsupported, stores nothing and
// finds nothing.
class LdCLocalAuthenticationManager {
public:
    static bool supportsTouchID() { return false; }
    static bool supportsFaceID() { return false; }
    static bool supportsFaceOrTouchID() { return supportsTouchID() || supportsFaceID(); }

    static std::optional<std::string> passwordForDatabase(std::string_view /*databaseID*/) {
        return std::nullopt;
    }
    static bool savePassword(std::string_view /*password*/, std::string_view /*databaseID*/) {
        return false;
    }
    static bool deletePasswordForDatabase(std::string_view /*databaseID*/) { return false; }
    static bool keyInSecureEnclaveForDatabase(std::string_view /*databaseID*/) { return false; }

    static bool saveKey(const LdData& /*key*/,
                        std::string_view /*account*/,
                        std::string_view /*service*/) {
        return false;
    }
    static std::optional<LdData> keyForAccount(std::string_view /*account*/,
                                               std::string_view /*service*/,
                                               std::string_view /*operationDescription*/) {
        return std::nullopt;
    }
    static bool deleteKeyForAccount(std::string_view /*account*/, std::string_view /*service*/) {
        return false;
    }
    static bool hasKeyInSecureEnclaveForAccount(std::string_view /*account*/,
                                                std::string_view /*service*/) {
        return false;
    }
};
