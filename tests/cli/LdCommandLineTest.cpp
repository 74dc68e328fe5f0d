#include "cli/LdCommandLine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

namespace {
struct Run {
    int status;
    std::string out;
    std::string err;
};

Run ledra(const std::vector<std::string>& arguments, bool terminal = false) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const int status = ldRunCommandLine(arguments, {in, out, err, terminal});
    return {status, out.str(), err.str()};
}
}  // namespace

TEST(LdCommandLineTest, HelpAndVersionSucceed) {
    const Run help = ledra({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--databases-folder"), std::string::npos);
    EXPECT_NE(help.out.find("decimal"), std::string::npos);

    const Run version = ledra({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("build 5"), std::string::npos) << version.out;
}

TEST(LdCommandLineTest, UsageErrorsExitWithTwoAndSayWhyOnStderr) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
                 {"no-such-area"}, {"decimal"}, {"decimal", "add", "1"}, {"--bogus"}}) {
        const Run run = ledra(arguments);
        EXPECT_EQ(run.status, 2) << arguments.front();
        EXPECT_TRUE(run.out.empty());
        EXPECT_NE(run.err.find("ledra: "), std::string::npos);
    }
}

TEST(LdCommandLineTest, JsonIsAcceptedBeforeAndAfterTheSubcommand) {
    const Run before = ledra({"--json", "decimal", "add", "0.1", "0.2"});
    const Run after = ledra({"decimal", "add", "0.1", "0.2", "--json"});
    EXPECT_EQ(before.status, 0);
    EXPECT_EQ(before.out, after.out);
    EXPECT_NE(before.out.find("\"result\": \"0.3\""), std::string::npos) << before.out;

    const Run human = ledra({"decimal", "add", "0.1", "0.2"});
    EXPECT_EQ(human.out, "0.3\n");
}

TEST(LdCommandLineTest, DecimalRoundingModesAndBadInput) {
    EXPECT_EQ(ledra({"decimal", "round", "2.345", "--mode", "bankers"}).out, "2.34\n");
    EXPECT_EQ(ledra({"decimal", "round", "-2.345"}).out, "-2.35\n");
    EXPECT_EQ(ledra({"decimal", "divide", "1", "3"}).out,
              "0.33333333333333333333333333333333333333  (loss of precision)\n");

    const Run bad = ledra({"decimal", "add", "1,5", "2"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("not a decimal number: 1,5"), std::string::npos);

    const Run byZero = ledra({"decimal", "divide", "1", "0"});
    EXPECT_EQ(byZero.status, 1);
}

TEST(LdCommandLineTest, PasswordComesFromEnvironmentOrTerminalOnly) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;

    ::unsetenv("LEDRA_PASSWORD");
    LdCliContext piped({in, out, err, false});
    EXPECT_FALSE(piped.readPassword("Household"));
    EXPECT_NE(err.str().find("LEDRA_PASSWORD"), std::string::npos);

    LdCliContext terminal({in, out, err, true});
    std::string askedWith;
    terminal.terminalPasswordReader = [&](const std::string& prompt) {
        askedWith = prompt;
        return std::optional<std::string>("typed");
    };
    EXPECT_EQ(terminal.readPassword("Household"), "typed");
    EXPECT_EQ(askedWith, "Password for Household: ");

    ::setenv("LEDRA_PASSWORD", "from-env", 1);
    EXPECT_EQ(terminal.readPassword("Household"), "from-env");
    ::unsetenv("LEDRA_PASSWORD");
}
