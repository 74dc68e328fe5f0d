// The text form of dates.
#include "core/support/foundation/LdDate.h"

#include <cmath>
#include <cstdio>

#include "core/support/foundation/LdCivilDate.h"

std::optional<std::string> LdDate::iso8601String() const {
    // 0001-01-01T00:00:00Z and 10000-01-01T00:00:00Z in seconds from the reference date.
    constexpr double kFirst = -63113904000.0;
    constexpr double kEnd = 252423993600.0;
    const double seconds = std::floor(seconds_);
    if (!(seconds >= kFirst && seconds < kEnd)) {
        return std::nullopt;
    }
    const auto whole = static_cast<std::int64_t>(seconds);
    const std::int64_t days = LdCivilDate::floorDiv(whole, 86400);
    const std::int64_t secondOfDay = whole - days * 86400;
    const LdCivilDate civil =
            LdCivilDate::civilFromDays(days + LdCivilDate::kReferenceDayFromUnixEpoch);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ",
                  static_cast<int>(civil.year), civil.month, civil.day,
                  static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                  static_cast<int>(secondOfDay % 60));
    return std::string(buffer);
}
