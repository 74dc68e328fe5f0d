#include "core/support/LdError.h"

#include <gtest/gtest.h>

#include "core/support/LdLogger.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdClock.h"
#include "core/support/plist/LdKeyedArchive.h"

class LdErrorTest : public ::testing::Test {
protected:
    void SetUp() override { LdLogger::shared().clearErrors(); }
    LdManualClock clock_{LdDate::fromReferenceSeconds(1000.0)};
    LdScopedClock scopedClock_{clock_};
};

TEST_F(LdErrorTest, FactoryFillsDomainCodeTextsDateAndLogsTheError) {
    const LdError error = LdError::errorWithTitle("_ERROR", "_UNEXPECTED_ERROR");

    EXPECT_EQ(error.domain(), "LedraErrorDomain");
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(error.title(), LdStrings::localizedString("_ERROR"));
    EXPECT_EQ(error.localizedDescription(), LdStrings::localizedString("_UNEXPECTED_ERROR"));
    EXPECT_EQ(error.descriptionKey(), "_UNEXPECTED_ERROR");
    EXPECT_EQ(error.date(), clock_.now());
    EXPECT_FALSE(error.backtraceAddresses().empty());
    ASSERT_EQ(LdLogger::shared().errorCount(), 1U);
    EXPECT_EQ(LdLogger::shared().errors().front().descriptionKey(), "_UNEXPECTED_ERROR");
}

TEST_F(LdErrorTest, EmptyTitleMeansErrorTextAndEmptyDescriptionStaysEmpty) {
    const LdError error = LdError::errorWithTitle("", "");
    EXPECT_EQ(error.title(), LdStrings::localizedString("_ERROR"));
    EXPECT_EQ(error.localizedDescription(), "");
    EXPECT_EQ(error.description(), "LdError:\n" + error.title() + "\n");
}

TEST_F(LdErrorTest, DomainCodeAndExtraUserInfoAreKept) {
    const LdError withDomain = LdError::errorWithTitle("T", "D", "FinTSErrorDomain", 3072);
    EXPECT_EQ(withDomain.domain(), "FinTSErrorDomain");
    EXPECT_EQ(withDomain.code(), 3072);

    const LdError withInfo = LdError::errorWithTitle("T", "D", 7, {{"account", LdValue("A-1")}});
    EXPECT_EQ(withInfo.domain(), "LedraErrorDomain");
    EXPECT_EQ(withInfo.code(), 7);
    EXPECT_EQ(withInfo.userInfo().at("account").stringValue(), "A-1");
    EXPECT_EQ(withInfo.title(), "T");
}

TEST_F(LdErrorTest, HttpStatusBelow400GivesNoError) {
    EXPECT_EQ(LdError::errorFromURLResponse(200), nullptr);
    EXPECT_EQ(LdError::errorFromURLResponse(399), nullptr);
    for (const int status : {400, 503}) {
        const auto error = LdError::errorFromURLResponse(status);
        ASSERT_NE(error, nullptr);
        EXPECT_NE(error->localizedDescription().find(std::to_string(status)), std::string::npos)
                << error->localizedDescription();
        EXPECT_EQ(error->titleKey(), "_ERROR_COULD_NOT_PERFORM_REQUEST");
    }
}

TEST_F(LdErrorTest, ErrorTextJoinsReasonsAndDescriptions) {
    const LdError one = LdError::errorWithTitle("Reason", "Description");
    EXPECT_EQ(LdError::errorTextFromErrors({one}), "Reason\nDescription");

    const LdError noDescription = LdError::errorWithTitle("Other", "");
    EXPECT_EQ(LdError::errorTextFromErrors({one, noDescription}),
              "Reason\nDescription\nOther");
    EXPECT_EQ(LdError::errorTextFromErrors({}), "");
}

TEST_F(LdErrorTest, LogDescriptionHasTheFixedPartsInOrder) {
    LdError error = LdError::errorWithTitle("Title", "Text", "SomeDomain", 1);
    error.addDebugInfo("file", LdValue("a.qif"));
    const std::string text = error.logDescription();

    // 1000 s after the reference date in UTC: 01.01.2001 00:16:40.
    EXPECT_EQ(text.rfind("----  01.01.2001 00:16:40.0000 ----\n   Title: Title", 0), 0U) << text;
    const auto domain = text.find("\n   Domain: SomeDomain");
    const auto description = text.find("\n   Description: Text");
    const auto debugInfos = text.find("\n   DebugInfos: ");
    const auto backtrace = text.find("\n   Backtrace: ");
    EXPECT_LT(domain, description);
    EXPECT_LT(description, debugInfos);
    EXPECT_LT(debugInfos, backtrace);
    EXPECT_NE(backtrace, std::string::npos);
}

TEST_F(LdErrorTest, FailWithStoresOnlyWhenAskedAndReturnsFalse) {
    EXPECT_FALSE(failWith(nullptr, LdError::unexpectedError()));
    LdError error;
    EXPECT_FALSE(error.isSet());
    EXPECT_FALSE(failWith(&error, LdError::unexpectedError()));
    EXPECT_TRUE(error.isSet());
    EXPECT_EQ(error.descriptionKey(), "_UNEXPECTED_ERROR");
}

TEST_F(LdErrorTest, UnderlyingErrorSurvivesCopies) {
    LdError outer = LdError::errorWithTitle("Outer", "");
    outer.setUnderlyingError(LdError::errorWithTitle("Inner", "Cause"));
    const LdError copy = outer;
    ASSERT_NE(copy.underlyingError(), nullptr);
    EXPECT_EQ(copy.underlyingError()->title(), "Inner");
}

TEST_F(LdErrorTest, ArchivedErrorKeepsDomainCodeUserInfoDateDebugInfosAndCause) {
    LdError error = LdError::errorWithTitle("Title", "Text", "FinTSErrorDomain", 9050);
    error.addDebugInfo("segment", LdValue("HIRMS"));
    error.setUnderlyingError(LdError::errorWithTitle("Inner", "Cause"));

    const auto data = LdKeyedArchiver::archivedDataWithRootObject(error.archiveObject());
    ASSERT_TRUE(data.has_value());
    LdError decodeError;
    const auto object = LdKeyedUnarchiver::unarchivedObjectOfClasses(
            {"NSDictionary", "NSArray", "NSDate", kLdErrorArchiveClassName}, *data, &decodeError);
    ASSERT_TRUE(object.has_value()) << decodeError;

    const auto decoded = LdError::errorFromArchiveObject(*object);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->domain(), "FinTSErrorDomain");
    EXPECT_EQ(decoded->code(), 9050);
    EXPECT_EQ(decoded->title(), "Title");
    EXPECT_EQ(decoded->localizedDescription(), "Text");
    EXPECT_EQ(decoded->date(), error.date());
    EXPECT_EQ(decoded->debugInfos(), error.debugInfos());
    ASSERT_NE(decoded->underlyingError(), nullptr);
    EXPECT_EQ(decoded->underlyingError()->localizedDescription(), "Cause");

    EXPECT_FALSE(LdError::errorFromArchiveObject(LdValue::dictionary({{"NSDomain", "x"}})));
}
