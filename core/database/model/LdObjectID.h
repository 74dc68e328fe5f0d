// LdObjectID: the identity of one stored object — store, entity and primary key. A small value:
// hashable, comparable and safe to copy to any thread.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class LdEntityDescription;

class LdObjectID {
public:
    LdObjectID() = default;
    // `entity` belongs to a model that lives as long as the process; `storeIdentifier` is interned
    // once.
    LdObjectID(const std::string& storeIdentifier,
               const LdEntityDescription* entity,
               std::uint64_t primaryKey)
        : store_(storeNumberForIdentifier(storeIdentifier)),
          entity_(entity),
          primaryKey_(primaryKey) {}

    bool isValid() const { return entity_ != nullptr && primaryKey_ != 0; }
    const LdEntityDescription* entity() const { return entity_; }
    std::uint64_t primaryKey() const { return primaryKey_; }
    const std::string& storeIdentifier() const { return storeIdentifierForNumber(store_); }
    // The interned number of the store identifier (see storeNumberForIdentifier).
    std::uint32_t storeNumber() const { return store_; }

    bool operator==(const LdObjectID& other) const = default;
    std::strong_ordering operator<=>(const LdObjectID& other) const {
        if (auto order = store_ <=> other.store_; std::is_neq(order)) {
            return order;
        }
        if (auto order = std::compare_three_way()(entity_, other.entity_); std::is_neq(order)) {
            return order;
        }
        return primaryKey_ <=> other.primaryKey_;
    }

    std::size_t hash() const {
        std::size_t value = std::hash<std::uint64_t>()(primaryKey_);
        value ^= std::hash<const void*>()(entity_) + 0x9e3779b97f4a7c15ULL + (value << 6) +
                 (value >> 2);
        value ^= std::hash<std::uint32_t>()(store_) + 0x9e3779b97f4a7c15ULL + (value << 6) +
                 (value >> 2);
        return value;
    }

    // Store identifiers are interned: each distinct text gets one small number for the process's
    // lifetime.
    static std::uint32_t storeNumberForIdentifier(const std::string& storeIdentifier);
    static const std::string& storeIdentifierForNumber(std::uint32_t number);

private:
    std::uint32_t store_ = 0;
    const LdEntityDescription* entity_ = nullptr;
    std::uint64_t primaryKey_ = 0;
};

template <>
struct std::hash<LdObjectID> {
    std::size_t operator()(const LdObjectID& id) const noexcept { return id.hash(); }
};
