// Tests of the calendar: period steps and boundaries, weeks, counts between dates, the local-day
// shift and dates out of range, checked against a plain day counter.
#include "core/support/LdCoreHelper.h"

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

// --- A day counter independent of the helper: walks years and months from 2001-01-01.

bool isLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int monthLength(int year, int month) {
    constexpr std::array<int, 12> kLengths = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : kLengths.at(static_cast<std::size_t>(month - 1));
}

std::int64_t dayNumber(int year, int month, int day) {
    std::int64_t days = 0;
    for (int each = 2001; each < year; ++each) {
        days += isLeap(each) ? 366 : 365;
    }
    for (int each = year; each < 2001; ++each) {
        days -= isLeap(each) ? 366 : 365;
    }
    for (int each = 1; each < month; ++each) {
        days += monthLength(year, each);
    }
    return days + day - 1;
}

struct Ymd {
    int year = 2001;
    int month = 1;
    int day = 1;
};

std::ostream& operator<<(std::ostream& stream, const Ymd& date) {
    return stream << date.year << '-' << date.month << '-' << date.day;
}

LdDate at(Ymd date, double secondsOfDay = 0.0) {
    return LdDate::fromReferenceSeconds(
            static_cast<double>(dayNumber(date.year, date.month, date.day) * 86400) + secondsOfDay);
}

LdDate at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return at(Ymd{year, month, day}, hour * 3600.0 + minute * 60.0 + second);
}

// Readable failure output: seconds and, for whole days, the day counted back.
std::string describe(LdDate date) {
    const double seconds = date.timeIntervalSinceReferenceDate();
    std::string text = std::to_string(seconds);
    if (!std::isfinite(seconds) || std::abs(seconds) > 1e12) {
        return text;
    }
    auto day = static_cast<std::int64_t>(std::floor(seconds / 86400.0));
    int year = 2001;
    while (day < 0) {
        --year;
        day += isLeap(year) ? 366 : 365;
    }
    while (day >= (isLeap(year) ? 366 : 365)) {
        day -= isLeap(year) ? 366 : 365;
        ++year;
    }
    int month = 1;
    while (day >= monthLength(year, month)) {
        day -= monthLength(year, month);
        ++month;
    }
    return text + " (" + std::to_string(year) + "-" + std::to_string(month) + "-" +
           std::to_string(day + 1) + ")";
}

// Compare dates through their readable form, so that a failure names the days.
#define EXPECT_DATE_EQ(actual, expected) EXPECT_EQ(describe(actual), describe(expected))
#define ASSERT_DATE_EQ(actual, expected) ASSERT_EQ(describe(actual), describe(expected))

class LdCoreHelperTest : public ::testing::Test {
protected:
    LdManualClock clock_;
    std::unique_ptr<LdUserDefaults> defaults_ = LdUserDefaults::inMemory();
    LdCoreHelper helper_{clock_, *defaults_};
};

// --- Steps

struct StepCase {
    const char* name;
    std::function<LdDate(const LdCoreHelper&, LdDate)> step;
    Ymd start;
    Ymd expected;
};

std::ostream& operator<<(std::ostream& stream, const StepCase& step) {
    return stream << step.name << " from " << step.start;
}

class LdCoreHelperStepTest : public LdCoreHelperTest,
                             public ::testing::WithParamInterface<StepCase> {};

TEST_P(LdCoreHelperStepTest, StepLandsOnExpectedDayAtMidnight) {
    const StepCase& step = GetParam();
    // A time of day in the start shows that steps work on the day only.
    EXPECT_DATE_EQ(step.step(helper_, at(step.start, 15 * 3600.0 + 1234.5)), at(step.expected));
}

using H = const LdCoreHelper&;

std::string stepName(const ::testing::TestParamInfo<StepCase>& step) {
    return step.param.name;
}

INSTANTIATE_TEST_SUITE_P(
        Months,
        LdCoreHelperStepTest,
        ::testing::Values(StepCase{"AddMonthClampsInLeapYear",
                                   [](H h, LdDate d) { return h.addOneMonth(d); },
                                   {2024, 1, 31},
                                   {2024, 2, 29}},
                          StepCase{"AddMonthClampsInCommonYear",
                                   [](H h, LdDate d) { return h.addOneMonth(d); },
                                   {2023, 1, 31},
                                   {2023, 2, 28}},
                          StepCase{"SubMonthClampsInLeapYear",
                                   [](H h, LdDate d) { return h.subOneMonth(d); },
                                   {2024, 3, 31},
                                   {2024, 2, 29}},
                          StepCase{"SubMonthClampsInCommonYear",
                                   [](H h, LdDate d) { return h.subOneMonth(d); },
                                   {2023, 3, 31},
                                   {2023, 2, 28}},
                          StepCase{"AddMonthCrossesYear",
                                   [](H h, LdDate d) { return h.addOneMonth(d); },
                                   {2023, 12, 15},
                                   {2024, 1, 15}},
                          StepCase{"SubMonthCrossesYear",
                                   [](H h, LdDate d) { return h.subOneMonth(d); },
                                   {2024, 1, 15},
                                   {2023, 12, 15}},
                          StepCase{"AddMonthsClampOnceAtTheTarget",
                                   [](H h, LdDate d) { return h.addOneMonth(d, 2); },
                                   {2024, 1, 31},
                                   {2024, 3, 31}},
                          StepCase{"AddThirteenMonths",
                                   [](H h, LdDate d) { return h.addOneMonth(d, 13); },
                                   {2023, 1, 31},
                                   {2024, 2, 29}},
                          StepCase{"SubTwoMonths",
                                   [](H h, LdDate d) { return h.subOneMonth(d, 2); },
                                   {2024, 5, 31},
                                   {2024, 3, 31}},
                          StepCase{"AddNegativeMonths",
                                   [](H h, LdDate d) { return h.addOneMonth(d, -12); },
                                   {2024, 2, 29},
                                   {2023, 2, 28}}),
        stepName);

INSTANTIATE_TEST_SUITE_P(
        QuartersAndYears,
        LdCoreHelperStepTest,
        ::testing::Values(StepCase{"AddQuarterFromJanuary31",
                                   [](H h, LdDate d) { return h.addOneQuarter(d); },
                                   {2024, 1, 31},
                                   {2024, 4, 30}},
                          StepCase{"AddQuarterFromAugust31",
                                   [](H h, LdDate d) { return h.addOneQuarter(d); },
                                   {2023, 8, 31},
                                   {2023, 11, 30}},
                          StepCase{"AddQuarterFromNovember30IntoLeapYear",
                                   [](H h, LdDate d) { return h.addOneQuarter(d); },
                                   {2023, 11, 30},
                                   {2024, 2, 29}},
                          StepCase{"AddQuarterFromNovember30IntoCommonYear",
                                   [](H h, LdDate d) { return h.addOneQuarter(d); },
                                   {2022, 11, 30},
                                   {2023, 2, 28}},
                          StepCase{"AddQuarterKeepsDayLostOnTheWay",
                                   [](H h, LdDate d) { return h.addOneQuarter(d); },
                                   {2023, 12, 31},
                                   {2024, 3, 31}},
                          StepCase{"SubQuarterFromMay31",
                                   [](H h, LdDate d) { return h.subOneQuarter(d); },
                                   {2024, 5, 31},
                                   {2024, 2, 29}},
                          StepCase{"SubQuarterFromMarch31",
                                   [](H h, LdDate d) { return h.subOneQuarter(d); },
                                   {2024, 3, 31},
                                   {2023, 12, 31}},
                          StepCase{"AddYearFromLeapDay",
                                   [](H h, LdDate d) { return h.addOneYear(d); },
                                   {2024, 2, 29},
                                   {2025, 2, 28}},
                          StepCase{"SubYearFromLeapDay",
                                   [](H h, LdDate d) { return h.subOneYear(d); },
                                   {2024, 2, 29},
                                   {2023, 2, 28}},
                          StepCase{"AddFourYearsFromLeapDay",
                                   [](H h, LdDate d) { return h.addOneYear(d, 4); },
                                   {2024, 2, 29},
                                   {2028, 2, 29}},
                          StepCase{"SubHundredYearsIntoCenturyWithoutLeapDay",
                                   [](H h, LdDate d) { return h.subOneYear(d, 100); },
                                   {2000, 2, 29},
                                   {1900, 2, 28}}),
        stepName);

INSTANTIATE_TEST_SUITE_P(
        DaysAndWeeks,
        LdCoreHelperStepTest,
        ::testing::Values(StepCase{"AddDayIntoLeapDay",
                                   [](H h, LdDate d) { return h.addOneDay(d); },
                                   {2024, 2, 28},
                                   {2024, 2, 29}},
                          StepCase{"SubDayIntoLeapDay",
                                   [](H h, LdDate d) { return h.subOneDay(d); },
                                   {2024, 3, 1},
                                   {2024, 2, 29}},
                          StepCase{"AddDaysAcrossYear",
                                   [](H h, LdDate d) { return h.addOneDay(d, 3); },
                                   {2023, 12, 30},
                                   {2024, 1, 2}},
                          StepCase{"SubDays",
                                   [](H h, LdDate d) { return h.subOneDay(d, 366); },
                                   {2024, 12, 31},
                                   {2023, 12, 31}},
                          StepCase{"AddWeekAcrossYear",
                                   [](H h, LdDate d) { return h.addOneWeek(d); },
                                   {2023, 12, 28},
                                   {2024, 1, 4}},
                          StepCase{"SubWeek",
                                   [](H h, LdDate d) { return h.subOneWeek(d); },
                                   {2024, 3, 5},
                                   {2024, 2, 27}},
                          StepCase{"AddNegativeWeeks",
                                   [](H h, LdDate d) { return h.addOneWeek(d, -2); },
                                   {2024, 1, 10},
                                   {2023, 12, 27}},
                          StepCase{"FirstTimeOfNextDayAtYearEnd",
                                   [](H h, LdDate d) { return h.getFirstDayTimeOfNextDay(d); },
                                   {2023, 12, 31},
                                   {2024, 1, 1}}),
        stepName);

INSTANTIATE_TEST_SUITE_P(
        PeriodBoundaries,
        LdCoreHelperStepTest,
        ::testing::Values(StepCase{"FirstDayOfMonth",
                                   [](H h, LdDate d) { return *h.getFirstDayOfMonthForDate(d); },
                                   {2024, 2, 17},
                                   {2024, 2, 1}},
                          StepCase{"LastDayOfLeapFebruary",
                                   [](H h, LdDate d) { return *h.getLastDayOfMonthForDate(d); },
                                   {2024, 2, 17},
                                   {2024, 2, 29}},
                          StepCase{"LastDayOfCenturyFebruary",
                                   [](H h, LdDate d) { return *h.getLastDayOfMonthForDate(d); },
                                   {2100, 2, 1},
                                   {2100, 2, 28}},
                          StepCase{"LastDayOfDecember",
                                   [](H h, LdDate d) { return *h.getLastDayOfMonthForDate(d); },
                                   {2023, 12, 31},
                                   {2023, 12, 31}},
                          StepCase{"FirstDayOfFirstQuarter",
                                   [](H h, LdDate d) { return h.getFirstDayOfQuarterForDate(d); },
                                   {2024, 3, 31},
                                   {2024, 1, 1}},
                          StepCase{"FirstDayOfSecondQuarter",
                                   [](H h, LdDate d) { return h.getFirstDayOfQuarterForDate(d); },
                                   {2024, 4, 1},
                                   {2024, 4, 1}},
                          StepCase{"FirstDayOfFourthQuarter",
                                   [](H h, LdDate d) { return h.getFirstDayOfQuarterForDate(d); },
                                   {2024, 12, 31},
                                   {2024, 10, 1}},
                          StepCase{"LastDayOfFirstQuarter",
                                   [](H h, LdDate d) { return h.getLastDayOfQuarterForDate(d); },
                                   {2024, 1, 1},
                                   {2024, 3, 31}},
                          StepCase{"LastDayOfSecondQuarter",
                                   [](H h, LdDate d) { return h.getLastDayOfQuarterForDate(d); },
                                   {2024, 5, 15},
                                   {2024, 6, 30}},
                          StepCase{"LastDayOfThirdQuarter",
                                   [](H h, LdDate d) { return h.getLastDayOfQuarterForDate(d); },
                                   {2024, 7, 1},
                                   {2024, 9, 30}},
                          StepCase{"LastDayOfFourthQuarter",
                                   [](H h, LdDate d) { return h.getLastDayOfQuarterForDate(d); },
                                   {2024, 10, 1},
                                   {2024, 12, 31}},
                          StepCase{"FirstDayOfYear",
                                   [](H h, LdDate d) { return h.getFirstDayOfYearForDate(d); },
                                   {2024, 12, 31},
                                   {2024, 1, 1}},
                          StepCase{"LastDayOfYear",
                                   [](H h, LdDate d) { return h.getLastDayOfYearForDate(d); },
                                   {2024, 1, 1},
                                   {2024, 12, 31}},
                          StepCase{"FirstTimeOfDay",
                                   [](H h, LdDate d) { return h.getFirstDayTimeOfDay(d); },
                                   {1969, 12, 31},
                                   {1969, 12, 31}}),
        stepName);

TEST_F(LdCoreHelperTest, MonthBoundariesOfNoDateAreNothing) {
    EXPECT_FALSE(helper_.getFirstDayOfMonthForDate(std::nullopt).has_value());
    EXPECT_FALSE(helper_.getLastDayOfMonthForDate(std::nullopt).has_value());
}

TEST_F(LdCoreHelperTest, TimesOfDayKeepTheDay) {
    const LdDate date = at(2024, 2, 29, 17, 45, 12);
    EXPECT_DATE_EQ(helper_.getFirstDayTimeOfDay(date), at(2024, 2, 29));
    EXPECT_DATE_EQ(helper_.getMiddayTimeOfDay(date), at(2024, 2, 29, 12));
    EXPECT_DATE_EQ(helper_.getLastDayTimeOfDay(date), at(2024, 2, 29, 23, 59, 59));
    EXPECT_DATE_EQ(helper_.getFirstDayTimeOfDay(at(2024, 2, 29, 23, 59, 59)), at(2024, 2, 29));
}

TEST_F(LdCoreHelperTest, TimeZoneReadsTheDayAsWallTimeOfThatZone) {
    const LdDate date = at(2024, 7, 4, 10);
    const int twoHoursEast = 2 * 3600;
    EXPECT_DATE_EQ(helper_.getFirstDayTimeOfDay(date, twoHoursEast), at(2024, 7, 3, 22));
    EXPECT_DATE_EQ(helper_.getLastDayTimeOfDay(date, -twoHoursEast), at(2024, 7, 5, 1, 59, 59));
    EXPECT_DATE_EQ(helper_.getFirstDayTimeOfDay(date, std::nullopt), at(2024, 7, 4));
    EXPECT_DATE_EQ(helper_.getLastDayTimeOfDay(date, std::nullopt), at(2024, 7, 4, 23, 59, 59));
}

TEST_F(LdCoreHelperTest, PlainTimeArithmeticKeepsTheTimeOfDay) {
    const LdDate date = at(2024, 2, 28, 23, 30);
    EXPECT_DATE_EQ(helper_.addSeconds(1800.5, date), at(Ymd{2024, 2, 29}, 0.5));
    EXPECT_DATE_EQ(helper_.addMinutes(-30, date), at(2024, 2, 28, 23));
    EXPECT_DATE_EQ(helper_.addHours(25, date), at(2024, 3, 1, 0, 30));
}

// --- Components and comparisons

struct ComponentsCase {
    LdDate date;
    int year;
    int month;
    int day;
    int quarter;
    int weekday;  // getWeekdayForDate: Saturday 0, Sunday 1 ... Friday 6
};

TEST_F(LdCoreHelperTest, ComponentsAndWeekdays) {
    const std::vector<ComponentsCase> cases = {
            {at(2024, 3, 16, 23, 59, 59), 2024, 3, 16, 1, 0},  // Saturday
            {at(2024, 3, 17), 2024, 3, 17, 1, 1},              // Sunday
            {at(2024, 3, 15), 2024, 3, 15, 1, 6},              // Friday
            {at(2001, 1, 1), 2001, 1, 1, 1, 2},                // Monday, the reference date
            {at(2024, 4, 1), 2024, 4, 1, 2, 2},
            {at(2024, 9, 30), 2024, 9, 30, 3, 2},
            {at(2024, 10, 1), 2024, 10, 1, 4, 3},
            {at(1970, 1, 1), 1970, 1, 1, 1, 5},  // Thursday
            {at(1900, 3, 1), 1900, 3, 1, 1, 5},  // Thursday, after the missing 29 February 1900
            {at(2000, 12, 31, 23), 2000, 12, 31, 4, 1},
    };
    for (const ComponentsCase& expected : cases) {
        SCOPED_TRACE(describe(expected.date));
        EXPECT_EQ(helper_.getYearOfDate(expected.date), expected.year);
        EXPECT_EQ(helper_.getMonthOfDate(expected.date), expected.month);
        EXPECT_EQ(helper_.getDayOfDate(expected.date), expected.day);
        EXPECT_EQ(helper_.getQuarterOfDate(expected.date), expected.quarter);
        EXPECT_EQ(helper_.getWeekdayForDate(expected.date), expected.weekday);
    }
}

TEST_F(LdCoreHelperTest, SameDayAndEarlierDayCompareDaysNotMoments) {
    const LdDate lastSecond = at(2024, 3, 10, 23, 59, 59);
    const LdDate nextMidnight = at(2024, 3, 11);
    EXPECT_TRUE(helper_.isDate(at(2024, 3, 10), lastSecond));
    EXPECT_FALSE(helper_.isDate(lastSecond, nextMidnight));
    EXPECT_TRUE(helper_.date1SmallerDate2(lastSecond, nextMidnight));
    EXPECT_FALSE(helper_.date1SmallerDate2(at(2024, 3, 10), lastSecond));
    EXPECT_FALSE(helper_.date1SmallerDate2(nextMidnight, lastSecond));
}

TEST_F(LdCoreHelperTest, DateForDayMonthYearChecksRangesAndRollsOver) {
    EXPECT_DATE_EQ(*helper_.getDateForDay(29, 2, 2024), at(2024, 2, 29));
    EXPECT_DATE_EQ(*helper_.getDateForDay(31, 4, 2024), at(2024, 5, 1));
    EXPECT_DATE_EQ(*helper_.getDateForDay(30, 2, 2023), at(2023, 3, 2));
    EXPECT_FALSE(helper_.getDateForDay(32, 1, 2024).has_value());
    EXPECT_FALSE(helper_.getDateForDay(0, 1, 2024).has_value());
    EXPECT_FALSE(helper_.getDateForDay(1, 13, 2024).has_value());
    EXPECT_FALSE(helper_.getDateForDay(1, 0, 2024).has_value());
}

// --- Counts between dates

struct BetweenCase {
    LdDate from;
    LdDate to;
    std::int64_t days;
    std::int64_t months;  // whole months plus 1
    std::int64_t years;   // whole years plus 1
};

TEST_F(LdCoreHelperTest, CountsBetweenDates) {
    const std::vector<BetweenCase> cases = {
            {at(2024, 1, 5), at(2024, 1, 20), 15, 1, 1},
            {at(2024, 1, 20), at(2024, 1, 5), -15, 1, 1},
            {at(2024, 1, 1, 10), at(2024, 1, 2, 9), 0, 1, 1},  // less than a whole day
            {at(2024, 1, 2, 9), at(2024, 1, 1, 10), 0, 1, 1},
            {at(2024, 1, 15), at(2024, 3, 14), 59, 2, 1},
            {at(2024, 1, 15), at(2024, 3, 15), 60, 3, 1},
            {at(2024, 1, 31), at(2024, 2, 29), 29, 2, 1},  // one clamped month
            {at(2024, 1, 31, 12), at(2024, 2, 29, 11), 28, 1, 1},
            {at(2024, 3, 31), at(2024, 2, 29), -31, 0, 1},  // one month back
            {at(2020, 6, 1), at(2021, 5, 31), 364, 12, 1},
            {at(2020, 6, 1), at(2021, 6, 1), 365, 13, 2},
            {at(2024, 2, 29), at(2025, 2, 28), 365, 13, 2},  // a clamped year
            {at(2021, 6, 1), at(2020, 6, 2), -364, -10, 1},
            {at(2021, 6, 1), at(2020, 6, 1), -365, -11, 0},
    };
    for (const BetweenCase& expected : cases) {
        SCOPED_TRACE(describe(expected.from) + " to " + describe(expected.to));
        EXPECT_EQ(helper_.getDaysBeetweenDate1(expected.from, expected.to), expected.days);
        EXPECT_EQ(helper_.getMonthsBeetweenDate1(expected.from, expected.to), expected.months);
        EXPECT_EQ(helper_.getYearsBeetweenDate1(expected.from, expected.to), expected.years);
    }
}

// Every day from 1900 to 2200 against the day counter, then random pairs of them.
TEST_F(LdCoreHelperTest, DaysAgreeWithDayCounterFrom1900To2200) {
    struct Day {
        Ymd civil;
        std::int64_t number;
    };
    std::vector<Day> days;
    std::int64_t number = dayNumber(1900, 1, 1);
    for (int year = 1900; year <= 2200; ++year) {
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= monthLength(year, month); ++day) {
                days.push_back({{year, month, day}, number++});
            }
        }
    }
    int mismatches = 0;
    for (const Day& day : days) {
        const LdDate expected =
                LdDate::fromReferenceSeconds(static_cast<double>(day.number) * 86400.0);
        const std::optional<LdDate> built =
                helper_.getDateForDay(day.civil.day, day.civil.month, day.civil.year);
        if (!built || *built != expected || helper_.getYearOfDate(expected) != day.civil.year ||
            helper_.getMonthOfDate(expected) != day.civil.month ||
            helper_.getDayOfDate(expected) != day.civil.day) {
            ADD_FAILURE() << "day " << day.civil;
            if (++mismatches > 10) {
                return;
            }
        }
    }

    std::mt19937_64 random(20240229);
    std::uniform_int_distribution<std::size_t> pick(0, days.size() - 1);
    std::uniform_real_distribution<double> timeOfDay(0.0, 86399.0);
    for (int round = 0; round < 20000; ++round) {
        const Day& first = days[pick(random)];
        const Day& second = days[pick(random)];
        const std::int64_t distance = second.number - first.number;
        const LdDate firstMidnight = at(first.civil);
        const LdDate secondMidnight = at(second.civil);
        ASSERT_EQ(helper_.getDaysBeetweenDate1(firstMidnight, secondMidnight), distance)
                << first.civil << " to " << second.civil;
        ASSERT_DATE_EQ(helper_.addOneDay(at(first.civil, timeOfDay(random)), distance),
                       secondMidnight);
        ASSERT_DATE_EQ(helper_.subOneDay(secondMidnight, distance), firstMidnight);
    }
}

// --- Weeks

TEST_F(LdCoreHelperTest, WeekStartsOnMondayAndWritesTheDefaultWhenUnset) {
    ASSERT_FALSE(defaults_->hasKey(LdFirstWeekdayKey));
    const LdDate wednesday = at(2024, 3, 13, 18);

    EXPECT_DATE_EQ(helper_.getFirstDayOfWeekForDate(wednesday), at(2024, 3, 11));
    EXPECT_DATE_EQ(helper_.getLastDayOfWeekForDate(wednesday), at(2024, 3, 17));
    const std::optional<LdValue> written = defaults_->objectForKey(LdFirstWeekdayKey);
    ASSERT_TRUE(written.has_value());
    EXPECT_TRUE(written->isInteger());
    EXPECT_EQ(written->integerValue(), 2);
}

struct WeekCase {
    int firstWeekday;
    LdDate date;
    LdDate first;
    LdDate last;
};

TEST_F(LdCoreHelperTest, WeekBoundariesFollowTheFirstWeekday) {
    const std::vector<WeekCase> cases = {
            {1, at(2024, 3, 13), at(2024, 3, 10), at(2024, 3, 16)},  // Sunday-first, a Wednesday
            {1, at(2024, 3, 10), at(2024, 3, 10), at(2024, 3, 16)},  // its Sunday
            {1, at(2024, 3, 16), at(2024, 3, 10), at(2024, 3, 16)},  // its Saturday
            {2, at(2024, 3, 17), at(2024, 3, 11), at(2024, 3, 17)},  // Monday-first, a Sunday
            {2, at(2024, 3, 11), at(2024, 3, 11), at(2024, 3, 17)},
            {7, at(2024, 3, 13), at(2024, 3, 9), at(2024, 3, 15)},  // Saturday-first
            {2, at(2024, 1, 2), at(2024, 1, 1), at(2024, 1, 7)},
            {2, at(2023, 12, 31), at(2023, 12, 25), at(2023, 12, 31)},
            {9, at(2024, 3, 13), at(2024, 3, 11), at(2024, 3, 17)},  // out of range: Monday
    };
    for (const WeekCase& expected : cases) {
        SCOPED_TRACE("first weekday " + std::to_string(expected.firstWeekday) + ", " +
                     describe(expected.date));
        defaults_->setInteger(expected.firstWeekday, LdFirstWeekdayKey);
        EXPECT_DATE_EQ(helper_.getFirstDayOfWeekForDate(expected.date), expected.first);
        EXPECT_DATE_EQ(helper_.getLastDayOfWeekForDate(expected.date), expected.last);
    }
}

TEST_F(LdCoreHelperTest, DayOfWeekWithFirstDay) {
    const LdDate wednesday = at(2024, 3, 13);
    EXPECT_DATE_EQ(helper_.getDay(6, 2, wednesday), at(2024, 3, 15));  // its Friday
    EXPECT_DATE_EQ(helper_.getDay(1, 2, wednesday), at(2024, 3, 17));  // Sunday ends the week
    EXPECT_DATE_EQ(helper_.getDay(2, 2, wednesday), at(2024, 3, 11));
    EXPECT_DATE_EQ(helper_.getDay(1, 1, wednesday), at(2024, 3, 10));  // Sunday starts it
    EXPECT_DATE_EQ(helper_.getDay(7, 1, at(2024, 3, 10)), at(2024, 3, 16));
    EXPECT_DATE_EQ(helper_.getDay(9, 2, wednesday), at(2024, 3, 11));  // 9 counts as 2
}

// --- The local day

struct ShiftCase {
    int secondsFromGMT;
    LdDate localReading;
};

class LdCoreHelperLocalDayTest : public LdCoreHelperTest,
                                 public ::testing::WithParamInterface<ShiftCase> {};

TEST_P(LdCoreHelperLocalDayTest, DateInSystemTimeZoneReadsAsLocalWallTime) {
    const LdDate now = at(2024, 3, 10, 23, 30);
    clock_.setNow(now);
    clock_.setSecondsFromGMT(GetParam().secondsFromGMT);

    EXPECT_DATE_EQ(helper_.getDateInSystemTimeZone(), GetParam().localReading);
    EXPECT_DATE_EQ(helper_.correctDateForLocalTimeZone(now), GetParam().localReading);
    EXPECT_TRUE(helper_.isDate(helper_.getDateInSystemTimeZone(), GetParam().localReading));
}

INSTANTIATE_TEST_SUITE_P(Offsets,
                         LdCoreHelperLocalDayTest,
                         ::testing::Values(ShiftCase{14 * 3600, at(2024, 3, 11, 13, 30)},
                                           ShiftCase{-14 * 3600, at(2024, 3, 10, 9, 30)},
                                           ShiftCase{0, at(2024, 3, 10, 23, 30)},
                                           ShiftCase{3600 / 2, at(2024, 3, 11, 0, 0)}));

TEST_F(LdCoreHelperTest, SharedHelperReadsTheInstalledClockAndSettings) {
    LdManualClock clock(at(2024, 3, 10, 23, 30), 3600);
    const std::unique_ptr<LdUserDefaults> defaults = LdUserDefaults::inMemory();
    LdScopedClock installed(clock);
    LdUserDefaults::setStandard(defaults.get());

    EXPECT_DATE_EQ(LdCoreHelper::helper().getDateInSystemTimeZone(), at(2024, 3, 11, 0, 30));
    LdCoreHelper::helper().getFirstDayOfWeekForDate(at(2024, 3, 13));
    EXPECT_EQ(defaults->integerForKey(LdFirstWeekdayKey), 2);

    LdUserDefaults::setStandard(nullptr);
}

TEST_F(LdCoreHelperTest, MonthNamesComeFromTheStringsTable) {
    EXPECT_EQ(helper_.nameOfMonth(1), "January");
    EXPECT_EQ(helper_.nameOfMonth(12), "December");
    EXPECT_EQ(helper_.nameOfMonth(13), "");
}

// --- Dates out of range

TEST_F(LdCoreHelperTest, DatesOutOfRangeComeBackUnchanged) {
    defaults_->setInteger(2, LdFirstWeekdayKey);
    const std::vector<std::function<LdDate(LdDate)>> operations = {
            [&](LdDate d) { return helper_.getFirstDayTimeOfDay(d); },
            [&](LdDate d) { return helper_.getFirstDayTimeOfDay(d, 3600); },
            [&](LdDate d) { return helper_.getLastDayTimeOfDay(d); },
            [&](LdDate d) { return helper_.getMiddayTimeOfDay(d); },
            [&](LdDate d) { return helper_.getFirstDayTimeOfNextDay(d); },
            [&](LdDate d) { return helper_.getFirstDayOfWeekForDate(d); },
            [&](LdDate d) { return helper_.getLastDayOfWeekForDate(d); },
            [&](LdDate d) { return helper_.getDay(3, 2, d); },
            [&](LdDate d) { return *helper_.getFirstDayOfMonthForDate(d); },
            [&](LdDate d) { return *helper_.getLastDayOfMonthForDate(d); },
            [&](LdDate d) { return helper_.getFirstDayOfQuarterForDate(d); },
            [&](LdDate d) { return helper_.getLastDayOfQuarterForDate(d); },
            [&](LdDate d) { return helper_.getFirstDayOfYearForDate(d); },
            [&](LdDate d) { return helper_.getLastDayOfYearForDate(d); },
            [&](LdDate d) { return helper_.addOneDay(d, 5); },
            [&](LdDate d) { return helper_.addOneWeek(d, 5); },
            [&](LdDate d) { return helper_.subOneMonth(d, 5); },
            [&](LdDate d) { return helper_.addOneQuarter(d); },
            [&](LdDate d) { return helper_.subOneYear(d, 5); },
    };
    const double infinity = std::numeric_limits<double>::infinity();
    for (const double seconds : {std::numeric_limits<double>::quiet_NaN(), infinity, -infinity,
                                 1e300, -1e300, LdCoreHelper::kMaxSeconds * 1.5}) {
        const LdDate date = LdDate::fromReferenceSeconds(seconds);
        for (std::size_t index = 0; index < operations.size(); ++index) {
            SCOPED_TRACE("operation " + std::to_string(index) + " on " + std::to_string(seconds));
            EXPECT_EQ(describe(operations[index](date)), describe(date));
        }
        // Component reads and counts stay within their ranges.
        const int month = helper_.getMonthOfDate(date);
        EXPECT_TRUE(month >= 1 && month <= 12);
        EXPECT_TRUE(helper_.getWeekdayForDate(date) >= 0 && helper_.getWeekdayForDate(date) <= 6);
        EXPECT_LE(std::abs(helper_.getDaysBeetweenDate1(date, at(2024, 1, 1))), 400'000'000);
        EXPECT_GE(helper_.getMonthsBeetweenDate1(at(1, 1, 1), date), -12'000'000);
    }
    EXPECT_EQ(helper_.getYearOfDate(LdDate::fromReferenceSeconds(std::nan(""))), 2001);
}

TEST_F(LdCoreHelperTest, HugeStepsStopAtTheLimit) {
    const LdDate date = at(2024, 1, 31);
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    for (const LdDate moved :
         {helper_.addOneDay(date, huge), helper_.addOneWeek(date, huge),
          helper_.addOneMonth(date, huge), helper_.addOneYear(date, huge),
          helper_.subOneDay(date, huge), helper_.subOneMonth(date, huge),
          helper_.subOneYear(date, huge),
          helper_.addOneMonth(date, std::numeric_limits<std::int64_t>::min())}) {
        EXPECT_LE(std::abs(moved.timeIntervalSinceReferenceDate()), LdCoreHelper::kMaxSeconds);
        EXPECT_GT(std::abs(moved.timeIntervalSinceReferenceDate()),
                  LdCoreHelper::kMaxSeconds * 0.99);
    }
    const LdDate limit = LdDate::fromReferenceSeconds(LdCoreHelper::kMaxSeconds);
    EXPECT_LE(helper_.addOneDay(limit).timeIntervalSinceReferenceDate(), LdCoreHelper::kMaxSeconds);
}

}  // namespace
