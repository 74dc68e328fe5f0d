// Tests of the serial operation queues: order and seriality, completions on the main queue,
// progress, cancellation before and while running, and destruction with work queued.
#include "core/support/queues/LdOperationQueue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/support/platform/LdClock.h"
#include "core/support/queues/LdMainQueue.h"

namespace {

// A one-way gate: wait() blocks until open() was called.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

}  // namespace

class LdOperationQueueTest : public ::testing::Test {
protected:
    // A completion that records its result in `results_`.
    LdOperationQueue::Completion recordResult() {
        return [this](const LdOperationResult& result) {
            results_.push_back(result);
        };
    }

    LdManualClock clock_;
    LdMainQueue mainQueue_{clock_};
    std::vector<LdOperationResult> results_;  // main queue only
    // Last member: destroyed first, while the main queue still exists.
    LdOperationQueue queue_{"TestQueue", mainQueue_};
};

TEST_F(LdOperationQueueTest, OperationsRunOneAtATimeInOrderOnOneWorkerThread) {
    std::vector<int> order;  // written by the worker only
    std::vector<std::thread::id> threads;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int index = 0; index < 20; ++index) {
        queue_.addOperation([&, index](LdOperation&, LdError*) {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(index);
            threads.push_back(std::this_thread::get_id());
            running.fetch_sub(1);
            return true;
        });
    }
    queue_.waitUntilAllOperationsAreFinished();

    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 20u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_NE(threads.front(), std::this_thread::get_id());
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 20);
    EXPECT_EQ(queue_.operationCount(), 0u);
}

TEST_F(LdOperationQueueTest, CompletionsArriveInOrderOnTheMainQueueWithTheWorksResult) {
    std::vector<bool> onMainThread;
    for (int index = 0; index < 4; ++index) {
        queue_.addOperation(
                [index](LdOperation&, LdError* error) {
                    if (index % 2 == 1) {
                        return failWith(error,
                                        LdError::errorWithTitle("_ERROR", "_ERROR_EXPORT_FAILED"));
                    }
                    return true;
                },
                [&, index](const LdOperationResult& result) {
                    onMainThread.push_back(mainQueue_.isMainThread());
                    results_.push_back(result);
                    EXPECT_EQ(results_.size(), static_cast<std::size_t>(index) + 1);
                });
    }
    queue_.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(results_.empty());  // nothing arrives until the main loop runs

    EXPECT_EQ(mainQueue_.runUntilIdle(), 4u);
    ASSERT_EQ(results_.size(), 4u);
    for (std::size_t index = 0; index < results_.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_FALSE(results_[index].cancelled);
        EXPECT_EQ(results_[index].succeeded, index % 2 == 0);
        EXPECT_EQ(results_[index].error.descriptionKey(),
                  index % 2 == 1 ? "_ERROR_EXPORT_FAILED" : "");
        EXPECT_TRUE(onMainThread[index]);
    }
}

TEST_F(LdOperationQueueTest, ProgressIsVisibleWhileTheWorkRuns) {
    Gate halfDone;
    Gate finish;
    const auto operation = queue_.addOperation([&](LdOperation& self, LdError*) {
        self.setTotalUnitCount(4);
        self.setLocalizedDescription("Exporting archive");
        self.addCompletedUnitCount(2);
        halfDone.open();
        finish.wait();
        self.addCompletedUnitCount(2);
        return true;
    });
    ASSERT_NE(operation, nullptr);

    halfDone.wait();
    EXPECT_TRUE(operation->isExecuting());
    EXPECT_FALSE(operation->isFinished());
    EXPECT_EQ(operation->totalUnitCount(), 4);
    EXPECT_EQ(operation->completedUnitCount(), 2);
    EXPECT_DOUBLE_EQ(operation->fractionCompleted(), 0.5);
    EXPECT_EQ(operation->localizedDescription(), "Exporting archive");

    finish.open();
    queue_.waitUntilAllOperationsAreFinished();
    EXPECT_DOUBLE_EQ(operation->fractionCompleted(), 1.0);
    EXPECT_FALSE(operation->isExecuting());
    EXPECT_TRUE(operation->isFinished());
}

TEST_F(LdOperationQueueTest, FractionCompletedStaysBetweenZeroAndOne) {
    LdOperation operation;
    EXPECT_EQ(operation.fractionCompleted(), 0.0);  // no total yet
    operation.setCompletedUnitCount(3);
    EXPECT_EQ(operation.fractionCompleted(), 0.0);
    operation.setTotalUnitCount(10);
    EXPECT_DOUBLE_EQ(operation.fractionCompleted(), 0.3);
    operation.setCompletedUnitCount(12);
    EXPECT_EQ(operation.fractionCompleted(), 1.0);
    operation.setCompletedUnitCount(-1);
    EXPECT_EQ(operation.fractionCompleted(), 0.0);
}

TEST_F(LdOperationQueueTest, OperationCancelledWhileQueuedNeverRunsButStillCompletes) {
    Gate release;
    bool secondRan = false;
    queue_.addOperation(
            [&](LdOperation&, LdError*) {
                release.wait();
                return true;
            },
            recordResult());
    const auto second = queue_.addOperation(
            [&](LdOperation&, LdError*) {
                secondRan = true;
                return true;
            },
            recordResult());
    second->cancel();
    EXPECT_EQ(queue_.operationCount(), 2u);

    release.open();
    queue_.waitUntilAllOperationsAreFinished();
    mainQueue_.runUntilIdle();

    EXPECT_FALSE(secondRan);
    EXPECT_TRUE(second->isFinished());
    ASSERT_EQ(results_.size(), 2u);
    EXPECT_FALSE(results_[0].cancelled);
    EXPECT_TRUE(results_[0].succeeded);
    EXPECT_TRUE(results_[1].cancelled);
    EXPECT_FALSE(results_[1].succeeded);
}

TEST_F(LdOperationQueueTest, CancelledRunningOperationRunsUntilItsWorkNotices) {
    Gate started;
    Gate proceed;
    bool sawCancel = false;
    const auto operation = queue_.addOperation(
            [&](LdOperation& self, LdError*) {
                started.open();
                proceed.wait();
                sawCancel = self.isCancelled();
                return true;
            },
            recordResult());
    started.wait();
    operation->cancel();
    EXPECT_TRUE(operation->isExecuting());

    proceed.open();
    queue_.waitUntilAllOperationsAreFinished();
    mainQueue_.runUntilIdle();
    EXPECT_TRUE(sawCancel);
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_TRUE(results_[0].cancelled);
    EXPECT_TRUE(results_[0].succeeded);  // the work chose to finish
}

TEST_F(LdOperationQueueTest, CancelAllOperationsCancelsTheRunningAndTheQueuedOnes) {
    Gate started;
    Gate proceed;
    std::atomic<int> queuedRan{0};
    const auto running = queue_.addOperation(
            [&](LdOperation& self, LdError*) {
                started.open();
                proceed.wait();
                return !self.isCancelled();
            },
            recordResult());
    for (int index = 0; index < 2; ++index) {
        queue_.addOperation(
                [&](LdOperation&, LdError*) {
                    ++queuedRan;
                    return true;
                },
                recordResult());
    }
    started.wait();
    queue_.cancelAllOperations();
    proceed.open();
    queue_.waitUntilAllOperationsAreFinished();
    mainQueue_.runUntilIdle();

    EXPECT_EQ(queuedRan, 0);
    ASSERT_EQ(results_.size(), 3u);
    for (const LdOperationResult& result : results_) {
        EXPECT_TRUE(result.cancelled);
        EXPECT_FALSE(result.succeeded);
    }
    // Later operations run normally.
    queue_.addOperation([](LdOperation&, LdError*) { return true; }, recordResult());
    queue_.waitUntilAllOperationsAreFinished();
    mainQueue_.runUntilIdle();
    ASSERT_EQ(results_.size(), 4u);
    EXPECT_FALSE(results_[3].cancelled);
}

TEST_F(LdOperationQueueTest, DestroyingTheQueueCancelsItsWorkAndJoinsTheWorker) {
    auto queue = std::make_unique<LdOperationQueue>("DatabaseArchiveExportQueue", mainQueue_);
    Gate started;
    std::atomic<bool> queuedRan{false};
    const auto running = queue->addOperation(
            [&](LdOperation& self, LdError*) {
                started.open();
                while (!self.isCancelled()) {
                    std::this_thread::yield();  // a long export that looks at cancellation now and
                                                // then
                }
                return false;
            },
            recordResult());
    const auto queued = queue->addOperation(
            [&](LdOperation&, LdError*) {
                queuedRan = true;
                return true;
            },
            recordResult());
    started.wait();

    queue.reset();  // returns only after the worker was joined

    EXPECT_TRUE(running->isCancelled());
    EXPECT_TRUE(running->isFinished());
    EXPECT_FALSE(running->isExecuting());
    EXPECT_TRUE(queued->isCancelled());
    EXPECT_TRUE(queued->isFinished());
    EXPECT_FALSE(queuedRan);
    EXPECT_EQ(mainQueue_.runUntilIdle(), 0u);  // completions of a destroyed queue are dropped
    EXPECT_TRUE(results_.empty());
}

TEST_F(LdOperationQueueTest, WorkCanAddOperationsToItsOwnQueue) {
    std::vector<int> order;
    queue_.addOperation([&](LdOperation&, LdError*) {
        order.push_back(1);
        queue_.addOperation([&](LdOperation&, LdError*) {
            order.push_back(2);
            return true;
        });
        return true;
    });
    queue_.waitUntilAllOperationsAreFinished();  // includes the operation added by the first
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(LdOperationQueueTest, NameCountAndMissingWork) {
    EXPECT_EQ(queue_.name(), "TestQueue");
    EXPECT_EQ(queue_.addOperation(nullptr), nullptr);
    EXPECT_EQ(queue_.operationCount(), 0u);
    queue_.waitUntilAllOperationsAreFinished();  // nothing added: returns at once

    Gate release;
    queue_.addOperation([&](LdOperation&, LdError*) {
        release.wait();
        return true;
    });
    queue_.addOperation([](LdOperation&, LdError*) { return true; });
    EXPECT_EQ(queue_.operationCount(), 2u);
    release.open();
    queue_.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue_.operationCount(), 0u);
}

TEST_F(LdOperationQueueTest, CompletionsGoToTheSharedMainQueueByDefault) {
    LdMainQueue::main().runUntilIdle();  // whatever earlier tests left behind
    bool completed = false;
    {
        LdOperationQueue queue("BudgetUpdateQueue");
        queue.addOperation([](LdOperation&, LdError*) { return true; },
                           [&](const LdOperationResult& result) { completed = result.succeeded; });
        queue.waitUntilAllOperationsAreFinished();
    }
    EXPECT_EQ(LdMainQueue::main().runUntilIdle(), 1u);
    EXPECT_TRUE(completed);
}
