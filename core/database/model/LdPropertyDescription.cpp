// The downcasts of LdPropertyDescription.
#include "core/database/model/LdPropertyDescription.h"

#include "core/database/model/LdAttributeDescription.h"
#include "core/database/model/LdRelationshipDescription.h"

const LdAttributeDescription* LdPropertyDescription::asAttribute() const {
    return isRelationship_ ? nullptr : static_cast<const LdAttributeDescription*>(this);
}

const LdRelationshipDescription* LdPropertyDescription::asRelationship() const {
    return isRelationship_ ? static_cast<const LdRelationshipDescription*>(this) : nullptr;
}
