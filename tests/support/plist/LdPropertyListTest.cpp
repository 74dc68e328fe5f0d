#include "core/support/plist/LdPropertyList.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/plist/LdPlistTestSupport.h"
#include "tests/testutil/LdTestUtil.h"

using ld::test::binaryPlist;
using ld::test::bytesOf;
using ld::test::nestedArrays;
using ld::test::TrailerField;
using ld::test::withTrailerField;
using Format = LdPropertyList::Format;

namespace {

LdData gunk() {
    LdData data;
    for (int i = 0; i < 10; ++i) {
        const LdData piece = bytesOf("<lots of binary gunk>");
        data.insert(data.end(), piece.begin(), piece.end());
        data.insert(data.end(), {0, 1, 2, 3});
    }
    return data;
}

// The value of the platform's samples in tests/data/plist (platform-sample.*).
LdValue platformSampleValue() {
    LdValue::Dictionary value;
    value["aBigInt"] = std::int64_t{9223372036854775764};
    value["aBigInt2"] = LdDecimal::fromParts(9223372036854775852ULL, 0, false);
    value["aDate"] = LdDate::fromReferenceSeconds(120479613.0);  // 2004-10-26T10:33:33Z
    value["aDict"] = LdValue::dictionary(
            {{"aFalseValue", false},
             {"aTrueValue", true},
             {"aUnicodeValue", "M\u00e4ssig, Ma\u00df"},
             {"anotherString", "<hello & 'hi' there!>"},
             {"deeperDict",
              LdValue::dictionary(
                      {{"a", 17}, {"b", 32.5}, {"c", LdValue::array({1, 2, "text"})}})}});
    value["aFloat"] = 0.5;
    value["aList"] = LdValue::array({"A", "B", 12, 32.5, LdValue::array({1, 2, 3})});
    value["aNegativeBigInt"] = std::int64_t{-80000000000};
    value["aNegativeInt"] = -5;
    value["aString"] = "Doodah";
    value["anEmptyDict"] = LdValue::Dictionary();
    value["anEmptyList"] = LdValue::Array();
    value["anInt"] = 728;
    value["nestedData"] = LdValue::array({gunk()});
    value["someData"] = bytesOf("<binary gunk>");
    value["someMoreData"] = gunk();
    value["\u00c5benraa"] = "That was a unicode key.";
    return value;
}

LdValue everyTypeValue() {
    return LdValue::dictionary({
            {"array",
             LdValue::array({1, "two", 3.25, LdValue::array({}), LdValue::dictionary({})})},
            {"bool", true},
            {"data", LdData{0, 1, 2, 0xFF}},
            {"date", LdDate::fromReferenceSeconds(-86400.0 * 365)},
            {"dictionary", LdValue::dictionary({{"inner", std::int64_t{-9007199254740993}}})},
            {"empty string", ""},
            {"false", false},
            {"integer", std::int64_t{1} << 40},
            {"negative", -1},
            {"real", 0.1},
            {"string", "gr\u00fc\u00dfe \U0001F600 & <tags>\r\n\ttab"},
            {"uid", LdUID{42}},
    });
}

std::optional<LdValue> read(const LdData& data, LdError* error = nullptr) {
    return LdPropertyList::propertyListWithData(data, error);
}

LdData write(const LdValue& value, Format format) {
    LdError error;
    std::optional<LdData> data = LdPropertyList::dataWithPropertyList(value, format, &error);
    EXPECT_TRUE(data.has_value()) << error;
    return data.value_or(LdData());
}

// Expects the data to be refused with an error.
void expectRejected(const LdData& data, const std::string& what) {
    LdError error;
    EXPECT_FALSE(read(data, &error).has_value()) << what;
    EXPECT_TRUE(error.isSet()) << what;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Samples written by the platform

TEST(LdPropertyListTest, ReadsPlatformBinarySample) {
    Format format = Format::XML;
    LdError error;
    const std::optional<LdValue> value = LdPropertyList::propertyListWithData(
            ldReadFile(ldTestDataPath("plist/platform-sample.bplist")), &format, &error);
    ASSERT_TRUE(value.has_value()) << error;
    EXPECT_EQ(format, Format::Binary);
    EXPECT_EQ(*value, platformSampleValue()) << value->debugDescription();
}

TEST(LdPropertyListTest, ReadsPlatformXMLSampleWithoutLoadingItsDTD) {
    Format format = Format::Binary;
    LdError error;
    const std::optional<LdValue> value = LdPropertyList::propertyListWithData(
            ldReadFile(ldTestDataPath("plist/platform-sample.xml")), &format, &error);
    ASSERT_TRUE(value.has_value()) << error;
    EXPECT_EQ(format, Format::XML);
    EXPECT_EQ(*value, platformSampleValue()) << value->debugDescription();
}

TEST(LdPropertyListTest, WritesBinaryInThePlatformLayout) {
    // The sample less its 16-byte integer (a decimal here, which property lists do not write),
    // as the platform's layout orders, uniques and sizes it.
    LdValue value = platformSampleValue();
    value.mutableDictionary().erase("aBigInt2");
    EXPECT_EQ(write(value, Format::Binary),
              ldReadFile(ldTestDataPath("plist/platform-sample-without-bigint2.bplist")));
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST(LdPropertyListTest, RoundTripsEveryTypeThroughBinaryToEqualValueAndBytes) {
    const LdData first = write(everyTypeValue(), Format::Binary);
    const std::optional<LdValue> read1 = read(first);
    ASSERT_TRUE(read1.has_value());
    EXPECT_EQ(*read1, everyTypeValue()) << read1->debugDescription();
    EXPECT_EQ(write(*read1, Format::Binary), first);
    EXPECT_EQ(write(everyTypeValue(), Format::Binary), first);
}

TEST(LdPropertyListTest, RoundTripsEveryTypeThroughXMLWithDatesInWholeSeconds) {
    LdValue value = everyTypeValue();
    const LdData xml = write(value, Format::XML);
    const std::optional<LdValue> readBack = read(xml);
    ASSERT_TRUE(readBack.has_value());
    EXPECT_EQ(*readBack, value) << readBack->debugDescription();

    value.set("date", LdDate::fromReferenceSeconds(-0.5));
    const std::optional<LdValue> truncated = read(write(value, Format::XML));
    ASSERT_TRUE(truncated.has_value());
    EXPECT_EQ((*truncated)["date"], LdValue(LdDate::fromReferenceSeconds(-1.0)));
}

TEST(LdPropertyListTest, WritesEqualScalarsOnce) {
    LdValue::Array items(1000, LdValue("the same longish string"));
    items.insert(items.end(), 1000, LdValue(123456));
    const LdData data = write(LdValue(items), Format::Binary);
    EXPECT_LT(data.size(), 4200U);
    const std::optional<LdValue> readBack = read(data);
    ASSERT_TRUE(readBack.has_value());
    EXPECT_EQ(*readBack, LdValue(items));
}

TEST(LdPropertyListTest, WritesMinimalIntegersAndASCIIOrUTF16Strings) {
    struct Case {
        LdValue value;
        LdData object;  // the bytes after "bplist00"
    };
    const std::vector<Case> cases = {
            {0, {0x10, 0x00}},
            {255, {0x10, 0xFF}},
            {256, {0x11, 0x01, 0x00}},
            {65536, {0x12, 0x00, 0x01, 0x00, 0x00}},
            {std::int64_t{1} << 32, {0x13, 0, 0, 0, 1, 0, 0, 0, 0}},
            {-1, {0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
            {"abc", {0x53, 'a', 'b', 'c'}},
            {"\u00e9", {0x61, 0x00, 0xE9}},
            {"\U0001F600", {0x62, 0xD8, 0x3D, 0xDE, 0x00}},
            {LdUID{300}, {0x81, 0x01, 0x2C}},
            {LdData(15, 7), {0x4F, 0x10, 0x0F, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}},
    };
    for (const Case& testCase : cases) {
        const LdData data = write(testCase.value, Format::Binary);
        ASSERT_GT(data.size(), 8 + 32U);
        EXPECT_EQ(LdData(data.begin() + 8,
                         data.begin() + 8 + static_cast<long>(testCase.object.size())),
                  testCase.object)
                << testCase.value.debugDescription();
        EXPECT_EQ(read(data), testCase.value) << testCase.value.debugDescription();
    }
}

TEST(LdPropertyListTest, WritesXMLInThePlatformLayout) {
    LdData data(60);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    const LdValue value = LdValue::dictionary({
            {"a&b", "<x>"},
            {"data", data},
            {"date", LdDate::fromReferenceSeconds(120479613.75)},
            {"empty", LdValue::array({})},
            {"list", LdValue::array({true, 1.5, LdValue::dictionary({}), LdValue::array({data})})},
            {"uid", LdUID{7}},
    });
    const std::string expected =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<plist version=\"1.0\">\n"
            "<dict>\n"
            "\t<key>a&amp;b</key>\n"
            "\t<string>&lt;x&gt;</string>\n"
            "\t<key>data</key>\n"
            "\t<data>\n"
            "\tAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEy\n"
            "\tMzQ1Njc4OTo7\n"
            "\t</data>\n"
            "\t<key>date</key>\n"
            "\t<date>2004-10-26T10:33:33Z</date>\n"
            "\t<key>empty</key>\n"
            "\t<array/>\n"
            "\t<key>list</key>\n"
            "\t<array>\n"
            "\t\t<true/>\n"
            "\t\t<real>1.5</real>\n"
            "\t\t<dict/>\n"
            "\t\t<array>\n"
            "\t\t\t<data>\n"
            "\t\t\tAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUm\n"
            "\t\t\tJygpKissLS4vMDEyMzQ1Njc4OTo7\n"
            "\t\t\t</data>\n"
            "\t\t</array>\n"
            "\t</array>\n"
            "\t<key>uid</key>\n"
            "\t<dict>\n"
            "\t\t<key>CF$UID</key>\n"
            "\t\t<integer>7</integer>\n"
            "\t</dict>\n"
            "</dict>\n"
            "</plist>\n";
    const LdData xml = write(value, Format::XML);
    EXPECT_EQ(std::string(xml.begin(), xml.end()), expected);
}

TEST(LdPropertyListTest, RefusesValuesAFormCannotHold) {
    struct Case {
        LdValue value;
        bool binaryWrites;
        const char* what;
    };
    const std::vector<Case> cases = {
            {LdDecimal::fromParts(125, -2, false), false, "decimal"},
            {LdValue::array({LdDecimal::one()}), false, "decimal in an array"},
            {std::string("bad \xC3\x28 UTF-8"), false, "malformed UTF-8"},
            {LdValue::dictionary({{std::string("\xFF"), 1}}), false, "malformed UTF-8 key"},
            {nestedArrays(65), false, "65 nested arrays"},
            {LdValue(), true, "null"},
            {"bell \x07", true, "control character"},
            {"\xEF\xBF\xBF", true, "U+FFFF"},
            {LdDate::fromReferenceSeconds(1e12), true, "year past 9999"},
            {LdDate::fromReferenceSeconds(-7e10), true, "year before 1"},
            {LdUID{std::uint64_t{1} << 32}, true, "UID past 32 bits"},
    };
    for (const Case& testCase : cases) {
        LdError error;
        EXPECT_EQ(LdPropertyList::dataWithPropertyList(testCase.value, Format::Binary, &error)
                          .has_value(),
                  testCase.binaryWrites)
                << testCase.what;
        EXPECT_EQ(error.isSet(), !testCase.binaryWrites) << testCase.what;
        LdError xmlError;
        EXPECT_FALSE(LdPropertyList::dataWithPropertyList(testCase.value, Format::XML, &xmlError)
                             .has_value())
                << testCase.what;
        EXPECT_TRUE(xmlError.isSet()) << testCase.what;
    }
}

TEST(LdPropertyListTest, NestsUpTo64LevelsInBothForms) {
    for (const Format format : {Format::Binary, Format::XML}) {
        const LdData data = write(nestedArrays(64), format);
        EXPECT_EQ(read(data), nestedArrays(64));
    }
    // 65 levels, written by hand since the writers refuse them.
    std::vector<LdData> objects;
    for (std::uint8_t i = 1; i <= 65; ++i) {
        objects.push_back({0xA1, i});
    }
    objects.push_back(bytesOf("\x54leaf"));
    expectRejected(binaryPlist(objects), "65 nested binary arrays");
    std::string xml = "<plist>";
    for (int i = 0; i < 65; ++i) {
        xml += "<array>";
    }
    for (int i = 0; i < 65; ++i) {
        xml += "</array>";
    }
    expectRejected(bytesOf(xml + "</plist>"), "65 nested XML arrays");
}

// ---------------------------------------------------------------------------------------------
// Reading the binary form

TEST(LdPropertyListTest, ReadsEveryBinaryObjectType) {
    struct Case {
        LdData object;
        LdValue expected;
    };
    const std::vector<Case> cases = {
            {{0x00}, LdValue()},
            {{0x0F}, LdValue()},  // fill
            {{0x08}, false},
            {{0x09}, true},
            {{0x10, 0xFE}, 0xFE},
            {{0x11, 0xFE, 0xDC}, 0xFEDC},
            {{0x12, 0xFE, 0xDC, 0xBA, 0x98}, std::int64_t{0xFEDCBA98}},
            {{0x13, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10},
             std::int64_t{-0x123456789ABCDF0}},
            {{0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}, 5},
            {{0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
              0xFF, 0xFF, 0xFB},
             -5},
            {{0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
             LdDecimal::fromParts(18446744073709551615ULL, 0, false)},
            {{0x22, 0x3F, 0xC0, 0x00, 0x00}, 1.5},
            {{0x23, 0x40, 0x40, 0x40, 0, 0, 0, 0, 0}, 32.5},
            {{0x33, 0xC0, 0x24, 0, 0, 0, 0, 0, 0}, LdDate::fromReferenceSeconds(-10.0)},
            {{0x42, 0xCA, 0xFE}, LdData{0xCA, 0xFE}},
            {bytesOf("\x5F\x10\x14"
                     "twenty characters!!!"),
             "twenty characters!!!"},
            {{0x63, 0x00, 0xE4, 0xD8, 0x3D, 0xDE, 0x00}, "\u00e4\U0001F600"},
            {{0x80, 0x07}, LdUID{7}},
            {{0x87, 1, 2, 3, 4, 5, 6, 7, 8}, LdUID{0x0102030405060708}},
    };
    for (const Case& testCase : cases) {
        LdError error;
        const std::optional<LdValue> value = read(binaryPlist({testCase.object}), &error);
        ASSERT_TRUE(value.has_value()) << testCase.expected.debugDescription() << " " << error;
        EXPECT_EQ(*value, testCase.expected) << value->debugDescription();
    }
    // Containers: a set reads as an array; a dictionary with 2-byte offsets and references.
    EXPECT_EQ(read(binaryPlist({{0xC2, 1, 2}, {0x10, 1}, {0x51, 'x'}})), LdValue::array({1, "x"}));
    EXPECT_EQ(read(binaryPlist({{0xD1, 0, 1, 0, 2}, {0x51, 'k'}, {0x09}}, 2, 2)),
              LdValue::dictionary({{"k", true}}));
    // The same object referenced twice (not a cycle).
    EXPECT_EQ(read(binaryPlist({{0xA2, 1, 1}, {0x51, 's'}})), LdValue::array({"s", "s"}));
}

TEST(LdPropertyListTest, RejectsMalformedBinaryInput) {
    const LdData valid = binaryPlist({{0xA1, 1}, {0x51, 'x'}});
    struct Case {
        const char* what;
        LdData data;
    };
    const std::vector<Case> cases = {
            {"empty", {}},
            {"signature only", bytesOf("bplist00")},
            {"too short for a trailer", LdData(valid.begin(), valid.begin() + 39)},
            {"offset size 0", withTrailerField(valid, TrailerField::OffsetSize, 0)},
            {"offset size 9", withTrailerField(valid, TrailerField::OffsetSize, 9)},
            {"reference size 0", withTrailerField(valid, TrailerField::ReferenceSize, 0)},
            {"reference size 9", withTrailerField(valid, TrailerField::ReferenceSize, 9)},
            {"no objects", withTrailerField(valid, TrailerField::ObjectCount, 0)},
            {"more objects than bytes", withTrailerField(valid, TrailerField::ObjectCount, 1000)},
            {"huge object count", withTrailerField(valid, TrailerField::ObjectCount, ~0ULL)},
            {"object count past the table", withTrailerField(valid, TrailerField::ObjectCount, 3)},
            {"top object out of range", withTrailerField(valid, TrailerField::TopObject, 2)},
            {"offset table in the trailer", withTrailerField(valid, TrailerField::OffsetTable, 60)},
            {"offset table in the header", withTrailerField(valid, TrailerField::OffsetTable, 4)},
            {"huge offset table", withTrailerField(valid, TrailerField::OffsetTable, ~0ULL)},
            {"object at the offset table", binaryPlist({{0xA1, 1}, {}})},
            {"reference out of range", binaryPlist({{0xA1, 5}, {0x51, 'x'}})},
            {"array longer than the file", binaryPlist({{0xAF, 0x10, 0xFF, 1}})},
            {"array count of 2^64 - 1",
             binaryPlist({{0xAF, 0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}})},
            {"count that is no integer", binaryPlist({{0x5F, 0x51, 'x'}})},
            {"count of 16 bytes", binaryPlist({{0x5F, 0x14, 0, 0}})},
            {"string longer than the file", binaryPlist({{0x5F, 0x12, 0x7F, 0xFF, 0xFF, 0xFF}})},
            {"UTF-16 string longer than the file", binaryPlist({{0x6F, 0x10, 0xFF, 0, 'a'}})},
            {"data longer than the file", binaryPlist({{0x4F, 0x11, 0xFF, 0xFF}})},
            {"truncated integer", binaryPlist({{0x13, 0, 0}})},
            {"integer of 32 bytes", binaryPlist({{0x15, 0}})},
            {"16-byte integer out of range",
             binaryPlist({{0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}})},
            {"real of 2 bytes", binaryPlist({{0x21, 0, 0}})},
            {"date of 4 bytes", binaryPlist({{0x32, 0, 0, 0, 0}})},
            {"ASCII string with a high byte", binaryPlist({{0x52, 'a', 0xE4}})},
            {"lone low surrogate", binaryPlist({{0x61, 0xDC, 0x00}})},
            {"high surrogate at the end", binaryPlist({{0x61, 0xD8, 0x3D}})},
            {"high surrogate without low", binaryPlist({{0x62, 0xD8, 0x3D, 0x00, 0x41}})},
            {"UID of 9 bytes", binaryPlist({{0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0}})},
            {"UTF-8 string type", binaryPlist({{0x71, 'a'}})},
            {"ordered set type", binaryPlist({{0xB0}})},
            {"unknown singleton", binaryPlist({{0x01}})},
            {"unknown type", binaryPlist({{0xF0}})},
            {"dictionary key no string", binaryPlist({{0xD1, 1, 1}, {0x10, 1}})},
            {"dictionary longer than the file", binaryPlist({{0xD2, 1, 1, 1}, {0x51, 'k'}})},
            {"array containing itself", binaryPlist({{0xA1, 0}})},
            {"indirect cycle", binaryPlist({{0xA1, 1}, {0xD1, 2, 0}, {0x51, 'k'}})},
            {"wrong signature", [&] {
                 LdData data = valid;
                 data[7] = '1';
                 return data;
             }()},
    };
    for (const Case& testCase : cases) {
        expectRejected(testCase.data, testCase.what);
    }
}

TEST(LdPropertyListTest, RejectsBinaryNested100000DeepWithoutDeepRecursion) {
    constexpr std::uint32_t kDepth = 100000;
    std::vector<LdData> objects;
    objects.reserve(kDepth + 1);
    for (std::uint32_t i = 1; i <= kDepth; ++i) {
        LdData object = {0xA1};
        ld::test::appendBigEndian(object, i, 4);
        objects.push_back(std::move(object));
    }
    objects.push_back(bytesOf("\x54seed"));
    const LdData data = binaryPlist(objects, 4, 4);
    ASSERT_LT(data.size(), 1000000U);
    expectRejected(data, "100000 nested arrays");
}

TEST(LdPropertyListTest, RejectsSharedReferencesThatExpandExponentially) {
    // Each array holds the next one twice: 60 levels would expand to 2^60 values.
    std::vector<LdData> objects;
    for (std::uint8_t i = 1; i <= 60; ++i) {
        objects.push_back({0xA2, i, i});
    }
    objects.push_back({0x10, 1});
    expectRejected(binaryPlist(objects), "exponential expansion");
}

TEST(LdPropertyListTest, FailsCleanlyOnEveryTruncationAndSurvivesCorruption) {
    for (const char* name :
         {"plist/platform-sample.bplist", "plist/platform-keyed-string.bplist"}) {
        const LdData data = ldReadFile(ldTestDataPath(name));
        ASSERT_FALSE(data.empty()) << name;
        ASSERT_TRUE(read(data).has_value()) << name;
        for (std::size_t length = 0; length < data.size(); ++length) {
            expectRejected(LdData(data.begin(), data.begin() + static_cast<long>(length)),
                           std::string(name) + " cut to " + std::to_string(length));
        }
        // Corruptions may or may not read; they must not crash, and a failure carries an error.
        for (std::size_t position = 0; position < data.size(); ++position) {
            for (const int mask : {0x01, 0x80, 0xFF}) {
                LdData corrupted = data;
                corrupted[position] = static_cast<std::uint8_t>(corrupted[position] ^ mask);
                LdError error;
                if (!read(corrupted, &error)) {
                    EXPECT_TRUE(error.isSet());
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Reading the XML form

TEST(LdPropertyListTest, ReadsXMLValueForms) {
    struct Case {
        const char* xml;
        LdValue expected;
    };
    const std::vector<Case> cases = {
            {"<integer> -42 </integer>", -42},
            {"<integer>+7</integer>", 7},
            {"<integer>0x1F</integer>", 31},
            {"<integer>-9223372036854775808</integer>", std::numeric_limits<std::int64_t>::min()},
            {"<integer>18446744073709551615</integer>",
             LdDecimal::fromParts(18446744073709551615ULL, 0, false)},
            {"<real>-0.25</real>", -0.25},
            {"<real>1e3</real>", 1000.0},
            {"<real>+infinity</real>", std::numeric_limits<double>::infinity()},
            {"<real>-infinity</real>", -std::numeric_limits<double>::infinity()},
            {"<date>2001-01-01T00:00:00Z</date>", LdDate()},
            {"<date>2001-01-02Z</date>", LdDate::fromReferenceSeconds(86400.0)},
            {"<date>2000-02-29T23:59:59Z</date>", LdDate::fromReferenceSeconds(-306 * 86400.0 - 1)},
            {"<data> AAEC\n\t/w== </data>", LdData{0, 1, 2, 0xFF}},
            {"<data></data>", LdData()},
            {"<string/>", ""},
            {"<string>a<!-- note -->b<![CDATA[<c>]]>&#x1F600;&amp;</string>", "ab<c>\U0001F600&"},
            {"<string>  spaced\n</string>", "  spaced\n"},
            {"<dict><key>CF$UID</key><integer>12</integer></dict>", LdUID{12}},
            {"<dict><key>CF$UID</key><integer>-1</integer></dict>",
             LdValue::dictionary({{"CF$UID", -1}})},
            {"<dict><key>k</key><true/><key>k</key><false/></dict>",
             LdValue::dictionary({{"k", false}})},
            {"<array> <!-- c --> <true/> <?pi x?> </array>", LdValue::array({true})},
    };
    for (const Case& testCase : cases) {
        const std::string xml = std::string("<?xml version=\"1.0\"?><plist version=\"1.0\">") +
                                testCase.xml + "</plist>";
        LdError error;
        const std::optional<LdValue> value = read(bytesOf(xml), &error);
        ASSERT_TRUE(value.has_value()) << testCase.xml << " " << error;
        EXPECT_EQ(*value, testCase.expected)
                << testCase.xml << " read " << value->debugDescription();
    }
    const std::optional<LdValue> nan = read(bytesOf("<plist><real>nan</real></plist>"));
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(std::isnan(nan->doubleValue()));
}

TEST(LdPropertyListTest, RejectsMalformedAndHostileXML) {
    const std::vector<std::pair<const char*, std::string>> cases = {
            {"not XML", "plain text"},
            {"unclosed", "<plist><dict>"},
            {"root no plist", "<dict/>"},
            {"empty plist", "<plist/>"},
            {"two values", "<plist><true/><false/></plist>"},
            {"text beside the value", "<plist>x<true/></plist>"},
            {"unknown element", "<plist><float>1</float></plist>"},
            {"key outside a dictionary", "<plist><key>k</key></plist>"},
            {"key without value", "<plist><dict><key>k</key></dict></plist>"},
            {"two keys", "<plist><dict><key>a</key><key>b</key></dict></plist>"},
            {"value without key", "<plist><dict><true/><true/></dict></plist>"},
            {"text in an array", "<plist><array>x</array></plist>"},
            {"element in a string", "<plist><string><b/></string></plist>"},
            {"text in a boolean", "<plist><true>yes</true></plist>"},
            {"empty integer", "<plist><integer/></plist>"},
            {"integer with letters", "<plist><integer>12a</integer></plist>"},
            {"integer too large", "<plist><integer>18446744073709551616</integer></plist>"},
            {"integer too small", "<plist><integer>-9223372036854775809</integer></plist>"},
            {"real with letters", "<plist><real>1.5x</real></plist>"},
            {"real with two signs", "<plist><real>+-1</real></plist>"},
            {"month 13", "<plist><date>2004-13-01T00:00:00Z</date></plist>"},
            {"February 30", "<plist><date>2004-02-30T00:00:00Z</date></plist>"},
            {"date without zone", "<plist><date>2004-10-26T10:33:33</date></plist>"},
            {"date with a skipped part", "<plist><date>2004T10Z</date></plist>"},
            {"bad Base64", "<plist><data>AA*B</data></plist>"},
            {"Base64 after padding", "<plist><data>AA==AA==</data></plist>"},
            {"undefined entity", "<plist><string>&foo;</string></plist>"},
            {"internal entity",
             "<!DOCTYPE plist [<!ENTITY e \"text\">]><plist><string>&e;</string></plist>"},
            {"external entity",
             "<!DOCTYPE plist [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
             "<plist><string>&e;</string></plist>"},
            {"entity expansion bomb",
             "<!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
             "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
             "<plist><string>&d;&d;&d;&d;</string></plist>"},
            {"parameter entity", "<!DOCTYPE plist [<!ENTITY % p \"x\">]><plist><true/></plist>"},
    };
    for (const auto& [what, xml] : cases) {
        expectRejected(bytesOf(xml), what);
    }
}

TEST(LdPropertyListTest, FailsCleanlyOnEveryXMLTruncation) {
    const LdData data = ldReadFile(ldTestDataPath("plist/platform-sample.xml"));
    const std::string text(data.begin(), data.end());
    const std::size_t end = text.rfind("</plist>");
    ASSERT_NE(end, std::string::npos);
    for (std::size_t length = 0; length < end + 8; length += 7) {
        expectRejected(LdData(data.begin(), data.begin() + static_cast<long>(length)),
                       "XML cut to " + std::to_string(length));
    }
}
