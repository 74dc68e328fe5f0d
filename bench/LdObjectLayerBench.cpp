// Speed and memory of the object layer on the ledger of the store benchmarks: 100,000 transactions
// in 10 accounts (one day balance per account and day, ten entries a day, every tenth entry new),
// in one encrypted file. Each operation runs beside hand-written SQLCipher statements doing the
// same work on a file with the same tables and indexes, in the same process:
// - inserting and saving the ledger through a context with the typed entity classes, with undo on
//   and off (goal: at most 2.5x the hand-written inserts);
// - counting one account's new entries through countForFetchRequest (goal: under 20 ms warm);
// - fetching one account's 10,000 entries sorted by date and reading their amounts (goal: under
//   150 ms warm), with a fresh context each time and with one context kept;
// - faulting in all 100,000 entries one by one (objectWithID, then the amount), in a child
//   process of its own so that its peak resident memory (VmHWM) is its alone (goal: under 300 MB);
//   the peak memory of inserting and saving the ledger (undo on and off) is measured the same way.
//
// Every benchmark times only its operation (manual time) and reports its fastest run
// ("best_ms"); an object-layer benchmark also reports its fastest run over its twin's in wall time
// ("vs_raw") and in CPU time ("cpu_vs_raw"). Breakdowns ("*_ms") split a run into its steps.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/database/model/LdObjectModel.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreSchema.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdDecimal.h"

#include "bench/LdBenchRawSQL.h"

extern char** environ;

namespace {

constexpr int kAccounts = 10;
constexpr int kDays = 1000;
constexpr int kEntriesPerDay = 10;  // per account
constexpr int kEntries = kAccounts * kDays * kEntriesPerDay;
constexpr int kLedgerRows = kEntries + kAccounts * kDays + kAccounts;
constexpr int kQueriedAccount = 4;         // 0-based; every account looks alike
constexpr double kFirstDay = 600000000.0;  // reference seconds, early 2020
constexpr double kSecondsPerDay = 86400.0;
constexpr const char* kPassword = "bench password";
constexpr const char* kCountFormat = "dayBalance.account == %@ AND isNew == YES";
constexpr const char* kEntriesFormat = "dayBalance.account == %@";
constexpr const char* kEntriesSortKey = "dayBalance.date";
// The argument that makes this program a child measuring its own peak memory:
// "--child fault FILE" faults in every entry of FILE, "--child insert FILE UNDO" saves the ledger
// into the new file FILE with undo on ("1") or off.
constexpr const char* kChildFlag = "--child";

using Clock = std::chrono::steady_clock;

[[noreturn]] void fatal(const std::string& message) {
    std::fprintf(stderr, "LdObjectLayerBench: %s\n", message.c_str());
    std::abort();
}

// One timed run: wall-clock seconds and this thread's CPU seconds.
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

// A line of /proc/self/status in megabytes ("VmHWM", "VmRSS"); 0 when missing.
double statusMegabytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtod(line.c_str() + prefix.size(), nullptr) / 1024.0;  // kB
        }
    }
    return 0;
}

// The ledger's values, the same for the object layer and the hand-written twins.
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
                ("ld-objectlayer-bench-" + std::to_string(::getpid()))) {
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

// ---- Best runs and ratios ----

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

void reportRatios(benchmark::State& state, const Best& layer, const Best& raw) {
    reportBest(state, layer);
    if (!layer.empty() && !raw.empty()) {
        state.counters["raw_ms"] = raw.wall * 1000.0;
        state.counters["vs_raw"] = layer.wall / raw.wall;
        state.counters["cpu_vs_raw"] = layer.cpu / raw.cpu;
    }
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

// The ledger built through a context: accounts, then per account its days in date order, each
// day's entries after it, every relationship set from the owned side (the inverse lists follow).
void insertLedger(LdManagedObjectContext& context) {
    for (int a = 0; a < kAccounts; ++a) {
        auto* account = context.insertNewObject<LdCDAccount>("Account");
        if (account == nullptr) {
            fatal("no account inserted");
        }
        account->setTitle("Account " + std::to_string(a + 1));
        account->setAccountType(1);
        account->setCurrencyCode(std::string("EUR"));
        std::int64_t balance = 0;
        for (int d = 0; d < kDays; ++d) {
            auto* day = context.insertNewObject<LdCDDayBalance>("DayBalance");
            const LdDate date = LdDate::fromReferenceSeconds(dayReferenceSeconds(d));
            day->setDate(date);
            day->setStartBalance(decimalOfCents(balance));
            day->setAccount(account);
            for (int slot = 0; slot < kEntriesPerDay; ++slot) {
                const int index = entryIndex(a, d, slot);
                auto* entry = context.insertNewObject<LdCDEntry>("Entry");
                entry->setAmount(decimalOfCents(amountCents(index)));
                entry->setTitle("Entry " + std::to_string(index));
                entry->setValutaDate(date);
                entry->setIsActive(true);
                entry->setIsNew(entryIsNew(index));
                entry->setReconcileState(0);
                entry->setDayBalance(day);
                balance += amountCents(index);
            }
            day->setEndBalance(decimalOfCents(balance));
        }
        account->setBalance(decimalOfCents(balance));
    }
}

// The same ledger as the change set the object layer hands to the store (to time the store's
// part of a save alone).
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
    LdStoreChangeSet changes;
    std::vector<LdStoreRow> days;
    std::vector<LdStoreRow> entries;
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
        changes.inserted.push_back(std::move(account));
    }
    std::move(days.begin(), days.end(), std::back_inserter(changes.inserted));
    std::move(entries.begin(), entries.end(), std::back_inserter(changes.inserted));
    return changes;
}

// ---- The hand-written side ----

using namespace ld::bench;

// values, order and target-type columns written directly, keys counted from 1 per table.
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

// The store's part of a save alone: saveChanges of the change set the context would build.
// Building the change set ("build_ms") is not timed.
void BM_StoreSaveChangeSet100k(benchmark::State& state) {
    const std::filesystem::path path = folder().file("store-insert.ldb");
    Best best;
    Best building;
    for (auto _ : state) {
        std::filesystem::remove(path);
        auto store = loadedStore(path);
        LdStoreChangeSet changes;
        building.add(measure([&] { changes = ledgerChangeSet(*store); }));
        LdError error;
        bool saved = false;
        timeIteration(state, best, [&] { saved = store->saveChanges(changes, &error); });
        if (!saved) {
            state.SkipWithError(("save failed: " + error.description()).c_str());
            return;
        }
    }
    rawBest()["storeSave"] = best;
    state.counters["build_ms"] = building.wall * 1000.0;
    reportRatios(state, best, rawBestFor("insert", 1, [] { return rawInsertOnce(); }));
}

// Inserting and saving through a context; range(0) is 1 with undo on, 0 with undo off. The
// breakdown: making the objects and setting their values and relationships ("objects_ms"), the
// save ("save_ms", of which the store's saveChanges of the same rows takes "store_save_ms"), and
// tearing the context down afterwards, untimed ("teardown_ms").
void BM_ObjectLayerInsert100k(benchmark::State& state) {
    const bool undo = state.range(0) != 0;
    const std::filesystem::path path = folder().file("layer-insert.ldb");
    Best best;
    Best objects;
    Best saving;
    Best teardown;
    for (auto _ : state) {
        std::filesystem::remove(path);
        auto store = loadedStore(path);
        auto context = std::make_unique<LdManagedObjectContext>(*store);
        context->setUndoEnabled(undo);
        const Sample made = measure([&] { insertLedger(*context); });
        LdError error;
        bool saved = false;
        const Sample save = measure([&] { saved = context->save(&error); });
        if (!saved) {
            state.SkipWithError(("save failed: " + error.description()).c_str());
            return;
        }
        state.SetIterationTime(made.wall + save.wall);
        best.add({made.wall + save.wall, made.cpu + save.cpu});
        objects.add(made);
        saving.add(save);
        teardown.add(measure([&] {
            context.reset();
            store.reset();
        }));
    }
    state.counters["rows"] = kLedgerRows;
    state.counters["objects_ms"] = objects.wall * 1000.0;
    state.counters["save_ms"] = saving.wall * 1000.0;
    state.counters["teardown_ms"] = teardown.wall * 1000.0;
    const Best raw = rawBestFor("insert", 1, [] { return rawInsertOnce(); });
    reportRatios(state, best, raw);
    const Best analyze = rawBest()["analyze"];
    if (!analyze.empty()) {
        state.counters["vs_raw_and_analyze"] = best.wall / (raw.wall + analyze.wall);
    }
    if (const Best storeSave = rawBest()["storeSave"]; !storeSave.empty()) {
        state.counters["store_save_ms"] = storeSave.wall * 1000.0;
    }
}

// ---- Queries on one warm file of each kind ----

// The ledger saved through the store (then reopened, as a user opens a file) and written by hand
// into a second file that gets the same statistics; both stay open for the process.
struct QueryFiles {
    std::filesystem::path storePath;
    std::unique_ptr<LdCryptStore> store;
    LdObjectID account;  // the queried account in the store
    sqlite3* raw = nullptr;
    sqlite3_int64 rawAccountKey = kQueriedAccount + 1;

    QueryFiles() : storePath(folder().file("layer-query.ldb")) {
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

LdFetchRequest entryRequest(const char* format) {
    LdFetchRequest request;
    request.entity = ledger().entry;
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

constexpr std::size_t kExpectedNewPerAccount = kDays * kEntriesPerDay / 10;

void BM_RawCountNewOfAccount(benchmark::State& state) {
    QueryFiles& files = queryFiles();
    sqlite3_stmt* statement = prepare(files.raw, rawCountSql());
    if (rawCountOnce(statement) != static_cast<std::int64_t>(kExpectedNewPerAccount)) {
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

void BM_ObjectLayerCountNewOfAccount(benchmark::State& state) {
    QueryFiles& files = queryFiles();
    LdManagedObjectContext context(*files.store);
    const LdFetchRequest request = entryRequest(kCountFormat);
    LdError error;
    // The untimed first run warms the file's pages and the store's statement cache.
    const std::optional<std::size_t> first = context.countForFetchRequest(request, &error);
    if (first != kExpectedNewPerAccount) {
        state.SkipWithError(first ? "count differs from the ledger"
                                  : ("count failed: " + error.description()).c_str());
        return;
    }
    Best best;
    for (auto _ : state) {
        std::optional<std::size_t> count;
        timeIteration(state, best, [&] { count = context.countForFetchRequest(request); });
        benchmark::DoNotOptimize(count);
    }
    state.counters["count"] = static_cast<double>(*first);
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

EntriesRead rawEntriesOnce(sqlite3_stmt* statement) {
    EntriesRead read;
    sqlite3_bind_int64(statement, 1, queryFiles().rawAccountKey);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_int64(statement, 0));
        read.sum = read.sum + LdDecimal::fromDouble(sqlite3_column_double(statement, 1));
        ++read.count;
    }
    sqlite3_reset(statement);
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
    if (!sameRead(rawEntriesOnce(statement), expectedEntries())) {
        sqlite3_finalize(statement);
        state.SkipWithError("hand-written entries differ from the ledger");
        return;
    }
    Best& best = rawBest()["entries"] = Best{};
    for (auto _ : state) {
        EntriesRead read;
        timeIteration(state, best, [&] { read = rawEntriesOnce(statement); });
        benchmark::DoNotOptimize(read);
    }
    sqlite3_finalize(statement);
    reportBest(state, best);
}

Sample rawEntriesSampleOnce() {
    sqlite3_stmt* statement = prepare(queryFiles().raw, rawEntriesSql());
    const Sample sample = measure([&] { rawEntriesOnce(statement); });
    sqlite3_finalize(statement);
    return sample;
}

// The store's fetch alone (objects with their values), for the breakdown of the layer's fetch.
void BM_StoreFetchEntriesOfAccount(benchmark::State& state) {
    QueryFiles& files = queryFiles();
    LdFetchRequest request = entryRequest(kEntriesFormat);
    request.sortDescriptors = {{kEntriesSortKey, true}};
    Best best;
    for (auto _ : state) {
        std::optional<LdStoreFetchResult> result;
        timeIteration(state, best, [&] { result = files.store->executeFetchRequest(request); });
        if (!result || result->objectIDs.size() != expectedEntries().count) {
            state.SkipWithError("store fetch differs from the ledger");
            return;
        }
    }
    rawBest()["storeFetch"] = best;
    reportRatios(state, best, rawBestFor("entries", 5, rawEntriesSampleOnce));
}

EntriesRead layerEntriesOnce(LdManagedObjectContext& context, const LdFetchRequest& request) {
    EntriesRead read;
    std::optional<std::vector<LdManagedObject*>> objects = context.executeFetchRequest(request);
    if (!objects) {
        return read;
    }
    for (LdManagedObject* object : *objects) {
        read.sum = read.sum + static_cast<LdCDEntry*>(object)->amount();
    }
    read.count = objects->size();
    return read;
}

// range(0): 1 makes a fresh context for each run (what a window showing the account does), 0
// keeps one context whose objects stay registered and filled between runs. A fresh context is
// made inside the timed run; its teardown is reported apart ("teardown_ms").
void BM_ObjectLayerEntriesOfAccountSortedByDate(benchmark::State& state) {
    const bool fresh = state.range(0) != 0;
    QueryFiles& files = queryFiles();
    LdFetchRequest request = entryRequest(kEntriesFormat);
    request.sortDescriptors = {{kEntriesSortKey, true}};
    auto kept = std::make_unique<LdManagedObjectContext>(*files.store);
    // The untimed first run checks the result and warms the file.
    if (!sameRead(layerEntriesOnce(*kept, request), expectedEntries())) {
        state.SkipWithError("entries differ from the ledger");
        return;
    }
    Best best;
    Best teardown;
    for (auto _ : state) {
        EntriesRead read;
        if (fresh) {
            std::unique_ptr<LdManagedObjectContext> context;
            timeIteration(state, best, [&] {
                context = std::make_unique<LdManagedObjectContext>(*files.store);
                read = layerEntriesOnce(*context, request);
            });
            teardown.add(measure([&] { context.reset(); }));
        } else {
            timeIteration(state, best, [&] { read = layerEntriesOnce(*kept, request); });
        }
        benchmark::DoNotOptimize(read);
    }
    state.counters["entries"] = static_cast<double>(expectedEntries().count);
    if (!teardown.empty()) {
        state.counters["teardown_ms"] = teardown.wall * 1000.0;
    }
    if (const Best storeFetch = rawBest()["storeFetch"]; !storeFetch.empty()) {
        state.counters["store_fetch_ms"] = storeFetch.wall * 1000.0;
    }
    reportRatios(state, best, rawBestFor("entries", 5, rawEntriesSampleOnce));
}

// ---- Peak memory, each measured in a process of its own ----

// What a child reports on its standard output: one line of numbers.
struct ChildReport {
    double startMegabytes = 0;  // VmHWM before the work (store open, no object yet)
    double peakMegabytes = 0;   // VmHWM after it
    double seconds = 0;         // the work
    double objects = 0;         // objects read or saved
    double cents = 0;           // faulting: the sum of the amounts, checked against the ledger
};

void printReport(const ChildReport& report) {
    std::printf("%.3f %.3f %.6f %.0f %.0f\n", report.startMegabytes, report.peakMegabytes,
                report.seconds, report.objects, report.cents);
}

// Faulting child: takes objectWithID for every entry key of the file and reads its amount.
int faultAllChild(const char* path) {
    auto store = loadedStore(path);
    LdManagedObjectContext context(*store);
    context.setUndoEnabled(false);
    ChildReport report;
    report.startMegabytes = statusMegabytes("VmHWM");
    const LdEntityDescription* entry = ledger().entry;
    LdDecimal sum = LdDecimal::zero();
    std::size_t read = 0;
    report.seconds = measure([&] {
                         for (std::uint64_t key = 1; key <= kEntries; ++key) {
                             auto* object = static_cast<LdCDEntry*>(
                                     context.objectWithID(store->objectIDForEntity(entry, key)));
                             sum = sum + object->amount();
                             read += object->isInaccessible() ? 0U : 1U;
                         }
                     }).wall;
    report.peakMegabytes = statusMegabytes("VmHWM");
    report.objects = static_cast<double>(read);
    report.cents = std::round(std::strtod(sum.toString().c_str(), nullptr) * 100.0);
    printReport(report);
    return 0;
}

// Inserting child: inserts and saves the ledger into a new file through a context with undo on
// ("1") or off.
int insertChild(const char* path, const char* undo) {
    std::filesystem::remove(path);
    auto store = loadedStore(path);
    LdManagedObjectContext context(*store);
    context.setUndoEnabled(std::strcmp(undo, "1") == 0);
    ChildReport report;
    report.startMegabytes = statusMegabytes("VmHWM");
    bool saved = false;
    report.seconds = measure([&] {
                         insertLedger(context);
                         saved = context.save();
                     }).wall;
    report.peakMegabytes = statusMegabytes("VmHWM");
    report.objects = static_cast<double>(context.registeredObjectCount());
    printReport(report);
    return saved ? 0 : 1;
}

// Runs this program as a child with `arguments` and reads its report; nothing when it fails.
std::optional<ChildReport> runChild(std::vector<std::string> arguments) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    arguments.insert(arguments.begin(),
                     {std::filesystem::read_symlink("/proc/self/exe").string(), kChildFlag});
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv.front(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    std::string output;
    char buffer[256];
    for (ssize_t got = 0; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    ChildReport report;
    if (std::sscanf(output.c_str(), "%lf %lf %lf %lf %lf", &report.startMegabytes,
                    &report.peakMegabytes, &report.seconds, &report.objects, &report.cents) != 5) {
        return std::nullopt;
    }
    return report;
}

void BM_ObjectLayerFaultAll100k(benchmark::State& state) {
    QueryFiles& files = queryFiles();
    double expectedCents = 0;
    for (int index = 0; index < kEntries; ++index) {
        expectedCents += static_cast<double>(amountCents(index));
    }
    Best best;
    double peak = 0;
    double start = 0;
    for (auto _ : state) {
        const std::optional<ChildReport> report = runChild({"fault", files.storePath.string()});
        if (!report || report->objects != kEntries || report->cents != expectedCents) {
            state.SkipWithError("the faulting child failed or read other amounts");
            return;
        }
        state.SetIterationTime(report->seconds);
        best.add({report->seconds, report->seconds});
        peak = std::max(peak, report->peakMegabytes);
        start = std::max(start, report->startMegabytes);
    }
    reportBest(state, best);
    state.counters["peak_rss_mb"] = peak;
    state.counters["rss_before_objects_mb"] = start;
    state.counters["entries"] = kEntries;
}

// The peak memory of inserting and saving the ledger; range(0) is 1 with undo on, 0 with it off.
void BM_ObjectLayerInsertPeakMemory(benchmark::State& state) {
    const std::string undo = state.range(0) != 0 ? "1" : "0";
    double peak = 0;
    double start = 0;
    for (auto _ : state) {
        const std::optional<ChildReport> report =
                runChild({"insert", folder().file("child-insert.ldb").string(), undo});
        if (!report || report->objects != kLedgerRows) {
            state.SkipWithError("the inserting child failed");
            return;
        }
        state.SetIterationTime(report->seconds);
        peak = std::max(peak, report->peakMegabytes);
        start = std::max(start, report->startMegabytes);
    }
    state.counters["peak_rss_mb"] = peak;
    state.counters["rss_before_objects_mb"] = start;
}

}  // namespace

// Twins first, so each object-layer benchmark finds its twin's time.
BENCHMARK(BM_RawInsert100k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_StoreSaveChangeSet100k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ObjectLayerInsert100k)
        ->ArgName("undo")
        ->Arg(1)
        ->Arg(0)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(5);
BENCHMARK(BM_RawCountNewOfAccount)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ObjectLayerCountNewOfAccount)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawEntriesOfAccountSortedByDate)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreFetchEntriesOfAccount)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ObjectLayerEntriesOfAccountSortedByDate)
        ->ArgName("fresh_context")
        ->Arg(1)
        ->Arg(0)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ObjectLayerFaultAll100k)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(2);
BENCHMARK(BM_ObjectLayerInsertPeakMemory)
        ->ArgName("undo")
        ->Arg(1)
        ->Arg(0)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);

// The benchmarks, or a child (see kChildFlag).
int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], kChildFlag) == 0) {
        if (std::strcmp(argv[2], "fault") == 0) {
            return faultAllChild(argv[3]);
        }
        if (argc == 5 && std::strcmp(argv[2], "insert") == 0) {
            return insertChild(argv[3], argv[4]);
        }
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
