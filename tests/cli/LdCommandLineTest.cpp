#include "cli/LdCommandLine.h"

#include <sstream>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/database/store/LdCryptStore.h"
#include "core/support/plist/LdKeyedArchive.h"

#include "tests/testutil/LdTestUtil.h"

namespace {
struct LedraRun {
    int status;
    std::string out;
    std::string err;
};

LedraRun ledra(const std::vector<std::string>& arguments, bool terminal = false) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const int status = ldRunCommandLine(arguments, {in, out, err, terminal});
    return {status, out.str(), err.str()};
}
}  // namespace

TEST(LdCommandLineTest, HelpAndVersionSucceed) {
    const LedraRun help = ledra({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--databases-folder"), std::string::npos);
    EXPECT_NE(help.out.find("decimal"), std::string::npos);

    const LedraRun version = ledra({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("build 5"), std::string::npos) << version.out;
}

TEST(LdCommandLineTest, UsageErrorsExitWithTwoAndSayWhyOnStderr) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
                 {"no-such-area"}, {"decimal"}, {"decimal", "add", "1"}, {"--bogus"}}) {
        const LedraRun run = ledra(arguments);
        EXPECT_EQ(run.status, 2) << arguments.front();
        EXPECT_TRUE(run.out.empty());
        EXPECT_NE(run.err.find("ledra: "), std::string::npos);
    }
}

TEST(LdCommandLineTest, JsonIsAcceptedBeforeAndAfterTheSubcommand) {
    const LedraRun before = ledra({"--json", "decimal", "add", "0.1", "0.2"});
    const LedraRun after = ledra({"decimal", "add", "0.1", "0.2", "--json"});
    EXPECT_EQ(before.status, 0);
    EXPECT_EQ(before.out, after.out);
    EXPECT_NE(before.out.find("\"result\": \"0.3\""), std::string::npos) << before.out;

    const LedraRun human = ledra({"decimal", "add", "0.1", "0.2"});
    EXPECT_EQ(human.out, "0.3\n");
}

TEST(LdCommandLineTest, DecimalRoundingModesAndBadInput) {
    EXPECT_EQ(ledra({"decimal", "round", "2.345", "--mode", "bankers"}).out, "2.34\n");
    EXPECT_EQ(ledra({"decimal", "round", "-2.345"}).out, "-2.35\n");
    EXPECT_EQ(ledra({"decimal", "divide", "1", "3"}).out,
              "0.33333333333333333333333333333333333333  (loss of precision)\n");

    const LedraRun bad = ledra({"decimal", "add", "1,5", "2"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("not a decimal number: 1,5"), std::string::npos);

    const LedraRun byZero = ledra({"decimal", "divide", "1", "0"});
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

TEST(LdCommandLineTest, CalendarMovesDaysWithClampingAndRejectsDaysThatDoNotExist) {
    EXPECT_EQ(ledra({"calendar", "add", "2024-01-31", "--months", "1"}).out, "2024-02-29\n");
    EXPECT_EQ(ledra({"calendar", "add", "2024-02-29", "--years", "1"}).out, "2025-02-28\n");
    EXPECT_EQ(ledra({"calendar", "add", "2025-01-31", "--quarters", "1"}).out, "2025-04-30\n");
    EXPECT_EQ(ledra({"calendar", "add", "2025-03-31", "--months", "-1"}).out, "2025-02-28\n");

    const LedraRun periods = ledra({"--json", "calendar", "periods", "2026-12-02"});
    EXPECT_EQ(periods.status, 0);
    EXPECT_NE(periods.out.find("\"first\": \"2026-11-30\""), std::string::npos) << periods.out;

    for (const char* day : {"2025-02-30", "2025-13-01", "31.01.2025", "2025-1-1"}) {
        const LedraRun run = ledra({"calendar", "add", day, "--days", "1"});
        EXPECT_EQ(run.status, 1) << day;
        EXPECT_NE(run.err.find("YYYY-MM-DD"), std::string::npos);
    }
}

TEST(LdCommandLineTest, CryptoEncryptsAndDecryptsWithTheKeyFromTheEnvironment) {
    LdTemporaryFolder folder;
    ldWriteFile(folder / "note.txt", std::string("statement"));
    const std::string file = (folder / "note.txt").string();

    ::unsetenv("LEDRA_FILE_KEY");
    EXPECT_EQ(ledra({"crypto", "encrypt", file}).status, 1);

    ::setenv("LEDRA_FILE_KEY", std::string(64, 'a').c_str(), 1);
    ASSERT_EQ(ledra({"crypto", "encrypt", file}).status, 0);
    ASSERT_EQ(
            ledra({"crypto", "decrypt", file + ".crypt", "--to", (folder / "out").string()}).status,
            0);
    EXPECT_EQ(ldReadFile(folder / "out" / "note.txt"), ldReadFile(folder / "note.txt"));

    ::setenv("LEDRA_FILE_KEY", std::string(64, 'b').c_str(), 1);
    const LedraRun wrongKey =
            ledra({"crypto", "decrypt", file + ".crypt", "--to", (folder / "wrong").string()});
    EXPECT_EQ(wrongKey.status, 1);
    EXPECT_FALSE(std::filesystem::exists(folder / "wrong" / "note.txt"));
    ::unsetenv("LEDRA_FILE_KEY");

    EXPECT_EQ(ledra({"crypto", "digest", file}).out,
              "B111C6E1D318F203063E5C16BAB43C108326AF0AA2F7B65760C95547A43DBE52\n");
}

TEST(LdCommandLineTest, PlistShowsKeyedArchivesAndRefusesBrokenFiles) {
    LdTemporaryFolder folder;
    const LdValue value = LdValue::dictionary({{"name", "Household"}, {"version", 4992}});
    ldWriteFile(folder / "info.archive", *LdKeyedArchiver::archivedDataWithRootObject(value));
    const LedraRun shown = ledra({"--json", "plist", "show", (folder / "info.archive").string()});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("\"name\": \"Household\""), std::string::npos) << shown.out;

    ldWriteFile(folder / "broken.plist", std::string("bplist00 not really"));
    const LedraRun broken = ledra({"plist", "show", (folder / "broken.plist").string()});
    EXPECT_EQ(broken.status, 1);
    EXPECT_FALSE(broken.err.empty());
}

TEST(LdCommandLineTest, StoreInspectReportsTablesNumberingMetadataAndRows) {
    LdTemporaryFolder folder;
    const auto path = folder / "store.ldcryptdata";
    {
        LdCryptStore store(path, {});
        LdError error;
        ASSERT_TRUE(store.loadMetadata(&error)) << error;
    }
    ::unsetenv("LEDRA_PASSWORD");
    const LedraRun run = ledra({"--json", "store", "inspect", path.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"T_PRIMARYKEY\""), std::string::npos);
    EXPECT_NE(run.out.find("\"NSStoreType\": \"CryptStore\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"Entry\": 0"), std::string::npos);
    EXPECT_EQ(run.out.find("sqlite_"), std::string::npos);

    const LedraRun missing = ledra({"store", "inspect", (folder / "none").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("not found"), std::string::npos) << missing.err;
}

TEST(LdCommandLineTest, StoreSampleWritesALedgerThatFetchesRead) {
    LdTemporaryFolder folder;
    const std::string path = (folder / "sample.ldb").string();
    const LedraRun written =
            ledra({"--json", "store", "sample", path, "--accounts", "2", "--days", "10"});
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_NE(written.out.find("\"encrypted\": false"), std::string::npos) << written.out;
    // A second sample never overwrites a file.
    EXPECT_EQ(ledra({"store", "sample", path}).status, 1);

    const LedraRun count = ledra({"store", "fetch", path, "Entry", "--count"});
    ASSERT_EQ(count.status, 0) << count.err;
    const LedraRun sorted = ledra({"--json", "store", "fetch", path, "Entry", "amount > 0",
                                   "--sort", "-amount", "--limit", "1"});
    ASSERT_EQ(sorted.status, 0) << sorted.err;
    EXPECT_NE(sorted.out.find("\"title\": \"Salary\""), std::string::npos) << sorted.out;
    const LedraRun bad = ledra({"store", "fetch", path, "Entry", "amount <"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("Predicate format error"), std::string::npos) << bad.err;
    EXPECT_EQ(ledra({"store", "fetch", path, "Nothing"}).status, 1);
}
