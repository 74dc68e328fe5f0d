// The object models written down as data: plain tables from which LdObjectModel builds its
// descriptions, and the check that a table is consistent.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/database/model/LdAttributeType.h"
#include "core/database/model/LdRelationshipDescription.h"

namespace ld::detail {

enum class LdRelationshipKind { ToOne, ToMany, OrderedToMany };

struct LdAttributeDefinition {
    std::string_view name;
    LdAttributeType type;
    bool isTransient = false;
};

struct LdRelationshipDefinition {
    std::string_view name;
    std::string_view destination;  // entity name
    std::string_view inverse;      // name of the inverse relationship on the destination
    LdRelationshipKind kind;
    LdDeleteRule deleteRule = LdDeleteRule::Nullify;
};

struct LdEntityDefinition {
    std::string_view name;
    std::string_view className;
    std::string_view superentity;  // empty for a root entity
    bool isAbstract;
    std::vector<LdAttributeDefinition> attributes;
    std::vector<LdRelationshipDefinition> relationships;
    std::vector<std::vector<std::string_view>> indexes;
};

// A whole model; `entities` is in model order, which decides the entity numbering of a new store
// file.
struct LdModelDefinition {
    std::string_view name;
    std::string_view versionIdentifier;
    std::vector<LdEntityDefinition> entities;
};

// The tables of the three models (LdObjectModelContent.cpp).
const LdModelDefinition& ledraModelDefinition();
const LdModelDefinition& exchangeRateModelDefinition();
const LdModelDefinition& onlineProviderInfoModelDefinition();

// Every inconsistency of a definition, one readable line each; empty when the definition is sound.
// Checked: unique non-empty entity and class names; existing superentities without cycles;
// abstract entities that have subentities; unique non-empty property names along each inheritance
// line; properties of one name within one inheritance tree agreeing on kind and type (they share a
// store column); existing destinations; inverses that exist on the destination entity itself and
// point back with matching entities; index elements that name a stored attribute or a to-one
// relationship of the entity.
std::vector<std::string> problemsInModelDefinition(const LdModelDefinition& definition);

}  // namespace ld::detail
