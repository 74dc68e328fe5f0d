// LdCryptStoreSchema: entity numbering and the naming rules of the store's tables.
#include "core/database/store/LdCryptStoreSchema.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "core/support/LdLogger.h"

namespace {

std::string upperCased(std::string_view text) {
    std::string result(text);
    for (char& character : result) {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    return result;
}

std::string lowerCased(std::string_view text) {
    std::string result(text);
    for (char& character : result) {
        character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    }
    return result;
}

LdError storeError(const std::string& text) {
    return LdError::errorWithTitle(text, text);
}

}  // namespace

std::string LdCryptStorePrimaryKey::description() const {
    return "pKeyObj: id=" + std::to_string(entityID) + " name=" + name +
           " super=" + std::to_string(superEntityID);
}

std::string_view LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType type) {
    switch (type) {
        case LdAttributeType::Integer16:
        case LdAttributeType::Integer32:
        case LdAttributeType::Integer64:
        case LdAttributeType::Boolean:
            return "INTEGER";
        case LdAttributeType::Decimal:
            return "DECIMAL";
        case LdAttributeType::Double:
        case LdAttributeType::Float:
            return "FLOAT";
        case LdAttributeType::String:
            return "VARCHAR";
        case LdAttributeType::Date:
            return "TIMESTAMP";
        case LdAttributeType::Binary:
            return "BLOB";
        case LdAttributeType::Transformable:
            return "";
    }
    return "";
}

std::vector<LdCryptStorePrimaryKey> LdCryptStoreSchema::numberingForNewFile(
        const LdObjectModel& model) {
    std::vector<LdCryptStorePrimaryKey> numbering;
    std::unordered_map<const LdEntityDescription*, int> numbers;
    for (const LdEntityDescription* entity : model.entitiesInNumberingOrder()) {
        const int number = static_cast<int>(numbering.size()) + 1;
        numbers[entity] = number;
        const int parent = entity->superentity() != nullptr ? numbers[entity->superentity()] : 0;
        numbering.push_back({number, entity->name(), parent});
    }
    return numbering;
}

std::unique_ptr<LdCryptStoreSchema> LdCryptStoreSchema::schemaWithNumbering(
        const LdObjectModel& model,
        const std::vector<LdCryptStorePrimaryKey>& numbering,
        LdError* error) {
    std::unique_ptr<LdCryptStoreSchema> schema(new LdCryptStoreSchema(model));
    for (const LdCryptStorePrimaryKey& row : numbering) {
        if (row.entityID < 1 || row.name.empty()) {
            continue;
        }
        const int expected = static_cast<int>(schema->numbering_.size()) + 1;
        if (row.entityID != expected) {
            LdLogger::shared().logError("Error: PrimaryKeyTable entityID missing");
            failWith(error, storeError("PrimaryKeyTable entityID " + std::to_string(expected) +
                                       " missing"));
            return nullptr;
        }
        schema->numbering_.push_back(row);
    }
    if (!schema->build(error)) {
        return nullptr;
    }
    return schema;
}

bool LdCryptStoreSchema::build(LdError* error) {
    // The file's numbering must name exactly the model's entities with the same parents.
    std::set<std::string, std::less<>> seen;
    for (const LdCryptStorePrimaryKey& row : numbering_) {
        const LdEntityDescription* entity = model_.entityNamed(row.name);
        if (entity == nullptr || !seen.insert(row.name).second) {
            return failWith(error, storeError("entity configuration invalid"));
        }
        entitiesByID_.push_back(entity);
    }
    if (entitiesByID_.size() != model_.entities().size()) {
        return failWith(error, storeError("entity configuration invalid"));
    }
    for (const LdCryptStorePrimaryKey& row : numbering_) {
        const LdEntityDescription* parent =
                entitiesByID_[static_cast<std::size_t>(row.entityID) - 1]->superentity();
        if ((parent == nullptr && row.superEntityID != 0) ||
            (parent != nullptr && row.superEntityID != entityID(parent))) {
            return failWith(error, storeError("entity configuration invalid"));
        }
    }
    for (const LdEntityDescription* entity : entitiesByID_) {
        for (const LdRelationshipDescription* relationship : entity->relationships()) {
            if (relationship->inverseRelationship() == nullptr) {
                return failWith(error, storeError("Entity " + entity->name() +
                                                  " has no invers relationship for relation " +
                                                  relationship->name() +
                                                  ". Relationships without a defined inverse are "
                                                  "not supported."));
            }
        }
        buildEntityMapping(entity);
    }
    for (const LdEntityDescription* entity : entitiesByID_) {
        if (entity->superentity() == nullptr) {
            buildRootTable(entity);
        }
    }
    buildJoinTables();
    for (const LdEntityDescription* entity : entitiesByID_) {
        std::vector<const LdEntityDescription*> hierarchy{entity};
        for (const LdEntityDescription* descendant : entity->allDescendants()) {
            hierarchy.push_back(descendant);
        }
        std::vector<std::string>& columns = prefetchColumns_[entity];
        for (const LdEntityDescription* member : hierarchy) {
            const LdCryptStoreEntityMapping& memberMapping = mappings_.at(member);
            for (std::size_t number : memberMapping.storedAttributes) {
                const std::string& column = memberMapping.columns[number];
                if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
                    columns.push_back(column);
                }
            }
        }
    }
    return true;
}

const std::vector<std::string>& LdCryptStoreSchema::prefetchColumns(
        const LdEntityDescription* entity) const {
    static const std::vector<std::string> kNone;
    auto found = prefetchColumns_.find(entity);
    return found != prefetchColumns_.end() ? found->second : kNone;
}

int LdCryptStoreSchema::entityID(const LdEntityDescription* entity) const {
    if (auto found = mappings_.find(entity); found != mappings_.end()) {
        return found->second.entityID;
    }
    // Mappings are built in numbering order; before that, search the numbering.
    for (std::size_t index = 0; index < entitiesByID_.size(); ++index) {
        if (entitiesByID_[index] == entity) {
            return static_cast<int>(index) + 1;
        }
    }
    return 0;
}

const LdEntityDescription* LdCryptStoreSchema::entityForID(std::int64_t id) const {
    if (id < 1 || static_cast<std::size_t>(id) > entitiesByID_.size()) {
        return nullptr;
    }
    return entitiesByID_[static_cast<std::size_t>(id) - 1];
}

std::vector<int> LdCryptStoreSchema::entityIDsForEntity(const LdEntityDescription* entity) const {
    std::vector<int> ids;
    if (entityID(entity) == 0) {
        return ids;
    }
    ids.push_back(entityID(entity));
    for (const LdEntityDescription* descendant : entity->allDescendants()) {
        ids.push_back(entityID(descendant));
    }
    return ids;
}

const LdCryptStoreEntityMapping* LdCryptStoreSchema::mapping(
        const LdEntityDescription* entity) const {
    auto found = mappings_.find(entity);
    return found != mappings_.end() ? &found->second : nullptr;
}

const LdCryptStoreJoinMapping* LdCryptStoreSchema::joinMapping(
        const LdRelationshipDescription* relationship) const {
    auto found = joins_.find(relationship);
    return found != joins_.end() ? &found->second : nullptr;
}

std::vector<std::string> LdCryptStoreSchema::entityTableNames() const {
    std::vector<std::string> names;
    for (const LdEntityDescription* entity : entitiesByID_) {
        if (entity->superentity() == nullptr) {
            names.push_back(mapping(entity)->tableName);
        }
    }
    return names;
}

const std::vector<std::string>& LdCryptStoreSchema::columnDefinitions(
        const LdEntityDescription* root) const {
    static const std::vector<std::string> kNone;
    auto found = columnDefinitions_.find(root);
    return found != columnDefinitions_.end() ? found->second : kNone;
}

void LdCryptStoreSchema::buildEntityMapping(const LdEntityDescription* entity) {
    LdCryptStoreEntityMapping mapping;
    mapping.entity = entity;
    mapping.entityID = entityID(entity);
    mapping.root = entity->rootEntity();
    mapping.tableName = "TE_" + upperCased(mapping.root->name());
    mapping.hasEntityColumn = mapping.root->hasSubentities();
    const std::size_t count = entity->propertyCount();
    mapping.columns.resize(count);
    mapping.typeColumns.resize(count);
    mapping.orderColumns.resize(count);
    for (const LdPropertyDescription* property : entity->properties()) {
        const std::size_t number = property->propertyNumber();
        if (const LdAttributeDescription* attribute = property->asAttribute()) {
            if (attribute->isTransient() ||
                sqlTypeForAttributeType(attribute->attributeType()).empty()) {
                continue;
            }
            mapping.columns[number] = "Z" + upperCased(attribute->name());
            mapping.storedAttributes.push_back(number);
            continue;
        }
        const LdRelationshipDescription* relationship = property->asRelationship();
        if (relationship == nullptr || relationship->isToMany()) {
            continue;
        }
        mapping.columns[number] = "R" + upperCased(relationship->name());
        const LdEntityDescription* destination = relationship->destinationEntity();
        if (destination != nullptr && destination->hasSubentities()) {
            mapping.typeColumns[number] = "R" + std::to_string(entityID(destination)) + "_" +
                                          upperCased(relationship->name());
        }
        const LdRelationshipDescription* inverse = relationship->inverseRelationship();
        if (inverse != nullptr && inverse->isToMany() && inverse->isOrdered()) {
            mapping.orderColumns[number] = "R_ORDER_" + upperCased(relationship->name());
        }
    }
    mappings_.emplace(entity, std::move(mapping));
}

void LdCryptStoreSchema::buildRootTable(const LdEntityDescription* root) {
    const std::string& table = mapping(root)->tableName;
    std::vector<std::string> definitions;
    std::set<std::string, std::less<>> columnNames;
    const auto addColumn = [&](const std::string& name, std::string_view type) {
        if (columnNames.insert(name).second) {
            definitions.push_back(name + " " + std::string(type));
        }
    };
    std::vector<std::string> indexStatements;
    std::set<std::string, std::less<>> indexNames;
    const auto addIndex = [&](const std::string& column) {
        if (column.empty()) {
            return;
        }
        std::string statement =
                "CREATE INDEX " + table + "_" + column + "_INDEX ON " + table + " (" + column + ")";
        if (indexNames.insert(statement).second) {
            indexStatements.push_back(std::move(statement));
        }
    };

    addColumn(kLdCryptStorePrimaryKeyColumn, "INTEGER PRIMARY KEY");
    if (root->hasSubentities()) {
        addColumn(kLdCryptStoreEntityColumn, "INTEGER");
    }
    addColumn(kLdCryptStoreVersionColumn, "INTEGER");

    std::vector<const LdEntityDescription*> hierarchy{root};
    for (const LdEntityDescription* descendant : root->allDescendants()) {
        hierarchy.push_back(descendant);
    }
    for (const LdEntityDescription* entity : hierarchy) {
        const LdCryptStoreEntityMapping& entityMapping = *mapping(entity);
        for (const LdPropertyDescription* property : entity->properties()) {
            const std::size_t number = property->propertyNumber();
            const std::string& column = entityMapping.columns[number];
            if (column.empty()) {
                continue;
            }
            if (const LdAttributeDescription* attribute = property->asAttribute()) {
                addColumn(column, sqlTypeForAttributeType(attribute->attributeType()));
                continue;
            }
            addColumn(column, "INTEGER");
            if (!entityMapping.typeColumns[number].empty()) {
                addColumn(entityMapping.typeColumns[number], "INTEGER");
            }
            if (!entityMapping.orderColumns[number].empty()) {
                addColumn(entityMapping.orderColumns[number], "INTEGER");
            }
        }
        // Indexes: declared elements, every to-one column, Z_ENT of a hierarchy's table.
        for (const std::vector<std::string>& index : entity->indexes()) {
            for (const std::string& element : index) {
                if (const LdPropertyDescription* property = entity->propertyNamed(element)) {
                    addIndex(entityMapping.columns[property->propertyNumber()]);
                }
            }
        }
        for (const LdRelationshipDescription* relationship : entity->relationships()) {
            if (relationship->isToOne()) {
                addIndex(entityMapping.columns[relationship->propertyNumber()]);
            }
        }
        if (entity->hasSubentities() && entity == root) {
            addIndex(kLdCryptStoreEntityColumn);
        }
    }

    std::string joined;
    for (const std::string& definition : definitions) {
        joined += joined.empty() ? definition : ", " + definition;
    }
    tableStatements_.push_back("CREATE TABLE " + table + " (" + joined + ");");
    for (std::string& statement : indexStatements) {
        tableStatements_.push_back(std::move(statement));
    }
    columnDefinitions_[root] = std::move(definitions);
}

void LdCryptStoreSchema::buildJoinTables() {
    const auto joinColumn = [this](const LdRelationshipDescription* relationship,
                                   std::string_view prefix) {
        return std::string(prefix) + std::to_string(entityID(relationship->entity())) +
               upperCased(relationship->name());
    };
    for (const LdEntityDescription* entity : entitiesByID_) {
        for (const LdRelationshipDescription* relationship : entity->relationships()) {
            if (relationship->entity() != entity || !relationship->isManyToMany() ||
                joins_.count(relationship) != 0) {
                continue;
            }
            const LdRelationshipDescription* inverse = relationship->inverseRelationship();
            // The "first" direction: smaller owner number; within one entity the name that sorts
            // first case-insensitively (on equal names the inverse).
            const int ownNumber = entityID(relationship->entity());
            const int inverseNumber = entityID(inverse->entity());
            bool relationshipFirst = ownNumber < inverseNumber;
            if (ownNumber == inverseNumber) {
                relationshipFirst = lowerCased(relationship->name()) < lowerCased(inverse->name());
            }
            const LdRelationshipDescription* first = relationshipFirst ? relationship : inverse;
            const LdRelationshipDescription* second = relationshipFirst ? inverse : relationship;

            const std::string firstColumn = joinColumn(first, "R_");
            std::string secondColumn = joinColumn(second, "R_");
            const bool reflexive = secondColumn == firstColumn;
            if (reflexive) {
                secondColumn = kLdCryptStoreReflexiveColumn;
            }
            // Different owners: named after the smaller-numbered owner's relationship; one owner:
            // after the relationship whose name sorts later.
            const std::string tableName =
                    ownNumber == inverseNumber ? joinColumn(second, "R_") : firstColumn;
            std::string firstOrder = first->isOrdered() ? joinColumn(first, "R_ORDER_") : "";
            std::string secondOrder = second->isOrdered() ? joinColumn(second, "R_ORDER_") : "";
            if (!secondOrder.empty() && secondOrder == firstOrder) {
                secondOrder = kLdCryptStoreReflexiveOrderColumn;
            }

            std::string statement = "CREATE TABLE " + tableName + " (" + firstColumn +
                                    " INTEGER, " + secondColumn + " INTEGER";
            if (!firstOrder.empty()) {
                statement += ", " + firstOrder + " INTEGER";
            }
            if (!secondOrder.empty()) {
                statement += ", " + secondOrder + " INTEGER";
            }
            statement += ", PRIMARY KEY (" + firstColumn + ", " + secondColumn + "));";
            joinStatements_.push_back(std::move(statement));

            // The first direction's targets sit in its own column and its owners in the other's;
            // a relationship that is its own inverse keeps owners in its column and targets in
            // Z_REFLEXIVE, so each stored row reads back from the side that wrote it.
            if (reflexive) {
                joins_[first] = {tableName, secondColumn, firstColumn, firstOrder, true};
            } else {
                joins_[first] = {tableName, firstColumn, secondColumn, firstOrder, true};
                joins_[second] = {tableName, secondColumn, firstColumn, secondOrder, false};
            }
        }
    }
}

std::vector<std::string> LdCryptStoreSchema::primaryKeyTableStatements() const {
    std::vector<std::string> statements;
    statements.push_back(std::string("CREATE TABLE ") + kLdCryptStorePrimaryKeyTable + " (" +
                         kLdCryptStoreEntityColumn + " INTEGER PRIMARY KEY ASC, " +
                         kLdCryptStoreNameColumn + " VARCHAR, " + kLdCryptStoreSuperColumn +
                         " INTEGER);");
    for (const LdCryptStorePrimaryKey& row : numbering_) {
        // Entity names are identifiers of the model: no quote can occur in them.
        statements.push_back(std::string("INSERT INTO ") + kLdCryptStorePrimaryKeyTable + " (" +
                             kLdCryptStoreEntityColumn + ", " + kLdCryptStoreNameColumn + ", " +
                             kLdCryptStoreSuperColumn + ") VALUES (" +
                             std::to_string(row.entityID) + ", '" + row.name + "', " +
                             std::to_string(row.superEntityID) + ");");
    }
    return statements;
}

std::vector<std::string> LdCryptStoreSchema::createTableStatements() const {
    std::vector<std::string> statements = tableStatements_;
    statements.insert(statements.end(), joinStatements_.begin(), joinStatements_.end());
    return statements;
}
