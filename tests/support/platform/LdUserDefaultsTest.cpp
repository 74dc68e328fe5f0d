// Tests of the settings store: every value type through the file, typed reads, registered defaults,
// atomic writes and damaged files.
#include "core/support/platform/LdUserDefaults.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text;
}

class LdUserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ld-defaults-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        path_ = folder_ / "settings.json";
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(folder_, error);
    }

    // The names in the folder, sorted.
    std::vector<std::string> folderContents() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path folder_;
    fs::path path_;
};

// --- Every type through the file

struct RoundTripCase {
    const char* name;
    LdValue value;
};

class LdUserDefaultsRoundTripTest : public LdUserDefaultsTest,
                                    public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(LdUserDefaultsRoundTripTest, ValueReadsBackFromTheFileUnchanged) {
    LdUserDefaults(path_).set("value", GetParam().value);

    const std::optional<LdValue> read = LdUserDefaults(path_).objectForKey("value");

    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->type(), GetParam().value.type());
    EXPECT_TRUE(*read == GetParam().value) << read->debugDescription() << " in\n"
                                           << readFile(path_);
}

LdData allBytes() {
    LdData bytes;
    for (int byte = 0; byte < 256; ++byte) {
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
        Types,
        LdUserDefaultsRoundTripTest,
        ::testing::Values(
                RoundTripCase{"True", LdValue(true)},
                RoundTripCase{"False", LdValue(false)},
                RoundTripCase{"Integer", LdValue(std::int64_t{-42})},
                RoundTripCase{"LargestInteger", LdValue(std::numeric_limits<std::int64_t>::max())},
                RoundTripCase{"SmallestInteger", LdValue(std::numeric_limits<std::int64_t>::min())},
                RoundTripCase{"Real", LdValue(0.1)},
                RoundTripCase{"WholeReal", LdValue(2.0)},
                RoundTripCase{"TinyReal", LdValue(-2.5e-300)},
                RoundTripCase{"Infinity", LdValue(-std::numeric_limits<double>::infinity())},
                RoundTripCase{"Text", LdValue("Caf\xC3\xA9 \"quoted\" \\ {\"$date\": 1}")},
                RoundTripCase{"EmptyText", LdValue("")},
                RoundTripCase{"Data", LdValue(allBytes())},
                RoundTripCase{"OneByte", LdValue(LdData{0xFF})},
                RoundTripCase{"TwoBytes", LdValue(LdData{0x00, 0x10})},
                RoundTripCase{"EmptyData", LdValue(LdData{})},
                RoundTripCase{"Date", LdValue(LdDate::fromReferenceSeconds(731'000'000.125))},
                RoundTripCase{"DateBeforeReference", LdValue(LdDate::fromReferenceSeconds(-1e9))},
                RoundTripCase{"Decimal", LdValue(*LdDecimal::fromString("-1234.50"))},
                RoundTripCase{"UID", LdValue(LdUID{7})},
                RoundTripCase{"Array",
                              LdValue::array({LdValue(1), LdValue("two"), LdValue(nullptr),
                                              LdValue(LdDate::fromReferenceSeconds(3.0))})},
                RoundTripCase{"NestedDictionary",
                              LdValue::dictionary(
                                      {{"inner", LdValue::dictionary({{"flag", LdValue(true)}})},
                                       {"list", LdValue::array({LdValue(LdData{1, 2, 3})})}})},
                RoundTripCase{"DictionaryLookingLikeATag",
                              LdValue::dictionary({{"$date", LdValue("not a date")}})},
                RoundTripCase{"DictionaryLookingLikeAnEscape",
                              LdValue::dictionary({{"$dict", LdValue::dictionary({})}})},
                RoundTripCase{"EmptyDictionary", LdValue(LdValue::Dictionary{})}),
        [](const ::testing::TestParamInfo<RoundTripCase>& type) {
            return std::string(type.param.name);
        });

TEST_F(LdUserDefaultsTest, NotANumberReadsBackFromTheFile) {
    LdUserDefaults(path_).setDouble(std::numeric_limits<double>::quiet_NaN(), "nan");

    EXPECT_TRUE(std::isnan(LdUserDefaults(path_).doubleForKey("nan")));
}

TEST_F(LdUserDefaultsTest, FileHoldsTaggedJson) {
    LdUserDefaults defaults(path_);
    defaults.setDate(LdDate::fromReferenceSeconds(12.5), "when");
    defaults.setData(LdData{'h', 'i'}, "bytes");
    defaults.set("amount", LdValue(*LdDecimal::fromString("0.10")));
    defaults.setInteger(2, "FirstWeekdayKey");

    const std::string text = readFile(path_);
    const std::optional<LdValue::Dictionary> file =
            ld::detail::userDefaultsDictionaryFromJson(text);
    EXPECT_NE(text.find("\"$date\": 12.5"), std::string::npos) << text;
    EXPECT_NE(text.find("\"$data\": \"aGk=\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"$decimal\": \"0.1"), std::string::npos) << text;
    EXPECT_NE(text.find("\"FirstWeekdayKey\": 2"), std::string::npos) << text;
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->size(), 4U);
}

// --- Typed reads

TEST_F(LdUserDefaultsTest, TypedReadsConvertNumbersAndTexts) {
    const std::unique_ptr<LdUserDefaults> defaults = LdUserDefaults::inMemory();
    defaults->setInteger(7, "integer");
    defaults->setDouble(2.75, "real");
    defaults->setString("42", "numberText");
    defaults->setString("YES", "yesText");
    defaults->setString("words", "wordText");
    defaults->setBool(true, "flag");

    EXPECT_EQ(defaults->integerForKey("integer"), 7);
    EXPECT_EQ(defaults->integerForKey("real"), 2);
    EXPECT_EQ(defaults->integerForKey("numberText"), 42);
    EXPECT_EQ(defaults->integerForKey("wordText"), 0);
    EXPECT_EQ(defaults->integerForKey("absent"), 0);
    EXPECT_DOUBLE_EQ(defaults->doubleForKey("real"), 2.75);
    EXPECT_DOUBLE_EQ(defaults->doubleForKey("numberText"), 42.0);
    EXPECT_TRUE(defaults->boolForKey("flag"));
    EXPECT_TRUE(defaults->boolForKey("yesText"));
    EXPECT_TRUE(defaults->boolForKey("integer"));
    EXPECT_FALSE(defaults->boolForKey("wordText"));
    EXPECT_FALSE(defaults->boolForKey("absent"));
    EXPECT_EQ(defaults->stringForKey("integer"), "7");
    EXPECT_EQ(defaults->stringForKey("wordText"), "words");
    EXPECT_FALSE(defaults->stringForKey("absent").has_value());
    EXPECT_FALSE(defaults->dataForKey("wordText").has_value());
    EXPECT_FALSE(defaults->dateForKey("integer").has_value());
}

TEST_F(LdUserDefaultsTest, NullValueOrRemovalDeletesTheKey) {
    LdUserDefaults defaults(path_);
    defaults.setString("x", "a");
    defaults.setString("y", "b");

    defaults.set("a", LdValue());
    defaults.removeObjectForKey("b");
    defaults.set("", LdValue("ignored"));

    EXPECT_FALSE(defaults.hasKey("a"));
    EXPECT_FALSE(defaults.hasKey("b"));
    EXPECT_TRUE(LdUserDefaults(path_).storedValues().empty());
}

// --- Registered defaults

TEST_F(LdUserDefaultsTest, RegisteredDefaultsAnswerUntilAValueIsStoredAndAreNeverWritten) {
    LdUserDefaults defaults(path_);
    defaults.registerDefaults({{"limit", LdValue(10)}, {"name", LdValue("standard")}});
    defaults.registerDefaults({{"limit", LdValue(20)}});

    EXPECT_TRUE(defaults.hasKey("limit"));
    EXPECT_EQ(defaults.integerForKey("limit"), 20);

    defaults.setInteger(5, "limit");
    EXPECT_EQ(defaults.integerForKey("limit"), 5);
    EXPECT_EQ(LdUserDefaults(path_).storedValues().size(), 1U);

    defaults.removeObjectForKey("limit");
    EXPECT_EQ(defaults.integerForKey("limit"), 20);
    EXPECT_EQ(defaults.stringForKey("name"), "standard");
    EXPECT_EQ(readFile(path_).find("standard"), std::string::npos);
}

// --- Files

TEST_F(LdUserDefaultsTest, FileIsReadOnFirstUseOnly) {
    LdUserDefaults defaults(path_);
    EXPECT_FALSE(fs::exists(path_));

    writeFile(path_, R"({"late": "written before first use"})");
    EXPECT_EQ(defaults.stringForKey("late"), "written before first use");

    writeFile(path_, R"({"late": "changed afterwards"})");
    EXPECT_EQ(defaults.stringForKey("late"), "written before first use");
}

TEST_F(LdUserDefaultsTest, WritesReplaceTheFileAndLeaveNoTemporaryFiles) {
    LdUserDefaults defaults(folder_ / "nested" / "settings.json");
    for (int round = 0; round < 5; ++round) {
        defaults.setInteger(round, "round");
    }

    EXPECT_EQ(folderContents(), std::vector<std::string>{"nested"});
    std::vector<std::string> nested;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_ / "nested")) {
        nested.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(nested, std::vector<std::string>{"settings.json"});
    EXPECT_EQ(LdUserDefaults(folder_ / "nested" / "settings.json").integerForKey("round"), 4);
}

TEST_F(LdUserDefaultsTest, FailedWriteKeepsTheValueInMemoryAndLeavesNoTemporaryFile) {
    LdUserDefaults defaults(path_);
    EXPECT_FALSE(defaults.hasKey("key"));  // reads the (missing) file now
    // A folder where the file should be: the final rename fails after the temporary file was
    // written.
    fs::create_directories(path_ / "inside");

    defaults.setString("kept", "key");

    EXPECT_EQ(defaults.stringForKey("key"), "kept");
    EXPECT_EQ(folderContents(), std::vector<std::string>{"settings.json"});
    EXPECT_TRUE(fs::is_directory(path_));
}

TEST_F(LdUserDefaultsTest, WriteIntoAFileInsteadOfAFolderFailsQuietly) {
    writeFile(folder_ / "file", "not a folder");
    LdUserDefaults defaults(folder_ / "file" / "settings.json");

    defaults.setBool(true, "flag");

    EXPECT_TRUE(defaults.boolForKey("flag"));
    EXPECT_EQ(readFile(folder_ / "file"), "not a folder");
}

struct DamagedCase {
    const char* name;
    std::string contents;
};

class LdUserDefaultsDamagedFileTest : public LdUserDefaultsTest,
                                      public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(LdUserDefaultsDamagedFileTest, DamagedFileIsSetAsideAndTheStoreStartsEmpty) {
    writeFile(path_, GetParam().contents);
    LdUserDefaults defaults(path_);

    EXPECT_FALSE(defaults.hasKey("anything"));
    EXPECT_TRUE(defaults.storedValues().empty());
    EXPECT_EQ(readFile(folder_ / "settings.json.corrupt"), GetParam().contents);
    EXPECT_FALSE(fs::exists(path_));

    defaults.setInteger(1, "fresh");
    EXPECT_EQ(LdUserDefaults(path_).integerForKey("fresh"), 1);
}

INSTANTIATE_TEST_SUITE_P(Files,
                         LdUserDefaultsDamagedFileTest,
                         ::testing::Values(DamagedCase{"BrokenJson", R"({"key": tru)"},
                                           DamagedCase{"ArrayInsteadOfObject", "[1, 2, 3]"},
                                           DamagedCase{"NotText",
                                                       std::string("\xFF\xFE\x00\x01garbage", 11)},
                                           DamagedCase{"TrailingGarbage", R"({"a": 1} {"b": 2})"},
                                           DamagedCase{"DeepNesting", std::string(100000, '[')}),
                         [](const ::testing::TestParamInfo<DamagedCase>& file) {
                             return std::string(file.param.name);
                         });

TEST_F(LdUserDefaultsTest, EmptyFileIsAnEmptyStoreNotDamage) {
    writeFile(path_, "");
    LdUserDefaults defaults(path_);

    EXPECT_TRUE(defaults.storedValues().empty());
    EXPECT_FALSE(fs::exists(folder_ / "settings.json.corrupt"));
}

TEST_F(LdUserDefaultsTest, BadTagsReadAsPlainDictionaries) {
    writeFile(path_, R"({"a": {"$data": "%%%"}, "b": {"$date": "soon"}, "c": {"$uid": -1}})");
    LdUserDefaults defaults(path_);

    EXPECT_EQ(defaults.dictionaryForKey("a")->at("$data").stringValue(), "%%%");
    EXPECT_EQ(defaults.dictionaryForKey("b")->at("$date").stringValue(), "soon");
    EXPECT_EQ(defaults.dictionaryForKey("c")->at("$uid").integerValue(), -1);
}

// --- The process's store

TEST_F(LdUserDefaultsTest, StandardCanBeReplacedAndRestored) {
    LdUserDefaults& before = LdUserDefaults::standard();  // the test environment's store
    const std::unique_ptr<LdUserDefaults> installed = LdUserDefaults::inMemory();

    LdUserDefaults::setStandard(installed.get());
    EXPECT_EQ(&LdUserDefaults::standard(), installed.get());
    LdUserDefaults::setStandard(nullptr);
    // The file store of the process; nothing reads or writes its file until it is used.
    EXPECT_EQ(LdUserDefaults::standard().filePath(),
              LdUserDefaults::standardFolder() / "settings.json");

    LdUserDefaults::setStandard(&before);
}

TEST_F(LdUserDefaultsTest, StandardFolderFollowsXdgConfigHomeThenHome) {
    const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string config = savedConfig != nullptr ? savedConfig : "";
    const std::string home = savedHome != nullptr ? savedHome : "";

    ::setenv("XDG_CONFIG_HOME", "/config/here", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(LdUserDefaults::standardFolder(), fs::path("/config/here/ledra"));
    ::setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
    EXPECT_EQ(LdUserDefaults::standardFolder(), fs::path("/home/someone/.config/ledra"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(LdUserDefaults::standardFolder(), fs::path("/home/someone/.config/ledra"));

    if (savedConfig != nullptr) {
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    }
    if (savedHome != nullptr) {
        ::setenv("HOME", home.c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

TEST_F(LdUserDefaultsTest, ConcurrentWritersLoseNoKey) {
    LdUserDefaults defaults(path_);
    std::vector<std::thread> writers;
    for (int writer = 0; writer < 4; ++writer) {
        writers.emplace_back([&defaults, writer] {
            for (int index = 0; index < 10; ++index) {
                defaults.setInteger(index,
                                    "w" + std::to_string(writer) + "-" + std::to_string(index));
                defaults.integerForKey("w0-0");
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }

    EXPECT_EQ(LdUserDefaults(path_).storedValues().size(), 40U);
}

}  // namespace
