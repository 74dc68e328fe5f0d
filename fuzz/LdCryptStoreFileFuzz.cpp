// Fuzz target of reading damaged store files. Once per process the store's own API writes a
// template file (unencrypted) with two rows of every concrete entity and their relationships. Each
// input is a small program of value changes that raw SQL statements apply to a fresh copy of that
// file: the metadata blob replaced or bit-flipped, rows of the entity numbering changed, deleted or
// added, any cell of any entity or join table set to a value of another type, rows deleted or
// added. The schema itself is never touched (SQLite's own parser is no part of this target). The
// copy then goes through metadataForCryptStoreAtURL, inspectStoreAtURL and loadMetadata; a loaded
// store faults keys 1 to 5 and the template keys of every entity with every relationship, a second
// store reads the same objects straight from the file, and that one saves one new row, one update
// and one delete.
//
// Input: the first byte chooses the entity of the saves; the rest is the program (see
// applyProgram). Besides crashes and sanitizer reports it checks that every failure carries an
// error, that a saved row reads back and (see the flags below) that a loaded numbering is the
// file's, that relationship targets are of the destination entity and that the properties cache
// answers what the file holds. LD_STOREFILE_FUZZ_TRACE=1 prints each change of a program.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "core/database/store/LdCryptStore.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

// Stops the run with the broken expectation named.
void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "storefile_fuzz: expectation failed: %s\n", what);
        std::abort();
    }
}

const LdObjectModel& model() {
    return LdObjectModel::ledraModel();
}

// Checks of faults found here: numbers below 1 in the numbering are skipped rather than narrowed
// to int (the row -4294967295 once read as entity 1), and rows whose Z_ENT or to-one type column
// names an entity outside the destination are no objects of it (they once came back as objects
// of that entity and filled the properties cache under its key).
constexpr bool kCheckNumbering = true;
constexpr bool kCheckTargetEntities = true;

// Reads the input front to back; an exhausted input reads as zero bytes.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return offset_ >= size_; }
    std::uint8_t byte() { return atEnd() ? 0 : data_[offset_++]; }
    std::size_t index(std::size_t count) { return count == 0 ? 0 : byte() % count; }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
    std::uint64_t quad() {
        std::uint64_t value = 0;
        for (int count = 0; count < 8; ++count) {
            value = value << 8 | byte();
        }
        return value;
    }
    std::string bytes(std::size_t count) {
        const std::size_t available = std::min(count, size_ - std::min(offset_, size_));
        std::string taken(reinterpret_cast<const char*>(data_ + offset_), available);
        offset_ += available;
        return taken;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// One value of a raw SQL statement.
struct SqlValue {
    enum class Kind { Null, Integer, Real, Text, Blob };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;

    static SqlValue ofInteger(std::int64_t value) { return {Kind::Integer, value, 0, {}}; }
    static SqlValue ofReal(double value) { return {Kind::Real, 0, value, {}}; }
    static SqlValue ofText(std::string value) { return {Kind::Text, 0, 0, std::move(value)}; }
    static SqlValue ofBlob(std::string value) { return {Kind::Blob, 0, 0, std::move(value)}; }
};

// A value of any SQL type: the edges of the integer and real ranges, texts that SQLite's column
// affinities turn into numbers, entity names, arbitrary texts (not always UTF-8) and blobs.
SqlValue readValue(ByteReader& reader) {
    static const std::int64_t kIntegers[] = {
            0,
            1,
            -1,
            2,
            1'000'000,
            1'000'001,
            std::numeric_limits<std::int32_t>::max(),
            std::numeric_limits<std::int32_t>::min(),
            std::int64_t{1} << 31,
            std::int64_t{1} << 32,
            (std::int64_t{1} << 32) + 1,
            -(std::int64_t{1} << 32) + 1,
            (std::int64_t{1} << 53) + 1,
            std::numeric_limits<std::int64_t>::max(),
            std::numeric_limits<std::int64_t>::max() - 1,
            std::numeric_limits<std::int64_t>::min(),
    };
    static const double kReals[] = {0.5,
                                    -0.0,
                                    1.5,
                                    1e308,
                                    -1e308,
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    9.3e18,
                                    -9.3e18,
                                    9223372036854775808.0,
                                    5e-324,
                                    4294967297.0};
    static const char* const kNumericTexts[] = {
            "12", "1e999", "-1e999", "0x10", "9223372036854775808", " 7", "1.0", "NaN", "", "-0"};
    switch (reader.byte() % 10) {
        case 0:
            return {};
        case 1:
            return SqlValue::ofInteger(static_cast<std::int8_t>(reader.byte()));
        case 2:
            return SqlValue::ofInteger(kIntegers[reader.index(std::size(kIntegers))]);
        case 3:
            return SqlValue::ofInteger(static_cast<std::int64_t>(reader.quad()));
        case 4:
            return SqlValue::ofReal(kReals[reader.index(std::size(kReals))]);
        case 5: {
            const std::uint64_t bits = reader.quad();
            double value = 0;
            std::memcpy(&value, &bits, sizeof value);
            return SqlValue::ofReal(value);  // SQLite stores a NaN as NULL
        }
        case 6:
            return SqlValue::ofText(reader.bytes(reader.byte() % 32));
        case 7:
            return SqlValue::ofBlob(reader.bytes(reader.byte() % 32));
        case 8: {
            std::string name = model().entities()[reader.index(model().entities().size())]->name();
            if (reader.byte() % 4 == 0) {
                name[0] = static_cast<char>(name[0] ^ 0x20);  // the other case
            }
            return SqlValue::ofText(std::move(name));
        }
        default:
            return SqlValue::ofText(kNumericTexts[reader.index(std::size(kNumericTexts))]);
    }
}

void bindValue(sqlite3_stmt* statement, int position, const SqlValue& value) {
    switch (value.kind) {
        case SqlValue::Kind::Null:
            sqlite3_bind_null(statement, position);
            break;
        case SqlValue::Kind::Integer:
            sqlite3_bind_int64(statement, position, value.integer);
            break;
        case SqlValue::Kind::Real:
            sqlite3_bind_double(statement, position, value.real);
            break;
        case SqlValue::Kind::Text:
            sqlite3_bind_text64(statement, position, value.bytes.data(), value.bytes.size(),
                                SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        case SqlValue::Kind::Blob:
            // A non-null pointer keeps an empty blob a blob.
            sqlite3_bind_blob64(statement, position, value.bytes.empty() ? "" : value.bytes.data(),
                                value.bytes.size(), SQLITE_TRANSIENT);
            break;
    }
}

// With LD_STOREFILE_FUZZ_TRACE set, every change a program makes is printed (to read a finding).
void trace(const std::string& sql, const std::vector<SqlValue>& parameters) {
    static const bool kEnabled = std::getenv("LD_STOREFILE_FUZZ_TRACE") != nullptr;
    if (!kEnabled) {
        return;
    }
    std::string line = sql;
    for (const SqlValue& value : parameters) {
        switch (value.kind) {
            case SqlValue::Kind::Null:
                line += " [NULL]";
                break;
            case SqlValue::Kind::Integer:
                line += " [" + std::to_string(value.integer) + "]";
                break;
            case SqlValue::Kind::Real:
                line += " [real " + std::to_string(value.real) + "]";
                break;
            case SqlValue::Kind::Text:
                line += " [text '" + value.bytes + "']";
                break;
            case SqlValue::Kind::Blob:
                line += " [blob of " + std::to_string(value.bytes.size()) + " bytes]";
                break;
        }
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

// Runs one statement with its parameters; failures (constraints, type mismatches) are part of the
// game and ignored.
void run(sqlite3* connection, const std::string& sql, const std::vector<SqlValue>& parameters) {
    trace(sql, parameters);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return;
    }
    for (std::size_t index = 0; index < parameters.size(); ++index) {
        bindValue(statement, static_cast<int>(index) + 1, parameters[index]);
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
    }
    sqlite3_finalize(statement);
}

std::int64_t queryInteger(sqlite3* connection, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    std::int64_t value = 0;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    return value;
}

std::string sqlName(const std::string& identifier) {
    return "\"" + identifier + "\"";
}

// The first entity that can have objects among `base` and its descendants.
const LdEntityDescription* concreteKindOf(const LdEntityDescription* base) {
    if (!base->isAbstract()) {
        return base;
    }
    for (const LdEntityDescription* descendant : base->allDescendants()) {
        if (!descendant->isAbstract()) {
            return descendant;
        }
    }
    return base;
}

LdValue sampleValue(LdAttributeType type, int seed) {
    switch (type) {
        case LdAttributeType::Integer16:
        case LdAttributeType::Integer32:
            return LdValue(seed * 7 - 3);
        case LdAttributeType::Integer64:
            return LdValue(std::int64_t{1} << 40 | seed);
        case LdAttributeType::Decimal:
            return LdValue(*LdDecimal::fromString(std::to_string(seed) + ".25"));
        case LdAttributeType::Double:
        case LdAttributeType::Float:
            return LdValue(seed + 0.5);
        case LdAttributeType::String:
            return LdValue("Text " + std::to_string(seed));
        case LdAttributeType::Boolean:
            return LdValue(seed % 2 == 0);
        case LdAttributeType::Date:
            return LdValue(LdDate::fromReferenceSeconds(700000000.5 + seed));
        case LdAttributeType::Binary:
            return LdValue(LdData{0, 1, static_cast<std::uint8_t>(seed), 255});
        case LdAttributeType::Transformable:
            return LdValue();
    }
    return LdValue();
}

// The template's keys of each concrete entity, in the order they were written.
using TemplateKeys = std::map<const LdEntityDescription*, std::vector<std::uint64_t>>;

// A row with a sample value in every attribute and, in every to-one and many-to-many relationship,
// the template row number `round` (0 or 1) of the destination's first concrete entity.
LdStoreRow sampleRow(const LdCryptStore& store,
                     const LdObjectID& objectID,
                     const TemplateKeys& keys,
                     std::size_t round,
                     int seed) {
    LdStoreRow row = LdStoreRow::forObjectID(objectID);
    for (const LdAttributeDescription* attribute : objectID.entity()->attributes()) {
        if (!attribute->isTransient()) {
            row.values[attribute->propertyNumber()] =
                    sampleValue(attribute->attributeType(), seed++);
        }
    }
    for (const LdRelationshipDescription* relationship : objectID.entity()->relationships()) {
        const LdEntityDescription* destination = concreteKindOf(relationship->destinationEntity());
        const LdObjectID target =
                store.objectIDForEntity(destination, keys.at(destination).at(round));
        if (relationship->isToOne()) {
            row.toOne[relationship->propertyNumber()] = target;
        } else if (relationship->isManyToMany()) {
            row.toMany[relationship->propertyNumber()] = {target};
        }
    }
    return row;
}

// The to-many sides of inserted rows follow from the other sides (ordered ones need the list).
void fillToManySides(std::vector<LdStoreRow>& rows) {
    for (LdStoreRow& row : rows) {
        for (const LdRelationshipDescription* relationship :
             row.objectID.entity()->relationships()) {
            const LdRelationshipDescription* inverse = relationship->inverseRelationship();
            if (relationship->isToOne() || relationship->isManyToMany() || inverse == nullptr) {
                continue;
            }
            std::vector<LdObjectID> targets;
            for (const LdStoreRow& other : rows) {
                if (other.objectID.entity()->isKindOfEntity(inverse->entity()) &&
                    other.toOne[inverse->propertyNumber()] == row.objectID) {
                    targets.insert(targets.begin(), other.objectID);
                }
            }
            row.toMany[relationship->propertyNumber()] = targets;
        }
    }
}

struct TableInfo {
    std::string name;
    std::vector<std::string> columns;
};

// The template file and what the programs address in it, made once per process in a folder of
// its own under the temporary folder (removed at exit).
class Fixture {
public:
    Fixture() {
        LdUserDefaults::setStandard(defaults_.get());
        folder_ = std::filesystem::temp_directory_path() /
                  ("ld-storefile-fuzz-" + std::to_string(::getpid()));
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        std::filesystem::create_directories(folder_);
        writeTemplate();
        readCatalog();
    }
    ~Fixture() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        LdUserDefaults::setStandard(nullptr);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    const std::filesystem::path& templatePath() const { return templatePath_; }
    const std::filesystem::path& folder() const { return folder_; }
    const std::string& metadataArchive() const { return metadataArchive_; }
    const std::vector<TableInfo>& tables() const { return tables_; }
    const std::vector<const LdEntityDescription*>& concreteEntities() const {
        return concreteEntities_;
    }
    const TemplateKeys& keys() const { return keys_; }

private:
    void writeTemplate() {
        templatePath_ = folder_ / "template.ldb";
        LdCryptStore store(templatePath_, {});
        require(store.loadMetadata(), "template store created");
        LdValue::Dictionary metadata = store.metadata();
        metadata[kLdStoreModelVersionIdentifiersKey] = LdValue::array({"4992"});
        metadata[kLdStoreModelVersionHashesKey] = LdValue(model().versionHashes());
        store.setMetadata(metadata);

        for (const LdEntityDescription* entity : model().entities()) {
            if (!entity->isAbstract()) {
                concreteEntities_.push_back(entity);
            }
        }
        // Two rows per concrete entity; the rows of round n point at the n-th row of their
        // targets' entities.
        std::vector<LdObjectID> objectIDs;
        for (int round = 0; round < 2; ++round) {
            for (const LdEntityDescription* entity : concreteEntities_) {
                const std::optional<LdObjectID> objectID = store.obtainPermanentIDForEntity(entity);
                require(objectID.has_value(), "template key");
                objectIDs.push_back(*objectID);
                keys_[entity].push_back(objectID->primaryKey());
            }
        }
        std::vector<LdStoreRow> rows;
        int seed = 0;
        for (std::size_t index = 0; index < objectIDs.size(); ++index) {
            rows.push_back(sampleRow(store, objectIDs[index], keys_,
                                     index / concreteEntities_.size(), seed));
            seed += 40;
        }
        fillToManySides(rows);
        LdStoreChangeSet changes;
        changes.inserted = rows;
        require(store.saveChanges(changes), "template rows saved");
        require(store.closeDatabase(), "template store closed");
    }

    void readCatalog() {
        sqlite3* connection = nullptr;
        require(sqlite3_open_v2(templatePath_.c_str(), &connection, SQLITE_OPEN_READONLY,
                                nullptr) == SQLITE_OK,
                "template opened");
        sqlite3_stmt* statement = nullptr;
        require(sqlite3_prepare_v2(connection, "SELECT plist FROM T_METADATA;", -1, &statement,
                                   nullptr) == SQLITE_OK,
                "template metadata query");
        require(sqlite3_step(statement) == SQLITE_ROW, "template metadata row");
        metadataArchive_.assign(static_cast<const char*>(sqlite3_column_blob(statement, 0)),
                                static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
        sqlite3_finalize(statement);

        // Entity and join tables; the numbering and the metadata have programs of their own.
        require(sqlite3_prepare_v2(connection,
                                   "SELECT name FROM sqlite_master WHERE type='table' AND name NOT "
                                   "LIKE 'sqlite%' AND name NOT LIKE 'T\\_%' ESCAPE '\\' "
                                   "ORDER BY name;",
                                   -1, &statement, nullptr) == SQLITE_OK,
                "template table query");
        while (sqlite3_step(statement) == SQLITE_ROW) {
            tables_.push_back(
                    {reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), {}});
        }
        sqlite3_finalize(statement);
        for (TableInfo& table : tables_) {
            require(sqlite3_prepare_v2(connection,
                                       ("PRAGMA table_info(" + sqlName(table.name) + ");").c_str(),
                                       -1, &statement, nullptr) == SQLITE_OK,
                    "template column query");
            while (sqlite3_step(statement) == SQLITE_ROW) {
                table.columns.emplace_back(
                        reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(connection);
        require(!tables_.empty() && !metadataArchive_.empty(), "template catalog");
    }

    std::unique_ptr<LdUserDefaults> defaults_ = LdUserDefaults::inMemory();
    std::filesystem::path folder_;
    std::filesystem::path templatePath_;
    std::string metadataArchive_;
    std::vector<TableInfo> tables_;
    std::vector<const LdEntityDescription*> concreteEntities_;
    TemplateKeys keys_;
};

const Fixture& fixture() {
    static const Fixture kFixture;
    return kFixture;
}

// "WHERE rowid = <the n-th row's rowid>" for a row chosen modulo the table's row count.
std::string nthRow(sqlite3* connection, const std::string& table, ByteReader& reader) {
    const std::int64_t count = queryInteger(connection, "SELECT COUNT(*) FROM " + table + ";");
    const std::size_t offset =
            reader.index(static_cast<std::size_t>(std::max<std::int64_t>(count, 1)));
    return " WHERE rowid = (SELECT rowid FROM " + table + " ORDER BY rowid LIMIT 1 OFFSET " +
           std::to_string(offset) + ")";
}

// Applies the input's program to an open copy of the template. Each step starts with a byte
// choosing the operation (modulo 9):
//   0 metadata: the next byte's count of input bytes as the blob
//   1 metadata: the real archive with 1-8 bits flipped (two position bytes, one bit byte each)
//   2 metadata: the real archive cut short, spliced with input bytes, a value of another type,
//     no row, or a second row read first
//   3 numbering: one column (Z_ENT, Z_NAME, Z_SUPER) of one row set to a value
//   4 numbering: one row deleted
//   5 numbering: a row added or replaced (three values)
//   6 entity or join table: one column of one row set to a value
//   7 entity or join table: one row deleted, or a row of only a key (a value) added
//   8 entity or join table: the whole table emptied, or one column set to one value in every row
// Values: see readValue. At most 48 steps.
void applyProgram(sqlite3* connection, ByteReader& reader) {
    const Fixture& setup = fixture();
    const std::string& archive = setup.metadataArchive();
    const auto setMetadata = [&](SqlValue value) {
        run(connection, "UPDATE T_METADATA SET plist = ?;", {std::move(value)});
    };
    const auto table = [&]() -> const TableInfo& {
        return setup.tables()[reader.index(setup.tables().size())];
    };
    for (int step = 0; step < 48 && !reader.atEnd(); ++step) {
        switch (reader.byte() % 9) {
            case 0:
                setMetadata(SqlValue::ofBlob(reader.bytes(reader.byte())));
                break;
            case 1: {
                std::string flipped = archive;
                const int flips = reader.byte() % 8 + 1;
                for (int flip = 0; flip < flips; ++flip) {
                    const std::size_t position = reader.word() % flipped.size();
                    flipped[position] =
                            static_cast<char>(flipped[position] ^ (1 << (reader.byte() % 8)));
                }
                setMetadata(SqlValue::ofBlob(std::move(flipped)));
                break;
            }
            case 2:
                switch (reader.byte() % 5) {
                    case 0:
                        setMetadata(SqlValue::ofBlob(
                                archive.substr(0, reader.word() % archive.size())));
                        break;
                    case 1: {
                        std::string spliced = archive;
                        const std::size_t position = reader.word() % spliced.size();
                        const std::string insert = reader.bytes(reader.byte() % 16);
                        spliced.replace(position,
                                        std::min(insert.size(), spliced.size() - position), insert);
                        setMetadata(SqlValue::ofBlob(std::move(spliced)));
                        break;
                    }
                    case 2:
                        setMetadata(readValue(reader));
                        break;
                    case 3:
                        run(connection, "DELETE FROM T_METADATA;", {});
                        break;
                    default:
                        run(connection, "INSERT INTO T_METADATA (rowid, plist) VALUES (-1, ?);",
                            {readValue(reader)});
                        break;
                }
                break;
            case 3: {
                static const char* const kColumns[] = {"Z_ENT", "Z_NAME", "Z_SUPER"};
                const std::string where = nthRow(connection, "T_PRIMARYKEY", reader);
                const char* column = kColumns[reader.index(3)];
                run(connection,
                    std::string("UPDATE T_PRIMARYKEY SET ") + column + " = ?" + where + ";",
                    {readValue(reader)});
                break;
            }
            case 4:
                run(connection,
                    "DELETE FROM T_PRIMARYKEY" + nthRow(connection, "T_PRIMARYKEY", reader) + ";",
                    {});
                break;
            case 5: {
                SqlValue number = readValue(reader);
                SqlValue name = readValue(reader);
                run(connection,
                    "INSERT OR REPLACE INTO T_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER) VALUES (?, ?, "
                    "?);",
                    {std::move(number), std::move(name), readValue(reader)});
                break;
            }
            case 6: {
                const TableInfo& chosen = table();
                const std::string name = sqlName(chosen.name);
                const std::string where = nthRow(connection, name, reader);
                const std::string& column = chosen.columns[reader.index(chosen.columns.size())];
                run(connection, "UPDATE " + name + " SET " + sqlName(column) + " = ?" + where + ";",
                    {readValue(reader)});
                break;
            }
            case 7: {
                const TableInfo& chosen = table();
                const std::string name = sqlName(chosen.name);
                if (reader.byte() % 2 == 0) {
                    run(connection, "DELETE FROM " + name + nthRow(connection, name, reader) + ";",
                        {});
                } else {
                    run(connection, "INSERT INTO " + name + " (rowid) VALUES (?);",
                        {readValue(reader)});
                }
                break;
            }
            default: {
                const TableInfo& chosen = table();
                const std::string name = sqlName(chosen.name);
                if (reader.byte() % 4 == 0) {
                    run(connection, "DELETE FROM " + name + ";", {});
                } else {
                    const std::string& column = chosen.columns[reader.index(chosen.columns.size())];
                    run(connection, "UPDATE " + name + " SET " + sqlName(column) + " = ?;",
                        {readValue(reader)});
                }
                break;
            }
        }
    }
}

// The numbering rows the store must have taken from the file: numbers from 1 with a name, in
// ascending order.
std::vector<LdCryptStorePrimaryKey> fileNumbering(const std::filesystem::path& path) {
    std::vector<LdCryptStorePrimaryKey> numbering;
    sqlite3* connection = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(path.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(connection,
                           "SELECT Z_ENT, Z_NAME, Z_SUPER FROM T_PRIMARYKEY ORDER BY Z_ENT;", -1,
                           &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const std::int64_t number = sqlite3_column_int64(statement, 0);
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
            if (number >= 1 && name != nullptr && *name != '\0') {
                numbering.push_back({static_cast<int>(number), name,
                                     static_cast<int>(sqlite3_column_int64(statement, 2))});
            }
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(connection);
    return numbering;
}

// What faulting gave for each object: its node, or nothing where it failed.
using FaultResults = std::map<LdObjectID, std::optional<LdStoreNode>>;

bool sameNodes(const std::optional<LdStoreNode>& first, const std::optional<LdStoreNode>& second) {
    if (!first || !second) {
        return first.has_value() == second.has_value();
    }
    return first->values == second->values && first->version == second->version;
}

// Faults keys 1-5 and the template keys of every entity with every relationship.
FaultResults faultEverything(LdCryptStore& store, const TemplateKeys& keys) {
    FaultResults results;
    for (const LdEntityDescription* entity : model().entities()) {
        std::vector<std::uint64_t> faultKeys{1, 2, 3, 4, 5};
        if (auto found = keys.find(entity); found != keys.end()) {
            faultKeys.insert(faultKeys.end(), found->second.begin(), found->second.end());
        }
        for (std::uint64_t key : faultKeys) {
            const LdObjectID objectID = store.objectIDForEntity(entity, key);
            LdError error;
            const std::optional<LdStoreNode> node = store.valuesForObjectWithID(objectID, &error);
            require(node.has_value() ? node->values.size() == entity->propertyCount()
                                     : error.isSet(),
                    "faulting gives every property or an error");
            results[objectID] = std::nullopt;
            for (const LdRelationshipDescription* relationship : entity->relationships()) {
                LdError relationshipError;
                const auto targets =
                        store.valueForRelationship(relationship, objectID, &relationshipError);
                require(targets.has_value() || relationshipError.isSet(),
                        "relationship failure has an error");
                for (const LdObjectID& target : targets.value_or(std::vector<LdObjectID>())) {
                    require(target.entity() != nullptr, "relationship targets have an entity");
                    require(!kCheckTargetEntities || target.entity()->isKindOfEntity(
                                                             relationship->destinationEntity()),
                            "relationship targets are of the destination entity");
                }
            }
        }
    }
    // Again, now that relationship faults have filled the properties cache.
    for (auto& [objectID, node] : results) {
        node = store.valuesForObjectWithID(objectID);
    }
    return results;
}

// Saves one new row of `saveEntity`, then an update of its first template row with a delete of
// its second.
void saveSampleChanges(LdCryptStore& store,
                       const LdEntityDescription* saveEntity,
                       const TemplateKeys& keys) {
    LdError error;
    const std::optional<LdObjectID> objectID = store.obtainPermanentIDForEntity(saveEntity, &error);
    require(objectID.has_value() || error.isSet(), "key failure has an error");
    if (objectID) {
        LdStoreRow row = sampleRow(store, *objectID, keys, 0, 7);
        for (const LdRelationshipDescription* relationship : saveEntity->relationships()) {
            if (relationship->isToMany() && relationship->isOrdered() &&
                !relationship->isManyToMany()) {
                const LdEntityDescription* destination =
                        concreteKindOf(relationship->destinationEntity());
                row.toMany[relationship->propertyNumber()] = {
                        store.objectIDForEntity(destination, keys.at(destination).front())};
            }
        }
        LdStoreChangeSet changes;
        changes.inserted.push_back(row);
        error = LdError();
        if (store.saveChanges(changes, &error)) {
            LdError readError;
            require(store.valuesForObjectWithID(*objectID, &readError).has_value(),
                    "saved row reads back");
        } else {
            require(error.isSet(), "insert failure has an error");
        }
    }

    const std::vector<std::uint64_t>& ownKeys = keys.at(saveEntity);
    LdStoreRow update =
            sampleRow(store, store.objectIDForEntity(saveEntity, ownKeys.front()), keys, 1, 11);
    for (const LdPropertyDescription* property : saveEntity->properties()) {
        update.markChanged(property->propertyNumber());
    }
    LdStoreChangeSet changes;
    changes.updated.push_back(update);
    changes.deleted.push_back(store.objectIDForEntity(saveEntity, ownKeys.back()));
    error = LdError();
    require(store.saveChanges(changes, &error) || error.isSet(), "update failure has an error");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Fixture& setup = fixture();
    ByteReader reader(data, size);
    const LdEntityDescription* saveEntity =
            setup.concreteEntities()[reader.index(setup.concreteEntities().size())];

    const std::filesystem::path path = setup.folder() / "work.ldb";
    std::error_code copyError;
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        std::filesystem::remove(path.string() + suffix, copyError);
    }
    std::filesystem::copy_file(setup.templatePath(), path,
                               std::filesystem::copy_options::overwrite_existing, copyError);
    require(!copyError, "template copied");

    sqlite3* connection = nullptr;
    require(sqlite3_open_v2(path.c_str(), &connection, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK,
            "copy opened");
    sqlite3_exec(connection, "PRAGMA synchronous = OFF; BEGIN;", nullptr, nullptr, nullptr);
    applyProgram(connection, reader);
    sqlite3_exec(connection, "COMMIT;", nullptr, nullptr, nullptr);
    require(sqlite3_close(connection) == SQLITE_OK, "copy closed");

    bool passwordCorrect = false;
    LdError metadataError;
    const auto metadata =
            LdCryptStore::metadataForCryptStoreAtURL(path, "", &passwordCorrect, &metadataError);
    require(metadata.has_value() || metadataError.isSet(), "metadata failure has an error");

    LdError inspectError;
    const auto report = LdCryptStore::inspectStoreAtURL(path, "", &inspectError);
    require(report.has_value() || inspectError.isSet(), "inspection failure has an error");
    if (report) {
        (void)report->debugDescription();
    }

    FaultResults faulted;
    {
        LdCryptStore store(path, {});
        LdError loadError;
        if (!store.loadMetadata(&loadError)) {
            require(loadError.isSet() && !store.isOpen(), "load failure has an error and closes");
            return 0;
        }
        require(store.isOpen() && store.schema() != nullptr, "loaded store is open with a schema");
        require(!kCheckNumbering || store.schema()->numbering() == fileNumbering(path),
                "loaded numbering is the file's");
        // One lock for the whole run instead of one per statement: the same reads, far fewer
        // system calls.
        sqlite3_exec(store.database(), "PRAGMA locking_mode = EXCLUSIVE;", nullptr, nullptr,
                     nullptr);
        faulted = faultEverything(store, setup.keys());
    }

    // A second store reads every object straight from the file: what the first one answered (from
    // its properties cache where relationship faults had filled it) must be the same.
    LdCryptStore store(path, {});
    LdError loadError;
    require(store.loadMetadata(&loadError), "a loaded file loads again");
    for (const auto& [objectID, node] : faulted) {
        LdError error;
        require(!kCheckTargetEntities ||
                        sameNodes(node, store.valuesForObjectWithID(objectID, &error)),
                "faulting gives the same values with and without the properties cache");
    }
    saveSampleChanges(store, saveEntity, setup.keys());
    return 0;
}
