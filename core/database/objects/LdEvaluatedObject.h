// LdEvaluatedObject: what evaluating a predicate or a sort order in memory needs of an object —
// its identity, its attribute values and its relationship targets.
#pragma once

#include <cstddef>
#include <vector>

#include "core/database/model/LdObjectID.h"
#include "core/support/foundation/LdValue.h"

class LdAttributeDescription;
class LdEntityDescription;
class LdRelationshipDescription;

// Implemented by managed objects (and by plain records in tests). Reading may fill a fault; it
// never fails: an object that cannot be read answers null values and no targets.
class LdEvaluatedObject {
public:
    virtual ~LdEvaluatedObject() = default;

    virtual const LdEntityDescription* evaluatedEntity() const = 0;
    virtual LdObjectID evaluatedObjectID() const = 0;
    // The attribute's value as stored (null when missing).
    virtual LdValue evaluatedAttributeValue(const LdAttributeDescription* attribute) const = 0;
    // The target of a to-one relationship, or nullptr.
    virtual const LdEvaluatedObject* evaluatedTarget(
            const LdRelationshipDescription* relationship) const = 0;
    // The targets of a to-many relationship, in order for an ordered one.
    virtual std::vector<const LdEvaluatedObject*> evaluatedTargets(
            const LdRelationshipDescription* relationship) const = 0;
};
