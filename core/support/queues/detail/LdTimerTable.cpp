// The due-date ordered timer table of the main queue.
#include "core/support/queues/detail/LdTimerTable.h"

#include <cmath>

namespace ld::detail {

std::uint64_t TimerTable::add(LdDate due,
                              double repeatInterval,
                              Callback callback,
                              bool* needsWakeup) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextId_++;
    Entry entry;
    entry.due = due;
    entry.interval = repeatInterval > 0.0 ? std::fmax(repeatInterval, kMinimumRepeatInterval) : 0.0;
    entry.callback = std::make_shared<const Callback>(std::move(callback));
    entry.position = byDue_.emplace(due, id);
    entries_.emplace(id, std::move(entry));

    const bool earlier = !armedDue_.has_value() || due < *armedDue_;
    if (earlier) {
        // The caller posts a re-arm; later timers need none until that one has run.
        armedDue_ = due;
    }
    if (needsWakeup != nullptr) {
        *needsWakeup = earlier;
    }
    return id;
}

void TimerTable::remove(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(id);
    if (found == entries_.end()) {
        return;
    }
    byDue_.erase(found->second.position);
    entries_.erase(found);
}

bool TimerTable::contains(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    return entries_.count(id) != 0;
}

std::size_t TimerTable::count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::shared_ptr<const TimerTable::Callback> TimerTable::takeDue(LdDate now) {
    std::lock_guard lock(mutex_);
    if (byDue_.empty() || now < byDue_.begin()->first) {
        return nullptr;
    }
    const std::uint64_t id = byDue_.begin()->second;
    byDue_.erase(byDue_.begin());
    const auto found = entries_.find(id);
    Entry& entry = found->second;
    std::shared_ptr<const Callback> callback = entry.callback;
    if (entry.interval > 0.0) {
        entry.due = nextDueDate(entry.due, entry.interval, now);
        entry.position = byDue_.emplace(entry.due, id);
    } else {
        entries_.erase(found);
    }
    return callback;
}

std::optional<LdDate> TimerTable::armEarliest() {
    std::lock_guard lock(mutex_);
    if (byDue_.empty()) {
        armedDue_.reset();
    } else {
        armedDue_ = byDue_.begin()->first;
    }
    return armedDue_;
}

LdDate TimerTable::nextDueDate(LdDate due, double interval, LdDate now) {
    LdDate next = due.dateByAddingTimeInterval(interval);
    if (next > now) {
        return next;
    }
    // The clock jumped past several intervals: skip the missed ones instead of firing each of them.
    const double missed = std::floor(now.timeIntervalSinceDate(due) / interval);
    next = due.dateByAddingTimeInterval((missed + 1.0) * interval);
    while (next <= now) {  // rounding of the multiplication
        next = next.dateByAddingTimeInterval(interval);
    }
    return next;
}

}  // namespace ld::detail
