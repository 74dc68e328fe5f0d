#include "core/security/LdCKeychainController.h"

#include <atomic>

namespace {

std::atomic<LdSecretStore*> chosenStore{nullptr};

LdSecretStore& memoryStore() {
    static LdInMemorySecretStore store;
    return store;
}

std::optional<std::string> utf8Text(const std::optional<LdData>& data) {
    if (!data || data->empty()) {
        return std::nullopt;
    }
    return std::string(data->begin(), data->end());
}

}  // namespace

LdSecretStore& LdCKeychainController::secretStore() {
    LdSecretStore* store = chosenStore.load();
    return store != nullptr ? *store : memoryStore();
}

void LdCKeychainController::setSecretStore(LdSecretStore* store) {
    chosenStore.store(store);
}

std::string LdCKeychainController::keychainAccountStringForUserID(std::string_view userID,
                                                                  std::string_view bankID) {
    if (userID.empty() || bankID.empty()) {
        return {};
    }
    return std::string(bankID) + "-" + std::string(userID);
}

std::optional<std::string> LdCKeychainController::getLedra4HBCIPasswordForAccount(
        std::string_view account) {
    auto data = secretStore().findGenericPassword(kLegacyBankPINService, account, std::nullopt);
    if (!data || data->empty()) {
        return std::nullopt;
    }
    return LdSecretStore::legacyPasswordFromData(*data);
}

std::optional<std::string> LdCKeychainController::getPasswordForService(std::string_view service,
                                                                        std::string_view account) {
    return utf8Text(secretStore().findGenericPassword(service, account, std::nullopt));
}
