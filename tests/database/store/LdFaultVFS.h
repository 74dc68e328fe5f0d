// LdFaultVFS: a SQLite VFS for tests that wraps the "unix" one and injects faults into the writes
// and syncs of database files and their rollback journals: a process crash, a power loss or a
// write error at a chosen call.
#pragma once

#include <cstdint>
#include <memory>

#include "core/database/store/detail/LdSQLite.h"

namespace ld::test {

// What the VFS does to the files of databases (attached ones included) and their journals.
// Temporary files (statement journals, sorter spills) always pass through and are not counted.
enum class LdFaultMode {
    // Counts writes and syncs, changes nothing.
    PassThrough,
    // At the trigger the process kills itself (SIGKILL) before the call runs; what was written
    // before stays in the operating system, as after a crash of the application.
    Crash,
    // Writes wait in memory until their file's next sync (reads see them). At the trigger (a
    // sync) a random part of every file's waiting writes reaches the disk, some of them torn at
    // 512-byte sector boundaries, and the process kills itself without syncing the rest.
    PowerLoss,
    // The call at the trigger fails with the plan's error code, and so does every later counted
    // call of that kind when the plan is persistent. The process lives on.
    Error,
};

// The calls that count towards the trigger.
enum class LdFaultEvent { Write, Sync, WriteOrSync };

struct LdFaultPlan {
    LdFaultMode mode = LdFaultMode::PassThrough;
    LdFaultEvent event = LdFaultEvent::Write;
    // The 1-based number of the counted call that faults; 0 is never.
    std::uint64_t triggerAt = 0;
    // Error mode: the result of the failing call (SQLITE_FULL, SQLITE_IOERR_WRITE, ...).
    int errorCode = SQLITE_FULL;
    // Error mode: whether every counted call after the trigger fails too (a full disk) or only
    // the one at the trigger (a passing fault).
    bool persistent = true;
    // Power loss: chooses which waiting writes reach the disk and how they tear.
    std::uint64_t seed = 0;
};

// Calls on database and journal files since the plan was set (or the counters reset).
struct LdFaultCounters {
    std::uint64_t writes = 0;
    std::uint64_t syncs = 0;
    std::uint64_t failedCalls = 0;  // error mode: calls that returned the error
};

// Syncs of database and journal files are counted but end in the operating system's cache: the
// faults are simulated above the disk, so tests need no real durability.
//
// Registers itself as the process's default VFS on construction and restores the previous default
// on destruction; connections opened in between use it. One at a time per process, for one
// thread: SQLite calls it without locks. Connections opened through it must be closed before it is
// destroyed. Crash and power-loss plans belong in a forked child process only.
class LdFaultVFS {
public:
    static constexpr const char* kName = "ld-fault";
    static constexpr int kSectorSize = 512;

    LdFaultVFS();
    ~LdFaultVFS();
    LdFaultVFS(const LdFaultVFS&) = delete;
    LdFaultVFS& operator=(const LdFaultVFS&) = delete;

    // Whether registering worked (the "unix" VFS exists and no other fault VFS is installed).
    bool isInstalled() const;

    // Replaces the plan and resets the counters. Writes waiting for a sync stay waiting.
    void setPlan(const LdFaultPlan& plan);
    const LdFaultPlan& plan() const;

    LdFaultCounters counters() const;
    void resetCounters();

    struct State;  // shared with the VFS callbacks

private:
    std::unique_ptr<State> state_;
};

}  // namespace ld::test
