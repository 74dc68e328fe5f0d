// Tests of the strings tables: look-up, placeholders, and the reading of the table files.
#include "core/support/LdStrings.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/support/platform/detail/LdStringsFileParser.h"

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

TEST(LdStringsTest, KnownKeysHaveTheirTextInEachTable) {
    EXPECT_EQ(LdStrings::localizedString("_ERROR"), "Error");
    EXPECT_EQ(LdStrings::localizedString("_DB_PASSWORD_CONFLICT_NO_PASSWORD", LdCDatabaseMerge),
              "No password");
    EXPECT_EQ(LdStrings::localizedString("_CAR", LdCCategories), "Car");
}

TEST(LdStringsTest, MissingKeyOrTableYieldsTheKey) {
    EXPECT_EQ(LdStrings::localizedString("_NOT_IN_ANY_TABLE"), "_NOT_IN_ANY_TABLE");
    EXPECT_EQ(LdStrings::localizedString("_ERROR", "NoSuchTable"), "_ERROR");
    // A key of one table is not looked up in another.
    EXPECT_EQ(LdStrings::localizedString("_CAR", LdCoreLocalizable), "_CAR");
}

TEST(LdStringsTest, LocalizedFormatFillsTheTableText) {
    const std::string text = LdStrings::localizedFormat("_ERROR_HTTP_STATUS_CODE_ERROR", {"503"});
    EXPECT_NE(text.find("503"), std::string::npos) << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
}

struct FormatCase {
    const char* format;
    std::vector<std::string> arguments;
    const char* expected;
};

class LdStringsFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(LdStringsFormatTest, FillsPlaceholdersInOrder) {
    EXPECT_EQ(LdStrings::format(GetParam().format, GetParam().arguments), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
        Cases,
        LdStringsFormatTest,
        ::testing::Values(
                FormatCase{"%@ paid %@", {"Anna", "Ben"}, "Anna paid Ben"},
                FormatCase{"%lu of %ld, %i and %d", {"1", "2", "3", "4"}, "1 of 2, 3 and 4"},
                FormatCase{"%li days, %u left", {"5", "6"}, "5 days, 6 left"},
                FormatCase{"%i%% done", {"50"}, "50% done"},
                FormatCase{"%%@ stays", {"unused"}, "%@ stays"},
                FormatCase{"%@ and %@", {"only"}, "only and "},
                FormatCase{"%@", {"one", "extra"}, "one"},
                FormatCase{"%2$@ before %1$@", {"first", "second"}, "second before first"},
                FormatCase{"%s and %x stay", {"a"}, "%s and %x stay"},
                FormatCase{"ends with %", {}, "ends with %"},
                FormatCase{"no placeholders", {"a"}, "no placeholders"},
                FormatCase{"", {}, ""}));

TEST(LdStringsFileParserTest, ReadsEscapesCommentsAndSkipsABrokenEntry) {
    const ld::detail::StringsFileContents contents =
            ld::detail::parseStringsFile(readFile(std::filesystem::path(LD_TEST_DATA_DIR) /
                                                  "strings" / "escapes-and-broken-entry.strings"));

    const std::map<std::string, std::string, std::less<>> expected = {
            {"QUOTE", "Say \"hi\""},
            {"BACKSLASH", "C:\\Folder\\"},
            {"NEWLINE", "first\nsecond"},
            {"TAB_AND_APOSTROPHE", "a\tb's"},
            {"UNICODE", "caf\xC3\xA9"},
            {"SPACED", "across lines"},
            {"BARE_KEY", "bare key"},
            {"AFTER_BROKEN", "still read"},
            {"UTF8", "\xC3\x9Cmlaut \xE2\x80\x93 dash"},
            {"PERCENT", "%@ of %lu done (100%%)"},
    };
    EXPECT_EQ(contents.entries, expected);
    ASSERT_EQ(contents.problems.size(), 1U);
    EXPECT_EQ(contents.problems.front().rfind("line 12:", 0), 0U) << contents.problems.front();
}

struct BrokenCase {
    const char* text;
    const char* problemStart;
    bool entryKept = false;  // a bad escape spoils only itself
};

class LdStringsFileParserBrokenTest : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(LdStringsFileParserBrokenTest, ReportsTheProblemWithoutTheEntry) {
    const ld::detail::StringsFileContents contents = ld::detail::parseStringsFile(GetParam().text);

    EXPECT_EQ(contents.entries.contains("K"), GetParam().entryKept);
    ASSERT_FALSE(contents.problems.empty());
    EXPECT_EQ(contents.problems.front().rfind(GetParam().problemStart, 0), 0U)
            << contents.problems.front();
}

INSTANTIATE_TEST_SUITE_P(
        Cases,
        LdStringsFileParserBrokenTest,
        ::testing::Values(BrokenCase{"\"K\" = \"open", "line 1: unterminated text"},
                          BrokenCase{"\"K\" = \"v\"", "line 1: expected ';'"},
                          BrokenCase{"\n\"K\" = ;", "line 2: expected a quoted"},
                          BrokenCase{"\"K\" =", "line 1: missing text"},
                          BrokenCase{"/* open \"K\" = \"v\";", "line 1: unterminated comment"},
                          BrokenCase{"\"K\" = \"\\U00G1\";", "line 1: bad \\U", true},
                          BrokenCase{"\"K\" = \"\\q\";", "line 1: unknown escape", true}));

TEST(LdStringsFileParserTest, RepeatedKeyKeepsTheLastTextAndIsReported) {
    const ld::detail::StringsFileContents contents =
            ld::detail::parseStringsFile("\xEF\xBB\xBF\"K\" = \"one\";\n\"K\" = \"two\";\n");

    EXPECT_EQ(contents.entries.at("K"), "two");
    ASSERT_EQ(contents.problems.size(), 1U);
    EXPECT_EQ(contents.problems.front(), "line 2: repeated key K");
}

// The tables compiled into the library are the files of resources/strings; each must read cleanly.
TEST(LdStringsFileParserTest, ShippedTablesHaveNoProblems) {
    for (const char* table : {LdCoreLocalizable, LdCDatabaseMerge, LdCCategories}) {
        const std::filesystem::path path = std::filesystem::path(LD_RESOURCES_DIR) / "strings" /
                                           (std::string(table) + ".strings");
        ASSERT_TRUE(std::filesystem::exists(path)) << path;
        const ld::detail::StringsFileContents contents =
                ld::detail::parseStringsFile(readFile(path));
        EXPECT_TRUE(contents.problems.empty()) << table << ": " << contents.problems.front();
        EXPECT_FALSE(contents.entries.empty()) << table;
    }
}

}  // namespace
