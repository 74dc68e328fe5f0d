// LdFolderWatch: tells its owner on the main queue when entries appear in, vanish from or are
// renamed in one folder (inotify).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

class LdMainQueue;

namespace ld::detail {

// Watches the entries of one folder (not its subfolders) and the folder itself. The kernel's
// events are read on the main queue when its loop finds the watch descriptor readable; a burst
// of events is coalesced into one call of `onChange`, `latencySeconds` (by the queue's clock)
// after the first. processPendingEvents() reads what is waiting at once instead, so tests see
// the effect of their own file operations without running the loop or waiting.
//
// Owned by one object on the main thread; `onChange` is never called after the watch is
// destroyed. The queue outlives the watch.
class LdFolderWatch {
public:
    LdFolderWatch(std::filesystem::path folder,
                  LdMainQueue& queue,
                  std::function<void()> onChange,
                  double latencySeconds = 0.1);
    ~LdFolderWatch();
    LdFolderWatch(const LdFolderWatch&) = delete;
    LdFolderWatch& operator=(const LdFolderWatch&) = delete;

    // Whether the kernel accepted the watch (false when the folder is missing or inotify is not
    // available; the owner then sees changes only when it reloads by itself).
    bool isWatching() const;
    const std::filesystem::path& folder() const;

    // Reads every event waiting now, without waiting for more. When one concerned the folder,
    // cancels a pending coalesced call and calls `onChange` before returning; returns whether it
    // did.
    bool processPendingEvents();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace ld::detail
