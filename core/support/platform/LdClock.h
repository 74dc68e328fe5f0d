// The clock every part of the library reads: the current moment and the system time zone's offset. Tests set
// a manual clock, so nothing in the library or its tests waits on real time.
#pragma once

#include <mutex>

#include "core/support/foundation/LdDate.h"

class LdClock {
public:
    virtual ~LdClock() = default;

    // The current moment.
    virtual LdDate now() const = 0;
    // secondsFromGMTForDate: of the system time zone — its offset from GMT at the given moment, in seconds
    // (positive east of Greenwich).
    virtual int secondsFromGMTForDate(LdDate date) const = 0;
    // Blocks the calling thread for `seconds` of this clock's time (the password throttle). A
    // manual clock moves itself forward instead of waiting.
    virtual void waitSeconds(double seconds) = 0;

    // The clock of this process: the system clock unless a test installed another.
    static LdClock& shared();
    // Installs a clock for the process (tests); nullptr restores the system clock. The caller keeps the
    // clock alive while it is installed.
    static void setShared(LdClock* clock);
};

// Wall-clock time and the offset from localtime_r's tm_gmtoff.
class LdSystemClock final : public LdClock {
public:
    LdDate now() const override;
    int secondsFromGMTForDate(LdDate date) const override;
    void waitSeconds(double seconds) override;
};

// A clock that stands still until told to move. Thread-safe.
class LdManualClock final : public LdClock {
public:
    explicit LdManualClock(LdDate start = LdDate::fromReferenceSeconds(0.0), int secondsFromGMT = 0);

    LdDate now() const override;
    int secondsFromGMTForDate(LdDate date) const override;
    // Advances the clock by `seconds` and counts the wait (waitedSeconds) without blocking.
    void waitSeconds(double seconds) override;
    // The seconds that waitSeconds was asked to wait in all.
    double waitedSeconds() const;

    void setNow(LdDate date);
    void advance(double seconds);
    void setSecondsFromGMT(int seconds);

private:
    mutable std::mutex mutex_;
    LdDate now_;
    int secondsFromGMT_;
    double waited_ = 0;
};

// Installs a clock as the shared one for the lifetime of this object (tests).
class LdScopedClock {
public:
    explicit LdScopedClock(LdClock& clock) { LdClock::setShared(&clock); }
    ~LdScopedClock() { LdClock::setShared(nullptr); }
    LdScopedClock(const LdScopedClock&) = delete;
    LdScopedClock& operator=(const LdScopedClock&) = delete;
};
