#include "core/online/sepa/LdBICChecker.h"

#include <gtest/gtest.h>

TEST(LdBICCheckerTest, LayoutOfEightAndElevenCharacters) {
    const std::vector<std::pair<const char*, bool>> cases = {
            {"DEUTDEFF", true},      {"DEUTDEFF500", true},
            {"deutdeff", true},       // upper-cased before the tests
            {"MARKDEF1100", true},    // digits in location and branch
            {"DEUTDEF", false},       // 7 characters
            {"DEUTDEFF5", false},     // 9 characters
            {"DEUTDEFF5000", false},  // 12 characters
            {"DEU1DEFF", false},      // digit in the bank code
            {"DEUTXXFF", false},      // country outside the list
            {"DEUTDEF!", false},      // location alphabet
            {"DEUTDEFF50!", false},   // branch alphabet
            {"DEUTDEFF50_", false},  {"", false},
    };
    for (const auto& [bic, valid] : cases) {
        EXPECT_EQ(LdBICChecker::isValidBIC(bic), valid) << bic;
    }
}

TEST(LdBICCheckerTest, AcceptedCountryCodes) {
    const auto& codes = LdBICChecker::getValidCountryCode();
    EXPECT_EQ(codes.size(), 261U);
    // The codes added to the historic list, and some historic ones that are no countries today.
    for (const char* code : {"BQ", "CW", "CX", "SS", "SX", "XK", "YU", "AN", "EU", "FX", "IC"}) {
        EXPECT_EQ(codes.count(code), 1U) << code;
        EXPECT_TRUE(LdBICChecker::isValidBIC(std::string("BANK") + code + "22")) << code;
    }
    for (const char* code : {"XX", "ZZ", "QQ", "OO"}) {
        EXPECT_FALSE(LdBICChecker::isValidCountryCode(std::string("BANK") + code + "22")) << code;
    }
}

TEST(LdBICCheckerTest, PartsOfABic) {
    EXPECT_TRUE(LdBICChecker::isValidBankCode("deut"));
    EXPECT_FALSE(LdBICChecker::isValidBankCode("DEU"));
    EXPECT_TRUE(LdBICChecker::isValidCountryCode("DEUTde"));
    EXPECT_TRUE(LdBICChecker::isValidLocationCode("DEUTDEff"));
    EXPECT_FALSE(LdBICChecker::isValidBranchCode("DEUTDEFF"));
    EXPECT_EQ(LdBICChecker::countryCodeFromBIC("deutdeff"), "DE");
    EXPECT_EQ(LdBICChecker::countryCodeFromBIC("DEUTDEF"), std::nullopt);
}

TEST(LdBICCheckerTest, EmptyTextIsValidAndAnInvalidOneFailsWithAnError) {
    LdError error;
    EXPECT_TRUE(LdBICChecker::isBICValid("", &error));
    EXPECT_FALSE(error.isSet());
    EXPECT_FALSE(LdBICChecker::isBICValid("DEUTXXFF", &error));
    EXPECT_TRUE(error.isSet());
}
