#include "core/support/formatting/LdCNumberFormatter.h"

#include <gtest/gtest.h>

#include "core/support/currency/LdCCurrency.h"

namespace {

LdDecimal decimal(const char* text) {
    return LdDecimal::fromString(text).value_or(LdDecimal::notANumber());
}

LdCCurrency currency(const char* code, std::uint32_t division) {
    LdCCurrency result;
    result.iso_code = code;
    result.subunit_division = division;
    return result;
}

}  // namespace

TEST(LdCNumberFormatterTest, StandardFormattersShowSeparatorsAndFractionDigits) {
    const LdCCurrency euro = currency("EUR", 100);
    const LdCCurrency dinar = currency("KWD", 1000);
    struct Case {
        LdCNumberFormatter formatter;
        const char* number;
        const char* text;
    };
    const std::vector<Case> cases = {
            {LdCNumberFormatter::standardNumberFormatter("en_US"), "1234.5", "1,234.50"},
            {LdCNumberFormatter::standardNumberFormatter("de_DE"), "1234.5", "1.234,50"},
            {LdCNumberFormatter::standardNumberFormatter("en_US_POSIX"), "-0.5", "-0.50"},
            {LdCNumberFormatter::standardNumberFormatter("de_DE"), "2.345", "2,35"},
            {LdCNumberFormatter::standardNumberFormatter("de_DE"), "-2.345", "-2,35"},
            {LdCNumberFormatter::standardNumberFormatterForCurrency(&euro, "de_DE"), "7", "7,00"},
            {LdCNumberFormatter::standardNumberFormatterForCurrency(&dinar, "en_US"), "2.3455",
             "2.346"},
            {LdCNumberFormatter::standardNumberFormatterForCurrency(&dinar, "en_US"), "7", "7.000"},
            {LdCNumberFormatter::standardNumberFormatterForCurrency(nullptr, "en_US"), "7", "7.00"},
            {LdCNumberFormatter::standard_US_Formatter(), "1234567.891", "1,234,567.89"},
            {LdCNumberFormatter::standard_German_Formatter(), "1234567.891", "1.234.567,89"},
            {LdCNumberFormatter::standard_HBCI_Formatter(), "12", "12,"},
            {LdCNumberFormatter::standard_HBCI_Formatter(), "12.5", "12,5"},
            {LdCNumberFormatter::standard_HBCI_Formatter(), "1234.567", "1234,57"},
            {LdCNumberFormatter::standard_US_Formatter(), "0.005", "0.01"},
            {LdCNumberFormatter::standard_US_Formatter(), "12345678901234567890123456789012345678",
             "12,345,678,901,234,567,890,123,456,789,012,345,678.00"},
            {LdCNumberFormatter::standard_US_Formatter(), "NaN", "NaN"},
    };
    for (const Case& entry : cases) {
        EXPECT_EQ(entry.formatter.stringFromNumber(decimal(entry.number)), entry.text)
                << entry.number;
    }
}

TEST(LdCNumberFormatterTest, StockSharesShowUpToEightPlaces) {
    LdCNumberFormatter formatter = LdCNumberFormatter::stockSharesQuantityFormatter();
    formatter.setLocaleIdentifier("en_US");
    EXPECT_EQ(formatter.minimumFractionDigits(), 0);
    EXPECT_EQ(formatter.maximumFractionDigits(), 8);
    EXPECT_EQ(formatter.stringFromNumber(decimal("1.123456789")), "1.12345679");
    EXPECT_EQ(formatter.stringFromNumber(decimal("10")), "10");
}

TEST(LdCNumberFormatterTest, ReadingIsExactAndNeedsTheWholeText) {
    const LdCNumberFormatter us = LdCNumberFormatter::standardNumberFormatter("en_US");
    const LdCNumberFormatter german = LdCNumberFormatter::standardNumberFormatter("de_DE");
    struct Case {
        const LdCNumberFormatter& formatter;
        const char* text;
        std::optional<LdDecimal> number;
    };
    const std::vector<Case> cases = {
            {us, "1,234.56", decimal("1234.56")},
            {us, "+5", decimal("5")},
            {us, " 12.5 ", decimal("12.5")},
            {us, "", LdDecimal::zero()},
            {us, "0.1", decimal("0.1")},
            {us, "-7.25", decimal("-7.25")},
            {us, "12345678901234567890.123456789", decimal("12345678901234567890.123456789")},
            {us, "abc", std::nullopt},
            {us, "12abc", std::nullopt},
            {us, "++5", std::nullopt},
            {us, "NaN", std::nullopt},
            {german, "1.234,56", decimal("1234.56")},
            {german, "0,005", decimal("0.005")},
    };
    for (const Case& entry : cases) {
        EXPECT_EQ(entry.formatter.numberFromString(entry.text), entry.number) << entry.text;
    }
}

TEST(LdCNumberFormatterTest, RoundingBehavioursFollowTheCurrencysSubunits) {
    const LdCCurrency euro = currency("EUR", 100);
    const LdCCurrency dinar = currency("KWD", 1000);
    const LdCNumberHandler& twoPlaces =
            LdCNumberFormatter::standardLedraNumberHandlerForCurrency(&euro);
    const LdCNumberHandler& threePlaces =
            LdCNumberFormatter::standardLedraNumberHandlerForCurrency(&dinar);
    EXPECT_EQ(twoPlaces.roundedNumber(decimal("2.345")), decimal("2.35"));
    EXPECT_EQ(twoPlaces.roundedNumber(decimal("-2.345")), decimal("-2.35"));
    EXPECT_EQ(threePlaces.roundedNumber(decimal("2.345")), decimal("2.345"));
    EXPECT_EQ(threePlaces.roundedNumber(decimal("2.3455")), decimal("2.346"));
    // Shared instances.
    EXPECT_EQ(&twoPlaces, &LdCNumberFormatter::standardLedraNumberHandler());
    EXPECT_EQ(&LdCNumberFormatter::standardLedraNumberHandlerForCurrency(nullptr), &twoPlaces);
}

TEST(LdCNumberFormatterTest, CopiesAreIndependent) {
    LdCNumberFormatter original = LdCNumberFormatter::standard_US_Formatter();
    LdCNumberFormatter copy = original;
    copy.setDecimalSeparator(",");
    copy.setGroupingSeparator(".");
    EXPECT_EQ(original.stringFromNumber(decimal("1234.5")), "1,234.50");
    EXPECT_EQ(copy.stringFromNumber(decimal("1234.5")), "1.234,50");
    EXPECT_EQ(copy.numberFromString("1.234,5"), decimal("1234.5"));
}
