#include "core/online/sepa/LdIBANChecker.h"

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "core/support/currency/LdCCountry.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

constexpr const char* kGerman = "DE89370400440532013000";

std::vector<std::string> registryExamples() {
    std::ifstream file(ldTestDataPath("iban/registry-examples.txt"));
    std::vector<std::string> examples;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[0] != '#') {
            examples.push_back(line);
        }
    }
    return examples;
}

// The IBAN of a country with correct check digits for a given account identifier.
std::string withCheckDigits(const std::string& country, const std::string& account) {
    const std::string digits = LdIBANChecker::convertIBAN(country + "00" + account);
    unsigned remainder = 0;
    for (const char digit : digits) {
        remainder = (remainder * 10 + static_cast<unsigned>(digit - '0')) % 97;
    }
    const unsigned check = 98 - remainder;
    return country + static_cast<char>('0' + check / 10) + static_cast<char>('0' + check % 10) +
           account;
}

}  // namespace

TEST(LdIBANCheckerTest, EveryCountryOfTheTableHasAValidRegistryExample) {
    const std::vector<std::string> examples = registryExamples();
    const auto& lengths = LdIBANChecker::ibanCountryCodesToIBANLengthDictionary();
    ASSERT_EQ(lengths.size(), 91U);
    ASSERT_EQ(examples.size(), lengths.size());
    std::set<std::string> covered;
    for (const std::string& example : examples) {
        EXPECT_TRUE(LdIBANChecker::isValidIBAN(example)) << example;
        EXPECT_EQ(lengths.at(example.substr(0, 2)), example.size()) << example;
        covered.insert(example.substr(0, 2));
    }
    EXPECT_EQ(covered.size(), lengths.size());
}

TEST(LdIBANCheckerTest, TableLengthsAndSearchOrder) {
    const auto& lengths = LdIBANChecker::ibanCountryCodesToIBANLengthDictionary();
    EXPECT_EQ(lengths.at("EG"), 29U);
    EXPECT_EQ(lengths.at("DE"), 22U);
    EXPECT_EQ(lengths.at("NO"), 15U);
    EXPECT_EQ(lengths.at("RU"), 33U);
    EXPECT_EQ(LdIBANChecker::minIBANLength(), 15U);
    EXPECT_EQ(LdIBANChecker::maxIBANLength(), 33U);
    EXPECT_FALSE(LdIBANChecker::isValidIBANLength(27, "EG"));
    EXPECT_TRUE(LdIBANChecker::isValidIBANLength(22, "de"));
    EXPECT_FALSE(LdIBANChecker::isValidIBANLength(22, "XX"));

    const std::vector<std::string> order = LdIBANChecker::ibanCountryCodes();
    ASSERT_EQ(order.size(), 91U);
    EXPECT_EQ(order.front(), "DE");
    EXPECT_EQ(order[1], "AL");
    EXPECT_EQ(order[59], "BH");  // the last of the original table
    // The added countries follow alphabetically.
    EXPECT_TRUE(std::is_sorted(order.begin() + 60, order.end()));
    EXPECT_EQ(order[60], "AE");
    EXPECT_EQ(order.back(), "YE");
}

TEST(LdIBANCheckerTest, GroupedGermanIbanIsValidAndEverySingleDigitChangeIsNot) {
    EXPECT_TRUE(LdIBANChecker::isValidIBAN("DE89 3704 0044 0532 0130 00"));
    EXPECT_TRUE(LdIBANChecker::isValidIBAN("de89370400440532013000"));
    const std::string iban = kGerman;
    for (std::size_t index = 2; index < iban.size(); ++index) {
        for (char digit = '0'; digit <= '9'; ++digit) {
            if (digit == iban[index]) {
                continue;
            }
            std::string changed = iban;
            changed[index] = digit;
            EXPECT_FALSE(LdIBANChecker::isValidIBAN(changed)) << changed;
        }
    }
}

TEST(LdIBANCheckerTest, WrongLengthFailsTheFormatBeforeTheCheckDigits) {
    // Correct check digits, but 20 characters where Germany needs 22.
    const std::string shortGerman = withCheckDigits("DE", "3704004405320130");
    ASSERT_EQ(shortGerman.size(), 20U);
    ASSERT_TRUE(LdIBANChecker::isValidModuloValue(LdIBANChecker::convertIBAN(shortGerman)));
    EXPECT_FALSE(LdIBANChecker::isValidIBANFormat(shortGerman));
    EXPECT_FALSE(LdIBANChecker::isValidIBAN(shortGerman));
    // Egypt's old length of 27 no longer passes, its 29 does.
    EXPECT_FALSE(LdIBANChecker::isValidIBAN(withCheckDigits("EG", "00190005000000002631800")));
    EXPECT_TRUE(LdIBANChecker::isValidIBAN(withCheckDigits("EG", "0019000500000000263180002")));
}

TEST(LdIBANCheckerTest, FormatTestChecksCharacterClasses) {
    const std::vector<std::pair<std::string, bool>> cases = {
            {kGerman, true},
            {"D189370400440532013000", false},  // digit in the country code
            {"DEX9370400440532013000", false},  // letter in the check sum
            {"DE8937040044053201300-", false},  // punctuation in the account identifier
            {"GB29NWBK60161331926819", true},   // letters in the account identifier
            {"DE89", false},                    // shorter than 5
            {std::string(35, '1'), false},      // 35 or more
            {"XX89370400440532013000", false},  // unknown country
    };
    for (const auto& [iban, valid] : cases) {
        EXPECT_EQ(LdIBANChecker::isValidIBANFormat(iban), valid) << iban;
    }
}

TEST(LdIBANCheckerTest, PartsConversionAndModulo) {
    const auto parts = LdIBANChecker::ibanParts(kGerman);
    EXPECT_EQ(parts.at("countryCode"), "DE");
    EXPECT_EQ(parts.at("checkSum"), "89");
    EXPECT_EQ(parts.at("accountIdentifier"), "370400440532013000");
    EXPECT_TRUE(LdIBANChecker::ibanParts("DE8").empty());

    EXPECT_EQ(LdIBANChecker::convertIBAN(kGerman), "370400440532013000131489");
    EXPECT_EQ(LdIBANChecker::convertIBAN("GB29NWBK60161331926819"), "2332112060161331926819161129");
    EXPECT_FALSE(LdIBANChecker::isValidModuloValue("1"));
    EXPECT_FALSE(LdIBANChecker::isValidModuloValue(""));
    EXPECT_TRUE(LdIBANChecker::isValidModuloValue("98"));  // 98 mod 97 is 1
    EXPECT_FALSE(LdIBANChecker::isValidModuloValue("9a"));

    EXPECT_EQ(LdIBANChecker::ibanCountryStringFromIBAN("DE8"), "DE");
    EXPECT_EQ(LdIBANChecker::ibanCountryStringFromIBAN("DE"), std::nullopt);
    EXPECT_EQ(LdIBANChecker::filteredString("DE89\t3704 \n0044\xC2\xA0"
                                            "0532\x01"),
              "DE89370400440532");
}

TEST(LdIBANCheckerTest, BankCodeAndAccountNumber) {
    struct Case {
        const char* iban;
        std::optional<std::string> bank;
        std::optional<std::string> account;
    };
    const std::vector<Case> cases = {
            {"DE89370400440532013000", "37040044", "0532013000"},
            {"DE89 3704 0044 0532 0130 00", "37040044", "0532013000"},
            {"GB29NWBK60161331926819", "NWBK", "31926819"},
            {"IT60X0542811101000000123456", "05428", "000000123456"},
            {"FR1420041010050500013M02606", "20041", "0500013M02606"},
            {"AT611904300234573201", "19043", "00234573201"},
            {"PL61109010140000071219812874", "10901014", "0000071219812874"},
            {"RU0304452522540817810538091310419", "044525225", "810538091310419"},
            {"EE382200221020145685", "22", "221020145685"},
            {"EG380019000500000000263180002", "", "263180002"},
            {"IR081234123412341234123412", "", "123412341234123412"},
            {"DZ3512341234123412341234", "", "1234123412"},
            {"DE8937040044", "37040044", std::nullopt},  // too short for the account
            {"DE89370", std::nullopt, std::nullopt},
            {"EG38", "", std::nullopt},
            {"XX89370400440532013000", std::nullopt, std::nullopt},
    };
    for (const Case& entry : cases) {
        EXPECT_EQ(LdIBANChecker::bankIDFromIBAN(entry.iban), entry.bank) << entry.iban;
        EXPECT_EQ(LdIBANChecker::accountIDFromIBAN(entry.iban), entry.account) << entry.iban;
    }
    const LdCCountry* country = LdIBANChecker::countryFromIBAN("de89370400440532013000");
    ASSERT_NE(country, nullptr);
    EXPECT_EQ(country->isoAlpha2Code, "DE");
    EXPECT_EQ(LdIBANChecker::countryFromIBAN("X"), nullptr);
}

TEST(LdIBANCheckerTest, EmptyTextIsValidAndAnInvalidOneFailsWithAnError) {
    LdError error;
    EXPECT_TRUE(LdIBANChecker::isIBANValid("", &error));
    EXPECT_FALSE(error.isSet());
    EXPECT_TRUE(LdIBANChecker::isIBANValid(kGerman, &error));
    EXPECT_FALSE(error.isSet());
    EXPECT_FALSE(LdIBANChecker::isIBANValid("DE89370400440532013001", &error));
    EXPECT_TRUE(error.isSet());
    EXPECT_EQ(error.domain(), LedraErrorDomain);
    EXPECT_FALSE(LdIBANChecker::isIBANValid("DE00"));  // no error asked for
}

TEST(LdIBANCheckerTest, SearchFindsLowerCaseGroupedIbansInPurposeTexts) {
    const std::string purpose = "Miete Januar IBAN de89 3704 0044 0532 0130 00 vielen Dank";
    EXPECT_EQ(LdIBANChecker::findAnyValidIBANInString(purpose), kGerman);
    EXPECT_EQ(LdIBANChecker::findAllValidIBANsInString(purpose), std::vector<std::string>{kGerman});
}

TEST(LdIBANCheckerTest, SearchVisitsCountriesInOrderThenPositions) {
    const std::string text =
            "to GB29 NWBK 6016 1331 9268 19, from DE89370400440532013000\n"
            "and AT611904300234573201; bad DE89370400440532013001";
    EXPECT_EQ(
            LdIBANChecker::findAllValidIBANsInString(text),
            (std::vector<std::string>{kGerman, "AT611904300234573201", "GB29NWBK60161331926819"}));
    EXPECT_EQ(LdIBANChecker::findAnyValidIBANInString(text), kGerman);

    // A country code that also starts the text before the IBAN is searched on from the next
    // character.
    EXPECT_EQ(LdIBANChecker::findAnyValidIBANInString("DEDE89370400440532013000"), kGerman);
    EXPECT_EQ(LdIBANChecker::findAnyValidIBANInString("no IBAN in here at all"), std::nullopt);
    EXPECT_TRUE(LdIBANChecker::findAllValidIBANsInString("short").empty());
    EXPECT_TRUE(LdIBANChecker::findAllValidIBANsInString("").empty());
}
