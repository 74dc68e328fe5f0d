// LdEntityDescription: one entity of an object model, with its place in the inheritance tree, its
// properties and their numbering, and its declared indexes.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/database/model/LdAttributeDescription.h"
#include "core/database/model/LdRelationshipDescription.h"
#include "core/support/foundation/LdValue.h"

class LdObjectModel;

// An entity as declared in an object model. Owned by its model, built once and immutable
// afterwards; safe to read from any thread.
//
// Property numbering: every property of the entity, inherited ones included, has a number from 0
// to propertyCount() - 1. The superentity's properties come first with the numbers they have there,
// then the entity's own attributes and then its own relationships, each in declaration order. An
// object can therefore keep its values in an array indexed by property number, and code written
// for a superentity reads the same slots of a subentity's object.
class LdEntityDescription {
public:
    LdEntityDescription(std::string name,
                        std::string className,
                        bool isAbstract,
                        std::vector<std::vector<std::string>> indexes)
        : name_(std::move(name)),
          className_(std::move(className)),
          isAbstract_(isAbstract),
          indexes_(std::move(indexes)) {}
    LdEntityDescription(const LdEntityDescription&) = delete;
    LdEntityDescription& operator=(const LdEntityDescription&) = delete;

    // The name in the store and in fetches ("Entry").
    const std::string& name() const { return name_; }
    // The class that represents the entity's objects ("LdCDEntry").
    const std::string& className() const { return className_; }
    const LdObjectModel* model() const { return model_; }

    const LdEntityDescription* superentity() const { return superentity_; }
    // The direct subentities, in model order.
    const std::vector<const LdEntityDescription*>& subentities() const { return subentities_; }
    bool hasSubentities() const { return !subentities_.empty(); }
    // Abstract entities have no objects of their own, only objects of their subentities.
    bool isAbstract() const { return isAbstract_; }
    // The topmost superentity, or this entity when it has none.
    const LdEntityDescription* rootEntity() const;
    // isKindOfEntity: — whether this is `entity` or one of its descendants; false for nullptr.
    bool isKindOfEntity(const LdEntityDescription* entity) const;
    // All descendants, depth first in pre-order, each level in model order; this entity excluded.
    std::vector<const LdEntityDescription*> allDescendants() const;

    // Every property by property number (see above).
    const std::vector<const LdPropertyDescription*>& properties() const { return properties_; }
    std::size_t propertyCount() const { return properties_.size(); }
    // The attributes and relationships, inherited ones included, each in property-number order.
    const std::vector<const LdAttributeDescription*>& attributes() const { return attributes_; }
    const std::vector<const LdRelationshipDescription*>& relationships() const {
        return relationships_;
    }
    // The position of a property among attributes() or relationships() (whichever holds it), by
    // property number, so that objects can keep the two kinds in separate dense arrays.
    std::size_t kindIndex(std::size_t propertyNumber) const { return kindIndexes_[propertyNumber]; }
    // The property of that name, inherited ones included; nullptr when there is none (or it is of
    // the other kind). Logarithmic in the number of properties.
    const LdPropertyDescription* propertyNamed(std::string_view name) const;
    const LdAttributeDescription* attributeNamed(std::string_view name) const;
    const LdRelationshipDescription* relationshipNamed(std::string_view name) const;

    // The indexes this entity declares, each a list of property names (a compound index lists
    // several). The store also applies them to the subentities' rows, so subentities do not
    // repeat them.
    const std::vector<std::vector<std::string>>& indexes() const { return indexes_; }

    // The SHA-256 digest that identifies the stored shape of this entity (see
    // LdObjectModel::versionHashForEntity).
    const LdData& versionHash() const { return versionHash_; }

private:
    friend class LdObjectModel;  // links and numbers the entities while building the model

    std::string name_;
    std::string className_;
    bool isAbstract_;
    std::vector<std::vector<std::string>> indexes_;
    const LdObjectModel* model_ = nullptr;
    const LdEntityDescription* superentity_ = nullptr;
    std::vector<const LdEntityDescription*> subentities_;
    std::vector<std::unique_ptr<LdAttributeDescription>> ownAttributes_;
    std::vector<std::unique_ptr<LdRelationshipDescription>> ownRelationships_;
    std::vector<const LdPropertyDescription*> properties_;
    std::vector<const LdAttributeDescription*> attributes_;
    std::vector<const LdRelationshipDescription*> relationships_;
    std::vector<std::size_t> kindIndexes_;
    std::map<std::string, const LdPropertyDescription*, std::less<>> propertiesByName_;
    LdData versionHash_;
};
