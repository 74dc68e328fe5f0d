// Tests of the main queue: order of posted work, posts from other threads, stopping, the main
// thread, and timers driven by a manual clock.
#include "core/support/queues/LdMainQueue.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/support/platform/LdClock.h"

class LdMainQueueTest : public ::testing::Test {
protected:
    static constexpr double kStart = 1000.0;

    void setTime(double secondsAfterStart) {
        clock_.setNow(LdDate::fromReferenceSeconds(kStart + secondsAfterStart));
    }

    LdManualClock clock_{LdDate::fromReferenceSeconds(kStart)};
    LdMainQueue queue_{clock_};
};

// --- Posted work ---

TEST_F(LdMainQueueTest, PostedWorkRunsInOrderOnlyWhenTheLoopRuns) {
    std::vector<int> order;
    for (int index = 0; index < 5; ++index) {
        queue_.post([&order, index] { order.push_back(index); });
    }
    EXPECT_TRUE(order.empty());

    EXPECT_EQ(queue_.runUntilIdle(), 5u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(queue_.runUntilIdle(), 0u);
}

TEST_F(LdMainQueueTest, WorkPostedByWorkRunsAfterWhatWasQueuedBefore) {
    std::vector<char> order;
    queue_.post([&] {
        order.push_back('a');
        queue_.post([&] { order.push_back('c'); });
    });
    queue_.post([&] { order.push_back('b'); });

    EXPECT_EQ(queue_.runUntilIdle(), 3u);
    EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'c'}));
}

TEST_F(LdMainQueueTest, PostsFromOtherThreadsAllRunInEachThreadsOrder) {
    constexpr std::size_t kThreads = 4;
    constexpr std::size_t kPostsPerThread = 250;
    std::vector<std::vector<std::size_t>> seen(kThreads);
    std::vector<std::thread> posters;
    posters.reserve(kThreads);
    for (std::size_t thread = 0; thread < kThreads; ++thread) {
        posters.emplace_back([&, thread] {
            for (std::size_t index = 0; index < kPostsPerThread; ++index) {
                queue_.post([&seen, thread, index] { seen[thread].push_back(index); });
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }

    EXPECT_EQ(queue_.runUntilIdle(), kThreads * kPostsPerThread);
    for (const std::vector<std::size_t>& fromOneThread : seen) {
        ASSERT_EQ(fromOneThread.size(), kPostsPerThread);
        EXPECT_TRUE(std::is_sorted(fromOneThread.begin(), fromOneThread.end()));
    }
}

TEST_F(LdMainQueueTest, RunReturnsAfterStopPostedBehindWorkFromAnotherThread) {
    int count = 0;
    std::thread poster([&] {
        for (int index = 0; index < 100; ++index) {
            queue_.post([&] { ++count; });
        }
        queue_.post([&] { queue_.stop(); });
    });
    queue_.run();
    poster.join();
    EXPECT_EQ(count, 100);
}

TEST_F(LdMainQueueTest, StopBeforeRunMakesTheNextRunReturnAtOnce) {
    bool ran = false;
    queue_.post([&] { ran = true; });
    queue_.stop();
    queue_.run();  // would block for ever if the stop were lost
    EXPECT_FALSE(ran);
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    EXPECT_TRUE(ran);
}

TEST_F(LdMainQueueTest, RunOnceWaitsForWorkPostedFromAnotherThread) {
    bool ran = false;
    std::thread poster([&] { queue_.post([&] { ran = true; }); });
    EXPECT_EQ(queue_.runOnce(), 1u);
    poster.join();
    EXPECT_TRUE(ran);
}

TEST_F(LdMainQueueTest, RunForZeroSecondsRunsReadyWorkWithoutWaiting) {
    queue_.post([] {});
    queue_.post([] {});
    EXPECT_EQ(queue_.runFor(0.0), 2u);
    EXPECT_EQ(queue_.runFor(0.0), 0u);
}

TEST_F(LdMainQueueTest, MainThreadIsTheCreatorUntilAnotherThreadRunsTheLoop) {
    EXPECT_TRUE(queue_.isMainThread());
    bool mainOnOtherThread = true;
    std::thread([&] { mainOnOtherThread = queue_.isMainThread(); }).join();
    EXPECT_FALSE(mainOnOtherThread);

    bool mainInsideWork = false;
    queue_.post([&] { mainInsideWork = queue_.isMainThread(); });
    std::thread([&] { queue_.runUntilIdle(); }).join();
    EXPECT_TRUE(mainInsideWork);
    EXPECT_FALSE(queue_.isMainThread());
}

// --- Timers ---

TEST_F(LdMainQueueTest, OneShotTimerFiresOnceAtItsDueTimeAndNeverBefore) {
    int fired = 0;
    LdTimer timer = queue_.scheduleTimer(
            5.0, [&] { ++fired; }, /*repeats=*/false);
    EXPECT_TRUE(timer.isValid());
    EXPECT_EQ(queue_.runUntilIdle(), 0u);

    setTime(4.999);
    EXPECT_EQ(queue_.runUntilIdle(), 0u);
    EXPECT_EQ(fired, 0);

    setTime(5.0);
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer.isValid());

    setTime(100.0);
    EXPECT_EQ(queue_.runUntilIdle(), 0u);
    EXPECT_EQ(fired, 1);
}

TEST_F(LdMainQueueTest, DueTimersFireEarliestFirstAndEqualOnesInSchedulingOrder) {
    std::vector<int> order;
    LdTimer third = queue_.scheduleTimer(
            3.0, [&] { order.push_back(3); }, false);
    LdTimer first = queue_.scheduleTimer(
            1.0, [&] { order.push_back(1); }, false);
    LdTimer secondA = queue_.scheduleTimer(
            2.0, [&] { order.push_back(20); }, false);
    LdTimer secondB = queue_.scheduleTimer(
            2.0, [&] { order.push_back(21); }, false);

    setTime(10.0);
    EXPECT_EQ(queue_.runUntilIdle(), 4u);
    EXPECT_EQ(order, (std::vector<int>{1, 20, 21, 3}));
}

TEST_F(LdMainQueueTest, ZeroDelayTimerFiresOnTheNextTurnWithoutTheClockMoving) {
    int fired = 0;
    LdTimer timer = queue_.scheduleTimer(
            0.0, [&] { ++fired; }, false);
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    EXPECT_EQ(fired, 1);
}

TEST_F(LdMainQueueTest, RepeatingTimerFiresOncePerInterval) {
    int fired = 0;
    LdTimer timer = queue_.scheduleTimer(
            2.0, [&] { ++fired; }, /*repeats=*/true);

    setTime(1.999);
    EXPECT_EQ(queue_.runUntilIdle(), 0u);
    setTime(2.0);
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    setTime(3.0);
    EXPECT_EQ(queue_.runUntilIdle(), 0u);
    setTime(4.0);
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    EXPECT_EQ(fired, 2);
    EXPECT_TRUE(timer.isValid());
}

TEST_F(LdMainQueueTest, RepeatingTimerAfterAClockJumpFiresOnceAndKeepsItsSchedule) {
    int fired = 0;
    LdTimer timer = queue_.scheduleTimer(
            2.0, [&] { ++fired; }, /*repeats=*/true);

    setTime(9.0);  // due times 2, 4, 6 and 8 have passed
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    setTime(9.999);
    EXPECT_EQ(queue_.runUntilIdle(), 0u);
    setTime(10.0);  // the schedule keeps its phase: 10, not 9 + 2
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    EXPECT_EQ(fired, 2);
}

TEST_F(LdMainQueueTest, RepeatingTimerInvalidatedFromItsOwnCallbackStops) {
    int fired = 0;
    LdTimer timer;
    timer = queue_.scheduleTimer(
            1.0,
            [&] {
                if (++fired == 3) {
                    timer.invalidate();
                }
            },
            /*repeats=*/true);

    for (int second = 1; second <= 6; ++second) {
        setTime(second);
        queue_.runUntilIdle();
    }
    EXPECT_EQ(fired, 3);
    EXPECT_FALSE(timer.isValid());
}

TEST_F(LdMainQueueTest, TimerInvalidatedByAnEarlierCallbackNeverFires) {
    std::vector<int> order;
    LdTimer sameTime;
    LdTimer later;
    LdTimer first = queue_.scheduleTimer(
            1.0,
            [&] {
                order.push_back(1);
                sameTime.invalidate();
                later.invalidate();
            },
            false);
    sameTime = queue_.scheduleTimer(
            1.0, [&] { order.push_back(2); }, false);
    later = queue_.scheduleTimer(
            3.0, [&] { order.push_back(3); }, true);

    setTime(5.0);  // all three are due in one pass
    EXPECT_EQ(queue_.runUntilIdle(), 1u);
    EXPECT_EQ(order, (std::vector<int>{1}));
}

TEST_F(LdMainQueueTest, DroppingOrReplacingTheHandleCancelsTheTimer) {
    std::vector<char> fired;
    {
        LdTimer dropped = queue_.scheduleTimer(
                1.0, [&] { fired.push_back('d'); }, false);
    }
    LdTimer replaced = queue_.scheduleTimer(
            1.0, [&] { fired.push_back('r'); }, false);
    replaced = queue_.scheduleTimer(
            1.0, [&] { fired.push_back('n'); }, false);
    LdTimer moved = queue_.scheduleTimer(
            1.0, [&] { fired.push_back('m'); }, false);
    LdTimer movedTo = std::move(moved);

    setTime(1.0);
    queue_.runUntilIdle();
    EXPECT_EQ(fired, (std::vector<char>{'n', 'm'}));
}

TEST_F(LdMainQueueTest, TimerHandleOutlivingItsQueueDoesNothing) {
    auto queue = std::make_unique<LdMainQueue>(clock_);
    LdTimer timer = queue->scheduleTimer(
            1.0, [] {}, true);
    queue.reset();
    EXPECT_FALSE(timer.isValid());
    timer.invalidate();
}

TEST_F(LdMainQueueTest, DueTimerWakesARunningLoop) {
    int fired = 0;
    LdTimer timer = queue_.scheduleTimer(
            0.0,
            [&] {
                ++fired;
                queue_.stop();
            },
            false);
    queue_.run();  // returns only through the timer's stop()
    EXPECT_EQ(fired, 1);
}

TEST_F(LdMainQueueTest, SharedMainQueueReadsTheInstalledClock) {
    LdManualClock clock(LdDate::fromReferenceSeconds(500.0));
    LdScopedClock installed(clock);
    LdMainQueue& main = LdMainQueue::main();
    main.runUntilIdle();  // whatever earlier tests left behind

    int fired = 0;
    LdTimer timer = main.scheduleTimer(
            30.0, [&] { ++fired; }, false);
    clock.advance(29.0);
    EXPECT_EQ(main.runUntilIdle(), 0u);
    clock.advance(1.0);
    EXPECT_EQ(main.runUntilIdle(), 1u);
    EXPECT_EQ(fired, 1);
}

// --- Task-end observers ---

TEST_F(LdMainQueueTest, TaskEndObserversRunAfterEveryTaskUntilCancelled) {
    std::vector<std::string> events;
    LdSubscription first = queue_.addTaskEndObserver([&] { events.push_back("end1"); });
    LdSubscription second;
    second = queue_.addTaskEndObserver([&] {
        events.push_back("end2");
        second.cancel();  // an observer may cancel itself
    });
    queue_.post([&] { events.push_back("work"); });
    LdTimer timer = queue_.scheduleTimer(
            1.0, [&] { events.push_back("timer"); }, false);
    queue_.runUntilIdle();
    setTime(1.0);
    queue_.runUntilIdle();
    EXPECT_EQ(events, (std::vector<std::string>{"work", "end1", "end2", "timer", "end1"}));

    first.cancel();
    queue_.post([&] { events.push_back("last"); });
    queue_.runUntilIdle();
    EXPECT_EQ(events.back(), "last");

    // A subscription that outlives its queue cancels harmlessly.
    auto shortLived = std::make_unique<LdMainQueue>(clock_);
    LdSubscription orphan = shortLived->addTaskEndObserver([] {});
    shortLived.reset();
    orphan.cancel();
}
