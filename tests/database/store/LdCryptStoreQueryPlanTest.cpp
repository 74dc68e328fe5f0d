// Query plans of the store's two hottest fetches — the new entries of an account and an account's
// entries in date order — once the store has gathered statistics: the join must be searched from
// the account's day balances (RACCOUNT, then RDAYBALANCE), never driven from the Z_ENT index,
// which matches every entry of the table.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreFetchTranslator.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdDecimal.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

const LdEntityDescription* entity(const char* name) {
    const LdEntityDescription* found = LdObjectModel::ledraModel().entityNamed(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
}

std::size_t number(const LdEntityDescription* owner, const char* name) {
    const LdPropertyDescription* property = owner->propertyNamed(name);
    EXPECT_NE(property, nullptr) << name;
    return property != nullptr ? property->propertyNumber() : 0;
}

// The rows of SQLite's plan ("SEARCH TABLE ...", "SCAN TABLE ...", "USE TEMP B-TREE ..."), in
// loop order, outer loop first.
std::vector<std::string> queryPlan(sqlite3* db, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(
            sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &statement, nullptr),
            SQLITE_OK)
            << sqlite3_errmsg(db) << "\n"
            << sql;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        const auto* detail = reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
        rows.emplace_back(detail != nullptr ? detail : "");
    }
    sqlite3_finalize(statement);
    return rows;
}

// The loops of a plan (its SEARCH and SCAN rows), outer first.
std::vector<std::string> loops(const std::vector<std::string>& plan) {
    std::vector<std::string> found;
    for (const std::string& row : plan) {
        if (row.rfind("SEARCH", 0) == 0 || row.rfind("SCAN", 0) == 0) {
            found.push_back(row);
        }
    }
    return found;
}

std::string joined(const std::vector<std::string>& rows) {
    std::string text;
    for (const std::string& row : rows) {
        text += row + "\n";
    }
    return text;
}

// The stat1 text of an index ("<rows> <rows per key>"), or empty when it has none.
std::string indexStatistics(sqlite3* db, const std::string& index) {
    std::string stat;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT stat FROM sqlite_stat1 WHERE idx = ?;", -1, &statement,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, index.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            stat = text != nullptr ? text : "";
        }
    }
    sqlite3_finalize(statement);
    return stat;
}

// The row count the statistics give an index (the first number of its stat1 text); 0 without.
std::int64_t indexedRows(sqlite3* db, const std::string& index) {
    const std::string stat = indexStatistics(db, index);
    return stat.empty() ? 0 : std::stoll(stat);
}

bool hasStatisticsTable(sqlite3* db) {
    sqlite3_stmt* statement = nullptr;
    bool exists = false;
    if (sqlite3_prepare_v2(db,
                           "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = "
                           "'sqlite_stat1';",
                           -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        exists = sqlite3_column_int64(statement, 0) > 0;
    }
    sqlite3_finalize(statement);
    return exists;
}

constexpr const char* kEntryDayBalanceIndex = "TE_BASEENTRY_RDAYBALANCE_INDEX";
constexpr const char* kEntryEntityIndex = "TE_BASEENTRY_Z_ENT_INDEX";
constexpr const char* kDayBalanceAccountIndex = "TE_DAYBALANCE_RACCOUNT_INDEX";

}  // namespace

class LdCryptStoreQueryPlanTest : public ::testing::Test {
protected:
    std::unique_ptr<LdCryptStore> loadedStore() {
        auto store = std::make_unique<LdCryptStore>(path_, LdValue::Dictionary{});
        LdError error;
        EXPECT_TRUE(store->loadMetadata(&error)) << error;
        return store;
    }

    // Saves `accounts` accounts, each with `days` day balances of `entriesPerDay` entries (every
    // tenth entry new), in one save. Returns the rows saved; remembers the first account.
    std::size_t saveLedger(LdCryptStore& store, int accounts, int days, int entriesPerDay) {
        const LdEntityDescription* account = entity("Account");
        const LdEntityDescription* dayBalance = entity("DayBalance");
        const LdEntityDescription* entry = entity("Entry");
        std::vector<LdStoreRow> accountRows;
        std::vector<LdStoreRow> dayRows;
        std::vector<LdStoreRow> entryRows;
        // Each list only grows while no reference into it is held.
        int entryCount = 0;
        for (int a = 0; a < accounts; ++a) {
            LdStoreRow& accountRow = accountRows.emplace_back(newRow(store, account));
            accountRow.values[number(account, "title")] = LdValue("Account " + std::to_string(a));
            if (!account_.isValid()) {
                account_ = accountRow.objectID;
            }
            for (int d = 0; d < days; ++d) {
                LdStoreRow& day = dayRows.emplace_back(newRow(store, dayBalance));
                day.values[number(dayBalance, "date")] =
                        LdValue(LdDate::fromReferenceSeconds(700000000.0 + d * 86400.0));
                day.toOne[number(dayBalance, "account")] = accountRow.objectID;
                accountRow.toMany[number(account, "dayBalances")].push_back(day.objectID);
                for (int slot = 0; slot < entriesPerDay; ++slot, ++entryCount) {
                    LdStoreRow& entryRow = entryRows.emplace_back(newRow(store, entry));
                    entryRow.values[number(entry, "amount")] =
                            LdValue(LdDecimal::fromParts(static_cast<LdUInt128>(entryCount), -2,
                                                         /*negative=*/false));
                    entryRow.values[number(entry, "isNew")] = LdValue(entryCount % 10 == 0);
                    entryRow.toOne[number(entry, "dayBalance")] = day.objectID;
                    day.toMany[number(dayBalance, "entries")].push_back(entryRow.objectID);
                }
            }
        }
        LdStoreChangeSet changes;
        changes.inserted = std::move(accountRows);
        std::move(dayRows.begin(), dayRows.end(), std::back_inserter(changes.inserted));
        std::move(entryRows.begin(), entryRows.end(), std::back_inserter(changes.inserted));
        LdError error;
        EXPECT_TRUE(store.saveChanges(changes, &error)) << error;
        return changes.inserted.size();
    }

    // A file of 400 entries over ten accounts, written by the store in one save and closed.
    void writeSmallLedger() {
        auto store = loadedStore();
        saveLedger(*store, 10, 10, 4);
    }

    // Removes the statistics of the closed file, as in a file written before the store gathered
    // any.
    void dropStatistics() {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "DROP TABLE IF EXISTS sqlite_stat1;", nullptr, nullptr, nullptr),
                  SQLITE_OK)
                << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    LdFetchRequest entryRequest(const char* format, LdFetchRequest::ResultType resultType) const {
        LdFetchRequest request;
        request.entity = entity("Entry");
        request.resultType = resultType;
        LdError error;
        request.predicate = LdPredicateParser::predicateWithFormat(format, {account_}, &error);
        EXPECT_NE(request.predicate, nullptr) << error;
        return request;
    }

    LdFetchRequest countNewOfAccountRequest() const {
        return entryRequest("dayBalance.account == %@ AND isNew == YES",
                            LdFetchRequest::ResultType::Count);
    }

    LdFetchRequest entriesOfAccountByDateRequest() const {
        LdFetchRequest request =
                entryRequest("dayBalance.account == %@", LdFetchRequest::ResultType::Objects);
        request.sortDescriptors = {{"dayBalance.date", true}};
        return request;
    }

    // The plan of the statement the store runs for `request` (with the properties cache on).
    std::vector<std::string> planOf(const LdCryptStore& store, const LdFetchRequest& request) {
        LdError error;
        std::optional<LdCryptStoreFetchStatement> statement =
                LdCryptStoreFetchTranslator(*store.schema())
                        .statementForFetchRequest(request, /*usePropertiesCache=*/true, &error);
        EXPECT_TRUE(statement.has_value()) << error;
        return statement ? queryPlan(store.database(), statement->sql) : std::vector<std::string>{};
    }

    // Outer loop over the account's day balances by RACCOUNT, inner over their entries by
    // RDAYBALANCE, nothing by Z_ENT.
    void expectSearchFromAccount(const std::vector<std::string>& plan) {
        const std::vector<std::string> found = loops(plan);
        ASSERT_EQ(found.size(), 2U) << joined(plan);
        EXPECT_THAT(found[0], ContainsRegex(std::string("^SEARCH TABLE TE_DAYBALANCE AS t1 USING "
                                                        "(COVERING )?INDEX ") +
                                            kDayBalanceAccountIndex))
                << joined(plan);
        EXPECT_THAT(found[1], ContainsRegex(std::string("^SEARCH TABLE TE_BASEENTRY AS t0 USING "
                                                        "(COVERING )?INDEX ") +
                                            kEntryDayBalanceIndex))
                << joined(plan);
        EXPECT_THAT(joined(plan), Not(HasSubstr(kEntryEntityIndex)));
    }

    LdStoreRow newRow(LdCryptStore& store, const LdEntityDescription* rowEntity) {
        LdError error;
        std::optional<LdObjectID> objectID = store.obtainPermanentIDForEntity(rowEntity, &error);
        EXPECT_TRUE(objectID.has_value()) << error;
        return LdStoreRow::forObjectID(objectID.value_or(LdObjectID()));
    }

    LdTemporaryFolder folder_;
    std::filesystem::path path_ = folder_ / "Plans.ldb";
    LdObjectID account_;
};

TEST_F(LdCryptStoreQueryPlanTest, OpeningAFileWithoutStatisticsGathersThem) {
    writeSmallLedger();
    dropStatistics();

    auto store = loadedStore();
    ASSERT_TRUE(hasStatisticsTable(store->database()));
    EXPECT_EQ(indexedRows(store->database(), kEntryDayBalanceIndex), 400);
    EXPECT_EQ(indexedRows(store->database(), kDayBalanceAccountIndex), 100);
}

TEST_F(LdCryptStoreQueryPlanTest, NewEntriesOfAnAccountAreCountedFromItsDayBalances) {
    writeSmallLedger();
    dropStatistics();
    auto store = loadedStore();

    expectSearchFromAccount(planOf(*store, countNewOfAccountRequest()));
    auto counted = store->executeFetchRequest(countNewOfAccountRequest());
    ASSERT_TRUE(counted.has_value());
    EXPECT_EQ(counted->count, 4U);
}

TEST_F(LdCryptStoreQueryPlanTest, EntriesOfAnAccountInDateOrderAreReadFromItsDayBalances) {
    writeSmallLedger();
    dropStatistics();
    auto store = loadedStore();

    expectSearchFromAccount(planOf(*store, entriesOfAccountByDateRequest()));
    auto fetched = store->executeFetchRequest(entriesOfAccountByDateRequest());
    ASSERT_TRUE(fetched.has_value());
    EXPECT_EQ(fetched->objectIDs.size(), 40U);
}

// A file the store created empty and filled with small saves, as a user does: its statistics
// must describe the entries once it is opened again, or the plans fall back to the Z_ENT index.
TEST_F(LdCryptStoreQueryPlanTest, FileGrownBySmallSavesIsPlannedFromItsContent) {
    writeSmallLedger();

    auto store = loadedStore();
    ASSERT_TRUE(hasStatisticsTable(store->database()));
    EXPECT_EQ(indexedRows(store->database(), kEntryDayBalanceIndex), 400);
    expectSearchFromAccount(planOf(*store, countNewOfAccountRequest()));
    expectSearchFromAccount(planOf(*store, entriesOfAccountByDateRequest()));
}

TEST_F(LdCryptStoreQueryPlanTest, SavesOfTenThousandRowsGatherStatisticsAgain) {
    auto store = loadedStore();
    // Two saves of 5,010 rows each: the count runs over saves.
    std::size_t saved = saveLedger(*store, 10, 250, 1);
    saved += saveLedger(*store, 10, 250, 1);
    ASSERT_GE(saved, 10000U);

    EXPECT_EQ(indexedRows(store->database(), kEntryDayBalanceIndex), 5000);
    expectSearchFromAccount(planOf(*store, countNewOfAccountRequest()));
    expectSearchFromAccount(planOf(*store, entriesOfAccountByDateRequest()));
}
