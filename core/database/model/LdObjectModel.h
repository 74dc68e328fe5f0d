// LdObjectModel: an object model (the entities of one kind of store) and the three models of the
// library: the database model, the exchange rates and the bank directory.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/database/model/LdEntityDescription.h"
#include "core/support/foundation/LdValue.h"

namespace ld::detail {
struct LdModelDefinition;
}

// A set of entities in a fixed model order. The three models of the library are built once per
// process on first use and live until the process ends; they are immutable, so any thread may
// read them. Entity, attribute and relationship descriptions are owned by their model, and
// pointers to them stay valid as long as the model exists.
class LdObjectModel {
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

public:
    // The model of a user's database: "Ledra_5", version "4992".
    static const LdObjectModel& ledraModel();
    // The local store of exchange rates: "ExchangeRateModel".
    static const LdObjectModel& exchangeRateModel();
    // The read-only bank directory: "OnlineProviderInfo".
    static const LdObjectModel& onlineProviderInfoModel();

    // Builds a model from its tables. Returns nullptr when the definition is inconsistent, with
    // each problem described in `problems` (see ld::detail::problemsInModelDefinition).
    static std::unique_ptr<LdObjectModel> modelWithDefinition(
            const ld::detail::LdModelDefinition& definition,
            std::vector<std::string>* problems = nullptr);

    LdObjectModel(ConstructionKey, std::string name, std::string versionIdentifier)
        : name_(std::move(name)), versionIdentifier_(std::move(versionIdentifier)) {}
    LdObjectModel(const LdObjectModel&) = delete;
    LdObjectModel& operator=(const LdObjectModel&) = delete;

    const std::string& name() const { return name_; }
    // The version number of the model as text ("4992"); empty for unversioned models.
    const std::string& versionIdentifier() const { return versionIdentifier_; }

    // All entities in model order.
    const std::vector<const LdEntityDescription*>& entities() const { return entities_; }
    // The entity of that name, or nullptr. Logarithmic in the number of entities.
    const LdEntityDescription* entityNamed(std::string_view name) const;
    // The order in which a new store file numbers the entities (from 1): first every root entity
    // without subentities in model order, then each root entity with subentities immediately
    // followed by its descendants depth first in pre-order.
    std::vector<const LdEntityDescription*> entitiesInNumberingOrder() const;

    // versionHashForEntity: — the SHA-256 digest of a canonical text of the entity's stored
    // shape: its name, its superentity's name and, sorted by name, every stored property with the
    // inherited ones (attributes with their value type; relationships with destination, to-one or
    // to-many, ordered or not). Transient attributes, defaults, delete rules and indexes do not
    // enter it. Empty for nullptr or an entity of another model.
    const LdData& versionHashForEntity(const LdEntityDescription* entity) const;
    // entityVersionHashesByName — entity name -> version hash (data), for every entity.
    LdValue::Dictionary versionHashes() const;

private:
    void buildEntities(const ld::detail::LdModelDefinition& definition);
    static void numberProperties(LdEntityDescription& entity);
    static std::string canonicalText(const LdEntityDescription& entity);

    std::string name_;
    std::string versionIdentifier_;
    std::vector<std::unique_ptr<LdEntityDescription>> ownedEntities_;
    std::vector<const LdEntityDescription*> entities_;
    std::map<std::string, LdEntityDescription*, std::less<>> entitiesByName_;
};
