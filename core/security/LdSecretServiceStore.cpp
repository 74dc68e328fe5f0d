#include "core/security/LdSecretServiceStore.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <utility>

#include <libsecret/secret.h>

#include "core/support/LdLogger.h"

namespace {

// The one schema of our items. Lookups ignore the schema name, so items other programs wrote
// with the same attributes are found too.
const SecretSchema kSchema = {"org.ledra.GenericPassword",
                              SECRET_SCHEMA_DONT_MATCH_NAME,
                              {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"generic", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}}};

struct GObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct HashTableRelease {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ItemListRelease {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
struct SecretValueRelease {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ServicePtr = std::unique_ptr<SecretService, GObjectRelease>;
using CollectionPtr = std::unique_ptr<SecretCollection, GObjectRelease>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableRelease>;
using ItemListPtr = std::unique_ptr<GList, ItemListRelease>;
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueRelease>;

// Takes a GError's message and frees it.
std::string takeMessage(GError* error) {
    if (error == nullptr) {
        return "unknown failure";
    }
    std::string message = error->message != nullptr ? error->message : "unknown failure";
    g_error_free(error);
    return message;
}

bool isText(const LdData& bytes) {
    return g_utf8_validate(reinterpret_cast<const gchar*>(bytes.data()),
                           static_cast<gssize>(bytes.size()), nullptr) != 0 &&
           std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) == bytes.end();
}

// The attributes of a query; nullptr when the generic attribute is no text (no item can carry it).
AttributesPtr attributesFor(std::string_view service,
                            std::optional<std::string_view> account,
                            const std::optional<LdData>& generic) {
    AttributesPtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(attributes.get(), g_strdup("service"),
                        g_strndup(service.data(), service.size()));
    if (account) {
        g_hash_table_insert(attributes.get(), g_strdup("account"),
                            g_strndup(account->data(), account->size()));
    }
    if (generic) {
        if (!isText(*generic)) {
            return nullptr;
        }
        g_hash_table_insert(
                attributes.get(), g_strdup("generic"),
                g_strndup(reinterpret_cast<const gchar*>(generic->data()), generic->size()));
    }
    return attributes;
}

}  // namespace

bool LdSecretServiceStore::isSessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code code;
    return runtime != nullptr && *runtime != '\0' &&
           std::filesystem::exists(std::filesystem::path(runtime) / "bus", code);
}

LdError LdSecretServiceStore::unavailable(const std::string& reason) const {
    if (!failureLogged_.exchange(true)) {
        LdLogger::shared().log("Saved passwords are not available: " + reason, 1);
    }
    return LdError::errorWithTitle("_SECRET_STORE_UNAVAILABLE", reason);
}

namespace {

// Connects to the Secret Service; nullptr with the reason in `reason`.
ServicePtr connect(std::string& reason) {
    if (!LdSecretServiceStore::isSessionBusConfigured()) {
        reason = "there is no session bus";
        return nullptr;
    }
    GError* error = nullptr;
    ServicePtr service(secret_service_get_sync(
            static_cast<SecretServiceFlags>(SECRET_SERVICE_OPEN_SESSION |
                                            SECRET_SERVICE_LOAD_COLLECTIONS),
            nullptr, &error));
    if (!service) {
        reason = takeMessage(error);
    }
    return service;
}

// The items matching the attributes, their secrets loaded where they are unlocked. Never unlocks
// anything: unlocking would show a prompt and wait for the user.
std::optional<ItemListPtr> search(SecretService* service,
                                  GHashTable* attributes,
                                  std::string& reason) {
    GError* error = nullptr;
    GList* items = secret_service_search_sync(
            service, &kSchema, attributes,
            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
            &error);
    if (error != nullptr) {
        reason = takeMessage(error);
        if (items != nullptr) {
            g_list_free_full(items, g_object_unref);
        }
        return std::nullopt;
    }
    return ItemListPtr(items);
}

std::string attribute(SecretItem* item, const char* name) {
    AttributesPtr attributes(secret_item_get_attributes(item));
    const auto* value = static_cast<const gchar*>(g_hash_table_lookup(attributes.get(), name));
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

bool LdSecretServiceStore::addGenericPassword(std::string_view service,
                                              std::string_view account,
                                              const std::optional<LdData>& generic,
                                              const LdData& secret,
                                              LdError* error) {
    if (service.empty() || account.empty()) {
        return false;  // missing argument
    }
    AttributesPtr attributes = attributesFor(service, account, generic);
    if (!attributes) {
        return failWith(error, LdError::errorWithTitle("_ERROR", "_SECRET_STORE_GENERIC_NOT_TEXT"));
    }
    std::lock_guard lock(mutex_);
    std::string reason;
    ServicePtr connection = connect(reason);
    if (!connection) {
        return failWith(error, unavailable(reason));
    }
    // Storing into a locked keyring would ask the user to unlock it and wait: refuse instead.
    GError* gerror = nullptr;
    CollectionPtr collection(secret_collection_for_alias_sync(
            connection.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &gerror));
    if (!collection) {
        return failWith(error, unavailable(gerror != nullptr ? takeMessage(gerror)
                                                             : "there is no default keyring"));
    }
    if (secret_collection_get_locked(collection.get()) != 0) {
        return failWith(error, unavailable("the keyring is locked"));
    }
    AttributesPtr existing = attributesFor(service, account, std::nullopt);
    auto found = search(connection.get(), existing.get(), reason);
    if (!found) {
        return failWith(error, unavailable(reason));
    }
    if (*found) {
        return failWith(error, LdError::errorWithTitle("_ERROR", "_SECRET_STORE_ITEM_EXISTS"));
    }
    const std::string label = "Ledra: " + std::string(service) + " " + std::string(account);
    SecretValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                                          static_cast<gssize>(secret.size()),
                                          "application/octet-stream"));
    if (secret_service_store_sync(connection.get(), &kSchema, attributes.get(),
                                  SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr,
                                  &gerror) == 0) {
        return failWith(error, LdError::errorWithTitle("_ERROR", takeMessage(gerror)));
    }
    return true;
}

std::optional<LdData> LdSecretServiceStore::findGenericPassword(
        std::string_view service,
        std::string_view account,
        const std::optional<LdData>& generic,
        LdError* error) const {
    AttributesPtr attributes = attributesFor(service, account, generic);
    if (service.empty() || account.empty() || !attributes) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    std::string reason;
    ServicePtr connection = connect(reason);
    if (!connection) {
        failWith(error, unavailable(reason));
        return std::nullopt;
    }
    auto items = search(connection.get(), attributes.get(), reason);
    if (!items) {
        failWith(error, unavailable(reason));
        return std::nullopt;
    }
    for (GList* node = items->get(); node != nullptr; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        SecretValuePtr value(secret_item_get_secret(item));
        if (!value) {
            unavailable("the keyring is locked");
            continue;
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
        return LdData(begin, begin + length);
    }
    return std::nullopt;
}

bool LdSecretServiceStore::deleteGenericPassword(std::string_view service,
                                                 std::string_view account,
                                                 const std::optional<LdData>& generic,
                                                 LdError* error) {
    AttributesPtr attributes = attributesFor(service, account, generic);
    if (service.empty() || account.empty() || !attributes) {
        return false;
    }
    std::lock_guard lock(mutex_);
    std::string reason;
    ServicePtr connection = connect(reason);
    if (!connection) {
        return failWith(error, unavailable(reason));
    }
    auto items = search(connection.get(), attributes.get(), reason);
    if (!items) {
        return failWith(error, unavailable(reason));
    }
    bool deleted = false;
    for (GList* node = items->get(); node != nullptr; node = node->next) {
        GError* gerror = nullptr;
        if (secret_item_delete_sync(static_cast<SecretItem*>(node->data), nullptr, &gerror) == 0) {
            return failWith(error, LdError::errorWithTitle("_ERROR", takeMessage(gerror)));
        }
        deleted = true;
    }
    return deleted;
}

std::vector<std::string> LdSecretServiceStore::accountNamesForService(
        std::string_view service, const std::optional<LdData>& generic) const {
    AttributesPtr attributes = attributesFor(service, std::nullopt, generic);
    if (service.empty() || !attributes) {
        return {};
    }
    std::lock_guard lock(mutex_);
    std::string reason;
    ServicePtr connection = connect(reason);
    if (!connection) {
        unavailable(reason);
        return {};
    }
    auto items = search(connection.get(), attributes.get(), reason);
    if (!items) {
        unavailable(reason);
        return {};
    }
    // The service keeps no order of its own: the items' creation times stand in for it.
    std::vector<std::pair<guint64, std::string>> accounts;
    for (GList* node = items->get(); node != nullptr; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        accounts.emplace_back(secret_item_get_created(item), attribute(item, "account"));
    }
    std::stable_sort(accounts.begin(), accounts.end(),
                     [](const auto& left, const auto& right) { return left.first < right.first; });
    std::vector<std::string> names;
    names.reserve(accounts.size());
    for (auto& entry : accounts) {
        names.push_back(std::move(entry.second));
    }
    return names;
}
