// The pending timers of one main queue, ordered by due date. Only the queue and its timer handles
// use it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "core/support/foundation/LdDate.h"

namespace ld::detail {

// Shared between an LdMainQueue (the owner) and the LdTimer handles, which keep only a weak
// reference so that a handle may outlive its queue. Thread-safe: handles invalidate from any thread
// while the loop fires timers.
class TimerTable {
public:
    using Callback = std::function<void()>;

    // The shortest interval of a repeating timer; shorter ones (and zero) are raised to it, so that
    // a repeating timer can never keep the loop busy at one clock time.
    static constexpr double kMinimumRepeatInterval = 0.0001;

    // Adds a timer due at `due`; a positive `repeatInterval` makes it repeat. Returns its id (never
    // 0) and sets `needsWakeup` when the new timer is due before the moment the loop's wait was
    // last armed for.
    std::uint64_t add(LdDate due, double repeatInterval, Callback callback, bool* needsWakeup);
    // Removes a timer; an unknown id (fired one-shot, removed before) is ignored.
    void remove(std::uint64_t id);
    bool contains(std::uint64_t id) const;
    std::size_t count() const;

    // Takes the earliest timer due at `now` (due <= now). A one-shot timer leaves the table; a
    // repeating one re-arms at its due date plus the interval, and when the clock jumped past
    // several intervals it fires once and re-arms at the first due date of its schedule after `now`
    // (the schedule keeps its phase). Nothing when no timer is due. The callback stays alive while
    // the caller holds it, even if the timer is invalidated meanwhile.
    std::shared_ptr<const Callback> takeDue(LdDate now);

    // The earliest due date, remembered as the moment the loop's wait is now armed for.
    std::optional<LdDate> armEarliest();

    // The date a repeating timer due at `due` re-arms at when fired at `now`.
    static LdDate nextDueDate(LdDate due, double interval, LdDate now);

private:
    struct Entry {
        LdDate due;
        double interval = 0.0;  // 0 for a one-shot timer
        std::shared_ptr<const Callback> callback;
        std::multimap<LdDate, std::uint64_t>::iterator position;
    };

    mutable std::mutex mutex_;
    std::uint64_t nextId_ = 1;
    // Equal due dates keep the order of scheduling (multimap inserts at the end of an equal range).
    std::multimap<LdDate, std::uint64_t> byDue_;
    std::unordered_map<std::uint64_t, Entry> entries_;
    std::optional<LdDate>
            armedDue_;  // what the loop's wait is armed for, or will be by a posted re-arm
};

}  // namespace ld::detail
