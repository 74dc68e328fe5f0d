// Tests of the store file: creation, encryption and passwords, saving change sets and faulting.
#include "core/database/store/LdCryptStore.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "core/database/store/detail/LdSQLite.h"
#include "core/support/LdLogger.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/plist/LdKeyedArchive.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

const LdObjectModel& model() {
    return LdObjectModel::ledraModel();
}

const LdEntityDescription* entity(const char* name) {
    const LdEntityDescription* found = model().entityNamed(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// The first entity that can have objects among `entity` and its descendants.
const LdEntityDescription* concreteKindOf(const LdEntityDescription* base) {
    if (!base->isAbstract()) {
        return base;
    }
    for (const LdEntityDescription* descendant : base->allDescendants()) {
        if (!descendant->isAbstract()) {
            return descendant;
        }
    }
    return nullptr;
}

// A value of each attribute type that survives the column exactly.
LdValue sampleValue(LdAttributeType type, int seed) {
    switch (type) {
        case LdAttributeType::Integer16:
        case LdAttributeType::Integer32:
            return LdValue(seed * 7 - 3);
        case LdAttributeType::Integer64:
            return LdValue(std::int64_t{1} << 53 | seed);
        case LdAttributeType::Decimal:
            return LdValue(*LdDecimal::fromString(std::to_string(seed) + ".10"));
        case LdAttributeType::Double:
        case LdAttributeType::Float:
            return LdValue(seed + 0.25);
        case LdAttributeType::String:
            return LdValue("Grüße " + std::to_string(seed));
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

std::vector<std::string> tableNames(const std::filesystem::path& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::vector<std::string> names;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE "
                           "'sqlite\\_%' ESCAPE '\\' ORDER BY name;",
                           -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return names;
}

std::int64_t queryInteger(const std::filesystem::path& path, const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::int64_t value = -1;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

std::string runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    pclose(pipe);
    return output;
}

LdValue::Dictionary passwordOptions(const std::string& password) {
    return {{kLdCryptStorePasswordOption, LdValue(password)}};
}

}  // namespace

class LdCryptStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<LdCryptStore> loadedStore(const std::string& password = "") {
        auto store = std::make_unique<LdCryptStore>(path_, passwordOptions(password));
        LdError error;
        EXPECT_TRUE(store->loadMetadata(&error)) << error;
        return store;
    }

    LdStoreRow newRow(LdCryptStore& store, const LdEntityDescription* rowEntity) {
        LdError error;
        auto objectID = store.obtainPermanentIDForEntity(rowEntity, &error);
        EXPECT_TRUE(objectID.has_value()) << error;
        return LdStoreRow::forObjectID(objectID.value_or(LdObjectID()));
    }

    LdTemporaryFolder folder_;
    std::filesystem::path path_ = folder_ / "sub/folder/Test.ldb";
};

TEST_F(LdCryptStoreTest, NewUnencryptedFileIsPlainSqliteWithExactlyTheStoreTables) {
    auto store = loadedStore();
    ASSERT_TRUE(store->isOpen());
    EXPECT_EQ(store->metadata().at(kLdStoreTypeKey), LdValue("CryptStore"));
    EXPECT_TRUE(LdUUID::isUUIDString(store->identifier()));
    EXPECT_EQ(store->metadata().at(kLdStoreModelVersionIdentifiersKey), LdValue::array({"4992"}));
    EXPECT_EQ(store->metadata().at(kLdStoreModelVersionHashesKey),
              LdValue(model().versionHashes()));
    EXPECT_EQ(store->metadata().size(), 4U);
    ASSERT_TRUE(store->closeDatabase());

    const LdData bytes = ldReadFile(path_);
    ASSERT_GE(bytes.size(), 16U);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 15), "SQLite format 3");

    std::vector<std::string> expected{"T_METADATA", "T_PRIMARYKEY"};
    for (const auto& name : store->schema()->entityTableNames()) {
        expected.push_back(name);
    }
    for (const std::string& statement : store->schema()->createTableStatements()) {
        if (statement.rfind("CREATE TABLE R_", 0) == 0) {
            expected.push_back(statement.substr(13, statement.find(' ', 13) - 13));
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(tableNames(path_), expected);
    EXPECT_EQ(queryInteger(path_, "PRAGMA page_size;"), 1024);
    EXPECT_EQ(queryInteger(path_, "SELECT COUNT(*) FROM T_PRIMARYKEY;"),
              static_cast<std::int64_t>(model().entities().size()));
    EXPECT_NE(runCommand("sqlite3 '" + path_.string() + "' .tables").find("T_PRIMARYKEY"),
              std::string::npos);
}

TEST_F(LdCryptStoreTest, ReopeningKeepsMetadataAndNumbering) {
    std::string identifier;
    {
        auto store = loadedStore();
        identifier = store->identifier();
        auto metadata = store->metadata();
        metadata["LdCatalogueKey"] = LdValue("kept");
        store->setMetadata(metadata);
        LdError error;
        ASSERT_TRUE(store->saveChanges({}, &error)) << error;
    }
    auto store = loadedStore();
    EXPECT_EQ(store->identifier(), identifier);
    EXPECT_EQ(store->metadata().at("LdCatalogueKey"), LdValue("kept"));
    EXPECT_EQ(store->schema()->numbering(), LdCryptStoreSchema::numberingForNewFile(model()));
    bool correct = false;
    auto metadata = LdCryptStore::metadataForCryptStoreAtURL(path_, "", &correct);
    ASSERT_TRUE(metadata.has_value());
    EXPECT_TRUE(correct);
    EXPECT_EQ(metadata->at(kLdStoreUUIDKey), LdValue(identifier));
}

TEST_F(LdCryptStoreTest, FileOfAnotherModelVersionIsRefusedWhereItsHashesDiffer) {
    LdValue::Dictionary metadata;
    {
        auto store = loadedStore();
        metadata = store->metadata();
    }
    EXPECT_TRUE(LdCryptStore::isModelCompatibleWithMetadata(model(), metadata));
    LdValue::Dictionary hashes = metadata.at(kLdStoreModelVersionHashesKey).dictionaryValue();

    // Files written before hashes were recorded carry none: the numbering alone decides.
    metadata.erase(kLdStoreModelVersionHashesKey);
    EXPECT_TRUE(LdCryptStore::isModelCompatibleWithMetadata(model(), metadata));

    LdValue::Dictionary changed = hashes;
    changed["Account"] = LdValue(LdData{1, 2, 3});
    metadata[kLdStoreModelVersionHashesKey] = LdValue(changed);
    EXPECT_FALSE(LdCryptStore::isModelCompatibleWithMetadata(model(), metadata));
    LdValue::Dictionary missing = hashes;
    missing.erase("Account");
    metadata[kLdStoreModelVersionHashesKey] = LdValue(missing);
    EXPECT_FALSE(LdCryptStore::isModelCompatibleWithMetadata(model(), metadata));

    // Written into the file, a changed hash makes the load fail and leaves the store closed.
    auto archive = LdKeyedArchiver::archivedDataWithRootObject(LdValue([&] {
        LdValue::Dictionary written = metadata;
        written[kLdStoreModelVersionHashesKey] = LdValue(changed);
        return written;
    }()));
    ASSERT_TRUE(archive.has_value());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE T_METADATA SET plist = ?;", -1, &statement, nullptr),
              SQLITE_OK);
    sqlite3_bind_blob(statement, 1, archive->data(), static_cast<int>(archive->size()),
                      SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    LdCryptStore store(path_, passwordOptions(""));
    LdError error;
    EXPECT_FALSE(store.loadMetadata(&error));
    EXPECT_FALSE(store.isOpen());
    EXPECT_NE(error.description().find("data model"), std::string::npos) << error;
}

TEST_F(LdCryptStoreTest, EncryptedFileNeedsItsPassword) {
    { auto store = loadedStore("sesame 'quoted'"); }
    EXPECT_NE(runCommand("sqlite3 '" + path_.string() + "' 'SELECT COUNT(*) FROM T_METADATA;'")
                      .find("not a database"),
              std::string::npos);
    EXPECT_NE(runCommand("sqlcipher '" + path_.string() +
                         "' \"PRAGMA key='sesame ''quoted'''; SELECT COUNT(*) FROM T_METADATA;\"")
                      .find("1"),
              std::string::npos);

    EXPECT_TRUE(LdCryptStore::isPasswordCorrect("sesame 'quoted'", path_));
    EXPECT_FALSE(LdCryptStore::isPasswordCorrect("wrong", path_));
    EXPECT_FALSE(LdCryptStore::isPasswordCorrect("", path_));

    LdCryptStore wrong(path_, passwordOptions("wrong"));
    LdError error;
    EXPECT_FALSE(wrong.loadMetadata(&error));
    EXPECT_FALSE(wrong.isOpen());
    EXPECT_EQ(error.domain(), kLdSQLiteErrorDomain);

    bool correct = true;
    EXPECT_FALSE(LdCryptStore::metadataForCryptStoreAtURL(path_, "wrong", &correct).has_value());
    EXPECT_FALSE(correct);
    auto metadata = LdCryptStore::metadataForCryptStoreAtURL(path_, "sesame 'quoted'", &correct);
    EXPECT_TRUE(metadata.has_value());
    EXPECT_TRUE(correct);
}

TEST_F(LdCryptStoreTest, FileWithLegacyIterationCountOpensWithTheRightPassword) {
    sqlite3* db = nullptr;
    std::filesystem::create_directories(path_.parent_path());
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_key(db, "old", 3), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA kdf_iter = 4000; CREATE TABLE legacy (x);", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    // The opening logs that it fell back to the old mode.
    LdTemporaryFolder logs;
    LdLogger& logger = LdLogger::shared();
    logger.setFolderURL(logs.path());
    const int level = logger.logLevel();
    logger.setLogLevel(1);
    const auto loggedOldMode = [&] {
        std::string text;
        for (const auto& file : std::filesystem::directory_iterator(logs.path())) {
            const LdData bytes = ldReadFile(file);
            text.append(bytes.begin(), bytes.end());
        }
        logger.clearExistingLogs();
        return text.find("running with old database mode") != std::string::npos;
    };

    EXPECT_TRUE(LdCryptStore::isPasswordCorrect("old", path_));
    LdCryptStore wrong(path_, passwordOptions("other"));
    EXPECT_FALSE(wrong.loadMetadata());
    logger.clearExistingLogs();
    auto store = loadedStore("old");
    EXPECT_TRUE(store->isOpen());
    EXPECT_TRUE(loggedOldMode());

    // A new password writes the file with today's key derivation.
    LdError error;
    ASSERT_TRUE(store->changePasswordTo("new", &error)) << error;
    store.reset();
    auto reopened = loadedStore("new");
    EXPECT_TRUE(reopened->isOpen());
    EXPECT_FALSE(loggedOldMode());
    logger.setFolderURL(std::nullopt);
    logger.setLogLevel(level);
}

TEST_F(LdCryptStoreTest, FilesWithoutTablesCountAsWrongPassword) {
    ldWriteFile(path_, LdData{});
    EXPECT_FALSE(LdCryptStore::isPasswordCorrect("", path_));
    bool correct = true;
    EXPECT_FALSE(LdCryptStore::metadataForCryptStoreAtURL(path_, "", &correct).has_value());
    EXPECT_FALSE(correct);

    LdError error;
    EXPECT_FALSE(LdCryptStore::metadataForCryptStoreAtURL(folder_ / "missing.ldb", "", &correct,
                                                          &error));
    EXPECT_EQ(error.descriptionKey(),
              "CryptStore file not found at URL: " + (folder_ / "missing.ldb").string());
    EXPECT_FALSE(LdCryptStore::isPasswordCorrect("", folder_.path()));
}

TEST_F(LdCryptStoreTest, EveryEntityRoundTripsWithAttributesAndRelationships) {
    std::map<const LdEntityDescription*, LdStoreRow> rows;
    {
        auto store = loadedStore();
        for (const LdEntityDescription* rowEntity : model().entities()) {
            if (!rowEntity->isAbstract()) {
                rows.emplace(rowEntity, newRow(*store, rowEntity));
            }
        }
        const auto objectOf = [&](const LdEntityDescription* base) {
            return rows.at(concreteKindOf(base)).objectID;
        };
        int seed = 0;
        for (auto& [rowEntity, row] : rows) {
            for (const LdAttributeDescription* attribute : rowEntity->attributes()) {
                if (!attribute->isTransient()) {
                    row.values[attribute->propertyNumber()] =
                            sampleValue(attribute->attributeType(), ++seed);
                }
            }
            for (const LdRelationshipDescription* relationship : rowEntity->relationships()) {
                if (relationship->isToOne()) {
                    row.toOne[relationship->propertyNumber()] =
                            objectOf(relationship->destinationEntity());
                } else if (relationship->isManyToMany()) {
                    row.toMany[relationship->propertyNumber()] = {
                            objectOf(relationship->destinationEntity())};
                }
            }
        }
        // The to-many sides follow from what was set on the other side, newest key first so that
        // ordered relationships read back in an order other than the keys'.
        for (auto& [rowEntity, row] : rows) {
            for (const LdRelationshipDescription* relationship : rowEntity->relationships()) {
                const LdRelationshipDescription* inverse = relationship->inverseRelationship();
                if (relationship->isToOne()) {
                    continue;
                }
                std::vector<LdObjectID> targets;
                for (auto& [otherEntity, other] : rows) {
                    if (!otherEntity->isKindOfEntity(inverse->entity())) {
                        continue;
                    }
                    const std::size_t number = inverse->propertyNumber();
                    const bool points =
                            inverse->isToOne()
                                    ? other.toOne[number] == row.objectID
                                    : std::count(other.toMany[number].begin(),
                                                 other.toMany[number].end(), row.objectID) != 0;
                    if (points) {
                        targets.insert(targets.begin(), other.objectID);
                    }
                }
                if (!relationship->isManyToMany() || targets.size() > 1 ||
                    row.toMany[relationship->propertyNumber()].empty()) {
                    row.toMany[relationship->propertyNumber()] = targets;
                }
            }
        }
        LdStoreChangeSet changes;
        for (auto& [rowEntity, row] : rows) {
            changes.inserted.push_back(row);
        }
        LdError error;
        ASSERT_TRUE(store->saveChanges(changes, &error)) << error;
    }

    auto store = loadedStore();
    for (const auto& [rowEntity, row] : rows) {
        LdError error;
        auto node = store->valuesForObjectWithID(row.objectID, &error);
        ASSERT_TRUE(node.has_value()) << rowEntity->name() << error;
        EXPECT_EQ(node->version, 1U);
        for (const LdAttributeDescription* attribute : rowEntity->attributes()) {
            if (!attribute->isTransient() &&
                attribute->attributeType() != LdAttributeType::Transformable) {
                EXPECT_EQ(node->values[attribute->propertyNumber()],
                          row.values[attribute->propertyNumber()])
                        << rowEntity->name() << "." << attribute->name();
            }
        }
        for (const LdRelationshipDescription* relationship : rowEntity->relationships()) {
            auto targets = store->valueForRelationship(relationship, row.objectID, &error);
            ASSERT_TRUE(targets.has_value()) << error;
            const std::size_t number = relationship->propertyNumber();
            if (relationship->isToOne()) {
                ASSERT_EQ(targets->size(), 1U);
                EXPECT_EQ(targets->front(), row.toOne[number]);
            } else if (relationship->isOrdered()) {
                EXPECT_EQ(*targets, row.toMany[number])
                        << rowEntity->name() << "." << relationship->name();
            } else {
                std::set<LdObjectID> read(targets->begin(), targets->end());
                std::set<LdObjectID> written(row.toMany[number].begin(), row.toMany[number].end());
                EXPECT_EQ(read, written) << rowEntity->name() << "." << relationship->name();
            }
        }
    }
}

TEST_F(LdCryptStoreTest, DecimalsOfUpToFifteenDigitsSurviveTheDoubleColumnExactly) {
    auto store = loadedStore();
    const LdEntityDescription* balance = entity("DayBalance");
    const std::size_t start = balance->attributeNamed("startBalance")->propertyNumber();
    std::mt19937_64 random(15);
    std::vector<std::pair<LdObjectID, LdDecimal>> written;
    LdStoreChangeSet changes;
    for (int index = 0; index < 2000; ++index) {
        // 1 to 15 significant digits at scales from 0 to 10, either sign.
        const int digits = 1 + static_cast<int>(random() % 15);
        std::string text = std::to_string(1 + random() % 9);
        for (int digit = 1; digit < digits; ++digit) {
            text += static_cast<char>('0' + random() % 10);
        }
        const std::size_t scale = random() % 11;
        while (text.size() <= scale) {
            text.insert(text.begin(), '0');
        }
        if (scale > 0) {
            text.insert(text.end() - static_cast<std::ptrdiff_t>(scale), '.');
        }
        if (random() % 2 == 0) {
            text.insert(text.begin(), '-');
        }
        const std::optional<LdDecimal> value = LdDecimal::fromString(text);
        ASSERT_TRUE(value.has_value()) << text;
        LdStoreRow row = newRow(*store, balance);
        row.values[start] = LdValue(*value);
        written.emplace_back(row.objectID, *value);
        changes.inserted.push_back(std::move(row));
    }
    LdError error;
    ASSERT_TRUE(store->saveChanges(changes, &error)) << error;
    store.reset();
    store = loadedStore();
    store->setUsePropertiesCache(false);
    for (const auto& [objectID, value] : written) {
        auto node = store->valuesForObjectWithID(objectID, &error);
        ASSERT_TRUE(node.has_value()) << error;
        EXPECT_EQ(node->values[start].decimalValue(), value) << value.toString();
    }
}

TEST_F(LdCryptStoreTest, UpdatesIncrementTheVersionAndWriteOnlyChangedColumns) {
    auto store = loadedStore();
    const LdEntityDescription* account = entity("Account");
    const LdAttributeDescription* name = account->attributeNamed("title");
    ASSERT_NE(name, nullptr);
    LdStoreRow row = newRow(*store, account);
    row.values[name->propertyNumber()] = LdValue("Checking");
    LdError error;
    ASSERT_TRUE(store->saveChanges({{row}, {}, {}}, &error)) << error;

    LdStoreRow update = LdStoreRow::forObjectID(row.objectID);
    update.values[name->propertyNumber()] = LdValue("Savings");
    update.markChanged(name->propertyNumber());
    ASSERT_TRUE(store->saveChanges({{}, {update}, {}}, &error)) << error;
    EXPECT_EQ(store->valuesForObjectWithID(row.objectID)->version, 2U);
    EXPECT_EQ(store->valuesForObjectWithID(row.objectID)->values[name->propertyNumber()],
              LdValue("Savings"));

    // No changed column: the version still grows, the values stay.
    ASSERT_TRUE(store->saveChanges({{}, {LdStoreRow::forObjectID(row.objectID)}, {}}, &error));
    auto node = store->valuesForObjectWithID(row.objectID);
    EXPECT_EQ(node->version, 3U);
    EXPECT_EQ(node->values[name->propertyNumber()], LdValue("Savings"));
}

TEST_F(LdCryptStoreTest, UnbindableValueRollsBackTheWholeSaveAndKeysAreNotReused) {
    auto store = loadedStore();
    const LdEntityDescription* account = entity("Account");
    const LdAttributeDescription* name = account->attributeNamed("title");
    LdStoreRow good = newRow(*store, account);
    LdStoreRow bad = newRow(*store, account);
    EXPECT_EQ(good.objectID.primaryKey(), 1U);
    EXPECT_EQ(bad.objectID.primaryKey(), 2U);
    bad.values[name->propertyNumber()] = LdValue::array({"not", "a", "text"});
    LdError error;
    EXPECT_FALSE(store->saveChanges({{good, bad}, {}, {}}, &error));
    EXPECT_EQ(error.descriptionKey(), "value cannot be stored");

    error = LdError();
    EXPECT_FALSE(store->valuesForObjectWithID(good.objectID, &error).has_value());
    EXPECT_EQ(error.descriptionKey(), "object not found");
    EXPECT_EQ(newRow(*store, account).objectID.primaryKey(), 3U);

    // Other values of the wrong kind fail the same way.
    for (const LdValue& value : {LdValue("12"), LdValue(LdDecimal::notANumber())}) {
        LdStoreRow row = newRow(*store, account);
        const LdAttributeDescription* number = nullptr;
        for (const LdAttributeDescription* attribute : account->attributes()) {
            if (attribute->attributeType() == LdAttributeType::Decimal ||
                attribute->attributeType() == LdAttributeType::Date) {
                number = attribute;
                break;
            }
        }
        ASSERT_NE(number, nullptr);
        row.values[number->propertyNumber()] = value;
        EXPECT_FALSE(store->saveChanges({{row}, {}, {}}));
    }

    // A new store object continues after the largest key in the table.
    ASSERT_TRUE(store->saveChanges({{newRow(*store, account)}, {}, {}}, &error)) << error;
    store.reset();
    store = loadedStore();
    EXPECT_EQ(newRow(*store, account).objectID.primaryKey(), 7U);
}

TEST_F(LdCryptStoreTest, ManyToManyUpdatesAndDeletesTouchOnlyTheirJoinRows) {
    auto store = loadedStore();
    // The first many-to-many pair of the model between two concrete entities.
    const LdRelationshipDescription* relationship = nullptr;
    for (const LdEntityDescription* candidate : model().entities()) {
        for (const LdRelationshipDescription* r : candidate->relationships()) {
            const LdCryptStoreJoinMapping* join = store->schema()->joinMapping(r);
            if (relationship == nullptr && join != nullptr && join->isWritingDirection &&
                !candidate->isAbstract() && r->inverseRelationship() != r) {
                relationship = r;
            }
        }
    }
    ASSERT_NE(relationship, nullptr);
    const LdEntityDescription* ownerEntity = concreteKindOf(relationship->entity());
    const LdEntityDescription* targetEntity = concreteKindOf(relationship->destinationEntity());
    const LdCryptStoreJoinMapping* join = store->schema()->joinMapping(relationship);

    LdStoreRow owner = newRow(*store, ownerEntity);
    std::vector<LdStoreRow> targets;
    for (int index = 0; index < 3; ++index) {
        targets.push_back(newRow(*store, targetEntity));
        owner.toMany[relationship->propertyNumber()].push_back(targets.back().objectID);
    }
    LdStoreChangeSet insert{{owner}, {}, {}};
    insert.inserted.insert(insert.inserted.end(), targets.begin(), targets.end());
    LdError error;
    ASSERT_TRUE(store->saveChanges(insert, &error)) << error;
    const std::string countSQL = "SELECT COUNT(*) FROM " + join->tableName + ";";
    EXPECT_EQ(queryInteger(path_, countSQL), 3);

    // Drop one target, add a new one: one row goes, one comes.
    LdStoreRow added = newRow(*store, targetEntity);
    LdStoreRow update = LdStoreRow::forObjectID(owner.objectID);
    update.toMany[relationship->propertyNumber()] = {targets[0].objectID, targets[2].objectID,
                                                     added.objectID};
    update.markChanged(relationship->propertyNumber());
    ASSERT_TRUE(store->saveChanges({{added}, {update}, {}}, &error)) << error;
    EXPECT_EQ(queryInteger(path_, countSQL), 3);
    auto read = store->valueForRelationship(relationship, owner.objectID);
    ASSERT_TRUE(read.has_value());
    std::set<LdObjectID> readSet(read->begin(), read->end());
    EXPECT_EQ(readSet,
              (std::set<LdObjectID>{targets[0].objectID, targets[2].objectID, added.objectID}));
    auto back =
            store->valueForRelationship(relationship->inverseRelationship(), targets[0].objectID);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, std::vector<LdObjectID>{owner.objectID});

    // Deleting a target (the side that does not write the rows) removes its row too.
    ASSERT_TRUE(store->saveChanges({{}, {}, {targets[0].objectID}}, &error)) << error;
    EXPECT_EQ(queryInteger(path_, countSQL), 2);
    ASSERT_TRUE(store->saveChanges({{}, {}, {owner.objectID}}, &error)) << error;
    EXPECT_EQ(queryInteger(path_, countSQL), 0);
    error = LdError();
    EXPECT_FALSE(store->valueForRelationship(relationship, owner.objectID, &error).has_value() &&
                 false);
    EXPECT_FALSE(store->valuesForObjectWithID(owner.objectID, &error).has_value());
    EXPECT_EQ(error.descriptionKey(), "object not found");
}

TEST_F(LdCryptStoreTest, ProcessLinksSqlcipherAndNotPlainSqlite) {
    auto store = loadedStore();
    std::ifstream maps("/proc/self/maps");
    ASSERT_TRUE(maps.good());
    bool sqlcipher = false;
    std::string line;
    while (std::getline(maps, line)) {
        EXPECT_EQ(line.find("libsqlite3.so"), std::string::npos) << line;
        sqlcipher = sqlcipher || line.find("libsqlcipher.so") != std::string::npos;
    }
    EXPECT_TRUE(sqlcipher);
}

TEST_F(LdCryptStoreTest, RekeyingThroughPasswordsKeepsEveryRow) {
    auto store = loadedStore();
    const LdEntityDescription* account = entity("Account");
    const LdAttributeDescription* title = account->attributeNamed("title");
    LdStoreRow row = newRow(*store, account);
    row.values[title->propertyNumber()] = LdValue("Checking");
    LdError error;
    ASSERT_TRUE(store->saveChanges({{row}, {}, {}}, &error)) << error;

    // Empty to empty does nothing.
    EXPECT_TRUE(store->changePasswordTo(std::nullopt, &error));
    for (const std::optional<std::string>& password :
         {std::optional<std::string>("first 'pw'"), std::optional<std::string>("second"),
          std::optional<std::string>()}) {
        ASSERT_TRUE(store->changePasswordTo(password, &error)) << error;
        EXPECT_TRUE(store->isOpen());
        EXPECT_TRUE(LdCryptStore::isPasswordCorrect(password.value_or(""), path_));
        EXPECT_EQ(store->valuesForObjectWithID(row.objectID)->values[title->propertyNumber()],
                  LdValue("Checking"));
        EXPECT_FALSE(std::filesystem::exists(LdCryptStore::backupPathForStoreAtPath(path_)));
        // The store stays usable for saves.
        ASSERT_TRUE(store->saveChanges({{newRow(*store, account)}, {}, {}}, &error)) << error;
    }
    store.reset();
    // Decrypted back to a plain file that already has the store's page size.
    EXPECT_EQ(queryInteger(path_, "PRAGMA page_size;"), 1024);
    EXPECT_EQ(queryInteger(path_, "SELECT COUNT(*) FROM TE_ACCOUNTLISTOBJECT;"), 4);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& item :
         std::filesystem::directory_iterator(path_.parent_path())) {
        ++files;
    }
    EXPECT_EQ(files, 1U);
}

TEST_F(LdCryptStoreTest, OpeningRepairsAnInterruptedPasswordChange) {
    const std::filesystem::path backup = LdCryptStore::backupPathForStoreAtPath(path_);
    EXPECT_EQ(backup.filename(), "Test_backup.db");
    std::string identifier;
    {
        auto store = loadedStore();
        identifier = store->identifier();
    }
    // Only the backup is left: it is put back.
    std::filesystem::rename(path_, backup);
    const std::filesystem::path leftover = path_.parent_path() / "Test_rekey_leftover.tmp";
    ldWriteFile(leftover, "partial");
    {
        auto store = loadedStore();
        EXPECT_EQ(store->identifier(), identifier);
    }
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_FALSE(std::filesystem::exists(leftover));

    // Both exist and the store file opens: the backup goes.
    std::filesystem::copy_file(path_, backup);
    {
        auto store = loadedStore();
        EXPECT_EQ(store->identifier(), identifier);
    }
    EXPECT_FALSE(std::filesystem::exists(backup));

    // Both exist and only the backup opens with the password: the backup comes back.
    std::filesystem::rename(path_, backup);
    ldWriteFile(path_, "torn file");
    {
        auto store = loadedStore();
        EXPECT_EQ(store->identifier(), identifier);
    }
    EXPECT_FALSE(std::filesystem::exists(backup));
}

TEST_F(LdCryptStoreTest, FailedRekeyKeepsTheOldFileAndPasswordAndTheStoreUsable) {
    auto store = loadedStore();
    const LdEntityDescription* account = entity("Account");
    LdError error;
    ASSERT_TRUE(store->saveChanges({{newRow(*store, account)}, {}, {}}, &error)) << error;
    // A folder in the way of the backup name makes the swap fail after the export.
    const std::filesystem::path blocker = LdCryptStore::backupPathForStoreAtPath(path_);
    ldWriteFile(blocker / "inside", "x");

    EXPECT_FALSE(store->changePasswordTo(std::string("new"), &error));
    EXPECT_TRUE(store->isOpen());
    EXPECT_TRUE(LdCryptStore::isPasswordCorrect("", path_));
    ASSERT_TRUE(store->saveChanges({{newRow(*store, account)}, {}, {}}, &error)) << error;
    for (const auto& item : std::filesystem::directory_iterator(path_.parent_path())) {
        EXPECT_EQ(item.path().filename().string().find("_rekey_"), std::string::npos);
    }
    store.reset();
    EXPECT_EQ(queryInteger(path_, "SELECT COUNT(*) FROM TE_ACCOUNTLISTOBJECT;"), 2);
}

TEST_F(LdCryptStoreTest, ReorderingAnOrderedToManyRewritesEveryPosition) {
    auto store = loadedStore();
    const LdEntityDescription* entry = entity("Entry");
    const LdEntityDescription* split = entity("SplitEntry");
    const LdRelationshipDescription* splits = entry->relationshipNamed("splits");
    const LdRelationshipDescription* owner = split->relationshipNamed("entry");
    ASSERT_NE(splits, nullptr);
    ASSERT_NE(owner, nullptr);
    LdStoreRow parent = newRow(*store, entry);
    LdStoreChangeSet changes;
    for (int index = 0; index < 3; ++index) {
        LdStoreRow child = newRow(*store, split);
        child.toOne[owner->propertyNumber()] = parent.objectID;
        parent.toMany[splits->propertyNumber()].push_back(child.objectID);
        changes.inserted.push_back(child);
    }
    changes.inserted.push_back(parent);
    LdError error;
    ASSERT_TRUE(store->saveChanges(changes, &error)) << error;
    EXPECT_EQ(*store->valueForRelationship(splits, parent.objectID),
              parent.toMany[splits->propertyNumber()]);

    std::vector<LdObjectID> reordered = parent.toMany[splits->propertyNumber()];
    std::reverse(reordered.begin(), reordered.end());
    LdStoreRow update = LdStoreRow::forObjectID(parent.objectID);
    update.toMany[splits->propertyNumber()] = reordered;
    update.markChanged(splits->propertyNumber());
    ASSERT_TRUE(store->saveChanges({{}, {update}, {}}, &error)) << error;
    EXPECT_EQ(*store->valueForRelationship(splits, parent.objectID), reordered);
    EXPECT_EQ(*store->valueForRelationship(owner, reordered.front()),
              std::vector<LdObjectID>{parent.objectID});
}

TEST_F(LdCryptStoreTest, MetadataWithAClassOutsideTheAllowedOnesFailsTheLoad) {
    {
        auto store = loadedStore();
        auto metadata = store->metadata();
        metadata["savedAt"] = LdValue(LdDate::fromReferenceSeconds(1.0));
        store->setMetadata(metadata);
        ASSERT_TRUE(store->saveChanges({}));
    }
    LdCryptStore store(path_, {});
    LdError error;
    EXPECT_FALSE(store.loadMetadata(&error));
    EXPECT_TRUE(error.isSet());
    EXPECT_FALSE(store.isOpen());
}
