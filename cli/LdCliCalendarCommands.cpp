// `ledra calendar …`: the date arithmetic every part of the library shares (month ends clamp, weeks
// start on the user's first weekday).
#include <cstdio>
#include <memory>

#include "core/support/LdCoreHelper.h"

#include "cli/LdCliCommands.h"

namespace {

// "YYYY-MM-DD" → that day at 00:00 UTC; nothing for any other text or a day the month lacks.
std::optional<LdDate> parseDay(const std::string& text) {
    int year = 0;
    int month = 0;
    int day = 0;
    char tail = 0;
    if (text.size() != 10 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &tail) != 3) {
        return std::nullopt;
    }
    const LdCoreHelper& helper = LdCoreHelper::helper();
    const auto date = helper.getDateForDay(day, month, year);
    // The calendar rolls 31 April over into May; a typed date must exist as typed.
    if (!date || helper.getDayOfDate(*date) != day || helper.getMonthOfDate(*date) != month) {
        return std::nullopt;
    }
    return date;
}

std::string formatDay(LdDate date) {
    const LdCoreHelper& helper = LdCoreHelper::helper();
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", helper.getYearOfDate(date),
                  helper.getMonthOfDate(date), helper.getDayOfDate(date));
    return text;
}

struct Steps {
    std::string date;
    std::int64_t days = 0;
    std::int64_t weeks = 0;
    std::int64_t months = 0;
    std::int64_t quarters = 0;
    std::int64_t years = 0;
};

// Applies the steps in the order years, quarters, months, weeks, days, each with the calendar's own
// step.
LdDate applySteps(LdDate date, const Steps& steps) {
    const LdCoreHelper& helper = LdCoreHelper::helper();
    date = steps.years >= 0 ? helper.addOneYear(date, steps.years)
                            : helper.subOneYear(date, -steps.years);
    for (std::int64_t index = 0; index < (steps.quarters < 0 ? -steps.quarters : steps.quarters);
         ++index) {
        date = steps.quarters > 0 ? helper.addOneQuarter(date) : helper.subOneQuarter(date);
    }
    date = steps.months >= 0 ? helper.addOneMonth(date, steps.months)
                             : helper.subOneMonth(date, -steps.months);
    date = steps.weeks >= 0 ? helper.addOneWeek(date, steps.weeks)
                            : helper.subOneDay(date, -7 * steps.weeks);
    return steps.days >= 0 ? helper.addOneDay(date, steps.days)
                           : helper.subOneDay(date, -steps.days);
}

}  // namespace

void ldAddCalendarCommands(CLI::App& app, LdCliCommandSet& commands) {
    CLI::App* area = commands.addArea(app, "calendar", "Calendar arithmetic on days");
    LdCliContext& context = commands.context();

    auto steps = std::make_shared<Steps>();
    CLI::App* add = commands.add(
            *area, "add", "Move a day by days, weeks, months, quarters or years",
            [&context, steps] {
                const auto date = parseDay(steps->date);
                if (!date) {
                    return context.fail("not a day in the form YYYY-MM-DD: " + steps->date);
                }
                const std::string result = formatDay(applySteps(*date, *steps));
                context.printResult(LdValue::dictionary({{"date", result}}), result);
                return kLdExitSuccess;
            });
    add->add_option("date", steps->date, "The day, YYYY-MM-DD")->required();
    add->add_option("--days", steps->days, "Days to add (negative to go back)");
    add->add_option("--weeks", steps->weeks, "Weeks to add");
    add->add_option("--months", steps->months,
                    "Months to add; a day the month lacks becomes its last day");
    add->add_option("--quarters", steps->quarters,
                    "Quarters to add, keeping the day where the month has it")
            ->check(CLI::Range(-4000, 4000));
    add->add_option("--years", steps->years, "Years to add");

    auto periodDate = std::make_shared<std::string>();
    CLI::App* period = commands.add(
            *area, "periods", "The week, month, quarter and year around a day",
            [&context, periodDate] {
                const auto date = parseDay(*periodDate);
                if (!date) {
                    return context.fail("not a day in the form YYYY-MM-DD: " + *periodDate);
                }
                const LdCoreHelper& helper = LdCoreHelper::helper();
                LdValue::Dictionary result;
                std::string text;
                const auto addPeriod = [&](const std::string& name, LdDate first, LdDate last) {
                    result[name] = LdValue::dictionary(
                            {{"first", formatDay(first)}, {"last", formatDay(last)}});
                    text += name + ": " + formatDay(first) + " … " + formatDay(last) + "\n";
                };
                addPeriod("week", helper.getFirstDayOfWeekForDate(*date),
                          helper.getLastDayOfWeekForDate(*date));
                addPeriod("month", *helper.getFirstDayOfMonthForDate(*date),
                          *helper.getLastDayOfMonthForDate(*date));
                addPeriod("quarter", helper.getFirstDayOfQuarterForDate(*date),
                          helper.getLastDayOfQuarterForDate(*date));
                addPeriod("year", helper.getFirstDayOfYearForDate(*date),
                          helper.getLastDayOfYearForDate(*date));
                context.printResult(LdValue(result), text);
                return kLdExitSuccess;
            });
    period->add_option("date", *periodDate, "The day, YYYY-MM-DD")->required();

    commands.add(*area, "today", "The user's local day", [&context] {
        const std::string today = formatDay(LdCoreHelper::helper().getDateInSystemTimeZone());
        context.printResult(LdValue::dictionary({{"date", today}}), today);
        return kLdExitSuccess;
    });
}
