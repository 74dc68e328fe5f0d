// The system clock, the manual clock of tests, and the process-wide choice between them.
#include "core/support/platform/LdClock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

namespace {
std::atomic<LdClock*> installedClock{nullptr};
}  // namespace

LdClock& LdClock::shared() {
    static LdSystemClock systemClock;
    LdClock* clock = installedClock.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : systemClock;
}

void LdClock::setShared(LdClock* clock) {
    installedClock.store(clock, std::memory_order_release);
}

LdDate LdSystemClock::now() const {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return LdDate::fromUnixSeconds(std::chrono::duration<double>(sinceEpoch).count());
}

int LdSystemClock::secondsFromGMTForDate(LdDate date) const {
    const double unixSeconds = std::floor(date.unixSeconds());
    if (!(unixSeconds > -1e15 && unixSeconds < 1e15)) {
        return 0;
    }
    const auto time = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        return 0;
    }
    return static_cast<int>(local.tm_gmtoff);
}

void LdSystemClock::waitSeconds(double seconds) {
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

LdManualClock::LdManualClock(LdDate start, int secondsFromGMT)
    : now_(start), secondsFromGMT_(secondsFromGMT) {}

LdDate LdManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

int LdManualClock::secondsFromGMTForDate(LdDate /*date*/) const {
    std::lock_guard lock(mutex_);
    return secondsFromGMT_;
}

void LdManualClock::waitSeconds(double seconds) {
    std::lock_guard lock(mutex_);
    if (seconds > 0) {
        now_ = now_.dateByAddingTimeInterval(seconds);
        waited_ += seconds;
    }
}

double LdManualClock::waitedSeconds() const {
    std::lock_guard lock(mutex_);
    return waited_;
}

void LdManualClock::setNow(LdDate date) {
    std::lock_guard lock(mutex_);
    now_ = date;
}

void LdManualClock::advance(double seconds) {
    std::lock_guard lock(mutex_);
    now_ = now_.dateByAddingTimeInterval(seconds);
}

void LdManualClock::setSecondsFromGMT(int seconds) {
    std::lock_guard lock(mutex_);
    secondsFromGMT_ = seconds;
}
