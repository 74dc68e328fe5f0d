// LdCoreHelper: the one calendar of the library. Every part asks it where a day, week, month,
// quarter or year begins and ends, and how a date moves by such steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/support/foundation/LdDate.h"

class LdClock;
class LdUserDefaults;

// The user default holding the first day of the week (1 = Sunday ... 7 = Saturday).
inline constexpr const char* LdFirstWeekdayKey = "FirstWeekdayKey";

// A Gregorian calendar in UTC working on year, month and day (proleptic before 1582). The current
// day is the UTC day of the current moment shifted by the system time zone's offset, which is the
// user's local day. Weekday numbers run 1 = Sunday ... 7 = Saturday.
//
// The moving operations (add..., sub..., first and last days of periods) return 00:00:00 of the
// resulting day. Month and year steps clamp to the target month's last day.
//
// Out-of-range dates: a date that is NaN or infinite, or lies further than kMaxSeconds from the
// reference date, is returned unchanged by the operations that return a date; component reads see
// NaN as the reference date and other such dates as the nearest limit. Results that would pass a
// limit stop at it.
//
// Stateless apart from the clock and settings it reads; thread-safe as those are.
class LdCoreHelper {
public:
    // About 950,000 years either side of 2001: far beyond any real date, small enough that day and
    // month counts stay exact in a double and in 64-bit arithmetic.
    static constexpr double kMaxSeconds = 3.0e13;

    // A calendar on the given clock and settings (tests). Both outlive the helper.
    LdCoreHelper(LdClock& clock, LdUserDefaults& userDefaults);

    // helper — the shared instance. It reads LdClock::shared() and LdUserDefaults::standard() at
    // each call, so a clock or store a test installs applies at once.
    static LdCoreHelper& helper();

    // getDateInSystemTimeZone — now plus the system time zone's offset at now: its UTC reading
    // shows the local wall-clock time, so its UTC day is today for the user.
    LdDate getDateInSystemTimeZone() const;
    // correctDateForLocalTimeZone: — `date` plus the system time zone's offset at that date.
    LdDate correctDateForLocalTimeZone(LdDate date) const;

    // getFirstDayTimeOfDay: — 00:00:00 of the date's day.
    LdDate getFirstDayTimeOfDay(LdDate date) const;
    // getFirstDayTimeOfDay:forTimeZone: — the date's day (year, month, day in UTC) at 00:00:00 wall
    // time of a time zone `secondsFromGMT` east of Greenwich; without a time zone as
    // getFirstDayTimeOfDay:.
    LdDate getFirstDayTimeOfDay(LdDate date, std::optional<int> secondsFromGMT) const;
    // getMiddayTimeOfDay: — 12:00:00 of the date's day.
    LdDate getMiddayTimeOfDay(LdDate date) const;
    // getLastDayTimeOfDay: — 23:59:59 of the date's day.
    LdDate getLastDayTimeOfDay(LdDate date) const;
    // getLastDayTimeOfDay:forTimeZone: — as getFirstDayTimeOfDay:forTimeZone:, at 23:59:59.
    LdDate getLastDayTimeOfDay(LdDate date, std::optional<int> secondsFromGMT) const;
    // getFirstDayTimeOfNextDay: — 00:00:00 of the following day.
    LdDate getFirstDayTimeOfNextDay(LdDate date) const;

    // isDate:sameDayAsDate: — equal year, month and day.
    bool isDate(LdDate date, LdDate otherDate) const;
    // date1SmallerDate2:Date2: — whether `date1` lies on an earlier day than `date2`.
    bool date1SmallerDate2(LdDate date1, LdDate date2) const;

    // getYearOfDate:
    int getYearOfDate(LdDate date) const;
    // getMonthOfDate: — 1 ... 12.
    int getMonthOfDate(LdDate date) const;
    // getDayOfDate: — 1 ... 31.
    int getDayOfDate(LdDate date) const;
    // getQuarterOfDate: — 1 for months 1-3, 2 for 4-6, 3 for 7-9, 4 for 10-12.
    int getQuarterOfDate(LdDate date) const;
    // getWeekdayForDate: — the weekday number modulo 7: Sunday 1 ... Friday 6, Saturday 0.
    int getWeekdayForDate(LdDate date) const;

    // getDateForDay:Month:Year: — 00:00:00 of that day; nothing unless the day is 1-31 and the
    // month 1-12. A day past the month's end rolls over into the next month (31 April is 1 May).
    std::optional<LdDate> getDateForDay(int day, int month, int year) const;

    // getDaysBeetweenDate1:AndDate2: — whole days (of 86,400 seconds) from `date1` to `date2`,
    // negative when `date2` is earlier, truncated toward zero.
    std::int64_t getDaysBeetweenDate1(LdDate date1, LdDate date2) const;
    // getMonthsBeetweenDate1:AndDate2: — whole months from `date1` to `date2` (a month counts once
    // adding it to `date1`, clamped, does not pass `date2`), plus 1: two dates in one month give 1.
    std::int64_t getMonthsBeetweenDate1(LdDate date1, LdDate date2) const;
    // getYearsBeetweenDate1:AndDate2: — whole years from `date1` to `date2`, plus 1.
    std::int64_t getYearsBeetweenDate1(LdDate date1, LdDate date2) const;

    // getFirstDayOfWeekForDate: — 00:00:00 of the first day, on or before the date, of its week.
    // The first weekday is the user default "FirstWeekdayKey"; when absent it is written as 2
    // (Monday).
    LdDate getFirstDayOfWeekForDate(LdDate date) const;
    // getLastDayOfWeekForDate: — 00:00:00 of the week's last day (the weekday before the first
    // weekday), on or after the date.
    LdDate getLastDayOfWeekForDate(LdDate date) const;
    // getDay:ofWeekWithFirstDay:forDate: — 00:00:00 of weekday `day` in the week that starts on
    // weekday `firstDay` and contains `date`. Weekday numbers outside 1-7 count modulo 7.
    LdDate getDay(int day, int firstDay, LdDate date) const;
    // The first weekday the week operations use ("FirstWeekdayKey", written as 2 when absent; a
    // stored value outside 1-7 reads as 2).
    int firstWeekday() const;

    // getFirstDayOfMonthForDate: — 00:00:00 of day 1 of the date's month; nothing for no date.
    std::optional<LdDate> getFirstDayOfMonthForDate(std::optional<LdDate> date) const;
    // getLastDayOfMonthForDate: — 00:00:00 of the last day of the date's month; nothing for no
    // date.
    std::optional<LdDate> getLastDayOfMonthForDate(std::optional<LdDate> date) const;
    // getFirstDayOfQuarterForDate: — 00:00:00 of 1 January, April, July or October.
    LdDate getFirstDayOfQuarterForDate(LdDate date) const;
    // getLastDayOfQuarterForDate: — 00:00:00 of 31 March, 30 June, 30 September or 31 December.
    LdDate getLastDayOfQuarterForDate(LdDate date) const;
    // getFirstDayOfYearForDate: — 00:00:00 of 1 January.
    LdDate getFirstDayOfYearForDate(LdDate date) const;
    // getLastDayOfYearForDate: — 00:00:00 of 31 December.
    LdDate getLastDayOfYearForDate(LdDate date) const;

    // addOneDay:
    LdDate addOneDay(LdDate date) const;
    // subOneDay:
    LdDate subOneDay(LdDate date) const;
    // addOneDay:Recurrences: — `recurrences` days later (earlier when negative).
    LdDate addOneDay(LdDate date, std::int64_t recurrences) const;
    // subOneDay:Recurrences:
    LdDate subOneDay(LdDate date, std::int64_t recurrences) const;

    // addOneWeek:
    LdDate addOneWeek(LdDate date) const;
    // subOneWeek:
    LdDate subOneWeek(LdDate date) const;
    // addOneWeek:Recurrences: — 7 x `recurrences` days later.
    LdDate addOneWeek(LdDate date, std::int64_t recurrences) const;

    // addOneMonth: — clamped: 31 January gives 28 or 29 February.
    LdDate addOneMonth(LdDate date) const;
    // subOneMonth: — clamped: 31 March gives 28 or 29 February.
    LdDate subOneMonth(LdDate date) const;
    // addOneMonth:Recurrences: — `recurrences` months later in one clamping step (31 January + 2
    // months is 31 March).
    LdDate addOneMonth(LdDate date, std::int64_t recurrences) const;
    // subOneMonth:Recurrences:
    LdDate subOneMonth(LdDate date, std::int64_t recurrences) const;

    // addOneQuarter: — three months later, keeping the day of month where it exists (31 January
    // gives 30 April, 30 November gives 28 or 29 February).
    LdDate addOneQuarter(LdDate date) const;
    // subOneQuarter:
    LdDate subOneQuarter(LdDate date) const;

    // addOneYear: — clamped: 29 February 2024 gives 28 February 2025.
    LdDate addOneYear(LdDate date) const;
    // subOneYear:
    LdDate subOneYear(LdDate date) const;
    // addOneYear:Recurrences:
    LdDate addOneYear(LdDate date, std::int64_t recurrences) const;
    // subOneYear:Recurrences:
    LdDate subOneYear(LdDate date, std::int64_t recurrences) const;

    // addSeconds:toDate: — plain time arithmetic: the time of day moves too, nothing is clamped.
    LdDate addSeconds(double seconds, LdDate date) const;
    // addMinutes:toDate:
    LdDate addMinutes(std::int64_t minutes, LdDate date) const;
    // addHours:toDate:
    LdDate addHours(std::int64_t hours, LdDate date) const;

    // nameOfMonth: — the English name of month 1-12 from the strings table; empty for other
    // numbers.
    std::string nameOfMonth(int month) const;

private:
    LdCoreHelper() = default;  // the shared instance: reads the process's clock and settings

    LdClock& clock() const;
    LdUserDefaults& userDefaults() const;

    LdClock* clock_ = nullptr;                // nullptr: LdClock::shared()
    LdUserDefaults* userDefaults_ = nullptr;  // nullptr: LdUserDefaults::standard()
};
