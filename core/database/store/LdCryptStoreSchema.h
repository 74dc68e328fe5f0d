// LdCryptStoreSchema: how the entities of an object model map to the tables of one encrypted store
// file — the file's entity numbering and every table, column, join-table and index name.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/database/model/LdObjectModel.h"
#include "core/support/LdError.h"

// Fixed names of the store file.
inline constexpr const char* kLdCryptStorePrimaryKeyTable = "T_PRIMARYKEY";
inline constexpr const char* kLdCryptStoreMetadataTable = "T_METADATA";
inline constexpr const char* kLdCryptStorePrimaryKeyColumn = "Z_PK";
inline constexpr const char* kLdCryptStoreEntityColumn = "Z_ENT";
inline constexpr const char* kLdCryptStoreVersionColumn = "Z_VERSION";
inline constexpr const char* kLdCryptStoreNameColumn = "Z_NAME";
inline constexpr const char* kLdCryptStoreSuperColumn = "Z_SUPER";
inline constexpr const char* kLdCryptStoreReflexiveColumn = "Z_REFLEXIVE";
inline constexpr const char* kLdCryptStoreReflexiveOrderColumn = "Z_ORDER_REFLEXIVE";

// One row of a file's entity numbering (CryptStorePrimaryKey).
struct LdCryptStorePrimaryKey {
    int entityID = 0;
    std::string name;
    int superEntityID = 0;  // 0 for a root entity

    bool operator==(const LdCryptStorePrimaryKey&) const = default;
    // description — "pKeyObj: id=%i name=%@ super=%i".
    std::string description() const;
};

// The columns of one entity within its hierarchy's table, precomputed so that saving and faulting
// look nothing up by name.
struct LdCryptStoreEntityMapping {
    const LdEntityDescription* entity = nullptr;
    int entityID = 0;
    const LdEntityDescription* root = nullptr;
    std::string tableName;         // "TE_" + root name, upper case
    bool hasEntityColumn = false;  // the root has subentities: rows carry Z_ENT
    // By property number: the attribute's column ("Z…") or the to-one relationship's "R…" column;
    // empty for transient attributes, attributes without SQL type and to-many relationships.
    std::vector<std::string> columns;
    // By property number: the target-type column of a to-one relationship whose destination has
    // subentities, else empty.
    std::vector<std::string> typeColumns;
    // By property number: the order column of a to-one relationship whose inverse is an ordered
    // to-many, else empty.
    std::vector<std::string> orderColumns;
    // Property numbers of the stored attributes, in property order.
    std::vector<std::size_t> storedAttributes;
};

// One direction of a many-to-many pair and its join table.
struct LdCryptStoreJoinMapping {
    std::string tableName;
    std::string targetColumn;  // keys of this relationship's targets
    std::string ownerColumn;   // keys of this relationship's owners
    std::string orderColumn;   // position of a target in this ordered relationship, else empty
    bool isWritingDirection = false;  // the "first" direction writes the pair's rows
};

// The mapping of one model onto one file. Built once per store object; immutable afterwards.
class LdCryptStoreSchema {
public:
    // The numbering a new file gets: roots without subentities first, then each root with
    // subentities followed by its descendants in pre-order, each list in model order.
    static std::vector<LdCryptStorePrimaryKey> numberingForNewFile(const LdObjectModel& model);

    // Builds the mapping from a file's numbering (as read from T_PRIMARYKEY, in ascending number).
    // Rows with a number below 1 or an empty name are skipped. Fails with "PrimaryKeyTable
    // entityID %i missing" when the numbers are not contiguous from 1, and with "entity
    // configuration invalid" when the numbering does not hold exactly the model's entities with
    // the same parents.
    static std::unique_ptr<LdCryptStoreSchema> schemaWithNumbering(
            const LdObjectModel& model,
            const std::vector<LdCryptStorePrimaryKey>& numbering,
            LdError* error = nullptr);

    const LdObjectModel& model() const { return model_; }
    const std::vector<LdCryptStorePrimaryKey>& numbering() const { return numbering_; }

    // The entity's number in this file, 0 for an entity the file does not know.
    int entityID(const LdEntityDescription* entity) const;
    const LdEntityDescription* entityForID(std::int64_t entityID) const;
    // entityIDsForEntity: — the entity's number followed by those of all its descendants.
    std::vector<int> entityIDsForEntity(const LdEntityDescription* entity) const;
    // The mapping of an entity of the model, or nullptr.
    const LdCryptStoreEntityMapping* mapping(const LdEntityDescription* entity) const;
    // The join mapping of a many-to-many relationship, or nullptr for any other relationship.
    const LdCryptStoreJoinMapping* joinMapping(const LdRelationshipDescription* relationship) const;
    // The attribute columns a fetch of `entity` reads ahead: every stored attribute of the entity
    // and its descendants (pre-order), each column once (first occurrence wins).
    const std::vector<std::string>& prefetchColumns(const LdEntityDescription* entity) const;
    // Every entity table's name, in numbering order of their roots.
    std::vector<std::string> entityTableNames() const;
    // The column definitions of a root entity's table (without "CREATE TABLE").
    const std::vector<std::string>& columnDefinitions(const LdEntityDescription* root) const;

    // The statements that create T_PRIMARYKEY and fill it with this numbering.
    std::vector<std::string> primaryKeyTableStatements() const;
    // The statements that create every entity table with its indexes, then every join table.
    std::vector<std::string> createTableStatements() const;

    // The SQL column type of an attribute type; empty for a type that gets no column.
    static std::string_view sqlTypeForAttributeType(LdAttributeType type);

private:
    explicit LdCryptStoreSchema(const LdObjectModel& model) : model_(model) {}
    bool build(LdError* error);
    void buildEntityMapping(const LdEntityDescription* entity);
    void buildRootTable(const LdEntityDescription* root);
    void buildJoinTables();

    const LdObjectModel& model_;
    std::vector<LdCryptStorePrimaryKey> numbering_;
    std::vector<const LdEntityDescription*> entitiesByID_;  // index = number - 1
    std::unordered_map<const LdEntityDescription*, LdCryptStoreEntityMapping> mappings_;
    std::unordered_map<const LdRelationshipDescription*, LdCryptStoreJoinMapping> joins_;
    std::unordered_map<const LdEntityDescription*, std::vector<std::string>> columnDefinitions_;
    std::unordered_map<const LdEntityDescription*, std::vector<std::string>> prefetchColumns_;
    std::vector<std::string> tableStatements_;
    std::vector<std::string> joinStatements_;
};
