// LdCStoreFileVetter: runs the store-check helper program on a file from outside and judges its
// outcome.
//
//   Idle    -> Running   [runHelper: pipes, posix_spawn {helper, path}]
//   Running -> Running   [runHelper: poll — password written then closed, output collected]
//   Running -> Finished  [runHelper: child exited (pidfd or end of its output), waitpid]
//   Running -> Finished  [runHelper: wall-time limit passed, SIGKILL, waitpid]
//   Finished -> true     [vetStoreFileAtURL: exit 0]
//   Finished -> LdError  [vetStoreFileAtURL: signal = crash, other exit = the helper's reason]
#include "core/database/store/LdCStoreFileVetter.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/support/LdStrings.h"

extern char** environ;

namespace {

constexpr const char* kVettingTable = "LdCStoreVetting";
constexpr const char* kHelperName = "ledra-store-check";
constexpr const char* kHelperEnvironmentVariable = "LEDRA_STORE_CHECK";
constexpr std::chrono::seconds kWallTimeLimit{120};
constexpr std::uintmax_t kPageSize = 1024;
// The helper's output beyond this is read and dropped.
constexpr std::size_t kMaxOutputBytes = 64 * 1024;
constexpr char kPlainHeader[16] = "SQLite format 3";  // with its closing 0: 16 bytes

std::mutex& helperPathMutex() {
    static std::mutex mutex;
    return mutex;
}

std::filesystem::path& configuredHelperPath() {
    static std::filesystem::path path;
    return path;
}

LdError vettingError(const char* key, const std::vector<std::string>& arguments) {
    return LdError::errorWithTitle(
            LdStrings::localizedString("_STORE_CHECK_ERROR_TITLE", kVettingTable),
            LdStrings::localizedFormat(key, arguments, kVettingTable));
}

std::string systemMessage(int code) {
    return std::system_category().message(code);
}

// A file descriptor closed on destruction.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return descriptor_; }
    bool isOpen() const { return descriptor_ >= 0; }
    void reset(int descriptor = -1) {
        if (descriptor_ >= 0) {
            close(descriptor_);
        }
        descriptor_ = descriptor;
    }

private:
    int descriptor_ = -1;
};

// Both ends of one pipe, not inherited by the helper except through the spawn's file actions.
struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;

    bool open() {
        std::array<int, 2> ends{-1, -1};
        if (pipe2(ends.data(), O_CLOEXEC) != 0) {
            return false;
        }
        readEnd.reset(ends[0]);
        writeEnd.reset(ends[1]);
        return true;
    }
};

// Blocks SIGPIPE on this thread while the password is written, so that a helper which exits
// without reading it cannot end the calling process; a SIGPIPE raised meanwhile is taken back.
class SigPipeBlock {
public:
    SigPipeBlock() {
        sigemptyset(&sigPipe_);
        sigaddset(&sigPipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &sigPipe_, &previous_) == 0;
    }
    ~SigPipeBlock() {
        if (!blocked_) {
            return;
        }
        if (!wasPending_) {
            const timespec noWait{0, 0};
            while (sigtimedwait(&sigPipe_, nullptr, &noWait) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigPipeBlock(const SigPipeBlock&) = delete;
    SigPipeBlock& operator=(const SigPipeBlock&) = delete;

private:
    sigset_t sigPipe_{};
    sigset_t previous_{};
    bool wasPending_ = false;
    bool blocked_ = false;
};

struct HelperOutcome {
    bool started = false;
    int startError = 0;  // errno of a failed start
    bool timedOut = false;
    int waitStatus = 0;
    std::string errorOutput;
};

// A descriptor that becomes readable when the child exits; closed (-1) where the system lacks it.
int openProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Reads what is there; false at the end of the stream or on an error.
bool drainInto(int descriptor, std::string* collected) {
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t count = read(descriptor, buffer.data(), buffer.size());
        if (count > 0) {
            if (collected != nullptr && collected->size() < kMaxOutputBytes) {
                collected->append(buffer.data(), static_cast<std::size_t>(count));
            }
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void waitForChild(pid_t pid, int* status) {
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

HelperOutcome runHelper(const std::filesystem::path& helper,
                        const std::filesystem::path& storeURL,
                        const std::string& password) {
    HelperOutcome outcome;
    Pipe input;
    Pipe output;
    Pipe errors;
    if (!input.open() || !output.open() || !errors.open()) {
        outcome.startError = errno;
        return outcome;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.readEnd.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors.writeEnd.get(), STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors the caller left inheritable stay with the caller.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    // The helper starts with no blocked signals and default handling of the ones that end it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXCPU);
    sigaddset(&defaults, SIGSEGV);
    sigaddset(&defaults, SIGBUS);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));

    std::string helperArgument = helper.string();
    std::string pathArgument = storeURL.string();
    std::array<char*, 3> arguments{helperArgument.data(), pathArgument.data(), nullptr};
    pid_t pid = -1;
    const int spawnResult =
            posix_spawn(&pid, helper.c_str(), &actions, &attributes, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawnResult != 0) {
        outcome.startError = spawnResult;
        return outcome;
    }
    outcome.started = true;
    input.readEnd.reset();
    output.writeEnd.reset();
    errors.writeEnd.reset();
    for (const int descriptor :
         {input.writeEnd.get(), output.readEnd.get(), errors.readEnd.get()}) {
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    }
    FileDescriptor process(openProcessDescriptor(pid));

    SigPipeBlock sigPipeBlock;
    std::size_t written = 0;
    if (password.empty()) {
        input.writeEnd.reset();
    }
    std::string ignoredOutput;
    const auto deadline = std::chrono::steady_clock::now() + kWallTimeLimit;
    bool exited = false;
    // Until the helper has exited (or, without a process descriptor, closed its output).
    while (!exited && (process.isOpen() || output.readEnd.isOpen() || errors.readEnd.isOpen())) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            kill(pid, SIGKILL);
            outcome.timedOut = true;
            break;
        }
        std::array<pollfd, 4> watched{};
        watched[0] = {input.writeEnd.get(), POLLOUT, 0};
        watched[1] = {output.readEnd.get(), POLLIN, 0};
        watched[2] = {errors.readEnd.get(), POLLIN, 0};
        watched[3] = {process.get(), POLLIN, 0};
        const int ready = poll(watched.data(), watched.size(), static_cast<int>(remaining.count()));
        if (ready < 0 && errno != EINTR) {
            kill(pid, SIGKILL);
            break;
        }
        if (ready <= 0) {
            continue;
        }
        if (watched[0].revents != 0) {
            const ssize_t count = write(input.writeEnd.get(), password.data() + written,
                                        password.size() - written);
            if (count > 0) {
                written += static_cast<std::size_t>(count);
            }
            if (written == password.size() || (count < 0 && errno != EAGAIN && errno != EINTR)) {
                input.writeEnd.reset();
            }
        }
        if (watched[1].revents != 0 && !drainInto(output.readEnd.get(), &ignoredOutput)) {
            output.readEnd.reset();
        }
        if (watched[2].revents != 0 && !drainInto(errors.readEnd.get(), &outcome.errorOutput)) {
            errors.readEnd.reset();
        }
        exited = watched[3].revents != 0;
    }
    // Whatever the helper wrote before it ended is still in the pipes.
    if (errors.readEnd.isOpen()) {
        drainInto(errors.readEnd.get(), &outcome.errorOutput);
    }
    waitForChild(pid, &outcome.waitStatus);
    return outcome;
}

// The first line of the helper's error output.
std::string reasonFromOutput(const std::string& errorOutput) {
    std::string reason = errorOutput.substr(0, errorOutput.find('\n'));
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == ' ')) {
        reason.pop_back();
    }
    return reason;
}

// What an encrypted file shows without its key, besides having no plain header: whole pages.
bool hasEncryptedShape(std::uintmax_t size) {
    return size > 0 && size % kPageSize == 0;
}

}  // namespace

bool LdCStoreFileVetter::vetStoreFileAtURL(const std::filesystem::path& storeURL,
                                           const std::optional<std::string>& password,
                                           LdError* error) {
    if (storeURL.empty()) {
        return false;  // missing argument: no error
    }
    std::error_code sizeError;
    const std::uintmax_t size = std::filesystem::file_size(storeURL, sizeError);
    std::ifstream file(storeURL, std::ios::binary);
    if (sizeError || !file) {
        const std::string message = sizeError ? sizeError.message() : systemMessage(errno);
        return failWith(error,
                        vettingError("_STORE_CHECK_FILE_UNREADABLE", {storeURL.string(), message}));
    }
    std::string header(16, '\0');
    file.read(header.data(), static_cast<std::streamsize>(header.size()));
    header.resize(static_cast<std::size_t>(file.gcount()));
    file.close();

    const bool plain = header == std::string(kPlainHeader, 16);
    const std::string key = password.value_or("");
    if (key.empty() && !plain) {
        // Without the key only the outer shape can be checked.
        if (!hasEncryptedShape(size)) {
            return failWith(error, vettingError("_STORE_CHECK_NOT_A_STORE_FILE", {}));
        }
        return true;
    }

    const std::filesystem::path helper = helperProgramPath();
    const HelperOutcome outcome = runHelper(helper, storeURL, key);
    if (!outcome.started) {
        return failWith(error, vettingError("_STORE_CHECK_NOT_STARTED",
                                            {helper.string(), systemMessage(outcome.startError)}));
    }
    if (outcome.timedOut) {
        return failWith(error, vettingError("_STORE_CHECK_TIMED_OUT",
                                            {std::to_string(kWallTimeLimit.count())}));
    }
    if (WIFSIGNALED(outcome.waitStatus)) {
        return failWith(error, vettingError("_STORE_CHECK_CRASHED",
                                            {std::to_string(WTERMSIG(outcome.waitStatus))}));
    }
    if (!WIFEXITED(outcome.waitStatus) || WEXITSTATUS(outcome.waitStatus) != 0) {
        std::string reason = reasonFromOutput(outcome.errorOutput);
        if (reason.empty()) {
            reason = LdStrings::localizedFormat(
                    "_STORE_CHECK_EXIT_STATUS",
                    {std::to_string(WIFEXITED(outcome.waitStatus) ? WEXITSTATUS(outcome.waitStatus)
                                                                  : -1)},
                    kVettingTable);
        }
        return failWith(error, vettingError("_STORE_CHECK_REFUSED", {reason}));
    }
    return true;
}

std::filesystem::path LdCStoreFileVetter::helperProgramPath() {
    {
        std::lock_guard lock(helperPathMutex());
        if (!configuredHelperPath().empty()) {
            return configuredHelperPath();
        }
    }
    if (const char* fromEnvironment = std::getenv(kHelperEnvironmentVariable);
        fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    std::error_code ignored;
    const std::filesystem::path executable =
            std::filesystem::read_symlink("/proc/self/exe", ignored);
    if (!executable.empty()) {
        const std::filesystem::path beside = executable.parent_path() / kHelperName;
        if (access(beside.c_str(), X_OK) == 0) {
            return beside;
        }
    }
#ifdef LD_STORE_CHECK_BUILD_PATH
    return LD_STORE_CHECK_BUILD_PATH;
#else
    return kHelperName;
#endif
}

void LdCStoreFileVetter::setHelperProgramPath(std::filesystem::path path) {
    std::lock_guard lock(helperPathMutex());
    configuredHelperPath() = std::move(path);
}
