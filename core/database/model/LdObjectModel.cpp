// Building object models from their tables, the entity numbering order and the version hashes.
#include "core/database/model/LdObjectModel.h"

#include <algorithm>
#include <cassert>

#include "core/database/model/detail/LdModelDefinition.h"
#include "core/security/VTCrypto.h"
#include "core/support/LdLogger.h"

namespace {

// A built-in model lives until the process ends: descriptions are referenced from object IDs and
// caches everywhere, so it must outlive every static that might still hold one.
const LdObjectModel& builtInModel(const ld::detail::LdModelDefinition& definition) {
    std::vector<std::string> problems;
    std::unique_ptr<LdObjectModel> model =
            LdObjectModel::modelWithDefinition(definition, &problems);
    for (const std::string& problem : problems) {
        LdLogger::shared().logError("object model " + std::string(definition.name) + ": " +
                                    problem);
    }
    assert(model != nullptr && "the tables of a built-in object model are inconsistent");
    if (model == nullptr) {
        // Only reachable with broken tables in a release build: an empty model keeps lookups safe.
        ld::detail::LdModelDefinition empty{definition.name, definition.versionIdentifier, {}};
        model = LdObjectModel::modelWithDefinition(empty);
    }
    return *model.release();
}

}  // namespace

const LdObjectModel& LdObjectModel::ledraModel() {
    static const LdObjectModel& model = builtInModel(ld::detail::ledraModelDefinition());
    return model;
}

const LdObjectModel& LdObjectModel::exchangeRateModel() {
    static const LdObjectModel& model = builtInModel(ld::detail::exchangeRateModelDefinition());
    return model;
}

const LdObjectModel& LdObjectModel::onlineProviderInfoModel() {
    static const LdObjectModel& model =
            builtInModel(ld::detail::onlineProviderInfoModelDefinition());
    return model;
}

std::unique_ptr<LdObjectModel> LdObjectModel::modelWithDefinition(
        const ld::detail::LdModelDefinition& definition, std::vector<std::string>* problems) {
    std::vector<std::string> found = ld::detail::problemsInModelDefinition(definition);
    if (problems != nullptr) {
        *problems = found;
    }
    if (!found.empty()) {
        return nullptr;
    }
    auto model = std::make_unique<LdObjectModel>(ConstructionKey(), std::string(definition.name),
                                                 std::string(definition.versionIdentifier));
    model->buildEntities(definition);
    return model;
}

// Fixed order: entities and their own properties, inheritance links, property numbers (parents
// before children), relationship targets, version hashes. The definition is known to be
// consistent, so every name resolves.
void LdObjectModel::buildEntities(const ld::detail::LdModelDefinition& definition) {
    using ld::detail::LdRelationshipKind;
    for (const ld::detail::LdEntityDefinition& row : definition.entities) {
        std::vector<std::vector<std::string>> indexes;
        for (const std::vector<std::string_view>& index : row.indexes) {
            indexes.emplace_back(index.begin(), index.end());
        }
        auto entity = std::make_unique<LdEntityDescription>(std::string(row.name),
                                                            std::string(row.className),
                                                            row.isAbstract, std::move(indexes));
        entity->model_ = this;
        for (const ld::detail::LdAttributeDefinition& attribute : row.attributes) {
            // Booleans start as false, everything else as null.
            LdValue defaultValue =
                    attribute.type == LdAttributeType::Boolean ? LdValue(false) : LdValue();
            entity->ownAttributes_.push_back(std::make_unique<LdAttributeDescription>(
                    std::string(attribute.name), attribute.type,
                    /*isOptional=*/true, attribute.isTransient, std::move(defaultValue)));
            entity->ownAttributes_.back()->entity_ = entity.get();
        }
        for (const ld::detail::LdRelationshipDefinition& relationship : row.relationships) {
            entity->ownRelationships_.push_back(std::make_unique<LdRelationshipDescription>(
                    std::string(relationship.name), std::string(relationship.inverse),
                    /*isToMany=*/relationship.kind != LdRelationshipKind::ToOne,
                    /*isOrdered=*/relationship.kind == LdRelationshipKind::OrderedToMany,
                    relationship.deleteRule));
            entity->ownRelationships_.back()->entity_ = entity.get();
        }
        entitiesByName_.emplace(entity->name(), entity.get());
        entities_.push_back(entity.get());
        ownedEntities_.push_back(std::move(entity));
    }

    for (std::size_t i = 0; i < ownedEntities_.size(); ++i) {
        const std::string_view superName = definition.entities[i].superentity;
        if (!superName.empty()) {
            LdEntityDescription* parent = entitiesByName_.find(superName)->second;
            ownedEntities_[i]->superentity_ = parent;
            parent->subentities_.push_back(ownedEntities_[i].get());
        }
    }

    for (const std::unique_ptr<LdEntityDescription>& entity : ownedEntities_) {
        if (entity->superentity_ == nullptr) {
            numberProperties(*entity);
            for (const LdEntityDescription* descendant : entity->allDescendants()) {
                numberProperties(*entitiesByName_.find(descendant->name())->second);
            }
        }
    }

    for (std::size_t i = 0; i < ownedEntities_.size(); ++i) {
        const ld::detail::LdEntityDefinition& row = definition.entities[i];
        for (std::size_t r = 0; r < row.relationships.size(); ++r) {
            LdRelationshipDescription& relationship = *ownedEntities_[i]->ownRelationships_[r];
            relationship.destination_ =
                    entitiesByName_.find(row.relationships[r].destination)->second;
            relationship.inverse_ =
                    relationship.destination_->relationshipNamed(relationship.inverseName());
        }
    }

    for (const std::unique_ptr<LdEntityDescription>& entity : ownedEntities_) {
        std::string text = canonicalText(*entity);
        entity->versionHash_ = VTCrypto::SHA256(LdData(text.begin(), text.end()));
    }
}

// Copies the superentity's numbering (already done, parents come first) and appends the entity's
// own attributes and then its own relationships.
void LdObjectModel::numberProperties(LdEntityDescription& entity) {
    if (const LdEntityDescription* parent = entity.superentity_; parent != nullptr) {
        entity.properties_ = parent->properties_;
        entity.attributes_ = parent->attributes_;
        entity.relationships_ = parent->relationships_;
        entity.propertiesByName_ = parent->propertiesByName_;
        entity.kindIndexes_ = parent->kindIndexes_;
    }
    auto append = [&entity](LdPropertyDescription& property, std::size_t kindIndex) {
        property.propertyNumber_ = entity.properties_.size();
        entity.properties_.push_back(&property);
        entity.propertiesByName_.emplace(property.name(), &property);
        entity.kindIndexes_.push_back(kindIndex);
    };
    for (const std::unique_ptr<LdAttributeDescription>& attribute : entity.ownAttributes_) {
        append(*attribute, entity.attributes_.size());
        entity.attributes_.push_back(attribute.get());
    }
    for (const std::unique_ptr<LdRelationshipDescription>& relationship :
         entity.ownRelationships_) {
        append(*relationship, entity.relationships_.size());
        entity.relationships_.push_back(relationship.get());
    }
}

// One line per part: "entity <name>", "superentity <name or empty>", then, sorted by name,
// "attribute <name> <type>" and "relationship <name> <destination> <to-one|to-many>
// <ordered|unordered>" for every stored property. This text is a persistent format: stores
// compare the digests of it that they recorded.
std::string LdObjectModel::canonicalText(const LdEntityDescription& entity) {
    std::vector<std::string> lines;
    for (const LdAttributeDescription* attribute : entity.attributes()) {
        if (!attribute->isTransient()) {
            lines.push_back(
                    "attribute " + attribute->name() + " " +
                    std::string(LdAttributeDescription::typeName(attribute->attributeType())));
        }
    }
    for (const LdRelationshipDescription* relationship : entity.relationships()) {
        lines.push_back("relationship " + relationship->name() + " " +
                        relationship->destinationEntity()->name() +
                        (relationship->isToMany() ? " to-many" : " to-one") +
                        (relationship->isOrdered() ? " ordered" : " unordered"));
    }
    // Property names are unique within an entity, so sorting the lines sorts by name.
    std::sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return a.substr(a.find(' ') + 1) < b.substr(b.find(' ') + 1);
    });
    std::string text = "entity " + entity.name() + "\nsuperentity " +
                       (entity.superentity() != nullptr ? entity.superentity()->name() : "") + "\n";
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

const LdEntityDescription* LdObjectModel::entityNamed(std::string_view name) const {
    auto found = entitiesByName_.find(name);
    return found == entitiesByName_.end() ? nullptr : found->second;
}

std::vector<const LdEntityDescription*> LdObjectModel::entitiesInNumberingOrder() const {
    std::vector<const LdEntityDescription*> order;
    for (const LdEntityDescription* entity : entities_) {
        if (entity->superentity() == nullptr && !entity->hasSubentities()) {
            order.push_back(entity);
        }
    }
    for (const LdEntityDescription* entity : entities_) {
        if (entity->superentity() == nullptr && entity->hasSubentities()) {
            order.push_back(entity);
            std::vector<const LdEntityDescription*> descendants = entity->allDescendants();
            order.insert(order.end(), descendants.begin(), descendants.end());
        }
    }
    return order;
}

const LdData& LdObjectModel::versionHashForEntity(const LdEntityDescription* entity) const {
    static const LdData kNoHash;
    if (entity == nullptr || entity->model() != this) {
        return kNoHash;
    }
    return entity->versionHash();
}

LdValue::Dictionary LdObjectModel::versionHashes() const {
    LdValue::Dictionary hashes;
    for (const LdEntityDescription* entity : entities_) {
        hashes.emplace(entity->name(), entity->versionHash());
    }
    return hashes;
}
