// LdRelationshipDescription: one relationship of an entity (destination, inverse, cardinality,
// order, delete rule).
#pragma once

#include <string>
#include <utility>

#include "core/database/model/LdPropertyDescription.h"

// What deleting the owner of a relationship does to the objects it points at.
enum class LdDeleteRule {
    Nullify,   // the targets lose their link back to the deleted object
    Cascade,   // the targets are deleted too
    Deny,      // the owner may not be deleted while it has targets
    NoAction,  // nothing; the targets keep a dangling link
};

// A relationship as declared in an object model. Every relationship has an inverse on its
// destination entity that points back at it (a relationship may be its own inverse). Built once
// with its model and immutable afterwards; safe to read from any thread.
class LdRelationshipDescription : public LdPropertyDescription {
public:
    LdRelationshipDescription(std::string name,
                              std::string inverseName,
                              bool isToMany,
                              bool isOrdered,
                              LdDeleteRule deleteRule)
        : LdPropertyDescription(std::move(name), /*isRelationship=*/true),
          inverseName_(std::move(inverseName)),
          isToMany_(isToMany),
          isOrdered_(isOrdered),
          deleteRule_(deleteRule) {}

    const LdEntityDescription* destinationEntity() const { return destination_; }
    const LdRelationshipDescription* inverseRelationship() const { return inverse_; }
    const std::string& inverseName() const { return inverseName_; }

    bool isToMany() const { return isToMany_; }
    bool isToOne() const { return !isToMany_; }
    // Ordered to-many relationships keep the order in which their targets were placed.
    bool isOrdered() const { return isOrdered_; }
    // Both directions are to-many (the store keeps such a pair in a join table).
    bool isManyToMany() const { return isToMany_ && inverse_ != nullptr && inverse_->isToMany(); }
    LdDeleteRule deleteRule() const { return deleteRule_; }

private:
    friend class LdObjectModel;  // resolves destination and inverse while building the model

    std::string inverseName_;
    bool isToMany_;
    bool isOrdered_;
    LdDeleteRule deleteRule_;
    const LdEntityDescription* destination_ = nullptr;
    const LdRelationshipDescription* inverse_ = nullptr;
};
