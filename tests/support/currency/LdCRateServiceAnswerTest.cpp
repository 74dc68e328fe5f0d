#include "core/support/currency/LdCRateServiceAnswer.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/support/plist/LdPropertyList.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

LdDecimal decimal(const char* text) {
    return LdDecimal::fromString(text).value();
}

// The answer's bytes in the binary form, with the given rows as its table.
LdData binaryAnswer(LdValue::Array rows) {
    LdValue answer;
    answer.mutableDictionary()["table"] = LdValue(std::move(rows));
    return LdPropertyList::dataWithPropertyList(answer, LdPropertyList::Format::Binary).value();
}

LdData binaryAnswerWithRate(const LdValue& rate) {
    LdValue row;
    row.mutableDictionary()["rate"] = rate;
    return binaryAnswer({row});
}

}  // namespace

TEST(LdCRateServiceAnswerTest, ReadsRealFromXMLAnswerThroughShortestText) {
    LdError error;
    const auto rate = LdCRateServiceAnswer::rateWithData(
            ldReadFile(ldTestDataPath("currency/rate-answer-real.plist")), &error);
    ASSERT_TRUE(rate) << error;
    EXPECT_EQ(rate->toString(), "0.1");
}

TEST(LdCRateServiceAnswerTest, ReadsRealIntegerAndDecimalTextFromBinaryAnswer) {
    EXPECT_EQ(LdCRateServiceAnswer::rateWithData(binaryAnswerWithRate(LdValue(1.0892))),
              decimal("1.0892"));
    EXPECT_EQ(LdCRateServiceAnswer::rateWithData(binaryAnswerWithRate(LdValue(std::int64_t{162}))),
              decimal("162"));
    const auto text = LdCRateServiceAnswer::rateWithData(
            binaryAnswerWithRate(LdValue(std::string("0.85520000000000000000001"))));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->toString(), "0.85520000000000000000001");
}

TEST(LdCRateServiceAnswerTest, IntegerPastSixtyFourBitsStaysExact) {
    // The binary form's 16-byte integer reads as a decimal.
    LdError error;
    const auto rate = LdCRateServiceAnswer::rateWithData(
            ldReadFile(ldTestDataPath("currency/rate-answer-huge-integer.bplist")), &error);
    ASSERT_TRUE(rate) << error;
    EXPECT_EQ(rate->toString(), "18446744073709551615");
}

TEST(LdCRateServiceAnswerTest, TableWithoutExactlyOneRowFails) {
    LdError error;
    EXPECT_FALSE(LdCRateServiceAnswer::rateWithData(
            ldReadFile(ldTestDataPath("currency/rate-answer-two-rows.plist")), &error));
    EXPECT_TRUE(error.isSet());
    EXPECT_FALSE(LdCRateServiceAnswer::rateWithData(binaryAnswer({})));
}

TEST(LdCRateServiceAnswerTest, MissingZeroNegativeOrNonNumericRateFails) {
    LdValue rowWithoutRate;
    rowWithoutRate.mutableDictionary()["date"] = LdValue(std::string("2024-03-15"));
    EXPECT_FALSE(LdCRateServiceAnswer::rateWithData(binaryAnswer({rowWithoutRate})));
    for (const LdValue& rate :
         {LdValue(0.0), LdValue(-1.5), LdValue(std::int64_t{0}), LdValue(std::string("-2")),
          LdValue(std::string("abc")), LdValue(std::string("NaN")), LdValue(true),
          LdValue(std::numeric_limits<double>::infinity())}) {
        LdError error;
        EXPECT_FALSE(LdCRateServiceAnswer::rateWithData(binaryAnswerWithRate(rate), &error));
        EXPECT_TRUE(error.isSet());
    }
}

TEST(LdCRateServiceAnswerTest, AnswerOfWrongShapeFails) {
    LdError error;
    const std::string garbage = "not a property list";
    EXPECT_FALSE(
            LdCRateServiceAnswer::rateWithData(LdData(garbage.begin(), garbage.end()), &error));
    EXPECT_TRUE(error.isSet());
    // A table that is no array, and a row that is no dictionary.
    LdValue answer;
    answer.mutableDictionary()["table"] = LdValue(std::string("1.5"));
    EXPECT_FALSE(LdCRateServiceAnswer::rateWithPropertyList(answer));
    EXPECT_FALSE(LdCRateServiceAnswer::rateWithPropertyList(LdValue::array({LdValue(1.5)})));
    EXPECT_FALSE(LdCRateServiceAnswer::rateWithData(binaryAnswer({LdValue(1.5)})));
}
