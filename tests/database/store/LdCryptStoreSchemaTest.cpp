// Tests of the entity numbering and the table, column and join-table names of the store.
#include "core/database/store/LdCryptStoreSchema.h"

#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

const LdObjectModel& model() {
    return LdObjectModel::ledraModel();
}

std::unique_ptr<LdCryptStoreSchema> newFileSchema() {
    LdError error;
    auto schema = LdCryptStoreSchema::schemaWithNumbering(
            model(), LdCryptStoreSchema::numberingForNewFile(model()), &error);
    EXPECT_NE(schema, nullptr) << error;
    return schema;
}

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

}  // namespace

TEST(LdCryptStoreSchemaTest, NewFileNumbersRootsWithoutSubentitiesFirstThenHierarchiesPreOrder) {
    const auto numbering = LdCryptStoreSchema::numberingForNewFile(model());
    ASSERT_EQ(numbering.size(), model().entities().size());
    bool seenHierarchy = false;
    for (std::size_t index = 0; index < numbering.size(); ++index) {
        const LdCryptStorePrimaryKey& row = numbering[index];
        EXPECT_EQ(row.entityID, static_cast<int>(index) + 1);
        const LdEntityDescription* entity = model().entityNamed(row.name);
        ASSERT_NE(entity, nullptr);
        const bool plainRoot = entity->superentity() == nullptr && !entity->hasSubentities();
        if (!plainRoot) {
            seenHierarchy = true;
        }
        EXPECT_FALSE(plainRoot && seenHierarchy) << row.description();
        if (entity->superentity() != nullptr) {
            // A parent is numbered before its children.
            EXPECT_GT(row.superEntityID, 0);
            EXPECT_LT(row.superEntityID, row.entityID);
            EXPECT_EQ(numbering[static_cast<std::size_t>(row.superEntityID) - 1].name,
                      entity->superentity()->name());
        } else {
            EXPECT_EQ(row.superEntityID, 0);
        }
    }
}

TEST(LdCryptStoreSchemaTest, EntriesLiveInTheirRootTableWithTypedColumns) {
    auto schema = newFileSchema();
    ASSERT_NE(schema, nullptr);
    const LdEntityDescription* entry = model().entityNamed("Entry");
    ASSERT_NE(entry, nullptr);
    const LdCryptStoreEntityMapping* mapping = schema->mapping(entry);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(mapping->tableName, "TE_BASEENTRY");
    EXPECT_TRUE(mapping->hasEntityColumn);
    const auto& definitions = schema->columnDefinitions(entry->rootEntity());
    ASSERT_GE(definitions.size(), 3U);
    EXPECT_EQ(definitions[0], "Z_PK INTEGER PRIMARY KEY");
    EXPECT_EQ(definitions[1], "Z_ENT INTEGER");
    EXPECT_EQ(definitions[2], "Z_VERSION INTEGER");
    // Each column once.
    std::set<std::string> unique(definitions.begin(), definitions.end());
    EXPECT_EQ(unique.size(), definitions.size());
    for (const LdAttributeDescription* attribute : entry->attributes()) {
        const std::string& column = mapping->columns[attribute->propertyNumber()];
        const auto type = LdCryptStoreSchema::sqlTypeForAttributeType(attribute->attributeType());
        if (type.empty() || attribute->isTransient()) {
            EXPECT_TRUE(column.empty()) << attribute->name();
            continue;
        }
        EXPECT_TRUE(contains(definitions, column + " " + std::string(type))) << column;
    }
}

TEST(LdCryptStoreSchemaTest, ToOneColumnsCarryTypeAndOrderColumnsWhereTheRulesSayAndAreIndexed) {
    auto schema = newFileSchema();
    ASSERT_NE(schema, nullptr);
    const auto statements = schema->createTableStatements();
    int typeColumns = 0;
    int orderColumns = 0;
    for (const LdEntityDescription* entity : model().entities()) {
        const LdCryptStoreEntityMapping* mapping = schema->mapping(entity);
        ASSERT_NE(mapping, nullptr);
        for (const LdRelationshipDescription* relationship : entity->relationships()) {
            const std::size_t number = relationship->propertyNumber();
            if (relationship->isToMany()) {
                EXPECT_TRUE(mapping->columns[number].empty());
                continue;
            }
            const std::string upper = mapping->columns[number].substr(1);
            EXPECT_EQ(mapping->columns[number][0], 'R');
            EXPECT_TRUE(contains(statements, "CREATE INDEX " + mapping->tableName + "_" +
                                                     mapping->columns[number] + "_INDEX ON " +
                                                     mapping->tableName + " (" +
                                                     mapping->columns[number] + ")"));
            const LdEntityDescription* destination = relationship->destinationEntity();
            if (destination->hasSubentities()) {
                ++typeColumns;
                EXPECT_EQ(mapping->typeColumns[number],
                          "R" + std::to_string(schema->entityID(destination)) + "_" + upper);
            } else {
                EXPECT_TRUE(mapping->typeColumns[number].empty());
            }
            if (relationship->inverseRelationship()->isOrdered()) {
                ++orderColumns;
                EXPECT_EQ(mapping->orderColumns[number], "R_ORDER_" + upper);
            } else {
                EXPECT_TRUE(mapping->orderColumns[number].empty());
            }
        }
    }
    EXPECT_GT(typeColumns, 0);
    EXPECT_GT(orderColumns, 0);
}

TEST(LdCryptStoreSchemaTest, ManyToManyDirectionsShareOneJoinTableWithCrossedColumns) {
    auto schema = newFileSchema();
    ASSERT_NE(schema, nullptr);
    int pairs = 0;
    for (const LdEntityDescription* entity : model().entities()) {
        for (const LdRelationshipDescription* relationship : entity->relationships()) {
            const LdCryptStoreJoinMapping* join = schema->joinMapping(relationship);
            if (!relationship->isManyToMany()) {
                EXPECT_EQ(join, nullptr);
                continue;
            }
            ASSERT_NE(join, nullptr) << relationship->name();
            const LdCryptStoreJoinMapping* other =
                    schema->joinMapping(relationship->inverseRelationship());
            ASSERT_NE(other, nullptr);
            EXPECT_EQ(join->tableName, other->tableName);
            if (join != other) {
                EXPECT_EQ(join->targetColumn, other->ownerColumn);
                EXPECT_EQ(join->ownerColumn, other->targetColumn);
                EXPECT_NE(join->isWritingDirection, other->isWritingDirection);
            }
            const std::string ownColumn =
                    "R_" + std::to_string(schema->entityID(relationship->entity()));
            EXPECT_EQ(join->targetColumn.rfind(ownColumn, 0), 0U) << join->targetColumn;
            if (join->isWritingDirection) {
                ++pairs;
                // Named after the relationship of the smaller-numbered owner.
                EXPECT_LE(schema->entityID(relationship->entity()),
                          schema->entityID(relationship->inverseRelationship()->entity()));
            }
        }
    }
    EXPECT_GT(pairs, 0);
}

TEST(LdCryptStoreSchemaTest, ColumnNamesFollowTheFileNumberingNotTheModelOrder) {
    // A file numbered in another order (the hierarchies first) names its columns by its own
    // numbers.
    auto numbering = LdCryptStoreSchema::numberingForNewFile(model());
    std::vector<LdCryptStorePrimaryKey> reordered;
    for (const auto& row : numbering) {
        if (model().entityNamed(row.name)->rootEntity()->hasSubentities()) {
            reordered.push_back(row);
        }
    }
    for (const auto& row : numbering) {
        if (!model().entityNamed(row.name)->rootEntity()->hasSubentities()) {
            reordered.push_back(row);
        }
    }
    std::unordered_map<int, int> newNumber;
    for (std::size_t index = 0; index < reordered.size(); ++index) {
        newNumber[reordered[index].entityID] = static_cast<int>(index) + 1;
    }
    for (auto& row : reordered) {
        row.entityID = newNumber[row.entityID];
        row.superEntityID = row.superEntityID == 0 ? 0 : newNumber[row.superEntityID];
    }
    LdError error;
    auto schema = LdCryptStoreSchema::schemaWithNumbering(model(), reordered, &error);
    ASSERT_NE(schema, nullptr) << error;
    for (const LdEntityDescription* entity : model().entities()) {
        EXPECT_EQ(schema->entityForID(schema->entityID(entity)), entity);
        for (const LdRelationshipDescription* relationship : entity->relationships()) {
            if (const LdCryptStoreJoinMapping* join = schema->joinMapping(relationship)) {
                EXPECT_EQ(
                        join->targetColumn.rfind(
                                "R_" + std::to_string(schema->entityID(relationship->entity())), 0),
                        0U);
            }
        }
    }
}

TEST(LdCryptStoreSchemaTest, NumberingWithAGapFailsNamingTheMissingNumber) {
    auto numbering = LdCryptStoreSchema::numberingForNewFile(model());
    numbering.erase(numbering.begin() + 2);
    LdError error;
    EXPECT_EQ(LdCryptStoreSchema::schemaWithNumbering(model(), numbering, &error), nullptr);
    EXPECT_EQ(error.descriptionKey(), "PrimaryKeyTable entityID 3 missing");
}

TEST(LdCryptStoreSchemaTest, NumberingThatDoesNotMatchTheModelFails) {
    auto unknown = LdCryptStoreSchema::numberingForNewFile(model());
    unknown.back().name = "NoSuchEntity";
    auto wrongParent = LdCryptStoreSchema::numberingForNewFile(model());
    for (auto& row : wrongParent) {
        if (row.superEntityID != 0) {
            row.superEntityID = 0;
            break;
        }
    }
    auto missing = LdCryptStoreSchema::numberingForNewFile(model());
    missing.pop_back();
    for (const auto& numbering : {unknown, wrongParent, missing}) {
        LdError error;
        EXPECT_EQ(LdCryptStoreSchema::schemaWithNumbering(model(), numbering, &error), nullptr);
        EXPECT_EQ(error.descriptionKey(), "entity configuration invalid");
    }
    // Rows with a number below 1 or an empty name are skipped.
    auto withJunk = LdCryptStoreSchema::numberingForNewFile(model());
    withJunk.insert(withJunk.begin(), {0, "Junk", 0});
    EXPECT_NE(LdCryptStoreSchema::schemaWithNumbering(model(), withJunk), nullptr);
}

TEST(LdCryptStoreSchemaTest, SqlTypesFollowTheAttributeTypes) {
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::Integer16), "INTEGER");
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::Boolean), "INTEGER");
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::Decimal), "DECIMAL");
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::Float), "FLOAT");
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::String), "VARCHAR");
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::Date), "TIMESTAMP");
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::Binary), "BLOB");
    EXPECT_EQ(LdCryptStoreSchema::sqlTypeForAttributeType(LdAttributeType::Transformable), "");
}
