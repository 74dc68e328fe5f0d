// Speed of the encrypted store on a ledger of 100,000 transactions in 10 accounts (one day balance
// per account and day, ten entries a day, every tenth entry new): saving it, counting the new
// entries of one account and reading one account's entries in date order with their amounts. Each
// store benchmark has a twin that does the same work with hand-written SQLCipher statements on a
// file with the same tables and indexes. Targets: saving at most 1.5x the hand-written inserts,
// the count under 10 ms and the entries with their amounts under 60 ms, on a warm file.
// Entries have no date or account of their own: both come through their day balance
// (dayBalance.date, dayBalance.account).
//
// Every benchmark times only its operation itself (manual time), so building change sets and files
// stays out of the figures without pausing the timer. Each reports its fastest run ("best_ms"); a
// store benchmark also reports its fastest run over its twin's, in wall time ("vs_raw") and in CPU
// time ("cpu_vs_raw", steadier on a busy machine). A twin that was filtered out is measured on the
// spot. Saving 100,000 rows also makes the store gather statistics (ANALYZE): the hand-written
// twin reports that step apart as "analyze_ms", and the store's save reports "vs_raw_and_analyze"
// against the twin's inserts plus ANALYZE.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "core/database/model/LdObjectModel.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreSchema.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdDecimal.h"

#include "bench/LdBenchRawSQL.h"

namespace {

constexpr int kAccounts = 10;
constexpr int kDays = 1000;
constexpr int kEntriesPerDay = 10;  // per account
constexpr int kEntries = kAccounts * kDays * kEntriesPerDay;
constexpr int kQueriedAccount = 4;         // 0-based; every account looks alike
constexpr double kFirstDay = 600000000.0;  // reference seconds, early 2020
constexpr double kSecondsPerDay = 86400.0;
constexpr const char* kPassword = "bench password";
constexpr const char* kCountFormat = "dayBalance.account == %@ AND isNew == YES";
constexpr const char* kEntriesFormat = "dayBalance.account == %@";
constexpr const char* kEntriesSortKey = "dayBalance.date";

using Clock = std::chrono::steady_clock;

[[noreturn]] void fatal(const std::string& message) {
    std::fprintf(stderr, "LdCryptStoreBench: %s\n", message.c_str());
    std::abort();
}

// One timed run: wall-clock seconds (what a user waits for) and this thread's CPU seconds (which
// other processes on the machine barely change; waiting for the disk is not in them).
struct Sample {
    double wall = 0;
    double cpu = 0;
};

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename Work>
Sample measure(Work&& work) {
    const double cpuStart = threadCpuSeconds();
    const Clock::time_point start = Clock::now();
    work();
    return {std::chrono::duration<double>(Clock::now() - start).count(),
            threadCpuSeconds() - cpuStart};
}

// The ledger's values, the same for the store and the hand-written twins.
std::int64_t amountCents(int entry) {
    return static_cast<std::int64_t>(entry) * 7919 % 200001 - 100000;
}
LdDecimal decimalOfCents(std::int64_t cents) {
    return LdDecimal::fromParts(static_cast<LdUInt128>(cents < 0 ? -cents : cents), -2, cents < 0);
}
double dayReferenceSeconds(int day) {
    return kFirstDay + day * kSecondsPerDay;
}
bool entryIsNew(int entry) {
    return entry % 10 == 3;
}
int entryIndex(int account, int day, int slot) {
    return (account * kDays + day) * kEntriesPerDay + slot;
}

// Entities and property numbers of the ledger, looked up once.
struct Ledger {
    const LdEntityDescription* account = nullptr;
    const LdEntityDescription* dayBalance = nullptr;
    const LdEntityDescription* entry = nullptr;
    std::size_t accountTitle = 0, accountType = 0, accountCurrency = 0, accountBalance = 0;
    std::size_t accountDayBalances = 0;
    std::size_t dayDate = 0, dayStart = 0, dayEnd = 0, dayAccount = 0, dayEntries = 0;
    std::size_t entryAmount = 0, entryTitle = 0, entryValutaDate = 0, entryIsActive = 0;
    std::size_t entryIsNew = 0, entryReconcileState = 0, entryDayBalance = 0;
};

const LdEntityDescription* entityNamed(const char* name) {
    const LdEntityDescription* found = LdObjectModel::ledraModel().entityNamed(name);
    if (found == nullptr) {
        fatal(std::string("no entity ") + name);
    }
    return found;
}

std::size_t numberOf(const LdEntityDescription* entity, const char* name) {
    const LdPropertyDescription* property = entity->propertyNamed(name);
    if (property == nullptr) {
        fatal(entity->name() + " has no property " + name);
    }
    return property->propertyNumber();
}

const Ledger& ledger() {
    static const Ledger kLedger = [] {
        Ledger made;
        made.account = entityNamed("Account");
        made.dayBalance = entityNamed("DayBalance");
        made.entry = entityNamed("Entry");
        made.accountTitle = numberOf(made.account, "title");
        made.accountType = numberOf(made.account, "accountType");
        made.accountCurrency = numberOf(made.account, "currencyCode");
        made.accountBalance = numberOf(made.account, "balance");
        made.accountDayBalances = numberOf(made.account, "dayBalances");
        made.dayDate = numberOf(made.dayBalance, "date");
        made.dayStart = numberOf(made.dayBalance, "startBalance");
        made.dayEnd = numberOf(made.dayBalance, "endBalance");
        made.dayAccount = numberOf(made.dayBalance, "account");
        made.dayEntries = numberOf(made.dayBalance, "entries");
        made.entryAmount = numberOf(made.entry, "amount");
        made.entryTitle = numberOf(made.entry, "title");
        made.entryValutaDate = numberOf(made.entry, "valutaDate");
        made.entryIsActive = numberOf(made.entry, "isActive");
        made.entryIsNew = numberOf(made.entry, "isNew");
        made.entryReconcileState = numberOf(made.entry, "reconcileState");
        made.entryDayBalance = numberOf(made.entry, "dayBalance");
        return made;
    }();
    return kLedger;
}

// The schema a new store file gets; the hand-written files use its tables, columns and indexes.
const LdCryptStoreSchema& schema() {
    static const std::unique_ptr<LdCryptStoreSchema> kSchema = [] {
        const LdObjectModel& model = LdObjectModel::ledraModel();
        LdError error;
        auto made = LdCryptStoreSchema::schemaWithNumbering(
                model, LdCryptStoreSchema::numberingForNewFile(model), &error);
        if (!made) {
            fatal("no schema: " + error.description());
        }
        return made;
    }();
    return *kSchema;
}

const LdCryptStoreEntityMapping& mappingOf(const LdEntityDescription* entity) {
    const LdCryptStoreEntityMapping* mapping = schema().mapping(entity);
    if (mapping == nullptr) {
        fatal("no mapping for " + entity->name());
    }
    return *mapping;
}

std::string entryEntityList() {
    std::string list;
    for (int number : schema().entityIDsForEntity(ledger().entry)) {
        list += (list.empty() ? "" : ", ") + std::to_string(number);
    }
    return list;
}

// A folder of this process's files, removed at exit.
class BenchFolder {
public:
    BenchFolder()
        : path_(std::filesystem::temp_directory_path() /
                ("ld-cryptstore-bench-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~BenchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;
    std::filesystem::path file(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

const BenchFolder& folder() {
    static const BenchFolder kFolder;
    return kFolder;
}

// ---- The store side ----

LdValue::Dictionary storeOptions() {
    return {{kLdCryptStorePasswordOption, LdValue(kPassword)}};
}

std::unique_ptr<LdCryptStore> loadedStore(const std::filesystem::path& path) {
    auto store = std::make_unique<LdCryptStore>(path, storeOptions());
    LdError error;
    if (!store->loadMetadata(&error)) {
        fatal("store does not load: " + error.description());
    }
    return store;
}

// The whole ledger as the object layer hands it to the store: accounts, day balances, entries, with
// both sides of every relationship set (the ordered to-many lists included).
LdStoreChangeSet ledgerChangeSet(LdCryptStore& store) {
    const Ledger& l = ledger();
    const auto newRow = [&store](const LdEntityDescription* entity) {
        LdError error;
        std::optional<LdObjectID> objectID = store.obtainPermanentIDForEntity(entity, &error);
        if (!objectID) {
            fatal("no permanent ID: " + error.description());
        }
        return LdStoreRow::forObjectID(*objectID);
    };
    std::vector<LdStoreRow> accounts;
    std::vector<LdStoreRow> days;
    std::vector<LdStoreRow> entries;
    days.reserve(kAccounts * kDays);
    entries.reserve(kEntries);
    for (int a = 0; a < kAccounts; ++a) {
        LdStoreRow account = newRow(l.account);
        account.values[l.accountTitle] = LdValue("Account " + std::to_string(a + 1));
        account.values[l.accountType] = LdValue(1);
        account.values[l.accountCurrency] = LdValue("EUR");
        std::int64_t balance = 0;
        for (int d = 0; d < kDays; ++d) {
            LdStoreRow day = newRow(l.dayBalance);
            const LdDate date = LdDate::fromReferenceSeconds(dayReferenceSeconds(d));
            day.values[l.dayDate] = LdValue(date);
            day.values[l.dayStart] = LdValue(decimalOfCents(balance));
            day.toOne[l.dayAccount] = account.objectID;
            account.toMany[l.accountDayBalances].push_back(day.objectID);
            for (int slot = 0; slot < kEntriesPerDay; ++slot) {
                const int index = entryIndex(a, d, slot);
                LdStoreRow entry = newRow(l.entry);
                entry.values[l.entryAmount] = LdValue(decimalOfCents(amountCents(index)));
                entry.values[l.entryTitle] = LdValue("Entry " + std::to_string(index));
                entry.values[l.entryValutaDate] = LdValue(date);
                entry.values[l.entryIsActive] = LdValue(true);
                entry.values[l.entryIsNew] = LdValue(entryIsNew(index));
                entry.values[l.entryReconcileState] = LdValue(0);
                entry.toOne[l.entryDayBalance] = day.objectID;
                day.toMany[l.dayEntries].push_back(entry.objectID);
                balance += amountCents(index);
                entries.push_back(std::move(entry));
            }
            day.values[l.dayEnd] = LdValue(decimalOfCents(balance));
            days.push_back(std::move(day));
        }
        account.values[l.accountBalance] = LdValue(decimalOfCents(balance));
        accounts.push_back(std::move(account));
    }
    LdStoreChangeSet changes;
    changes.inserted = std::move(accounts);
    changes.inserted.reserve(kAccounts + days.size() + entries.size());
    std::move(days.begin(), days.end(), std::back_inserter(changes.inserted));
    std::move(entries.begin(), entries.end(), std::back_inserter(changes.inserted));
    return changes;
}

// ---- The hand-written side ----

using namespace ld::bench;

// The ledger inserted with three prepared statements in one transaction: the columns that carry
// values, order and target-type columns written directly. Keys are those the store hands out for
// the same ledger (each table counts from 1 in insertion order).
void rawInsertLedger(sqlite3* db) {
    const Ledger& l = ledger();
    const LdCryptStoreEntityMapping& account = mappingOf(l.account);
    const LdCryptStoreEntityMapping& day = mappingOf(l.dayBalance);
    const LdCryptStoreEntityMapping& entry = mappingOf(l.entry);
    std::vector<std::string> dayColumns{"Z_PK",
                                        "Z_VERSION",
                                        day.columns[l.dayDate],
                                        day.columns[l.dayStart],
                                        day.columns[l.dayEnd],
                                        day.columns[l.dayAccount],
                                        day.orderColumns[l.dayAccount]};
    const bool dayHasTypeColumn = !day.typeColumns[l.dayAccount].empty();
    if (dayHasTypeColumn) {
        dayColumns.push_back(day.typeColumns[l.dayAccount]);
    }
    sqlite3_stmt* insertAccount = prepare(
            db, insertStatement(account.tableName,
                                {"Z_PK", "Z_ENT", "Z_VERSION", account.columns[l.accountTitle],
                                 account.columns[l.accountType], account.columns[l.accountCurrency],
                                 account.columns[l.accountBalance]}));
    sqlite3_stmt* insertDay = prepare(db, insertStatement(day.tableName, dayColumns));
    sqlite3_stmt* insertEntry = prepare(
            db,
            insertStatement(entry.tableName,
                            {"Z_PK", "Z_ENT", "Z_VERSION", entry.columns[l.entryAmount],
                             entry.columns[l.entryTitle], entry.columns[l.entryValutaDate],
                             entry.columns[l.entryIsActive], entry.columns[l.entryIsNew],
                             entry.columns[l.entryReconcileState], entry.columns[l.entryDayBalance],
                             entry.orderColumns[l.entryDayBalance]}));

    execute(db, "BEGIN EXCLUSIVE;");
    sqlite3_int64 dayKey = 0;
    sqlite3_int64 entryKey = 0;
    for (int a = 0; a < kAccounts; ++a) {
        std::int64_t balance = 0;
        for (int index = entryIndex(a, 0, 0); index < entryIndex(a + 1, 0, 0); ++index) {
            balance += amountCents(index);
        }
        const std::string title = "Account " + std::to_string(a + 1);
        sqlite3_bind_int64(insertAccount, 1, a + 1);
        sqlite3_bind_int(insertAccount, 2, account.entityID);
        sqlite3_bind_int(insertAccount, 3, 1);
        sqlite3_bind_text(insertAccount, 4, title.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insertAccount, 5, 1);
        sqlite3_bind_text(insertAccount, 6, "EUR", -1, SQLITE_STATIC);
        sqlite3_bind_double(insertAccount, 7, static_cast<double>(balance) / 100.0);
        stepDone(db, insertAccount);
    }
    for (int a = 0; a < kAccounts; ++a) {
        std::int64_t balance = 0;
        for (int d = 0; d < kDays; ++d) {
            const double date = LdDate::fromReferenceSeconds(dayReferenceSeconds(d)).unixSeconds();
            std::int64_t dayTotal = 0;
            for (int slot = 0; slot < kEntriesPerDay; ++slot) {
                dayTotal += amountCents(entryIndex(a, d, slot));
            }
            sqlite3_bind_int64(insertDay, 1, ++dayKey);
            sqlite3_bind_int(insertDay, 2, 1);
            sqlite3_bind_double(insertDay, 3, date);
            sqlite3_bind_double(insertDay, 4, static_cast<double>(balance) / 100.0);
            sqlite3_bind_double(insertDay, 5, static_cast<double>(balance + dayTotal) / 100.0);
            sqlite3_bind_int64(insertDay, 6, a + 1);
            sqlite3_bind_int(insertDay, 7, d);
            if (dayHasTypeColumn) {
                sqlite3_bind_int(insertDay, 8, account.entityID);
            }
            stepDone(db, insertDay);
            balance += dayTotal;
            for (int slot = 0; slot < kEntriesPerDay; ++slot) {
                const int index = entryIndex(a, d, slot);
                const std::string title = "Entry " + std::to_string(index);
                sqlite3_bind_int64(insertEntry, 1, ++entryKey);
                sqlite3_bind_int(insertEntry, 2, entry.entityID);
                sqlite3_bind_int(insertEntry, 3, 1);
                sqlite3_bind_double(insertEntry, 4,
                                    static_cast<double>(amountCents(index)) / 100.0);
                sqlite3_bind_text(insertEntry, 5, title.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_double(insertEntry, 6, date);
                sqlite3_bind_int(insertEntry, 7, 1);
                sqlite3_bind_int(insertEntry, 8, entryIsNew(index) ? 1 : 0);
                sqlite3_bind_int(insertEntry, 9, 0);
                sqlite3_bind_int64(insertEntry, 10, dayKey);
                sqlite3_bind_int(insertEntry, 11, slot);
                stepDone(db, insertEntry);
            }
        }
    }
    execute(db, "COMMIT;");
    sqlite3_finalize(insertAccount);
    sqlite3_finalize(insertDay);
    sqlite3_finalize(insertEntry);
}

// ---- Best runs and ratios ----

// The fastest run of an operation, wall and CPU time each on its own: the figures least disturbed
// by other work on the machine, and the ones the ratios compare.
struct Best {
    double wall = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();

    void add(const Sample& sample) {
        wall = std::min(wall, sample.wall);
        cpu = std::min(cpu, sample.cpu);
    }
    bool empty() const { return std::isinf(wall); }
};

// The best run of each hand-written twin, by operation.
std::map<std::string, Best>& rawBest() {
    static std::map<std::string, Best> best;
    return best;
}

// The twin's best run; measured now (`runs` times) when its benchmark did not run.
template <typename Work>
Best rawBestFor(const std::string& operation, int runs, Work&& work) {
    Best& best = rawBest()[operation];
    if (best.empty()) {
        for (int run = 0; run < runs; ++run) {
            best.add(work());
        }
    }
    return best;
}

// Times one run of `work` as the benchmark's iteration and keeps the best.
template <typename Work>
void timeIteration(benchmark::State& state, Best& best, Work&& work) {
    const Sample sample = measure(std::forward<Work>(work));
    state.SetIterationTime(sample.wall);
    best.add(sample);
}

void reportBest(benchmark::State& state, const Best& best) {
    if (!best.empty()) {
        state.counters["best_ms"] = best.wall * 1000.0;
    }
}

void reportRatios(benchmark::State& state, const Best& store, const Best& raw) {
    reportBest(state, store);
    if (!store.empty() && !raw.empty()) {
        state.counters["vs_raw"] = store.wall / raw.wall;
        state.counters["cpu_vs_raw"] = store.cpu / raw.cpu;
    }
}

// ---- Saving the ledger ----

// One hand-written save of the ledger into a new file; the time of an ANALYZE afterwards goes
// into `analyze` (not counted).
Sample rawInsertOnce(Best* analyze = nullptr) {
    const std::filesystem::path path = folder().file("raw-insert.db");
    std::filesystem::remove(path);
    sqlite3* db = openRawFile(path, kPassword);
    createRawTables(db, schema());
    const Sample sample = measure([db] { rawInsertLedger(db); });
    if (analyze != nullptr) {
        analyze->add(measure([db] { execute(db, "ANALYZE;"); }));
    }
    sqlite3_close(db);
    return sample;
}

constexpr int kLedgerRows = kEntries + kAccounts * kDays + kAccounts;

void BM_RawInsert100k(benchmark::State& state) {
    Best& best = rawBest()["insert"] = Best{};
    Best& analyze = rawBest()["analyze"] = Best{};
    for (auto _ : state) {
        const Sample sample = rawInsertOnce(&analyze);
        state.SetIterationTime(sample.wall);
        best.add(sample);
    }
    reportBest(state, best);
    state.counters["rows"] = kLedgerRows;
    state.counters["analyze_ms"] = analyze.wall * 1000.0;
}

void BM_StoreInsert100k(benchmark::State& state) {
    const std::filesystem::path path = folder().file("store-insert.ldb");
    Best best;
    double building = 0;
    for (auto _ : state) {
        std::filesystem::remove(path);
        auto store = loadedStore(path);
        LdStoreChangeSet changes;
        building += measure([&] { changes = ledgerChangeSet(*store); }).wall;
        LdError error;
        bool saved = false;
        timeIteration(state, best, [&] { saved = store->saveChanges(changes, &error); });
        if (!saved) {
            state.SkipWithError(("save failed: " + error.description()).c_str());
            return;
        }
    }
    state.counters["rows"] = kLedgerRows;
    state.counters["build_ms"] = building * 1000.0 / static_cast<double>(state.iterations());
    Best analyze = rawBest()["analyze"];
    const Best raw = rawBestFor("insert", 1, [&analyze] { return rawInsertOnce(&analyze); });
    rawBest()["analyze"] = analyze;
    reportRatios(state, best, raw);
    // The store gathers statistics after a save this large; the twin's inserts do not.
    state.counters["vs_raw_and_analyze"] = best.wall / (raw.wall + analyze.wall);
}

// ---- Queries on one warm file of each kind ----

// The ledger saved through the store (then reopened, as a user opens a file) and written by hand
// into a second file that gets the same statistics; both stay open for the process.
struct QueryFiles {
    std::unique_ptr<LdCryptStore> store;
    LdObjectID account;  // the queried account in the store
    sqlite3* raw = nullptr;
    sqlite3_int64 rawAccountKey = kQueriedAccount + 1;

    QueryFiles() {
        const std::filesystem::path storePath = folder().file("store-query.ldb");
        {
            auto writer = loadedStore(storePath);
            LdStoreChangeSet changes = ledgerChangeSet(*writer);
            LdError error;
            if (!writer->saveChanges(changes, &error)) {
                fatal("ledger not saved: " + error.description());
            }
            account = changes.inserted[kQueriedAccount].objectID;
        }
        store = loadedStore(storePath);
        raw = openRawFile(folder().file("raw-query.db"), kPassword);
        createRawTables(raw, schema());
        rawInsertLedger(raw);
        execute(raw, "ANALYZE;");
    }
    ~QueryFiles() {
        store.reset();
        sqlite3_close(raw);
    }
    QueryFiles(const QueryFiles&) = delete;
    QueryFiles& operator=(const QueryFiles&) = delete;
};

QueryFiles& queryFiles() {
    static QueryFiles files;
    return files;
}

LdFetchRequest entryRequest(const char* format, LdFetchRequest::ResultType resultType) {
    LdFetchRequest request;
    request.entity = ledger().entry;
    request.resultType = resultType;
    LdError error;
    request.predicate =
            LdPredicateParser::predicateWithFormat(format, {queryFiles().account}, &error);
    if (request.predicate == nullptr) {
        fatal(std::string("predicate: ") + error.description());
    }
    return request;
}

// Counting the new entries of one account.

const char* rawCountSql() {
    static const std::string kSql =
            "SELECT COUNT(*) FROM " + mappingOf(ledger().entry).tableName + " AS t0 JOIN " +
            mappingOf(ledger().dayBalance).tableName + " AS t1 ON t0." +
            mappingOf(ledger().entry).columns[ledger().entryDayBalance] + " = t1.Z_PK WHERE t1." +
            mappingOf(ledger().dayBalance).columns[ledger().dayAccount] + " = ? AND t0." +
            mappingOf(ledger().entry).columns[ledger().entryIsNew] + " = 1 AND t0.Z_ENT IN (" +
            entryEntityList() + ");";
    return kSql.c_str();
}

std::int64_t rawCountOnce(sqlite3_stmt* statement) {
    sqlite3_bind_int64(statement, 1, queryFiles().rawAccountKey);
    std::int64_t count = -1;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int64(statement, 0);
    }
    sqlite3_reset(statement);
    return count;
}

std::int64_t storeCountOnce(LdCryptStore& store, const LdFetchRequest& request) {
    std::optional<LdStoreFetchResult> result = store.executeFetchRequest(request);
    return result ? static_cast<std::int64_t>(result->count) : -1;
}

constexpr std::int64_t kExpectedNewPerAccount = kDays * kEntriesPerDay / 10;

void BM_RawCountNewOfAccount(benchmark::State& state) {
    QueryFiles& files = queryFiles();
    sqlite3_stmt* statement = prepare(files.raw, rawCountSql());
    if (rawCountOnce(statement) != kExpectedNewPerAccount) {
        sqlite3_finalize(statement);
        state.SkipWithError("hand-written count differs from the ledger");
        return;
    }
    Best& best = rawBest()["count"] = Best{};
    for (auto _ : state) {
        std::int64_t count = 0;
        timeIteration(state, best, [&] { count = rawCountOnce(statement); });
        benchmark::DoNotOptimize(count);
    }
    sqlite3_finalize(statement);
    reportBest(state, best);
}

void BM_StoreCountNewOfAccount(benchmark::State& state) {
    QueryFiles& files = queryFiles();
    const LdFetchRequest request = entryRequest(kCountFormat, LdFetchRequest::ResultType::Count);
    LdError error;
    std::optional<LdStoreFetchResult> first = files.store->executeFetchRequest(request, &error);
    if (!first || first->count != kExpectedNewPerAccount) {
        state.SkipWithError(first ? "store count differs from the ledger"
                                  : ("fetch failed: " + error.description()).c_str());
        return;
    }
    Best best;
    for (auto _ : state) {
        std::int64_t count = 0;
        timeIteration(state, best, [&] { count = storeCountOnce(*files.store, request); });
        benchmark::DoNotOptimize(count);
    }
    state.counters["count"] = static_cast<double>(first->count);
    reportRatios(state, best, rawBestFor("count", 20, [&files] {
                     sqlite3_stmt* statement = prepare(files.raw, rawCountSql());
                     const Sample sample = measure([statement] { rawCountOnce(statement); });
                     sqlite3_finalize(statement);
                     return sample;
                 }));
}

// One account's entries in date order with their amounts.

struct EntriesRead {
    std::size_t count = 0;
    LdDecimal sum = LdDecimal::zero();
};

const char* rawEntriesSql() {
    static const std::string kSql =
            "SELECT t0.Z_PK, t0." + mappingOf(ledger().entry).columns[ledger().entryAmount] +
            " FROM " + mappingOf(ledger().entry).tableName + " AS t0 JOIN " +
            mappingOf(ledger().dayBalance).tableName + " AS t1 ON t0." +
            mappingOf(ledger().entry).columns[ledger().entryDayBalance] + " = t1.Z_PK WHERE t1." +
            mappingOf(ledger().dayBalance).columns[ledger().dayAccount] + " = ? AND t0.Z_ENT IN (" +
            entryEntityList() + ") ORDER BY t1." +
            mappingOf(ledger().dayBalance).columns[ledger().dayDate] + " ASC;";
    return kSql.c_str();
}

// The keys in row order and the amounts read as decimals, as the store reads them.
EntriesRead rawEntriesOnce(sqlite3_stmt* statement, std::vector<sqlite3_int64>& keys) {
    EntriesRead read;
    keys.clear();
    sqlite3_bind_int64(statement, 1, queryFiles().rawAccountKey);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        keys.push_back(sqlite3_column_int64(statement, 0));
        read.sum = read.sum + LdDecimal::fromDouble(sqlite3_column_double(statement, 1));
    }
    sqlite3_reset(statement);
    read.count = keys.size();
    return read;
}

// How the store's side reads the entries and their amounts.
enum class EntriesMode {
    // Objects with the properties cache on: the amounts come with the fetch (its nodes); a row
    // whose values were not read ahead is faulted.
    ObjectsWithValues,
    // Object IDs with the properties cache on, then every entry faulted through
    // valuesForObjectWithID (from the cache where it holds the row).
    IDsThenFaults,
    // Objects with the properties cache off, then every entry faulted with its own SELECT.
    ObjectsWithoutCacheThenFaults,
    // The fetch of objects alone, with and without the properties cache.
    FetchOnlyWithCache,
    FetchOnlyWithoutCache,
};

bool usesCache(EntriesMode mode) {
    return mode == EntriesMode::ObjectsWithValues || mode == EntriesMode::IDsThenFaults ||
           mode == EntriesMode::FetchOnlyWithCache;
}

bool readsAmounts(EntriesMode mode) {
    return mode != EntriesMode::FetchOnlyWithCache && mode != EntriesMode::FetchOnlyWithoutCache;
}

// One read of the entries: the fetch, then each entry's amount as the object layer would get it.
EntriesRead storeEntriesOnce(LdCryptStore& store,
                             const LdFetchRequest& request,
                             EntriesMode mode,
                             LdError* error) {
    EntriesRead read;
    std::optional<LdStoreFetchResult> result = store.executeFetchRequest(request, error);
    if (!result) {
        return read;
    }
    read.count = result->objectIDs.size();
    if (!readsAmounts(mode)) {
        return read;
    }
    const std::size_t amount = ledger().entryAmount;
    for (std::size_t index = 0; index < result->objectIDs.size(); ++index) {
        if (index < result->nodes.size() && result->nodes[index].version != 0) {
            read.sum = read.sum + result->nodes[index].values[amount].decimalValue();
            continue;
        }
        std::optional<LdStoreNode> node =
                store.valuesForObjectWithID(result->objectIDs[index], error);
        if (!node) {
            read.count = 0;
            return read;
        }
        read.sum = read.sum + node->values[amount].decimalValue();
    }
    return read;
}

EntriesRead expectedEntries() {
    EntriesRead expected;
    for (int index = entryIndex(kQueriedAccount, 0, 0);
         index < entryIndex(kQueriedAccount + 1, 0, 0); ++index) {
        expected.sum = expected.sum + decimalOfCents(amountCents(index));
        ++expected.count;
    }
    return expected;
}

bool sameRead(const EntriesRead& a, const EntriesRead& b) {
    return a.count == b.count && a.sum.toString() == b.sum.toString();
}

void BM_RawEntriesOfAccountSortedByDate(benchmark::State& state) {
    QueryFiles& files = queryFiles();
    sqlite3_stmt* statement = prepare(files.raw, rawEntriesSql());
    std::vector<sqlite3_int64> keys;
    keys.reserve(kDays * kEntriesPerDay);
    if (!sameRead(rawEntriesOnce(statement, keys), expectedEntries())) {
        sqlite3_finalize(statement);
        state.SkipWithError("hand-written entries differ from the ledger");
        return;
    }
    Best& best = rawBest()["entries"] = Best{};
    for (auto _ : state) {
        EntriesRead read;
        timeIteration(state, best, [&] { read = rawEntriesOnce(statement, keys); });
        benchmark::DoNotOptimize(read);
    }
    sqlite3_finalize(statement);
    reportBest(state, best);
    state.counters["entries"] = static_cast<double>(keys.size());
}

Sample rawEntriesSampleOnce() {
    sqlite3_stmt* statement = prepare(queryFiles().raw, rawEntriesSql());
    std::vector<sqlite3_int64> keys;
    const Sample sample = measure([&] { rawEntriesOnce(statement, keys); });
    sqlite3_finalize(statement);
    return sample;
}

void BM_StoreEntriesOfAccountSortedByDate(benchmark::State& state, EntriesMode mode) {
    QueryFiles& files = queryFiles();
    LdFetchRequest request =
            entryRequest(kEntriesFormat, mode == EntriesMode::IDsThenFaults
                                                 ? LdFetchRequest::ResultType::ObjectIDs
                                                 : LdFetchRequest::ResultType::Objects);
    request.sortDescriptors = {{kEntriesSortKey, true}};
    files.store->setUsePropertiesCache(usesCache(mode));
    // The first read checks count and amounts, whatever the mode measures.
    LdError error;
    const EntriesRead first =
            storeEntriesOnce(*files.store, request, EntriesMode::ObjectsWithValues, &error);
    if (!sameRead(first, expectedEntries())) {
        files.store->setUsePropertiesCache(true);
        state.SkipWithError(
                ("store entries differ from the ledger: " + error.description()).c_str());
        return;
    }
    Best best;
    for (auto _ : state) {
        EntriesRead read;
        timeIteration(state, best,
                      [&] { read = storeEntriesOnce(*files.store, request, mode, nullptr); });
        benchmark::DoNotOptimize(read);
    }
    state.counters["entries"] = static_cast<double>(first.count);
    state.counters["cached_rows"] = static_cast<double>(files.store->propertiesCacheCount());
    files.store->setUsePropertiesCache(true);
    reportRatios(state, best, rawBestFor("entries", 5, rawEntriesSampleOnce));
}

}  // namespace

// Twins first, so each store benchmark finds its twin's time.
BENCHMARK(BM_RawInsert100k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_StoreInsert100k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_RawCountNewOfAccount)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreCountNewOfAccount)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawEntriesOfAccountSortedByDate)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StoreEntriesOfAccountSortedByDate,
                  objects_with_values,
                  EntriesMode::ObjectsWithValues)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StoreEntriesOfAccountSortedByDate, ids_then_faults, EntriesMode::IDsThenFaults)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StoreEntriesOfAccountSortedByDate,
                  objects_without_cache_then_faults,
                  EntriesMode::ObjectsWithoutCacheThenFaults)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StoreEntriesOfAccountSortedByDate,
                  fetch_only_with_cache,
                  EntriesMode::FetchOnlyWithCache)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StoreEntriesOfAccountSortedByDate,
                  fetch_only_without_cache,
                  EntriesMode::FetchOnlyWithoutCache)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
