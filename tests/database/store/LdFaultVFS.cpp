// The fault VFS: a thin layer over the "unix" VFS that counts, delays, drops or fails the writes
// and syncs of database and journal files.
#include "tests/database/store/LdFaultVFS.h"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace ld::test {

namespace {

struct PendingWrite {
    sqlite3_int64 offset = 0;
    std::vector<unsigned char> bytes;

    sqlite3_int64 end() const { return offset + static_cast<sqlite3_int64>(bytes.size()); }
};

// The writes of one file that wait for its next sync, shared by every handle on the file. It
// outlives the handles (the operating system keeps unsynced data of a closed file too) until the
// file is synced or deleted.
struct FileBuffer {
    std::vector<PendingWrite> writes;
    int openHandles = 0;
};

}  // namespace

struct LdFaultVFS::State {
    sqlite3_vfs vfs{};
    sqlite3_vfs* real = nullptr;
    sqlite3_vfs* previousDefault = nullptr;
    bool installed = false;
    LdFaultPlan plan;
    LdFaultCounters counters;
    // By path; map nodes stay where they are, so open files keep pointers to them.
    std::map<std::string, FileBuffer> buffers;
};

namespace {

using State = LdFaultVFS::State;
constexpr sqlite3_int64 kSector = LdFaultVFS::kSectorSize;

// The file object SQLite allocates for this VFS (szOsFile bytes): this header, then the file
// object of the real VFS.
struct FaultFile {
    sqlite3_file base;
    State* state;
    const std::string* path;  // key in State::buffers; null for files that are not counted
    FileBuffer* buffer;
};
static_assert(sizeof(FaultFile) % alignof(std::max_align_t) == 0, "real file must stay aligned");

State& stateOf(sqlite3_vfs* vfs) {
    return *static_cast<State*>(vfs->pAppData);
}

FaultFile& faultFile(sqlite3_file* file) {
    return *reinterpret_cast<FaultFile*>(file);
}

sqlite3_file* realFile(sqlite3_file* file) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + sizeof(FaultFile));
}

enum class Call { Write, Sync };

// Counts a call on a database or journal file; true when the plan's fault applies to it.
bool countAndCheck(State& state, Call call) {
    LdFaultCounters& counters = state.counters;
    ++(call == Call::Write ? counters.writes : counters.syncs);
    const LdFaultPlan& plan = state.plan;
    if (plan.mode == LdFaultMode::PassThrough || plan.triggerAt == 0) {
        return false;
    }
    std::uint64_t number = 0;
    switch (plan.event) {
        case LdFaultEvent::Write:
            if (call != Call::Write) {
                return false;
            }
            number = counters.writes;
            break;
        case LdFaultEvent::Sync:
            if (call != Call::Sync) {
                return false;
            }
            number = counters.syncs;
            break;
        case LdFaultEvent::WriteOrSync:
            number = counters.writes + counters.syncs;
            break;
    }
    if (number == plan.triggerAt) {
        return true;
    }
    return plan.mode == LdFaultMode::Error && plan.persistent && number > plan.triggerAt;
}

[[noreturn]] void killProcess() {
    std::raise(SIGKILL);
    _exit(137);  // not reached: SIGKILL cannot be caught
}

void writeFully(int descriptor, const unsigned char* bytes, sqlite3_int64 size, sqlite3_int64 at) {
    while (size > 0) {
        const ssize_t written =
                ::pwrite(descriptor, bytes, static_cast<std::size_t>(size), static_cast<off_t>(at));
        if (written <= 0) {
            return;
        }
        bytes += written;
        size -= written;
        at += written;
    }
}

// The power goes off: of every file's writes that wait for a sync, a random part reaches the disk
// (in the order they were made, so an overlapping later write may or may not cover an earlier
// one), some of them only in some of their 512-byte sectors; then the process dies. Writes
// synced before are on the disk already.
[[noreturn]] void losePower(State& state) {
    std::mt19937_64 random(state.plan.seed);
    for (const auto& [path, buffer] : state.buffers) {
        if (buffer.writes.empty()) {
            continue;
        }
        const int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (descriptor < 0) {
            continue;
        }
        for (const PendingWrite& write : buffer.writes) {
            const std::uint64_t fate = random() % 4;  // 0 lost, 1 and 2 whole, 3 torn
            if (fate == 0) {
                continue;
            }
            for (sqlite3_int64 start = write.offset; start < write.end();) {
                const sqlite3_int64 sectorEnd =
                        std::min(write.end(), (start / kSector + 1) * kSector);
                if (fate != 3 || random() % 2 == 0) {
                    writeFully(descriptor, write.bytes.data() + (start - write.offset),
                               sectorEnd - start, start);
                }
                start = sectorEnd;
            }
        }
        ::close(descriptor);
    }
    killProcess();
}

// Writes a file's waiting writes through to the real file, in order.
int flushBuffer(sqlite3_file* file) {
    FileBuffer& buffer = *faultFile(file).buffer;
    sqlite3_file* real = realFile(file);
    for (const PendingWrite& write : buffer.writes) {
        const int result = real->pMethods->xWrite(
                real, write.bytes.data(), static_cast<int>(write.bytes.size()), write.offset);
        if (result != SQLITE_OK) {
            return result;
        }
    }
    buffer.writes.clear();
    return SQLITE_OK;
}

bool hasWaitingWrites(const FaultFile& file) {
    return file.buffer != nullptr && !file.buffer->writes.empty();
}

// --- File methods ---

int fileClose(sqlite3_file* file) {
    FaultFile& fault = faultFile(file);
    sqlite3_file* real = realFile(file);
    const int result = real->pMethods->xClose(real);
    if (fault.buffer != nullptr) {
        --fault.buffer->openHandles;
        if (fault.buffer->openHandles == 0 && fault.buffer->writes.empty()) {
            fault.state->buffers.erase(fault.state->buffers.find(*fault.path));
        }
    }
    fault.buffer = nullptr;
    fault.path = nullptr;
    return result;
}

int fileSize(sqlite3_file* file, sqlite3_int64* size) {
    sqlite3_file* real = realFile(file);
    const int result = real->pMethods->xFileSize(real, size);
    if (result == SQLITE_OK && hasWaitingWrites(faultFile(file))) {
        for (const PendingWrite& write : faultFile(file).buffer->writes) {
            *size = std::max(*size, write.end());
        }
    }
    return result;
}

int fileRead(sqlite3_file* file, void* out, int amount, sqlite3_int64 offset) {
    sqlite3_file* real = realFile(file);
    const int result = real->pMethods->xRead(real, out, amount, offset);
    if (!hasWaitingWrites(faultFile(file)) ||
        (result != SQLITE_OK && result != SQLITE_IOERR_SHORT_READ)) {
        return result;
    }
    // The real read zero-filled what lies beyond the real file; waiting writes go on top.
    auto* bytes = static_cast<unsigned char*>(out);
    const sqlite3_int64 end = offset + amount;
    for (const PendingWrite& write : faultFile(file).buffer->writes) {
        const sqlite3_int64 from = std::max(offset, write.offset);
        const sqlite3_int64 to = std::min(end, write.end());
        if (from < to) {
            std::memcpy(bytes + (from - offset), write.bytes.data() + (from - write.offset),
                        static_cast<std::size_t>(to - from));
        }
    }
    sqlite3_int64 size = 0;
    fileSize(file, &size);
    return end <= size ? SQLITE_OK : SQLITE_IOERR_SHORT_READ;
}

int fileWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    FaultFile& fault = faultFile(file);
    if (fault.buffer != nullptr) {
        State& state = *fault.state;
        if (countAndCheck(state, Call::Write)) {
            switch (state.plan.mode) {
                case LdFaultMode::Crash:
                    killProcess();
                case LdFaultMode::PowerLoss:
                    losePower(state);
                case LdFaultMode::Error:
                    ++state.counters.failedCalls;
                    return state.plan.errorCode;
                case LdFaultMode::PassThrough:
                    break;
            }
        }
        // Once writes wait, every later one waits behind them, whatever the plan.
        if (state.plan.mode == LdFaultMode::PowerLoss || !fault.buffer->writes.empty()) {
            const auto* bytes = static_cast<const unsigned char*>(data);
            fault.buffer->writes.push_back(
                    {offset, std::vector<unsigned char>(bytes, bytes + amount)});
            return SQLITE_OK;
        }
    }
    sqlite3_file* real = realFile(file);
    return real->pMethods->xWrite(real, data, amount, offset);
}

int fileTruncate(sqlite3_file* file, sqlite3_int64 size) {
    if (hasWaitingWrites(faultFile(file))) {
        // Waiting writes beyond the new end are gone with it.
        auto& writes = faultFile(file).buffer->writes;
        std::erase_if(writes, [size](const PendingWrite& write) { return write.offset >= size; });
        for (PendingWrite& write : writes) {
            if (write.end() > size) {
                write.bytes.resize(static_cast<std::size_t>(size - write.offset));
            }
        }
    }
    sqlite3_file* real = realFile(file);
    return real->pMethods->xTruncate(real, size);
}

int fileSync(sqlite3_file* file, int flags) {
    FaultFile& fault = faultFile(file);
    if (fault.buffer != nullptr) {
        State& state = *fault.state;
        if (countAndCheck(state, Call::Sync)) {
            switch (state.plan.mode) {
                case LdFaultMode::Crash:
                    killProcess();
                case LdFaultMode::PowerLoss:
                    losePower(state);
                case LdFaultMode::Error:
                    ++state.counters.failedCalls;
                    return state.plan.errorCode;
                case LdFaultMode::PassThrough:
                    break;
            }
        }
        // The waiting writes go to the operating system, and there the sync ends: every fault
        // is simulated above the disk, so the disk's own durability does not matter, and real
        // syncs would only cost time (a re-key's export makes hundreds).
        return flushBuffer(file);
    }
    sqlite3_file* real = realFile(file);
    return real->pMethods->xSync(real, flags);
}

int fileLock(sqlite3_file* file, int level) {
    sqlite3_file* real = realFile(file);
    return real->pMethods->xLock(real, level);
}

int fileUnlock(sqlite3_file* file, int level) {
    sqlite3_file* real = realFile(file);
    return real->pMethods->xUnlock(real, level);
}

int fileCheckReservedLock(sqlite3_file* file, int* reserved) {
    sqlite3_file* real = realFile(file);
    return real->pMethods->xCheckReservedLock(real, reserved);
}

int fileControl(sqlite3_file* file, int operation, void* argument) {
    sqlite3_file* real = realFile(file);
    return real->pMethods->xFileControl(real, operation, argument);
}

int fileSectorSize(sqlite3_file* file) {
    sqlite3_file* real = realFile(file);
    return real->pMethods->xSectorSize(real);
}

int fileDeviceCharacteristics(sqlite3_file* file) {
    sqlite3_file* real = realFile(file);
    return real->pMethods->xDeviceCharacteristics(real);
}

// Version 1: no shared memory and no memory mapping, so the connections stay on the rollback
// journal and every page goes through xRead and xWrite.
const sqlite3_io_methods kFileMethods = {
        1,  // iVersion
        fileClose,
        fileRead,
        fileWrite,
        fileTruncate,
        fileSync,
        fileSize,
        fileLock,
        fileUnlock,
        fileCheckReservedLock,
        fileControl,
        fileSectorSize,
        fileDeviceCharacteristics,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
};

// --- VFS methods ---

int vfsOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    State& state = stateOf(vfs);
    FaultFile& fault = faultFile(file);
    fault.base.pMethods = nullptr;  // SQLite closes only files whose open succeeded
    fault.state = &state;
    fault.path = nullptr;
    fault.buffer = nullptr;
    const int result = state.real->xOpen(state.real, name, realFile(file), flags, outFlags);
    if (result != SQLITE_OK) {
        return result;
    }
    constexpr int kCountedFiles = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL |
                                  SQLITE_OPEN_MASTER_JOURNAL | SQLITE_OPEN_WAL;
    if (name != nullptr && (flags & kCountedFiles) != 0) {
        auto entry = state.buffers.try_emplace(name).first;
        ++entry->second.openHandles;
        fault.path = &entry->first;
        fault.buffer = &entry->second;
    }
    fault.base.pMethods = &kFileMethods;
    return SQLITE_OK;
}

int vfsDelete(sqlite3_vfs* vfs, const char* name, int syncFolder) {
    State& state = stateOf(vfs);
    if (auto found = state.buffers.find(name); found != state.buffers.end()) {
        found->second.writes.clear();
        if (found->second.openHandles == 0) {
            state.buffers.erase(found);
        }
    }
    return state.real->xDelete(state.real, name, syncFolder);
}

int vfsAccess(sqlite3_vfs* vfs, const char* name, int flags, int* result) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xAccess(real, name, flags, result);
}

int vfsFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xFullPathname(real, name, size, out);
}

void* vfsDlOpen(sqlite3_vfs* vfs, const char* name) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xDlOpen(real, name);
}

void vfsDlError(sqlite3_vfs* vfs, int size, char* message) {
    sqlite3_vfs* real = stateOf(vfs).real;
    real->xDlError(real, size, message);
}

using SymbolFunction = void (*)();
SymbolFunction vfsDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xDlSym(real, handle, symbol);
}

void vfsDlClose(sqlite3_vfs* vfs, void* handle) {
    sqlite3_vfs* real = stateOf(vfs).real;
    real->xDlClose(real, handle);
}

int vfsRandomness(sqlite3_vfs* vfs, int size, char* out) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xRandomness(real, size, out);
}

int vfsSleep(sqlite3_vfs* vfs, int microseconds) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xSleep(real, microseconds);
}

int vfsCurrentTime(sqlite3_vfs* vfs, double* now) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xCurrentTime(real, now);
}

int vfsGetLastError(sqlite3_vfs* vfs, int size, char* message) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xGetLastError(real, size, message);
}

int vfsCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* now) {
    sqlite3_vfs* real = stateOf(vfs).real;
    return real->xCurrentTimeInt64(real, now);
}

}  // namespace

LdFaultVFS::LdFaultVFS() : state_(std::make_unique<State>()) {
    sqlite3_vfs* real = sqlite3_vfs_find("unix");
    if (real == nullptr || real->iVersion < 2 || sqlite3_vfs_find(kName) != nullptr) {
        return;
    }
    state_->real = real;
    state_->previousDefault = sqlite3_vfs_find(nullptr);
    sqlite3_vfs& vfs = state_->vfs;
    vfs.iVersion = 2;
    vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + real->szOsFile;
    vfs.mxPathname = real->mxPathname;
    vfs.zName = kName;
    vfs.pAppData = state_.get();
    vfs.xOpen = vfsOpen;
    vfs.xDelete = vfsDelete;
    vfs.xAccess = vfsAccess;
    vfs.xFullPathname = vfsFullPathname;
    vfs.xDlOpen = vfsDlOpen;
    vfs.xDlError = vfsDlError;
    vfs.xDlSym = vfsDlSym;
    vfs.xDlClose = vfsDlClose;
    vfs.xRandomness = vfsRandomness;
    vfs.xSleep = vfsSleep;
    vfs.xCurrentTime = vfsCurrentTime;
    vfs.xGetLastError = vfsGetLastError;
    vfs.xCurrentTimeInt64 = vfsCurrentTimeInt64;
    state_->installed = sqlite3_vfs_register(&vfs, 1) == SQLITE_OK;
}

LdFaultVFS::~LdFaultVFS() {
    if (!state_->installed) {
        return;
    }
    sqlite3_vfs_unregister(&state_->vfs);
    if (state_->previousDefault != nullptr) {
        sqlite3_vfs_register(state_->previousDefault, 1);
    }
}

bool LdFaultVFS::isInstalled() const {
    return state_->installed;
}

void LdFaultVFS::setPlan(const LdFaultPlan& plan) {
    state_->plan = plan;
    resetCounters();
}

const LdFaultPlan& LdFaultVFS::plan() const {
    return state_->plan;
}

LdFaultCounters LdFaultVFS::counters() const {
    return state_->counters;
}

void LdFaultVFS::resetCounters() {
    state_->counters = LdFaultCounters{};
}

}  // namespace ld::test
