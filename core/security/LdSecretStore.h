// LdSecretStore: the interface in front of the passwords saved for the user (database passwords,
// bank PINs), and LdInMemorySecretStore, a store that keeps them in memory (tests, tools).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

// Posted (no object) after a saved password was deleted.
inline constexpr const char* LdCKeychainControllerDidDeleteItemNotification =
        "LdCKeychainControllerDidDeleteItemNotification";

// A store of generic-password items. An item is identified by its service and account (there is
// at most one item per pair) and carries an optional "generic" attribute (the password type) and
// its secret bytes. Queries that name a generic attribute match only items carrying exactly those
// bytes; queries without one match any item of the service and account.
//
// The database-password helpers store the items the catalogue and the session read:
//
//   use                        service           account          generic attribute
//   saved database password    "Ledra"           database ID      "LedraDatabasePassword"
//   older versions' password   "Ledra: DB-PW",   database ID      none (legacy encoding)
//                              "Ledra 4: DB-PW"
//
// Implementations are thread-safe; the helpers add no state of their own.
class LdSecretStore {
public:
    static constexpr std::string_view kServiceName = "Ledra";
    static constexpr std::string_view kDatabasePasswordType = "LedraDatabasePassword";
    // databasePasswordLegacyServiceNames, in the order they are tried.
    static constexpr std::string_view kLegacyDatabasePasswordServices[] = {"Ledra: DB-PW",
                                                                           "Ledra 4: DB-PW"};

    virtual ~LdSecretStore() = default;

    // Adds an item. Fails (false with an error) when an item of this service and account exists;
    // callers that replace an item delete it first. An empty service or account is a missing
    // argument: false, no error.
    virtual bool addGenericPassword(std::string_view service,
                                    std::string_view account,
                                    const std::optional<LdData>& generic,
                                    const LdData& secret,
                                    LdError* error = nullptr) = 0;
    // The secret of the matching item, or nothing (no error when there is none).
    virtual std::optional<LdData> findGenericPassword(std::string_view service,
                                                      std::string_view account,
                                                      const std::optional<LdData>& generic,
                                                      LdError* error = nullptr) const = 0;
    // Deletes the matching item. False (without an error) when there is none.
    virtual bool deleteGenericPassword(std::string_view service,
                                       std::string_view account,
                                       const std::optional<LdData>& generic,
                                       LdError* error = nullptr) = 0;
    // The accounts of the service's items (only those with this generic attribute when one is
    // given), in the order the items were added.
    virtual std::vector<std::string> accountNamesForService(
            std::string_view service,
            const std::optional<LdData>& generic = std::nullopt) const = 0;

    // getPasswordOfType:account: — the UTF-8 password of service "Ledra" with the type as generic
    // attribute. Nothing for empty arguments, no item or empty data.
    std::optional<std::string> getPasswordOfType(std::string_view type,
                                                 std::string_view account) const;
    // addOrUpdatePasswordOfType:account:password: — adds the item; all three must be non-empty.
    // Fails when an item of that account exists (delete it first).
    bool addOrUpdatePasswordOfType(std::string_view type,
                                   std::string_view account,
                                   std::string_view password,
                                   LdError* error = nullptr);
    // deletePasswordOfType:account: — posts LdCKeychainControllerDidDeleteItemNotification on
    // success; a failure is logged.
    bool deletePasswordOfType(std::string_view type, std::string_view account);
    // accountNamesForPasswordType:
    std::vector<std::string> accountNamesForPasswordType(std::string_view type) const;

    // passwordForDatabaseID: — the saved password of a database. Data that is not UTF-8 text is
    // read in the older versions' encoding. Nothing for an empty identifier, no item or empty
    // data.
    std::optional<std::string> passwordForDatabaseID(std::string_view databaseID) const;
    // setPasswordForDatabaseID — replaces the saved password: deletes any, then adds the new one.
    // An empty password or identifier is a missing argument: false, no error.
    bool setPasswordForDatabaseID(std::string_view password,
                                  std::string_view databaseID,
                                  LdError* error = nullptr);
    // deletePasswordForDatabaseID: — true when a saved password was deleted.
    bool deletePasswordForDatabaseID(std::string_view databaseID);
    // databaseIDsForSavedDatabasePasswords
    std::vector<std::string> databaseIDsForSavedDatabasePasswords() const;
    // legacyPasswordForDatabaseID: — the first non-empty password of the older versions' services.
    std::optional<std::string> legacyPasswordForDatabaseID(std::string_view databaseID) const;
    // migrateSavedLedra4PasswordForDatabaseID: — saves the first legacy password found as the
    // current item; false when there is none or saving fails.
    bool migrateSavedLedra4PasswordForDatabaseID(std::string_view databaseID);

    // legacy_createPasswordStringFromKeychainData: — Base64 text of AES-128-CBC (zero IV, PKCS#7)
    // under the older versions' fixed key (data that is no text: the encrypted bytes themselves);
    // nothing when the data does not decode.
    static std::optional<std::string> legacyPasswordFromData(const LdData& data);
    // The older versions' encoding of a password (tests, and migration tools that write it).
    static std::optional<LdData> legacyDataFromPassword(std::string_view password);

    static LdData bytes(std::string_view text) { return LdData(text.begin(), text.end()); }
};

// Keeps the items in memory. Thread-safe.
class LdInMemorySecretStore final : public LdSecretStore {
public:
    bool addGenericPassword(std::string_view service,
                            std::string_view account,
                            const std::optional<LdData>& generic,
                            const LdData& secret,
                            LdError* error = nullptr) override;
    std::optional<LdData> findGenericPassword(std::string_view service,
                                              std::string_view account,
                                              const std::optional<LdData>& generic,
                                              LdError* error = nullptr) const override;
    bool deleteGenericPassword(std::string_view service,
                               std::string_view account,
                               const std::optional<LdData>& generic,
                               LdError* error = nullptr) override;
    std::vector<std::string> accountNamesForService(
            std::string_view service,
            const std::optional<LdData>& generic = std::nullopt) const override;

    // The number of items held (tests).
    std::size_t itemCount() const;

private:
    struct Item {
        std::string service;
        std::string account;
        std::optional<LdData> generic;
        LdData secret;
    };

    // Index of the item of this service and account whose generic attribute matches, or -1.
    std::ptrdiff_t indexOf(std::string_view service,
                           std::string_view account,
                           const std::optional<LdData>& generic) const;

    mutable std::mutex mutex_;
    std::vector<Item> items_;  // in the order they were added
};
