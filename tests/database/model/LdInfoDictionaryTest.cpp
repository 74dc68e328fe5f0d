// Tests of the account's info dictionary data: merging one key keeps the others, undecodable data
// refuses the change, round trips.
#include "core/database/model/LdInfoDictionary.h"

#include <gtest/gtest.h>

#include "core/support/plist/LdKeyedArchive.h"

namespace {

LdData archived(const LdValue& root) {
    std::optional<LdData> data = LdKeyedArchiver::archivedDataWithRootObject(root);
    EXPECT_TRUE(data.has_value());
    return data.value_or(LdData());
}

LdValue::Dictionary decoded(const LdData& data) {
    LdError error;
    std::optional<LdValue::Dictionary> dictionary =
            LdInfoDictionary::infoDictionaryFromData(data, &error);
    EXPECT_TRUE(dictionary.has_value()) << error;
    return dictionary.value_or(LdValue::Dictionary());
}

}  // namespace

TEST(LdInfoDictionaryTest, ImportSettingsOfEachFileSourceAreKeptApart) {
    const LdValue::Dictionary csv{{"encoding", "UTF-8"},
                                  {"skipLines", 2},
                                  {"columns", LdValue::dictionary({{"amount", 3}})}};
    const LdValue::Dictionary qif{{"dateFormat", "dd.MM.yy"}};
    LdError error;
    std::optional<LdData> data =
            LdInfoDictionary::dataBySettingImportSettings(LdData(), csv, "CSV", &error);
    ASSERT_TRUE(data.has_value()) << error;
    data = LdInfoDictionary::dataBySettingImportSettings(*data, qif, "QIF", &error);
    ASSERT_TRUE(data.has_value()) << error;

    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(*data, "CSV", &error), csv);
    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(*data, "QIF", &error), qif);
    EXPECT_EQ(decoded(*data).size(), 2U);
    EXPECT_EQ(decoded(*data).count("importsettings_CSV"), 1U);

    // Replacing one source's settings leaves the other's; empty settings remove them.
    const LdValue::Dictionary newCsv{{"encoding", "Latin-1"}};
    data = LdInfoDictionary::dataBySettingImportSettings(*data, newCsv, "CSV", &error);
    ASSERT_TRUE(data.has_value()) << error;
    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(*data, "CSV"), newCsv);
    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(*data, "QIF"), qif);
    data = LdInfoDictionary::dataBySettingImportSettings(*data, {}, "CSV", &error);
    ASSERT_TRUE(data.has_value()) << error;
    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(*data, "CSV"), LdValue::Dictionary());
    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(*data, "QIF"), qif);

    // Nothing stored reads as empty settings; a missing file source fails quietly.
    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(LdData(), "OFX"),
              LdValue::Dictionary());
    LdError missing;
    EXPECT_FALSE(LdInfoDictionary::dataBySettingImportSettings(*data, csv, "", &missing));
    EXPECT_FALSE(LdInfoDictionary::importSettingsForFileSource(*data, "", &missing));
    EXPECT_FALSE(missing.isSet());
}

TEST(LdInfoDictionaryTest, DatesDataAndArraysOfOtherWritersSurviveSettingImportSettings) {
    const LdValue::Dictionary written{
            {"lastStatementDate", LdDate::fromReferenceSeconds(700000000.5)},
            {"bankLogo", LdData{0x89, 'P', 'N', 'G', 0}},
            {"recentPayees", LdValue::array({"Rent", "Grocer"})},
            {"balanceLimit", *LdDecimal::fromString("-250.75")},
            {"importsettings_CSV", LdValue::dictionary({{"encoding", "UTF-8"}})}};
    const LdData existing = archived(LdValue(written));
    // The import settings' own classes cannot decode this data: the reason the whole dictionary is
    // decoded with every writer's classes.
    EXPECT_FALSE(LdKeyedUnarchiver::unarchivedObjectOfClasses(
            {"NSDictionary", "NSString", "NSNumber"}, existing));

    LdError error;
    const LdValue::Dictionary mt940{{"bank", "Example"}};
    std::optional<LdData> data =
            LdInfoDictionary::dataBySettingImportSettings(existing, mt940, "MT940", &error);
    ASSERT_TRUE(data.has_value()) << error;
    LdValue::Dictionary expected = written;
    expected["importsettings_MT940"] = LdValue(mt940);
    EXPECT_EQ(decoded(*data), expected);
    EXPECT_EQ(LdInfoDictionary::importSettingsForFileSource(*data, "CSV", &error),
              written.at("importsettings_CSV").dictionaryValue());

    // A plain key changes the same way; a null value removes only that key.
    data = LdInfoDictionary::dataBySettingValue(*data, "recentPayees", LdValue(), &error);
    ASSERT_TRUE(data.has_value()) << error;
    expected.erase("recentPayees");
    EXPECT_EQ(decoded(*data), expected);
}

TEST(LdInfoDictionaryTest, UndecodableExistingDataRefusesEveryChange) {
    LdValue::Dictionary custom{{"$classname", "LdUnknownRecord"}, {"field", 1}};
    const std::vector<std::pair<const char*, LdData>> cases{
            {"no archive", LdData{'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3}},
            {"archive of an array", archived(LdValue::array({"a", "b"}))},
            {"class outside the allowed ones",
             archived(LdValue::dictionary({{"keep", "me"}, {"record", LdValue(custom)}}))},
    };
    for (const auto& [name, existing] : cases) {
        LdError error;
        EXPECT_FALSE(LdInfoDictionary::dataBySettingImportSettings(
                existing, {{"encoding", "UTF-8"}}, "CSV", &error))
                << name;
        EXPECT_TRUE(error.isSet()) << name;
        EXPECT_EQ(error.descriptionKey(),
                  "The account's info dictionary cannot be read, so it was not changed.")
                << name;

        LdError valueError;
        EXPECT_FALSE(LdInfoDictionary::dataBySettingValue(existing, "key", 1, &valueError)) << name;
        EXPECT_TRUE(valueError.isSet()) << name;
        LdError readError;
        EXPECT_FALSE(LdInfoDictionary::importSettingsForFileSource(existing, "CSV", &readError))
                << name;
        EXPECT_TRUE(readError.isSet()) << name;
    }

    // Settings of the wrong kind under the file source's key read as an error, not as empty.
    const LdData wrongKind = archived(LdValue::dictionary({{"importsettings_CSV", "UTF-8"}}));
    LdError error;
    EXPECT_FALSE(LdInfoDictionary::importSettingsForFileSource(wrongKind, "CSV", &error));
    EXPECT_TRUE(error.isSet());
}

TEST(LdInfoDictionaryTest, RoundTripsAndClearing) {
    EXPECT_EQ(LdInfoDictionary::dataForInfoDictionary({}), LdData());
    EXPECT_EQ(decoded(LdData()), LdValue::Dictionary());
    EXPECT_EQ(decoded(archived(LdValue())), LdValue::Dictionary());

    const LdValue::Dictionary dictionary{
            {"flag", true},
            {"count", 42},
            {"ratio", 0.25},
            {"name", "Girokonto"},
            {"opened", LdDate::fromReferenceSeconds(-86400)},
            {"nested", LdValue::dictionary({{"list", LdValue::array({1, "two", LdData{3}})}})}};
    std::optional<LdData> data = LdInfoDictionary::dataForInfoDictionary(dictionary);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(decoded(*data), dictionary);
    EXPECT_EQ(LdInfoDictionary::dataForInfoDictionary(decoded(*data)), data);

    // Setting a key to what it holds gives the same bytes; removing every key clears the data.
    EXPECT_EQ(LdInfoDictionary::dataBySettingValue(*data, "count", 42), data);
    for (const auto& [key, value] : dictionary) {
        data = LdInfoDictionary::dataBySettingValue(*data, key, LdValue());
        ASSERT_TRUE(data.has_value()) << key;
    }
    EXPECT_EQ(data, LdData());

    // A value the archive cannot hold fails with an error.
    LdError error;
    EXPECT_FALSE(LdInfoDictionary::dataBySettingValue(LdData(), "uid", LdUID{3}, &error));
    EXPECT_TRUE(error.isSet());
    LdError missing;
    EXPECT_FALSE(LdInfoDictionary::dataBySettingValue(LdData(), "", 1, &missing));
    EXPECT_FALSE(missing.isSet());
}
