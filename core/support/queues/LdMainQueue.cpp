// The main queue: an asio io_context for posted work, and a timer table whose earliest due time
// arms one asio steady timer (the loop's wake-up).
//
// Every handler the loop runs is one of:
//   posted work        [post]           counted, runs in FIFO order
//   timer callback     [fireDueTimers]  counted, taken from the timer table while due at the
//   clock's time wake-up            [armWakeup]      internal: fires due timers, then waits for the
//   next earliest one
// The counted ones make the return values of the run functions; runUntilIdle() stops when a whole
// pass counted nothing, so internal wake-ups never keep it busy.
#include "core/support/queues/LdMainQueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <utility>

#include <asio.hpp>

#include "core/support/platform/LdClock.h"
#include "core/support/queues/detail/LdTimerTable.h"

namespace {

// Reads the shared clock at every call, so that the main queue follows a clock a test installs
// later.
class LdSharedClockReader final : public LdClock {
public:
    LdDate now() const override { return LdClock::shared().now(); }
    int secondsFromGMTForDate(LdDate date) const override {
        return LdClock::shared().secondsFromGMTForDate(date);
    }
    void waitSeconds(double seconds) override { LdClock::shared().waitSeconds(seconds); }
};

}  // namespace

struct LdMainQueue::Impl {
    explicit Impl(LdClock& queueClock)
        : clock(queueClock),
          workGuard(asio::make_work_guard(ioContext)),
          wakeup(ioContext),
          loopThread(std::this_thread::get_id()) {}

    // Arms the wake-up for the earliest timer: waits until its due time by the clock (at most
    // kMaximumWaitSeconds, then looks again), or not at all when there is no timer. Loop thread
    // only.
    void armWakeup() {
        const std::optional<LdDate> due = timers->armEarliest();
        if (!due.has_value()) {
            wakeup.cancel();
            return;
        }
        double wait = due->timeIntervalSinceDate(clock.now());
        if (!(wait > 0.0)) {
            wait = 0.0;
        } else if (wait > kMaximumWaitSeconds) {
            wait = kMaximumWaitSeconds;
        }
        wakeup.expires_after(
                std::chrono::ceil<std::chrono::microseconds>(std::chrono::duration<double>(wait)));
        wakeup.async_wait([this](const std::error_code& code) {
            if (code == asio::error::operation_aborted) {
                return;  // re-armed or cancelled meanwhile
            }
            fireDueTimers();
            armWakeup();
        });
    }

    // Runs the callback of every timer due at the clock's current time, earliest first. The time is
    // read once, so a repeating timer fires at most once per call. Loop thread only.
    std::size_t fireDueTimers() {
        const LdDate now = clock.now();
        std::size_t fired = 0;
        while (const auto callback = timers->takeDue(now)) {
            handlersRun.fetch_add(1, std::memory_order_relaxed);
            ++fired;
            (*callback)();
            taskEnded();
        }
        return fired;
    }

    // Calls the task-end observers; one may cancel itself or others meanwhile.
    void taskEnded() {
        if (taskEndObservers.empty()) {
            return;
        }
        const auto observers = taskEndObservers;
        for (const auto& [id, observer] : observers) {
            if (taskEndObservers.count(id) > 0) {
                (*observer)();
            }
        }
    }

    // Makes the calling thread the loop thread and prepares the io_context to run; false when a
    // stop() was pending, which this consumes.
    bool beginRunning() {
        loopThread.store(std::this_thread::get_id());
        if (stopRequested.exchange(false)) {
            return false;
        }
        ioContext.restart();
        // A stop() between the first look and restart() would be lost in the io_context: look
        // again.
        return !stopRequested.exchange(false);
    }

    // After a run function returned: a stop that ended it is used up.
    void endRunning() {
        if (ioContext.stopped()) {
            stopRequested.store(false);
        }
    }

    std::size_t handlersRunSince(std::size_t before) const {
        return handlersRun.load(std::memory_order_relaxed) - before;
    }

    LdClock& clock;
    std::shared_ptr<ld::detail::TimerTable> timers = std::make_shared<ld::detail::TimerTable>();
    // Fixed order: the io_context outlives the work guard and the wake-up timer, which both refer
    // to it.
    asio::io_context ioContext{1};  // one thread runs it; posting from others stays safe
    asio::executor_work_guard<asio::io_context::executor_type> workGuard;  // run() waits when idle
    asio::steady_timer wakeup;
    std::atomic<std::thread::id> loopThread;
    std::atomic<bool> stopRequested{false};
    std::atomic<std::size_t> handlersRun{0};
    // Loop thread only.
    std::map<std::uint64_t, std::shared_ptr<std::function<void()>>> taskEndObservers;
    std::uint64_t nextObserverID = 0;
    // Held weakly by subscriptions, so that one outliving the queue cancels harmlessly.
    std::shared_ptr<bool> lifetime = std::make_shared<bool>(true);
};

LdMainQueue::LdMainQueue(LdClock& clock) : impl_(std::make_unique<Impl>(clock)) {}

LdMainQueue::~LdMainQueue() = default;

LdMainQueue& LdMainQueue::main() {
    static LdSharedClockReader sharedClock;
    static LdMainQueue queue(sharedClock);
    return queue;
}

void LdMainQueue::post(std::function<void()> work) {
    if (!work) {
        return;
    }
    asio::post(impl_->ioContext, [impl = impl_.get(), work = std::move(work)] {
        impl->handlersRun.fetch_add(1, std::memory_order_relaxed);
        work();
        impl->taskEnded();
    });
}

LdSubscription LdMainQueue::addTaskEndObserver(std::function<void()> observer) {
    if (!observer) {
        return {};
    }
    const std::uint64_t id = ++impl_->nextObserverID;
    impl_->taskEndObservers.emplace(id,
                                    std::make_shared<std::function<void()>>(std::move(observer)));
    std::weak_ptr<bool> alive = impl_->lifetime;
    return LdSubscription([impl = impl_.get(), alive, id] {
        if (alive.lock()) {
            impl->taskEndObservers.erase(id);
        }
    });
}

LdTimer LdMainQueue::scheduleTimer(double seconds, std::function<void()> callback, bool repeats) {
    if (!callback) {
        return {};
    }
    const double delay = seconds > 0.0 ? seconds : 0.0;  // also catches NaN
    const double interval =
            repeats ? std::max(delay, ld::detail::TimerTable::kMinimumRepeatInterval) : 0.0;
    const LdDate due = impl_->clock.now().dateByAddingTimeInterval(delay);
    bool needsWakeup = false;
    const std::uint64_t id = impl_->timers->add(due, interval, std::move(callback), &needsWakeup);
    if (needsWakeup) {
        // The wake-up timer belongs to the loop thread; let the loop re-arm it.
        asio::post(impl_->ioContext, [impl = impl_.get()] { impl->armWakeup(); });
    }
    return LdTimer(impl_->timers, id);
}

void LdMainQueue::run() {
    if (!impl_->beginRunning()) {
        return;
    }
    impl_->ioContext.run();
    impl_->endRunning();
}

std::size_t LdMainQueue::runOnce() {
    if (!impl_->beginRunning()) {
        return 0;
    }
    const std::size_t before = impl_->handlersRun.load(std::memory_order_relaxed);
    // A wake-up may run without any timer being due; keep going until something counted ran.
    while (impl_->handlersRunSince(before) == 0) {
        if (impl_->ioContext.run_one() == 0) {
            break;  // stopped
        }
    }
    impl_->endRunning();
    return impl_->handlersRunSince(before);
}

std::size_t LdMainQueue::runFor(double seconds) {
    if (!impl_->beginRunning()) {
        return 0;
    }
    const std::size_t before = impl_->handlersRun.load(std::memory_order_relaxed);
    if (seconds > 0.0) {
        impl_->ioContext.run_for(std::chrono::ceil<std::chrono::microseconds>(
                std::chrono::duration<double>(seconds)));
    } else {
        impl_->ioContext.poll();  // run_for with no time left would run nothing
    }
    impl_->endRunning();
    return impl_->handlersRunSince(before);
}

std::size_t LdMainQueue::runUntilIdle() {
    impl_->loopThread.store(std::this_thread::get_id());
    const std::size_t before = impl_->handlersRun.load(std::memory_order_relaxed);
    for (;;) {
        const std::size_t passStart = impl_->handlersRun.load(std::memory_order_relaxed);
        // A pending stop() is left for the next run(): this function never waits, so it need not
        // end.
        if (impl_->ioContext.stopped()) {
            impl_->ioContext.restart();
        }
        impl_->ioContext.poll();
        impl_->fireDueTimers();
        if (impl_->handlersRunSince(passStart) == 0) {
            break;
        }
    }
    // Timers fired here bypassed the wake-up; point it at the earliest one that is left.
    impl_->armWakeup();
    return impl_->handlersRunSince(before);
}

void LdMainQueue::stop() {
    impl_->stopRequested.store(true);
    impl_->ioContext.stop();
}

bool LdMainQueue::isMainThread() const {
    return impl_->loopThread.load() == std::this_thread::get_id();
}

LdClock& LdMainQueue::clock() const {
    return impl_->clock;
}

asio::io_context& LdMainQueue::ioContext() {
    return impl_->ioContext;
}
