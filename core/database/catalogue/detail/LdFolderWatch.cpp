// The inotify watch of a folder, its descriptor waited on by the main queue's asio loop.
//
//   idle --(descriptor readable)--> drain events [onReadable]
//        --(any event)--> coalescing timer scheduled --(latency passed)--> onChange [fire]
//   processPendingEvents: drain events --(any event)--> timer cancelled, onChange at once
#include "core/database/catalogue/detail/LdFolderWatch.h"

#include <array>
#include <cerrno>
#include <system_error>

#include <asio/posix/stream_descriptor.hpp>
#include <sys/inotify.h>
#include <unistd.h>

#include "core/support/LdLogger.h"
#include "core/support/queues/LdMainQueue.h"

namespace ld::detail {

namespace {
constexpr std::uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                         IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
}  // namespace

// Shared with the handlers the loop holds, which find it gone (weak_ptr) after the watch ended.
struct LdFolderWatch::State : std::enable_shared_from_this<LdFolderWatch::State> {
    State(std::filesystem::path watchedFolder,
          LdMainQueue& mainQueue,
          std::function<void()> callback,
          double latency)
        : folder(std::move(watchedFolder)),
          queue(mainQueue),
          onChange(std::move(callback)),
          latencySeconds(latency),
          descriptor(mainQueue.ioContext()) {}

    // Reads all waiting events; returns whether there was any. Never blocks (the descriptor is
    // non-blocking).
    bool drain() {
        if (!descriptor.is_open()) {
            return false;
        }
        bool any = false;
        alignas(inotify_event) std::array<char, 4096> buffer{};
        for (;;) {
            const ssize_t length = ::read(descriptor.native_handle(), buffer.data(), buffer.size());
            if (length <= 0) {
                if (length < 0 && errno == EINTR) {
                    continue;
                }
                break;  // EAGAIN: nothing more waiting
            }
            // Every event of the watched folder counts (entries and the folder itself); the
            // kernel's queue overflow counts too, as something was missed.
            any = true;
        }
        return any;
    }

    void waitForEvents() {
        std::weak_ptr<State> weak = weak_from_this();
        descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                              [weak](const std::error_code& code) {
                                  if (code == asio::error::operation_aborted) {
                                      return;
                                  }
                                  if (const std::shared_ptr<State> state = weak.lock()) {
                                      state->onReadable(code);
                                  }
                              });
    }

    void onReadable(const std::error_code& code) {
        if (code) {
            LdLogger::shared().logError("Folder watch of " + folder.string() +
                                        " stopped: " + code.message());
            return;
        }
        if (drain() && !timer.isValid()) {
            std::weak_ptr<State> weak = weak_from_this();
            timer = queue.scheduleTimer(
                    latencySeconds,
                    [weak] {
                        if (const std::shared_ptr<State> state = weak.lock()) {
                            state->fire();
                        }
                    },
                    /*repeats=*/false);
        }
        waitForEvents();
    }

    void fire() {
        // Keeps the state alive if the owner destroys the watch from inside onChange.
        const std::shared_ptr<State> keepAlive = shared_from_this();
        if (onChange) {
            onChange();
        }
    }

    std::filesystem::path folder;
    LdMainQueue& queue;
    std::function<void()> onChange;
    double latencySeconds;
    asio::posix::stream_descriptor descriptor;
    LdTimer timer;
    bool watching = false;
};

LdFolderWatch::LdFolderWatch(std::filesystem::path folder,
                             LdMainQueue& queue,
                             std::function<void()> onChange,
                             double latencySeconds)
    : state_(std::make_shared<State>(
              std::move(folder), queue, std::move(onChange), latencySeconds)) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        LdLogger::shared().logError("inotify is not available: " +
                                    std::error_code(errno, std::generic_category()).message());
        return;
    }
    if (::inotify_add_watch(fd, state_->folder.c_str(), kWatchedEvents) < 0) {
        LdLogger::shared().logError("Cannot watch " + state_->folder.string() + ": " +
                                    std::error_code(errno, std::generic_category()).message());
        ::close(fd);
        return;
    }
    std::error_code assignError;
    state_->descriptor.assign(fd, assignError);
    if (assignError) {
        ::close(fd);
        return;
    }
    state_->watching = true;
    state_->waitForEvents();
}

LdFolderWatch::~LdFolderWatch() {
    state_->onChange = nullptr;
    state_->timer.invalidate();
    std::error_code ignored;
    state_->descriptor.close(ignored);  // the pending wait ends as aborted
}

bool LdFolderWatch::isWatching() const {
    return state_->watching;
}

const std::filesystem::path& LdFolderWatch::folder() const {
    return state_->folder;
}

bool LdFolderWatch::processPendingEvents() {
    if (!state_->drain()) {
        return false;
    }
    state_->timer.invalidate();
    state_->fire();
    return true;
}

}  // namespace ld::detail
