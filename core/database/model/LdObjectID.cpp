// The process-wide table of interned store identifiers behind LdObjectID.
#include "core/database/model/LdObjectID.h"

#include <deque>
#include <mutex>
#include <unordered_map>

namespace {
struct StoreIdentifiers {
    std::mutex mutex;
    // A deque never moves its elements, so references handed out stay valid.
    std::deque<std::string> texts{std::string()};
    std::unordered_map<std::string, std::uint32_t> numbers{{std::string(), 0}};
};

StoreIdentifiers& storeIdentifiers() {
    static auto* identifiers = new StoreIdentifiers();  // NOLINT: lives for the whole process
    return *identifiers;
}
}  // namespace

std::uint32_t LdObjectID::storeNumberForIdentifier(const std::string& storeIdentifier) {
    StoreIdentifiers& identifiers = storeIdentifiers();
    std::lock_guard lock(identifiers.mutex);
    auto [it, inserted] = identifiers.numbers.try_emplace(
            storeIdentifier, static_cast<std::uint32_t>(identifiers.texts.size()));
    if (inserted) {
        identifiers.texts.push_back(storeIdentifier);
    }
    return it->second;
}

const std::string& LdObjectID::storeIdentifierForNumber(std::uint32_t number) {
    StoreIdentifiers& identifiers = storeIdentifiers();
    std::lock_guard lock(identifiers.mutex);
    return number < identifiers.texts.size() ? identifiers.texts[number] : identifiers.texts[0];
}
