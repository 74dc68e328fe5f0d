// The database-password helpers of LdSecretStore and the in-memory store.
#include "core/security/LdSecretStore.h"

#include <algorithm>

#include "core/security/VTCrypto.h"
#include "core/support/LdLogger.h"
#include "core/support/foundation/LdBase64.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/plist/detail/LdPropertyListSupport.h"

namespace {

// The fixed key of the older versions' password encoding.
constexpr std::string_view kLegacyPasswordKey = "Wq4Rvn7e#pd!?8&T";

bool isUTF8Text(const LdData& data) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    std::size_t position = 0;
    while (position < text.size()) {
        if (!ld::detail::decodeUTF8(text, position).has_value()) {
            return false;
        }
    }
    return true;
}

std::string textOf(const LdData& data) {
    return std::string(data.begin(), data.end());
}

}  // namespace

std::optional<std::string> LdSecretStore::getPasswordOfType(std::string_view type,
                                                            std::string_view account) const {
    if (type.empty() || account.empty()) {
        return std::nullopt;
    }
    const std::optional<LdData> data = findGenericPassword(kServiceName, account, bytes(type));
    if (!data.has_value() || data->empty()) {
        return std::nullopt;
    }
    return textOf(*data);
}

bool LdSecretStore::addOrUpdatePasswordOfType(std::string_view type,
                                              std::string_view account,
                                              std::string_view password,
                                              LdError* error) {
    if (type.empty() || account.empty() || password.empty()) {
        return false;  // missing argument
    }
    return addGenericPassword(kServiceName, account, bytes(type), bytes(password), error);
}

bool LdSecretStore::deletePasswordOfType(std::string_view type, std::string_view account) {
    if (type.empty() || account.empty()) {
        return false;
    }
    LdError error;
    if (!deleteGenericPassword(kServiceName, account, bytes(type), &error)) {
        if (error.isSet()) {
            LdLogger::shared().logError("Error:\n" + error.localizedDescription() +
                                        "\nwhen trying to delete " + std::string(type) + " / " +
                                        std::string(account));
        }
        return false;
    }
    LdNotificationCenter::defaultCenter().postNotificationName(
            LdCKeychainControllerDidDeleteItemNotification);
    return true;
}

std::vector<std::string> LdSecretStore::accountNamesForPasswordType(std::string_view type) const {
    return accountNamesForService(kServiceName, bytes(type));
}

std::optional<std::string> LdSecretStore::passwordForDatabaseID(std::string_view databaseID) const {
    if (databaseID.empty()) {
        return std::nullopt;
    }
    const std::optional<LdData> data =
            findGenericPassword(kServiceName, databaseID, bytes(kDatabasePasswordType));
    if (!data.has_value() || data->empty()) {
        return std::nullopt;
    }
    if (isUTF8Text(*data)) {
        return textOf(*data);
    }
    return legacyPasswordFromData(*data);
}

bool LdSecretStore::setPasswordForDatabaseID(std::string_view password,
                                             std::string_view databaseID,
                                             LdError* error) {
    if (password.empty() || databaseID.empty()) {
        return false;  // missing argument
    }
    // Any item of the account blocks the add, whatever its type.
    deleteGenericPassword(kServiceName, databaseID, std::nullopt);
    return addOrUpdatePasswordOfType(kDatabasePasswordType, databaseID, password, error);
}

bool LdSecretStore::deletePasswordForDatabaseID(std::string_view databaseID) {
    return deletePasswordOfType(kDatabasePasswordType, databaseID);
}

std::vector<std::string> LdSecretStore::databaseIDsForSavedDatabasePasswords() const {
    return accountNamesForPasswordType(kDatabasePasswordType);
}

std::optional<std::string> LdSecretStore::legacyPasswordForDatabaseID(
        std::string_view databaseID) const {
    if (databaseID.empty()) {
        return std::nullopt;
    }
    for (const std::string_view service : kLegacyDatabasePasswordServices) {
        const std::optional<LdData> data = findGenericPassword(service, databaseID, std::nullopt);
        if (!data.has_value()) {
            continue;
        }
        std::optional<std::string> password = legacyPasswordFromData(*data);
        if (password.has_value() && !password->empty()) {
            return password;
        }
    }
    return std::nullopt;
}

bool LdSecretStore::migrateSavedLedra4PasswordForDatabaseID(std::string_view databaseID) {
    const std::optional<std::string> password = legacyPasswordForDatabaseID(databaseID);
    if (!password.has_value()) {
        return false;
    }
    return addOrUpdatePasswordOfType(kDatabasePasswordType, databaseID, *password);
}

std::optional<std::string> LdSecretStore::legacyPasswordFromData(const LdData& data) {
    // Items of the older services hold Base64 text; a current item whose data is no text holds
    // the encrypted bytes themselves.
    std::optional<LdData> encrypted = data;
    if (isUTF8Text(data)) {
        encrypted = LdBase64::decode(textOf(data));
    }
    if (!encrypted.has_value() || encrypted->empty()) {
        return std::nullopt;
    }
    const std::optional<LdData> plain = VTCrypto::aesDecrypt(*encrypted, bytes(kLegacyPasswordKey));
    if (!plain.has_value() || !isUTF8Text(*plain)) {
        return std::nullopt;
    }
    return textOf(*plain);
}

std::optional<LdData> LdSecretStore::legacyDataFromPassword(std::string_view password) {
    const std::optional<LdData> encrypted =
            VTCrypto::aesEncrypt(bytes(password), bytes(kLegacyPasswordKey));
    if (!encrypted.has_value()) {
        return std::nullopt;
    }
    return bytes(LdBase64::encode(*encrypted));
}

bool LdInMemorySecretStore::addGenericPassword(std::string_view service,
                                               std::string_view account,
                                               const std::optional<LdData>& generic,
                                               const LdData& secret,
                                               LdError* error) {
    if (service.empty() || account.empty()) {
        return false;  // missing argument
    }
    std::lock_guard lock(mutex_);
    if (indexOf(service, account, std::nullopt) >= 0) {
        return failWith(error, LdError::errorWithTitle("_ERROR", "_SECRET_STORE_ITEM_EXISTS"));
    }
    items_.push_back(Item{std::string(service), std::string(account), generic, secret});
    return true;
}

std::optional<LdData> LdInMemorySecretStore::findGenericPassword(
        std::string_view service,
        std::string_view account,
        const std::optional<LdData>& generic,
        LdError* /*error*/) const {
    std::lock_guard lock(mutex_);
    const std::ptrdiff_t index = indexOf(service, account, generic);
    if (index < 0) {
        return std::nullopt;
    }
    return items_[static_cast<std::size_t>(index)].secret;
}

bool LdInMemorySecretStore::deleteGenericPassword(std::string_view service,
                                                  std::string_view account,
                                                  const std::optional<LdData>& generic,
                                                  LdError* /*error*/) {
    std::lock_guard lock(mutex_);
    const std::ptrdiff_t index = indexOf(service, account, generic);
    if (index < 0) {
        return false;
    }
    items_.erase(items_.begin() + index);
    return true;
}

std::vector<std::string> LdInMemorySecretStore::accountNamesForService(
        std::string_view service, const std::optional<LdData>& generic) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> accounts;
    for (const Item& item : items_) {
        if (item.service == service && (!generic.has_value() || item.generic == generic)) {
            accounts.push_back(item.account);
        }
    }
    return accounts;
}

std::size_t LdInMemorySecretStore::itemCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::ptrdiff_t LdInMemorySecretStore::indexOf(std::string_view service,
                                              std::string_view account,
                                              const std::optional<LdData>& generic) const {
    const auto found = std::find_if(items_.begin(), items_.end(), [&](const Item& item) {
        return item.service == service && item.account == account &&
               (!generic.has_value() || item.generic == generic);
    });
    return found == items_.end() ? -1 : found - items_.begin();
}
