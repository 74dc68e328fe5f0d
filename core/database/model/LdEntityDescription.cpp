// Inheritance walks and property lookups of LdEntityDescription.
#include "core/database/model/LdEntityDescription.h"

const LdEntityDescription* LdEntityDescription::rootEntity() const {
    const LdEntityDescription* entity = this;
    while (entity->superentity_ != nullptr) {
        entity = entity->superentity_;
    }
    return entity;
}

bool LdEntityDescription::isKindOfEntity(const LdEntityDescription* entity) const {
    if (entity == nullptr) {
        return false;
    }
    for (const LdEntityDescription* ancestor = this; ancestor != nullptr;
         ancestor = ancestor->superentity_) {
        if (ancestor == entity) {
            return true;
        }
    }
    return false;
}

std::vector<const LdEntityDescription*> LdEntityDescription::allDescendants() const {
    std::vector<const LdEntityDescription*> descendants;
    // An explicit stack of pending subtrees, pushed in reverse so that model order comes out.
    std::vector<const LdEntityDescription*> pending(subentities_.rbegin(), subentities_.rend());
    while (!pending.empty()) {
        const LdEntityDescription* entity = pending.back();
        pending.pop_back();
        descendants.push_back(entity);
        pending.insert(pending.end(), entity->subentities_.rbegin(), entity->subentities_.rend());
    }
    return descendants;
}

const LdPropertyDescription* LdEntityDescription::propertyNamed(std::string_view name) const {
    auto found = propertiesByName_.find(name);
    return found == propertiesByName_.end() ? nullptr : found->second;
}

const LdAttributeDescription* LdEntityDescription::attributeNamed(std::string_view name) const {
    const LdPropertyDescription* property = propertyNamed(name);
    return property == nullptr ? nullptr : property->asAttribute();
}

const LdRelationshipDescription* LdEntityDescription::relationshipNamed(
        std::string_view name) const {
    const LdPropertyDescription* property = propertyNamed(name);
    return property == nullptr ? nullptr : property->asRelationship();
}
