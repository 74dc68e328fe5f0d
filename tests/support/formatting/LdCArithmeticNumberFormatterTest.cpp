#include "core/support/formatting/LdCArithmeticNumberFormatter.h"

#include <gtest/gtest.h>

namespace {

struct ExpressionCase {
    const char* text;
    const char* value;  // "NaN" for a text that is no number
    bool split;
    std::vector<const char*> parts;
};

LdDecimal decimal(const char* text) {
    return LdDecimal::fromString(text).value_or(LdDecimal::notANumber());
}

void expectCases(const std::vector<ExpressionCase>& cases, const char* locale) {
    const LdCArithmeticNumberFormatter formatter(
            LdCNumberFormatter::standardNumberFormatter(locale));
    for (const ExpressionCase& expression : cases) {
        SCOPED_TRACE(std::string(locale) + " " + expression.text);
        const auto evaluation = formatter.evaluate(expression.text);
        EXPECT_EQ(evaluation.value, decimal(expression.value)) << evaluation.value.toString();
        if (evaluation.value.isNaN()) {
            continue;
        }
        EXPECT_EQ(evaluation.isSplitBooking(), expression.split);
        if (expression.parts.empty()) {
            continue;
        }
        std::vector<LdDecimal> expected;
        for (const char* part : expression.parts) {
            expected.push_back(decimal(part));
        }
        EXPECT_EQ(evaluation.partialAmounts, expected);
    }
}

}  // namespace

TEST(LdCArithmeticNumberFormatterTest, ExpressionsUnderThePosixLocale) {
    expectCases(
            {
                    {"10+20+30.5", "60.5", true, {"10", "20", "30.5"}},
                    {"3*(2+1)", "9", false, {"3", "2", "1"}},
                    {"100-20-30", "50", true, {"100", "-20", "-30"}},
                    {"-(10+5)", "-15", true, {"-10", "-5"}},
                    {"2(3+4)", "14", false, {"2", "3", "4"}},
                    {"(1+1)(2+2)", "8", false, {}},
                    {"1/2", "0.5", false, {}},
                    {"1/0.5", "2", false, {}},
                    {"1/0", "NaN", false, {}},
                    {"0/0", "NaN", false, {}},
                    {"100-(20+30)", "50", true, {"100", "-20", "-30"}},
                    {"-(10-5)", "-5", true, {"-10", "5"}},
                    {"10-(-5)", "15", true, {"10", "5"}},
                    {"-5+3", "-2", true, {"-5", "3"}},
                    {"+5", "5", false, {"5"}},
                    {"(-5)*2", "-10", false, {}},
                    {"12.50", "12.5", false, {"12.5"}},
                    {"0.1+0.2", "0.3", true, {"0.1", "0.2"}},
                    {"2*3+4", "10", false, {}},
                    {"2+3*4", "14", false, {}},
                    {"8/4/2", "1", false, {}},
                    {"10-2-3", "5", true, {}},
                    {"[2+3]*{4}", "20", false, {}},
                    {"(10+5", "15", true, {}},
                    {"$10 + 5 EUR", "15", true, {"10", "5"}},
                    {"1,000.50+1", "1001.5", true, {"1000.5", "1"}},
                    {".5+.5", "1", true, {}},
                    {"", "0", false, {}},
                    {"   ", "0", false, {}},
                    {"1+", "NaN", false, {}},
                    {"*2", "NaN", false, {}},
                    {"5+-3", "NaN", false, {}},
                    {"10+5)", "NaN", false, {}},
                    {"abc", "NaN", false, {}},
                    {"1.2.3", "NaN", false, {}},
                    {"()", "NaN", false, {}},
            },
            "en_US_POSIX");
}

TEST(LdCArithmeticNumberFormatterTest, EveryMinusSignAndDashSubtracts) {
    for (const char* minus :
         {"-", "\u2013", "\u2014", "\u2212", "\uFF0D", "\uFE63", "\u2011", "\u2012"}) {
        const std::string text = std::string("10") + minus + "4";
        expectCases({{text.c_str(), "6", true, {"10", "-4"}}}, "en_US_POSIX");
        const std::string leading = std::string(minus) + "(1+2)";
        expectCases({{leading.c_str(), "-3", true, {"-1", "-2"}}}, "en_US_POSIX");
    }
}

TEST(LdCArithmeticNumberFormatterTest, GermanSeparators) {
    expectCases(
            {
                    {"1.234,5+0,5", "1235", true, {"1234.5", "0.5"}},
                    {"10,5*2", "21", false, {}},
                    {"-(1,5+2)", "-3.5", true, {"-1.5", "-2"}},
                    {"1,2,3", "NaN", false, {}},
            },
            "de_DE");
}

TEST(LdCArithmeticNumberFormatterTest, NumbersKeepEveryDigit) {
    // 38 significant digits pass through unchanged: nothing goes through a binary float.
    expectCases({{"12345678901234567890.123456789012345678+0",
                  "12345678901234567890.123456789012345678",
                  true,
                  {}}},
                "en_US_POSIX");
}

TEST(LdCArithmeticNumberFormatterTest, ParsingKeepsTheLastTextsSplitBooking) {
    LdCArithmeticNumberFormatter formatter(
            LdCNumberFormatter::standardNumberFormatter("en_US_POSIX"));
    EXPECT_EQ(formatter.numberFromString("10+20+30.5"), decimal("60.5"));
    EXPECT_TRUE(formatter.geteilteBuchungErkannt());
    EXPECT_EQ(formatter.getTeilbuchungen().size(), 3U);

    EXPECT_EQ(formatter.numberFromString("3*(2+1)"), decimal("9"));
    EXPECT_FALSE(formatter.geteilteBuchungErkannt());

    EXPECT_EQ(formatter.numberFromString("1/0"), std::nullopt);
    EXPECT_FALSE(formatter.geteilteBuchungErkannt());
}

TEST(LdCArithmeticNumberFormatterTest, GetObjectValueFailsWithDescription) {
    LdCArithmeticNumberFormatter formatter(
            LdCNumberFormatter::standardNumberFormatter("en_US_POSIX"));
    LdDecimal value;
    EXPECT_TRUE(formatter.getObjectValue(&value, "2(3+4)"));
    EXPECT_EQ(value, decimal("14"));

    LdError error;
    EXPECT_FALSE(formatter.getObjectValue(&value, "1/0", &error));
    EXPECT_EQ(error.descriptionKey(), "Can't convert string to number");
    EXPECT_EQ(value, decimal("14"));  // unchanged
}
