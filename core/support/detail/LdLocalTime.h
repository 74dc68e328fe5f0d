// Broken-down wall-clock time of a date, for time stamps in logs, error descriptions and machine
// output.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/support/foundation/LdCivilDate.h"
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

// The time of `date` shifted by `secondsFromGMT`; dates outside the years 1…9999 read as the
// reference date.
inline LocalTime timeWithOffset(LdDate date, int secondsFromGMT) {
    LocalTime result;
    const double shifted = date.timeIntervalSinceReferenceDate() + secondsFromGMT;
    // 0001-01-01 and 10000-01-01 in seconds from the reference date.
    if (!(shifted >= -63113904000.0 && shifted < 252423993600.0)) {
        return result;
    }
    const double whole = std::floor(shifted);
    const auto seconds = static_cast<std::int64_t>(whole);
    const std::int64_t days = LdCivilDate::floorDiv(seconds, 86400);
    const auto secondOfDay = static_cast<int>(seconds - days * 86400);
    const LdCivilDate civil =
            LdCivilDate::civilFromDays(days + LdCivilDate::kReferenceDayFromUnixEpoch);
    result.year = static_cast<int>(civil.year);
    result.month = civil.month;
    result.day = civil.day;
    result.hour = secondOfDay / 3600;
    result.minute = secondOfDay / 60 % 60;
    result.second = secondOfDay % 60;
    result.millisecondsTenths =
            std::min(9999, static_cast<int>(std::floor((shifted - whole) * 10000.0)));
    return result;
}

// The local time of `date` by the shared clock's time-zone offset.
inline LocalTime localTime(LdDate date) {
    return timeWithOffset(date, LdClock::shared().secondsFromGMTForDate(date));
}

}  // namespace ld::detail
