// The calendar: civil-date arithmetic on a 64-bit count of days since the reference date
// 2001-01-01.
#include "core/support/LdCoreHelper.h"

#include <algorithm>
#include <cmath>

#include "core/support/LdStrings.h"
#include "core/support/foundation/LdCivilDate.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr double kSecondsPerDayReal = 86400.0;
// The days a date may lie on: both ends lie within LdCoreHelper::kMaxSeconds.
constexpr std::int64_t kMaxDay = static_cast<std::int64_t>(LdCoreHelper::kMaxSeconds / 86400.0);
constexpr std::int64_t kMinDay = -kMaxDay;
// Larger steps pass the limits anyway; bounding them first keeps every sum far from overflow.
constexpr std::int64_t kMaxDayStep = 2 * kMaxDay;
constexpr std::int64_t kMaxMonthStep = 2 * (kMaxDay / 365 + 1) * 12;
constexpr std::int64_t kMaxYearStep = 2 * (kMaxDay / 365 + 1);
constexpr int kDefaultFirstWeekday = 2;  // Monday

using CivilDate = LdCivilDate;

constexpr std::int64_t floorDiv(std::int64_t value, std::int64_t divisor) {
    return LdCivilDate::floorDiv(value, divisor);
}

constexpr std::int64_t floorMod(std::int64_t value, std::int64_t divisor) {
    return LdCivilDate::floorMod(value, divisor);
}

int daysInMonth(std::int64_t year, int month) {
    return LdCivilDate::daysInMonth(year, month);
}

// Day counts from here on are days since 2001-01-01.
std::int64_t dayFromCivil(std::int64_t year, int month, std::int64_t day) {
    return LdCivilDate::daysFromCivil(year, month, day) - LdCivilDate::kReferenceDayFromUnixEpoch;
}

CivilDate civilFromDay(std::int64_t day) {
    return LdCivilDate::civilFromDays(day + LdCivilDate::kReferenceDayFromUnixEpoch);
}

bool isInRange(LdDate date) {
    // False for NaN too.
    return std::abs(date.timeIntervalSinceReferenceDate()) <= LdCoreHelper::kMaxSeconds;
}

// The seconds of a date for reading: NaN as the reference date, anything else clamped into range.
double clampedSeconds(LdDate date) {
    const double seconds = date.timeIntervalSinceReferenceDate();
    if (std::isnan(seconds)) {
        return 0.0;
    }
    return std::clamp(seconds, -LdCoreHelper::kMaxSeconds, LdCoreHelper::kMaxSeconds);
}

std::int64_t clampDay(std::int64_t day) {
    return std::clamp(day, kMinDay, kMaxDay);
}

std::int64_t dayOf(LdDate date) {
    return clampDay(
            static_cast<std::int64_t>(std::floor(clampedSeconds(date) / kSecondsPerDayReal)));
}

// A moment as its day and the seconds into that day, compared without rounding.
struct Moment {
    std::int64_t day = 0;
    double secondsOfDay = 0.0;

    // NOLINTNEXTLINE(modernize-use-nullptr): clang-tidy 14 misreads a defaulted <=>
    auto operator<=>(const Moment&) const = default;
};

Moment momentOf(LdDate date) {
    const double seconds = clampedSeconds(date);
    const std::int64_t day = dayOf(date);
    return {day, seconds - static_cast<double>(day * kSecondsPerDay)};
}

LdDate dateOfDay(std::int64_t day, double secondsOfDay = 0.0) {
    return LdDate::fromReferenceSeconds(static_cast<double>(clampDay(day) * kSecondsPerDay) +
                                        secondsOfDay);
}

std::int64_t addDays(std::int64_t day, std::int64_t days) {
    return clampDay(day + std::clamp(days, -kMaxDayStep, kMaxDayStep));
}

// Sets year and month `months` later; a day the target month lacks becomes its last day.
std::int64_t addMonthsClamped(std::int64_t day, std::int64_t months) {
    const CivilDate civil = civilFromDay(day);
    const std::int64_t monthIndex =
            civil.year * 12 + (civil.month - 1) + std::clamp(months, -kMaxMonthStep, kMaxMonthStep);
    const std::int64_t year = floorDiv(monthIndex, 12);
    const int month = static_cast<int>(floorMod(monthIndex, 12)) + 1;
    return clampDay(dayFromCivil(year, month, std::min(civil.day, daysInMonth(year, month))));
}

// Sets the year `years` later; 29 February becomes 28 February in a common year.
std::int64_t addYearsClamped(std::int64_t day, std::int64_t years) {
    const CivilDate civil = civilFromDay(day);
    const std::int64_t year = civil.year + std::clamp(years, -kMaxYearStep, kMaxYearStep);
    return clampDay(
            dayFromCivil(year, civil.month, std::min(civil.day, daysInMonth(year, civil.month))));
}

// Three single clamping month steps, then the starting day of month where the resulting month has
// it.
std::int64_t addQuarter(std::int64_t day, int direction) {
    const int startDayOfMonth = civilFromDay(day).day;
    std::int64_t moved = day;
    for (int step = 0; step < 3; ++step) {
        moved = addMonthsClamped(moved, direction);
    }
    const CivilDate civil = civilFromDay(moved);
    if (civil.day == startDayOfMonth) {
        return moved;
    }
    const int lastDay = daysInMonth(civil.year, civil.month);
    return clampDay(dayFromCivil(civil.year, civil.month, std::min(startDayOfMonth, lastDay)));
}

// Weekday number, 1 = Sunday ... 7 = Saturday; day 0 (1 January 2001) was a Monday.
std::int64_t weekdayOfDay(std::int64_t day) {
    return floorMod(day + 1, 7) + 1;
}

// Whole steps from `from` to `to`: the largest count (toward zero) whose step from `from`, time of
// day kept, does not pass `to`. `candidate` is the count by calendar fields alone, at most one too
// far.
template <typename Step>
std::int64_t wholeSteps(Moment from, Moment to, std::int64_t candidate, Step step) {
    const Moment reached{step(from.day, candidate), from.secondsOfDay};
    if (candidate > 0 && reached > to) {
        return candidate - 1;
    }
    if (candidate < 0 && reached < to) {
        return candidate + 1;
    }
    return candidate;
}

}  // namespace

LdCoreHelper::LdCoreHelper(LdClock& clock, LdUserDefaults& userDefaults)
    : clock_(&clock), userDefaults_(&userDefaults) {}

LdCoreHelper& LdCoreHelper::helper() {
    static LdCoreHelper shared;
    return shared;
}

LdClock& LdCoreHelper::clock() const {
    return clock_ != nullptr ? *clock_ : LdClock::shared();
}

LdUserDefaults& LdCoreHelper::userDefaults() const {
    return userDefaults_ != nullptr ? *userDefaults_ : LdUserDefaults::standard();
}

LdDate LdCoreHelper::getDateInSystemTimeZone() const {
    const LdDate now = clock().now();
    return now.dateByAddingTimeInterval(clock().secondsFromGMTForDate(now));
}

LdDate LdCoreHelper::correctDateForLocalTimeZone(LdDate date) const {
    return date.dateByAddingTimeInterval(clock().secondsFromGMTForDate(date));
}

LdDate LdCoreHelper::getFirstDayTimeOfDay(LdDate date) const {
    return isInRange(date) ? dateOfDay(dayOf(date)) : date;
}

LdDate LdCoreHelper::getFirstDayTimeOfDay(LdDate date, std::optional<int> secondsFromGMT) const {
    if (!isInRange(date)) {
        return date;
    }
    // Wall time 00:00:00 in a zone east of Greenwich is that many seconds earlier in UTC.
    return dateOfDay(dayOf(date), -static_cast<double>(secondsFromGMT.value_or(0)));
}

LdDate LdCoreHelper::getMiddayTimeOfDay(LdDate date) const {
    return isInRange(date) ? dateOfDay(dayOf(date), 12.0 * 3600.0) : date;
}

LdDate LdCoreHelper::getLastDayTimeOfDay(LdDate date) const {
    return getLastDayTimeOfDay(date, std::nullopt);
}

LdDate LdCoreHelper::getLastDayTimeOfDay(LdDate date, std::optional<int> secondsFromGMT) const {
    if (!isInRange(date)) {
        return date;
    }
    return dateOfDay(dayOf(date),
                     kSecondsPerDayReal - 1.0 - static_cast<double>(secondsFromGMT.value_or(0)));
}

LdDate LdCoreHelper::getFirstDayTimeOfNextDay(LdDate date) const {
    return isInRange(date) ? dateOfDay(addDays(dayOf(date), 1)) : date;
}

bool LdCoreHelper::isDate(LdDate date, LdDate otherDate) const {
    return dayOf(date) == dayOf(otherDate);
}

bool LdCoreHelper::date1SmallerDate2(LdDate date1, LdDate date2) const {
    return dayOf(date1) < dayOf(date2);
}

int LdCoreHelper::getYearOfDate(LdDate date) const {
    // Within the supported range a year fits an int by far.
    return static_cast<int>(civilFromDay(dayOf(date)).year);
}

int LdCoreHelper::getMonthOfDate(LdDate date) const {
    return civilFromDay(dayOf(date)).month;
}

int LdCoreHelper::getDayOfDate(LdDate date) const {
    return civilFromDay(dayOf(date)).day;
}

int LdCoreHelper::getQuarterOfDate(LdDate date) const {
    return (getMonthOfDate(date) - 1) / 3 + 1;
}

int LdCoreHelper::getWeekdayForDate(LdDate date) const {
    return static_cast<int>(weekdayOfDay(dayOf(date)) % 7);
}

std::optional<LdDate> LdCoreHelper::getDateForDay(int day, int month, int year) const {
    if (day < 1 || day > 31 || month < 1 || month > 12) {
        return std::nullopt;
    }
    // Days past the month's end count on into the next month.
    return dateOfDay(dayFromCivil(year, month, day));
}

std::int64_t LdCoreHelper::getDaysBeetweenDate1(LdDate date1, LdDate date2) const {
    const double days = (clampedSeconds(date2) - clampedSeconds(date1)) / kSecondsPerDayReal;
    return static_cast<std::int64_t>(std::trunc(days));
}

std::int64_t LdCoreHelper::getMonthsBeetweenDate1(LdDate date1, LdDate date2) const {
    const Moment from = momentOf(date1);
    const Moment to = momentOf(date2);
    const CivilDate start = civilFromDay(from.day);
    const CivilDate end = civilFromDay(to.day);
    const std::int64_t candidate = (end.year - start.year) * 12 + (end.month - start.month);
    return wholeSteps(from, to, candidate, addMonthsClamped) + 1;
}

std::int64_t LdCoreHelper::getYearsBeetweenDate1(LdDate date1, LdDate date2) const {
    const Moment from = momentOf(date1);
    const Moment to = momentOf(date2);
    const std::int64_t candidate = civilFromDay(to.day).year - civilFromDay(from.day).year;
    return wholeSteps(from, to, candidate, addYearsClamped) + 1;
}

int LdCoreHelper::firstWeekday() const {
    LdUserDefaults& defaults = userDefaults();
    if (!defaults.hasKey(LdFirstWeekdayKey)) {
        defaults.setInteger(kDefaultFirstWeekday, LdFirstWeekdayKey);
        return kDefaultFirstWeekday;
    }
    const std::int64_t weekday = defaults.integerForKey(LdFirstWeekdayKey);
    return weekday >= 1 && weekday <= 7 ? static_cast<int>(weekday) : kDefaultFirstWeekday;
}

LdDate LdCoreHelper::getFirstDayOfWeekForDate(LdDate date) const {
    if (!isInRange(date)) {
        return date;
    }
    const std::int64_t day = dayOf(date);
    return dateOfDay(addDays(day, -floorMod(weekdayOfDay(day) - firstWeekday(), 7)));
}

LdDate LdCoreHelper::getLastDayOfWeekForDate(LdDate date) const {
    if (!isInRange(date)) {
        return date;
    }
    const int first = firstWeekday();
    const int last = first == 1 ? 7 : first - 1;
    const std::int64_t day = dayOf(date);
    return dateOfDay(addDays(day, floorMod(last - weekdayOfDay(day), 7)));
}

LdDate LdCoreHelper::getDay(int day, int firstDay, LdDate date) const {
    if (!isInRange(date)) {
        return date;
    }
    const std::int64_t dateDay = dayOf(date);
    const std::int64_t weekStart =
            dateDay - floorMod(weekdayOfDay(dateDay) - std::int64_t{firstDay}, 7);
    return dateOfDay(addDays(weekStart, floorMod(std::int64_t{day} - firstDay, 7)));
}

std::optional<LdDate> LdCoreHelper::getFirstDayOfMonthForDate(std::optional<LdDate> date) const {
    if (!date) {
        return std::nullopt;
    }
    if (!isInRange(*date)) {
        return date;
    }
    const CivilDate civil = civilFromDay(dayOf(*date));
    return dateOfDay(dayFromCivil(civil.year, civil.month, 1));
}

std::optional<LdDate> LdCoreHelper::getLastDayOfMonthForDate(std::optional<LdDate> date) const {
    if (!date) {
        return std::nullopt;
    }
    if (!isInRange(*date)) {
        return date;
    }
    const CivilDate civil = civilFromDay(dayOf(*date));
    return dateOfDay(dayFromCivil(civil.year, civil.month, daysInMonth(civil.year, civil.month)));
}

LdDate LdCoreHelper::getFirstDayOfQuarterForDate(LdDate date) const {
    if (!isInRange(date)) {
        return date;
    }
    const CivilDate civil = civilFromDay(dayOf(date));
    const int firstMonth = (civil.month - 1) / 3 * 3 + 1;
    return dateOfDay(dayFromCivil(civil.year, firstMonth, 1));
}

LdDate LdCoreHelper::getLastDayOfQuarterForDate(LdDate date) const {
    if (!isInRange(date)) {
        return date;
    }
    const CivilDate civil = civilFromDay(dayOf(date));
    const int lastMonth = (civil.month - 1) / 3 * 3 + 3;
    return dateOfDay(dayFromCivil(civil.year, lastMonth, daysInMonth(civil.year, lastMonth)));
}

LdDate LdCoreHelper::getFirstDayOfYearForDate(LdDate date) const {
    if (!isInRange(date)) {
        return date;
    }
    return dateOfDay(dayFromCivil(civilFromDay(dayOf(date)).year, 1, 1));
}

LdDate LdCoreHelper::getLastDayOfYearForDate(LdDate date) const {
    if (!isInRange(date)) {
        return date;
    }
    return dateOfDay(dayFromCivil(civilFromDay(dayOf(date)).year, 12, 31));
}

LdDate LdCoreHelper::addOneDay(LdDate date) const {
    return addOneDay(date, 1);
}

LdDate LdCoreHelper::subOneDay(LdDate date) const {
    return addOneDay(date, -1);
}

LdDate LdCoreHelper::addOneDay(LdDate date, std::int64_t recurrences) const {
    return isInRange(date) ? dateOfDay(addDays(dayOf(date), recurrences)) : date;
}

LdDate LdCoreHelper::subOneDay(LdDate date, std::int64_t recurrences) const {
    return addOneDay(date, -std::clamp(recurrences, -kMaxDayStep, kMaxDayStep));
}

LdDate LdCoreHelper::addOneWeek(LdDate date) const {
    return addOneWeek(date, 1);
}

LdDate LdCoreHelper::subOneWeek(LdDate date) const {
    return addOneWeek(date, -1);
}

LdDate LdCoreHelper::addOneWeek(LdDate date, std::int64_t recurrences) const {
    return addOneDay(date, std::clamp(recurrences, -kMaxDayStep, kMaxDayStep) * 7);
}

LdDate LdCoreHelper::addOneMonth(LdDate date) const {
    return addOneMonth(date, 1);
}

LdDate LdCoreHelper::subOneMonth(LdDate date) const {
    return addOneMonth(date, -1);
}

LdDate LdCoreHelper::addOneMonth(LdDate date, std::int64_t recurrences) const {
    return isInRange(date) ? dateOfDay(addMonthsClamped(dayOf(date), recurrences)) : date;
}

LdDate LdCoreHelper::subOneMonth(LdDate date, std::int64_t recurrences) const {
    return addOneMonth(date, -std::clamp(recurrences, -kMaxMonthStep, kMaxMonthStep));
}

LdDate LdCoreHelper::addOneQuarter(LdDate date) const {
    return isInRange(date) ? dateOfDay(addQuarter(dayOf(date), 1)) : date;
}

LdDate LdCoreHelper::subOneQuarter(LdDate date) const {
    return isInRange(date) ? dateOfDay(addQuarter(dayOf(date), -1)) : date;
}

LdDate LdCoreHelper::addOneYear(LdDate date) const {
    return addOneYear(date, 1);
}

LdDate LdCoreHelper::subOneYear(LdDate date) const {
    return addOneYear(date, -1);
}

LdDate LdCoreHelper::addOneYear(LdDate date, std::int64_t recurrences) const {
    return isInRange(date) ? dateOfDay(addYearsClamped(dayOf(date), recurrences)) : date;
}

LdDate LdCoreHelper::subOneYear(LdDate date, std::int64_t recurrences) const {
    return addOneYear(date, -std::clamp(recurrences, -kMaxYearStep, kMaxYearStep));
}

LdDate LdCoreHelper::addSeconds(double seconds, LdDate date) const {
    return date.dateByAddingTimeInterval(seconds);
}

LdDate LdCoreHelper::addMinutes(std::int64_t minutes, LdDate date) const {
    return date.dateByAddingTimeInterval(static_cast<double>(minutes) * 60.0);
}

LdDate LdCoreHelper::addHours(std::int64_t hours, LdDate date) const {
    return date.dateByAddingTimeInterval(static_cast<double>(hours) * 3600.0);
}

std::string LdCoreHelper::nameOfMonth(int month) const {
    if (month < 1 || month > 12) {
        return {};
    }
    return LdStrings::localizedString("_MONTH_NAME_" + std::to_string(month));
}
