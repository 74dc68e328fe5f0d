// The serial operation queue: a deque of operations under one mutex and a worker thread that takes
// them in order.
//
// Life of one operation:
//   queued -> running -> finished, completion posted     [runWorker]
//   queued -> skipped (cancelled first), completion posted [runWorker]
//   queued or running -> dropped, no completion            [~LdOperationQueue]
#include "core/support/queues/LdOperationQueue.h"

#include <cassert>
#include <utility>

#include <pthread.h>

#include "core/support/queues/LdMainQueue.h"

namespace {

// Linux limits thread names to 15 bytes plus the terminator.
constexpr std::size_t kMaximumThreadNameLength = 15;

void nameCurrentThread(const std::string& name) {
#if defined(__linux__)
    const std::string shortName = name.substr(0, kMaximumThreadNameLength);
    pthread_setname_np(pthread_self(), shortName.c_str());
#else
    (void)name;
#endif
}

}  // namespace

LdOperationQueue::LdOperationQueue(std::string name)
    : LdOperationQueue(std::move(name), LdMainQueue::main()) {}

LdOperationQueue::LdOperationQueue(std::string name, LdMainQueue& completionQueue)
    : name_(std::move(name)), completionQueue_(completionQueue) {}

LdOperationQueue::~LdOperationQueue() {
    std::thread worker;
    {
        std::lock_guard lock(mutex_);
        assert(std::this_thread::get_id() != workerId_ &&
               "operation queue destroyed by its own work");
        shuttingDown_ = true;
        for (Entry& entry : pending_) {
            entry.operation->cancel();
        }
        if (running_ != nullptr) {
            running_->cancel();
        }
        worker = std::move(worker_);
    }
    workAvailable_.notify_all();
    if (worker.joinable()) {
        worker.join();
    }
}

std::shared_ptr<LdOperation> LdOperationQueue::addOperation(Work work, Completion completion) {
    if (!work) {
        return nullptr;
    }
    auto operation = std::make_shared<LdOperation>();
    {
        std::lock_guard lock(mutex_);
        assert(!shuttingDown_ && "operation added to a queue being destroyed");
        pending_.push_back(Entry{operation, std::move(work), std::move(completion)});
        ++unfinishedCount_;
        if (!worker_.joinable()) {
            worker_ = std::thread([this] { runWorker(); });
            workerId_ = worker_.get_id();
        }
    }
    workAvailable_.notify_one();
    return operation;
}

void LdOperationQueue::cancelAllOperations() {
    std::lock_guard lock(mutex_);
    for (Entry& entry : pending_) {
        entry.operation->cancel();
    }
    if (running_ != nullptr) {
        running_->cancel();
    }
}

void LdOperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(mutex_);
    assert(std::this_thread::get_id() != workerId_ && "waiting on the queue's own worker");
    allFinished_.wait(lock, [this] { return unfinishedCount_ == 0; });
}

std::size_t LdOperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return unfinishedCount_;
}

void LdOperationQueue::runWorker() {
    nameCurrentThread(name_);
    std::unique_lock lock(mutex_);
    for (;;) {
        workAvailable_.wait(lock, [this] { return !pending_.empty() || shuttingDown_; });
        if (shuttingDown_) {
            // Queued operations were cancelled by the destructor; they finish without running or
            // posting.
            for (Entry& entry : pending_) {
                entry.operation->setFinished();
            }
            unfinishedCount_ -= pending_.size();
            pending_.clear();
            allFinished_.notify_all();
            return;
        }
        Entry entry = std::move(pending_.front());
        pending_.pop_front();
        running_ = entry.operation;
        lock.unlock();

        LdOperationResult result;
        // An operation cancelled while queued is skipped, but its completion still reports it.
        if (!entry.operation->isCancelled()) {
            entry.operation->setExecuting(true);
            LdError error;
            result.succeeded = entry.work(*entry.operation, &error);
            if (!result.succeeded) {
                result.error = std::move(error);
            }
            entry.operation->setExecuting(false);
        }
        result.cancelled = entry.operation->isCancelled();
        entry.work = nullptr;  // release what the work captured here, on the worker

        lock.lock();
        running_.reset();
        // Posted under the lock, so the destructor either sees the completion posted or drops it;
        // posting before the count goes down lets waitUntilAllOperationsAreFinished() promise the
        // completion.
        if (!shuttingDown_ && entry.completion) {
            completionQueue_.post([completion = std::move(entry.completion),
                                   result = std::move(result)] { completion(result); });
        }
        entry.operation->setFinished();
        --unfinishedCount_;
        if (unfinishedCount_ == 0) {
            allFinished_.notify_all();
        }
    }
}
