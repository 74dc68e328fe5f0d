// Tests of the predicate model: factories, the canonical text of trees built in code, the key paths
// a tree uses, and that the canonical text of a parsed predicate parses back to itself.
#include "core/database/predicate/LdPredicate.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/database/predicate/LdPredicateParser.h"

namespace {

LdPredicatePtr comparison(const std::string& keyPath, LdPredicateArgument value) {
    return LdPredicate::predicateWithLeftExpression(
            LdExpression::expressionForKeyPath(keyPath),
            LdExpression::expressionForConstantValue(std::move(value)),
            LdPredicate::Modifier::Direct, LdPredicate::OperatorType::EqualTo);
}

TEST(LdPredicateTest, CompoundsWithoutSubpredicatesAreConstants) {
    EXPECT_EQ(LdPredicate::andPredicateWithSubpredicates({})->kind(), LdPredicate::Kind::True);
    EXPECT_EQ(LdPredicate::orPredicateWithSubpredicates({})->kind(), LdPredicate::Kind::False);
    EXPECT_EQ(LdPredicate::notPredicateWithSubpredicate(nullptr), nullptr);
}

TEST(LdPredicateTest, NestedCompoundsBuiltInCodeKeepTheirGrouping) {
    const LdPredicatePtr inner =
            LdPredicate::andPredicateWithSubpredicates({comparison("a", 1), comparison("b", 2)});
    const LdPredicatePtr outer = LdPredicate::andPredicateWithSubpredicates(
            {inner, LdPredicate::notPredicateWithSubpredicate(
                            LdPredicate::orPredicateWithSubpredicates({comparison("c", 3)}))});
    EXPECT_EQ(outer->predicateFormat(), "(a == 1 AND b == 2) AND NOT c == 3");
    EXPECT_EQ(outer->subpredicates().size(), 2U);
}

TEST(LdPredicateTest, OptionsOutsideTheKnownBitsAreDropped) {
    const LdPredicatePtr predicate = LdPredicate::predicateWithLeftExpression(
            LdExpression::expressionForKeyPath("name"),
            LdExpression::expressionForConstantValue("x"), LdPredicate::Modifier::Any,
            LdPredicate::OperatorType::Like, 0xff);
    EXPECT_EQ(predicate->options(), 3U);
    EXPECT_EQ(predicate->predicateFormat(), R"(ANY name LIKE[cd] "x")");
}

TEST(LdPredicateTest, KeyPathsComeInTextOrderWithRepeats) {
    const LdPredicatePtr predicate = LdPredicateParser::predicateWithFormat(
            "dayBalance.account == %@ OR (x IN {y.z, 1} AND NOT dayBalance.account.name == %K)",
            {LdObjectID("S", nullptr, 1), "SELF.title"});
    ASSERT_NE(predicate, nullptr);
    EXPECT_EQ(predicate->keyPaths(),
              (std::vector<std::string>{"dayBalance.account", "x", "y.z", "dayBalance.account.name",
                                        "title"}));
}

TEST(LdPredicateTest, ExpressionSplitsKeyPathsAndNamesTheCollectionOperator) {
    const LdExpression counted = LdExpression::expressionForKeyPath("entries.splits.@count");
    EXPECT_EQ(counted.keyPathComponents(),
              (std::vector<std::string>{"entries", "splits", "@count"}));
    EXPECT_EQ(counted.collectionOperator(), "@count");
    EXPECT_EQ(LdExpression::expressionForKeyPath("count").collectionOperator(), "");
    EXPECT_TRUE(LdExpression::expressionForConstantValue(1).keyPathComponents().empty());
}

TEST(LdPredicateTest, ConstantsWithoutLiteralFormsHaveReadableText) {
    EXPECT_EQ(LdPredicateArgument(LdDate::fromReferenceSeconds(-0.25)).description(),
              "Date(-0.25)");
    EXPECT_EQ(LdPredicateArgument(0.1).description(), "0.1");
    EXPECT_EQ(LdPredicateArgument(LdValue::dictionary({{"a.b", 1}})).description(),
              R"({"a.b" = 1})");
    EXPECT_EQ(LdPredicateArgument(std::string("a\x01\x7f", 3)).description(), R"("a\u0001\u007f")");
    EXPECT_EQ(LdPredicateArgument(LdObjectID("store\"1", nullptr, 3)).description(),
              R"(ObjectID("store\"1", 3))");
    EXPECT_EQ(LdPredicateArgument().description(), "nil");
}

// The canonical text of a parsed predicate parses back to the same text.
class LdPredicateRoundTripTest : public ::testing::TestWithParam<const char*> {};

TEST_P(LdPredicateRoundTripTest, CanonicalTextParsesBackUnchanged) {
    const LdPredicatePtr predicate = LdPredicateParser::predicateWithFormat(GetParam());
    ASSERT_NE(predicate, nullptr);
    const std::string text = predicate->predicateFormat();
    LdError error;
    const LdPredicatePtr again = LdPredicateParser::predicateWithFormat(text, {}, &error);
    ASSERT_NE(again, nullptr) << text << "\n" << error;
    EXPECT_EQ(again->predicateFormat(), text);
}

INSTANTIATE_TEST_SUITE_P(
        Formats,
        LdPredicateRoundTripTest,
        ::testing::Values("a == 1 OR b == 2 AND NOT (c == 3 OR d == 4)",
                          "NONE tags.#in ==[cd] 'x\\n\"y\"'",
                          "a BETWEEN {-1.50, 1e200}",
                          "x == 123456789012345678901234567890123456789012",
                          "SELF.@count == 0 OR SELF == nil",
                          "#self.#and.@count > 1",
                          "(TRUEPREDICATE AND !FALSEPREDICATE) || a IN {{}, {1}}"));

}  // namespace
