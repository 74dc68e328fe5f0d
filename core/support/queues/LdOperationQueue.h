// LdOperationQueue, a named serial queue that runs operations one at a time on its own worker
// thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/support/LdError.h"
#include "core/support/queues/LdOperation.h"

class LdMainQueue;

// What an operation's completion learns: whether it was cancelled (before or while it ran), whether
// the work ran and succeeded, and the error the work reported when it failed.
struct LdOperationResult {
    bool cancelled = false;
    bool succeeded = false;  // false when the work failed or never ran
    LdError error;           // filled only when the work failed and said why
};

// A serial operation queue ("BudgetUpdateQueue", "DatabaseArchiveExportQueue", ...): runs its
// operations one at a time, in the order they were added, on one worker thread of its own (started
// with the first operation, joined on destruction). Each operation's completion is posted to the
// completion queue (the main queue unless another is given), in the same order. Owned by the object
// whose work it runs; every member function is thread-safe.
//
// A work function that produces a value hands it to its completion through an object both capture,
// e.g. a std::shared_ptr<Result>: the completion runs after the work has returned.
class LdOperationQueue {
public:
    // The work of one operation, run on the worker thread: reports progress on and watches
    // cancellation of `operation`; returns true on success, or false and (when it can say why)
    // fills `error`.
    using Work = std::function<bool(LdOperation& operation, LdError* error)>;
    // Runs on the completion queue once the operation has finished or was skipped.
    using Completion = std::function<void(const LdOperationResult& result)>;

    // A queue named `name` (also the worker thread's name, cut to 15 bytes) that posts completions
    // to `completionQueue`, which outlives this queue.
    explicit LdOperationQueue(std::string name);
    LdOperationQueue(std::string name, LdMainQueue& completionQueue);
    // Cancels every operation, waits until the running one returns and joins the worker.
    // Completions not yet posted are dropped, as they usually refer to the owner that is going
    // away; an owner that wants them calls cancelAllOperations() and
    // waitUntilAllOperationsAreFinished() first. Must not run on the worker thread.
    ~LdOperationQueue();
    LdOperationQueue(const LdOperationQueue&) = delete;
    LdOperationQueue& operator=(const LdOperationQueue&) = delete;

    // Queues `work` behind the operations added before; `completion` may be
    // empty. Returns the operation, for progress and cancel(). An empty work is a missing argument:
    // nullptr.
    std::shared_ptr<LdOperation> addOperation(Work work, Completion completion = {});

    // cancelAllOperations — cancels the queued operations and the running one. Their completions
    // still arrive, marked cancelled.
    void cancelAllOperations();
    // waitUntilAllOperationsAreFinished — blocks until every operation added so far has finished
    // and its completion has been posted. Must not run on the worker thread.
    void waitUntilAllOperationsAreFinished();
    // operationCount — the operations queued or running.
    std::size_t operationCount() const;

    const std::string& name() const { return name_; }

private:
    struct Entry {
        std::shared_ptr<LdOperation> operation;
        Work work;
        Completion completion;
    };

    void runWorker();

    const std::string name_;
    LdMainQueue& completionQueue_;  // outlives this queue

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable workAvailable_;
    std::condition_variable allFinished_;
    std::deque<Entry> pending_;
    std::shared_ptr<LdOperation> running_;
    std::size_t unfinishedCount_ = 0;  // queued and running
    bool shuttingDown_ = false;
    std::thread worker_;
    std::thread::id workerId_;
};
