// Proleptic Gregorian calendar dates and their day numbers: the one implementation the calendar,
// the property-list dates and the time stamps of logs build on.
#pragma once

#include <cstdint>

struct LdCivilDate {
    std::int64_t year = 2001;
    int month = 1;  // 1 ... 12
    int day = 1;    // 1 ... 31

    // Days from 1970-01-01 to 2001-01-01, the reference date of LdDate.
    static constexpr std::int64_t kReferenceDayFromUnixEpoch = 11323;

    static constexpr std::int64_t floorDiv(std::int64_t value, std::int64_t divisor) {
        const std::int64_t quotient = value / divisor;
        return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
    }

    static constexpr std::int64_t floorMod(std::int64_t value, std::int64_t divisor) {
        return value - floorDiv(value, divisor) * divisor;
    }

    static constexpr bool isLeapYear(std::int64_t year) {
        return floorMod(year, 4) == 0 && (floorMod(year, 100) != 0 || floorMod(year, 400) == 0);
    }

    static constexpr int daysInMonth(std::int64_t year, int month) {
        constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        return month == 2 && isLeapYear(year) ? 29 : kDays[(month - 1) % 12];
    }

    // days_from_civil (H. Hinnant): days since 1970-01-01 of a date. Eras of 400 years (146,097
    // days) repeat exactly; within an era the year starts on 1 March so the leap day comes last.
    // `month` is 1-12, `day` any value (it counts on from day 1 of the month).
    static constexpr std::int64_t daysFromCivil(std::int64_t year, int month, std::int64_t day) {
        const std::int64_t marchYear = month <= 2 ? year - 1 : year;
        const std::int64_t era = floorDiv(marchYear, 400);
        const std::int64_t yearOfEra = marchYear - era * 400;                     // 0 ... 399
        const std::int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;    // 0 ... 11
        const std::int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;  // 0 ... 365
        const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
        return era * 146097 + dayOfEra - 719468;
    }

    // civil_from_days (H. Hinnant): the inverse of daysFromCivil.
    static constexpr LdCivilDate civilFromDays(std::int64_t daysSinceUnixEpoch) {
        const std::int64_t shifted = daysSinceUnixEpoch + 719468;
        const std::int64_t era = floorDiv(shifted, 146097);
        const std::int64_t dayOfEra = shifted - era * 146097;  // 0 ... 146096
        const std::int64_t yearOfEra =
                (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
        const std::int64_t dayOfYear =
                dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
        const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;  // 0 ... 11
        const std::int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
        const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
        return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), static_cast<int>(month),
                static_cast<int>(day)};
    }
};

static_assert(LdCivilDate::daysFromCivil(2001, 1, 1) == LdCivilDate::kReferenceDayFromUnixEpoch);
static_assert(LdCivilDate::daysFromCivil(1970, 1, 1) == 0);
static_assert(LdCivilDate::civilFromDays(LdCivilDate::daysFromCivil(2024, 2, 29)).day == 29);
static_assert(LdCivilDate::civilFromDays(LdCivilDate::daysFromCivil(-1, 3, 1) - 1).day == 28);
