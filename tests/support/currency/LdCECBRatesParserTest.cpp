#include "core/support/currency/LdCECBRatesParser.h"

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "tests/testutil/LdTestUtil.h"

namespace {

LdData bytes(const std::string& text) {
    return LdData(text.begin(), text.end());
}

LdDecimal decimal(const char* text) {
    return LdDecimal::fromString(text).value();
}

// A minimal daily file around the given rate elements.
LdData dailyFile(const std::string& cubes, const std::string& day = "2024-03-15") {
    return bytes("<Envelope><Cube><Cube time=\"" + day + "\">" + cubes +
                 "</Cube></Cube></Envelope>");
}

std::optional<LdCECBRatesParser::Rates> readSample(const std::string& name, LdError* error) {
    return LdCECBRatesParser::ratesWithData(ldReadFile(ldTestDataPath("currency/" + name)), error);
}

}  // namespace

TEST(LdCECBRatesParserTest, ReadsDailyFileWithSingleQuotedAttributes) {
    LdError error;
    const auto rates = readSample("ecb-daily.xml", &error);
    ASSERT_TRUE(rates) << error;
    EXPECT_EQ(rates->day.year, 2024);
    EXPECT_EQ(rates->day.month, 3);
    EXPECT_EQ(rates->day.day, 15);
    // 2024-03-15 00:00 UTC is 1710460800 Unix seconds.
    EXPECT_EQ(rates->date.unixSeconds(), 1710460800.0);
    EXPECT_EQ(rates->rates.size(), 13U);
    EXPECT_EQ(rates->rates.at("USD").toString(), "1.0892");
    EXPECT_EQ(rates->rates.at("IDR").toString(), "17038.36");
    EXPECT_EQ(rates->rates.at("GBP"), decimal("0.85520"));
}

TEST(LdCECBRatesParserTest, ReadsDoubleAndMixedQuotesAndLeapDay) {
    LdError error;
    const auto rates = readSample("ecb-daily-double-quotes.xml", &error);
    ASSERT_TRUE(rates) << error;
    EXPECT_EQ(rates->day.month, 2);
    EXPECT_EQ(rates->day.day, 29);
    EXPECT_EQ(rates->rates.size(), 3U);
    EXPECT_EQ(rates->rates.at("JPY"), decimal("162.47"));
    EXPECT_EQ(rates->rates.at("GBP"), decimal("0.85643"));
}

TEST(LdCECBRatesParserTest, MalformedSampleFilesFailWithError) {
    const std::pair<const char*, const char*> kCases[] = {
            {"ecb-missing-day.xml", "The exchange-rate file names no day."},
            {"ecb-bad-day.xml", "The day of the exchange-rate file is no YYYY-MM-DD date."},
            {"ecb-lower-case-currency.xml",
             "The exchange-rate file holds an invalid currency code."},
            {"ecb-negative-rate.xml", "The exchange-rate file holds an invalid rate."},
            {"ecb-missing-rate.xml", "The exchange-rate file holds an invalid rate."},
            {"ecb-two-days.xml", "The exchange-rate file holds more than one day."},
            {"ecb-truncated.xml", "The exchange-rate file is no well-formed XML."},
            {"ecb-external-entity.xml", "The exchange-rate file declares entities."},
            {"ecb-entity-expansion.xml", "The exchange-rate file declares entities."},
    };
    for (const auto& [name, description] : kCases) {
        LdError error;
        EXPECT_FALSE(readSample(name, &error)) << name;
        EXPECT_EQ(error.localizedDescription(), description) << name;
    }
}

TEST(LdCECBRatesParserTest, RejectsInvalidRateTexts) {
    for (const char* rate : {"", "0", "0.000", "-1", "+1", "1e3", "1.2.3", ".", " 1.2", "1,2",
                             "NaN", "1.23456789012345678901234567890123456789012"}) {
        const LdData file =
                dailyFile(std::string("<Cube currency=\"USD\" rate=\"") + rate + "\"/>");
        EXPECT_FALSE(LdCECBRatesParser::ratesWithData(file)) << rate;
    }
    for (const char* rate : {"1", ".5", "5.", "0.0001", "123456.789"}) {
        const LdData file =
                dailyFile(std::string("<Cube currency=\"USD\" rate=\"") + rate + "\"/>");
        const auto rates = LdCECBRatesParser::ratesWithData(file);
        ASSERT_TRUE(rates) << rate;
        EXPECT_EQ(rates->rates.at("USD"), decimal(rate));
    }
}

TEST(LdCECBRatesParserTest, RejectsInvalidCurrencyCodesAndDuplicates) {
    for (const char* code : {"US", "USDX", "UsD", "EUR", "U1D", ""}) {
        const LdData file =
                dailyFile(std::string("<Cube currency=\"") + code + "\" rate=\"1.5\"/>");
        EXPECT_FALSE(LdCECBRatesParser::ratesWithData(file)) << code;
    }
    EXPECT_FALSE(LdCECBRatesParser::ratesWithData(dailyFile(
            "<Cube currency=\"USD\" rate=\"1.5\"/><Cube currency=\"USD\" rate=\"1.6\"/>")));
}

TEST(LdCECBRatesParserTest, RejectsInvalidDays) {
    for (const char* day : {"2023-02-29", "2024-13-01", "2024-00-10", "2024-04-31", "24-03-15",
                            "2024/03/15", "2024-3-15", "0000-01-01", ""}) {
        EXPECT_FALSE(LdCECBRatesParser::ratesWithData(
                dailyFile("<Cube currency=\"USD\" rate=\"1.5\"/>", day)))
                << day;
    }
}

TEST(LdCECBRatesParserTest, RejectsEmptyOversizedAndRatelessFiles) {
    LdError error;
    EXPECT_FALSE(LdCECBRatesParser::ratesWithData(LdData(), &error));
    EXPECT_TRUE(error.isSet());
    EXPECT_FALSE(LdCECBRatesParser::ratesWithData(dailyFile("")));
    // A rate outside the day's element belongs to no day.
    EXPECT_FALSE(LdCECBRatesParser::ratesWithData(bytes(
            "<Cube><Cube time=\"2024-03-15\"/><Cube currency=\"USD\" rate=\"1.5\"/></Cube>")));

    std::string large = "<Cube><Cube time=\"2024-03-15\"><Cube currency=\"USD\" rate=\"1.5\"/>";
    large += std::string(LdCECBRatesParser::kMaxDataSize, ' ');
    large += "</Cube></Cube>";
    EXPECT_FALSE(LdCECBRatesParser::ratesWithData(bytes(large)));
}

class LdCECBRatesParserCrossRateTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto read = LdCECBRatesParser::ratesWithData(dailyFile(
                "<Cube currency=\"USD\" rate=\"1.25\"/><Cube currency=\"GBP\" rate=\"0.8\"/>"
                "<Cube currency=\"JPY\" rate=\"3\"/>"));
        ASSERT_TRUE(read);
        rates_ = *read;
    }

    LdCECBRatesParser::Rates rates_;
};

TEST_F(LdCECBRatesParserCrossRateTest, EuroPairsComeFromTheFile) {
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "EUR", "USD"), decimal("1.25"));
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "USD", "EUR"), decimal("0.8"));
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "EUR", "EUR"), LdDecimal::one());
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "GBP", "GBP"), LdDecimal::one());
}

TEST_F(LdCECBRatesParserCrossRateTest, OtherPairsCrossThroughTheEuro) {
    // 1 GBP = 1/0.8 EUR = 1.25/0.8 USD.
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "GBP", "USD"), decimal("1.5625"));
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "USD", "GBP"), decimal("0.64"));
    // 38 significant digits, rounded half away from zero.
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "JPY", "EUR"),
              decimal("0.33333333333333333333333333333333333333"));
    EXPECT_EQ(LdCECBRatesParser::crossRate(rates_, "GBP", "JPY"), decimal("3.75"));
}

TEST_F(LdCECBRatesParserCrossRateTest, MissingCurrencyHasNoRate) {
    EXPECT_FALSE(LdCECBRatesParser::crossRate(rates_, "CHF", "USD"));
    EXPECT_FALSE(LdCECBRatesParser::crossRate(rates_, "USD", "CHF"));
    EXPECT_FALSE(LdCECBRatesParser::crossRate(rates_, "CHF", "CHF"));
    EXPECT_FALSE(LdCECBRatesParser::crossRate(rates_, "", "USD"));
}
