// Tests of the in-memory predicate evaluator: the decided meanings on hand-made objects, and a
// property test that holds it to the store's own SELECT on random ledgers and random fetches.
#include "core/database/objects/LdPredicateEvaluator.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "core/database/objects/LdEvaluatedObject.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreFetchTranslator.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

const LdEntityDescription* entity(std::string_view name) {
    const LdEntityDescription* found = LdObjectModel::ledraModel().entityNamed(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// An object in memory as the evaluator sees it: values by property number and targets.
class Record final : public LdEvaluatedObject {
public:
    explicit Record(const LdObjectID& objectID)
        : objectID_(objectID),
          values_(objectID.entity()->propertyCount()),
          toOne_(objectID.entity()->propertyCount(), nullptr),
          toMany_(objectID.entity()->propertyCount()) {}

    const LdObjectID& objectID() const { return objectID_; }
    Record& set(std::string_view name, LdValue value) {
        values_[number(name)] = std::move(value);
        return *this;
    }

    // Links owner and target in both directions (to-many targets in link order).
    static void link(Record& owner, std::string_view name, Record& target) {
        const LdRelationshipDescription* relationship =
                owner.objectID_.entity()->relationshipNamed(name);
        ASSERT_NE(relationship, nullptr) << name;
        owner.attach(relationship, &target);
        target.attach(relationship->inverseRelationship(), &owner);
    }

    // The row the store saves for this object.
    LdStoreRow storeRow() const {
        LdStoreRow row = LdStoreRow::forObjectID(objectID_);
        for (const LdAttributeDescription* attribute : objectID_.entity()->attributes()) {
            row.values[attribute->propertyNumber()] = values_[attribute->propertyNumber()];
        }
        for (const LdRelationshipDescription* relationship : objectID_.entity()->relationships()) {
            const std::size_t slot = relationship->propertyNumber();
            if (toOne_[slot] != nullptr) {
                row.toOne[slot] = toOne_[slot]->objectID_;
            }
            for (const Record* target : toMany_[slot]) {
                row.toMany[slot].push_back(target->objectID_);
            }
        }
        return row;
    }

    const LdEntityDescription* evaluatedEntity() const override { return objectID_.entity(); }
    LdObjectID evaluatedObjectID() const override { return objectID_; }
    LdValue evaluatedAttributeValue(const LdAttributeDescription* attribute) const override {
        return values_[attribute->propertyNumber()];
    }
    const LdEvaluatedObject* evaluatedTarget(
            const LdRelationshipDescription* relationship) const override {
        return toOne_[relationship->propertyNumber()];
    }
    std::vector<const LdEvaluatedObject*> evaluatedTargets(
            const LdRelationshipDescription* relationship) const override {
        const std::vector<const Record*>& targets = toMany_[relationship->propertyNumber()];
        return {targets.begin(), targets.end()};
    }

private:
    std::size_t number(std::string_view name) const {
        const LdPropertyDescription* property = objectID_.entity()->propertyNamed(name);
        EXPECT_NE(property, nullptr) << name;
        return property ? property->propertyNumber() : 0;
    }

    void attach(const LdRelationshipDescription* relationship, const Record* target) {
        if (relationship->isToOne()) {
            toOne_[relationship->propertyNumber()] = target;
        } else {
            toMany_[relationship->propertyNumber()].push_back(target);
        }
    }

    LdObjectID objectID_;
    std::vector<LdValue> values_;
    std::vector<const Record*> toOne_;
    std::vector<std::vector<const Record*>> toMany_;
};

LdValue decimal(const char* text) {
    return LdValue(*LdDecimal::fromString(text));
}

LdValue date(double referenceSeconds) {
    return LdValue(LdDate::fromReferenceSeconds(referenceSeconds));
}

// ---------------------------------------------------------------------------------------------
// The decided meanings, on objects built by hand.

class LdPredicateEvaluatorTest : public ::testing::Test {
protected:
    Record& make(const char* entityName) {
        return records_.emplace_back(LdObjectID("Eval", entity(entityName), ++lastKey_));
    }

    static bool matches(const LdEvaluatedObject& object,
                        const char* format,
                        const std::vector<LdPredicateArgument>& arguments = {}) {
        LdError error;
        const LdPredicatePtr predicate =
                LdPredicateParser::predicateWithFormat(format, arguments, &error);
        EXPECT_NE(predicate, nullptr) << format << ": " << error;
        return predicate && LdPredicateEvaluator::evaluatePredicate(*predicate, object);
    }

    std::deque<Record> records_;
    std::uint64_t lastKey_ = 0;
};

TEST_F(LdPredicateEvaluatorTest, MissingValuesAreUnknownExceptForNilAndTheTextFunctions) {
    Record& entry = make("Entry");
    EXPECT_TRUE(matches(entry, "amount == nil"));
    EXPECT_FALSE(matches(entry, "amount != nil"));
    // Unknown, and NOT of unknown is unknown.
    EXPECT_FALSE(matches(entry, "amount < 5"));
    EXPECT_FALSE(matches(entry, "NOT (amount < 5)"));
    EXPECT_FALSE(matches(entry, "amount < nil OR amount > nil"));
    EXPECT_TRUE(matches(entry, "amount < 5 OR TRUEPREDICATE"));
    EXPECT_FALSE(matches(entry, "amount IN {1, 2}"));
    EXPECT_FALSE(matches(entry, "NOT (amount IN {1, 2})"));
    // "IN ()" is false whatever the value.
    EXPECT_TRUE(matches(entry, "NOT (amount IN {})"));
    // The store's text functions answer 0 for NULL: false, so NOT of it is true.
    EXPECT_FALSE(matches(entry, "title BEGINSWITH 'a'"));
    EXPECT_TRUE(matches(entry, "NOT (title BEGINSWITH 'a')"));
    EXPECT_TRUE(matches(entry, "NOT (title ==[c] 'a')"));

    entry.set("amount", decimal("2"));
    EXPECT_TRUE(matches(entry, "amount IN {1, 2}"));
    EXPECT_FALSE(matches(entry, "amount IN {1, nil}"));
    EXPECT_FALSE(matches(entry, "NOT (amount IN {1, nil})"));
}

TEST_F(LdPredicateEvaluatorTest, ValuesCompareWithSQLiteAffinityAndCrossTypeOrder) {
    Record& entry = make("Entry");
    entry.set("amount", decimal("2.5")).set("title", "5").set("flag", 3);
    EXPECT_TRUE(matches(entry, "amount == 2.5 AND amount == %@", {LdValue(2.5)}));
    // A numeric-looking text against a numeric column reads as a number; any other text is
    // greater than every number.
    EXPECT_TRUE(matches(entry, "amount == %@", {LdValue(" 2.5 ")}));
    EXPECT_TRUE(matches(entry, "amount < %@", {LdValue("abc")}));
    // A number against a text column reads as its text.
    EXPECT_TRUE(matches(entry, "title == 5"));
    EXPECT_TRUE(matches(entry, "title > 40"));  // "5" > "40" byte-wise
    // IN takes the affinity of its left side alone: a constant there converts nothing.
    EXPECT_TRUE(matches(entry, "title IN {5} AND %@ == title", {LdValue(5)}));
    EXPECT_FALSE(matches(entry, "%@ IN title", {LdValue(5)}));
    // Without a column on either side there is no conversion: a count is never equal to a text.
    EXPECT_FALSE(matches(entry, "tags.@count == %@", {LdValue("0")}));
    EXPECT_TRUE(matches(entry, "tags.@count == 0 AND flag IN %@", {LdValue::array({"3"})}));
    // Text functions read a number as SQLite's text of it: a whole decimal is an integer.
    EXPECT_TRUE(matches(entry, "amount ENDSWITH '2.5'"));
    entry.set("amount", decimal("3.00"));
    EXPECT_TRUE(matches(entry, "amount ENDSWITH '3' AND NOT (amount CONTAINS '.')"));
    entry.set("amount", decimal("1.1"));
    EXPECT_TRUE(matches(entry, "amount ENDSWITH '1.1'"));
    // Booleans are integers.
    entry.set("isNew", true);
    EXPECT_TRUE(matches(entry, "isNew == 1 AND isNew > NO"));
}

TEST_F(LdPredicateEvaluatorTest, CaseInsensitiveOptionUpperCasesOnlyTheConstantOfOtherOperators) {
    Record& entry = make("Entry");
    entry.set("title", "a");
    EXPECT_TRUE(matches(entry, "title ==[c] 'A'"));
    // "a" != UPPER('a'), and 'a' (0x61) sorts after 'B' (0x42).
    EXPECT_TRUE(matches(entry, "title !=[c] 'a'"));
    EXPECT_FALSE(matches(entry, "title <[c] 'b'"));
    EXPECT_TRUE(matches(entry, "title <[d] 'b'"));
    entry.set("title", "STRASSE");
    EXPECT_TRUE(matches(entry, "title ==[c] 'straße'"));
    EXPECT_TRUE(matches(entry, "title >=[c] 'straße' AND title <=[c] 'straße'"));
}

TEST_F(LdPredicateEvaluatorTest, ToOnePathsAreInnerJoinsUnlessThePredicateHasAnOr) {
    Record& entry = make("Entry");
    const LdValue day = date(1000);
    // Without a day balance the entry is no row of the join at all.
    EXPECT_FALSE(matches(entry, "dayBalance.date == nil"));
    EXPECT_FALSE(matches(entry, "NOT (dayBalance.date > %@)", {day}));
    EXPECT_TRUE(matches(entry, "dayBalance == nil"));
    // An OR anywhere makes the joins outer: the path reads NULL.
    EXPECT_TRUE(matches(entry, "dayBalance.date == nil OR FALSEPREDICATE"));
    EXPECT_TRUE(matches(entry, "dayBalance == nil OR dayBalance.date > %@", {day}));

    Record& balance = make("DayBalance");
    Record& account = make("Account");
    Record::link(entry, "dayBalance", balance);
    balance.set("date", day);
    EXPECT_TRUE(matches(entry, "dayBalance.date == %@ AND dayBalance.account == nil", {day}));
    EXPECT_FALSE(matches(entry, "dayBalance.account.title == nil"));
    Record::link(balance, "account", account);
    EXPECT_TRUE(matches(entry, "dayBalance.account.title == nil"));
    EXPECT_TRUE(matches(entry, "dayBalance.account == %@", {account.objectID()}));
    // References compare by primary key alone.
    EXPECT_TRUE(matches(entry, "dayBalance.account == %@",
                        {LdValue(static_cast<std::int64_t>(account.objectID().primaryKey()))}));
    EXPECT_TRUE(matches(entry, "SELF IN %@",
                        {LdPredicateArgument::ObjectIDList{account.objectID(), entry.objectID()}}));
}

TEST_F(LdPredicateEvaluatorTest, ManyToManyPathsMatchWhenAnyJoinedRowMatches) {
    Record& entry = make("Entry");
    Record& rent = make("Tag");
    Record& home = make("Tag");
    rent.set("name", "rent");
    home.set("name", "home");
    EXPECT_FALSE(matches(entry, "NONE tags.name == 'rent'"));  // no tags: no rows
    Record::link(entry, "tags", rent);
    Record::link(entry, "tags", home);
    EXPECT_TRUE(matches(entry, "ANY tags.name == 'rent'"));
    // One join per path: a single tag would need both names.
    EXPECT_FALSE(matches(entry, "tags.name == 'rent' AND tags.name == 'home'"));
    // NONE is NOT of the comparison on each row; the "home" row satisfies it.
    EXPECT_TRUE(matches(entry, "NONE tags.name == 'rent'"));
    EXPECT_TRUE(matches(entry, "tags.@count == 2"));
}

TEST_F(LdPredicateEvaluatorTest, CountsFollowTheStoreSubquery) {
    Record& account = make("Account");
    std::vector<Record*> entries;
    for (int day = 0; day < 2; ++day) {
        Record& balance = make("DayBalance");
        Record::link(account, "dayBalances", balance);
        for (int index = 0; index < 3; ++index) {
            Record& entry = make("Entry");
            Record::link(balance, "entries", entry);
            entries.push_back(&entry);
        }
    }
    Record& split = make("SplitEntry");
    Record::link(*entries.front(), "splits", split);
    EXPECT_TRUE(matches(account, "dayBalances.@count == 2 AND dayBalances.entries.@count == 6"));
    EXPECT_TRUE(matches(*entries.front(), "dayBalance.@count == 1 AND splits.@count == 1"));
    EXPECT_TRUE(matches(*entries.front(), "dayBalance.entries.@count == 3"));
    EXPECT_TRUE(matches(split, "entry.splits.@COUNT == 1 AND tags.@count == 0"));
}

TEST_F(LdPredicateEvaluatorTest, PredicatesTheStoreRejectsMatchNothing) {
    Record& entry = make("Entry");
    entry.set("title", "abc").set("amount", decimal("3"));
    for (const char* format :
         {"title MATCHES 'a.*'", "NOT (title MATCHES 'a.*')", "amount BETWEEN {1, 5}",
          "ALL tags.name == 'x'", "NOT (ALL tags.name == 'x')", "title ==[c] 5",
          "SELF BEGINSWITH 'a'", "splits.amount > 1", "accountBalance == nil", "tags == nil",
          "noSuchKey == 1", "title.length == 1", "amount == {1, 2}", "tags.@sum == 1",
          "TRUEPREDICATE OR title MATCHES 'x'"}) {
        EXPECT_FALSE(matches(entry, format)) << format;
    }
}

TEST_F(LdPredicateEvaluatorTest, FetchRequestsAddTheSortKeyJoinsAndTheEntityFilter) {
    Record& entry = make("Entry");
    Record& split = make("SplitEntry");
    LdFetchRequest request;
    request.entity = entity("BaseEntry");
    EXPECT_TRUE(LdPredicateEvaluator::objectMatchesFetchRequest(request, entry));
    EXPECT_TRUE(LdPredicateEvaluator::objectMatchesFetchRequest(request, split));
    request.includesSubentities = false;
    EXPECT_FALSE(LdPredicateEvaluator::objectMatchesFetchRequest(request, entry));

    request.entity = entity("Entry");
    request.sortDescriptors = {{"dayBalance.date", true}};
    EXPECT_FALSE(LdPredicateEvaluator::objectMatchesFetchRequest(request, entry));
    request.predicate = LdPredicateParser::predicateWithFormat("FALSEPREDICATE OR TRUEPREDICATE");
    EXPECT_TRUE(LdPredicateEvaluator::objectMatchesFetchRequest(request, entry));
    request.sortDescriptors = {{"dayBalance", true}};  // no attribute to order by
    EXPECT_FALSE(LdPredicateEvaluator::objectMatchesFetchRequest(request, entry));
    request.resultType = LdFetchRequest::ResultType::Count;  // a count has no ORDER BY
    EXPECT_TRUE(LdPredicateEvaluator::objectMatchesFetchRequest(request, entry));
    request.fetchOffset = 2;
    EXPECT_FALSE(LdPredicateEvaluator::objectMatchesFetchRequest(request, entry));
}

TEST_F(LdPredicateEvaluatorTest, SortOrderPutsMissingFirstAscendingAndComparesBytes) {
    std::vector<Record*> entries;
    for (const LdValue& title :
         {LdValue("a"), LdValue(), LdValue("Z"), LdValue("é"), LdValue("a")}) {
        entries.push_back(&make("Entry").set("title", title));
    }
    std::vector<const Record*> sorted(entries.begin(), entries.end());
    auto sortBy = [&](std::vector<LdSortDescriptor> sorts) {
        std::sort(sorted.begin(), sorted.end(), [&](const Record* a, const Record* b) {
            return LdPredicateEvaluator::compareForSortDescriptors(sorts, *a, *b) < 0;
        });
        std::vector<const Record*> order(sorted.begin(), sorted.end());
        return order;
    };
    EXPECT_EQ(sortBy({{"title", true}}),
              (std::vector<const Record*>{entries[1], entries[2], entries[0], entries[4],
                                          entries[3]}));
    // Descending reverses the keys, not the tie-break by primary key.
    EXPECT_EQ(sortBy({{"title", false}}),
              (std::vector<const Record*>{entries[3], entries[0], entries[4], entries[2],
                                          entries[1]}));
    EXPECT_EQ(LdPredicateEvaluator::compareSortKeys({{"title", true}}, *entries[0], *entries[4]),
              0);

    // Through a to-one path: no target reads as missing.
    Record& balance = make("DayBalance").set("date", date(5));
    Record::link(*entries[2], "dayBalance", balance);
    EXPECT_GT(LdPredicateEvaluator::compareSortKeys({{"dayBalance.date", true}}, *entries[2],
                                                    *entries[0]),
              0);
    EXPECT_LT(LdPredicateEvaluator::compareSortKeys({{"dayBalance.date", false}}, *entries[2],
                                                    *entries[0]),
              0);
}

// ---------------------------------------------------------------------------------------------
// The property test: random ledgers saved into a real store, random fetches run by the store's
// SQL and by the evaluator over the same objects.

const std::vector<std::string> kTexts = {
        "Miete",  "miete",   "MIETE",   "Café",        "cafe",    "CAFÉ",   "Cafe\u0301",
        "Straße", "STRASSE", "strasse", "Gehalt März", "gehalt",  "Zürich", "zurich",
        "a*b",    "a?c",     "",        "12",          "2.5",     " 7 ",    "1e3",
        "abc",    "ABC",     "ab",      "日本",        "Ölpreis", "Z",      "-0.01"};
const std::vector<const char*> kDecimals = {"-12.50", "0", "0.10",     "1.1", "100",   "-0.01",
                                            "2.5",    "7", "99999.99", "-7",  "3.333", "12"};
const std::vector<double> kDates = {0, 86400, 700000000, 700000000.5, 700086400, -86400.25, 1e9};
const std::vector<std::string> kPatterns = {
        "mi",      "MI",    "Miete", "ete",   "caf", "CAFE", "café", "é",   "e", "ß",  "ss",
        "STRASSE", "",      "ä",     "12",    "1",   ".1",   "-",    "0",   "*", "a*", "*e",
        "?a*",     "M?ete", "*e?e",  "a\\*b", "日",  "2.5",  "zu*",  "*R*", "7"};

struct Ledger {
    std::deque<Record> records;
    std::map<std::string, std::vector<Record*>> byEntity;
    std::map<LdObjectID, const Record*> byID;
};

// Builds a random ledger; `newID` hands out the store's keys.
class LedgerBuilder {
public:
    LedgerBuilder(std::uint32_t seed, std::function<LdObjectID(const LdEntityDescription*)> newID)
        : random_(seed), newID_(std::move(newID)) {}

    Ledger build() {
        Ledger ledger;
        auto make = [&](const char* name) -> Record& {
            Record& record = ledger.records.emplace_back(newID_(entity(name)));
            ledger.byEntity[name].push_back(&record);
            ledger.byID[record.objectID()] = &record;
            return record;
        };
        for (int i = 0; i < 3; ++i) {
            make("Account")
                    .set("title", maybe(20, text()))
                    .set("accountType", maybe(30, integer()));
        }
        for (int i = 0; i < 4; ++i) {
            make("Tag").set("name", maybe(15, text()));
        }
        for (int i = 0; i < 6; ++i) {
            Record& balance = make("DayBalance")
                                      .set("date", maybe(15, dateValue()))
                                      .set("startBalance", maybe(20, decimalValue()));
            if (chance(80)) {
                Record::link(balance, "account", *pickFrom(ledger.byEntity["Account"]));
            }
        }
        for (int i = 0; i < 26; ++i) {
            Record& entry = make("Entry")
                                    .set("amount", maybe(15, decimalValue()))
                                    .set("title", maybe(15, text()))
                                    .set("comment", maybe(50, text()))
                                    .set("isNew", maybe(20, LdValue(chance(50))))
                                    .set("flag", maybe(30, integer()))
                                    .set("valutaDate", maybe(40, dateValue()));
            if (chance(80)) {
                Record::link(entry, "dayBalance", *pickFrom(ledger.byEntity["DayBalance"]));
            }
            linkTags(ledger, entry, 30);
        }
        for (int i = 0; i < 8; ++i) {
            Record& split = make("SplitEntry")
                                    .set("amount", maybe(15, decimalValue()))
                                    .set("title", maybe(30, text()));
            if (chance(80)) {
                Record::link(split, "entry", *pickFrom(ledger.byEntity["Entry"]));
            }
            linkTags(ledger, split, 20);
        }
        return ledger;
    }

private:
    bool chance(unsigned percent) { return random_() % 100 < percent; }
    template <typename T>
    T pickFrom(const std::vector<T>& items) {
        return items[random_() % items.size()];
    }
    LdValue maybe(unsigned nullPercent, LdValue value) {
        return chance(nullPercent) ? LdValue() : std::move(value);
    }
    LdValue text() { return LdValue(pickFrom(kTexts)); }
    LdValue integer() { return LdValue(static_cast<int>(random_() % 6) - 2); }
    LdValue decimalValue() { return decimal(pickFrom(kDecimals)); }
    LdValue dateValue() { return date(pickFrom(kDates)); }

    void linkTags(Ledger& ledger, Record& entry, unsigned percent) {
        for (Record* tag : ledger.byEntity["Tag"]) {
            if (chance(percent)) {
                Record::link(entry, "tags", *tag);
            }
        }
    }

    std::mt19937 random_;
    std::function<LdObjectID(const LdEntityDescription*)> newID_;
};

enum class Kind { Decimal, Text, Boolean, Integer, Date, Reference, Count };

struct PathChoice {
    const char* keyPath;
    Kind kind;
    const char* target = nullptr;  // the referenced entity
    bool toMany = false;           // passes through a many-to-many relationship
};

struct Catalogue {
    const char* entity;
    std::vector<PathChoice> paths;
    std::vector<const char*> sortKeys;
};

const std::vector<Catalogue>& catalogues() {
    static const std::vector<Catalogue> kCatalogues = {
            {"Entry",
             {{"amount", Kind::Decimal},
              {"title", Kind::Text},
              {"comment", Kind::Text},
              {"isNew", Kind::Boolean},
              {"flag", Kind::Integer},
              {"valutaDate", Kind::Date},
              {"dayBalance", Kind::Reference, "DayBalance"},
              {"dayBalance.date", Kind::Date},
              {"dayBalance.startBalance", Kind::Decimal},
              {"dayBalance.account", Kind::Reference, "Account"},
              {"dayBalance.account.title", Kind::Text},
              {"tags.name", Kind::Text, nullptr, true},
              {"SELF", Kind::Reference, "Entry"},
              {"tags.@count", Kind::Count},
              {"splits.@count", Kind::Count},
              {"dayBalance.@count", Kind::Count},
              {"dayBalance.entries.@count", Kind::Count},
              {"splits.tags.@count", Kind::Count}},
             {"amount", "title", "comment", "isNew", "flag", "valutaDate", "dayBalance.date",
              "dayBalance.startBalance", "dayBalance.account.title"}},
            {"BaseEntry",
             {{"amount", Kind::Decimal},
              {"title", Kind::Text},
              {"comment", Kind::Text},
              {"tags.name", Kind::Text, nullptr, true},
              {"tags.@count", Kind::Count},
              {"SELF", Kind::Reference, "Entry"}},
             {"amount", "title", "comment"}},
            {"DayBalance",
             {{"date", Kind::Date},
              {"startBalance", Kind::Decimal},
              {"account", Kind::Reference, "Account"},
              {"account.title", Kind::Text},
              {"entries.@count", Kind::Count},
              {"entries.splits.@count", Kind::Count},
              {"entries.tags.@count", Kind::Count},
              {"account.dayBalances.@count", Kind::Count},
              {"SELF", Kind::Reference, "DayBalance"}},
             {"date", "startBalance", "account.title"}},
            {"Tag",
             {{"name", Kind::Text},
              {"entries.title", Kind::Text, nullptr, true},
              {"entries.amount", Kind::Decimal, nullptr, true},
              {"entries.@count", Kind::Count},
              {"SELF", Kind::Reference, "Tag"}},
             {"name"}},
            {"Account",
             {{"title", Kind::Text},
              {"accountType", Kind::Integer},
              {"dayBalances.@count", Kind::Count},
              {"dayBalances.entries.@count", Kind::Count},
              {"SELF", Kind::Reference, "Account"}},
             {"title", "accountType"}},
    };
    return kCatalogues;
}

// Writes random predicates over one entity's key paths, in the predicate format with
// placeholders, covering every form the translator knows and a few it rejects.
class PredicateGenerator {
public:
    PredicateGenerator(std::mt19937& rng, const Ledger& ledger, const Catalogue& catalogue)
        : random_(rng), ledger_(ledger), catalogue_(catalogue) {}

    LdPredicatePtr next() {
        format_.clear();
        arguments_.clear();
        predicate(0);
        LdError error;
        LdPredicatePtr made = LdPredicateParser::predicateWithFormat(format_, arguments_, &error);
        EXPECT_NE(made, nullptr) << format_ << ": " << error;
        return made;
    }

private:
    std::size_t pick(std::size_t count) { return random_() % count; }
    bool chance(unsigned percent) { return random_() % 100 < percent; }
    template <typename T>
    const T& pickFrom(const std::vector<T>& items) {
        return items[pick(items.size())];
    }

    void predicate(int depth) {
        const std::size_t roll = pick(100);
        if (depth < 3 && roll < 30) {
            const char* joiner = roll < 16 ? " AND " : " OR ";
            const std::size_t count = 2 + pick(2);
            format_ += "(";
            for (std::size_t i = 0; i < count; ++i) {
                format_ += i > 0 ? joiner : "";
                predicate(depth + 1);
            }
            format_ += ")";
        } else if (depth < 3 && roll < 38) {
            format_ += "NOT (";
            predicate(depth + 1);
            format_ += ")";
        } else if (roll < 40) {
            format_ += chance(50) ? "TRUEPREDICATE" : "FALSEPREDICATE";
        } else if (roll < 43) {
            rejectedComparison();
        } else {
            comparison();
        }
    }

    void comparison() {
        const PathChoice& path = pickFrom(catalogue_.paths);
        if (path.toMany) {
            const std::size_t roll = pick(100);
            format_ += roll < 15 ? "ANY " : roll < 30 ? "NONE " : "";
        }
        const std::size_t roll = pick(100);
        if (roll < 30 && path.kind != Kind::Count) {
            textComparison(path);
        } else if (roll < 45) {
            inComparison(path);
        } else {
            ordinaryComparison(path);
        }
    }

    void ordinaryComparison(const PathChoice& path) {
        static const std::vector<const char*> kOperators = {"<", "<=", ">", ">=", "==", "!="};
        const char* op = pickFrom(kOperators);
        std::string options;
        if (chance(15)) {
            options = pickFrom(std::vector<std::string>{"[c]", "[d]", "[cd]"});
        }
        const std::size_t roll = pick(100);
        if (roll < 10) {
            format_ += std::string(path.keyPath) + " " +
                       pickFrom(std::vector<std::string>{"== nil", "!= nil", "< nil"});
        } else if (roll < 18) {
            format_ += "%@ " + std::string(op) + options + " " + path.keyPath;
            arguments_.push_back(constant(path));
        } else if (roll < 24) {
            // Two key paths of this entity.
            format_ += std::string(path.keyPath) + " " + op + options + " " +
                       pickFrom(catalogue_.paths).keyPath;
        } else if (roll < 34) {
            format_ += std::string(path.keyPath) + " " + op + options + " " + literal(path.kind);
        } else {
            format_ += std::string(path.keyPath) + " " + op + options + " %@";
            arguments_.push_back(constant(path));
        }
    }

    void textComparison(const PathChoice& path) {
        static const std::vector<const char*> kOperators = {"==", "LIKE", "BEGINSWITH", "ENDSWITH",
                                                            "CONTAINS"};
        const char* op = pickFrom(kOperators);
        std::string options = pickFrom(std::vector<std::string>{"", "[c]", "[d]", "[cd]"});
        if (std::string(op) == "==" && options.empty()) {
            options = "[c]";
        }
        format_ += std::string(path.keyPath) + " " + op + options + " %@";
        arguments_.emplace_back(LdValue(pickFrom(kPatterns)));
    }

    void inComparison(const PathChoice& path) {
        const std::size_t count = pick(5);
        const std::size_t roll = pick(100);
        if (roll < 8) {
            // "? IN (column)" and "column IN (column)": the left side alone gives the affinity.
            format_ += chance(50) ? std::string("%@") : pickFrom(catalogue_.paths).keyPath;
            if (format_.back() == '@') {
                arguments_.push_back(constant(path, 50));
            }
            format_ += std::string(" IN ") + path.keyPath;
            return;
        }
        format_ += std::string(path.keyPath) + " IN ";
        if (path.kind == Kind::Reference && roll < 50) {
            LdPredicateArgument::ObjectIDList list;
            for (std::size_t i = 0; i < count; ++i) {
                list.push_back(constant(path).objectID());
            }
            format_ += "%@";
            arguments_.emplace_back(std::move(list));
        } else if (roll < 70) {
            format_ += "{";
            for (std::size_t i = 0; i < count; ++i) {
                format_ += i > 0 ? ", %@" : "%@";
                arguments_.push_back(constant(path));
            }
            format_ += "}";
        } else if (roll < 90 && path.kind != Kind::Reference) {
            LdValue::Array values;
            for (std::size_t i = 0; i < count; ++i) {
                values.push_back(constant(path).value());
            }
            format_ += "%@";
            arguments_.emplace_back(LdValue(std::move(values)));
        } else {
            format_ += "%@";  // "IN (?)"
            arguments_.push_back(constant(path));
        }
    }

    // Forms the store refuses; the evaluator must match nothing for them.
    void rejectedComparison() {
        static const std::vector<const char*> kForms = {"title MATCHES 'a.*'", "noSuchKey == 1",
                                                        "SELF BEGINSWITH 'a'", "SELF == {1, 2}",
                                                        "SELF BETWEEN {1, 5}", "ALL SELF == 1"};
        format_ += pickFrom(kForms);
    }

    // A constant of the path's kind, now and then of another kind.
    LdPredicateArgument constant(const PathChoice& path, unsigned otherKindPercent = 8) {
        Kind kind = path.kind;
        if (chance(otherKindPercent)) {
            kind = static_cast<Kind>(pick(6));
        }
        switch (kind) {
            case Kind::Decimal:
                if (chance(15)) {
                    return LdValue(static_cast<int>(pick(21)) - 10);
                }
                if (chance(10)) {
                    return LdValue(pickFrom(std::vector<double>{2.5, 0.1, -7.0, 1e3}));
                }
                return decimal(pickFrom(kDecimals));
            case Kind::Text:
                return LdValue(pickFrom(kTexts));
            case Kind::Boolean:
                return chance(70) ? LdValue(chance(50)) : LdValue(static_cast<int>(pick(3)));
            case Kind::Integer:
                return chance(85) ? LdValue(static_cast<int>(pick(6)) - 2) : decimal("1.5");
            case Kind::Date:
                if (chance(20)) {
                    return LdValue(LdDate::fromReferenceSeconds(pickFrom(kDates)).unixSeconds());
                }
                return date(pickFrom(kDates) + (chance(30) ? 0.5 : 0.0));
            case Kind::Reference: {
                const char* target = path.target != nullptr && chance(85) ? path.target : "Tag";
                const std::vector<Record*>& records = ledger_.byEntity.at(target);
                if (chance(10)) {
                    return LdValue(static_cast<std::int64_t>(pick(12)));
                }
                return records[pick(records.size())]->objectID();
            }
            case Kind::Count:
                return LdValue(static_cast<int>(pick(5)));
        }
        return LdValue();
    }

    std::string literal(Kind kind) {
        switch (kind) {
            case Kind::Boolean:
                return chance(50) ? "YES" : "NO";
            case Kind::Text:
                return pickFrom(std::vector<std::string>{"'abc'", "\"Miete\"", "'7'", "''"});
            case Kind::Decimal:
                return pickFrom(std::vector<std::string>{"2.5", "-7", "0.10", "1e2"});
            default:
                return std::to_string(static_cast<int>(pick(6)) - 2);
        }
    }

    std::mt19937& random_;
    const Ledger& ledger_;
    const Catalogue& catalogue_;
    std::string format_;
    std::vector<LdPredicateArgument> arguments_;
};

class LdPredicateEvaluatorStoreTest : public ::testing::Test {
protected:
    // Saves a random ledger for the seed into a new store.
    void buildLedger(std::uint32_t seed) {
        store_ = std::make_unique<LdCryptStore>(folder_ / ("Eval" + std::to_string(seed) + ".ldb"),
                                                LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        store_->setUsePropertiesCache(false);
        LedgerBuilder builder(seed, [&](const LdEntityDescription* rowEntity) {
            return store_->obtainPermanentIDForEntity(rowEntity).value_or(LdObjectID());
        });
        ledger_ = builder.build();
        LdStoreChangeSet changes;
        for (const Record& record : ledger_.records) {
            changes.inserted.push_back(record.storeRow());
        }
        ASSERT_TRUE(store_->saveChanges(changes, &error)) << error;
    }

    // What the evaluator says the request returns: matches sorted, before the window.
    std::vector<const Record*> evaluatedMatches(const LdFetchRequest& request) const {
        std::vector<const Record*> matches;
        for (const Record& record : ledger_.records) {
            if (LdPredicateEvaluator::objectMatchesFetchRequest(request, record)) {
                matches.push_back(&record);
            }
        }
        std::sort(matches.begin(), matches.end(), [&](const Record* a, const Record* b) {
            return LdPredicateEvaluator::compareForSortDescriptors(request.sortDescriptors, *a,
                                                                   *b) < 0;
        });
        return matches;
    }

    std::string describe(std::uint32_t seed, const LdFetchRequest& request) const {
        std::ostringstream text;
        text << "seed " << seed << ", " << request.entity->name() << " where "
             << (request.predicate ? request.predicate->predicateFormat() : "-") << ", order";
        for (const LdSortDescriptor& sort : request.sortDescriptors) {
            text << " " << sort.keyPath << (sort.ascending ? " ASC" : " DESC");
        }
        text << ", limit " << request.fetchLimit << " offset " << request.fetchOffset;
        LdError error;
        auto statement = LdCryptStoreFetchTranslator(*store_->schema())
                                 .statementForFetchRequest(request, false, &error);
        text << "\n  SQL: " << (statement ? statement->sql : error.description());
        return text.str();
    }

    // Runs the request both ways; the store's rows must be the evaluator's, in an order that
    // differs at most within ties of the sort keys.
    void checkRequest(std::uint32_t seed, const LdFetchRequest& request) {
        ++stats_.requests;
        const std::vector<const Record*> matches = evaluatedMatches(request);
        LdError error;
        const auto result = store_->executeFetchRequest(request, &error);
        if (!result) {
            ++stats_.rejected;
            EXPECT_TRUE(matches.empty()) << "the store failed (" << error.description()
                                         << ") where the evaluator matches " << matches.size()
                                         << " objects: " << describe(seed, request);
            return;
        }
        stats_.nonEmpty += result->objectIDs.empty() ? 0U : 1U;
        const std::size_t first = std::min(request.fetchOffset, matches.size());
        const std::size_t size = request.fetchLimit == 0
                                         ? matches.size() - first
                                         : std::min(request.fetchLimit, matches.size() - first);
        std::ostringstream problem;
        if (result->objectIDs.size() != size) {
            problem << "the store returns " << result->objectIDs.size() << " rows, the evaluator "
                    << size;
        }
        std::set<LdObjectID> seen;
        for (std::size_t i = 0; problem.str().empty() && i < result->objectIDs.size(); ++i) {
            const auto found = ledger_.byID.find(result->objectIDs[i]);
            if (found == ledger_.byID.end() || !seen.insert(result->objectIDs[i]).second ||
                !LdPredicateEvaluator::objectMatchesFetchRequest(request, *found->second)) {
                problem << "row " << i << " (key " << result->objectIDs[i].primaryKey()
                        << ") is no match of the evaluator";
            } else if (LdPredicateEvaluator::compareSortKeys(
                               request.sortDescriptors, *found->second, *matches[first + i]) != 0) {
                problem << "row " << i << " (key " << result->objectIDs[i].primaryKey()
                        << ") is out of order";
            } else if (found->second != matches[first + i]) {
                ++stats_.tiesReordered;
            }
        }
        EXPECT_TRUE(problem.str().empty()) << problem.str() << ": " << describe(seed, request);

        // The store's count is COUNT(*) over the joined rows without DISTINCT, so it counts an
        // object once per many-to-many target; it is compared only without such joins.
        if (!joinsManyToMany(request)) {
            LdFetchRequest counting = request;
            counting.resultType = LdFetchRequest::ResultType::Count;
            counting.fetchLimit = 0;
            counting.fetchOffset = 0;
            const auto counted = store_->executeFetchRequest(counting, &error);
            ASSERT_TRUE(counted.has_value()) << error;
            EXPECT_EQ(counted->count, matches.size()) << describe(seed, counting);
        }

        // Without sort-key joins, the predicate alone decides for the entity's own objects.
        if (request.predicate && request.fetchLimit == 0 &&
            std::none_of(request.sortDescriptors.begin(), request.sortDescriptors.end(),
                         [](const LdSortDescriptor& sort) {
                             return sort.keyPath.find('.') != std::string::npos;
                         })) {
            for (const Record& record : ledger_.records) {
                if (record.evaluatedEntity() == request.entity) {
                    EXPECT_EQ(LdPredicateEvaluator::evaluatePredicate(*request.predicate, record),
                              LdPredicateEvaluator::objectMatchesFetchRequest(request, record))
                            << describe(seed, request);
                }
            }
        }
    }

    // Whether a key path of the predicate walks a many-to-many relationship.
    static bool joinsManyToMany(const LdFetchRequest& request) {
        if (!request.predicate) {
            return false;
        }
        for (const std::string& keyPath : request.predicate->keyPaths()) {
            const std::vector<std::string> components =
                    LdExpression::expressionForKeyPath(keyPath).keyPathComponents();
            const LdEntityDescription* current = request.entity;
            for (std::size_t i = 0; current != nullptr && i + 1 < components.size(); ++i) {
                const LdRelationshipDescription* step = current->relationshipNamed(components[i]);
                if (step != nullptr && step->isManyToMany() &&
                    keyPath.find('@') == std::string::npos) {
                    return true;
                }
                current = step ? step->destinationEntity() : nullptr;
            }
        }
        return false;
    }

    struct Stats {
        std::size_t requests = 0;
        std::size_t rejected = 0;
        std::size_t nonEmpty = 0;
        std::size_t tiesReordered = 0;
    };

    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    Ledger ledger_;
    Stats stats_;
};

TEST_F(LdPredicateEvaluatorStoreTest, RandomFetchesGiveTheStoreResult) {
    constexpr int kRequestsPerSeed = 250;
    for (const std::uint32_t seed : {11U, 23U, 37U, 41U, 59U, 67U}) {
        buildLedger(seed);
        if (HasFatalFailure()) {
            return;
        }
        std::mt19937 rng(std::mt19937::result_type{seed} * 7919U);
        for (int i = 0; i < kRequestsPerSeed && !HasFailure(); ++i) {
            const Catalogue& catalogue = catalogues()[rng() % catalogues().size()];
            LdFetchRequest request;
            request.entity = entity(catalogue.entity);
            request.predicate = PredicateGenerator(rng, ledger_, catalogue).next();
            for (std::size_t count = rng() % 3; count > 0; --count) {
                request.sortDescriptors.push_back(
                        {catalogue.sortKeys[rng() % catalogue.sortKeys.size()], rng() % 2 == 0});
            }
            if (rng() % 2 == 0) {
                request.fetchLimit = 1 + rng() % 8;
                request.fetchOffset = rng() % 3 == 0 ? 1 + rng() % 5 : 0;
            }
            checkRequest(seed, request);
        }
    }
    RecordProperty("requests", static_cast<int>(stats_.requests));
    RecordProperty("rejectedByTheStore", static_cast<int>(stats_.rejected));
    RecordProperty("rowsReorderedAmongTies", static_cast<int>(stats_.tiesReordered));
    // Enough of the requests must return rows for the comparison to mean something.
    EXPECT_GT(stats_.nonEmpty, stats_.requests / 3);
}

}  // namespace
