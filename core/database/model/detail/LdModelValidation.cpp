// The consistency check of object model definitions.
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/database/model/LdAttributeDescription.h"
#include "core/database/model/detail/LdModelDefinition.h"

namespace ld::detail {

namespace {

// A property as found on an entity or one of its ancestors.
struct FoundProperty {
    const LdEntityDefinition* owner = nullptr;
    const LdAttributeDefinition* attribute = nullptr;
    const LdRelationshipDefinition* relationship = nullptr;
};

class DefinitionChecker {
public:
    explicit DefinitionChecker(const LdModelDefinition& definition) : definition_(definition) {}

    std::vector<std::string> run() {
        if (definition_.name.empty()) {
            fail("the model has no name");
        }
        checkEntityNames();
        for (const LdEntityDefinition& entity : definition_.entities) {
            checkInheritance(entity);
        }
        for (const LdEntityDefinition& entity : definition_.entities) {
            checkPropertyNames(entity);
            checkSharedColumns(entity);
            for (const LdRelationshipDefinition& relationship : entity.relationships) {
                checkRelationship(entity, relationship);
            }
            checkIndexes(entity);
        }
        return std::move(problems_);
    }

private:
    void fail(std::string problem) { problems_.push_back(std::move(problem)); }

    static std::string path(const LdEntityDefinition& entity, std::string_view property) {
        return std::string(entity.name) + "." + std::string(property);
    }

    const LdEntityDefinition* entityNamed(std::string_view name) const {
        auto found = entitiesByName_.find(name);
        return found == entitiesByName_.end() ? nullptr : found->second;
    }

    // The entity and its ancestors, nearest first; stops at an unknown superentity or a cycle.
    std::vector<const LdEntityDefinition*> lineage(const LdEntityDefinition& entity) const {
        std::vector<const LdEntityDefinition*> chain{&entity};
        std::set<std::string_view> seen{entity.name};
        for (const LdEntityDefinition* parent = entityNamed(entity.superentity);
             parent != nullptr && seen.insert(parent->name).second;
             parent = entityNamed(parent->superentity)) {
            chain.push_back(parent);
        }
        return chain;
    }

    static FoundProperty declaredProperty(const LdEntityDefinition& entity, std::string_view name) {
        for (const LdAttributeDefinition& attribute : entity.attributes) {
            if (attribute.name == name) {
                return {&entity, &attribute, nullptr};
            }
        }
        for (const LdRelationshipDefinition& relationship : entity.relationships) {
            if (relationship.name == name) {
                return {&entity, nullptr, &relationship};
            }
        }
        return {};
    }

    FoundProperty property(const LdEntityDefinition& entity, std::string_view name) const {
        for (const LdEntityDefinition* owner : lineage(entity)) {
            if (FoundProperty found = declaredProperty(*owner, name); found.owner != nullptr) {
                return found;
            }
        }
        return {};
    }

    void checkEntityNames() {
        std::set<std::string_view> classNames;
        for (const LdEntityDefinition& entity : definition_.entities) {
            if (entity.name.empty()) {
                fail("an entity has no name");
                continue;
            }
            if (!entitiesByName_.emplace(entity.name, &entity).second) {
                fail("entity " + std::string(entity.name) + " is declared twice");
            }
            if (entity.className.empty()) {
                fail("entity " + std::string(entity.name) + " has no class name");
            } else if (!classNames.insert(entity.className).second) {
                fail("class " + std::string(entity.className) + " names two entities");
            }
        }
    }

    void checkInheritance(const LdEntityDefinition& entity) {
        if (!entity.superentity.empty()) {
            if (entityNamed(entity.superentity) == nullptr) {
                fail(std::string(entity.name) + ": unknown superentity " +
                     std::string(entity.superentity));
            } else if (const LdEntityDefinition* top = lineage(entity).back();
                       entityNamed(top->superentity) != nullptr) {
                fail(std::string(entity.name) + ": inheritance cycle");
            }
        }
        if (entity.isAbstract) {
            bool hasSubentity = false;
            for (const LdEntityDefinition& other : definition_.entities) {
                hasSubentity = hasSubentity || other.superentity == entity.name;
            }
            if (!hasSubentity) {
                fail(std::string(entity.name) + ": abstract entity without subentities");
            }
        }
    }

    void checkPropertyNames(const LdEntityDefinition& entity) {
        std::set<std::string_view> own;
        auto checkName = [&](std::string_view name) {
            if (name.empty()) {
                fail(std::string(entity.name) + ": a property has no name");
                return;
            }
            if (!own.insert(name).second) {
                fail(path(entity, name) + " is declared twice");
                return;
            }
            std::vector<const LdEntityDefinition*> chain = lineage(entity);
            for (auto ancestor = chain.begin() + 1; ancestor != chain.end(); ++ancestor) {
                if (declaredProperty(**ancestor, name).owner != nullptr) {
                    fail(path(entity, name) + " is already declared on " +
                         std::string((*ancestor)->name));
                    return;
                }
            }
        };
        for (const LdAttributeDefinition& attribute : entity.attributes) {
            checkName(attribute.name);
        }
        for (const LdRelationshipDefinition& relationship : entity.relationships) {
            checkName(relationship.name);
        }
    }

    // All entities of one inheritance tree share one store table, so one property name must
    // stand for the same column throughout the tree (siblings may declare it independently).
    void checkSharedColumns(const LdEntityDefinition& entity) {
        std::string_view root = lineage(entity).back()->name;
        auto checkColumn = [&](std::string_view name, const std::string& signature) {
            auto [existing, inserted] =
                    columns_.try_emplace({root, name}, std::pair(entity.name, signature));
            if (!inserted && existing->second.second != signature) {
                fail(path(entity, name) + " (" + signature + ") differs from " +
                     path(*entityNamed(existing->second.first), name) + " (" +
                     existing->second.second + ")");
            }
        };
        for (const LdAttributeDefinition& attribute : entity.attributes) {
            checkColumn(
                    attribute.name,
                    "attribute " + std::string(LdAttributeDescription::typeName(attribute.type)));
        }
        for (const LdRelationshipDefinition& relationship : entity.relationships) {
            std::string kind =
                    relationship.kind == LdRelationshipKind::ToOne ? "to-one " : "to-many ";
            checkColumn(relationship.name, kind + std::string(relationship.destination));
        }
    }

    void checkRelationship(const LdEntityDefinition& entity,
                           const LdRelationshipDefinition& relationship) {
        std::string name = path(entity, relationship.name);
        const LdEntityDefinition* destination = entityNamed(relationship.destination);
        if (destination == nullptr) {
            fail(name + ": unknown destination " + std::string(relationship.destination));
            return;
        }
        if (relationship.inverse.empty()) {
            fail(name + ": no inverse");
            return;
        }
        FoundProperty inverse = property(*destination, relationship.inverse);
        std::string inverseName = path(*destination, relationship.inverse);
        if (inverse.owner == nullptr) {
            fail(name + ": inverse " + inverseName + " does not exist");
        } else if (inverse.relationship == nullptr) {
            fail(name + ": inverse " + inverseName + " is an attribute");
        } else if (inverse.owner != destination) {
            fail(name + ": inverse " + inverseName + " is declared on " +
                 std::string(inverse.owner->name) + ", not on the destination");
        } else if (inverse.relationship->destination != entity.name) {
            fail(name + ": inverse " + inverseName + " leads to " +
                 std::string(inverse.relationship->destination) + ", not back to " +
                 std::string(entity.name));
        } else if (inverse.relationship->inverse != relationship.name) {
            fail(name + ": inverse " + inverseName + " names " +
                 std::string(inverse.relationship->inverse) + " as its inverse");
        }
    }

    void checkIndexes(const LdEntityDefinition& entity) {
        for (const std::vector<std::string_view>& index : entity.indexes) {
            if (index.empty()) {
                fail(std::string(entity.name) + ": an index without elements");
            }
            for (std::string_view element : index) {
                FoundProperty found = property(entity, element);
                bool indexable = (found.attribute != nullptr && !found.attribute->isTransient &&
                                  found.attribute->type != LdAttributeType::Transformable) ||
                                 (found.relationship != nullptr &&
                                  found.relationship->kind == LdRelationshipKind::ToOne);
                if (!indexable) {
                    fail(std::string(entity.name) + ": index element " + std::string(element) +
                         " is no stored attribute or to-one relationship");
                }
            }
        }
    }

    const LdModelDefinition& definition_;
    std::map<std::string_view, const LdEntityDefinition*> entitiesByName_;
    // (root entity, property name) -> (first entity declaring it, its column signature)
    std::map<std::pair<std::string_view, std::string_view>,
             std::pair<std::string_view, std::string>>
            columns_;
    std::vector<std::string> problems_;
};

}  // namespace

std::vector<std::string> problemsInModelDefinition(const LdModelDefinition& definition) {
    return DefinitionChecker(definition).run();
}

}  // namespace ld::detail
