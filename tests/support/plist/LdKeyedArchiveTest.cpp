#include "core/support/plist/LdKeyedArchive.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/support/plist/LdPropertyList.h"

#include "tests/support/plist/LdPlistTestSupport.h"
#include "tests/testutil/LdTestUtil.h"

using ld::test::nestedArrays;

namespace {

const std::set<std::string> kRecordClasses = [] {
    std::set<std::string> classes = LdKeyedUnarchiver::defaultAllowedClasses();
    classes.insert("LdTestRecord");
    return classes;
}();

LdValue recordValue() {
    LdValue child = LdValue::dictionary({
            {kLdArchiveClassNameKey, "LdTestRecord"},
            {"$dollar", "a field named with a dollar"},
            {"count", 3},
            {"flag", false},
            {"missing", LdValue()},
            {"ratio", 0.25},
    });
    return LdValue::dictionary({
            {"accounts",
             LdValue::array(
                     {LdValue::dictionary({{"name", "Checking"},
                                           {"balance", LdDecimal::fromParts(125050, -2, false)}}),
                      LdValue::dictionary({{"name", "Savings \u20ac"},
                                           {"balance", LdDecimal::fromParts(1, -3, true)}})})},
            {"bool", true},
            {"data", LdData{0, 1, 2, 250}},
            {"date", LdDate::fromReferenceSeconds(789012345.678)},
            {"decimals",
             LdValue::array({LdDecimal::zero(), LdDecimal::notANumber(),
                             LdDecimal::fromParts(
                                     LdUInt128{9999999999999999999ULL} * 10000000000000000000ULL +
                                             9999999999999999999ULL,
                                     0, false),
                             LdDecimal::fromParts(5, 127, false),
                             LdDecimal::fromParts(5, -128, true)})},
            {"empty", LdValue::array({})},
            {"integer", std::int64_t{-1} << 40},
            {"list with null", LdValue::array({1, LdValue(), "x", 1})},
            {"real", 1.0 / 3},
            {"record", child},
            {"same strings", LdValue::array({"repeated", "repeated"})},
    });
}

LdData archived(const LdValue& value) {
    LdError error;
    std::optional<LdData> data = LdKeyedArchiver::archivedDataWithRootObject(value, &error);
    EXPECT_TRUE(data.has_value()) << error;
    return data.value_or(LdData());
}

// The property list behind an archive.
LdValue plistOf(const LdData& archive) {
    return LdPropertyList::propertyListWithData(archive).value_or(LdValue());
}

// An archive of hand-made objects; objects[0] should be "$null".
LdData keyedArchive(LdValue::Array objects, std::uint64_t root = 1) {
    LdValue::Dictionary archive;
    archive.emplace("$archiver", "NSKeyedArchiver");
    archive.emplace("$objects", std::move(objects));
    archive.emplace("$top", LdValue::dictionary({{"root", LdUID{root}}}));
    archive.emplace("$version", 100000);
    return LdPropertyList::dataWithPropertyList(LdValue(std::move(archive)),
                                                LdPropertyList::Format::Binary)
            .value();
}

LdValue classDescription(std::string name, LdValue::Array chain) {
    return LdValue::dictionary({{"$classname", std::move(name)}, {"$classes", std::move(chain)}});
}

LdValue uids(std::initializer_list<std::uint64_t> values) {
    LdValue::Array items;
    for (const std::uint64_t value : values) {
        items.emplace_back(LdUID{value});
    }
    return LdValue(std::move(items));
}

// An NSArray object with the class description at `classIndex`.
LdValue arrayObject(std::initializer_list<std::uint64_t> items, std::uint64_t classIndex) {
    return LdValue::dictionary({{"$class", LdUID{classIndex}}, {"NS.objects", uids(items)}});
}

const LdValue kArrayClass = classDescription("NSArray", {"NSArray", "NSObject"});

// An NSDecimalNumber object with the given fields over the 12.5 defaults.
LdValue decimalObject(std::uint64_t classIndex, const LdValue::Dictionary& changes) {
    LdValue::Dictionary fields = {
            {"$class", LdUID{classIndex}},
            {"NS.compact", true},
            {"NS.exponent", -1},
            {"NS.length", 1},
            {"NS.mantissa", LdData{125, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
            {"NS.mantissa.bo", 1},
            {"NS.negative", false},
    };
    for (const auto& [key, value] : changes) {
        if (value.isNull()) {
            fields.erase(key);
        } else {
            fields.insert_or_assign(key, value);
        }
    }
    return LdValue(std::move(fields));
}

const LdValue kDecimalClass =
        classDescription("NSDecimalNumber", {"NSDecimalNumber", "NSNumber", "NSValue", "NSObject"});

std::optional<LdValue> unarchive(const LdData& data,
                                 const std::set<std::string>& classes,
                                 LdError* error = nullptr) {
    return LdKeyedUnarchiver::unarchivedObjectOfClasses(classes, data, error);
}

void expectRejected(const LdData& data,
                    const std::string& what,
                    const std::set<std::string>& classes = kRecordClasses) {
    LdError error;
    EXPECT_FALSE(unarchive(data, classes, &error).has_value()) << what;
    EXPECT_TRUE(error.isSet()) << what;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Archiving

TEST(LdKeyedArchiveTest, RoundTripsARecordToAnEqualValueAndIdenticalBytes) {
    const LdData first = archived(recordValue());
    LdError error;
    const std::optional<LdValue> decoded = unarchive(first, kRecordClasses, &error);
    ASSERT_TRUE(decoded.has_value()) << error;
    EXPECT_EQ(*decoded, recordValue()) << decoded->debugDescription();
    EXPECT_EQ(archived(*decoded), first);
    EXPECT_EQ(archived(recordValue()), first);
}

TEST(LdKeyedArchiveTest, WritesDictionariesInThePlatformLayout) {
    const LdValue archive = plistOf(archived(LdValue::dictionary({{"a", "b"}, {"n", 1}})));
    EXPECT_EQ(archive["$archiver"], LdValue("NSKeyedArchiver"));
    EXPECT_EQ(archive["$version"], LdValue(100000));
    EXPECT_EQ(archive["$top"], LdValue::dictionary({{"root", LdUID{1}}}));
    // The object, its keys, its values, then its class description.
    const LdValue expected = LdValue::array({
            "$null",
            LdValue::dictionary({{"$class", LdUID{6}},
                                 {"NS.keys", uids({2, 3})},
                                 {"NS.objects", uids({4, 5})}}),
            "a",
            "n",
            "b",
            1,
            classDescription("NSDictionary", {"NSDictionary", "NSObject"}),
    });
    EXPECT_EQ(archive["$objects"], expected) << archive["$objects"].debugDescription();
}

TEST(LdKeyedArchiveTest, WritesDatesDecimalsAndArraysInThePlatformLayout) {
    const LdValue archive =
            plistOf(archived(LdValue::array({LdDate::fromReferenceSeconds(12.5),
                                             LdDecimal::fromParts(1250, -2, false), "s", "s"})));
    const LdValue expected = LdValue::array({
            "$null",
            LdValue::dictionary({{"$class", LdUID{7}}, {"NS.objects", uids({2, 4, 6, 6})}}),
            LdValue::dictionary({{"$class", LdUID{3}}, {"NS.time", 12.5}}),
            classDescription("NSDate", {"NSDate", "NSObject"}),
            decimalObject(5, {}),  // compacted: 1250e-2 is stored as 125e-1
            kDecimalClass,
            "s",
            kArrayClass,
    });
    EXPECT_EQ(archive["$objects"], expected) << archive["$objects"].debugDescription();
}

TEST(LdKeyedArchiveTest, WritesDecimalMantissasAsLittleEndianWords) {
    struct Case {
        LdDecimal decimal;
        LdValue::Dictionary fields;
    };
    const LdUInt128 large = (LdUInt128{0x0102} << 64) | 0x030405060708090BULL;
    const std::vector<Case> cases = {
            {LdDecimal::fromParts(large, 3, true),
             {{"NS.exponent", 3},
              {"NS.length", 5},
              {"NS.negative", true},
              {"NS.mantissa", LdData{0x0B, 0x09, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0,
                                     0, 0, 0, 0, 0}}}},
            {LdDecimal::fromParts(0, -5, true),
             {{"NS.exponent", 0},
              {"NS.length", 0},
              {"NS.compact", false},
              {"NS.mantissa", LdData(16, 0)}}},
            {LdDecimal::notANumber(),
             {{"NS.exponent", 0},
              {"NS.length", 0},
              {"NS.negative", true},
              {"NS.compact", false},
              {"NS.mantissa", LdData(16, 0)}}},
    };
    for (const Case& testCase : cases) {
        const LdValue archive = plistOf(archived(testCase.decimal));
        EXPECT_EQ(archive["$objects"],
                  LdValue::array({"$null", decimalObject(2, testCase.fields), kDecimalClass}))
                << testCase.decimal.toString() << " " << archive["$objects"].debugDescription();
    }
}

TEST(LdKeyedArchiveTest, ArchivesCustomObjectsWithInlineNumbersAndEscapedKeys) {
    const LdValue archive =
            plistOf(archived(LdValue::dictionary({{kLdArchiveClassNameKey, "LdTestRecord"},
                                                  {"$x", "s"},
                                                  {"n", 2},
                                                  {"none", LdValue()}})));
    const LdValue expected = LdValue::array({
            "$null",
            LdValue::dictionary(
                    {{"$class", LdUID{3}}, {"$$x", LdUID{2}}, {"n", 2}, {"none", LdUID{0}}}),
            "s",
            classDescription("LdTestRecord", {"LdTestRecord", "NSObject"}),
    });
    EXPECT_EQ(archive["$objects"], expected) << archive["$objects"].debugDescription();
}

TEST(LdKeyedArchiveTest, ArchiverRefusesWhatCannotReadBack) {
    const std::vector<std::pair<const char*, LdValue>> cases = {
            {"UID", LdValue::array({LdUID{3}})},
            {"empty class name", LdValue::dictionary({{kLdArchiveClassNameKey, ""}})},
            {"reserved class name", LdValue::dictionary({{kLdArchiveClassNameKey, "NSArray"}})},
            {"65 nested arrays", nestedArrays(65)},
            {"malformed UTF-8", std::string("\xC0\x80")},
    };
    for (const auto& [what, value] : cases) {
        LdError error;
        EXPECT_FALSE(LdKeyedArchiver::archivedDataWithRootObject(value, &error).has_value())
                << what;
        EXPECT_TRUE(error.isSet()) << what;
    }
}

// ---------------------------------------------------------------------------------------------
// Unarchiving

TEST(LdKeyedArchiveTest, DecodesThePlatformArchiveOfACustomStringClass) {
    const LdData data = ldReadFile(ldTestDataPath("plist/platform-keyed-string.bplist"));
    LdError error;
    const std::optional<LdValue> value = unarchive(data, {"OC_BuiltinPythonUnicode"}, &error);
    ASSERT_TRUE(value.has_value()) << error;
    EXPECT_EQ(*value, LdValue::dictionary({{kLdArchiveClassNameKey, "OC_BuiltinPythonUnicode"},
                                           {"NS.string", "KeyArchive UID Test"},
                                           {"pytype", 1}}));
    // A class outside the list is refused even though its chain names NSString.
    expectRejected(data, "custom string class", LdKeyedUnarchiver::defaultAllowedClasses());
}

TEST(LdKeyedArchiveTest, DecodesMutableClassesSetsAndSharedReferences) {
    const LdData data = ldReadFile(ldTestDataPath("plist/keyed-mutable-classes.xml"));
    std::set<std::string> classes = LdKeyedUnarchiver::defaultAllowedClasses();
    classes.insert("NSSet");
    LdError error;
    const std::optional<LdValue> value = unarchive(data, classes, &error);
    ASSERT_TRUE(value.has_value()) << error;
    const LdValue expected = LdValue::dictionary({
            {"array", LdValue::array({"shared text", LdValue(), 42, true, 2.5})},
            {"data", LdData{0xDE, 0xAD, 0xBE, 0xEF}},
            {"date", LdDate::fromReferenceSeconds(120479613.5)},
            {"decimal", LdDecimal::fromParts(125, -1, false)},
            {"null", LdValue()},
            {"plain data", LdData{1, 2}},
            {"set", LdValue::array({"shared text"})},
            {"string", "mutable"},
    });
    EXPECT_EQ(*value, expected) << value->debugDescription();
    // NSSet is no default class.
    expectRejected(data, "set not allowed", LdKeyedUnarchiver::defaultAllowedClasses());
}

TEST(LdKeyedArchiveTest, AllowsClassesAsSecureCodingDoes) {
    const LdData mutableArray = keyedArchive(
            {"$null", arrayObject({}, 2),
             classDescription("NSMutableArray", {"NSMutableArray", "NSArray", "NSObject"})});
    const LdData decimal = keyedArchive({"$null", decimalObject(2, {}), kDecimalClass});
    const LdData date =
            keyedArchive({"$null", LdValue::dictionary({{"$class", LdUID{2}}, {"NS.time", 1.0}}),
                          classDescription("NSDate", {"NSDate", "NSObject"})});
    const LdData plainString = archived("text");
    const LdData plainNumber = archived(7);
    const LdData plainData = archived(LdData{1});
    struct Case {
        const char* what;
        const LdData& data;
        std::set<std::string> classes;
        bool allowed;
    };
    const std::vector<Case> cases = {
            {"mutable subclass of an allowed class", mutableArray, {"NSArray"}, true},
            {"mutable class named", mutableArray, {"NSMutableArray"}, true},
            {"class not allowed", mutableArray, {"NSDictionary"}, false},
            {"decimal under NSNumber", decimal, {"NSNumber"}, true},
            {"decimal not allowed", decimal, {"NSArray"}, false},
            {"date not allowed", date, {"NSArray", "NSNumber"}, false},
            {"plain string always", plainString, {}, true},
            {"plain number always", plainNumber, {}, true},
            {"plain data needs NSData", plainData, {"NSString"}, false},
            {"plain data with NSData", plainData, {"NSData"}, true},
    };
    for (const Case& testCase : cases) {
        LdError error;
        EXPECT_EQ(unarchive(testCase.data, testCase.classes, &error).has_value(), testCase.allowed)
                << testCase.what << " " << error;
    }
}

TEST(LdKeyedArchiveTest, DecodesDecimalFields) {
    struct Case {
        LdValue::Dictionary changes;
        LdDecimal expected;
    };
    const std::vector<Case> cases = {
            {{}, LdDecimal::fromParts(125, -1, false)},
            {{{"NS.mantissa.bo", 2},
              {"NS.mantissa", LdData{0, 125, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}},
             LdDecimal::fromParts(125, -1, false)},
            {{{"NS.length", 0}, {"NS.negative", true}}, LdDecimal::notANumber()},
            {{{"NS.length", 0}}, LdDecimal::zero()},
            // Words past the length do not count.
            {{{"NS.mantissa", LdData{125, 0, 9, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}},
             LdDecimal::fromParts(125, -1, false)},
            {{{"NS.exponent", LdValue()}, {"NS.negative", 1}}, LdDecimal::fromParts(125, 0, true)},
    };
    for (const Case& testCase : cases) {
        LdError error;
        const std::optional<LdValue> value = unarchive(
                keyedArchive({"$null", decimalObject(2, testCase.changes), kDecimalClass}),
                LdKeyedUnarchiver::defaultAllowedClasses(), &error);
        ASSERT_TRUE(value.has_value()) << error;
        EXPECT_EQ(*value, LdValue(testCase.expected)) << value->debugDescription();
    }
}

TEST(LdKeyedArchiveTest, RejectsMalformedArchives) {
    const LdValue dictionaryClass = classDescription("NSDictionary", {"NSDictionary", "NSObject"});
    const auto dictionaryObject = [](LdValue keys, LdValue values) {
        return LdValue::dictionary({{"$class", LdUID{2}},
                                    {"NS.keys", std::move(keys)},
                                    {"NS.objects", std::move(values)}});
    };
    const auto archiveWith = [](const char* key, LdValue value) {
        LdValue archive = LdValue::dictionary({
                {"$archiver", "NSKeyedArchiver"},
                {"$objects", LdValue::array({"$null", "root"})},
                {"$top", LdValue::dictionary({{"root", LdUID{1}}})},
                {"$version", 100000},
        });
        if (value.isNull()) {
            archive.mutableDictionary().erase(key);
        } else {
            archive.set(key, std::move(value));
        }
        return LdPropertyList::dataWithPropertyList(archive, LdPropertyList::Format::Binary)
                .value();
    };
    struct Case {
        const char* what;
        LdData data;
    };
    const std::vector<Case> cases = {
            {"garbage", ld::test::bytesOf("not an archive")},
            {"plist of another shape", LdPropertyList::dataWithPropertyList(
                                               LdValue::array({1}), LdPropertyList::Format::Binary)
                                               .value()},
            {"other archiver", archiveWith("$archiver", "NSArchiver")},
            {"other version", archiveWith("$version", 99999)},
            {"no $top", archiveWith("$top", LdValue())},
            {"$top without root", archiveWith("$top", LdValue::dictionary({{"base", LdUID{1}}}))},
            {"root no UID", archiveWith("$top", LdValue::dictionary({{"root", 1}}))},
            {"no $objects", archiveWith("$objects", LdValue())},
            {"$objects no array", archiveWith("$objects", LdValue::dictionary({}))},
            {"root out of range", keyedArchive({"$null"}, 1)},
            {"object without $class",
             keyedArchive({"$null", LdValue::dictionary({{"NS.objects", uids({})}})})},
            {"$class no UID",
             keyedArchive({"$null", LdValue::dictionary({{"$class", 2}, {"NS.objects", uids({})}}),
                           kArrayClass})},
            {"$class out of range", keyedArchive({"$null", arrayObject({}, 9)})},
            {"class description no dictionary",
             keyedArchive({"$null", arrayObject({}, 2), "NSArray"})},
            {"class description without $classname",
             keyedArchive({"$null", arrayObject({}, 2),
                           LdValue::dictionary({{"$classes", LdValue::array({"NSArray"})}})})},
            {"$classes no strings",
             keyedArchive({"$null", arrayObject({}, 2), classDescription("NSArray", {1})})},
            {"NS.objects missing",
             keyedArchive({"$null", LdValue::dictionary({{"$class", LdUID{2}}}), kArrayClass})},
            {"NS.objects no array",
             keyedArchive({"$null",
                           LdValue::dictionary({{"$class", LdUID{2}}, {"NS.objects", LdUID{0}}}),
                           kArrayClass})},
            {"NS.objects holding a number",
             keyedArchive({"$null",
                           LdValue::dictionary(
                                   {{"$class", LdUID{2}}, {"NS.objects", LdValue::array({1})}}),
                           kArrayClass})},
            {"reference out of range", keyedArchive({"$null", arrayObject({7}, 2), kArrayClass})},
            {"keys and objects of different lengths",
             keyedArchive(
                     {"$null", dictionaryObject(uids({3}), uids({3, 3})), dictionaryClass, "k"})},
            {"key no string",
             keyedArchive({"$null", dictionaryObject(uids({3}), uids({3})), dictionaryClass, 5})},
            {"null key",
             keyedArchive({"$null", dictionaryObject(uids({0}), uids({0})), dictionaryClass})},
            {"array containing itself", keyedArchive({"$null", arrayObject({1}, 2), kArrayClass})},
            {"indirect cycle",
             keyedArchive({"$null", dictionaryObject(uids({3}), uids({4})), dictionaryClass, "k",
                           arrayObject({1}, 5), kArrayClass})},
            {"date without NS.time",
             keyedArchive({"$null", LdValue::dictionary({{"$class", LdUID{2}}}),
                           classDescription("NSDate", {})})},
            {"date with text NS.time",
             keyedArchive({"$null", LdValue::dictionary({{"$class", LdUID{2}}, {"NS.time", "now"}}),
                           classDescription("NSDate", {})})},
            {"mantissa of 15 bytes",
             keyedArchive(
                     {"$null", decimalObject(2, {{"NS.mantissa", LdData(15, 0)}}), kDecimalClass})},
            {"mantissa missing",
             keyedArchive(
                     {"$null", decimalObject(2, {{"NS.mantissa", LdValue()}}), kDecimalClass})},
            {"mantissa by reference",
             keyedArchive({"$null", decimalObject(2, {{"NS.mantissa", LdUID{0}}}), kDecimalClass})},
            {"exponent 128",
             keyedArchive({"$null", decimalObject(2, {{"NS.exponent", 128}}), kDecimalClass})},
            {"exponent -129",
             keyedArchive({"$null", decimalObject(2, {{"NS.exponent", -129}}), kDecimalClass})},
            {"exponent no integer",
             keyedArchive({"$null", decimalObject(2, {{"NS.exponent", 1.5}}), kDecimalClass})},
            {"length 9",
             keyedArchive({"$null", decimalObject(2, {{"NS.length", 9}}), kDecimalClass})},
            {"plain date object", keyedArchive({"$null", LdDate()})},
            {"plain array object", keyedArchive({"$null", LdValue::array({})})},
            {"mutable string without NS.string",
             keyedArchive({"$null", LdValue::dictionary({{"$class", LdUID{2}}}),
                           classDescription("NSMutableString", {})})},
            {"custom field named $classname",
             keyedArchive({"$null",
                           LdValue::dictionary({{"$class", LdUID{2}}, {"$$classname", "x"}}),
                           classDescription("LdTestRecord", {})})},
    };
    for (const Case& testCase : cases) {
        expectRejected(testCase.data, testCase.what);
    }
}

TEST(LdKeyedArchiveTest, NestsUpTo64ObjectsAndRejectsDeeper) {
    const std::optional<LdValue> deepest = unarchive(archived(nestedArrays(64)), kRecordClasses);
    EXPECT_EQ(deepest, nestedArrays(64));

    LdValue::Array objects = {"$null"};
    for (std::uint64_t level = 1; level <= 65; ++level) {
        objects.push_back(arrayObject({level + 1}, 67));
    }
    objects.emplace_back("leaf");
    objects.push_back(kArrayClass);
    expectRejected(keyedArchive(std::move(objects)), "65 nested arrays");
}

TEST(LdKeyedArchiveTest, RejectsADeepArchiveWithoutDeepRecursion) {
    constexpr std::uint64_t kDepth = 20000;
    LdValue::Array objects = {"$null"};
    objects.reserve(kDepth + 2);
    for (std::uint64_t level = 1; level < kDepth; ++level) {
        objects.push_back(arrayObject({level + 1}, kDepth + 1));
    }
    objects.push_back(arrayObject({}, kDepth + 1));
    objects.push_back(kArrayClass);
    const LdData data = keyedArchive(std::move(objects));
    ASSERT_LT(data.size(), 1000000U);
    expectRejected(data, "deep archive");
}

TEST(LdKeyedArchiveTest, DecodesSharedReferencesButRejectsExponentialExpansion) {
    // One array referenced twice reads as two equal arrays.
    const std::optional<LdValue> shared = unarchive(
            keyedArchive({"$null", arrayObject({2, 2}, 4), arrayObject({3}, 4), "x", kArrayClass}),
            kRecordClasses);
    EXPECT_EQ(shared, LdValue::array({LdValue::array({"x"}), LdValue::array({"x"})}));

    // Each level holds the next one twice: 60 levels would expand to 2^60 values.
    LdValue::Array objects = {"$null"};
    for (std::uint64_t level = 1; level <= 60; ++level) {
        objects.push_back(arrayObject({level + 1, level + 1}, 62));
    }
    objects.emplace_back("x");
    objects.push_back(kArrayClass);
    expectRejected(keyedArchive(std::move(objects)), "exponential expansion");
}

TEST(LdKeyedArchiveTest, FailsCleanlyOnEveryTruncation) {
    const LdData data = archived(recordValue());
    for (std::size_t length = 0; length < data.size(); ++length) {
        expectRejected(LdData(data.begin(), data.begin() + static_cast<long>(length)),
                       "cut to " + std::to_string(length));
    }
}
