// LdMainQueue, the main queue: the one event loop of the application, on which the session, its
// managers and every completion run.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "core/support/platform/LdSubscription.h"
#include "core/support/queues/LdTimer.h"

class LdClock;

namespace asio {
class io_context;
}

// An event loop that the host application drives from its main thread: posted work and timers run
// there, one handler at a time. Inside is an asio io_context (exposed for network work that joins
// the loop).
//
// Timers read the queue's LdClock. With the system clock the loop sleeps until the earliest due
// time; with a manual clock nothing waits on real time: tests advance the clock and call
// runUntilIdle().
//
// post, scheduleTimer, stop and isMainThread may be called from any thread; the run functions from
// one thread at a time, which then is the main thread.
class LdMainQueue {
public:
    // The longest the loop sleeps before it reads the clock again, so that a change of the wall
    // clock delays a timer by at most this much.
    static constexpr double kMaximumWaitSeconds = 10.0;

    // A queue of its own (tests, tools) reading `clock`; the clock outlives the queue. The creating
    // thread is the main thread until a run function is called.
    explicit LdMainQueue(LdClock& clock);
    // Pending work is dropped without running; timer handles of this queue then do nothing.
    ~LdMainQueue();
    LdMainQueue(const LdMainQueue&) = delete;
    LdMainQueue& operator=(const LdMainQueue&) = delete;

    // The application's main queue, made on first use. It reads the shared clock
    // (LdClock::shared()) at every look, so a clock installed by a test applies. Call it first on
    // the main thread, or run it.
    static LdMainQueue& main();

    // Runs `work` on the loop, after the work posted before it (FIFO).
    void post(std::function<void()> work);

    // Schedules a timer: `callback` runs on the loop once the clock reaches
    // now + `seconds` (never before; zero or less means the next turn of the loop), then, for a
    // repeating timer, every `seconds` after its previous due time. A repeating timer that missed
    // several intervals (the clock jumped) fires once and continues with its first due time after
    // the clock's time. Intervals of a repeating timer shorter than 0.1 ms are raised to 0.1 ms.
    // The returned handle owns the timer: dropping it cancels the timer.
    [[nodiscard]] LdTimer scheduleTimer(double seconds,
                                        std::function<void()> callback,
                                        bool repeats);

    // Drives the loop until stop(); sleeps while nothing is due.
    void run();
    // Drives the loop until at least one posted function or timer callback has run, waiting for it;
    // returns early on stop(). Returns the number of functions and callbacks run.
    std::size_t runOnce();
    // Drives the loop for `seconds` of real time or until stop(); returns the number of functions
    // and callbacks run. Zero seconds runs what is ready without waiting.
    std::size_t runFor(double seconds);
    // Runs posted work and every timer due at the clock's current time, again and again, until
    // nothing is runnable; never waits. Returns the number of functions and callbacks run (tests,
    // and hosts that drive the loop from their own event loop).
    std::size_t runUntilIdle();
    // Makes the running run(), runOnce() or runFor() return after its current handler; when none is
    // running, the next one returns at once.
    void stop();

    // addTaskEndObserver: — `observer` runs on the loop after every posted function and timer
    // callback (a task), in registration order; this is where object contexts announce the
    // changes a task made and close its undo group. Registered as long as the subscription lives.
    // Loop thread only.
    [[nodiscard]] LdSubscription addTaskEndObserver(std::function<void()> observer);

    // Whether the calling thread runs this loop (before any run: created it).
    bool isMainThread() const;

    // The clock the timers read.
    LdClock& clock() const;
    // The asio io_context inside, for sockets and other asio objects whose handlers must run on
    // this loop.
    asio::io_context& ioContext();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
