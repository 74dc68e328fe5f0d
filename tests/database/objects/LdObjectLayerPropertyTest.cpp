// A property test of the object layer: random ledgers saved through a context with the typed
// entity classes, random unsaved changes on top, and random fetches and counts that must answer
// the same before the save (store rows merged with the changes judged in memory) as after it
// (the store's SQL alone, with nothing changed).
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreFetchTranslator.h"
#include "core/support/foundation/LdDecimal.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

const LdEntityDescription* entity(std::string_view name) {
    const LdEntityDescription* found = LdObjectModel::ledraModel().entityNamed(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// Texts with case and diacritic variants, patterns and numbers in text form; all distinct bytes,
// so that tag names drawn from them without repeats stay unique.
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

LdDecimal decimalOf(const char* text) {
    return *LdDecimal::fromString(text);
}

LdDate dateOf(double referenceSeconds) {
    return LdDate::fromReferenceSeconds(referenceSeconds);
}

// The objects of a run by entity name: the IDs of every object ever made (predicate constants
// may name deleted ones) and the objects not deleted, in the current context.
struct Population {
    std::map<std::string, std::vector<LdObjectID>> everMade;
    std::map<std::string, std::vector<LdManagedObject*>> byEntity;

    void add(const char* name, LdManagedObject* object) {
        everMade[name].push_back(object->objectID());
        byEntity[name].push_back(object);
    }

    template <typename T>
    std::vector<T*> live(const char* name) const {
        std::vector<T*> result;
        if (auto found = byEntity.find(name); found != byEntity.end()) {
            for (LdManagedObject* object : found->second) {
                if (!object->isDeleted()) {
                    result.push_back(static_cast<T*>(object));
                }
            }
        }
        return result;
    }

    // Reads one value of every object, so that no fault meets a change.
    void fillFaults() const {
        for (const auto& [name, objects] : byEntity) {
            for (const LdManagedObject* object : objects) {
                object->valueAt(object->entity()->attributes().front()->propertyNumber());
            }
        }
    }

    // Moves the objects that are not deleted to `context`, as faults there (to be called after
    // a save).
    void moveTo(LdManagedObjectContext& context) {
        for (auto& [name, objects] : byEntity) {
            std::vector<LdManagedObject*> moved;
            for (const LdManagedObject* object : objects) {
                if (!object->isDeleted()) {
                    moved.push_back(context.objectWithID(object->objectID()));
                }
            }
            objects = std::move(moved);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Random ledgers and random changes, through the typed classes.

class LedgerMaker {
public:
    LedgerMaker(LdManagedObjectContext& context, std::mt19937& rng, Population& population)
        : context_(&context), random_(rng), population_(population) {}

    void setContext(LdManagedObjectContext& context) { context_ = &context; }

    void makeLedger() {
        for (int i = 0; i < 4; ++i) {
            insertAccount();
        }
        for (int i = 0; i < 6; ++i) {
            insertTag();
        }
        for (int i = 0; i < 10; ++i) {
            insertDayBalance();
        }
        for (int i = 0; i < 40; ++i) {
            insertEntry();
        }
        for (int i = 0; i < 12; ++i) {
            insertSplit();
        }
        for (int i = 0; i < 4; ++i) {
            linkTransfer();
        }
    }

    // A batch of random changes. Each batch draws which kinds of change it makes, so that some
    // batches leave whole entities untouched and fetches through them stay comparable.
    // Returns a line per change for failure messages.
    std::vector<std::string> changeRandomly() {
        using Change = void (LedgerMaker::*)();
        // Deletions twice, so that enough objects go.
        static constexpr Change kChanges[] = {
                &LedgerMaker::insertAccount,    &LedgerMaker::insertDayBalance,
                &LedgerMaker::insertEntry,      &LedgerMaker::insertSplit,
                &LedgerMaker::insertTag,        &LedgerMaker::updateEntry,
                &LedgerMaker::updateDayBalance, &LedgerMaker::updateAccountOrTag,
                &LedgerMaker::moveEntry,        &LedgerMaker::moveDayBalance,
                &LedgerMaker::moveSplit,        &LedgerMaker::retag,
                &LedgerMaker::linkTransfer,     &LedgerMaker::deleteOne,
                &LedgerMaker::deleteOne};
        std::vector<Change> kinds;
        while (kinds.empty()) {
            for (const Change change : kChanges) {
                if (chance(40)) {
                    kinds.push_back(change);
                }
            }
        }
        log_.clear();
        for (std::size_t count = 4 + pick(24); count > 0; --count) {
            (this->*kinds[pick(kinds.size())])();
        }
        return log_;
    }

private:
    std::size_t pick(std::size_t count) { return random_() % count; }
    bool chance(unsigned percent) { return random_() % 100 < percent; }
    template <typename T>
    T* pickFrom(const std::vector<T*>& items) {
        return items.empty() ? nullptr : items[pick(items.size())];
    }
    std::string text() { return kTexts[pick(kTexts.size())]; }
    std::optional<std::string> maybeText(unsigned nullPercent) {
        return chance(nullPercent) ? std::nullopt : std::optional<std::string>(text());
    }
    std::optional<LdDecimal> maybeDecimal(unsigned nullPercent) {
        return chance(nullPercent)
                       ? std::nullopt
                       : std::optional<LdDecimal>(decimalOf(kDecimals[pick(kDecimals.size())]));
    }
    std::optional<LdDate> maybeDate(unsigned nullPercent) {
        return chance(nullPercent) ? std::nullopt
                                   : std::optional<LdDate>(dateOf(kDates[pick(kDates.size())]));
    }
    // Unique across the run, and the last sort key of every request.
    std::string uniqueID() {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "U%05u", ++lastUniqueID_);
        return buffer;
    }
    std::string describe(const LdManagedObject* object) const {
        if (object == nullptr) {
            return "nil";
        }
        return object->entity()->name() + "/p" + std::to_string(object->objectID().primaryKey());
    }
    void note(const std::string& line) { log_.push_back(line); }

    template <typename T>
    T* insert(const char* name) {
        T* object = context_->insertNewObject<T>(name);
        EXPECT_NE(object, nullptr) << name;
        if (object != nullptr) {
            population_.add(name, object);
            note("insert " + describe(object));
        }
        return object;
    }

    void insertAccount() {
        auto* account = insert<LdCDAccount>("Account");
        if (account == nullptr) {
            return;
        }
        account->setTitle(maybeText(20));
        account->setAccountType(static_cast<std::int32_t>(pick(4)));
        account->setSyncUniqueID(uniqueID());
    }

    // Tag names stay unique among the tags that are not deleted, so "name" orders them totally.
    std::optional<std::string> unusedTagName() {
        std::set<std::string> used;
        for (LdCDTag* tag : population_.live<LdCDTag>("Tag")) {
            used.insert(tag->name());
        }
        for (int attempt = 0; attempt < 40; ++attempt) {
            std::string name = text();
            if (used.count(name) == 0) {
                return name;
            }
        }
        return std::nullopt;
    }

    void insertTag() {
        std::optional<std::string> name = unusedTagName();
        if (!name) {
            return;
        }
        auto* tag = insert<LdCDTag>("Tag");
        if (tag != nullptr) {
            tag->setName(name);
        }
    }

    void insertDayBalance() {
        auto* day = insert<LdCDDayBalance>("DayBalance");
        if (day == nullptr) {
            return;
        }
        day->setDate(maybeDate(15));
        day->setStartBalance(maybeDecimal(20));
        day->setSyncUniqueID(uniqueID());
        if (chance(85)) {
            day->setAccount(pickFrom(population_.live<LdCDAccount>("Account")));
        }
    }

    void setEntryValues(LdCDBaseEntry& entry) {
        entry.setAmount(maybeDecimal(15));
        entry.setTitle(maybeText(15));
        entry.setComment(maybeText(50));
        entry.setSyncUniqueID(uniqueID());
    }

    void tagRandomly(LdCDBaseEntry& entry, unsigned percent) {
        for (LdCDTag* tag : population_.live<LdCDTag>("Tag")) {
            if (chance(percent)) {
                entry.addTagsObject(tag);
            }
        }
    }

    void insertEntry() {
        auto* entry = insert<LdCDEntry>("Entry");
        if (entry == nullptr) {
            return;
        }
        setEntryValues(*entry);
        if (chance(15)) {
            entry->setValueForKey(LdValue(), "isNew");
        } else {
            entry->setIsNew(chance(50));
        }
        entry->setFlag(static_cast<std::int32_t>(pick(6)) - 2);
        entry->setValutaDate(maybeDate(40));
        if (LdCDDayBalance* day = pickFrom(population_.live<LdCDDayBalance>("DayBalance"));
            day != nullptr && chance(85)) {
            if (chance(30)) {
                day->insertObjectInEntriesAtIndex(entry, pick(4));
            } else {
                entry->setDayBalance(day);
            }
        }
        tagRandomly(*entry, 25);
    }

    void insertSplit() {
        auto* split = insert<LdCDSplitEntry>("SplitEntry");
        if (split == nullptr) {
            return;
        }
        setEntryValues(*split);
        if (chance(85)) {
            split->setEntry(pickFrom(population_.live<LdCDEntry>("Entry")));
        }
        tagRandomly(*split, 20);
    }

    std::vector<LdCDBaseEntry*> liveBaseEntries() const {
        std::vector<LdCDBaseEntry*> entries;
        for (LdCDEntry* entry : population_.live<LdCDEntry>("Entry")) {
            entries.push_back(entry);
        }
        for (LdCDSplitEntry* split : population_.live<LdCDSplitEntry>("SplitEntry")) {
            entries.push_back(split);
        }
        return entries;
    }

    void linkTransfer() {
        LdCDBaseEntry* from = pickFrom(liveBaseEntries());
        if (from == nullptr) {
            return;
        }
        LdCDBaseEntry* to = chance(20) ? nullptr : pickFrom(liveBaseEntries());
        if (to == from) {
            return;
        }
        note("transfer " + describe(from) + " <-> " + describe(to));
        from->setTransferEntry(to);
    }

    void updateEntry() {
        LdCDBaseEntry* entry = pickFrom(liveBaseEntries());
        if (entry == nullptr) {
            return;
        }
        note("update " + describe(entry));
        switch (pick(7)) {
            case 0:
                entry->setAmount(maybeDecimal(15));
                break;
            case 1:
                entry->setTitle(maybeText(15));
                break;
            case 2:
                entry->setComment(maybeText(50));
                break;
            case 3:
                entry->setSyncUniqueID(uniqueID());
                break;
            default:
                if (auto* full = dynamic_cast<LdCDEntry*>(entry)) {
                    const std::size_t what = pick(3);
                    if (what == 0) {
                        full->setValueForKey(chance(20) ? LdValue() : LdValue(chance(50)), "isNew");
                    } else if (what == 1) {
                        full->setFlag(static_cast<std::int32_t>(pick(6)) - 2);
                    } else {
                        full->setValutaDate(maybeDate(40));
                    }
                } else {
                    entry->setAmount(maybeDecimal(15));
                }
                break;
        }
    }

    void updateDayBalance() {
        LdCDDayBalance* day = pickFrom(population_.live<LdCDDayBalance>("DayBalance"));
        if (day == nullptr) {
            return;
        }
        note("update " + describe(day));
        if (chance(50)) {
            day->setDate(maybeDate(15));
        } else {
            day->setStartBalance(maybeDecimal(20));
        }
    }

    void updateAccountOrTag() {
        if (chance(50)) {
            if (LdCDTag* tag = pickFrom(population_.live<LdCDTag>("Tag"))) {
                if (std::optional<std::string> name = unusedTagName()) {
                    note("rename " + describe(tag));
                    tag->setName(name);
                }
            }
            return;
        }
        if (LdCDAccount* account = pickFrom(population_.live<LdCDAccount>("Account"))) {
            note("update " + describe(account));
            if (chance(50)) {
                account->setTitle(maybeText(20));
            } else {
                account->setAccountType(static_cast<std::int32_t>(pick(4)));
            }
        }
    }

    // To another day balance (at an index now and then), out of any, or to another place in its
    // own day balance.
    void moveEntry() {
        LdCDEntry* entry = pickFrom(population_.live<LdCDEntry>("Entry"));
        if (entry == nullptr) {
            return;
        }
        LdCDDayBalance* day = pickFrom(population_.live<LdCDDayBalance>("DayBalance"));
        const std::size_t how = pick(10);
        if (how < 2 || day == nullptr) {
            note("move " + describe(entry) + " out of its day");
            entry->setDayBalance(nullptr);
        } else if (how < 4 && entry->dayBalance() != nullptr) {
            note("reorder " + describe(entry));
            entry->dayBalance()->insertObjectInEntriesAtIndex(entry, pick(6));
        } else if (how < 7) {
            note("move " + describe(entry) + " to " + describe(day) + " at an index");
            day->insertObjectInEntriesAtIndex(entry, pick(6));
        } else {
            note("move " + describe(entry) + " to " + describe(day));
            entry->setDayBalance(day);
        }
    }

    void moveDayBalance() {
        LdCDDayBalance* day = pickFrom(population_.live<LdCDDayBalance>("DayBalance"));
        if (day == nullptr) {
            return;
        }
        LdCDAccount* account =
                chance(15) ? nullptr : pickFrom(population_.live<LdCDAccount>("Account"));
        note("move " + describe(day) + " to " + describe(account));
        if (account != nullptr && chance(30)) {
            account->insertObjectInDayBalancesAtIndex(day, pick(4));
        } else {
            day->setAccount(account);
        }
    }

    void moveSplit() {
        LdCDSplitEntry* split = pickFrom(population_.live<LdCDSplitEntry>("SplitEntry"));
        if (split == nullptr) {
            return;
        }
        LdCDEntry* entry = chance(15) ? nullptr : pickFrom(population_.live<LdCDEntry>("Entry"));
        note("move " + describe(split) + " to " + describe(entry));
        if (entry != nullptr && chance(30)) {
            entry->insertObjectInSplitsAtIndex(split, pick(3));
        } else {
            split->setEntry(entry);
        }
    }

    void retag() {
        LdCDBaseEntry* entry = pickFrom(liveBaseEntries());
        LdCDTag* tag = pickFrom(population_.live<LdCDTag>("Tag"));
        if (entry == nullptr || tag == nullptr) {
            return;
        }
        const std::vector<LdCDTag*> tags = entry->tags();
        const bool has = std::find(tags.begin(), tags.end(), tag) != tags.end();
        note((has ? "untag " : "tag ") + describe(entry) + " with " + describe(tag));
        if (has) {
            chance(50) ? entry->removeTagsObject(tag) : tag->removeEntriesObject(entry);
        } else {
            chance(50) ? entry->addTagsObject(tag) : tag->addEntriesObject(entry);
        }
    }

    void deleteOne() {
        static const std::vector<const char*> kNames = {"Account", "DayBalance", "Entry",
                                                        "Entry",   "SplitEntry", "Tag"};
        LdManagedObject* victim = pickFrom(population_.live<LdManagedObject>(kNames[pick(6)]));
        if (victim == nullptr) {
            return;
        }
        note("delete " + describe(victim));
        LdError error;
        EXPECT_TRUE(context_->deleteObject(victim, &error)) << error;
    }

    LdManagedObjectContext* context_;
    std::mt19937& random_;
    Population& population_;
    unsigned lastUniqueID_ = 0;
    std::vector<std::string> log_;
};

// ---------------------------------------------------------------------------------------------
// Random fetch requests.

enum class Kind { Decimal, Text, Boolean, Integer, Date, Reference, Count };

struct PathChoice {
    const char* keyPath;
    Kind kind;
    const char* target = nullptr;  // the referenced entity
    bool toMany = false;           // passes through a to-many relationship
};

struct Catalogue {
    const char* entity;
    std::vector<PathChoice> paths;
    std::vector<const char*> sortKeys;
    const char* uniqueKey;  // set uniquely on every object: the last sort key
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
              {"transferEntry", Kind::Reference, "Entry"},
              {"transferEntry.amount", Kind::Decimal},
              {"tags", Kind::Reference, "Tag", true},
              {"tags.name", Kind::Text, nullptr, true},
              {"SELF", Kind::Reference, "Entry"},
              {"tags.@count", Kind::Count},
              {"splits.@count", Kind::Count},
              {"dayBalance.entries.@count", Kind::Count},
              {"splits.tags.@count", Kind::Count}},
             {"amount", "title", "comment", "isNew", "flag", "valutaDate", "dayBalance.date",
              "dayBalance.startBalance", "dayBalance.account.title", "transferEntry.title"},
             "syncUniqueID"},
            {"BaseEntry",
             {{"amount", Kind::Decimal},
              {"title", Kind::Text},
              {"comment", Kind::Text},
              {"transferEntry", Kind::Reference, "SplitEntry"},
              {"tags.name", Kind::Text, nullptr, true},
              {"tags.@count", Kind::Count},
              {"SELF", Kind::Reference, "SplitEntry"}},
             {"amount", "title", "comment", "transferEntry.amount"},
             "syncUniqueID"},
            {"SplitEntry",
             {{"amount", Kind::Decimal},
              {"title", Kind::Text},
              {"entry", Kind::Reference, "Entry"},
              {"entry.title", Kind::Text},
              {"entry.isNew", Kind::Boolean},
              {"entry.dayBalance.date", Kind::Date},
              {"entry.dayBalance.account", Kind::Reference, "Account"},
              {"tags.name", Kind::Text, nullptr, true},
              {"tags.@count", Kind::Count},
              {"entry.splits.@count", Kind::Count},
              {"SELF", Kind::Reference, "SplitEntry"}},
             {"amount", "title", "entry.amount", "entry.title", "entry.dayBalance.date"},
             "syncUniqueID"},
            {"DayBalance",
             {{"date", Kind::Date},
              {"startBalance", Kind::Decimal},
              {"account", Kind::Reference, "Account"},
              {"account.title", Kind::Text},
              {"account.accountType", Kind::Integer},
              {"entries.@count", Kind::Count},
              {"entries.splits.@count", Kind::Count},
              {"entries.tags.@count", Kind::Count},
              {"account.dayBalances.@count", Kind::Count},
              {"SELF", Kind::Reference, "DayBalance"}},
             {"date", "startBalance", "account.title", "account.accountType"},
             "syncUniqueID"},
            {"Tag",
             {{"name", Kind::Text},
              {"entries.title", Kind::Text, nullptr, true},
              {"entries.amount", Kind::Decimal, nullptr, true},
              {"entries.@count", Kind::Count},
              {"SELF", Kind::Reference, "Tag"}},
             {},
             "name"},
            {"Account",
             {{"title", Kind::Text},
              {"accountType", Kind::Integer},
              {"dayBalances.@count", Kind::Count},
              {"dayBalances.entries.@count", Kind::Count},
              {"SELF", Kind::Reference, "Account"}},
             {"title", "accountType"},
             "syncUniqueID"},
    };
    return kCatalogues;
}

// Writes random predicates over one entity's key paths in the predicate format with
// placeholders: comparisons, nil, [c]/[d]/[cd], the text operators, IN lists of values and of
// object IDs, to-one paths, @count, AND/OR/NOT, and a few forms the store rejects.
class PredicateGenerator {
public:
    PredicateGenerator(std::mt19937& rng, const Population& population, const Catalogue& catalogue)
        : random_(rng), population_(population), catalogue_(catalogue) {}

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
        } else if (roll < 42) {
            static const std::vector<const char*> kRejected = {
                    "title MATCHES 'a.*'", "noSuchKey == 1", "SELF BETWEEN {1, 5}"};
            format_ += pickFrom(kRejected);
        } else {
            comparison();
        }
    }

    void comparison() {
        const PathChoice& path = pickFrom(catalogue_.paths);
        if (path.toMany && path.kind != Kind::Reference) {
            const std::size_t roll = pick(100);
            format_ += roll < 15 ? "ANY " : roll < 30 ? "NONE " : "";
        }
        const std::size_t roll = pick(100);
        if (path.kind == Kind::Reference && path.toMany) {
            // "ANY tags == %@" and "ANY tags IN %@".
            format_ += std::string("ANY ") + path.keyPath;
            if (chance(50)) {
                format_ += " == %@";
                arguments_.push_back(constant(path));
            } else {
                format_ += " IN %@";
                arguments_.emplace_back(objectIDList(path));
            }
        } else if (roll < 30 && path.kind == Kind::Text) {
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
        if (path.kind == Kind::Text && chance(40)) {
            options = pickFrom(std::vector<std::string>{"[c]", "[d]", "[cd]"});
        }
        const std::size_t roll = pick(100);
        if (roll < 12) {
            format_ += std::string(path.keyPath) + (chance(50) ? " == nil" : " != nil");
        } else if (roll < 18) {
            format_ += "%@ " + std::string(op) + options + " " + path.keyPath;
            arguments_.push_back(constant(path));
        } else if (roll < 24) {
            // Two key paths of this entity.
            format_ += std::string(path.keyPath) + " " + op + options + " " +
                       pickFrom(catalogue_.paths).keyPath;
        } else if (roll < 32 && path.kind != Kind::Reference) {
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

    LdPredicateArgument::ObjectIDList objectIDList(const PathChoice& path) {
        LdPredicateArgument::ObjectIDList list;
        for (std::size_t count = pick(5); count > 0; --count) {
            list.push_back(reference(path));
        }
        return list;
    }

    void inComparison(const PathChoice& path) {
        format_ += std::string(path.keyPath) + " IN ";
        const std::size_t count = pick(5);
        const std::size_t roll = pick(100);
        if (path.kind == Kind::Reference && roll < 60) {
            format_ += "%@";
            arguments_.emplace_back(objectIDList(path));
        } else if (roll < 75) {
            format_ += "{";
            for (std::size_t i = 0; i < count; ++i) {
                format_ += i > 0 ? ", %@" : "%@";
                arguments_.push_back(constant(path));
            }
            format_ += "}";
        } else if (path.kind != Kind::Reference) {
            LdValue::Array values;
            for (std::size_t i = 0; i < count; ++i) {
                values.push_back(constant(path).value());
            }
            format_ += "%@";
            arguments_.emplace_back(LdValue(std::move(values)));
        } else {
            format_ += "%@";
            arguments_.push_back(constant(path));
        }
    }

    // An object of the path's target entity, now and then of another one; deleted and unsaved
    // objects included.
    LdObjectID reference(const PathChoice& path) {
        const char* target = path.target != nullptr && chance(90) ? path.target : "Tag";
        auto found = population_.everMade.find(target);
        if (found == population_.everMade.end() || found->second.empty()) {
            return {};
        }
        return pickFrom(found->second);
    }

    LdPredicateArgument constant(const PathChoice& path) {
        Kind kind = path.kind;
        if (chance(6)) {
            kind = static_cast<Kind>(pick(6));
        }
        switch (kind) {
            case Kind::Decimal:
                if (chance(15)) {
                    return LdValue(static_cast<int>(pick(21)) - 10);
                }
                return LdValue(decimalOf(pickFrom(kDecimals)));
            case Kind::Text:
                return LdValue(pickFrom(kTexts));
            case Kind::Boolean:
                return chance(80) ? LdValue(chance(50)) : LdValue(static_cast<int>(pick(3)));
            case Kind::Integer:
                return LdValue(static_cast<int>(pick(6)) - 2);
            case Kind::Date:
                return LdValue(dateOf(pickFrom(kDates) + (chance(30) ? 0.5 : 0.0)));
            case Kind::Reference:
                if (chance(5)) {
                    return LdValue(static_cast<std::int64_t>(pick(12)));
                }
                return reference(path);
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
    const Population& population_;
    const Catalogue& catalogue_;
    std::string format_;
    std::vector<LdPredicateArgument> arguments_;
};

// ---------------------------------------------------------------------------------------------
// Running and comparing.

// What a request answered: the objects' IDs in order and the count (nothing where it failed).
struct Answer {
    std::optional<std::vector<LdObjectID>> objectIDs;
    std::optional<std::size_t> count;
};

std::string keysText(const std::optional<std::vector<LdObjectID>>& objectIDs) {
    if (!objectIDs) {
        return "(failed)";
    }
    std::string text = "[";
    for (const LdObjectID& objectID : *objectIDs) {
        text += (text.size() > 1 ? " " : "") + objectID.entity()->name().substr(0, 1) +
                std::to_string(objectID.primaryKey());
    }
    return text + "]";
}

std::string countText(const std::optional<std::size_t>& count) {
    return count ? std::to_string(*count) : "(failed)";
}

// The joins through which the store reads another object's property for a row of the request's
// entity: entity and property name at each step past the first relationship.
struct JoinedRead {
    const LdEntityDescription* entity;
    std::string property;
};

std::vector<JoinedRead> joinedReads(const LdFetchRequest& request) {
    std::vector<std::string> keyPaths;
    if (request.predicate) {
        keyPaths = request.predicate->keyPaths();
    }
    for (const LdSortDescriptor& sort : request.sortDescriptors) {
        keyPaths.push_back(sort.keyPath);
    }
    std::vector<JoinedRead> reads;
    for (const std::string& keyPath : keyPaths) {
        const std::vector<std::string> components =
                LdExpression::expressionForKeyPath(keyPath).keyPathComponents();
        const LdEntityDescription* current = request.entity;
        for (std::size_t i = 0; current != nullptr && i < components.size(); ++i) {
            if (components[i].empty() || components[i].front() == '@') {
                break;
            }
            if (i > 0) {
                reads.push_back({current, components[i]});
            }
            const LdRelationshipDescription* step = current->relationshipNamed(components[i]);
            current = step != nullptr ? step->destinationEntity() : nullptr;
        }
    }
    return reads;
}

// Whether the store, answering the request for an object without changes, would read a changed
// property of another object through a join. The context judges only changed objects of the
// request's entity in memory, so such a request sees the stored value until the save.
bool readsChangesThroughJoins(const LdFetchRequest& request,
                              const LdManagedObjectContext& context) {
    const std::vector<JoinedRead> reads = joinedReads(request);
    if (reads.empty()) {
        return false;
    }
    for (const LdManagedObject* object : context.updatedObjects()) {
        for (const std::size_t number : object->changedPropertyNumbers()) {
            const std::string& name = object->entity()->properties()[number]->name();
            for (const JoinedRead& read : reads) {
                if (read.property == name && object->entity()->isKindOfEntity(read.entity)) {
                    return true;
                }
            }
        }
    }
    return false;
}

struct Stats {
    std::size_t requests = 0;
    std::size_t nonEmpty = 0;
    std::size_t rejected = 0;
    std::size_t unordered = 0;
    std::size_t changedObjects = 0;
    std::size_t throughChangedJoins = 0;
    std::size_t throughChangedJoinsDiffering = 0;
};

class LdObjectLayerPropertyTest : public ::testing::Test {
protected:
    void openStore(std::uint32_t seed) {
        context_.reset();
        store_ = std::make_unique<LdCryptStore>(
                folder_ / ("Objects" + std::to_string(seed) + ".ldb"), LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        context_ = std::make_unique<LdManagedObjectContext>(*store_);
        context_->setUndoEnabled(false);
    }

    void save() {
        LdError error;
        ASSERT_TRUE(context_->save(&error)) << error;
        ASSERT_FALSE(context_->hasChanges());
    }

    LdFetchRequest randomRequest(std::mt19937& rng, const Population& population) {
        const Catalogue& catalogue = catalogues()[rng() % catalogues().size()];
        LdFetchRequest request;
        request.entity = entity(catalogue.entity);
        request.predicate = PredicateGenerator(rng, population, catalogue).next();
        if (rng() % 10 == 0) {
            return request;  // no order and no window: compared as a set
        }
        if (!catalogue.sortKeys.empty()) {
            for (std::size_t count = rng() % 3; count > 0; --count) {
                request.sortDescriptors.push_back(
                        {catalogue.sortKeys[rng() % catalogue.sortKeys.size()], rng() % 2 == 0});
            }
        }
        // A unique last key makes the order total, so both runs must agree row for row.
        request.sortDescriptors.push_back({catalogue.uniqueKey, rng() % 2 == 0});
        if (rng() % 2 == 0) {
            request.fetchLimit = 1 + rng() % 8;
            request.fetchOffset = rng() % 3 == 0 ? 1 + rng() % 5 : 0;
        }
        return request;
    }

    Answer run(const LdFetchRequest& request) {
        Answer answer;
        LdError error;
        if (auto objects = context_->executeFetchRequest(request, &error)) {
            answer.objectIDs.emplace();
            for (const LdManagedObject* object : *objects) {
                answer.objectIDs->push_back(object->objectID());
            }
        }
        answer.count = context_->countForFetchRequest(request, &error);
        return answer;
    }

    std::string describe(std::uint32_t seed,
                         int round,
                         const LdFetchRequest& request,
                         const std::vector<std::string>& changes) const {
        std::ostringstream text;
        text << "seed " << seed << ", round " << round << ": " << request.entity->name()
             << " where " << (request.predicate ? request.predicate->predicateFormat() : "-")
             << ", order";
        for (const LdSortDescriptor& sort : request.sortDescriptors) {
            text << " " << sort.keyPath << (sort.ascending ? " ASC" : " DESC");
        }
        text << ", limit " << request.fetchLimit << " offset " << request.fetchOffset;
        LdError error;
        auto statement = LdCryptStoreFetchTranslator(*store_->schema())
                                 .statementForFetchRequest(request, false, &error);
        text << "\n  SQL: " << (statement ? statement->sql : error.description());
        text << "\n  unsaved changes:";
        for (const std::string& line : changes) {
            text << " " << line << ";";
        }
        return text.str();
    }

    static bool sameAnswer(const LdFetchRequest& request, Answer before, Answer after) {
        if (request.sortDescriptors.empty() && before.objectIDs && after.objectIDs) {
            std::sort(before.objectIDs->begin(), before.objectIDs->end());
            std::sort(after.objectIDs->begin(), after.objectIDs->end());
        }
        return before.objectIDs == after.objectIDs && before.count == after.count;
    }

    // After a save a second context reads every relationship of every object as the first one
    // holds it, ordered ones in the same order.
    void checkRelationshipsReadBack(std::uint32_t seed, int round, const Population& population) {
        LdManagedObjectContext fresh(*store_);
        for (const auto& [name, objects] : population.byEntity) {
            for (const LdManagedObject* object : objects) {
                if (object->isDeleted()) {
                    continue;
                }
                LdManagedObject* reread = fresh.objectWithID(object->objectID());
                for (const LdRelationshipDescription* relationship :
                     object->entity()->relationships()) {
                    const std::size_t number = relationship->propertyNumber();
                    std::vector<LdObjectID> held;
                    std::vector<LdObjectID> read;
                    if (relationship->isToOne()) {
                        if (const LdManagedObject* target = object->objectAt(number)) {
                            held.push_back(target->objectID());
                        }
                        if (const LdManagedObject* target = reread->objectAt(number)) {
                            read.push_back(target->objectID());
                        }
                    } else {
                        for (const LdManagedObject* target : object->objectsAt(number)) {
                            held.push_back(target->objectID());
                        }
                        for (const LdManagedObject* target : reread->objectsAt(number)) {
                            read.push_back(target->objectID());
                        }
                        if (!relationship->isOrdered()) {
                            std::sort(held.begin(), held.end());
                            std::sort(read.begin(), read.end());
                        }
                    }
                    EXPECT_EQ(keysText(held), keysText(read))
                            << "seed " << seed << ", round " << round << ": "
                            << LdManagedObjectContext::stringForObjectID(object->objectID()) << " "
                            << relationship->name();
                }
                EXPECT_EQ(object->valueForKey(name == "Tag" ? "name" : "syncUniqueID"),
                          reread->valueForKey(name == "Tag" ? "name" : "syncUniqueID"));
            }
        }
    }

    // One seed: a saved ledger, then rounds of unsaved changes, requests answered before the
    // save, the save, and the same requests answered again. Every other round starts in a new
    // context. With `strictAcrossJoins` a request that reads a changed property of another object
    // through a join must agree too; with `fillFaultsFirst` the new context's objects are read
    // before they are changed.
    void runSeed(std::uint32_t seed, bool strictAcrossJoins, bool fillFaultsFirst = true) {
        constexpr int kRounds = 4;
        constexpr int kRequestsPerRound = 70;
        openStore(seed);
        if (HasFatalFailure()) {
            return;
        }
        std::mt19937 rng(seed);
        Population population;
        LedgerMaker maker(*context_, rng, population);
        maker.makeLedger();
        save();
        if (HasFatalFailure()) {
            return;
        }
        for (int round = 0; round < kRounds && !HasFailure(); ++round) {
            if (round % 2 == 0) {
                // A context that has read nothing yet: changes meet faults and relationships
                // that are not loaded, as after opening a file.
                auto fresh = std::make_unique<LdManagedObjectContext>(*store_);
                fresh->setUndoEnabled(false);
                population.moveTo(*fresh);
                maker.setContext(*fresh);
                context_ = std::move(fresh);
                if (fillFaultsFirst) {
                    population.fillFaults();
                }
            }
            const std::vector<std::string> changes = maker.changeRandomly();
            stats_.changedObjects += context_->insertedObjects().size() +
                                     context_->updatedObjects().size() +
                                     context_->deletedObjects().size();
            std::vector<LdFetchRequest> requests;
            std::vector<Answer> before;
            std::vector<bool> throughJoins;
            for (int i = 0; i < kRequestsPerRound; ++i) {
                requests.push_back(randomRequest(rng, population));
                before.push_back(run(requests.back()));
                throughJoins.push_back(readsChangesThroughJoins(requests.back(), *context_));
            }
            std::vector<std::string> descriptions;
            descriptions.reserve(requests.size());
            for (const LdFetchRequest& request : requests) {
                descriptions.push_back(describe(seed, round, request, changes));
            }
            save();
            if (HasFatalFailure()) {
                return;
            }
            for (std::size_t i = 0; i < requests.size(); ++i) {
                const Answer after = run(requests[i]);
                ++stats_.requests;
                stats_.rejected += after.objectIDs ? 0U : 1U;
                stats_.nonEmpty += after.objectIDs && !after.objectIDs->empty() ? 1U : 0U;
                stats_.unordered += requests[i].sortDescriptors.empty() ? 1U : 0U;
                if (after.objectIDs && after.count) {
                    EXPECT_EQ(after.objectIDs->size(), *after.count)
                            << "count and fetch differ without changes: " << descriptions[i];
                }
                const bool same = sameAnswer(requests[i], before[i], after);
                if (throughJoins[i]) {
                    ++stats_.throughChangedJoins;
                    stats_.throughChangedJoinsDiffering += same ? 0U : 1U;
                    if (!strictAcrossJoins) {
                        continue;
                    }
                }
                EXPECT_TRUE(same) << "before the save " << keysText(before[i].objectIDs)
                                  << " count " << countText(before[i].count) << ", after "
                                  << keysText(after.objectIDs) << " count "
                                  << countText(after.count) << "\n  " << descriptions[i];
            }
            checkRelationshipsReadBack(seed, round, population);
        }
    }

    void report() {
        RecordProperty("requests", static_cast<int>(stats_.requests));
        RecordProperty("nonEmpty", static_cast<int>(stats_.nonEmpty));
        RecordProperty("rejectedByTheStore", static_cast<int>(stats_.rejected));
        RecordProperty("throughChangedJoins", static_cast<int>(stats_.throughChangedJoins));
        RecordProperty("throughChangedJoinsDiffering",
                       static_cast<int>(stats_.throughChangedJoinsDiffering));
        std::printf(
                "[ stats    ] %zu requests (%zu with rows, %zu rejected by the store, %zu "
                "unordered) over %zu changed objects; %zu read changed objects through joins, "
                "%zu of them differing\n",
                stats_.requests, stats_.nonEmpty, stats_.rejected, stats_.unordered,
                stats_.changedObjects, stats_.throughChangedJoins,
                stats_.throughChangedJoinsDiffering);
    }

    static constexpr std::uint32_t kSeeds[] = {3U, 17U, 29U, 71U, 113U};

    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
    Stats stats_;
};

}  // namespace

// Requests that read changed properties of other objects through joins are counted but not
// compared, and the objects of a new context are read before they change: both meet faults of
// the context today (see the disabled tests below).
TEST_F(LdObjectLayerPropertyTest, FetchesAndCountsAnswerTheSameBeforeAndAfterSaving) {
    for (const std::uint32_t seed : kSeeds) {
        runSeed(seed, /*strictAcrossJoins=*/false);
        if (HasFailure()) {
            break;
        }
    }
    report();
    // Enough requests must return rows, and most must be held to the strict comparison.
    EXPECT_GT(stats_.nonEmpty, stats_.requests / 3);
    EXPECT_LT(stats_.throughChangedJoins, stats_.requests / 2);
}

// Fails today: the context judges in memory only the changed objects of the request's entity, so
// an unchanged entry keeps matching by its day balance's stored account, date or entries until
// the save (see DayBalanceMovedToAnotherAccountMovesItsEntries below for the smallest case).
TEST_F(LdObjectLayerPropertyTest,
       DISABLED_FetchesThroughChangedRelatedObjectsAnswerTheSameBeforeAndAfterSaving) {
    for (const std::uint32_t seed : kSeeds) {
        runSeed(seed, /*strictAcrossJoins=*/true);
        if (HasFailure()) {
            break;
        }
    }
    report();
}

// The smallest case of the above: a day balance moves to another account; its entries (not
// changed themselves) must be fetched and counted under the new account before the save, as they
// are after it.
TEST_F(LdObjectLayerPropertyTest, DISABLED_DayBalanceMovedToAnotherAccountMovesItsEntries) {
    openStore(1);
    auto* first = context_->insertNewObject<LdCDAccount>("Account");
    auto* second = context_->insertNewObject<LdCDAccount>("Account");
    auto* day = context_->insertNewObject<LdCDDayBalance>("DayBalance");
    auto* entry = context_->insertNewObject<LdCDEntry>("Entry");
    day->setAccount(first);
    entry->setDayBalance(day);
    save();

    day->setAccount(second);
    LdFetchRequest request;
    request.entity = entity("Entry");
    request.predicate = LdPredicateParser::predicateWithFormat("dayBalance.account == %@",
                                                               {second->objectID()});
    const Answer before = run(request);
    save();
    const Answer after = run(request);
    EXPECT_EQ(keysText(after.objectIDs), keysText(std::vector<LdObjectID>{entry->objectID()}));
    EXPECT_EQ(keysText(before.objectIDs), keysText(after.objectIDs));
    EXPECT_EQ(before.count, after.count);
}

// A fault whose first change is a relationship once copied its committed values before they were
// read; a later attribute change then compared against values that were not there.
TEST_F(LdObjectLayerPropertyTest, FaultChangedInARelationshipThenInAnAttributeSaves) {
    openStore(2);
    auto* first = context_->insertNewObject<LdCDDayBalance>("DayBalance");
    auto* second = context_->insertNewObject<LdCDDayBalance>("DayBalance");
    auto* entry = context_->insertNewObject<LdCDEntry>("Entry");
    entry->setTitle(std::string("before"));
    entry->setDayBalance(first);
    save();
    const LdObjectID entryID = entry->objectID();
    const LdObjectID secondID = second->objectID();

    openStore(2);
    auto* fault = static_cast<LdCDEntry*>(context_->objectWithID(entryID));
    fault->setDayBalance(static_cast<LdCDDayBalance*>(context_->objectWithID(secondID)));
    fault->setTitle(std::string("after"));
    EXPECT_EQ(fault->changedPropertyNumbers().size(), 2U);
    save();

    openStore(2);
    auto* reread = static_cast<LdCDEntry*>(context_->objectWithID(entryID));
    EXPECT_EQ(reread->title(), "after");
    EXPECT_EQ(reread->dayBalance()->objectID(), secondID);
}

// The property test on the objects of a new context as they come, faults included.
TEST_F(LdObjectLayerPropertyTest, FetchesAnswerTheSameBeforeAndAfterSavingWhenChangesMeetFaults) {
    for (const std::uint32_t seed : kSeeds) {
        runSeed(seed, /*strictAcrossJoins=*/false, /*fillFaultsFirst=*/false);
        if (HasFailure()) {
            break;
        }
    }
    report();
}
