// LdOperation, one unit of work on a serial operation queue, with its progress and cancellation.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// The progress and state of one operation. Made by LdOperationQueue::addOperation and shared
// between the queue, its worker thread (the work reports progress and checks cancellation) and the
// caller (shows the progress, cancels). All accessors are thread-safe.
class LdOperation {
public:
    LdOperation() = default;
    LdOperation(const LdOperation&) = delete;
    LdOperation& operator=(const LdOperation&) = delete;

    // cancel — asks the operation to stop. A queued operation then never runs its work; a running
    // one keeps running until its work looks at isCancelled(). Cannot be undone.
    void cancel() { cancelled_.store(true); }
    bool isCancelled() const { return cancelled_.load(); }
    // Whether the work is running now / has finished (or was skipped because it was cancelled
    // first).
    bool isExecuting() const { return executing_.load(); }
    bool isFinished() const { return finished_.load(); }

    // The progress: units of work in all and done so far, and a text for the user.
    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t count);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);
    // Adds to the completed units (the work's usual "one more done").
    void addCompletedUnitCount(std::int64_t count);
    std::string localizedDescription() const;
    void setLocalizedDescription(std::string description);
    // The completed share of the total, 0…1; 0 while the total is not positive.
    double fractionCompleted() const;

private:
    friend class LdOperationQueue;
    void setExecuting(bool executing) { executing_.store(executing); }
    void setFinished() { finished_.store(true); }

    std::atomic<bool> cancelled_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;  // guards the progress, so that it reads consistently
    std::int64_t totalUnitCount_ = 0;
    std::int64_t completedUnitCount_ = 0;
    std::string localizedDescription_;
};
