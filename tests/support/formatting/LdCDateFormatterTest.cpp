#include "core/support/formatting/LdCDateFormatter.h"

#include <gtest/gtest.h>

#include "core/support/formatting/LdLocale.h"

namespace {

// 2024-03-05 10:20:30 UTC.
constexpr LdDate kMoment = LdDate::fromUnixSeconds(1709634030.0);

}  // namespace

TEST(LdCDateFormatterTest, FixedFormatsWriteAndReadBack) {
    struct Case {
        LdCDateFormatter formatter;
        const char* text;
        LdDate readBack;
    };
    const LdDate day = LdDate::fromUnixSeconds(1709596800.0);  // 2024-03-05 00:00 UTC
    const std::vector<Case> cases = {
            {LdCDateFormatter::standardHBCIDateFormatter(), "20240305", day},
            {LdCDateFormatter::standardSEPADateFormatter(), "2024-03-05", day},
            {LdCDateFormatter::standardSEPADateTimeFormatter(), "2024-03-05T10:20:30Z", kMoment},
            {LdCDateFormatter::createStandard_US_Formatter(), "3/5/2024", day},
    };
    for (const Case& entry : cases) {
        EXPECT_EQ(entry.formatter.stringFromDate(kMoment), entry.text);
        const auto read = entry.formatter.dateFromString(entry.text);
        ASSERT_TRUE(read.has_value()) << entry.text;
        EXPECT_EQ(read->unixSeconds(), entry.readBack.unixSeconds()) << entry.text;
    }
}

TEST(LdCDateFormatterTest, SEPADateTimeShowsTheOffsetOfItsZone) {
    const LdCDateFormatter berlin("yyyy-MM-dd'T'HH:mm:ssZZZZZ", "de_DE", "Europe/Berlin");
    EXPECT_EQ(berlin.stringFromDate(kMoment), "2024-03-05T11:20:30+01:00");
    const auto read = LdCDateFormatter::standardSEPADateTimeFormatter().dateFromString(
            "2024-03-05T11:20:30+01:00");
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->unixSeconds(), kMoment.unixSeconds());
}

TEST(LdCDateFormatterTest, ReadingRefusesInvalidAndPartialDates) {
    const LdCDateFormatter sepa = LdCDateFormatter::standardSEPADateFormatter();
    for (const char* text : {"2024-13-05", "2024-02-30", "2024-03-05x", "", "05.03.2024"}) {
        EXPECT_FALSE(sepa.dateFromString(text).has_value()) << text;
    }
}

TEST(LdCDateFormatterTest, LocaleFormattersFollowTheCurrentLocale) {
    LdLocale::setCurrentLocaleIdentifier("de_DE");
    EXPECT_EQ(LdCDateFormatter::standardDateFormatter().stringFromDate(kMoment), "05.03.2024");
    EXPECT_EQ(LdCDateFormatter::standardDateFormatterWithShortTime().stringFromDate(kMoment),
              "05.03.2024, 10:20");
    EXPECT_EQ(LdCDateFormatter::standardDateFormatterWithFullDate().stringFromDate(kMoment),
              "Dienstag, 5. März 2024");
    LdLocale::setCurrentLocaleIdentifier("en_US");
    EXPECT_EQ(LdCDateFormatter::standardDateFormatter().stringFromDate(kMoment), "Mar 5, 2024");
    LdLocale::setCurrentLocaleIdentifier("");
}
