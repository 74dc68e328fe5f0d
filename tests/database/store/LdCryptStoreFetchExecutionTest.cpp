// Fetches run against a store file: results in order, counts, windows, subentities, and the
// properties cache that lets fetched rows be faulted without SQL.
#include <gtest/gtest.h>

#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreFetchTranslator.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/foundation/LdDecimal.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

using Result = LdFetchRequest::ResultType;

const LdEntityDescription* entity(const char* name) {
    return LdObjectModel::ledraModel().entityNamed(name);
}

std::size_t number(const char* entityName, const char* property) {
    return entity(entityName)->propertyNamed(property)->propertyNumber();
}

class LdCryptStoreFetchExecutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = std::make_unique<LdCryptStore>(folder_ / "Fetch.ldb", LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
    }

    LdObjectID newID(const char* entityName) {
        auto objectID = store_->obtainPermanentIDForEntity(entity(entityName));
        EXPECT_TRUE(objectID.has_value());
        return objectID.value_or(LdObjectID());
    }

    // One account with `days` day balances, each with entries of the amounts 1..perDay (every
    // second one new), and one split below the first entry.
    void buildLedger(int days, int perDay) {
        LdStoreChangeSet changes;
        account_ = newID("Account");
        LdStoreRow account = LdStoreRow::forObjectID(account_);
        account.values[number("Account", "title")] = LdValue("Giro");
        changes.inserted.push_back(account);
        for (int day = 0; day < days; ++day) {
            LdStoreRow balance = LdStoreRow::forObjectID(newID("DayBalance"));
            balance.values[number("DayBalance", "date")] =
                    LdValue(LdDate::fromReferenceSeconds(86400.0 * (days - day)));
            balance.toOne[number("DayBalance", "account")] = account_;
            for (int index = 1; index <= perDay; ++index) {
                LdStoreRow entry = LdStoreRow::forObjectID(newID("Entry"));
                entry.values[number("Entry", "amount")] =
                        LdValue(*LdDecimal::fromString(std::to_string(index) + ".10"));
                entry.values[number("Entry", "title")] = LdValue("Entry " + std::to_string(index));
                entry.values[number("Entry", "isNew")] = LdValue(index % 2 == 0);
                entry.toOne[number("Entry", "dayBalance")] = balance.objectID;
                balance.toMany[number("DayBalance", "entries")].push_back(entry.objectID);
                entries_.push_back(entry.objectID);
                changes.inserted.push_back(entry);
            }
            changes.inserted.push_back(balance);
        }
        LdStoreRow split = LdStoreRow::forObjectID(newID("SplitEntry"));
        split.values[number("SplitEntry", "amount")] = LdValue(*LdDecimal::fromString("0.10"));
        split.toOne[number("SplitEntry", "entry")] = entries_.front();
        changes.inserted.push_back(split);
        split_ = split.objectID;
        LdError error;
        ASSERT_TRUE(store_->saveChanges(changes, &error)) << error;
    }

    LdFetchRequest request(const char* entityName,
                           const char* format = nullptr,
                           std::vector<LdPredicateArgument> arguments = {},
                           Result resultType = Result::ObjectIDs) {
        LdFetchRequest made;
        made.entity = entity(entityName);
        made.resultType = resultType;
        if (format != nullptr) {
            made.predicate = LdPredicateParser::predicateWithFormat(format, arguments);
            EXPECT_NE(made.predicate, nullptr) << format;
        }
        return made;
    }

    LdStoreFetchResult fetch(const LdFetchRequest& made) {
        LdError error;
        auto result = store_->executeFetchRequest(made, &error);
        EXPECT_TRUE(result.has_value()) << error;
        return result.value_or(LdStoreFetchResult{});
    }

    // Changes a stored amount behind the store's back, through a second connection.
    void setAmountBehindTheStore(const LdObjectID& objectID, double amount) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((folder_ / "Fetch.ldb").c_str(), &db), SQLITE_OK);
        const std::string sql = "UPDATE TE_BASEENTRY SET ZAMOUNT = " + std::to_string(amount) +
                                " WHERE Z_PK = " + std::to_string(objectID.primaryKey()) + ";";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    LdDecimal amountOf(const LdObjectID& objectID) {
        LdError error;
        auto node = store_->valuesForObjectWithID(objectID, &error);
        EXPECT_TRUE(node.has_value()) << error;
        return node ? node->values[number("Entry", "amount")].decimalValue() : LdDecimal();
    }

    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    LdObjectID account_;
    LdObjectID split_;
    std::vector<LdObjectID> entries_;
};

}  // namespace

TEST_F(LdCryptStoreFetchExecutionTest, ResultsFollowPredicateOrderWindowAndEntityFilter) {
    buildLedger(3, 4);

    auto made = request("Entry", "dayBalance.account == %@ AND isNew == YES", {account_});
    made.sortDescriptors = {{"dayBalance.date", true}, {"amount", false}};
    const LdStoreFetchResult all = fetch(made);
    ASSERT_EQ(all.objectIDs.size(), 6U);
    EXPECT_EQ(all.count, 6U);
    // Oldest day first (the last built), within a day the larger amount first.
    EXPECT_EQ(all.objectIDs.front(), entries_[11]);
    EXPECT_EQ(all.objectIDs[1], entries_[9]);
    EXPECT_EQ(all.objectIDs.back(), entries_[1]);
    for (const LdObjectID& objectID : all.objectIDs) {
        EXPECT_EQ(objectID.entity(), entity("Entry"));
    }

    made.fetchLimit = 2;
    made.fetchOffset = 3;
    const LdStoreFetchResult window = fetch(made);
    EXPECT_EQ(window.objectIDs,
              (std::vector<LdObjectID>(all.objectIDs.begin() + 3, all.objectIDs.begin() + 5)));

    made.resultType = Result::Count;
    made.fetchLimit = 0;
    made.fetchOffset = 0;
    EXPECT_EQ(fetch(made).count, 6U);
    EXPECT_TRUE(fetch(made).objectIDs.empty());

    // The abstract root yields rows of every subentity with their own entity.
    const LdStoreFetchResult base = fetch(request("BaseEntry", "amount < 1"));
    ASSERT_EQ(base.objectIDs.size(), 1U);
    EXPECT_EQ(base.objectIDs.front(), split_);
    EXPECT_EQ(base.objectIDs.front().entity(), entity("SplitEntry"));
    auto ownRows = request("BaseEntry", nullptr, {}, Result::Count);
    EXPECT_EQ(fetch(ownRows).count, 13U);
    ownRows.includesSubentities = false;
    EXPECT_EQ(fetch(ownRows).count, 0U);

    EXPECT_EQ(fetch(request("Entry", "title ==[cd] %@ AND amount == nil", {LdValue("ENTRY 1")}))
                      .count,
              0U);
    EXPECT_EQ(fetch(request("Entry", "title LIKE[c] %@", {LdValue("entry ?")})).count, 12U);
}

TEST_F(LdCryptStoreFetchExecutionTest, RequestsTheStoreCannotExpressFailWithTheirReason) {
    buildLedger(1, 1);
    auto made = request("Entry");
    made.fetchOffset = 5;
    LdError error;
    EXPECT_FALSE(store_->executeFetchRequest(made, &error).has_value());
    EXPECT_EQ(error.title(), LdCryptStoreFetchTranslator::kUnsupportedFetchTitle);
    EXPECT_NE(error.description().find("offset"), std::string::npos) << error;

    error = LdError();
    EXPECT_FALSE(store_->executeFetchRequest(request("Entry", "title MATCHES 'a.*'"), &error)
                         .has_value());
    EXPECT_FALSE(error.description().empty());

    LdFetchRequest none;
    EXPECT_FALSE(store_->executeFetchRequest(none).has_value());
}

TEST_F(LdCryptStoreFetchExecutionTest, FetchedRowsFaultFromTheCacheUntilTheNextSave) {
    buildLedger(2, 3);
    const LdObjectID first = entries_.front();
    EXPECT_EQ(amountOf(first), *LdDecimal::fromString("1.10"));

    fetch(request("Entry"));
    EXPECT_EQ(store_->propertiesCacheCount(), 6U);
    setAmountBehindTheStore(first, 9.5);
    // Answered from the fetch's row, as it was read.
    EXPECT_EQ(amountOf(first), *LdDecimal::fromString("1.10"));

    LdError error;
    ASSERT_TRUE(store_->saveChanges({}, &error)) << error;
    EXPECT_EQ(store_->propertiesCacheCount(), 0U);
    EXPECT_EQ(amountOf(first), *LdDecimal::fromString("9.5"));

    // A to-many whose inverse is to-one brings its targets' values along.
    const LdObjectID balance = fetch(request("DayBalance")).objectIDs.front();
    store_->setUsePropertiesCache(false);
    EXPECT_EQ(store_->propertiesCacheCount(), 0U);
    store_->setUsePropertiesCache(true);
    auto targets = store_->valueForRelationship(entity("DayBalance")->relationshipNamed("entries"),
                                                balance, &error);
    ASSERT_TRUE(targets.has_value()) << error;
    EXPECT_EQ(targets->size(), 3U);
    EXPECT_EQ(store_->propertiesCacheCount(), 3U);
    auto node = store_->valuesForObjectWithID(targets->front(), &error);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->version, 1U);
    EXPECT_TRUE(node->values[number("Entry", "title")].isString());

    // Without the cache, a fetch reads only keys and faults read the file.
    store_->setUsePropertiesCache(false);
    fetch(request("Entry"));
    EXPECT_EQ(store_->propertiesCacheCount(), 0U);
}

TEST_F(LdCryptStoreFetchExecutionTest, CacheKeepsAtMostAThousandRowsAndTrimsToTheNewest) {
    buildLedger(12, 100);
    // A fetch larger than the cache keeps its last thousand rows.
    auto ordered = request("Entry");
    ordered.sortDescriptors = {{"amount", true}};
    const LdStoreFetchResult all = fetch(ordered);
    ASSERT_EQ(all.objectIDs.size(), 1200U);
    EXPECT_EQ(store_->propertiesCacheCount(), 1000U);
    setAmountBehindTheStore(all.objectIDs.front(), 77);
    setAmountBehindTheStore(all.objectIDs.back(), 88);
    EXPECT_EQ(amountOf(all.objectIDs.front()), *LdDecimal::fromString("77"));
    EXPECT_NE(amountOf(all.objectIDs.back()), *LdDecimal::fromString("88"));

    // Small fetches add up until the cache is full, then it is trimmed to the newest 500 first.
    store_->setUsePropertiesCache(false);
    store_->setUsePropertiesCache(true);
    auto some = request("Entry", "isNew == YES");
    some.fetchLimit = 400;
    fetch(some);
    EXPECT_EQ(store_->propertiesCacheCount(), 400U);
    auto others = request("Entry", "isNew == NO");
    others.fetchLimit = 400;
    fetch(others);
    EXPECT_EQ(store_->propertiesCacheCount(), 800U);
    others.fetchOffset = 400;
    others.fetchLimit = 200;
    fetch(others);
    EXPECT_EQ(store_->propertiesCacheCount(), 1000U);
    some.fetchOffset = 400;
    some.fetchLimit = 100;
    fetch(some);
    EXPECT_EQ(store_->propertiesCacheCount(), 600U);
}
