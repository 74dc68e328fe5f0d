// LdTimer, the handle of a timer scheduled on a main queue.
#pragma once

#include <cstdint>
#include <memory>

namespace ld::detail {
class TimerTable;
}

// Owns one scheduled timer of an LdMainQueue (see LdMainQueue::scheduleTimer): destroying the
// handle or calling invalidate() cancels the timer. Movable, not copyable; moving a handle moves
// the ownership. A handle may outlive its queue (it then does nothing). One handle is used from one
// thread at a time; different handles of one queue may be used from any threads.
class LdTimer {
public:
    // An empty handle that owns no timer.
    LdTimer() = default;
    ~LdTimer();
    LdTimer(LdTimer&& other) noexcept;
    // Cancels the timer this handle owned before taking over the other one.
    LdTimer& operator=(LdTimer&& other) noexcept;
    LdTimer(const LdTimer&) = delete;
    LdTimer& operator=(const LdTimer&) = delete;

    // invalidate — the timer never fires again. A timer may invalidate itself or others from its
    // callback; a callback that is already running finishes.
    void invalidate();
    // isValid — the timer is scheduled: not invalidated, its queue alive, and (one-shot) not yet
    // fired. A one-shot timer is no longer valid while its callback runs.
    bool isValid() const;

private:
    friend class LdMainQueue;
    LdTimer(std::weak_ptr<ld::detail::TimerTable> table, std::uint64_t id);

    std::weak_ptr<ld::detail::TimerTable> table_;
    std::uint64_t id_ = 0;
};
