// The timer handle: cancels its timer in the queue's timer table when invalidated or destroyed.
#include "core/support/queues/LdTimer.h"

#include <utility>

#include "core/support/queues/detail/LdTimerTable.h"

LdTimer::LdTimer(std::weak_ptr<ld::detail::TimerTable> table, std::uint64_t id)
    : table_(std::move(table)), id_(id) {}

LdTimer::~LdTimer() {
    invalidate();
}

LdTimer::LdTimer(LdTimer&& other) noexcept
    : table_(std::move(other.table_)), id_(std::exchange(other.id_, 0)) {}

LdTimer& LdTimer::operator=(LdTimer&& other) noexcept {
    if (this != &other) {
        invalidate();
        table_ = std::move(other.table_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void LdTimer::invalidate() {
    if (id_ == 0) {
        return;
    }
    if (const auto table = table_.lock()) {
        table->remove(id_);
    }
    table_.reset();
    id_ = 0;
}

bool LdTimer::isValid() const {
    if (id_ == 0) {
        return false;
    }
    const auto table = table_.lock();
    return table != nullptr && table->contains(id_);
}
