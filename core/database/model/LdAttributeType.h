// LdAttributeType: the value type of a stored attribute of an entity.
#pragma once

// The value types of entity attributes. The store maps them to SQL column types; Transformable
// values have no column and are never stored. Each type's name (LdAttributeDescription::typeName)
// enters the entity version hashes, so renaming one changes every hash that uses it.
enum class LdAttributeType {
    Integer16,
    Integer32,
    Integer64,
    Decimal,  // base-10 decimal numbers: all money
    Double,
    Float,
    String,
    Boolean,
    Date,
    Binary,
    Transformable,
};
