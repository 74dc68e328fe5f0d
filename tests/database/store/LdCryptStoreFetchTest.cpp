// Fetch requests translated into SQL: statement texts and bindings over the real model, and the
// statements prepared and run on an in-memory store built from the same schema.
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "core/database/model/LdObjectModel.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStoreFetchTranslator.h"
#include "core/database/store/LdCryptStoreSchema.h"
#include "core/database/store/LdCryptStoreStringFunctions.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdDecimal.h"

namespace {

using Binding = LdCryptStoreBinding;
using Result = LdFetchRequest::ResultType;

class LdCryptStoreFetchTranslatorTest : public ::testing::Test {
protected:
    LdCryptStoreFetchTranslatorTest()
        : model_(LdObjectModel::ledraModel()),
          schema_(LdCryptStoreSchema::schemaWithNumbering(
                  model_, LdCryptStoreSchema::numberingForNewFile(model_))),
          translator_(*schema_) {}

    const LdEntityDescription* entity(const char* name) const { return model_.entityNamed(name); }
    std::string number(const char* name) const {
        return std::to_string(schema_->entityID(entity(name)));
    }
    LdObjectID objectID(const char* name, std::uint64_t key) const {
        return LdObjectID("store", entity(name), key);
    }

    LdFetchRequest request(const char* entityName,
                           const char* format = nullptr,
                           std::vector<LdPredicateArgument> arguments = {},
                           Result resultType = Result::Count) const {
        LdFetchRequest made;
        made.entity = entity(entityName);
        made.resultType = resultType;
        if (format != nullptr) {
            LdError error;
            made.predicate = LdPredicateParser::predicateWithFormat(format, arguments, &error);
            EXPECT_NE(made.predicate, nullptr) << error.description();
        }
        return made;
    }

    // The statement's SQL, or "ERROR: <reason>".
    std::string sql(const LdFetchRequest& made, bool usePropertiesCache = false) {
        LdError error;
        std::optional<LdCryptStoreFetchStatement> statement =
                translator_.statementForFetchRequest(made, usePropertiesCache, &error);
        if (!statement) {
            return "ERROR: " + error.descriptionKey();
        }
        bindings_ = statement->bindings;
        return statement->sql;
    }

    // The row condition of a count of Entry rows (no joins) for a predicate.
    std::string entryCondition(const char* format,
                               std::vector<LdPredicateArgument> arguments = {}) {
        std::string text = sql(request("Entry", format, std::move(arguments)));
        std::string prefix = "SELECT COUNT(*) FROM TE_BASEENTRY AS t0  WHERE t0.Z_ENT IN (" +
                             number("Entry") + ", " + number("PrebookedOnlineEntry") + ") AND (";
        if (text.rfind(prefix, 0) != 0 || text.size() < prefix.size() + 2) {
            return text;
        }
        return text.substr(prefix.size(), text.size() - prefix.size() - 2);
    }

    const LdObjectModel& model_;
    std::unique_ptr<LdCryptStoreSchema> schema_;
    LdCryptStoreFetchTranslator translator_;
    std::vector<Binding> bindings_;
};

TEST_F(LdCryptStoreFetchTranslatorTest, CountOfNewEntriesOfAnAccountJoinsTheDayBalance) {
    EXPECT_EQ(sql(request("Entry", "dayBalance.account == %@ AND isNew == YES",
                          {objectID("Account", 7)})),
              "SELECT COUNT(*) FROM TE_BASEENTRY AS t0 JOIN TE_DAYBALANCE AS t1 ON "
              "t0.RDAYBALANCE = t1.Z_PK WHERE t0.Z_ENT IN (" +
                      number("Entry") + ", " + number("PrebookedOnlineEntry") +
                      ") AND ((t1.RACCOUNT = ? AND t0.ZISNEW = ?));");
    EXPECT_EQ(bindings_, (std::vector<Binding>{std::int64_t{7}, std::int64_t{1}}));
}

TEST_F(LdCryptStoreFetchTranslatorTest, EntriesOfAnAccountSortedByDateShareOneJoin) {
    LdFetchRequest made = request("Entry", "dayBalance.account == %@", {objectID("Account", 3)},
                                  Result::ObjectIDs);
    made.sortDescriptors = {{"dayBalance.date", true}, {"valutaDate", false}};
    EXPECT_EQ(sql(made),
              "SELECT t0.Z_PK, t0.Z_ENT  FROM TE_BASEENTRY AS t0 JOIN TE_DAYBALANCE AS t1 ON "
              "t0.RDAYBALANCE = t1.Z_PK WHERE t0.Z_ENT IN (" +
                      number("Entry") + ", " + number("PrebookedOnlineEntry") +
                      ") AND (t1.RACCOUNT = ?) ORDER BY t1.ZDATE ASC, t0.ZVALUTADATE DESC;");
}

TEST_F(LdCryptStoreFetchTranslatorTest, EntityFilterFollowsTheHierarchy) {
    LdFetchRequest entries = request("Entry");
    EXPECT_EQ(sql(entries), "SELECT COUNT(*) FROM TE_BASEENTRY AS t0  WHERE t0.Z_ENT IN (" +
                                    number("Entry") + ", " + number("PrebookedOnlineEntry") + ");");
    entries.includesSubentities = false;
    EXPECT_EQ(sql(entries),
              "SELECT COUNT(*) FROM TE_BASEENTRY AS t0  WHERE t0.Z_ENT = " + number("Entry") + ";");
    // A leaf entity of a hierarchy filters on its own number; an entity without one not at all.
    EXPECT_EQ(sql(request("SplitEntry")),
              "SELECT COUNT(*) FROM TE_BASEENTRY AS t0  WHERE t0.Z_ENT = " + number("SplitEntry") +
                      ";");
    EXPECT_EQ(sql(request("DayBalance")), "SELECT COUNT(*) FROM TE_DAYBALANCE AS t0 ;");
}

TEST_F(LdCryptStoreFetchTranslatorTest, LimitAndOffset) {
    LdFetchRequest made = request("DayBalance", nullptr, {}, Result::ObjectIDs);
    made.fetchOffset = 20;
    EXPECT_EQ(sql(made),
              "ERROR: FetchRequest with offset > 0 (current offset = 20) and limit = 0 not "
              "supported by CryptDataStore");
    made.fetchLimit = 10;
    EXPECT_EQ(sql(made), "SELECT t0.Z_PK  FROM TE_DAYBALANCE AS t0  LIMIT 10 OFFSET 20;");
    made.fetchOffset = 0;
    EXPECT_EQ(sql(made), "SELECT t0.Z_PK  FROM TE_DAYBALANCE AS t0  LIMIT 10;");
}

TEST_F(LdCryptStoreFetchTranslatorTest, NilComparisonsUseIsAndBindNothing) {
    EXPECT_EQ(entryCondition("title == nil"), "t0.ZTITLE IS NULL");
    EXPECT_TRUE(bindings_.empty());
    EXPECT_EQ(entryCondition("dayBalance != nil"), "t0.RDAYBALANCE IS NOT NULL");
    EXPECT_TRUE(bindings_.empty());
    EXPECT_EQ(entryCondition("amount < nil"), "t0.ZAMOUNT < ?");
    EXPECT_EQ(bindings_, std::vector<Binding>{std::monostate{}});
    EXPECT_EQ(entryCondition("nil == title"), "ERROR: can't use NULL on left hand side");
}

TEST_F(LdCryptStoreFetchTranslatorTest, InListsBindEveryElement) {
    EXPECT_EQ(entryCondition("syncUniqueID IN %@", {LdValue::array({"a", "b", "c"})}),
              "t0.ZSYNCUNIQUEID IN (?, ?, ?)");
    EXPECT_EQ(bindings_,
              (std::vector<Binding>{std::string("a"), std::string("b"), std::string("c")}));
    EXPECT_EQ(entryCondition("dayBalance IN %@",
                             {LdPredicateArgument::ObjectIDList{objectID("DayBalance", 4),
                                                                objectID("DayBalance", 9)}}),
              "t0.RDAYBALANCE IN (?, ?)");
    EXPECT_EQ(bindings_, (std::vector<Binding>{std::int64_t{4}, std::int64_t{9}}));
    EXPECT_EQ(entryCondition("flag IN {1, 2}"), "t0.ZFLAG IN (?, ?)");
}

TEST_F(LdCryptStoreFetchTranslatorTest, ObjectReferencesBindTheirPrimaryKey) {
    EXPECT_EQ(entryCondition("SELF == %@", {objectID("Entry", 12)}), "t0.Z_PK = ?");
    EXPECT_EQ(bindings_, std::vector<Binding>{std::int64_t{12}});
    EXPECT_EQ(entryCondition("SELF != %@ AND transferEntry == %@",
                             {objectID("Entry", 3), objectID("Entry", 4)}),
              "(t0.Z_PK != ? AND t0.RTRANSFERENTRY = ?)");
    EXPECT_EQ(bindings_, (std::vector<Binding>{std::int64_t{3}, std::int64_t{4}}));
}

TEST_F(LdCryptStoreFetchTranslatorTest, CountSubqueriesPerRelationshipKind) {
    // One-to-many: rows of the destination pointing back.
    EXPECT_EQ(sql(request("DayBalance", "entries.@count > 0")),
              "SELECT COUNT(*) FROM TE_DAYBALANCE AS t0  WHERE (SELECT COUNT(t1.Z_PK) FROM "
              "TE_BASEENTRY t1  WHERE (t0.Z_PK = t1.RDAYBALANCE)) > ?;");
    // Many-to-many: rows of the join table.
    const LdCryptStoreJoinMapping* join =
            schema_->joinMapping(entity("Tag")->relationshipNamed("entries"));
    ASSERT_NE(join, nullptr);
    EXPECT_EQ(sql(request("Tag", "entries.@count == 0")),
              "SELECT COUNT(*) FROM TE_TAG AS t0  WHERE (SELECT COUNT(t1." + join->targetColumn +
                      ") FROM " + join->tableName + " t1  WHERE (t0.Z_PK = t1." +
                      join->ownerColumn + ")) = ?;");
    // To-one: the one row the key names.
    EXPECT_EQ(sql(request("DayBalance", "account.@count == 1")),
              "SELECT COUNT(*) FROM TE_DAYBALANCE AS t0  WHERE (SELECT COUNT(t1.Z_PK) FROM "
              "TE_ACCOUNTLISTOBJECT t1  WHERE (t0.RACCOUNT = t1.Z_PK)) = ?;");
    // A longer path joins on from the first relationship's destination, with inner joins.
    EXPECT_EQ(sql(request("Entry", "dayBalance.entries.@count == 2 OR title == nil")),
              "SELECT COUNT(*) FROM TE_BASEENTRY AS t0  WHERE t0.Z_ENT IN (" + number("Entry") +
                      ", " + number("PrebookedOnlineEntry") +
                      ") AND (((SELECT COUNT(t1.Z_PK) FROM TE_DAYBALANCE t1 JOIN TE_BASEENTRY AS "
                      "t2 ON t1.Z_PK = t2.RDAYBALANCE WHERE (t0.RDAYBALANCE = t1.Z_PK)) = ? OR "
                      "t0.ZTITLE IS NULL));");
    EXPECT_EQ(sql(request("Entry", "dayBalance.date.@count == 2")),
              "ERROR: Expected date is a relationship property");
}

TEST_F(LdCryptStoreFetchTranslatorTest, StringComparisonsGoThroughTheStoreFunctions) {
    EXPECT_EQ(entryCondition("title CONTAINS[cd] %@", {"é"}),
              "CryptStoreStringSearch(t0.ZTITLE, ?, 129, 2)");
    EXPECT_EQ(bindings_, std::vector<Binding>{std::string("é")});
    EXPECT_EQ(entryCondition("title BEGINSWITH %@", {"a"}),
              "CryptStoreStringSearch(t0.ZTITLE, ?, 0, 0)");
    EXPECT_EQ(entryCondition("title ENDSWITH[d] %@", {"a"}),
              "CryptStoreStringSearch(t0.ZTITLE, ?, 128, 1)");
    EXPECT_EQ(entryCondition("title LIKE[c] %@", {"a*"}), "CryptStoreLike(t0.ZTITLE, ?, 1)");
    EXPECT_EQ(entryCondition("title ==[c] %@", {"a"}), "CryptStoreEqualString(t0.ZTITLE, ?, 1)");
    EXPECT_EQ(entryCondition("title == %@", {"a"}), "t0.ZTITLE = ?");
    EXPECT_EQ(entryCondition("title !=[c] %@", {"straße"}), "t0.ZTITLE != UPPER(?)");
    EXPECT_EQ(bindings_, std::vector<Binding>{std::string("STRASSE")});
    EXPECT_EQ(entryCondition("title CONTAINS %@", {5}),
              "ERROR: String compare expression is not an NSString");
    EXPECT_EQ(entryCondition("nothing CONTAINS %@", {"a"}),
              "ERROR: unknown path component \"nothing\"");
}

TEST_F(LdCryptStoreFetchTranslatorTest, OrAnywhereMakesOuterJoins) {
    EXPECT_EQ(sql(request("Entry", "NOT (dayBalance.date > %@ OR isNew == NO)", {LdDate()})),
              "SELECT COUNT(*) FROM TE_BASEENTRY AS t0 LEFT OUTER JOIN TE_DAYBALANCE AS t1 ON "
              "t0.RDAYBALANCE = t1.Z_PK WHERE t0.Z_ENT IN (" +
                      number("Entry") + ", " + number("PrebookedOnlineEntry") +
                      ") AND (NOT ((t1.ZDATE > ? OR t0.ZISNEW = ?)));");
    EXPECT_EQ(bindings_, (std::vector<Binding>{LdDate().unixSeconds(), std::int64_t{0}}));
}

TEST_F(LdCryptStoreFetchTranslatorTest, ManyToManyPathJoinsTheJoinTableAndSelectsDistinct) {
    const LdCryptStoreJoinMapping* join =
            schema_->joinMapping(entity("BaseEntry")->relationshipNamed("tags"));
    ASSERT_NE(join, nullptr);
    EXPECT_EQ(sql(request("DayBalance", "entries.title == %@", {"x"}, Result::ObjectIDs)),
              "ERROR: to-many relation entries fetch currently not supported");
    EXPECT_EQ(sql(request("SplitEntry", "tags.name == %@", {"Food"}, Result::ObjectIDs)),
              "SELECT DISTINCT t0.Z_PK, t0.Z_ENT  FROM TE_BASEENTRY AS t0 JOIN " + join->tableName +
                      " AS t1 ON t0.Z_PK = t1." + join->ownerColumn + " JOIN TE_TAG AS t2 ON t1." +
                      join->targetColumn + " = t2.Z_PK WHERE t0.Z_ENT = " + number("SplitEntry") +
                      " AND (t2.ZNAME = ?);");
}

TEST_F(LdCryptStoreFetchTranslatorTest, UnsupportedRequestsFailWithTheirReason) {
    EXPECT_EQ(
            sql(request("Entry", nullptr, {}, Result::Dictionaries)),
            "ERROR: FetchRequest with NSDictionaryResultType is not supported by CryptDataStore ");
    LdFetchRequest sorted = request("Entry", nullptr, {}, Result::Objects);
    sorted.sortDescriptors = {{"dayBalance", true}};
    EXPECT_EQ(sql(sorted), "ERROR: Missing attribute on the end of key path dayBalance");
    EXPECT_EQ(entryCondition("title MATCHES %@", {"a.*"}),
              "ERROR: MATCHES is not supported: no REGEXP function is registered");
    EXPECT_EQ(entryCondition("title.length == 1"),
              "ERROR: Expected title is a relationship property");
    EXPECT_EQ(entryCondition("flag BETWEEN {1, 2}"), "ERROR: operator BETWEEN is not supported");

    LdError error;
    EXPECT_FALSE(translator_.statementForFetchRequest(LdFetchRequest{}, true, &error));
    EXPECT_FALSE(error.isSet());  // a missing entity is a missing argument
}

TEST_F(LdCryptStoreFetchTranslatorTest, ObjectsPrefetchTheHierarchysAttributesAndTheVersion) {
    LdFetchRequest made = request("DayBalance", nullptr, {}, Result::Objects);
    EXPECT_EQ(sql(made, /*usePropertiesCache=*/true),
              "SELECT t0.Z_PK ,t0.ZDATE,t0.ZSTARTBALANCE,t0.ZENDBALANCE,t0.ZSYNCUNIQUEID,"
              "t0.ZSYNCCHANGEDATE,t0.Z_VERSION FROM TE_DAYBALANCE AS t0 ;");
    LdFetchRequest entries = request("Entry", nullptr, {}, Result::Objects);
    std::optional<LdCryptStoreFetchStatement> statement =
            translator_.statementForFetchRequest(entries, true);
    ASSERT_TRUE(statement);
    EXPECT_TRUE(statement->selectsEntityColumn);
    EXPECT_EQ(statement->sql.find(",t0.ZACCOUNTBALANCE"), std::string::npos);  // transient
    EXPECT_NE(statement->sql.find(",t0.ZLOADDATE"), std::string::npos);        // subentity's own
}

TEST_F(LdCryptStoreFetchTranslatorTest, ValuesBindByTheirKind) {
    using T = LdCryptStoreFetchTranslator;
    EXPECT_EQ(T::bindingForValue(LdValue(true)), Binding(std::int64_t{1}));
    EXPECT_EQ(T::bindingForValue(LdValue(std::int64_t{1} << 40)), Binding(std::int64_t{1} << 40));
    EXPECT_EQ(T::bindingForValue(LdValue(LdDecimal::fromDouble(12.5))), Binding(12.5));
    EXPECT_EQ(T::bindingForValue(LdValue(LdDate::fromUnixSeconds(86400))), Binding(86400.0));
    EXPECT_EQ(T::bindingForValue(LdValue(LdData{1, 2})), Binding(LdData{1, 2}));
    EXPECT_EQ(T::bindingForValue(LdValue()), Binding(std::monostate{}));
    EXPECT_EQ(T::bindingForValue(LdValue::array({1})), Binding(std::monostate{}));
}

// The translated statements run on tables made by the schema, with the store's functions.
class LdCryptStoreFetchSQLTest : public LdCryptStoreFetchTranslatorTest {
protected:
    void SetUp() override {
        ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
        ASSERT_TRUE(LdCryptStoreStringFunctions::registerCryptStoreFunctions(db_));
        for (const std::string& statement : schema_->createTableStatements()) {
            ASSERT_EQ(sqlite3_exec(db_, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
                    << statement;
        }
        std::string entry = number("Entry");
        exec("INSERT INTO TE_DAYBALANCE (Z_PK, Z_VERSION, ZDATE, RACCOUNT) VALUES (1, 1, 10, 7), "
             "(2, 1, 20, 8);");
        exec("INSERT INTO TE_BASEENTRY (Z_PK, Z_ENT, Z_VERSION, ZTITLE, ZISNEW, RDAYBALANCE) "
             "VALUES "
             "(1, " +
             entry + ", 1, 'Bäckerei', 1, 1), (2, " + entry +
             ", 1, 'Rent', 0, 1), "
             "(3, " +
             entry + ", 1, 'Bank', 1, 2);");
    }
    void TearDown() override { sqlite3_close(db_); }

    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
                << sql << ": " << sqlite3_errmsg(db_);
    }

    // Runs a count request and returns its count, or -1 when the statement fails.
    std::int64_t count(const LdFetchRequest& made) {
        std::optional<LdCryptStoreFetchStatement> statement =
                translator_.statementForFetchRequest(made);
        if (!statement) {
            return -1;
        }
        sqlite3_stmt* prepared = nullptr;
        if (sqlite3_prepare_v2(db_, statement->sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << statement->sql << ": " << sqlite3_errmsg(db_);
            return -1;
        }
        int position = 1;
        for (const Binding& binding : statement->bindings) {
            if (const auto* number = std::get_if<std::int64_t>(&binding)) {
                sqlite3_bind_int64(prepared, position, *number);
            } else if (const auto* real = std::get_if<double>(&binding)) {
                sqlite3_bind_double(prepared, position, *real);
            } else if (const auto* text = std::get_if<std::string>(&binding)) {
                sqlite3_bind_text(prepared, position, text->c_str(), static_cast<int>(text->size()),
                                  SQLITE_TRANSIENT);
            }
            ++position;
        }
        std::int64_t result = -1;
        if (sqlite3_step(prepared) == SQLITE_ROW) {
            result = sqlite3_column_int64(prepared, 0);
        }
        sqlite3_finalize(prepared);
        return result;
    }

    sqlite3* db_ = nullptr;
};

TEST_F(LdCryptStoreFetchSQLTest, TranslatedCountsRunAndCount) {
    EXPECT_EQ(count(request("Entry", "dayBalance.account == %@ AND isNew == YES",
                            {objectID("Account", 7)})),
              1);
    EXPECT_EQ(count(request("Entry", "title BEGINSWITH[cd] %@", {"BACK"})), 1);
    EXPECT_EQ(count(request("Entry", "title LIKE[c] %@", {"b*"})), 2);
    EXPECT_EQ(count(request("Entry", "dayBalance.date > %@ OR title == nil", {15})), 1);
    EXPECT_EQ(count(request("DayBalance", "entries.@count >= 2")), 1);
    EXPECT_EQ(count(request("Entry", "dayBalance.entries.@count == 2")), 2);
    EXPECT_EQ(count(request("Entry", "dayBalance.entries.tags.@count == 0")), 3);
    EXPECT_EQ(count(request("Entry", "tags.entries.@count >= 1")), 0);

    // One entry with two tags counts once; a path through a many-to-many goes on from the tags.
    const LdCryptStoreJoinMapping* join =
            schema_->joinMapping(entity("BaseEntry")->relationshipNamed("tags"));
    ASSERT_NE(join, nullptr);
    exec("INSERT INTO TE_TAG (Z_PK, Z_VERSION, ZNAME) VALUES (1, 1, 'a'), (2, 1, 'b');");
    exec("INSERT INTO " + join->tableName + " (" + join->ownerColumn + ", " + join->targetColumn +
         ") VALUES (1, 1), (1, 2), (3, 1);");
    EXPECT_EQ(count(request("Entry", "tags.name != nil")), 2);
    EXPECT_EQ(count(request("Entry", "tags.entries.@count >= 2")), 2);
    EXPECT_EQ(count(request("Entry", "dayBalance IN %@",
                            {LdPredicateArgument::ObjectIDList{objectID("DayBalance", 2)}})),
              1);
}

TEST_F(LdCryptStoreFetchSQLTest, ObjectStatementsWithJoinsPrepare) {
    // Both tables carry Z_PK, Z_VERSION and ZSYNCUNIQUEID: every column must name its alias.
    LdFetchRequest made = request("Entry", "dayBalance.syncUniqueID == %@ AND syncUniqueID == %@",
                                  {"a", "b"}, Result::Objects);
    made.sortDescriptors = {{"dayBalance.date", false}};
    made.fetchLimit = 5;
    std::optional<LdCryptStoreFetchStatement> statement =
            translator_.statementForFetchRequest(made);
    ASSERT_TRUE(statement);
    sqlite3_stmt* prepared = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, statement->sql.c_str(), -1, &prepared, nullptr), SQLITE_OK)
            << statement->sql << ": " << sqlite3_errmsg(db_);
    sqlite3_finalize(prepared);
}

}  // namespace
