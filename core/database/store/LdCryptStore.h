// LdCryptStore: the persistent store of one user database — all objects in one SQLCipher file,
// with the file's schema, metadata, primary keys, saving of change sets and faulting.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/database/model/LdObjectID.h"
#include "core/database/model/LdObjectModel.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/database/store/LdCryptStoreSchema.h"
#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

struct sqlite3;
struct sqlite3_stmt;

// Option key of the database password; absent or empty means the file is not encrypted.
inline constexpr const char* kLdCryptStorePasswordOption = "cryptstore_password";
// Option key of a store opened read-only (a boolean): nothing is created, analysed or saved.
inline constexpr const char* kLdCryptStoreReadOnlyOption = "NSReadOnlyPersistentStoreOption";
inline constexpr const char* kLdCryptStoreType = "CryptStore";
inline constexpr const char* kLdStoreUUIDKey = "NSStoreUUID";
inline constexpr const char* kLdStoreTypeKey = "NSStoreType";
// Metadata keys of the model a file was written with: the model's version identifiers (texts, the
// last one the model version) and entity name -> version hash (data).
inline constexpr const char* kLdStoreModelVersionIdentifiersKey = "NSStoreModelVersionIdentifiers";
inline constexpr const char* kLdStoreModelVersionHashesKey = "NSStoreModelVersionHashes";
// Domain of errors that carry SQLite's result code; the message rides in the debug information
// under kLdCryptStoreErrorMessageKey.
inline constexpr const char* kLdSQLiteErrorDomain = "NSSQLiteErrorDomain";
inline constexpr const char* kLdCryptStoreErrorMessageKey = "CryptStoreErrorMessage";

// One object of a change set, as the object layer hands it to the store. Every vector is indexed
// by property number of the object's entity (LdStoreRow::forObjectID sizes them).
struct LdStoreRow {
    LdObjectID objectID;
    // Attribute values; a null value is stored as SQL NULL. Relationship slots are ignored.
    std::vector<LdValue> values;
    // To-one targets; an invalid ID is no target.
    std::vector<LdObjectID> toOne;
    // To-many targets, in order for ordered relationships.
    std::vector<std::vector<LdObjectID>> toMany;
    // Updates only: which properties changed. Empty means none.
    std::vector<bool> changed;

    // A row for the object with every slot empty and nothing marked changed.
    static LdStoreRow forObjectID(const LdObjectID& objectID);
    // Marks a property changed (sizing the mask on first use).
    void markChanged(std::size_t propertyNumber);
    bool isChanged(std::size_t propertyNumber) const {
        return propertyNumber < changed.size() && changed[propertyNumber];
    }
};

// A save: rows to insert (with permanent IDs from obtainPermanentIDForEntity), rows to update and
// objects to delete.
struct LdStoreChangeSet {
    std::vector<LdStoreRow> inserted;
    std::vector<LdStoreRow> updated;
    std::vector<LdObjectID> deleted;
};

// The stored state of one object: attribute values by property number (null where missing or for
// relationships) and the row version.
struct LdStoreNode {
    std::vector<LdValue> values;
    std::uint64_t version = 0;
};

// The result of a fetch: the object IDs of the matching rows in row order (objects and IDs), and
// the number of matching rows (every result type).
struct LdStoreFetchResult {
    std::vector<LdObjectID> objectIDs;
    std::uint64_t count = 0;
    // Objects result type with the properties cache on: the values of each row, parallel to
    // objectIDs (a node with version 0 where a row's values could not be read ahead). These rows
    // do not go into the properties cache: the caller keeps them.
    std::vector<LdStoreNode> nodes;
};

// The store of one database file. Closed after construction; loadMetadata opens it. Every
// operation holds the store's one mutex around its connection, so contexts on several threads may
// share a store.
class LdCryptStore {
public:
    // initWithPersistentStoreCoordinator:configurationName:URL:options:
    // Takes the password from kLdCryptStorePasswordOption; does not open the file. `model` must
    // outlive the store.
    LdCryptStore(std::filesystem::path path,
                 const LdValue::Dictionary& options,
                 const LdObjectModel& model = LdObjectModel::ledraModel());
    ~LdCryptStore();
    LdCryptStore(const LdCryptStore&) = delete;
    LdCryptStore& operator=(const LdCryptStore&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const LdObjectModel& model() const { return model_; }

    // loadMetadata:
    // Opens the file (a new file gets its metadata and every table) and reads the metadata and
    // the entity numbering. On failure (a wrong password among them) the store is closed again.
    bool loadMetadata(LdError* error = nullptr);

    // The metadata dictionary; written into the file at the start of every save.
    const LdValue::Dictionary& metadata() const { return metadata_; }
    void setMetadata(LdValue::Dictionary metadata) {
        std::lock_guard lock(mutex_);
        metadata_ = std::move(metadata);
    }
    // The store's unique identifier (NSStoreUUID of the metadata).
    std::string identifier() const;

    // openDatabase — nothing happens when already open.
    bool openDatabase(LdError* error = nullptr);
    // closeDatabase — false (and still open) when SQLite refuses to close.
    bool closeDatabase();
    bool isOpen() const { return database_ != nullptr; }
    // isPasswordCorrect — whether the open connection can read the file.
    bool isPasswordCorrect();
    // The open connection, or nullptr; owned by the store.
    sqlite3* database() const { return database_; }
    // The file's mapping of the model; nullptr until loadMetadata succeeded.
    const LdCryptStoreSchema* schema() const { return schema_.get(); }

    // obtainPermanentIDsForObjects:error: for one new object of `entity`: the next primary key
    // of its table. Keys are never handed out twice by one store object.
    std::optional<LdObjectID> obtainPermanentIDForEntity(const LdEntityDescription* entity,
                                                         LdError* error = nullptr);
    // objectIDForEntity:referenceObject:
    LdObjectID objectIDForEntity(const LdEntityDescription* entity, std::uint64_t primaryKey) const;

    // saveWithRequest:withContext:error: — writes the metadata, the inserts, the updates and the
    // deletes in one exclusive transaction; any failure rolls all of it back.
    bool saveChanges(const LdStoreChangeSet& changes, LdError* error = nullptr);

    // executeFetchRequest:withContext:error:
    // Runs the one SELECT of the request. Objects and IDs give the object IDs in row order.
    // While the properties cache is on, objects also give every row's values (nodes), and IDs
    // put the values of up to 10,000 rows into the cache so that faulting them needs no SQL. A
    // request the store cannot express fails with an error titled
    // LdCryptStoreFetchTranslator::kUnsupportedFetchTitle.
    std::optional<LdStoreFetchResult> executeFetchRequest(const LdFetchRequest& request,
                                                          LdError* error = nullptr);

    // Whether fetches fill the properties cache (on from creation).
    bool usePropertiesCache() const { return usePropertiesCache_; }
    void setUsePropertiesCache(bool use);
    // The number of cached rows (at most 1000).
    std::size_t propertiesCacheCount() const { return propertiesCache_.size(); }
    // clearPropertiesCache — done by every save.
    void clearPropertiesCache();

    // Whether a file written with `metadata` can be opened with `model` as it is: where the
    // metadata carries version hashes, they name exactly the model's entities with the model's
    // hashes. (The entity numbering is checked against the model when the file is loaded.)
    static bool isModelCompatibleWithMetadata(const LdObjectModel& model,
                                              const LdValue::Dictionary& metadata);

    // newValuesForObjectWithID:withContext:error:
    // Answers from the properties cache when the row is there. Fails with "object not found"
    // when the row does not exist.
    std::optional<LdStoreNode> valuesForObjectWithID(const LdObjectID& objectID,
                                                     LdError* error = nullptr);
    // newValueForRelationship:forObjectWithID:withContext:error:
    // The targets in order (none or one for a to-one relationship).
    std::optional<std::vector<LdObjectID>> valueForRelationship(
            const LdRelationshipDescription* relationship,
            const LdObjectID& objectID,
            LdError* error = nullptr);

    // vacuumWithError:
    bool vacuumWithError(LdError* error = nullptr);

    // changePasswordTo: — re-keys the open file in place by exporting it into a new file with the
    // new key and swapping the files. No new password means none (the file is decrypted). On
    // failure the old file and password stay and the store is open again with them.
    bool changePasswordTo(const std::optional<std::string>& newPassword, LdError* error = nullptr);

    // The number of connections this process keyed with a password so far: each costs one key
    // derivation (about 32 ms), so opening paths are measured by it.
    static std::uint64_t keyedConnectionCount();

    // The name a re-key moves the old file to while it swaps in the new one: the file's name
    // without extension plus "_backup.db", in the same folder.
    static std::filesystem::path backupPathForStoreAtPath(const std::filesystem::path& path);

    // metadataForCryptStoreAtURL:password:passwordCorrect:error:
    static std::optional<LdValue::Dictionary> metadataForCryptStoreAtURL(
            const std::filesystem::path& path,
            const std::string& password,
            bool* passwordCorrect,
            LdError* error = nullptr);
    // isPasswordCorrect:forCryptStoreAtURL: — an empty password tests the file unencrypted; a
    // file without any table counts as a wrong password.
    static bool isPasswordCorrect(const std::string& password, const std::filesystem::path& path);

    // A read-only report of a store file for users and support staff: its tables (without SQLite's
    // own), the entity numbering, the metadata dictionary and the row count of every numbered
    // entity. Works on any store file, whatever model wrote it. Nothing with an error for a missing
    // file or a wrong password.
    static std::optional<LdValue> inspectStoreAtURL(const std::filesystem::path& path,
                                                    const std::string& password,
                                                    LdError* error = nullptr);

    // preparedStatementForQuery:forDatabase: — nullptr on failure; the caller finalizes it.
    static sqlite3_stmt* preparedStatementForQuery(const std::string& query, sqlite3* database);
    // sqlliteDatabaseErrorForDatabase: — nothing when the connection reports no error.
    static std::optional<LdError> sqlliteDatabaseErrorForDatabase(sqlite3* database);

private:
    bool openConnection(sqlite3** connection, LdError* error) const;
    void repairInterruptedPasswordChange() const;
    bool exportWithPassword(const std::string& newPassword,
                            const std::filesystem::path& target,
                            LdError* error);
    bool executeStatement(const std::string& sql, LdError* error);
    sqlite3_stmt* cachedStatement(const std::string& sql, LdError* error);
    void finalizeCachedStatements();
    bool createNewFile(LdError* error);
    bool readExistingFile(LdError* error);
    bool saveMetadataToDatabase(LdError* error);
    std::optional<std::uint64_t> nextPrimaryKey(const std::string& table, LdError* error);
    bool insertRow(const LdStoreRow& row, LdError* error);
    bool updateRow(const LdStoreRow& row, LdError* error);
    bool bindProperty(sqlite3_stmt* statement,
                      int& position,
                      const LdStoreRow& row,
                      const LdPropertyDescription& property,
                      const LdCryptStoreEntityMapping& mapping,
                      LdError* error) const;
    bool deleteObject(const LdObjectID& objectID, LdError* error);
    bool writeManyToMany(const LdStoreRow& row, bool updateMode, LdError* error);
    bool writeOrder(const LdStoreRow& row,
                    const LdRelationshipDescription* relationship,
                    LdError* error);
    LdObjectID objectIDForRow(sqlite3_stmt* statement,
                              int keyColumn,
                              int entityColumn,
                              const LdEntityDescription* fallback) const;

    using PropertiesCacheEntry = LdStoreNode;
    // addPropertiesCacheDict:forID:
    void addPropertiesCacheEntry(const LdObjectID& objectID, PropertiesCacheEntry entry);
    // addToPropertiesCache: — a batch from one fetch, in row order.
    void addToPropertiesCache(std::vector<std::pair<LdObjectID, PropertiesCacheEntry>> batch);
    // cleanPropertiesCache — keeps the newest entries.
    void cleanPropertiesCache();
    // The columns a fetch of `entity` prefetches: every stored attribute of its whole hierarchy,
    // each column once (first occurrence wins).
    const std::vector<std::string>& hierarchyColumns(const LdEntityDescription* entity);
    // Reads the rows of a fetch or to-many fault: object IDs, and cache entries from the
    // prefetched columns `prefetched` (starting after the key and the entity column) while the
    // cache is on. Fails with the SQLite error when a step fails.
    bool readObjectRows(sqlite3_stmt* statement,
                        const LdEntityDescription* fallback,
                        bool hasEntityColumn,
                        const std::vector<std::string>* prefetched,
                        std::vector<LdObjectID>& objectIDs,
                        std::vector<LdStoreNode>* nodes,
                        LdError* error);
    // Runs ANALYZE when forced or when the file's statistics are missing or outdated, so that
    // joins are planned from the selective indexes.
    bool analyzeIfNeeded(bool force, LdError* error);
    bool statisticsOutdated();

    std::filesystem::path path_;
    std::string password_;
    bool readOnly_ = false;
    const LdObjectModel& model_;
    sqlite3* database_ = nullptr;
    LdValue::Dictionary metadata_;
    std::unique_ptr<LdCryptStoreSchema> schema_;
    std::unordered_map<std::string, std::uint64_t> maxObjectIDCache_;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
    // During a save: inserted row -> (inverse property number, position) in the ordered
    // one-to-many lists of this save.
    std::unordered_map<LdObjectID, std::vector<std::pair<std::size_t, std::size_t>>>
            insertedPositions_;
    // The INSERT of each entity, also held in statements_.
    std::unordered_map<const LdEntityDescription*, sqlite3_stmt*> insertStatements_;
    bool usePropertiesCache_ = true;
    std::unordered_map<LdObjectID, PropertiesCacheEntry> propertiesCache_;
    std::vector<LdObjectID> propertiesCacheOrder_;  // oldest first
    std::unordered_map<const LdEntityDescription*, std::vector<std::string>> hierarchyColumns_;
    // Rows inserted since the statistics were last gathered; ANALYZE runs again at 10,000.
    std::uint64_t insertsSinceAnalyze_ = 0;
    // Serialises every operation on the connection; recursive because operations call each other.
    mutable std::recursive_mutex mutex_;
};
