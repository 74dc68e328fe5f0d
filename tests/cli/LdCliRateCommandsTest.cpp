// `ledra rate set`, `get` and `convert` on a database of a temporary folder (no downloads).
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/LdCommandLine.h"
#include "tests/testutil/LdTestUtil.h"

namespace {

struct RateRun {
    int status;
    std::string out;
    std::string err;
};

class LdCliRateCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ledra({"db", "create", "Household"}).status, 0); }

    RateRun ledra(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--databases-folder", (folder_ / "Databases").string(),
                                             "--backups-folder", (folder_ / "Backups").string()});
        std::istringstream in;
        std::ostringstream out;
        std::ostringstream err;
        const int status = ldRunCommandLine(arguments, {in, out, err, false});
        return {status, out.str(), err.str()};
    }

    nlohmann::json json(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "--json");
        const RateRun run = ledra(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        return nlohmann::json::parse(run.out, nullptr, false);
    }

    LdTemporaryFolder folder_;
};

TEST_F(LdCliRateCommandsTest, SetRateIsReadInBothDirectionsOnItsDayOnly) {
    const RateRun set = ledra({"rate", "set", "household", "usd", "eur", "0.8", "2024-03-15"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "1 USD = 0.8 EUR (2024-03-15)\n");

    const nlohmann::json forward = json({"rate", "get", "Household", "EUR", "USD", "2024-03-15"});
    EXPECT_EQ(forward["rate"], "1.25");
    EXPECT_EQ(forward["from"], "EUR");
    EXPECT_EQ(forward["date"], "2024-03-15");
    EXPECT_EQ(json({"rate", "get", "Household", "USD", "EUR", "2024-03-15"})["rate"], "0.8");

    // Entering it again replaces it.
    ASSERT_EQ(ledra({"rate", "set", "Household", "EUR", "USD", "1.5", "2024-03-15"}).status, 0);
    EXPECT_EQ(json({"rate", "get", "Household", "EUR", "USD", "2024-03-15"})["rate"], "1.5");

    const RateRun otherDay = ledra({"rate", "get", "Household", "EUR", "USD", "2024-03-16"});
    EXPECT_EQ(otherDay.status, 1);
    EXPECT_NE(otherDay.err.find("No rate"), std::string::npos) << otherDay.err;
}

TEST_F(LdCliRateCommandsTest, ConvertRoundsToTheTargetCurrency) {
    ASSERT_EQ(ledra({"rate", "set", "Household", "EUR", "USD", "1.0921", "2024-03-15"}).status, 0);
    const nlohmann::json converted =
            json({"rate", "convert", "Household", "10.01", "EUR", "USD", "2024-03-15"});
    EXPECT_EQ(converted["converted"], "10.93");
    EXPECT_EQ(converted["amount"], "10.01");
    EXPECT_EQ(converted["rate"], "1.0921");
    EXPECT_EQ(json({"rate", "convert", "Household", "10.93", "USD", "EUR",
                    "2024-03-15"})["converted"],
              "10.01");
    EXPECT_EQ(json({"rate", "convert", "Household", "3.5", "EUR", "EUR"})["converted"], "3.5");
}

TEST_F(LdCliRateCommandsTest, BadArgumentsFailWithoutStoringAnything) {
    EXPECT_EQ(ledra({"rate", "set", "Household", "EUR", "USD", "0", "2024-03-15"}).status, 1);
    EXPECT_EQ(ledra({"rate", "set", "Household", "EUR", "USD", "-2", "2024-03-15"}).status, 1);
    EXPECT_EQ(ledra({"rate", "set", "Household", "EUR", "EUR", "2", "2024-03-15"}).status, 1);
    EXPECT_EQ(ledra({"rate", "set", "Household", "EURO", "USD", "2", "2024-03-15"}).status, 1);
    EXPECT_EQ(ledra({"rate", "set", "Household", "EUR", "USD", "2", "2024-02-30"}).status, 1);
    EXPECT_EQ(ledra({"rate", "set", "Nowhere", "EUR", "USD", "2", "2024-03-15"}).status, 1);
    EXPECT_EQ(ledra({"rate", "convert", "Household", "ten", "EUR", "USD", "2024-03-15"}).status, 1);
    EXPECT_EQ(ledra({"rate", "get", "Household", "EUR", "USD", "2024-03-15"}).status, 1);
}

}  // namespace
