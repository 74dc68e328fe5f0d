#include "core/support/LdLogger.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/support/platform/LdClock.h"
#include "tests/testutil/LdTestUtil.h"

namespace {
std::string readText(const std::filesystem::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// 2026-12-06 15:04:05 UTC.
constexpr double kAfternoon = 818262245.0;
}  // namespace

class LdLoggerTest : public ::testing::Test {
protected:
    LdManualClock clock_{LdDate::fromReferenceSeconds(kAfternoon)};
    LdScopedClock scopedClock_{clock_};
    LdTemporaryFolder folder_;
    LdLogger logger_;
};

TEST_F(LdLoggerTest, KeepsOnlyTheNewestErrors) {
    for (std::size_t index = 0; index < LdLogger::kMaxKeptErrors + 5; ++index) {
        LdError error = LdError::errorWithTitle("T", std::to_string(index));
        logger_.addError(error);
    }
    const auto errors = logger_.errors();
    ASSERT_EQ(errors.size(), LdLogger::kMaxKeptErrors);
    EXPECT_EQ(errors.front().localizedDescription(), "5");
    EXPECT_EQ(errors.back().localizedDescription(), std::to_string(LdLogger::kMaxKeptErrors + 4));
}

TEST_F(LdLoggerTest, WritesNoFilesWithoutAFolder) {
    logger_.addError(LdError::errorWithTitle("T", "D"));
    logger_.log("message", 1);
    EXPECT_TRUE(logger_.logFilesWithPrefix(LdLogger::ErrorLogFilePrefix).empty());
    EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));
}

TEST_F(LdLoggerTest, WritesErrorsAndMessagesToDailyFiles) {
    logger_.setFolderURL(folder_.path());
    logger_.setLogLevel(3);
    logger_.addError(LdError::errorWithTitle("Broken", "Details"));
    logger_.debugLog("debug line");
    logger_.log("too detailed", 4);

    const auto errorFile = folder_.path() / "Ledra_Error_Log_2026_12_06";
    const auto debugFile = folder_.path() / "Ledra_Debug_Log_2026_12_06";
    const std::string errors = readText(errorFile);
    EXPECT_NE(errors.find("2026-12-06 03:04:05 [ERROR] ----"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Title: Broken"), std::string::npos);
    const std::string debug = readText(debugFile);
    EXPECT_NE(debug.find("debug line"), std::string::npos);
    EXPECT_EQ(debug.find("too detailed"), std::string::npos);

    clock_.advance(24 * 3600.0);
    logger_.debugLog("next day");
    EXPECT_EQ(logger_.logFilesWithPrefix(LdLogger::DebugLogFilePrefix).size(), 2U);

    logger_.clearExistingLogs();
    EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));
}

TEST_F(LdLoggerTest, LevelsAboveTheLogLevelAndOutOfRangeAreNotWritten) {
    logger_.setFolderURL(folder_.path());
    logger_.setUseLoggingPrefix(false);
    logger_.debugLog("hidden at the default level 1");
    logger_.log("no level", 5);
    logger_.log("error level", 1);
    EXPECT_EQ(readText(folder_.path() / "Ledra_Error_Log_2026_12_06"), "error level\n");
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "Ledra_Debug_Log_2026_12_06"));
}

TEST_F(LdLoggerTest, FileNamesAndTimeStampsFollowTheLocalDay) {
    clock_.setSecondsFromGMT(10 * 3600);  // 01:04:05 on the next local day
    EXPECT_EQ(LdLogger::logFileName("P_", clock_.now()), "P_2026_12_07");
    EXPECT_EQ(LdLogger::messageTimeStamp(clock_.now()), "2026-12-07 01:04:05");
}

TEST_F(LdLoggerTest, UnwritableFolderDoesNotThrow) {
    ldWriteFile(folder_ / "file", std::string("x"));
    logger_.setFolderURL(folder_ / "file" / "below");
    EXPECT_NO_THROW(logger_.addError(LdError::errorWithTitle("T", "D")));
    EXPECT_EQ(logger_.errorCount(), 1U);
}
