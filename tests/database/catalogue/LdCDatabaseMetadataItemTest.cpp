// The metadata file beside a database's store: its JSON form, the older keyed-archive form and
// damaged files.
#include "core/database/catalogue/LdCDatabaseMetadataItem.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/plist/LdKeyedArchive.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

const LdDate kMay2024 = *ld::detail::metadataDateFromISO8601("2024-05-01T12:30:00Z");

nlohmann::json readJson(const std::filesystem::path& path) {
    const LdData bytes = ldReadFile(path);
    return nlohmann::json::parse(bytes.begin(), bytes.end());
}

}  // namespace

class LdCDatabaseMetadataItemTest : public ::testing::Test {
protected:
    LdTemporaryFolder folder_;
    std::filesystem::path file_ = folder_ / "externalMetadata.ldmetadata";
};

TEST_F(LdCDatabaseMetadataItemTest, NewDatabaseItemWritesItsKeysAndReadsBackEqual) {
    LdManualClock clock(kMay2024);
    LdCDatabaseMetadataItem item =
            LdCDatabaseMetadataItem::metadataItemForNewDatabaseAtURL(folder_.path(), clock);
    EXPECT_EQ(item.metadataFileURL(), file_);
    EXPECT_TRUE(item.hasChanges());
    ASSERT_TRUE(item.writeMetadata());
    EXPECT_FALSE(item.hasChanges());

    const nlohmann::json json = readJson(file_);
    EXPECT_EQ(json["lastModified"], "2024-05-01T12:30:00Z");
    EXPECT_FALSE(json.contains("lastModifiedForICloud"));
    EXPECT_EQ(json["lastWritingApp"], LdApplication::name());
    EXPECT_EQ(json["lastWritingAppVersion"], LdApplication::version());
    EXPECT_EQ(json["needsICloudMerge"], false);
    EXPECT_EQ(json["syncMode"], 0);
    // Pretty-printed: one key per line.
    const LdData bytes = ldReadFile(file_);
    EXPECT_GE(std::count(bytes.begin(), bytes.end(), '\n'), 5);

    LdError error;
    auto read = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(file_, &error);
    ASSERT_TRUE(read.has_value()) << error;
    EXPECT_EQ(*read, item);
    EXPECT_FALSE(read->lastModifiedForICloud().has_value());
    EXPECT_FALSE(read->hasChanges());
}

TEST_F(LdCDatabaseMetadataItemTest, SettersMarkChangesOnlyWhenAValueChanges) {
    LdCDatabaseMetadataItem item(file_);
    item.setSyncMode(0);
    item.setNeedsICloudMerge(false);
    EXPECT_FALSE(item.hasChanges());
    item.setSyncMode(LdCDatabaseMetadataItem::kSyncModeLocalNetwork);
    EXPECT_TRUE(item.hasChanges());
    item.setLastModifiedForICloud(kMay2024);
    item.setNeedsICloudMerge(true);
    ASSERT_TRUE(item.writeMetadata());

    auto read = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(file_);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->syncMode(), 2U);
    EXPECT_TRUE(read->needsICloudMerge());
    EXPECT_EQ(read->lastModifiedForICloud(), kMay2024);
    EXPECT_FALSE(read->lastModified().has_value());
    EXPECT_FALSE(read->lastWritingAppName().has_value());
}

TEST_F(LdCDatabaseMetadataItemTest, KeyedArchiveFormReadsDateObjectsAndTexts) {
    const LdValue archived = LdValue::dictionary({
            {"lastModified", LdValue(kMay2024)},
            {"lastModifiedForICloud", LdValue("2024-05-01T14:30:00+02:00")},
            {"lastWritingApp", LdValue("Ledra")},
            {"lastWritingAppVersion", LdValue("4.9")},
            {"needsICloudMerge", LdValue(true)},
            {"syncMode", LdValue(1)},
    });
    auto data = LdKeyedArchiver::archivedDataWithRootObject(archived);
    ASSERT_TRUE(data.has_value());
    ldWriteFile(file_, *data);

    LdError error;
    auto item = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(file_, &error);
    ASSERT_TRUE(item.has_value()) << error;
    EXPECT_EQ(item->lastModified(), kMay2024);
    EXPECT_EQ(item->lastModifiedForICloud(), kMay2024);
    EXPECT_EQ(item->lastWritingAppName(), "Ledra");
    EXPECT_EQ(item->lastWritingAppVersion(), "4.9");
    EXPECT_TRUE(item->needsICloudMerge());
    EXPECT_EQ(item->syncMode(), 1U);
}

TEST_F(LdCDatabaseMetadataItemTest, DamagedOrMissingFilesGiveAnError) {
    const std::vector<std::string> damaged = {
            "",                                 // empty
            "{\"lastModified\": \"2024-05-01",  // cut off
            "[1, 2, 3]",                        // JSON, but no object
            "bplist00\x01\x02garbage",          // no keyed archive
            std::string("\xff\xfe\x00{", 4),    // binary noise
    };
    for (const std::string& content : damaged) {
        ldWriteFile(file_, content);
        LdError error;
        EXPECT_FALSE(LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(file_, &error))
                << content;
        EXPECT_EQ(error.descriptionKey(), "_DB_METADATA_FILE_DAMAGED") << content;
    }
    LdError error;
    EXPECT_FALSE(LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(folder_ / "none", &error));
    EXPECT_EQ(error.descriptionKey(), "_DB_METADATA_FILE_NOT_READABLE");
}

TEST_F(LdCDatabaseMetadataItemTest, ValuesOfTheWrongTypeAreIgnored) {
    ldWriteFile(file_,
                std::string(R"({"lastModified": 12, "syncMode": -1, "needsICloudMerge": "yes",
                                        "lastWritingApp": false, "lastModifiedForICloud": "May"})"));
    auto item = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(file_);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(*item, LdCDatabaseMetadataItem());
}

TEST(LdCDatabaseMetadataDateTest, ReadsUTCOffsetsAndFractions) {
    using ld::detail::metadataDateFromISO8601;
    EXPECT_EQ(metadataDateFromISO8601("2001-01-01T00:00:00Z"), LdDate::fromReferenceSeconds(0));
    EXPECT_EQ(metadataDateFromISO8601("2001-01-01T01:00:00.5+0100"),
              LdDate::fromReferenceSeconds(0.5));
    EXPECT_EQ(metadataDateFromISO8601("2000-12-31T19:00:00-05:00"),
              LdDate::fromReferenceSeconds(0));
    for (const char* wrong :
         {"2001-02-29T00:00:00Z", "2001-01-01T24:00:00Z", "2001-01-01 00:00:00Z",
          "2001-01-01T00:00:00", "2001-01-01T00:00:00Zjunk"}) {
        EXPECT_FALSE(metadataDateFromISO8601(wrong).has_value()) << wrong;
    }
}
