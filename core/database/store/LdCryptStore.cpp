// LdCryptStore: opening, metadata, saving and faulting of the store file.
//
//   Closed -> Open       [openDatabase: folder, open, key, legacy retry, functions, pragmas]
//   Open   -> Loaded     [loadMetadata: new file gets tables; existing file gives numbering]
//   Open   -> Closed     [loadMetadata failure, closeDatabase, destructor]
//   Loaded -> Loaded     [saveChanges in one "BEGIN EXCLUSIVE;" transaction]
//   Loaded -> Loaded     [changePasswordTo: export, close, swap files, reopen (old file on
//   failure)]
#include "core/database/store/LdCryptStore.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include "core/database/store/LdCryptStoreFetchTranslator.h"
#include "core/database/store/LdCryptStoreStringFunctions.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/LdLogger.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/platform/LdUserDefaults.h"
#include "core/support/plist/LdKeyedArchive.h"

namespace {

constexpr int kPageSize = 1024;
constexpr int kCacheSize = 8192;
constexpr std::size_t kMaxPropertiesCacheSize = 1000;
constexpr std::size_t kAvgPropertiesCacheSize = 500;
constexpr std::size_t kMaxCachedRowsPerFetch = 10'000;
constexpr std::uint64_t kInsertsBeforeAnalyze = 10'000;
const char* const kPasswordTestQuery =
        "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='dummyTable';";

LdError storeError(const std::string& text) {
    return LdError::errorWithTitle(text, text);
}

bool sqlDebugEnabled() {
    static const bool kEnabled =
            LdUserDefaults::standard().boolForKey("com.apple.CoreData.SQLDebug");
    return kEnabled;
}

// Finalizes a statement it owns when it goes out of scope.
class StatementGuard {
public:
    explicit StatementGuard(sqlite3_stmt* statement) : statement_(statement) {}
    ~StatementGuard() { sqlite3_finalize(statement_); }
    StatementGuard(const StatementGuard&) = delete;
    StatementGuard& operator=(const StatementGuard&) = delete;
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_;
};

LdError sqliteError(sqlite3* database, int fallbackCode) {
    if (auto error = LdCryptStore::sqlliteDatabaseErrorForDatabase(database)) {
        return *error;
    }
    return LdError::errorWithTitle("SQLite error", "SQLite error", kLdSQLiteErrorDomain,
                                   fallbackCode);
}

void closeConnection(sqlite3* connection) {
    if (connection != nullptr && sqlite3_close(connection) != SQLITE_OK) {
        LdLogger::shared().logError("Error while closing SQL Cipher database");
        LdLogger::shared().logError(std::string("error: ") + sqlite3_errmsg(connection));
        sqlite3_close_v2(connection);
    }
}

// Connections keyed with a password; each costs one key derivation when it first reads.
std::atomic<std::uint64_t> keyedConnections{0};

bool keyConnection(sqlite3* connection, const std::string& password) {
    if (password.empty()) {
        return true;
    }
    keyedConnections.fetch_add(1, std::memory_order_relaxed);
    return sqlite3_key(connection, password.data(), static_cast<int>(password.size())) == SQLITE_OK;
}

// Opens a connection; `connection` is null afterwards on failure.
bool openRaw(const std::filesystem::path& path, sqlite3** connection, bool readOnly = false) {
    *connection = nullptr;
    const int result = sqlite3_open_v2(
            path.c_str(), connection,
            // The store's own mutex serialises every use of a
            // connection, so SQLite's per-call locking is not needed.
            (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX,
            nullptr);
    if (result != SQLITE_OK) {
        sqlite3_close(*connection);  // a handle may exist even when opening failed
        *connection = nullptr;
        return false;
    }
    return true;
}

bool simpleExecute(sqlite3* connection, const char* sql) {
    return sqlite3_exec(connection, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The password test of an open connection: the file can be read with its key.
bool connectionReadsFile(sqlite3* connection) {
    sqlite3_stmt* raw = LdCryptStore::preparedStatementForQuery(kPasswordTestQuery, connection);
    if (raw == nullptr) {
        return false;
    }
    StatementGuard statement(raw);
    return sqlite3_step(raw) == SQLITE_ROW;
}

// The class-level test: at least one table can be read.
bool connectionHasTables(sqlite3* connection, LdError* error) {
    sqlite3_stmt* raw = LdCryptStore::preparedStatementForQuery(
            "SELECT COUNT(*) FROM sqlite_master;", connection);
    if (raw == nullptr) {
        return failWith(error, sqliteError(connection, SQLITE_NOTADB));
    }
    StatementGuard statement(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) {
        return failWith(error, sqliteError(connection, SQLITE_NOTADB));
    }
    if (sqlite3_column_int64(raw, 0) <= 0) {
        return failWith(error, LdError::errorWithTitle("not a database", "not a database",
                                                       kLdSQLiteErrorDomain, SQLITE_NOTADB));
    }
    return true;
}

// Opens and keys a separate connection for the class operations; retries with the legacy
// iteration count when the first test fails.
sqlite3* openForClassOperation(const std::filesystem::path& path,
                               const std::string& password,
                               bool* passwordCorrect,
                               const char* legacyLogLine,
                               LdError* error) {
    sqlite3* connection = nullptr;
    if (!openRaw(path, &connection) || !keyConnection(connection, password)) {
        closeConnection(connection);
        return nullptr;
    }
    if (connectionHasTables(connection, nullptr)) {
        return connection;
    }
    closeConnection(connection);
    if (!openRaw(path, &connection) || !keyConnection(connection, password)) {
        closeConnection(connection);
        return nullptr;
    }
    simpleExecute(connection, "PRAGMA kdf_iter = 4000;");
    if (!connectionHasTables(connection, error)) {
        closeConnection(connection);
        if (passwordCorrect != nullptr) {
            *passwordCorrect = false;
        }
        return nullptr;
    }
    LdLogger::shared().log(legacyLogLine, 1);
    return connection;
}

std::optional<LdValue::Dictionary> readMetadata(sqlite3* connection, LdError* error) {
    sqlite3_stmt* raw = LdCryptStore::preparedStatementForQuery(
            std::string("SELECT plist FROM ") + kLdCryptStoreMetadataTable + " LIMIT 1;",
            connection);
    if (raw == nullptr) {
        failWith(error, sqliteError(connection, SQLITE_ERROR));
        return std::nullopt;
    }
    StatementGuard statement(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) {
        failWith(error, sqliteError(connection, SQLITE_NOTFOUND));
        return std::nullopt;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(raw, 0));
    const int size = sqlite3_column_bytes(raw, 0);
    LdData data(bytes, bytes + (bytes != nullptr ? size : 0));
    static const std::set<std::string> kAllowed{"NSDictionary", "NSString", "NSNumber", "NSArray",
                                                "NSData"};
    auto value = LdKeyedUnarchiver::unarchivedObjectOfClasses(kAllowed, data, error);
    if (!value) {
        return std::nullopt;
    }
    if (!value->isDictionary()) {
        failWith(error, storeError("store metadata is no dictionary"));
        return std::nullopt;
    }
    return value->dictionaryValue();
}

// Binds one attribute value, checked against the attribute's type. Returns false for a value
// that cannot be stored in the column (wrong kind, NaN, nested values).
bool bindAttribute(sqlite3_stmt* statement,
                   int position,
                   const LdValue& value,
                   LdAttributeType type) {
    if (value.isNull()) {
        return sqlite3_bind_null(statement, position) == SQLITE_OK;
    }
    switch (type) {
        case LdAttributeType::Integer16:
        case LdAttributeType::Integer32:
        case LdAttributeType::Integer64:
        case LdAttributeType::Boolean:
            if (value.isInteger() || value.isBool()) {
                return sqlite3_bind_int64(statement, position, value.integerValue()) == SQLITE_OK;
            }
            if (value.isReal() && std::isfinite(value.doubleValue()) &&
                value.doubleValue() == std::trunc(value.doubleValue()) &&
                std::fabs(value.doubleValue()) < 9.2e18) {
                return sqlite3_bind_int64(statement, position, value.integerValue()) == SQLITE_OK;
            }
            return false;
        case LdAttributeType::Decimal:
        case LdAttributeType::Double:
        case LdAttributeType::Float: {
            if (!value.isNumber() && !value.isDecimal()) {
                return false;
            }
            const double number =
                    value.isDecimal() ? value.decimalValue().toDouble() : value.doubleValue();
            if (!std::isfinite(number)) {
                return false;
            }
            return sqlite3_bind_double(statement, position, number) == SQLITE_OK;
        }
        case LdAttributeType::String:
            if (!value.isString()) {
                return false;
            }
            return sqlite3_bind_text64(statement, position, value.stringValue().data(),
                                       value.stringValue().size(), SQLITE_TRANSIENT,
                                       SQLITE_UTF8) == SQLITE_OK;
        case LdAttributeType::Date:
            if (!value.isDate()) {
                return false;
            }
            return sqlite3_bind_double(statement, position, value.dateValue().unixSeconds()) ==
                   SQLITE_OK;
        case LdAttributeType::Binary:
            if (!value.isData()) {
                return false;
            }
            // An empty blob needs a non-null pointer to stay a blob rather than NULL.
            return sqlite3_bind_blob64(statement, position,
                                       value.dataValue().empty()
                                               ? ""
                                               : static_cast<const void*>(value.dataValue().data()),
                                       value.dataValue().size(), SQLITE_TRANSIENT) == SQLITE_OK;
        case LdAttributeType::Transformable:
            return false;
    }
    return false;
}

LdValue readAttribute(sqlite3_stmt* statement, int column, LdAttributeType type) {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) {
        return LdValue();
    }
    switch (type) {
        case LdAttributeType::Integer16:
        case LdAttributeType::Integer32:
        case LdAttributeType::Integer64:
            return LdValue(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
        case LdAttributeType::Boolean:
            return LdValue(sqlite3_column_int64(statement, column) != 0);
        case LdAttributeType::Decimal:
            // Through the double's shortest round-trip text, so 0.1 reads as 0.1.
            return LdValue(LdDecimal::fromDouble(sqlite3_column_double(statement, column)));
        case LdAttributeType::Double:
        case LdAttributeType::Float:
            return LdValue(sqlite3_column_double(statement, column));
        case LdAttributeType::String: {
            const auto* text =
                    reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            const int size = sqlite3_column_bytes(statement, column);
            return LdValue(std::string(text != nullptr ? text : "",
                                       static_cast<std::size_t>(text != nullptr ? size : 0)));
        }
        case LdAttributeType::Date:
            return LdValue(LdDate::fromUnixSeconds(sqlite3_column_double(statement, column)));
        case LdAttributeType::Binary: {
            const auto* bytes =
                    static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
            const int size = sqlite3_column_bytes(statement, column);
            return LdValue(LdData(bytes, bytes + (bytes != nullptr ? size : 0)));
        }
        case LdAttributeType::Transformable:
            return LdValue();
    }
    return LdValue();
}

bool bindKey(sqlite3_stmt* statement, int position, std::uint64_t key) {
    return sqlite3_bind_int64(statement, position, static_cast<sqlite3_int64>(key)) == SQLITE_OK;
}

LdError objectNotFound(const LdObjectID& objectID) {
    LdError error = storeError("object not found");
    error.addDebugInfo("entity", objectID.entity() != nullptr ? objectID.entity()->name() : "");
    error.addDebugInfo("primaryKey", static_cast<std::int64_t>(objectID.primaryKey()));
    return error;
}

}  // namespace

LdStoreRow LdStoreRow::forObjectID(const LdObjectID& objectID) {
    LdStoreRow row;
    row.objectID = objectID;
    const std::size_t count = objectID.entity() != nullptr ? objectID.entity()->propertyCount() : 0;
    row.values.resize(count);
    row.toOne.resize(count);
    row.toMany.resize(count);
    return row;
}

void LdStoreRow::markChanged(std::size_t propertyNumber) {
    if (changed.size() <= propertyNumber) {
        changed.resize(std::max(propertyNumber + 1, values.size()));
    }
    changed[propertyNumber] = true;
}

std::uint64_t LdCryptStore::keyedConnectionCount() {
    return keyedConnections.load(std::memory_order_relaxed);
}

LdCryptStore::LdCryptStore(std::filesystem::path path,
                           const LdValue::Dictionary& options,
                           const LdObjectModel& model)
    : path_(std::move(path)), model_(model) {
    if (auto found = options.find(kLdCryptStorePasswordOption); found != options.end()) {
        password_ = found->second.stringValue();
    }
    if (auto found = options.find(kLdCryptStoreReadOnlyOption); found != options.end()) {
        readOnly_ = found->second.boolValue();
    }
}

LdCryptStore::~LdCryptStore() {
    finalizeCachedStatements();
    closeConnection(database_);
}

std::string LdCryptStore::identifier() const {
    std::lock_guard lock(mutex_);
    auto found = metadata_.find(kLdStoreUUIDKey);
    return found != metadata_.end() ? found->second.stringValue() : std::string();
}

sqlite3_stmt* LdCryptStore::preparedStatementForQuery(const std::string& query, sqlite3* database) {
    if (database == nullptr) {
        return nullptr;
    }
    if (sqlDebugEnabled()) {
        LdLogger::shared().log("SQL DEBUG: " + query, 1);
    }
    sqlite3_stmt* statement = nullptr;
    const int result = sqlite3_prepare_v2(database, query.c_str(), static_cast<int>(query.size()),
                                          &statement, nullptr);
    if (result == SQLITE_OK) {
        return statement;
    }
    sqlite3_finalize(statement);
    // A wrong key shows as "not a database"; that is the password test's answer, not a fault.
    if (result != SQLITE_NOTADB) {
        LdLogger::shared().logError("STATEMENT ERROR " + std::to_string(result));
    }
    return nullptr;
}

std::optional<LdError> LdCryptStore::sqlliteDatabaseErrorForDatabase(sqlite3* database) {
    if (database == nullptr) {
        return std::nullopt;
    }
    const int code = sqlite3_errcode(database);
    if (code == SQLITE_OK) {
        return std::nullopt;
    }
    const std::string message = sqlite3_errmsg(database) != nullptr ? sqlite3_errmsg(database) : "";
    LdError error = LdError::errorWithTitle(
            "SQLite error", message.empty() ? "SQLite error" : message, kLdSQLiteErrorDomain, code);
    if (!message.empty()) {
        error.addDebugInfo(kLdCryptStoreErrorMessageKey, message);
    }
    return error;
}

bool LdCryptStore::openConnection(sqlite3** connection, LdError* error) const {
    if (!openRaw(path_, connection, readOnly_) || !keyConnection(*connection, password_)) {
        closeConnection(*connection);
        *connection = nullptr;
        LdLogger::shared().logError("Error: Failed to open database (" + path_.string() + ")");
        return failWith(error, storeError("Failed to open database"));
    }
    return true;
}

bool LdCryptStore::openDatabase(LdError* error) {
    std::lock_guard lock(mutex_);
    if (database_ != nullptr) {
        return true;
    }
    // Fixed order: folder, open, key, legacy retry, SQL functions, cache size, page size.
    std::error_code folderError;
    std::filesystem::create_directories(path_.parent_path(), folderError);
    sqlite3* connection = nullptr;
    if (!openConnection(&connection, error)) {
        return false;
    }
    if (!password_.empty() && !connectionReadsFile(connection)) {
        // Files written with 4,000 key-derivation iterations read only with that count.
        closeConnection(connection);
        if (!openConnection(&connection, error)) {
            return false;
        }
        simpleExecute(connection, "PRAGMA kdf_iter = 4000;");
        if (connectionReadsFile(connection)) {
            LdLogger::shared().log("running with old database mode …", 1);
        } else {
            // Back to the default settings; the wrong password shows when the metadata is read.
            closeConnection(connection);
            if (!openConnection(&connection, error)) {
                return false;
            }
        }
    }
    database_ = connection;
    if (!LdCryptStoreStringFunctions::registerCryptStoreFunctions(database_)) {
        return true;  // opening still succeeds, without the pragmas
    }
    simpleExecute(database_, ("PRAGMA cache_size = " + std::to_string(kCacheSize) + ";").c_str());
    int pageSize = 0;
    if (sqlite3_stmt* raw = preparedStatementForQuery("PRAGMA page_size;", database_)) {
        StatementGuard statement(raw);
        if (sqlite3_step(raw) == SQLITE_ROW) {
            pageSize = sqlite3_column_int(raw, 0);
        }
    }
    if (pageSize != 0 && pageSize != kPageSize) {
        // The new page size only takes effect through the vacuum.
        simpleExecute(database_, ("PRAGMA page_size = " + std::to_string(kPageSize) + ";").c_str());
        simpleExecute(database_, "VACUUM");
    }
    return true;
}

void LdCryptStore::finalizeCachedStatements() {
    insertStatements_.clear();
    for (auto& [sql, statement] : statements_) {
        sqlite3_finalize(statement);
    }
    statements_.clear();
}

bool LdCryptStore::closeDatabase() {
    std::lock_guard lock(mutex_);
    if (database_ == nullptr) {
        return true;
    }
    finalizeCachedStatements();
    if (sqlite3_close(database_) != SQLITE_OK) {
        LdLogger::shared().logError("Error while closing SQL Cipher database");
        LdLogger::shared().logError(std::string("error: ") + sqlite3_errmsg(database_));
        return false;
    }
    database_ = nullptr;
    return true;
}

bool LdCryptStore::isPasswordCorrect() {
    std::lock_guard lock(mutex_);
    return database_ != nullptr && connectionReadsFile(database_);
}

bool LdCryptStore::executeStatement(const std::string& sql, LdError* error) {
    sqlite3_stmt* raw = preparedStatementForQuery(sql, database_);
    if (raw == nullptr) {
        return failWith(error, sqliteError(database_, SQLITE_ERROR));
    }
    StatementGuard statement(raw);
    int result = sqlite3_step(raw);
    while (result == SQLITE_ROW) {
        result = sqlite3_step(raw);
    }
    if (result != SQLITE_DONE) {
        return failWith(error, sqliteError(database_, result));
    }
    return true;
}

sqlite3_stmt* LdCryptStore::cachedStatement(const std::string& sql, LdError* error) {
    if (auto found = statements_.find(sql); found != statements_.end()) {
        sqlite3_reset(found->second);
        sqlite3_clear_bindings(found->second);
        return found->second;
    }
    sqlite3_stmt* statement = preparedStatementForQuery(sql, database_);
    if (statement == nullptr) {
        failWith(error, sqliteError(database_, SQLITE_ERROR));
        return nullptr;
    }
    statements_.emplace(sql, statement);
    return statement;
}

bool LdCryptStore::loadMetadata(LdError* error) {
    std::lock_guard lock(mutex_);
    if (database_ == nullptr) {
        repairInterruptedPasswordChange();
    }
    if (!openDatabase(error)) {
        return false;
    }
    const auto fail = [this](LdError* out, LdError made) {
        finalizeCachedStatements();
        closeDatabase();
        return failWith(out, std::move(made));
    };
    sqlite3_stmt* raw = preparedStatementForQuery(
            std::string("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='") +
                    kLdCryptStoreMetadataTable + "';",
            database_);
    if (raw == nullptr) {
        // A wrong password ends here.
        return fail(error, sqliteError(database_, SQLITE_NOTADB));
    }
    bool exists = false;
    {
        StatementGuard statement(raw);
        if (sqlite3_step(raw) != SQLITE_ROW) {
            return fail(error, sqliteError(database_, SQLITE_ERROR));
        }
        exists = sqlite3_column_int64(raw, 0) > 0;
    }
    LdError loadError;
    const bool loaded = exists ? readExistingFile(&loadError) : createNewFile(&loadError);
    if (!loaded) {
        if (!exists && error == nullptr) {
            LdLogger::shared().logError("failed to create sql tables: " + loadError.description());
        }
        return fail(error, loadError);
    }
    // Without statistics SQLite drives joins from the unselective Z_ENT index.
    LdError analyzeError;
    if (!analyzeIfNeeded(/*force=*/false, &analyzeError)) {
        LdLogger::shared().logError("ANALYZE failed: " + analyzeError.description());
    }
    return true;
}

bool LdCryptStore::readExistingFile(LdError* error) {
    auto metadata = readMetadata(database_, error);
    if (!metadata) {
        return false;
    }
    std::vector<LdCryptStorePrimaryKey> numbering;
    {
        sqlite3_stmt* raw = preparedStatementForQuery(
                std::string("SELECT ") + kLdCryptStoreEntityColumn + ", " +
                        kLdCryptStoreNameColumn + ", " + kLdCryptStoreSuperColumn + " FROM " +
                        kLdCryptStorePrimaryKeyTable + " ORDER BY " + kLdCryptStoreEntityColumn +
                        " ASC;",
                database_);
        if (raw == nullptr) {
            return failWith(error, sqliteError(database_, SQLITE_ERROR));
        }
        StatementGuard statement(raw);
        int result = sqlite3_step(raw);
        for (; result == SQLITE_ROW; result = sqlite3_step(raw)) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
            const sqlite3_int64 number = sqlite3_column_int64(raw, 0);
            const sqlite3_int64 parent = sqlite3_column_int64(raw, 2);
            // Rows below 1 are skipped (as the numbering does); numbers beyond int are no
            // numbering this store wrote.
            if (number < 1) {
                continue;
            }
            if (number > 1'000'000 || parent < 0 || parent > 1'000'000) {
                return failWith(error, storeError("entity configuration invalid"));
            }
            numbering.push_back({static_cast<int>(number), name != nullptr ? name : "",
                                 static_cast<int>(parent)});
        }
        if (result != SQLITE_DONE) {
            return failWith(error, sqliteError(database_, result));
        }
    }
    if (!isModelCompatibleWithMetadata(model_, *metadata)) {
        return failWith(error, storeError("The database was written with another version of the "
                                          "data model."));
    }
    auto schema = LdCryptStoreSchema::schemaWithNumbering(model_, numbering, error);
    if (!schema) {
        return false;
    }
    metadata_ = std::move(*metadata);
    schema_ = std::move(schema);
    return true;
}

bool LdCryptStore::createNewFile(LdError* error) {
    auto schema = LdCryptStoreSchema::schemaWithNumbering(
            model_, LdCryptStoreSchema::numberingForNewFile(model_), error);
    if (!schema) {
        return false;
    }
    // One transaction, so a crash while creating leaves no half-built file behind.
    if (!executeStatement("BEGIN EXCLUSIVE;", error)) {
        return false;
    }
    const auto rollBack = [this] {
        simpleExecute(database_, "ROLLBACK;");
        return false;
    };
    if (!executeStatement(std::string("CREATE TABLE ") + kLdCryptStoreMetadataTable + "(plist);",
                          error)) {
        return rollBack();
    }
    metadata_ = {{kLdStoreUUIDKey, LdValue(LdUUID::uuidString())},
                 {kLdStoreTypeKey, LdValue(kLdCryptStoreType)}};
    if (!saveMetadataToDatabase(error)) {
        return rollBack();
    }
    for (const std::string& statement : schema->primaryKeyTableStatements()) {
        if (!executeStatement(statement, error)) {
            return rollBack();
        }
    }
    for (const std::string& statement : schema->createTableStatements()) {
        if (!executeStatement(statement, error)) {
            return rollBack();
        }
    }
    if (!executeStatement("COMMIT;", error)) {
        return rollBack();
    }
    schema_ = std::move(schema);
    return true;
}

bool LdCryptStore::saveMetadataToDatabase(LdError* error) {
    // The file always names the model it was written with.
    LdValue::Array identifiers;
    identifiers.emplace_back(model_.versionIdentifier());
    metadata_[kLdStoreModelVersionIdentifiersKey] = LdValue(std::move(identifiers));
    metadata_[kLdStoreModelVersionHashesKey] = LdValue(model_.versionHashes());
    auto archive = LdKeyedArchiver::archivedDataWithRootObject(LdValue(metadata_), error);
    if (!archive) {
        return false;
    }
    if (!executeStatement(std::string("DELETE FROM ") + kLdCryptStoreMetadataTable + ";", error)) {
        return false;
    }
    sqlite3_stmt* raw = preparedStatementForQuery(
            std::string("INSERT INTO ") + kLdCryptStoreMetadataTable + " (plist) VALUES(?);",
            database_);
    if (raw == nullptr) {
        return failWith(error, sqliteError(database_, SQLITE_ERROR));
    }
    StatementGuard statement(raw);
    sqlite3_bind_blob64(raw, 1, archive->data(), archive->size(), SQLITE_TRANSIENT);
    if (sqlite3_step(raw) != SQLITE_DONE) {
        return failWith(error, sqliteError(database_, SQLITE_ERROR));
    }
    return true;
}

std::optional<std::uint64_t> LdCryptStore::nextPrimaryKey(const std::string& table,
                                                          LdError* error) {
    auto found = maxObjectIDCache_.find(table);
    if (found == maxObjectIDCache_.end()) {
        sqlite3_stmt* raw = preparedStatementForQuery(std::string("SELECT MAX(") +
                                                              kLdCryptStorePrimaryKeyColumn +
                                                              ") FROM " + table + ";",
                                                      database_);
        if (raw == nullptr) {
            failWith(error, sqliteError(database_, SQLITE_ERROR));
            return std::nullopt;
        }
        StatementGuard statement(raw);
        if (sqlite3_step(raw) != SQLITE_ROW) {
            failWith(error, sqliteError(database_, SQLITE_ERROR));
            return std::nullopt;
        }
        const sqlite3_int64 maximum = sqlite3_column_int64(raw, 0);
        found = maxObjectIDCache_
                        .emplace(table, maximum > 0 ? static_cast<std::uint64_t>(maximum) : 0)
                        .first;
    }
    // Never rewound: keys of a rolled-back save are not handed out again.
    return ++found->second;
}

std::optional<LdObjectID> LdCryptStore::obtainPermanentIDForEntity(
        const LdEntityDescription* entity, LdError* error) {
    std::lock_guard lock(mutex_);
    if (entity == nullptr || schema_ == nullptr) {
        return std::nullopt;
    }
    const LdCryptStoreEntityMapping* mapping = schema_->mapping(entity);
    if (mapping == nullptr) {
        failWith(error, storeError("entity configuration invalid"));
        return std::nullopt;
    }
    auto key = nextPrimaryKey(mapping->tableName, error);
    if (!key) {
        return std::nullopt;
    }
    return objectIDForEntity(entity, *key);
}

LdObjectID LdCryptStore::objectIDForEntity(const LdEntityDescription* entity,
                                           std::uint64_t primaryKey) const {
    return LdObjectID(identifier(), entity, primaryKey);
}

LdObjectID LdCryptStore::objectIDForRow(sqlite3_stmt* statement,
                                        int keyColumn,
                                        int entityColumn,
                                        const LdEntityDescription* fallback) const {
    const LdEntityDescription* entity = fallback;
    if (entityColumn >= 0 && sqlite3_column_type(statement, entityColumn) != SQLITE_NULL) {
        if (const LdEntityDescription* typed =
                    schema_->entityForID(sqlite3_column_int64(statement, entityColumn))) {
            entity = typed;
        }
    }
    // A damaged file may name an entity outside the expected hierarchy: such a row is no object
    // of the kind asked for.
    if (fallback != nullptr && !entity->isKindOfEntity(fallback)) {
        return LdObjectID();
    }
    return objectIDForEntity(
            entity, static_cast<std::uint64_t>(sqlite3_column_int64(statement, keyColumn)));
}

bool LdCryptStore::saveChanges(const LdStoreChangeSet& changes, LdError* error) {
    std::lock_guard lock(mutex_);
    if (database_ == nullptr || schema_ == nullptr) {
        return failWith(error, storeError("store not loaded"));
    }
    if (readOnly_) {
        return failWith(error, storeError("the store is open read-only"));
    }
    clearPropertiesCache();
    if (!executeStatement("BEGIN EXCLUSIVE;", error)) {
        return false;
    }
    // Positions in ordered one-to-many relationships of rows inserted now go into their INSERT,
    // which saves an UPDATE per row.
    insertedPositions_.clear();
    std::unordered_set<LdObjectID> insertedIDs;
    for (const LdStoreRow& row : changes.inserted) {
        insertedIDs.insert(row.objectID);
    }
    for (const auto* rows : {&changes.inserted, &changes.updated}) {
        for (const LdStoreRow& row : *rows) {
            for (const LdRelationshipDescription* relationship :
                 row.objectID.entity()->relationships()) {
                const std::size_t number = relationship->propertyNumber();
                if (!relationship->isToMany() || !relationship->isOrdered() ||
                    number >= row.toMany.size() || schema_->joinMapping(relationship) != nullptr ||
                    (rows == &changes.updated && !row.isChanged(number))) {
                    continue;
                }
                const std::size_t inverse = relationship->inverseRelationship()->propertyNumber();
                const std::vector<LdObjectID>& targets = row.toMany[number];
                for (std::size_t index = 0; index < targets.size(); ++index) {
                    if (insertedIDs.count(targets[index]) > 0) {
                        insertedPositions_[targets[index]].emplace_back(inverse, index);
                    }
                }
            }
        }
    }
    const auto work = [&]() {
        if (!saveMetadataToDatabase(error)) {
            return false;
        }
        std::vector<std::pair<const LdStoreRow*, const LdRelationshipDescription*>> orders;
        for (const LdStoreRow& row : changes.inserted) {
            if (!insertRow(row, error) || !writeManyToMany(row, /*updateMode=*/false, error)) {
                return false;
            }
            for (const LdRelationshipDescription* relationship :
                 row.objectID.entity()->relationships()) {
                if (relationship->isToMany() && relationship->isOrdered()) {
                    orders.emplace_back(&row, relationship);
                }
            }
        }
        for (const LdStoreRow& row : changes.updated) {
            if (!updateRow(row, error)) {
                return false;
            }
            for (const LdRelationshipDescription* relationship :
                 row.objectID.entity()->relationships()) {
                if (relationship->isToMany() && relationship->isOrdered() &&
                    row.isChanged(relationship->propertyNumber())) {
                    orders.emplace_back(&row, relationship);
                }
            }
        }
        for (const auto& [row, relationship] : orders) {
            if (!writeOrder(*row, relationship, error)) {
                return false;
            }
        }
        for (const LdObjectID& objectID : changes.deleted) {
            if (!deleteObject(objectID, error)) {
                return false;
            }
        }
        return true;
    };
    const bool worked = work();
    insertedPositions_.clear();
    if (!worked) {
        simpleExecute(database_, "ROLLBACK;");
        return false;
    }
    if (!executeStatement("COMMIT;", error)) {
        simpleExecute(database_, "ROLLBACK;");
        return false;
    }
    // Statistics gathered on a small file would drive the joins of a grown one from the wrong
    // index, so they are gathered again after every 10,000 new rows.
    insertsSinceAnalyze_ += changes.inserted.size();
    if (insertsSinceAnalyze_ >= kInsertsBeforeAnalyze) {
        LdError analyzeError;
        if (!analyzeIfNeeded(/*force=*/true, &analyzeError)) {
            LdLogger::shared().logError("ANALYZE failed: " + analyzeError.description());
        }
    }
    return true;
}

bool LdCryptStore::insertRow(const LdStoreRow& row, LdError* error) {
    const LdEntityDescription* entity = row.objectID.entity();
    const LdCryptStoreEntityMapping* mapping = schema_->mapping(entity);
    if (mapping == nullptr || row.objectID.primaryKey() == 0) {
        return failWith(error, storeError("entity configuration invalid"));
    }
    // One prepared INSERT per entity, found without building its text again.
    sqlite3_stmt* statement = nullptr;
    if (auto found = insertStatements_.find(entity); found != insertStatements_.end()) {
        statement = found->second;
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    } else {
        std::string columns = kLdCryptStorePrimaryKeyColumn;
        std::string placeholders = "?";
        for (const LdPropertyDescription* property : entity->properties()) {
            const std::size_t number = property->propertyNumber();
            if (mapping->columns[number].empty()) {
                continue;
            }
            columns += ", " + mapping->columns[number];
            placeholders += ", ?";
            if (!mapping->typeColumns[number].empty()) {
                columns += ", " + mapping->typeColumns[number];
                placeholders += ", ?";
            }
            if (!mapping->orderColumns[number].empty()) {
                columns += ", " + mapping->orderColumns[number];
                placeholders += ", ?";
            }
        }
        std::string sql = "INSERT INTO " + mapping->tableName + " (";
        if (mapping->hasEntityColumn) {
            sql += std::string(kLdCryptStoreEntityColumn) + ", " + kLdCryptStoreVersionColumn +
                   ", " + columns + ") VALUES(" + std::to_string(mapping->entityID) + ", 1, " +
                   placeholders + ");";
        } else {
            sql += std::string(kLdCryptStoreVersionColumn) + ", " + columns + ") VALUES(1, " +
                   placeholders + ");";
        }
        statement = cachedStatement(sql, error);
        if (statement == nullptr) {
            return false;
        }
        insertStatements_.emplace(entity, statement);
    }
    int position = 1;
    bindKey(statement, position++, row.objectID.primaryKey());
    for (const LdPropertyDescription* property : entity->properties()) {
        const std::size_t number = property->propertyNumber();
        if (mapping->columns[number].empty()) {
            continue;
        }
        if (!bindProperty(statement, position, row, *property, *mapping, error)) {
            return false;
        }
        if (!mapping->orderColumns[number].empty()) {
            // The row's position in its owner's ordered list, when the owner's list is part of
            // this save; otherwise none until the owner writes its order.
            sqlite3_bind_null(statement, position);
            if (auto found = insertedPositions_.find(row.objectID);
                found != insertedPositions_.end()) {
                for (const auto& [inverse, index] : found->second) {
                    if (inverse == number) {
                        bindKey(statement, position, index);
                    }
                }
            }
            ++position;
        }
    }
    if (sqlite3_step(statement) != SQLITE_DONE) {
        return failWith(error, sqliteError(database_, SQLITE_ERROR));
    }
    return true;
}

// Binds one stored property of `row` from `position` on and advances it: an attribute's value, or a
// to-one relationship's target key and, where the destination has subentities, its entity number.
bool LdCryptStore::bindProperty(sqlite3_stmt* statement,
                                int& position,
                                const LdStoreRow& row,
                                const LdPropertyDescription& property,
                                const LdCryptStoreEntityMapping& mapping,
                                LdError* error) const {
    const std::size_t number = property.propertyNumber();
    if (const LdAttributeDescription* attribute = property.asAttribute()) {
        static const LdValue kNull;
        const LdValue& value = number < row.values.size() ? row.values[number] : kNull;
        if (!bindAttribute(statement, position++, value, attribute->attributeType())) {
            LdError made = storeError("value cannot be stored");
            made.addDebugInfo("attribute", row.objectID.entity()->name() + "." + attribute->name());
            made.addDebugInfo("value", value.debugDescription());
            return failWith(error, made);
        }
        return true;
    }
    const LdObjectID target = number < row.toOne.size() ? row.toOne[number] : LdObjectID();
    const bool hasTypeColumn = !mapping.typeColumns[number].empty();
    if (target.entity() == nullptr) {
        sqlite3_bind_null(statement, position++);
        if (hasTypeColumn) {
            sqlite3_bind_null(statement, position++);
        }
        return true;
    }
    bindKey(statement, position++, target.primaryKey());
    if (hasTypeColumn) {
        sqlite3_bind_int64(statement, position++, schema_->entityID(target.entity()));
    }
    return true;
}

bool LdCryptStore::updateRow(const LdStoreRow& row, LdError* error) {
    const LdEntityDescription* entity = row.objectID.entity();
    const LdCryptStoreEntityMapping* mapping = schema_->mapping(entity);
    if (mapping == nullptr) {
        return failWith(error, storeError("entity configuration invalid"));
    }
    std::string assignments;
    for (const LdPropertyDescription* property : entity->properties()) {
        const std::size_t number = property->propertyNumber();
        if (!row.isChanged(number) || mapping->columns[number].empty()) {
            continue;
        }
        assignments += ", " + mapping->columns[number] + "=?";
        if (!mapping->typeColumns[number].empty()) {
            assignments += ", " + mapping->typeColumns[number] + "=?";
        }
    }
    const std::string sql = "UPDATE " + mapping->tableName + " SET " + kLdCryptStoreVersionColumn +
                            "=" + kLdCryptStoreVersionColumn + "+1" + assignments + " WHERE " +
                            kLdCryptStorePrimaryKeyColumn + "=?;";
    sqlite3_stmt* statement = cachedStatement(sql, error);
    if (statement == nullptr) {
        return false;
    }
    int position = 1;
    for (const LdPropertyDescription* property : entity->properties()) {
        const std::size_t number = property->propertyNumber();
        if (!row.isChanged(number) || mapping->columns[number].empty()) {
            continue;
        }
        if (!bindProperty(statement, position, row, *property, *mapping, error)) {
            return false;
        }
    }
    bindKey(statement, position, row.objectID.primaryKey());
    if (sqlite3_step(statement) != SQLITE_DONE) {
        return failWith(error, sqliteError(database_, SQLITE_ERROR));
    }
    return writeManyToMany(row, /*updateMode=*/true, error);
}

bool LdCryptStore::writeManyToMany(const LdStoreRow& row, bool updateMode, LdError* error) {
    const std::uint64_t ownKey = row.objectID.primaryKey();
    for (const LdRelationshipDescription* relationship : row.objectID.entity()->relationships()) {
        const LdCryptStoreJoinMapping* join = schema_->joinMapping(relationship);
        const std::size_t number = relationship->propertyNumber();
        if (join == nullptr || !join->isWritingDirection ||
            (updateMode && !row.isChanged(number))) {
            continue;
        }
        static const std::vector<LdObjectID> kNoTargets;
        const std::vector<LdObjectID>& targets =
                number < row.toMany.size() ? row.toMany[number] : kNoTargets;
        std::set<std::uint64_t> wanted;
        for (const LdObjectID& target : targets) {
            wanted.insert(target.primaryKey());
        }
        std::set<std::uint64_t> present;
        if (updateMode) {
            sqlite3_stmt* select =
                    cachedStatement("SELECT " + join->targetColumn + " FROM " + join->tableName +
                                            " WHERE " + join->ownerColumn + "=?;",
                                    error);
            if (select == nullptr) {
                return false;
            }
            bindKey(select, 1, ownKey);
            int result = sqlite3_step(select);
            for (; result == SQLITE_ROW; result = sqlite3_step(select)) {
                present.insert(static_cast<std::uint64_t>(sqlite3_column_int64(select, 0)));
            }
            if (result != SQLITE_DONE) {
                return failWith(error, sqliteError(database_, result));
            }
            for (std::uint64_t target : present) {
                if (wanted.count(target) != 0) {
                    continue;
                }
                sqlite3_stmt* remove = cachedStatement(
                        "DELETE FROM " + join->tableName + " WHERE " + join->ownerColumn +
                                "=? AND " + join->targetColumn + "=?;",
                        error);
                if (remove == nullptr) {
                    return false;
                }
                bindKey(remove, 1, ownKey);
                bindKey(remove, 2, target);
                if (sqlite3_step(remove) != SQLITE_DONE) {
                    return failWith(error, sqliteError(database_, SQLITE_ERROR));
                }
            }
        }
        for (std::uint64_t target : wanted) {
            if (present.count(target) != 0) {
                continue;
            }
            sqlite3_stmt* insert = cachedStatement("INSERT OR REPLACE INTO " + join->tableName +
                                                           " (" + join->ownerColumn + ", " +
                                                           join->targetColumn + ") VALUES(?, ?);",
                                                   error);
            if (insert == nullptr) {
                return false;
            }
            bindKey(insert, 1, ownKey);
            bindKey(insert, 2, target);
            if (sqlite3_step(insert) != SQLITE_DONE) {
                return failWith(error, sqliteError(database_, SQLITE_ERROR));
            }
        }
    }
    return true;
}

bool LdCryptStore::writeOrder(const LdStoreRow& row,
                              const LdRelationshipDescription* relationship,
                              LdError* error) {
    const std::size_t number = relationship->propertyNumber();
    if (number >= row.toMany.size()) {
        return true;
    }
    const std::vector<LdObjectID>& targets = row.toMany[number];
    std::string sql;
    if (const LdCryptStoreJoinMapping* join = schema_->joinMapping(relationship)) {
        if (join->orderColumn.empty()) {
            return true;
        }
        sql = "UPDATE " + join->tableName + " SET " + join->orderColumn + "=? WHERE " +
              join->targetColumn + "=? AND " + join->ownerColumn + "=?;";
    } else {
        const LdRelationshipDescription* inverse = relationship->inverseRelationship();
        const LdCryptStoreEntityMapping* destination =
                schema_->mapping(relationship->destinationEntity());
        if (inverse == nullptr || destination == nullptr ||
            destination->orderColumns[inverse->propertyNumber()].empty()) {
            return true;
        }
        sql = "UPDATE " + destination->tableName + " SET " +
              destination->orderColumns[inverse->propertyNumber()] + "=? WHERE " +
              kLdCryptStorePrimaryKeyColumn + "=?;";
    }
    const bool manyToMany = schema_->joinMapping(relationship) != nullptr;
    const std::size_t inverseNumber = relationship->inverseRelationship()->propertyNumber();
    for (std::size_t index = 0; index < targets.size(); ++index) {
        if (!manyToMany) {
            // Rows inserted in this save got their position in their INSERT.
            auto found = insertedPositions_.find(targets[index]);
            if (found != insertedPositions_.end() &&
                std::any_of(found->second.begin(), found->second.end(),
                            [&](const auto& entry) { return entry.first == inverseNumber; })) {
                continue;
            }
        }
        sqlite3_stmt* statement = cachedStatement(sql, error);
        if (statement == nullptr) {
            return false;
        }
        bindKey(statement, 1, index);
        bindKey(statement, 2, targets[index].primaryKey());
        if (manyToMany) {
            bindKey(statement, 3, row.objectID.primaryKey());
        }
        if (sqlite3_step(statement) != SQLITE_DONE) {
            return failWith(error, sqliteError(database_, SQLITE_ERROR));
        }
    }
    return true;
}

bool LdCryptStore::deleteObject(const LdObjectID& objectID, LdError* error) {
    const LdCryptStoreEntityMapping* mapping = schema_->mapping(objectID.entity());
    if (mapping == nullptr) {
        return failWith(error, storeError("entity configuration invalid"));
    }
    // Join rows go whichever side of the pair is deleted.
    for (const LdRelationshipDescription* relationship : objectID.entity()->relationships()) {
        const LdCryptStoreJoinMapping* join = schema_->joinMapping(relationship);
        if (join == nullptr) {
            continue;
        }
        std::vector<std::string> columns{join->ownerColumn};
        if (relationship->inverseRelationship() == relationship) {
            columns.push_back(join->targetColumn);
        }
        for (const std::string& column : columns) {
            sqlite3_stmt* statement = cachedStatement(
                    "DELETE FROM " + join->tableName + " WHERE " + column + "=?;", error);
            if (statement == nullptr) {
                return false;
            }
            bindKey(statement, 1, objectID.primaryKey());
            if (sqlite3_step(statement) != SQLITE_DONE) {
                return failWith(error, sqliteError(database_, SQLITE_ERROR));
            }
        }
    }
    sqlite3_stmt* statement = cachedStatement(
            "DELETE FROM " + mapping->tableName + " WHERE " + kLdCryptStorePrimaryKeyColumn + "=?;",
            error);
    if (statement == nullptr) {
        return false;
    }
    bindKey(statement, 1, objectID.primaryKey());
    if (sqlite3_step(statement) != SQLITE_DONE) {
        return failWith(error, sqliteError(database_, SQLITE_ERROR));
    }
    return true;
}

std::optional<LdStoreNode> LdCryptStore::valuesForObjectWithID(const LdObjectID& objectID,
                                                               LdError* error) {
    std::lock_guard lock(mutex_);
    if (!objectID.isValid() || schema_ == nullptr) {
        return std::nullopt;
    }
    if (auto cached = propertiesCache_.find(objectID); cached != propertiesCache_.end()) {
        return cached->second;
    }
    const LdCryptStoreEntityMapping* mapping = schema_->mapping(objectID.entity());
    if (mapping == nullptr) {
        failWith(error, storeError("entity configuration invalid"));
        return std::nullopt;
    }
    std::string sql = "SELECT ";
    for (std::size_t number : mapping->storedAttributes) {
        sql += mapping->columns[number] + ",";
    }
    sql += std::string(kLdCryptStoreVersionColumn) + " FROM " + mapping->tableName + " WHERE " +
           kLdCryptStorePrimaryKeyColumn + "=?;";
    sqlite3_stmt* statement = cachedStatement(sql, error);
    if (statement == nullptr) {
        return std::nullopt;
    }
    bindKey(statement, 1, objectID.primaryKey());
    const int result = sqlite3_step(statement);
    if (result != SQLITE_ROW) {
        failWith(error,
                 result == SQLITE_DONE ? objectNotFound(objectID) : sqliteError(database_, result));
        return std::nullopt;
    }
    LdStoreNode node;
    node.values.resize(objectID.entity()->propertyCount());
    int column = 0;
    for (std::size_t number : mapping->storedAttributes) {
        node.values[number] = readAttribute(
                statement, column++,
                objectID.entity()->properties()[number]->asAttribute()->attributeType());
    }
    node.version = static_cast<std::uint64_t>(sqlite3_column_int64(statement, column));
    sqlite3_reset(statement);
    return node;
}

std::optional<std::vector<LdObjectID>> LdCryptStore::valueForRelationship(
        const LdRelationshipDescription* relationship, const LdObjectID& objectID, LdError* error) {
    std::lock_guard lock(mutex_);
    if (relationship == nullptr || !objectID.isValid() || schema_ == nullptr) {
        return std::nullopt;
    }
    const LdCryptStoreEntityMapping* owner = schema_->mapping(objectID.entity());
    const LdEntityDescription* destination = relationship->destinationEntity();
    const LdCryptStoreEntityMapping* target = schema_->mapping(destination);
    if (owner == nullptr || target == nullptr) {
        failWith(error, storeError("entity configuration invalid"));
        return std::nullopt;
    }
    const std::size_t number = relationship->propertyNumber();
    std::vector<LdObjectID> result;
    if (relationship->isToOne()) {
        std::string sql = "SELECT " + owner->columns[number];
        if (!owner->typeColumns[number].empty()) {
            sql += "," + owner->typeColumns[number];
        }
        sql += " FROM " + owner->tableName + " WHERE " + kLdCryptStorePrimaryKeyColumn + "=?";
        sqlite3_stmt* statement = cachedStatement(sql, error);
        if (statement == nullptr) {
            return std::nullopt;
        }
        bindKey(statement, 1, objectID.primaryKey());
        const int step = sqlite3_step(statement);
        if (step != SQLITE_ROW) {
            failWith(error,
                     step == SQLITE_DONE ? objectNotFound(objectID) : sqliteError(database_, step));
            return std::nullopt;
        }
        if (sqlite3_column_type(statement, 0) != SQLITE_NULL) {
            LdObjectID targetID = objectIDForRow(
                    statement, 0, owner->typeColumns[number].empty() ? -1 : 1, destination);
            if (targetID.isValid()) {
                result.push_back(targetID);
            }
        }
        sqlite3_reset(statement);
        return result;
    }
    std::string sql;
    const std::string entityColumn =
            target->hasEntityColumn ? ", t0." + std::string(kLdCryptStoreEntityColumn) : "";
    const std::vector<std::string>* prefetched = nullptr;
    if (const LdCryptStoreJoinMapping* join = schema_->joinMapping(relationship)) {
        sql = "SELECT t0." + std::string(kLdCryptStorePrimaryKeyColumn) + entityColumn + " FROM " +
              join->tableName + " t1 JOIN " + target->tableName + " t0 ON t0." +
              kLdCryptStorePrimaryKeyColumn + " = t1." + join->targetColumn + " WHERE t1." +
              join->ownerColumn + "=?";
        if (!join->orderColumn.empty()) {
            sql += " ORDER BY t1." + join->orderColumn;
        }
    } else {
        // The targets' attributes come along, so that faulting them needs no further SQL.
        std::string prefetchColumns;
        if (usePropertiesCache_) {
            prefetched = &schema_->prefetchColumns(destination);
            for (const std::string& column : *prefetched) {
                prefetchColumns += ",t0." + column;
            }
            prefetchColumns += ",t0." + std::string(kLdCryptStoreVersionColumn);
        }
        const LdRelationshipDescription* inverse = relationship->inverseRelationship();
        sql = "SELECT t0." + std::string(kLdCryptStorePrimaryKeyColumn) + entityColumn +
              prefetchColumns + " FROM " + target->tableName + " t0 WHERE t0." +
              target->columns[inverse->propertyNumber()] + "=?";
        if (relationship->isOrdered() && !target->orderColumns[inverse->propertyNumber()].empty()) {
            sql += " ORDER BY t0." + target->orderColumns[inverse->propertyNumber()];
        }
    }
    sqlite3_stmt* statement = cachedStatement(sql, error);
    if (statement == nullptr) {
        return std::nullopt;
    }
    bindKey(statement, 1, objectID.primaryKey());
    const bool read = readObjectRows(statement, destination, target->hasEntityColumn, prefetched,
                                     result, nullptr, error);
    sqlite3_reset(statement);
    if (!read) {
        return std::nullopt;
    }
    return result;
}

namespace {

bool bindFetchValue(sqlite3_stmt* statement, int position, const LdCryptStoreBinding& binding) {
    return std::visit(
            [&](const auto& value) {
                using Type = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<Type, std::monostate>) {
                    return sqlite3_bind_null(statement, position) == SQLITE_OK;
                } else if constexpr (std::is_same_v<Type, std::int64_t>) {
                    return sqlite3_bind_int64(statement, position, value) == SQLITE_OK;
                } else if constexpr (std::is_same_v<Type, double>) {
                    return sqlite3_bind_double(statement, position, value) == SQLITE_OK;
                } else if constexpr (std::is_same_v<Type, std::string>) {
                    return sqlite3_bind_text64(statement, position, value.data(), value.size(),
                                               SQLITE_TRANSIENT, SQLITE_UTF8) == SQLITE_OK;
                } else {
                    return sqlite3_bind_blob64(
                                   statement, position,
                                   value.empty() ? "" : static_cast<const void*>(value.data()),
                                   value.size(), SQLITE_TRANSIENT) == SQLITE_OK;
                }
            },
            binding);
}

// Where each stored attribute of one entity sits among a fetch's prefetched columns:
// (property number, column offset). Nothing when a stored attribute is not prefetched, so a
// row of that entity is not cached.
std::optional<std::vector<std::pair<std::size_t, int>>> cacheSlots(
        const LdCryptStoreEntityMapping& mapping, const std::vector<std::string>& prefetched) {
    std::vector<std::pair<std::size_t, int>> slots;
    for (std::size_t number : mapping.storedAttributes) {
        auto found = std::find(prefetched.begin(), prefetched.end(), mapping.columns[number]);
        if (found == prefetched.end()) {
            return std::nullopt;
        }
        slots.emplace_back(number, static_cast<int>(found - prefetched.begin()));
    }
    return slots;
}

}  // namespace

bool LdCryptStore::readObjectRows(sqlite3_stmt* statement,
                                  const LdEntityDescription* fallback,
                                  bool hasEntityColumn,
                                  const std::vector<std::string>* prefetched,
                                  std::vector<LdObjectID>& objectIDs,
                                  std::vector<LdStoreNode>* nodes,
                                  LdError* error) {
    const int firstPrefetched = hasEntityColumn ? 2 : 1;
    const bool caching = usePropertiesCache_ && prefetched != nullptr;
    const bool keepNodes = caching && nodes != nullptr;
    const int versionColumn =
            prefetched != nullptr ? firstPrefetched + static_cast<int>(prefetched->size()) : 0;
    std::unordered_map<const LdEntityDescription*,
                       std::optional<std::vector<std::pair<std::size_t, int>>>>
            slotsByEntity;
    std::vector<std::pair<LdObjectID, PropertiesCacheEntry>> batch;
    int step = sqlite3_step(statement);
    for (; step == SQLITE_ROW; step = sqlite3_step(statement)) {
        if (sqlite3_column_type(statement, 0) == SQLITE_NULL) {
            continue;
        }
        LdObjectID objectID = objectIDForRow(statement, 0, hasEntityColumn ? 1 : -1, fallback);
        if (!objectID.isValid()) {
            continue;
        }
        if (keepNodes || (caching && batch.size() < kMaxCachedRowsPerFetch)) {
            const LdEntityDescription* entity = objectID.entity();
            auto found = slotsByEntity.find(entity);
            if (found == slotsByEntity.end()) {
                const LdCryptStoreEntityMapping* mapping = schema_->mapping(entity);
                found = slotsByEntity
                                .emplace(entity, mapping != nullptr
                                                         ? cacheSlots(*mapping, *prefetched)
                                                         : std::nullopt)
                                .first;
            }
            if (found->second) {
                PropertiesCacheEntry entry;
                entry.values.resize(entity->propertyCount());
                for (const auto& [number, offset] : *found->second) {
                    entry.values[number] = readAttribute(
                            statement, firstPrefetched + offset,
                            entity->properties()[number]->asAttribute()->attributeType());
                }
                entry.version =
                        static_cast<std::uint64_t>(sqlite3_column_int64(statement, versionColumn));
                if (keepNodes) {
                    nodes->push_back(std::move(entry));
                } else {
                    batch.emplace_back(objectID, std::move(entry));
                }
            } else if (keepNodes) {
                nodes->emplace_back();
            }
        }
        objectIDs.push_back(objectID);
    }
    if (step != SQLITE_DONE) {
        return failWith(error, sqliteError(database_, step));
    }
    if (!batch.empty()) {
        addToPropertiesCache(std::move(batch));
    }
    return true;
}

std::optional<LdStoreFetchResult> LdCryptStore::executeFetchRequest(const LdFetchRequest& request,
                                                                    LdError* error) {
    std::lock_guard lock(mutex_);
    if (request.entity == nullptr) {
        return std::nullopt;
    }
    if (database_ == nullptr || schema_ == nullptr) {
        failWith(error, storeError("store not loaded"));
        return std::nullopt;
    }
    if (schema_->mapping(request.entity) == nullptr) {
        failWith(error, storeError("entity configuration invalid"));
        return std::nullopt;
    }
    auto translated = LdCryptStoreFetchTranslator(*schema_).statementForFetchRequest(
            request, usePropertiesCache_, error);
    if (!translated) {
        return std::nullopt;
    }
    // Fetch statements are prepared each time: their texts vary with the request's values
    // (IN lists), so keeping them would grow without bound.
    sqlite3_stmt* raw = preparedStatementForQuery(translated->sql, database_);
    if (raw == nullptr) {
        failWith(error, sqliteError(database_, SQLITE_ERROR));
        return std::nullopt;
    }
    StatementGuard statement(raw);
    int position = 1;
    for (const LdCryptStoreBinding& binding : translated->bindings) {
        if (!bindFetchValue(raw, position++, binding)) {
            failWith(error, sqliteError(database_, SQLITE_RANGE));
            return std::nullopt;
        }
    }
    LdStoreFetchResult result;
    if (request.resultType == LdFetchRequest::ResultType::Count) {
        const int step = sqlite3_step(raw);
        if (step != SQLITE_ROW) {
            failWith(error, sqliteError(database_, step));
            return std::nullopt;
        }
        result.count = static_cast<std::uint64_t>(sqlite3_column_int64(raw, 0));
        return result;
    }
    if (!readObjectRows(
                raw, request.entity, translated->selectsEntityColumn,
                translated->prefetches ? &translated->prefetchedColumns : nullptr, result.objectIDs,
                request.resultType == LdFetchRequest::ResultType::Objects ? &result.nodes : nullptr,
                error)) {
        return std::nullopt;
    }
    result.count = result.objectIDs.size();
    return result;
}

void LdCryptStore::setUsePropertiesCache(bool use) {
    std::lock_guard lock(mutex_);
    usePropertiesCache_ = use;
    if (!use) {
        clearPropertiesCache();
    }
}

void LdCryptStore::clearPropertiesCache() {
    std::lock_guard lock(mutex_);
    propertiesCache_.clear();
    propertiesCacheOrder_.clear();
}

void LdCryptStore::cleanPropertiesCache() {
    if (propertiesCache_.size() != propertiesCacheOrder_.size()) {
        clearPropertiesCache();
        return;
    }
    if (propertiesCache_.size() <= kAvgPropertiesCacheSize) {
        return;
    }
    const std::size_t remove = propertiesCache_.size() - kAvgPropertiesCacheSize;
    for (std::size_t index = 0; index < remove; ++index) {
        propertiesCache_.erase(propertiesCacheOrder_[index]);
    }
    propertiesCacheOrder_.erase(
            propertiesCacheOrder_.begin(),
            propertiesCacheOrder_.begin() + static_cast<std::ptrdiff_t>(remove));
}

void LdCryptStore::addPropertiesCacheEntry(const LdObjectID& objectID, PropertiesCacheEntry entry) {
    if (propertiesCache_.size() >= kMaxPropertiesCacheSize) {
        cleanPropertiesCache();
    }
    const bool inserted = propertiesCache_.insert_or_assign(objectID, std::move(entry)).second;
    if (!inserted) {
        propertiesCacheOrder_.erase(
                std::find(propertiesCacheOrder_.begin(), propertiesCacheOrder_.end(), objectID));
    }
    propertiesCacheOrder_.push_back(objectID);
}

void LdCryptStore::addToPropertiesCache(
        std::vector<std::pair<LdObjectID, PropertiesCacheEntry>> batch) {
    const std::size_t room =
            kMaxPropertiesCacheSize - std::min(kMaxPropertiesCacheSize, propertiesCache_.size());
    if (batch.size() >= kAvgPropertiesCacheSize && batch.size() > room) {
        // A large batch replaces the cache; only its last rows fit.
        clearPropertiesCache();
        const std::size_t skip =
                batch.size() > kMaxPropertiesCacheSize ? batch.size() - kMaxPropertiesCacheSize : 0;
        for (std::size_t index = skip; index < batch.size(); ++index) {
            if (propertiesCache_
                        .insert_or_assign(batch[index].first, std::move(batch[index].second))
                        .second) {
                propertiesCacheOrder_.push_back(batch[index].first);
            }
        }
        return;
    }
    for (auto& [objectID, entry] : batch) {
        addPropertiesCacheEntry(objectID, std::move(entry));
    }
}

bool LdCryptStore::analyzeIfNeeded(bool force, LdError* error) {
    if (readOnly_ || (!force && !statisticsOutdated())) {
        return true;
    }
    if (!executeStatement("ANALYZE;", error)) {
        return false;
    }
    insertsSinceAnalyze_ = 0;
    return true;
}

// The statistics are outdated when some entity table holds more than twice the rows they
// recorded for it (a file that grew by small saves), or when there are none while a table has
// rows. Both lookups are cheap: the largest key comes from the end of the table's b-tree.
bool LdCryptStore::statisticsOutdated() {
    const auto integer = [this](const std::string& sql, const std::string& binding,
                                std::int64_t& value) {
        sqlite3_stmt* raw = preparedStatementForQuery(sql, database_);
        if (raw == nullptr) {
            return false;
        }
        StatementGuard statement(raw);
        if (!binding.empty()) {
            sqlite3_bind_text(raw, 1, binding.c_str(), -1, SQLITE_TRANSIENT);
        }
        value = 0;
        if (sqlite3_step(raw) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
            value = text != nullptr ? std::strtoll(text, nullptr, 10) : 0;
        }
        return true;
    };
    std::int64_t hasStatistics = 0;
    if (!integer("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND "
                 "name='sqlite_stat1';",
                 "", hasStatistics)) {
        return false;
    }
    for (const std::string& table : schema_->entityTableNames()) {
        std::int64_t rows = 0;
        if (!integer("SELECT MAX(" + std::string(kLdCryptStorePrimaryKeyColumn) + ") FROM " +
                             table + ";",
                     "", rows) ||
            rows <= 0) {
            continue;
        }
        std::int64_t recorded = 0;
        if (hasStatistics > 0 &&
            !integer("SELECT stat FROM sqlite_stat1 WHERE tbl=? LIMIT 1;", table, recorded)) {
            return false;
        }
        if (rows > 2 * recorded) {
            return true;
        }
    }
    return false;
}

bool LdCryptStore::isModelCompatibleWithMetadata(const LdObjectModel& model,
                                                 const LdValue::Dictionary& metadata) {
    auto found = metadata.find(kLdStoreModelVersionHashesKey);
    if (found == metadata.end()) {
        return true;
    }
    if (!found->second.isDictionary()) {
        return false;
    }
    const LdValue::Dictionary& hashes = found->second.dictionaryValue();
    if (hashes.size() != model.entities().size()) {
        return false;
    }
    for (const LdEntityDescription* entity : model.entities()) {
        auto hash = hashes.find(entity->name());
        if (hash == hashes.end() || !hash->second.isData() ||
            hash->second.dataValue() != model.versionHashForEntity(entity)) {
            return false;
        }
    }
    return true;
}

bool LdCryptStore::vacuumWithError(LdError* error) {
    std::lock_guard lock(mutex_);
    if (database_ == nullptr) {
        return failWith(error, storeError("store not loaded"));
    }
    finalizeCachedStatements();
    return executeStatement("VACUUM", error);
}

std::optional<LdValue::Dictionary> LdCryptStore::metadataForCryptStoreAtURL(
        const std::filesystem::path& path,
        const std::string& password,
        bool* passwordCorrect,
        LdError* error) {
    if (passwordCorrect != nullptr) {
        *passwordCorrect = true;
    }
    std::error_code fileError;
    if (!std::filesystem::is_regular_file(path, fileError)) {
        failWith(error, storeError("CryptStore file not found at URL: " + path.string()));
        return std::nullopt;
    }
    sqlite3* connection = openForClassOperation(path, password, passwordCorrect,
                                                "metadata in old database mode", error);
    if (connection == nullptr) {
        return std::nullopt;
    }
    auto metadata = readMetadata(connection, error);
    closeConnection(connection);
    return metadata;
}

namespace {

// Text of one column, empty for NULL.
std::string columnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

// A table name read from a file is used in SQL only when it is a plain identifier.
bool isPlainIdentifier(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char character) {
        return std::isalnum(static_cast<unsigned char>(character)) != 0 || character == '_';
    });
}

std::optional<std::int64_t> countRows(sqlite3* connection, const std::string& sql) {
    sqlite3_stmt* raw = LdCryptStore::preparedStatementForQuery(sql, connection);
    if (raw == nullptr) {
        return std::nullopt;
    }
    StatementGuard statement(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) {
        return std::nullopt;
    }
    return sqlite3_column_int64(raw, 0);
}

}  // namespace

std::optional<LdValue> LdCryptStore::inspectStoreAtURL(const std::filesystem::path& path,
                                                       const std::string& password,
                                                       LdError* error) {
    std::error_code fileError;
    if (!std::filesystem::is_regular_file(path, fileError)) {
        failWith(error, storeError("CryptStore file not found at URL: " + path.string()));
        return std::nullopt;
    }
    bool passwordCorrect = true;
    sqlite3* connection = openForClassOperation(path, password, &passwordCorrect,
                                                "metadata in old database mode", error);
    if (connection == nullptr) {
        return std::nullopt;
    }
    LdValue report;
    LdValue::Array tables;
    std::set<std::string> tableNames;
    if (sqlite3_stmt* raw = preparedStatementForQuery(
                "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;", connection)) {
        StatementGuard statement(raw);
        while (sqlite3_step(raw) == SQLITE_ROW) {
            const std::string name = columnText(raw, 0);
            // SQLite's own tables are no part of the store.
            if (!name.starts_with("sqlite_")) {
                tables.emplace_back(name);
                tableNames.insert(name);
            }
        }
    }
    report.set("tables", LdValue(std::move(tables)));

    struct NumberingRow {
        std::int64_t entityID;
        std::string name;
        std::int64_t superID;
    };
    std::vector<NumberingRow> numbering;
    if (sqlite3_stmt* raw = preparedStatementForQuery(
                std::string("SELECT Z_ENT, Z_NAME, Z_SUPER FROM ") + kLdCryptStorePrimaryKeyTable +
                        " ORDER BY Z_ENT ASC;",
                connection)) {
        StatementGuard statement(raw);
        while (sqlite3_step(raw) == SQLITE_ROW) {
            numbering.push_back({sqlite3_column_int64(raw, 0), columnText(raw, 1),
                                 sqlite3_column_int64(raw, 2)});
        }
    }
    LdValue::Array numberingValue;
    for (const NumberingRow& row : numbering) {
        numberingValue.push_back(LdValue::dictionary(
                {{"entityID", row.entityID}, {"name", row.name}, {"superEntityID", row.superID}}));
    }
    report.set("numbering", LdValue(std::move(numberingValue)));

    LdError metadataError;
    if (auto metadata = readMetadata(connection, &metadataError)) {
        report.set("metadata", LdValue(std::move(*metadata)));
    } else {
        report.set("metadataError", metadataError.localizedDescription());
    }

    // Rows per entity: its root's table, filtered on Z_ENT where the hierarchy has subentities. The
    // walk to the root is bounded by the row count, so a numbering with a cycle cannot loop.
    std::map<std::int64_t, const NumberingRow*> byID;
    std::set<std::int64_t> parents;
    for (const NumberingRow& row : numbering) {
        byID[row.entityID] = &row;
        parents.insert(row.superID);
    }
    LdValue::Dictionary rowCounts;
    for (const NumberingRow& row : numbering) {
        const NumberingRow* root = &row;
        for (std::size_t step = 0; root->superID != 0 && step < numbering.size(); ++step) {
            auto parent = byID.find(root->superID);
            if (parent == byID.end()) {
                break;
            }
            root = parent->second;
        }
        std::string table = "TE_" + root->name;
        std::transform(table.begin(), table.end(), table.begin(), [](unsigned char character) {
            return static_cast<char>(std::toupper(character));
        });
        if (!isPlainIdentifier(table) || tableNames.count(table) == 0) {
            continue;
        }
        const bool hierarchy = root->superID == 0 && parents.count(root->entityID) > 0;
        const std::string sql = hierarchy ? "SELECT COUNT(*) FROM " + table + " WHERE Z_ENT = " +
                                                    std::to_string(row.entityID) + ";"
                                          : "SELECT COUNT(*) FROM " + table + ";";
        if (auto count = countRows(connection, sql)) {
            rowCounts[row.name] = *count;
        }
    }
    report.set("rowCounts", LdValue(std::move(rowCounts)));
    closeConnection(connection);
    return report;
}

bool LdCryptStore::isPasswordCorrect(const std::string& password,
                                     const std::filesystem::path& path) {
    std::error_code fileError;
    if (path.empty() || !std::filesystem::is_regular_file(path, fileError)) {
        return false;
    }
    bool correct = true;
    sqlite3* connection = openForClassOperation(path, password, &correct,
                                                "running with old database mode …", nullptr);
    closeConnection(connection);
    return connection != nullptr && correct;
}

namespace {

// Re-key temporary files are named "<store name>_rekey_<UUID>.tmp" beside the store.
std::string rekeyPrefix(const std::filesystem::path& path) {
    return path.stem().string() + "_rekey_";
}

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// A re-key's temporary file with the journal SQLite may keep beside it when its last write
// failed.
void removeTemporary(const std::filesystem::path& path) {
    removeQuietly(path);
    removeQuietly(path.string() + "-journal");
}

bool renameQuietly(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code failure;
    std::filesystem::rename(from, to, failure);
    if (failure) {
        LdLogger::shared().logError("replace error: " + failure.message());
    }
    return !failure;
}

}  // namespace

std::filesystem::path LdCryptStore::backupPathForStoreAtPath(const std::filesystem::path& path) {
    return path.parent_path() / (path.stem().string() + "_backup.db");
}

void LdCryptStore::repairInterruptedPasswordChange() const {
    std::error_code failure;
    const std::filesystem::path folder = path_.parent_path();
    if (std::filesystem::is_directory(folder, failure)) {
        const std::string prefix = rekeyPrefix(path_);
        for (const auto& item : std::filesystem::directory_iterator(folder, failure)) {
            if (item.path().filename().string().rfind(prefix, 0) == 0) {
                removeQuietly(item.path());
            }
        }
    }
    const std::filesystem::path backup = backupPathForStoreAtPath(path_);
    if (!std::filesystem::exists(backup, failure)) {
        return;
    }
    // A crash between the two renames of a re-key: put the file that the password opens in place.
    if (!std::filesystem::exists(path_, failure)) {
        renameQuietly(backup, path_);
        return;
    }
    if (isPasswordCorrect(password_, path_)) {
        removeQuietly(backup);
    } else if (isPasswordCorrect(password_, backup)) {
        removeQuietly(path_);
        renameQuietly(backup, path_);
    }
}

bool LdCryptStore::exportWithPassword(const std::string& newPassword,
                                      const std::filesystem::path& target,
                                      LdError* error) {
    // Path and key are bound, never written into the SQL text (which the debug log records).
    sqlite3_stmt* raw =
            preparedStatementForQuery("ATTACH DATABASE ? AS encrypted KEY ?;", database_);
    if (raw == nullptr) {
        LdLogger::shared().logError("attach error: " + std::string(sqlite3_errmsg(database_)));
        return failWith(error, sqliteError(database_, SQLITE_ERROR));
    }
    {
        StatementGuard statement(raw);
        const std::string targetText = target.string();
        sqlite3_bind_text64(raw, 1, targetText.data(), targetText.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
        sqlite3_bind_text64(raw, 2, newPassword.data(), newPassword.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
        if (sqlite3_step(raw) != SQLITE_DONE) {
            LdLogger::shared().logError("attach error: " + std::string(sqlite3_errmsg(database_)));
            return failWith(error, sqliteError(database_, SQLITE_ERROR));
        }
    }
    // The target gets the store's page size now, so that opening it later needs no VACUUM.
    LdError exportError;
    const bool exported = executeStatement("PRAGMA encrypted.page_size = 1024;", &exportError) &&
                          executeStatement("SELECT sqlcipher_export('encrypted');", &exportError);
    if (!exported) {
        LdLogger::shared().logError("export error: " + exportError.description());
    }
    LdError detachError;
    const bool detached = executeStatement("DETACH DATABASE encrypted;", &detachError);
    if (!detached) {
        LdLogger::shared().logError("detached error: " + detachError.description());
    }
    if (!exported) {
        return failWith(error, exportError);
    }
    if (!detached) {
        return failWith(error, detachError);
    }
    return true;
}

bool LdCryptStore::changePasswordTo(const std::optional<std::string>& newPassword, LdError* error) {
    std::lock_guard lock(mutex_);
    if (database_ == nullptr) {
        return failWith(error, storeError("store not loaded"));
    }
    const std::string password = newPassword.value_or("");
    if (password_.empty() && password.empty()) {
        return true;
    }
    const std::filesystem::path temporary =
            path_.parent_path() / (rekeyPrefix(path_) + LdUUID::uuidString() + ".tmp");
    finalizeCachedStatements();
    if (!exportWithPassword(password, temporary, error)) {
        removeTemporary(temporary);
        return false;
    }
    if (!closeDatabase()) {
        removeTemporary(temporary);
        return failWith(error, storeError("Error while closing SQL Cipher database"));
    }
    const std::filesystem::path backup = backupPathForStoreAtPath(path_);
    removeQuietly(backup);
    if (!renameQuietly(path_, backup)) {
        removeTemporary(temporary);
        openDatabase();
        return failWith(error, storeError("replace error"));
    }
    if (!renameQuietly(temporary, path_)) {
        renameQuietly(backup, path_);
        removeTemporary(temporary);
        openDatabase();
        return failWith(error, storeError("replace error"));
    }
    const std::string oldPassword = password_;
    password_ = password;
    LdError openError;
    if (openDatabase(&openError) && isPasswordCorrect()) {
        std::error_code failure;
        std::filesystem::remove(backup, failure);
        if (failure) {
            LdLogger::shared().logError("error: " + failure.message());
        }
        return true;
    }
    // Put the old file and password back and keep the store usable.
    closeDatabase();
    removeQuietly(path_);
    renameQuietly(backup, path_);
    password_ = oldPassword;
    openDatabase();
    return failWith(error, openError.isSet() ? openError : storeError("re-key failed"));
}
