// Progress and state of one queued operation.
#include "core/support/queues/LdOperation.h"

#include <utility>

std::int64_t LdOperation::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return totalUnitCount_;
}

void LdOperation::setTotalUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    totalUnitCount_ = count;
}

std::int64_t LdOperation::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completedUnitCount_;
}

void LdOperation::setCompletedUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    completedUnitCount_ = count;
}

void LdOperation::addCompletedUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    completedUnitCount_ += count;
}

std::string LdOperation::localizedDescription() const {
    std::lock_guard lock(mutex_);
    return localizedDescription_;
}

void LdOperation::setLocalizedDescription(std::string description) {
    std::lock_guard lock(mutex_);
    localizedDescription_ = std::move(description);
}

double LdOperation::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    if (totalUnitCount_ <= 0 || completedUnitCount_ <= 0) {
        return 0.0;
    }
    if (completedUnitCount_ >= totalUnitCount_) {
        return 1.0;
    }
    return static_cast<double>(completedUnitCount_) / static_cast<double>(totalUnitCount_);
}
