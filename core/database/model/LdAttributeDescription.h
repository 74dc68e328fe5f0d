// LdAttributeDescription: one attribute of an entity (name, value type, flags, default value).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "core/database/model/LdAttributeType.h"
#include "core/database/model/LdPropertyDescription.h"
#include "core/support/foundation/LdValue.h"

// An attribute as declared in an object model. Built once with its model and immutable afterwards;
// safe to read from any thread.
class LdAttributeDescription : public LdPropertyDescription {
public:
    LdAttributeDescription(std::string name,
                           LdAttributeType type,
                           bool isOptional,
                           bool isTransient,
                           LdValue defaultValue)
        : LdPropertyDescription(std::move(name), /*isRelationship=*/false),
          type_(type),
          isOptional_(isOptional),
          isTransient_(isTransient),
          defaultValue_(std::move(defaultValue)) {}

    LdAttributeType attributeType() const { return type_; }
    // Whether the attribute may be null (every attribute of our models may).
    bool isOptional() const { return isOptional_; }
    // A transient attribute lives only in memory: the store neither writes nor reads it.
    bool isTransient() const { return isTransient_; }
    // The value of the attribute in a new object; the null value when it starts empty.
    const LdValue& defaultValue() const { return defaultValue_; }

    // The fixed name of a value type ("Integer32", "Decimal", ...), as used in version hashes.
    static std::string_view typeName(LdAttributeType type);

private:
    LdAttributeType type_;
    bool isOptional_;
    bool isTransient_;
    LdValue defaultValue_;
};
