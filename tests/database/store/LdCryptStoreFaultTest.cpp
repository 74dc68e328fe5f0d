// Fault-injection tests of the store file: a process crash or a power loss at any write or sync of
// a save or a re-key (in forked children), a full disk or a write error while saving and re-keying,
// and the SQL debug log. Random choices come from one seed per run, printed with every failure;
// LD_FAULT_SEED=<number> repeats a run.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/database/store/LdCryptStore.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/LdLogger.h"
#include "core/support/platform/LdUserDefaults.h"

#include "tests/database/store/LdFaultVFS.h"
#include "tests/testutil/LdTestUtil.h"

#if defined(__SANITIZE_ADDRESS__)
#define LD_FAULT_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LD_FAULT_TEST_ASAN 1
#endif
#endif
#ifdef LD_FAULT_TEST_ASAN
extern "C" void __sanitizer_purge_allocator();
#endif

namespace {

using ld::test::LdFaultCounters;
using ld::test::LdFaultEvent;
using ld::test::LdFaultMode;
using ld::test::LdFaultPlan;
using ld::test::LdFaultVFS;

constexpr std::uint64_t kDefaultSeed = 20240611;
constexpr int kRowsPerSave = 5;
constexpr std::uint64_t kCounterKey = 1;  // the first row of every test file
const char* const kPassword = "pw";
const char* const kNewPassword = "new";
const char* const kStoreName = "Store.ldb";

// How a child ends when it does not die as planned.
enum ChildExit : int {
    kChildDone = 0,
    kChildNoVFS = 20,
    kChildOpenFailed = 21,
    kChildSaveFailed = 22,
    kChildReportFailed = 23,
    kChildRekeyFailed = 24,
};

std::uint64_t runSeed() {
    if (const char* text = std::getenv("LD_FAULT_SEED"); text != nullptr && *text != '\0') {
        return std::strtoull(text, nullptr, 10);
    }
    return kDefaultSeed;
}

std::string seedText(std::uint64_t seed) {
    return "seed " + std::to_string(seed) + " (repeat with LD_FAULT_SEED=" + std::to_string(seed) +
           ")";
}

const LdEntityDescription* rowEntity() {
    return LdObjectModel::ledraModel().entityNamed("AccountStatement");
}

std::size_t numberOf(const char* attribute) {
    return rowEntity()->attributeNamed(attribute)->propertyNumber();
}

LdValue::Dictionary storeOptions(const std::string& password) {
    return {{kLdCryptStorePasswordOption, LdValue(password)}};
}

// Save `saveNumber` of the workload: kRowsPerSave new rows whose year is the save number, and the
// counter row's statement number set to it.
std::optional<LdStoreChangeSet> workloadSave(LdCryptStore& store, int saveNumber) {
    LdStoreChangeSet changes;
    for (int index = 0; index < kRowsPerSave; ++index) {
        auto objectID = store.obtainPermanentIDForEntity(rowEntity());
        if (!objectID) {
            return std::nullopt;
        }
        LdStoreRow row = LdStoreRow::forObjectID(*objectID);
        // Long names, so that the rows of a few saves spread over several pages.
        row.values[numberOf("name")] = LdValue("save " + std::to_string(saveNumber) + " row " +
                                               std::to_string(index) + std::string(180, '.'));
        row.values[numberOf("year")] = LdValue(saveNumber);
        row.values[numberOf("statementNumber")] = LdValue(index);
        changes.inserted.push_back(std::move(row));
    }
    LdStoreRow counter = LdStoreRow::forObjectID(store.objectIDForEntity(rowEntity(), kCounterKey));
    counter.values[numberOf("statementNumber")] = LdValue(saveNumber);
    counter.markChanged(numberOf("statementNumber"));
    changes.updated.push_back(std::move(counter));
    return changes;
}

// A new store file holding only the counter row, at 0, and the statistics the store gathers when
// it opens a file without them (so that the copies open without writing).
void createStoreFile(const std::filesystem::path& path, const std::string& password) {
    LdCryptStore store(path, storeOptions(password));
    LdError error;
    ASSERT_TRUE(store.loadMetadata(&error)) << error;
    auto objectID = store.obtainPermanentIDForEntity(rowEntity(), &error);
    ASSERT_TRUE(objectID.has_value()) << error;
    ASSERT_EQ(objectID->primaryKey(), kCounterKey);
    LdStoreRow counter = LdStoreRow::forObjectID(*objectID);
    counter.values[numberOf("name")] = LdValue("counter");
    counter.values[numberOf("statementNumber")] = LdValue(0);
    LdStoreChangeSet changes;
    changes.inserted.push_back(std::move(counter));
    ASSERT_TRUE(store.saveChanges(changes, &error)) << error;
    ASSERT_TRUE(store.closeDatabase());
    LdCryptStore again(path, storeOptions(password));
    ASSERT_TRUE(again.loadMetadata(&error)) << error;
}

std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code failure;
    for (const auto& item : std::filesystem::directory_iterator(folder, failure)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The folder's entries besides the store file.
std::vector<std::string> leftoversBesideStore(const std::filesystem::path& path) {
    std::vector<std::string> names = folderEntries(path.parent_path());
    std::erase_if(names, [&](const std::string& name) { return name == path.filename().string(); });
    return names;
}

bool writeAll(int descriptor, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// How a child ended and what it wrote into its report pipe.
struct ChildOutcome {
    int exitCode = -1;  // when it exited
    int signal = 0;     // when a signal ended it
    bool started = false;
    std::vector<std::uint8_t> report;

    bool killed() const { return signal == SIGKILL; }
    std::string describe() const {
        return signal != 0 ? "killed by signal " + std::to_string(signal)
                           : "exited with " + std::to_string(exitCode);
    }
};

void releaseQuarantine() {
#ifdef LD_FAULT_TEST_ASAN
    // AddressSanitizer keeps freed memory in quarantine (up to 256 MB); handing it back before a
    // fork leaves far fewer pages to copy and to fault in (a fork takes about a third of the time).
    __sanitizer_purge_allocator();
#endif
}

// Forks a child that ends with `_exit(body(reportDescriptor))` unless it dies first, and waits for
// it. Runs no test assertions (the helper process of ChildJobRunner uses it too); a child that
// could not be started has `started` false.
ChildOutcome forkAndWait(const std::function<int(int)>& body) {
    ChildOutcome outcome;
    int channel[2] = {-1, -1};
    if (::pipe(channel) != 0) {
        return outcome;
    }
    std::fflush(nullptr);  // nothing buffered gets written twice
    releaseQuarantine();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        _exit(body(channel[1]));
    }
    ::close(channel[1]);
    if (child < 0) {
        ::close(channel[0]);
        return outcome;
    }
    outcome.started = true;
    std::uint8_t buffer[256];
    for (;;) {
        const ssize_t count = ::read(channel[0], buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        outcome.report.insert(outcome.report.end(), buffer, buffer + count);
    }
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
    }
    return outcome;
}

// Runs `body` in a forked child (see forkAndWait). The child runs no test assertions; the parent
// learns everything from the exit status and the report.
ChildOutcome runInChild(const std::function<int(int)>& body) {
    ChildOutcome outcome = forkAndWait(body);
    if (!outcome.started) {
        ADD_FAILURE() << "could not start a child process";
    }
    return outcome;
}

bool readAll(int descriptor, void* data, std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t count = ::read(descriptor, bytes, size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

// Runs jobs one after another, each in a child of its own, from one helper process: the test
// process forks once instead of once per job, so it does not take AddressSanitizer's
// copy-on-write faults again after every child, and it checks one job's outcome while the helper
// runs the next. The helper runs no test assertions.
class ChildJobRunner {
public:
    explicit ChildJobRunner(std::vector<std::function<int(int)>> jobs) : jobs_(std::move(jobs)) {
        int channel[2] = {-1, -1};
        if (::pipe(channel) != 0) {
            return;
        }
        std::fflush(nullptr);
        releaseQuarantine();
        helper_ = ::fork();
        if (helper_ == 0) {
            ::close(channel[0]);
            for (const auto& job : jobs_) {
                const ChildOutcome outcome = forkAndWait(job);
                const std::int32_t header[4] = {outcome.started ? 1 : 0, outcome.exitCode,
                                                outcome.signal,
                                                static_cast<std::int32_t>(outcome.report.size())};
                if (!writeAll(channel[1], header, sizeof header) ||
                    !writeAll(channel[1], outcome.report.data(), outcome.report.size())) {
                    _exit(1);
                }
            }
            _exit(0);
        }
        ::close(channel[1]);
        if (helper_ < 0) {
            ::close(channel[0]);
            return;
        }
        results_ = channel[0];
    }

    ~ChildJobRunner() {
        if (results_ >= 0) {
            ::close(results_);  // a helper still writing ends on the broken pipe
        }
        int status = 0;
        while (helper_ > 0 && ::waitpid(helper_, &status, 0) < 0 && errno == EINTR) {
        }
    }

    ChildJobRunner(const ChildJobRunner&) = delete;
    ChildJobRunner& operator=(const ChildJobRunner&) = delete;

    // The outcome of the next job, in order; nothing when the helper is gone.
    std::optional<ChildOutcome> next() {
        std::int32_t header[4] = {0, 0, 0, 0};
        if (results_ < 0 || !readAll(results_, header, sizeof header) || header[3] < 0) {
            return std::nullopt;
        }
        ChildOutcome outcome;
        outcome.started = header[0] != 0;
        outcome.exitCode = header[1];
        outcome.signal = header[2];
        outcome.report.resize(static_cast<std::size_t>(header[3]));
        if (!readAll(results_, outcome.report.data(), outcome.report.size())) {
            return std::nullopt;
        }
        return outcome;
    }

private:
    std::vector<std::function<int(int)>> jobs_;
    pid_t helper_ = -1;
    int results_ = -1;
};

// The child's side of a crash or power-loss run: opens the store (with `key`, a raw key or empty)
// through the fault VFS, arms the plan and saves `saves` times, reporting the number of every save
// that returned. With `reportCounters` (a pass-through plan) it reports the writes and syncs of the
// saves instead.
int saveLoopInChild(int channel,
                    const std::filesystem::path& path,
                    const std::string& key,
                    const LdFaultPlan& plan,
                    int saves,
                    bool reportCounters) {
    LdFaultVFS vfs;
    if (!vfs.isInstalled()) {
        return kChildNoVFS;
    }
    LdCryptStore store(path, storeOptions(key));
    if (!store.loadMetadata()) {
        return kChildOpenFailed;
    }
    vfs.setPlan(plan);
    for (int saveNumber = 1; saveNumber <= saves; ++saveNumber) {
        auto changes = workloadSave(store, saveNumber);
        if (!changes || !store.saveChanges(*changes)) {
            return kChildSaveFailed;
        }
        const auto done = static_cast<std::uint8_t>(saveNumber);
        if (!reportCounters && !writeAll(channel, &done, 1)) {
            return kChildReportFailed;
        }
    }
    if (reportCounters) {
        const LdFaultCounters counters = vfs.counters();
        const std::uint64_t values[2] = {counters.writes, counters.syncs};
        if (!writeAll(channel, values, sizeof values)) {
            return kChildReportFailed;
        }
    }
    return kChildDone;
}

// The child's side of a crash during a re-key.
int rekeyInChild(const std::filesystem::path& path,
                 const std::string& oldKey,
                 const std::string& newKey,
                 const LdFaultPlan& plan) {
    LdFaultVFS vfs;
    if (!vfs.isInstalled()) {
        return kChildNoVFS;
    }
    LdCryptStore store(path, storeOptions(oldKey));
    if (!store.loadMetadata()) {
        return kChildOpenFailed;
    }
    vfs.setPlan(plan);
    return store.changePasswordTo(newKey) ? kChildDone : kChildRekeyFailed;
}

// The child's side of a crash while the store opens a file: the plan is armed before loading,
// so it meets the statistics the store gathers at open. With `reportCounters` (a pass-through
// plan) it reports the writes and syncs of the load.
int loadInChild(int channel,
                const std::filesystem::path& path,
                const LdFaultPlan& plan,
                bool reportCounters) {
    LdFaultVFS vfs;
    if (!vfs.isInstalled()) {
        return kChildNoVFS;
    }
    vfs.setPlan(plan);
    LdCryptStore store(path, storeOptions(""));
    if (!store.loadMetadata()) {
        return kChildOpenFailed;
    }
    const LdFaultCounters counters = vfs.counters();
    const std::uint64_t values[2] = {counters.writes, counters.syncs};
    if (reportCounters && !writeAll(channel, values, sizeof values)) {
        return kChildReportFailed;
    }
    return kChildDone;
}

struct CallCounts {
    std::uint64_t writes = 0;
    std::uint64_t syncs = 0;
};

// The writes and syncs of `saves` workload saves on a copy of `file`, counted in a child (the
// crash runs do exactly this work).
std::optional<CallCounts> countSaveCalls(const std::filesystem::path& file,
                                         const std::filesystem::path& scratch,
                                         const std::string& key,
                                         int saves) {
    std::filesystem::create_directories(scratch.parent_path());
    std::filesystem::copy_file(file, scratch, std::filesystem::copy_options::overwrite_existing);
    const ChildOutcome outcome = runInChild([&](int channel) {
        return saveLoopInChild(channel, scratch, key, LdFaultPlan{}, saves,
                               /*reportCounters=*/true);
    });
    std::uint64_t values[2] = {0, 0};
    if (outcome.exitCode != kChildDone || outcome.report.size() != sizeof values) {
        ADD_FAILURE() << "counting child " << outcome.describe();
        return std::nullopt;
    }
    std::copy(outcome.report.begin(), outcome.report.end(),
              reinterpret_cast<std::uint8_t*>(values));
    return CallCounts{values[0], values[1]};
}

// The n-th of `children` trigger points among `calls` calls: while there are at least as many
// children as calls, every call first, then random ones; otherwise spread evenly with a random
// offset inside each share.
std::uint64_t triggerPoint(int child, int children, std::uint64_t calls, std::mt19937_64& random) {
    const auto index = static_cast<std::uint64_t>(child);
    const auto count = static_cast<std::uint64_t>(children);
    if (count >= calls) {
        return index < calls ? index + 1 : 1 + random() % calls;
    }
    const std::uint64_t share = calls / count;
    return 1 + index * calls / count + random() % share;
}

// What a file holds after a fault, read with the store and with plain SQLite.
struct FileState {
    bool loaded = false;
    std::string loadError;
    std::int64_t counter = -1;     // through the store
    std::int64_t rawCounter = -1;  // through SQL
    std::string integrity;
    std::map<std::int64_t, std::int64_t> rowsPerSave;  // year -> rows
    bool followUpSaved = false;                        // the store saves again afterwards
    std::vector<std::string> entriesAfterwards;        // of the folder, after both closed
};

std::string queryText(sqlite3* connection, const std::string& sql) {
    std::string text;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return "prepare failed: " + std::string(sqlite3_errmsg(connection));
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* value = sqlite3_column_text(statement, 0);
        text += (text.empty() ? "" : "\n") +
                std::string(value != nullptr ? reinterpret_cast<const char*>(value) : "NULL");
    }
    sqlite3_finalize(statement);
    return text;
}

// The table and columns of the workload's rows, as every file made from the model names them.
const LdCryptStoreEntityMapping& rowMapping() {
    static const std::unique_ptr<LdCryptStoreSchema> kSchema =
            LdCryptStoreSchema::schemaWithNumbering(
                    LdObjectModel::ledraModel(),
                    LdCryptStoreSchema::numberingForNewFile(LdObjectModel::ledraModel()));
    return *kSchema->mapping(rowEntity());
}

// Checks the file and reads the counter and the rows with plain SQLite (which recovers an
// interrupted save itself).
void readWithSQLite(const std::filesystem::path& path, const std::string& key, FileState& state) {
    const LdCryptStoreEntityMapping& mapping = rowMapping();
    sqlite3* connection = nullptr;
    if (sqlite3_open_v2(path.c_str(), &connection, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        (key.empty() ||
         sqlite3_key(connection, key.data(), static_cast<int>(key.size())) == SQLITE_OK)) {
        state.integrity = queryText(connection, "PRAGMA integrity_check;");
        const std::string counter =
                queryText(connection, "SELECT " + mapping.columns[numberOf("statementNumber")] +
                                              " FROM " + mapping.tableName + " WHERE " +
                                              kLdCryptStorePrimaryKeyColumn + " = 1;");
        state.rawCounter = std::strtoll(counter.c_str(), nullptr, 10);
        const std::string sql = "SELECT " + mapping.columns[numberOf("year")] + ", COUNT(*) FROM " +
                                mapping.tableName + " WHERE " + kLdCryptStorePrimaryKeyColumn +
                                " <> 1 GROUP BY 1;";
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                state.rowsPerSave[sqlite3_column_int64(statement, 0)] =
                        sqlite3_column_int64(statement, 1);
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(connection);
}

// Opens the file with the store (which recovers an interrupted save), reads the counter through
// it, checks the file and counts the rows with plain SQLite, then lets the store save once more
// (save 99), as the application would after starting again.
FileState readFileState(const std::filesystem::path& path, const std::string& key) {
    FileState state;
    LdCryptStore store(path, storeOptions(key));
    LdError error;
    state.loaded = store.loadMetadata(&error);
    if (!state.loaded) {
        state.loadError = error.description();
        state.entriesAfterwards = folderEntries(path.parent_path());
        return state;
    }
    if (auto node = store.valuesForObjectWithID(store.objectIDForEntity(rowEntity(), kCounterKey),
                                                &error)) {
        state.counter = node->values[numberOf("statementNumber")].integerValue();
    } else {
        state.loadError = error.description();
    }
    readWithSQLite(path, key, state);
    auto followUp = workloadSave(store, 99);
    state.followUpSaved = followUp && store.saveChanges(*followUp);
    store.closeDatabase();
    state.entriesAfterwards = folderEntries(path.parent_path());
    return state;
}

std::map<std::int64_t, std::int64_t> wholeSavesUpTo(std::int64_t last) {
    std::map<std::int64_t, std::int64_t> rows;
    for (std::int64_t save = 1; save <= last; ++save) {
        rows[save] = kRowsPerSave;
    }
    return rows;
}

// The file is intact, opens with the store, holds exactly saves 1 to `counter` whole, and the
// store saves again afterwards without leaving a journal.
void expectIntactWithSaves(const FileState& state,
                           std::int64_t counter,
                           const std::string& context) {
    EXPECT_TRUE(state.loaded) << context << ": " << state.loadError;
    EXPECT_EQ(state.integrity, "ok") << context;
    EXPECT_EQ(state.counter, counter) << context;
    EXPECT_EQ(state.rawCounter, counter) << context;
    EXPECT_EQ(state.rowsPerSave, wholeSavesUpTo(counter)) << context;
    EXPECT_TRUE(state.followUpSaved) << context;
    EXPECT_EQ(state.entriesAfterwards, std::vector<std::string>{kStoreName}) << context;
}

// The all-or-nothing check after a crash or power loss: the counter names a save between the last
// one that returned and the one after it (which may have committed just before the fault), and
// the file holds exactly the saves up to the counter, whole.
void expectWholeSaves(const FileState& state,
                      int saves,
                      std::int64_t lastReturned,
                      const std::string& context) {
    EXPECT_GE(state.counter, lastReturned) << context << ": a save that returned is missing";
    EXPECT_LE(state.counter, std::min<std::int64_t>(lastReturned + 1, saves)) << context;
    expectIntactWithSaves(state, std::max<std::int64_t>(state.counter, 0), context);
}

// SQLCipher's raw-key form of `password` for the file at `path`: "x'<hex>'" is taken as the
// derived key itself (PBKDF2-HMAC-SHA1, 64,000 iterations, salted with the file's first 16
// bytes), so opening skips the derivation. Under AddressSanitizer one derivation costs about a
// second (OpenSSL allocates on every iteration), so the children and checks open files this way;
// each test still opens one file with the password itself.
std::string rawKeyForFile(const std::filesystem::path& path, const std::string& password) {
    const LdData bytes = ldReadFile(path);
    if (bytes.size() < 16) {
        return {};
    }
    unsigned char key[32];
    if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), bytes.data(), 16,
                               64000, sizeof key, key) != 1) {
        return {};
    }
    static const char* const kHex = "0123456789ABCDEF";
    std::string text = "x'";
    for (const unsigned char byte : key) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text + "'";
}

// A raw key for new files (any 32 bytes).
std::string rawKeyFromSeed(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string text = "x'";
    static const char* const kHex = "0123456789ABCDEF";
    for (int digit = 0; digit < 64; ++digit) {
        text += kHex[random() % 16];
    }
    return text + "'";
}

// The `call`-th write (of database and journal files) fails with `code`, and every later one too
// when `persistent`.
LdFaultPlan errorPlan(int code, bool persistent, std::uint64_t call) {
    LdFaultPlan plan;
    plan.mode = LdFaultMode::Error;
    plan.event = LdFaultEvent::Write;
    plan.triggerAt = call;
    plan.errorCode = code;
    plan.persistent = persistent;
    return plan;
}

std::string errorPlanText(int code, bool persistent, std::uint64_t write, std::uint64_t writes) {
    return std::string(code == SQLITE_FULL ? "SQLITE_FULL" : "SQLITE_IOERR_WRITE") +
           (persistent ? " from" : " only at") + " write " + std::to_string(write) + " of " +
           std::to_string(writes);
}

// The child's side of the debug-log test, in a fresh process (the flag is read once per process,
// so a plain fork of this one would inherit the value already read): turns the flag on, logs into
// a folder, creates a plain store, saves, fails a re-key on a write error and encrypts the file
// for real, then reads every log line back. Returns a bit set of what went wrong.
enum SQLDebugProblem : int {
    kStoreFailed = 1,
    kNoDebugLine = 2,
    kStatementMissing = 4,
    kPasswordLogged = 8,
};

int sqlDebugInChild() {
    const std::string failedPassword = "Failed-Secret-9313";
    const std::string newPassword = "New-Secret-4402";
    int problems = 0;
    std::string logText;
    {
        LdTemporaryFolder folder;
        LdUserDefaults::standard().setBool(true, "com.apple.CoreData.SQLDebug");
        LdLogger::shared().setFolderURL(folder / "logs");
        {
            LdFaultVFS vfs;
            LdCryptStore store(folder / kStoreName, storeOptions(""));
            std::optional<LdStoreChangeSet> changes;
            if (!vfs.isInstalled() || !store.loadMetadata() ||
                !(changes = workloadSave(store, 1)) || !store.saveChanges(*changes)) {
                problems |= kStoreFailed;
            } else {
                vfs.setPlan(errorPlan(SQLITE_IOERR_WRITE, /*persistent=*/true, 1));
                problems |= store.changePasswordTo(failedPassword) ? kStoreFailed : 0;
                vfs.setPlan(LdFaultPlan{});
                problems |= store.changePasswordTo(newPassword) ? 0 : kStoreFailed;
            }
        }
        LdLogger::shared().setFolderURL(std::nullopt);  // writes what is pending
        for (const auto& item : std::filesystem::directory_iterator(folder / "logs")) {
            const LdData bytes = ldReadFile(item.path());
            logText.append(bytes.begin(), bytes.end());
        }
    }
    if (logText.find("SQL DEBUG: ") == std::string::npos) {
        problems |= kNoDebugLine;
    }
    for (const char* statement :
         {"SQL DEBUG: BEGIN EXCLUSIVE;", "SQL DEBUG: COMMIT;",
          "SQL DEBUG: INSERT INTO TE_ACCOUNTSTATEMENT", "SQL DEBUG: UPDATE TE_ACCOUNTSTATEMENT",
          "SQL DEBUG: ATTACH DATABASE ? AS encrypted KEY ?;",
          "SQL DEBUG: SELECT sqlcipher_export('encrypted');"}) {
        if (logText.find(statement) == std::string::npos) {
            problems |= kStatementMissing;
        }
    }
    for (const std::string& password : {failedPassword, newPassword}) {
        if (logText.find(password) != std::string::npos) {
            problems |= kPasswordLogged;
        }
    }
    return problems;
}

}  // namespace

class LdCryptStoreFaultTest : public ::testing::Test {
protected:
    // A file with only the counter row, made once per test: plain for an empty password, else
    // encrypted with it. Files of a password are opened with `keyFor(password)`.
    const std::filesystem::path& templateFile(const std::string& password) {
        auto found = templates_.find(password);
        if (found == templates_.end()) {
            const auto path =
                    folder_ / ("template-" + std::to_string(templates_.size())) / kStoreName;
            createStoreFile(path, password);
            found = templates_.emplace(password, path).first;
            keys_[password] = password.empty() ? "" : rawKeyForFile(path, password);
            EXPECT_TRUE(password.empty() || LdCryptStore::isPasswordCorrect(keys_[password], path));
        }
        return found->second;
    }

    const std::string& keyFor(const std::string& password) {
        templateFile(password);
        return keys_[password];
    }

    // A copy of the template in a folder of its own.
    std::filesystem::path freshCopy(const std::string& password, const std::string& name) {
        const std::filesystem::path path = folder_ / name / kStoreName;
        std::filesystem::remove_all(path.parent_path());
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::copy_file(templateFile(password), path);
        return path;
    }

    // Children that each save `saves` times and crash at a call (write or sync) of their saves, or
    // lose power at a sync; every outcome must hold whole saves only.
    void interruptSaves(LdFaultMode mode, const std::string& password, int saves, int children) {
        const std::string& key = keyFor(password);
        ASSERT_FALSE(HasFailure());
        ASSERT_TRUE(password.empty() || !key.empty());
        auto counts =
                countSaveCalls(templateFile(password), folder_ / "count" / kStoreName, key, saves);
        ASSERT_TRUE(counts.has_value());
        ASSERT_GE(counts->syncs, static_cast<std::uint64_t>(saves) * 2);
        const bool crash = mode == LdFaultMode::Crash;
        const std::uint64_t calls = crash ? counts->writes + counts->syncs : counts->syncs;
        std::mt19937_64 random(seed_ + (crash ? 0 : 1) + (password.empty() ? 0 : 2));
        struct Run {
            LdFaultPlan plan;
            std::filesystem::path path;
            std::string context;
        };
        std::vector<Run> runs;
        for (int child = 0; child < children; ++child) {
            Run& run = runs.emplace_back();
            run.plan.mode = mode;
            run.plan.event = crash ? LdFaultEvent::WriteOrSync : LdFaultEvent::Sync;
            run.plan.triggerAt = triggerPoint(child, children, calls, random);
            run.plan.seed = random();
            run.path = freshCopy(password, "child-" + std::to_string(child));
            run.context = seedText(seed_) + ", child " + std::to_string(child) +
                          (crash ? ", crash at call " : ", power loss at sync ") +
                          std::to_string(run.plan.triggerAt) + " of " + std::to_string(calls);
        }
        std::vector<std::function<int(int)>> jobs;
        for (const Run& run : runs) {
            jobs.emplace_back([&run, &key, saves](int channel) {
                return saveLoopInChild(channel, run.path, key, run.plan, saves, false);
            });
        }
        ChildJobRunner runner(std::move(jobs));
        int interrupted = 0;  // children that left a journal behind
        for (const Run& run : runs) {
            const std::optional<ChildOutcome> outcome = runner.next();
            ASSERT_TRUE(outcome.has_value()) << run.context << ": the helper process failed";
            EXPECT_TRUE(outcome->killed()) << run.context << ": " << outcome->describe();
            interrupted += std::filesystem::exists(run.path.string() + "-journal") ? 1 : 0;
            const std::int64_t lastReturned = outcome->report.empty() ? 0 : outcome->report.back();
            expectWholeSaves(readFileState(run.path, key), saves, lastReturned, run.context);
            if (&run != &runs.back()) {
                std::filesystem::remove_all(run.path.parent_path());
            }
        }
        EXPECT_GT(interrupted, 0) << "no fault hit a save while its journal existed";
        if (!password.empty()) {
            EXPECT_TRUE(LdCryptStore::isPasswordCorrect(password, runs.back().path));
        }
    }

    // A save on a fresh copy that meets the error `plan`: it fails with the SQLite error and,
    // when the fault passed, leaves the file as it was; once the disk works again the same store
    // saves, and the file holds that save only.
    void failSave(const LdFaultPlan& plan, const std::string& context) {
        const auto path = freshCopy("", "error");
        {
            LdFaultVFS vfs;
            ASSERT_TRUE(vfs.isInstalled());
            LdCryptStore store(path, storeOptions(""));
            LdError error;
            ASSERT_TRUE(store.loadMetadata(&error)) << error;
            const LdData before = ldReadFile(path);
            vfs.setPlan(plan);
            auto failing = workloadSave(store, 1);
            ASSERT_TRUE(failing.has_value());
            EXPECT_FALSE(store.saveChanges(*failing, &error)) << context;
            EXPECT_EQ(error.domain(), kLdSQLiteErrorDomain) << context << ": " << error;
            EXPECT_EQ(error.code(), plan.errorCode & 0xff) << context << ": " << error;
            EXPECT_GE(vfs.counters().failedCalls, 1U) << context;
            if (!plan.persistent) {
                // Only that write failed: the rollback has put every page back.
                EXPECT_EQ(folderEntries(path.parent_path()), std::vector<std::string>{kStoreName})
                        << context;
                EXPECT_TRUE(ldReadFile(path) == before) << context;
            }
            vfs.setPlan(LdFaultPlan{});  // the disk works again
            auto next = workloadSave(store, 1);
            ASSERT_TRUE(next.has_value());
            EXPECT_TRUE(store.saveChanges(*next, &error)) << context << ": " << error;
            EXPECT_EQ(folderEntries(path.parent_path()), std::vector<std::string>{kStoreName})
                    << context;
        }
        // Only the second attempt is in the file (its rows have other keys than the failed
        // one's, which are never handed out again).
        FileState state;
        readWithSQLite(path, "", state);
        EXPECT_EQ(state.integrity, "ok") << context;
        EXPECT_EQ(state.rawCounter, 1) << context;
        EXPECT_EQ(state.rowsPerSave, wholeSavesUpTo(1)) << context;
    }

    LdTemporaryFolder folder_;
    std::uint64_t seed_ = runSeed();
    std::map<std::string, std::filesystem::path> templates_;
    std::map<std::string, std::string> keys_;
};

TEST_F(LdCryptStoreFaultTest, CrashAtAnyCallOfASaveLeavesWholeSavesInAPlainFile) {
    interruptSaves(LdFaultMode::Crash, "", /*saves=*/2, /*children=*/100);
}

TEST_F(LdCryptStoreFaultTest, CrashAtAnyCallOfASaveLeavesWholeSavesInAnEncryptedFile) {
    interruptSaves(LdFaultMode::Crash, kPassword, /*saves=*/2, /*children=*/20);
}

TEST_F(LdCryptStoreFaultTest, PowerLossAtAnySyncOfASaveLeavesWholeSavesInAPlainFile) {
    interruptSaves(LdFaultMode::PowerLoss, "", /*saves=*/3, /*children=*/44);
}

TEST_F(LdCryptStoreFaultTest, PowerLossAtAnySyncOfASaveLeavesWholeSavesInAnEncryptedFile) {
    interruptSaves(LdFaultMode::PowerLoss, kPassword, /*saves=*/2, /*children=*/8);
}

TEST_F(LdCryptStoreFaultTest, CrashWhileTheStoreGathersStatisticsAtOpenLeavesTheFileIntact) {
    // Two saves make the table outgrow the statistics of the template, so opening gathers them
    // again: the one write the store makes when it opens a file.
    const auto grown = freshCopy("", "grown");
    {
        LdCryptStore store(grown, storeOptions(""));
        ASSERT_TRUE(store.loadMetadata());
        for (int saveNumber = 1; saveNumber <= 2; ++saveNumber) {
            auto changes = workloadSave(store, saveNumber);
            ASSERT_TRUE(changes && store.saveChanges(*changes));
        }
    }
    const auto counting = folder_ / "count" / kStoreName;
    std::filesystem::create_directories(counting.parent_path());
    std::filesystem::copy_file(grown, counting);
    const ChildOutcome counted = runInChild(
            [&](int channel) { return loadInChild(channel, counting, LdFaultPlan{}, true); });
    std::uint64_t values[2] = {0, 0};
    ASSERT_EQ(counted.exitCode, kChildDone) << counted.describe();
    ASSERT_EQ(counted.report.size(), sizeof values);
    std::copy(counted.report.begin(), counted.report.end(),
              reinterpret_cast<std::uint8_t*>(values));
    const std::uint64_t calls = values[0] + values[1];
    ASSERT_GT(calls, 2U) << "opening the grown file gathered no statistics";

    constexpr int kChildren = 10;
    std::mt19937_64 random(seed_ + 6);
    struct Run {
        LdFaultPlan plan;
        std::filesystem::path path;
        std::string context;
    };
    std::vector<Run> runs;
    for (int child = 0; child < kChildren; ++child) {
        Run& run = runs.emplace_back();
        run.plan.mode = LdFaultMode::Crash;
        run.plan.event = LdFaultEvent::WriteOrSync;
        run.plan.triggerAt = triggerPoint(child, kChildren, calls, random);
        run.path = folder_ / ("open-" + std::to_string(child)) / kStoreName;
        std::filesystem::create_directories(run.path.parent_path());
        std::filesystem::copy_file(grown, run.path);
        run.context = seedText(seed_) + ", child " + std::to_string(child) + ", crash at call " +
                      std::to_string(run.plan.triggerAt) + " of " + std::to_string(calls);
    }
    std::vector<std::function<int(int)>> jobs;
    for (const Run& run : runs) {
        jobs.emplace_back(
                [&run](int channel) { return loadInChild(channel, run.path, run.plan, false); });
    }
    ChildJobRunner runner(std::move(jobs));
    for (const Run& run : runs) {
        const std::optional<ChildOutcome> outcome = runner.next();
        ASSERT_TRUE(outcome.has_value()) << run.context << ": the helper process failed";
        EXPECT_TRUE(outcome->killed()) << run.context << ": " << outcome->describe();
        expectIntactWithSaves(readFileState(run.path, ""), 2, run.context);
    }
}

TEST_F(LdCryptStoreFaultTest, FullDiskOrWriteErrorAtAnyWriteOfASaveLeavesTheFileAsItWas) {
    std::uint64_t writes = 0;
    {
        const auto path = freshCopy("", "count");
        LdFaultVFS vfs;
        ASSERT_TRUE(vfs.isInstalled());
        LdCryptStore store(path, storeOptions(""));
        ASSERT_TRUE(store.loadMetadata());
        vfs.resetCounters();
        auto changes = workloadSave(store, 1);
        ASSERT_TRUE(changes && store.saveChanges(*changes));
        writes = vfs.counters().writes;
    }
    ASSERT_GT(writes, 3U);
    // Every write fails once with each code; whether the failure lasts (a full disk) or passes
    // alternates, so that each of the four kinds meets writes all over the save.
    for (std::uint64_t write = 1; write <= writes; ++write) {
        for (const int code : {SQLITE_FULL, SQLITE_IOERR_WRITE}) {
            const bool persistent = (write + (code == SQLITE_FULL ? 0 : 1)) % 2 == 0;
            failSave(errorPlan(code, persistent, write),
                     errorPlanText(code, persistent, write, writes));
        }
    }
}

TEST_F(LdCryptStoreFaultTest, SyncErrorAtAnySyncOfASaveLeavesTheFileAsItWas) {
    std::uint64_t syncs = 0;
    {
        const auto path = freshCopy("", "count");
        LdFaultVFS vfs;
        ASSERT_TRUE(vfs.isInstalled());
        LdCryptStore store(path, storeOptions(""));
        ASSERT_TRUE(store.loadMetadata());
        vfs.resetCounters();
        auto changes = workloadSave(store, 1);
        ASSERT_TRUE(changes && store.saveChanges(*changes));
        syncs = vfs.counters().syncs;
    }
    ASSERT_GE(syncs, 2U);
    for (std::uint64_t sync = 1; sync <= syncs; ++sync) {
        for (const bool persistent : {false, true}) {
            LdFaultPlan plan = errorPlan(SQLITE_IOERR_FSYNC, persistent, sync);
            plan.event = LdFaultEvent::Sync;
            failSave(plan, std::string("SQLITE_IOERR_FSYNC") + (persistent ? " from" : " only at") +
                                   " sync " + std::to_string(sync) + " of " +
                                   std::to_string(syncs));
        }
    }
}

TEST_F(LdCryptStoreFaultTest, FullDiskOrWriteErrorWhileChangingThePasswordKeepsTheOldPassword) {
    const std::string& oldKey = keyFor(kPassword);
    ASSERT_FALSE(oldKey.empty());
    const std::string newKey = rawKeyFromSeed(seed_);
    std::uint64_t writes = 0;
    {
        const auto path = freshCopy(kPassword, "count");
        LdFaultVFS vfs;
        ASSERT_TRUE(vfs.isInstalled());
        LdCryptStore store(path, storeOptions(oldKey));
        LdError error;
        ASSERT_TRUE(store.loadMetadata(&error)) << error;
        vfs.resetCounters();
        ASSERT_TRUE(store.changePasswordTo(newKey, &error)) << error;
        writes = vfs.counters().writes;
    }
    ASSERT_GT(writes, 6U);
    std::mt19937_64 random(seed_ + 4);
    // A full disk stays full: from the first write, a random one and the last two on. A passing
    // fault: at a random write only.
    struct Case {
        bool persistent;
        std::uint64_t write;
    };
    const std::vector<Case> cases = {{true, 1},
                                     {true, 1 + random() % writes},
                                     {true, writes - 1},
                                     {true, writes},
                                     {false, 1 + random() % writes}};
    bool first = true;
    for (const int code : {SQLITE_FULL, SQLITE_IOERR_WRITE}) {
        for (const Case& failure : cases) {
            // Once with a password, else with a raw key (no key derivation).
            const std::string password = first ? std::string(kNewPassword) : newKey;
            first = false;
            const std::string context =
                    seedText(seed_) + ", " +
                    errorPlanText(code, failure.persistent, failure.write, writes) +
                    " of the re-key to " + password;
            const auto path = freshCopy(kPassword, "rekey");
            {
                LdFaultVFS vfs;
                ASSERT_TRUE(vfs.isInstalled());
                LdCryptStore store(path, storeOptions(oldKey));
                LdError error;
                ASSERT_TRUE(store.loadMetadata(&error)) << error;
                vfs.setPlan(errorPlan(code, failure.persistent, failure.write));
                EXPECT_FALSE(store.changePasswordTo(password, &error)) << context;
                EXPECT_TRUE(error.isSet()) << context;
                EXPECT_EQ(leftoversBesideStore(path), std::vector<std::string>{}) << context;
                vfs.setPlan(LdFaultPlan{});
                EXPECT_TRUE(store.isOpen() && store.isPasswordCorrect()) << context;
                auto changes = workloadSave(store, 1);
                ASSERT_TRUE(changes.has_value());
                EXPECT_TRUE(store.saveChanges(*changes, &error)) << context << ": " << error;
            }
            EXPECT_FALSE(LdCryptStore::isPasswordCorrect(newKey, path)) << context;
            // Loading the store again clears whatever the re-key left.
            expectIntactWithSaves(readFileState(path, oldKey), 1, context);
        }
    }
}

// With the disk full during the export's last transaction, SQLite cannot roll that transaction
// back and keeps the journal of the re-key's temporary file: the store removes both.
TEST_F(LdCryptStoreFaultTest, FailedRekeyLeavesNoJournalOfItsTemporaryFile) {
    const std::string& oldKey = keyFor(kPassword);
    ASSERT_FALSE(oldKey.empty());
    const std::string newKey = rawKeyFromSeed(seed_);
    const auto path = freshCopy(kPassword, "rekey");
    LdFaultVFS vfs;
    ASSERT_TRUE(vfs.isInstalled());
    LdCryptStore store(path, storeOptions(oldKey));
    ASSERT_TRUE(store.loadMetadata());
    vfs.resetCounters();
    ASSERT_TRUE(store.changePasswordTo(newKey));
    const std::uint64_t writes = vfs.counters().writes;
    ASSERT_TRUE(store.closeDatabase());
    std::filesystem::copy_file(templateFile(kPassword), path,
                               std::filesystem::copy_options::overwrite_existing);
    LdCryptStore again(path, storeOptions(oldKey));
    ASSERT_TRUE(again.loadMetadata());
    vfs.setPlan(errorPlan(SQLITE_FULL, /*persistent=*/true, writes));
    EXPECT_FALSE(again.changePasswordTo(newKey));
    EXPECT_EQ(folderEntries(path.parent_path()), std::vector<std::string>{kStoreName});
}

TEST_F(LdCryptStoreFaultTest,
       CrashWhileChangingThePasswordKeepsTheOldFileAndLeavesNoTemporaryFile) {
    const std::string& oldKey = keyFor(kPassword);
    ASSERT_FALSE(oldKey.empty());
    const std::string newKey = rawKeyFromSeed(seed_);
    CallCounts counts;
    {
        const auto path = freshCopy(kPassword, "count");
        LdFaultVFS vfs;
        ASSERT_TRUE(vfs.isInstalled());
        LdCryptStore store(path, storeOptions(oldKey));
        LdError error;
        ASSERT_TRUE(store.loadMetadata(&error)) << error;
        vfs.resetCounters();
        ASSERT_TRUE(store.changePasswordTo(newKey, &error)) << error;
        counts = {vfs.counters().writes, vfs.counters().syncs};
    }
    const std::uint64_t calls = counts.writes + counts.syncs;
    ASSERT_GT(calls, 2U);
    std::mt19937_64 random(seed_ + 5);
    constexpr int kChildren = 5;
    for (int child = 0; child < kChildren; ++child) {
        LdFaultPlan plan;
        plan.mode = LdFaultMode::Crash;
        plan.event = LdFaultEvent::WriteOrSync;
        // The last child dies at the re-key's last call, with the new file complete.
        plan.triggerAt =
                child == kChildren - 1 ? calls : triggerPoint(child, kChildren - 1, calls, random);
        const std::string context = seedText(seed_) + ", child " + std::to_string(child) +
                                    ", crash at call " + std::to_string(plan.triggerAt) + " of " +
                                    std::to_string(calls);
        const auto path = freshCopy(kPassword, "rekey-" + std::to_string(child));
        const ChildOutcome outcome =
                runInChild([&](int) { return rekeyInChild(path, oldKey, newKey, plan); });
        EXPECT_TRUE(outcome.killed()) << context << ": " << outcome.describe();
        // Loading removes what the re-key left behind; the old key opens the old content.
        expectIntactWithSaves(readFileState(path, oldKey), 0, context);
        EXPECT_FALSE(LdCryptStore::isPasswordCorrect(newKey, path)) << context;
    }
}

TEST(LdCryptStoreFaultDeathTest, SQLDebugLogHasEveryStatementButNoPassword) {
    // A fresh process, started anew rather than forked, reads the flag for the first time.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(sqlDebugInChild()), ::testing::ExitedWithCode(0), "")
            << "exit code bits: 1 store failed, 2 no SQL DEBUG line, 4 a statement missing, "
               "8 a password in the log";
    GTEST_FLAG_SET(death_test_style, style);
}

namespace {

constexpr int kSector = LdFaultVFS::kSectorSize;

// The child's side of the power-loss check of the VFS itself: four sectors of a file written and
// synced ('A'), then eight sectors rewritten in four writes of two sectors each ('B') and read
// back, then the power goes off at the next sync. Exit codes tell what went wrong before.
int powerLossOfRawFileInChild(const std::filesystem::path& path, std::uint64_t seed) {
    LdFaultVFS vfs;
    sqlite3_vfs* fault = sqlite3_vfs_find(LdFaultVFS::kName);
    if (!vfs.isInstalled() || fault == nullptr) {
        return kChildNoVFS;
    }
    std::vector<std::max_align_t> memory(
            static_cast<std::size_t>(fault->szOsFile) / sizeof(std::max_align_t) + 1);
    auto* file = reinterpret_cast<sqlite3_file*>(memory.data());
    int flags = 0;
    if (fault->xOpen(fault, path.c_str(), file,
                     SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                     &flags) != SQLITE_OK) {
        return kChildOpenFailed;
    }
    LdFaultPlan plan;
    plan.mode = LdFaultMode::PowerLoss;
    plan.event = LdFaultEvent::Sync;
    plan.triggerAt = 2;
    plan.seed = seed;
    vfs.setPlan(plan);
    const std::vector<char> synced(4 * kSector, 'A');
    const std::vector<char> waiting(2 * kSector, 'B');
    if (file->pMethods->xWrite(file, synced.data(), 4 * kSector, 0) != SQLITE_OK ||
        file->pMethods->xSync(file, SQLITE_SYNC_NORMAL) != SQLITE_OK) {
        return kChildSaveFailed;
    }
    for (int write = 0; write < 4; ++write) {
        if (file->pMethods->xWrite(file, waiting.data(), 2 * kSector, write * 2 * kSector) !=
            SQLITE_OK) {
            return kChildSaveFailed;
        }
    }
    std::vector<char> read(8 * kSector, 'x');
    sqlite3_int64 size = 0;
    if (file->pMethods->xRead(file, read.data(), 8 * kSector, 0) != SQLITE_OK ||
        read != std::vector<char>(8 * kSector, 'B') ||
        file->pMethods->xFileSize(file, &size) != SQLITE_OK || size != 8 * kSector) {
        return kChildReportFailed;  // the waiting writes must show in reads and in the size
    }
    file->pMethods->xSync(file, SQLITE_SYNC_NORMAL);  // the power goes off here
    file->pMethods->xClose(file);
    return kChildDone;
}

}  // namespace

TEST(LdFaultVFSTest, PowerLossKeepsSyncedWritesAndSomeSectorsOfTheOthers) {
    LdTemporaryFolder folder;
    const std::uint64_t seed = runSeed();
    int kept = 0;  // sectors of waiting writes that reached the disk
    int lost = 0;
    int torn = 0;  // writes of which one sector reached the disk and the other did not
    for (std::uint64_t run = 0; run < 8; ++run) {
        const std::string context = seedText(seed) + ", run " + std::to_string(run);
        const auto path = folder / ("file-" + std::to_string(run));
        const ChildOutcome outcome =
                runInChild([&](int) { return powerLossOfRawFileInChild(path, seed + run); });
        ASSERT_TRUE(outcome.killed()) << context << ": " << outcome.describe();
        const LdData bytes = ldReadFile(path);
        ASSERT_GE(bytes.size(), 4U * kSector) << context;  // the synced sectors stay
        ASSERT_LE(bytes.size(), 8U * kSector) << context;
        for (int write = 0; write < 4; ++write) {
            int reached = 0;
            for (int half = 0; half < 2; ++half) {
                const std::size_t start = static_cast<std::size_t>((write * 2 + half) * kSector);
                const std::uint8_t before = start < 4 * kSector ? 'A' : 0;
                const std::uint8_t first = start < bytes.size() ? bytes[start] : before;
                EXPECT_TRUE(first == 'B' || first == before) << context;
                for (std::size_t at = start; at < start + kSector && at < bytes.size(); ++at) {
                    ASSERT_EQ(bytes[at], first) << context << ": a sector changed in part";
                }
                reached += first == 'B' ? 1 : 0;
            }
            kept += reached;
            lost += 2 - reached;
            torn += reached == 1 ? 1 : 0;
        }
    }
    EXPECT_GT(kept, 0) << seedText(seed);
    EXPECT_GT(lost, 0) << seedText(seed);
    EXPECT_GT(torn, 0) << seedText(seed);
}
