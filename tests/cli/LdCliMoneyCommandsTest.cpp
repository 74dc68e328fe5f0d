// `ledra iban`, `ledra bic`, `ledra calc` and `ledra currency`, run in-process.
#include <cstdlib>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/LdCommandLine.h"

namespace {

struct LedraRun {
    int status;
    std::string out;
    std::string err;
};

LedraRun ledra(const std::vector<std::string>& arguments) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const int status = ldRunCommandLine(arguments, {in, out, err, false});
    return {status, out.str(), err.str()};
}

nlohmann::json json(const LedraRun& run) {
    return nlohmann::json::parse(run.out, nullptr, /*allow_exceptions=*/false);
}

// Runs with a locale environment and restores it.
class ScopedLocaleEnvironment {
public:
    explicit ScopedLocaleEnvironment(const char* lcAll) {
        for (const char* name : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(
                    name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
        if (lcAll != nullptr) {
            ::setenv("LC_ALL", lcAll, 1);
        }
    }
    ~ScopedLocaleEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name, value->c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
    }
    ScopedLocaleEnvironment(const ScopedLocaleEnvironment&) = delete;
    ScopedLocaleEnvironment& operator=(const ScopedLocaleEnvironment&) = delete;

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(LdCliMoneyCommandsTest, IbanCheckExitsWithValidityAndTwoForUsage) {
    const LedraRun valid = ledra({"iban", "check", "DE89 3704 0044 0532 0130 00"});
    EXPECT_EQ(valid.status, 0);
    EXPECT_EQ(valid.out,
              "DE89 3704 0044 0532 0130 00: valid (Germany, bank code 37040044, account number "
              "0532013000)\n");

    const LedraRun invalid = ledra({"iban", "check", "DE89370400440532013001"});
    EXPECT_EQ(invalid.status, 1);
    EXPECT_NE(invalid.out.find("check digits"), std::string::npos) << invalid.out;

    const LedraRun wrongLength = ledra({"--json", "iban", "check", "DE8937040044053201300"});
    EXPECT_EQ(wrongLength.status, 1);
    EXPECT_EQ(json(wrongLength)["valid"], false);
    EXPECT_NE(json(wrongLength)["reason"].get<std::string>().find("22"), std::string::npos);

    EXPECT_EQ(ledra({"iban", "check"}).status, 2);
    EXPECT_EQ(ledra({"bic", "check"}).status, 2);

    const nlohmann::json egypt =
            json(ledra({"iban", "check", "EG380019000500000000263180002", "--json"}));
    EXPECT_EQ(egypt["valid"], true);
    EXPECT_EQ(egypt["bank_code"], "");
    EXPECT_EQ(egypt["account_number"], "263180002");
}

TEST(LdCliMoneyCommandsTest, IbanFormatFindAndBicCheck) {
    EXPECT_EQ(ledra({"iban", "format", "de89370400440532013000"}).out,
              "de89 3704 0044 0532 0130 00\n");

    const LedraRun found =
            ledra({"iban", "find",
                   "Rent GB29 NWBK 6016 1331 9268 19, from iban de89 3704 0044 0532 0130 00"});
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(found.out, "DE89370400440532013000\nGB29NWBK60161331926819\n");
    const LedraRun none = ledra({"--json", "iban", "find", "no account number in here"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(json(none)["ibans"], nlohmann::json::array());

    EXPECT_EQ(ledra({"bic", "check", "DEUTDEFF500"}).out, "DEUTDEFF500: valid (country DE)\n");
    const LedraRun badBic = ledra({"bic", "check", "DEUTXXFF"});
    EXPECT_EQ(badBic.status, 1);
    EXPECT_NE(badBic.out.find("XX"), std::string::npos);
}

TEST(LdCliMoneyCommandsTest, CalcPrintsResultSplitAndPartsAsInvariantJson) {
    const ScopedLocaleEnvironment environment("C");
    const LedraRun split = ledra({"calc", "--json", "10+20+30.5"});
    EXPECT_EQ(split.status, 0);
    EXPECT_EQ(json(split), nlohmann::json::parse(R"({"result": "60.5", "split": true,
                                                     "parts": ["10", "20", "30.5"]})"));

    const LedraRun negative = ledra({"calc", "--json", "--", "-(10+5)"});
    EXPECT_EQ(negative.status, 0) << negative.err;
    EXPECT_EQ(json(negative)["result"], "-15");
    EXPECT_EQ(json(negative)["parts"], nlohmann::json::parse(R"(["-10", "-5"])"));

    EXPECT_EQ(ledra({"calc", "3*(2+1)"}).out, "result: 9\nsplit booking: no\nparts: 3; 2; 1\n");
    EXPECT_EQ(json(ledra({"calc", "--json", "1/0.5"}))["result"], "2");

    const LedraRun notANumber = ledra({"calc", "1/0"});
    EXPECT_EQ(notANumber.status, 1);
    EXPECT_TRUE(notANumber.out.empty());
    EXPECT_NE(notANumber.err.find("not a number"), std::string::npos);
}

TEST(LdCliMoneyCommandsTest, CalcReadsTheLocaleFromOptionOrEnvironment) {
    {
        const ScopedLocaleEnvironment environment("de_DE.UTF-8");
        const LedraRun german = ledra({"calc", "--json", "1.234,5+0,5"});
        EXPECT_EQ(json(german)["result"], "1235");
        EXPECT_EQ(json(german)["parts"], nlohmann::json::parse(R"(["1234.5", "0.5"])"));
    }
    const ScopedLocaleEnvironment environment(nullptr);
    EXPECT_EQ(json(ledra({"calc", "--json", "--locale", "de_DE", "10,5*2"}))["result"], "21");
    EXPECT_EQ(json(ledra({"calc", "--json", "10.5*2"}))["result"], "21");
    EXPECT_EQ(ledra({"calc", "--locale", "qq_ZZ", "1"}).status, 1);
}

TEST(LdCliMoneyCommandsTest, CalcRoundsToTheCurrency) {
    const ScopedLocaleEnvironment environment("C");
    const nlohmann::json dinar = json(ledra({"calc", "--json", "--currency", "kwd", "2.3455+1"}));
    EXPECT_EQ(dinar["result"], "3.346");
    EXPECT_EQ(dinar["currency"], "KWD");
    EXPECT_EQ(json(ledra({"calc", "--json", "--currency", "EUR", "2.345"}))["result"], "2.35");
    EXPECT_EQ(json(ledra({"calc", "--json", "--currency", "LTL", "1"}))["currency"], "EUR");
    EXPECT_EQ(ledra({"calc", "--currency", "XYZ", "1"}).status, 1);
}

TEST(LdCliMoneyCommandsTest, CurrencyShowAndList) {
    const ScopedLocaleEnvironment environment("C");
    const LedraRun euro = ledra({"currency", "show", "eur", "--json"});
    EXPECT_EQ(euro.status, 0);
    EXPECT_EQ(json(euro), nlohmann::json::parse(R"({"iso_code": "EUR", "iso_num": 978,
        "name": "Euro", "symbol": "€", "subunit_division": 100})"));
    EXPECT_EQ(json(ledra({"currency", "show", "IQD", "--json"}))["subunit_division"], 1000);

    const LedraRun replaced = ledra({"currency", "show", "LTL", "--json"});
    EXPECT_EQ(json(replaced)["iso_code"], "EUR");
    EXPECT_NE(replaced.err.find("LTL was replaced by EUR"), std::string::npos);
    EXPECT_EQ(ledra({"currency", "show", "XYZ"}).status, 1);

    EXPECT_EQ(json(ledra({"currency", "show", "USD", "--json", "--locale", "de_DE"}))["name"],
              "US-Dollar");

    const nlohmann::json list = json(ledra({"currency", "list", "--json"}));
    ASSERT_TRUE(list.is_array());
    EXPECT_GT(list.size(), 140U);
    EXPECT_EQ(list.front()["iso_code"], "AED");
}
