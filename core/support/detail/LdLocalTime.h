// Broken-down local wall-clock time of a date, for time stamps in logs and error descriptions.
#pragma once

#include <cmath>
#include <ctime>

#include "core/support/foundation/LdDate.h"
#include "core/support/platform/LdClock.h"

namespace ld::detail {

struct LocalTime {
    int year = 2001;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecondsTenths = 0;  // fraction of the second in 1/10,000
};

// The local time of `date` by the shared clock's time-zone offset; dates outside the years 1…9999 read as the
// reference date.
inline LocalTime localTime(LdDate date) {
    LocalTime result;
    const double shifted = date.unixSeconds() + LdClock::shared().secondsFromGMTForDate(date);
    if (!(shifted > -62135596800.0 && shifted < 253402300800.0)) {
        return result;
    }
    const double whole = std::floor(shifted);
    const auto seconds = static_cast<std::time_t>(whole);
    std::tm parts{};
    if (gmtime_r(&seconds, &parts) == nullptr) {
        return result;
    }
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    result.millisecondsTenths = static_cast<int>(std::floor((shifted - whole) * 10000.0));
    if (result.millisecondsTenths > 9999) {
        result.millisecondsTenths = 9999;
    }
    return result;
}

}  // namespace ld::detail
