// LdPropertyDescription: what attributes and relationships of an entity have in common.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

class LdAttributeDescription;
class LdEntityDescription;
class LdRelationshipDescription;

// One property (attribute or relationship) of an entity, as declared by one entity and inherited
// unchanged by its subentities. Built once with its object model and immutable afterwards, so it
// may be read from any thread.
class LdPropertyDescription {
public:
    LdPropertyDescription(const LdPropertyDescription&) = delete;
    LdPropertyDescription& operator=(const LdPropertyDescription&) = delete;

    const std::string& name() const { return name_; }
    // The entity that declares the property; subentities inherit it.
    const LdEntityDescription* entity() const { return entity_; }
    // The slot of the property in the object of its entity and of every subentity: properties are
    // numbered from 0, inherited ones first, so an inherited property keeps its parent's number.
    std::size_t propertyNumber() const { return propertyNumber_; }

    bool isAttribute() const { return !isRelationship_; }
    bool isRelationship() const { return isRelationship_; }
    // This property as an attribute or relationship, or nullptr when it is the other kind.
    const LdAttributeDescription* asAttribute() const;
    const LdRelationshipDescription* asRelationship() const;

protected:
    LdPropertyDescription(std::string name, bool isRelationship)
        : name_(std::move(name)), isRelationship_(isRelationship) {}
    ~LdPropertyDescription() = default;

private:
    friend class LdObjectModel;  // places the property in its entity while building the model

    std::string name_;
    bool isRelationship_ = false;
    const LdEntityDescription* entity_ = nullptr;
    std::size_t propertyNumber_ = 0;
};
