// Tests of the predicate parser: the forms the library writes, the grammar, placeholders, errors
// and hostile input.
#include "core/database/predicate/LdPredicateParser.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const LdObjectID kAccount("S", nullptr, 7);
const LdObjectID kOther("S", nullptr, 8);
const LdDate kStart = LdDate::fromReferenceSeconds(1000);
const LdDate kEnd = LdDate::fromReferenceSeconds(2000.5);

struct ParseCase {
    const char* format;
    std::vector<LdPredicateArgument> arguments;
    const char* expected;  // the canonical text
};

std::ostream& operator<<(std::ostream& stream, const ParseCase& parseCase) {
    return stream << parseCase.format;
}

std::string parsedText(const ParseCase& parseCase) {
    LdError error;
    const LdPredicatePtr predicate =
            LdPredicateParser::predicateWithFormat(parseCase.format, parseCase.arguments, &error);
    if (predicate == nullptr) {
        return "<failed: " + error.descriptionKey() + ">";
    }
    EXPECT_FALSE(error.isSet());
    return predicate->predicateFormat();
}

// Formats as the library's fetches and filters write them.
class LdPredicateParserDocumentFormsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(LdPredicateParserDocumentFormsTest, ParsesToTheCanonicalText) {
    EXPECT_EQ(parsedText(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
        LibraryForms,
        LdPredicateParserDocumentFormsTest,
        ::testing::Values(
                ParseCase{"account == %@ AND date <= %@",
                          {kAccount, kEnd},
                          R"(account == ObjectID("S", 7) AND date <= Date(2000.5))"},
                ParseCase{"(account == %@) AND (date < %@)",
                          {kAccount, kStart},
                          R"(account == ObjectID("S", 7) AND date < Date(1000))"},
                ParseCase{
                        "(account == %@) AND (date > %@) AND (date < %@)",
                        {kAccount, kStart, kEnd},
                        R"(account == ObjectID("S", 7) AND date > Date(1000) AND date < Date(2000.5))"},
                ParseCase{
                        "(account == %@ AND date > %@ AND date < %@)",
                        {kAccount, kStart, kEnd},
                        R"(account == ObjectID("S", 7) AND date > Date(1000) AND date < Date(2000.5))"},
                ParseCase{"isNew == YES AND (dayBalance.account == %@)",
                          {kAccount},
                          R"(isNew == YES AND dayBalance.account == ObjectID("S", 7))"},
                ParseCase{"super_category == nil", {}, "super_category == nil"},
                ParseCase{"(lastAutoUpdateDate == nil OR lastAutoUpdateDate < %@) AND "
                          "(finished == nil OR finished == NO)",
                          {kStart},
                          "(lastAutoUpdateDate == nil OR lastAutoUpdateDate < Date(1000)) AND "
                          "(finished == nil OR finished == NO)"},
                ParseCase{"(includedInTotalBalance == YES) AND (isInactive != YES)",
                          {},
                          "includedInTotalBalance == YES AND isInactive != YES"},
                ParseCase{"onlineRelation != nil && isHidden == NO",
                          {},
                          "onlineRelation != nil AND isHidden == NO"},
                ParseCase{"syncUniqueID BEGINSWITH %@",
                          {"#me#"},
                          R"(syncUniqueID BEGINSWITH "#me#")"},
                ParseCase{"name contains [cd] %@", {"Cafe"}, R"(name CONTAINS[cd] "Cafe")"},
                ParseCase{"SELF.name contains [cd] %@", {"x"}, R"(name CONTAINS[cd] "x")"},
                ParseCase{"name beginswith[cd] %@", {"ab"}, R"(name BEGINSWITH[cd] "ab")"},
                ParseCase{"iban ==[c] %@", {"DE12"}, R"(iban ==[c] "DE12")"},
                ParseCase{"accountNumber CONTAINS[c] %@ AND bankCode ==[c] %@",
                          {"123", "100"},
                          R"(accountNumber CONTAINS[c] "123" AND bankCode ==[c] "100")"},
                ParseCase{
                        "(bankCodeClean == %@) AND ((accountNumberClean == %@) OR "
                        "(accountNumberClean == %@))",
                        {"1", "02", "2"},
                        R"(bankCodeClean == "1" AND (accountNumberClean == "02" OR accountNumberClean == "2"))"},
                ParseCase{"(isPerson == YES && (firstName ==[cd] %@ OR lastName ==[cd] %@))",
                          {"A", "B"},
                          R"(isPerson == YES AND (firstName ==[cd] "A" OR lastName ==[cd] "B"))"},
                ParseCase{
                        "isInactive == NO AND (title contains [cd] %@ OR iban contains [cd] %@)",
                        {"x", "y"},
                        R"(isInactive == NO AND (title CONTAINS[cd] "x" OR iban CONTAINS[cd] "y"))"},
                ParseCase{
                        "(tags != nil AND tags != '') OR (tags_negative != nil AND "
                        "tags_negative != '')",
                        {},
                        R"((tags != nil AND tags != "") OR (tags_negative != nil AND tags_negative != ""))"},
                ParseCase{"ibanClean == %@ && bicClean == %@",
                          {"DE1", "BIC"},
                          R"(ibanClean == "DE1" AND bicClean == "BIC")"},
                ParseCase{
                        "category == %@ AND annualBudget == %@ AND isIncome == %i",
                        {kAccount, kOther, true},
                        R"(category == ObjectID("S", 7) AND annualBudget == ObjectID("S", 8) AND isIncome == 1)"},
                ParseCase{
                        "month == %i AND year == %i AND budgetCategoryRelation == %@",
                        {3, 2024, kOther},
                        R"(month == 3 AND year == 2024 AND budgetCategoryRelation == ObjectID("S", 8))"},
                ParseCase{
                        "dayBalance.account != %@ AND dayBalance.account.currencyCode == %@ AND "
                        "transferEntry == nil",
                        {kAccount, "EUR"},
                        R"(dayBalance.account != ObjectID("S", 7) AND dayBalance.account.currencyCode == "EUR" AND transferEntry == nil)"},
                ParseCase{
                        "dayBalance.date >= %@ AND isActive == YES AND dayBalance.account IN %@",
                        {kStart, LdPredicateArgument::ObjectIDList{kAccount, kOther}},
                        R"(dayBalance.date >= Date(1000) AND isActive == YES AND dayBalance.account IN {ObjectID("S", 7), ObjectID("S", 8)})"},
                ParseCase{"(budget_remaining_amount == nil) OR (budget_status == nil)",
                          {},
                          "budget_remaining_amount == nil OR budget_status == nil"},
                ParseCase{"%K like[cd] %@", {"fileName", "*"}, R"(fileName LIKE[cd] "*")"},
                ParseCase{"entries.@count > 0", {}, "entries.@count > 0"}));

// The grammar: precedence, parentheses, operator spellings, modifiers, key paths and literals.
class LdPredicateParserGrammarTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(LdPredicateParserGrammarTest, ParsesToTheCanonicalText) {
    EXPECT_EQ(parsedText(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
        Precedence,
        LdPredicateParserGrammarTest,
        ::testing::Values(
                ParseCase{"a == 1 OR b == 2 AND c == 3", {}, "a == 1 OR (b == 2 AND c == 3)"},
                ParseCase{"(a == 1 OR b == 2) AND c == 3", {}, "(a == 1 OR b == 2) AND c == 3"},
                ParseCase{"NOT a == 1 AND b == 2", {}, "NOT a == 1 AND b == 2"},
                ParseCase{"NOT (a == 1 AND b == 2)", {}, "NOT (a == 1 AND b == 2)"},
                ParseCase{"!a == 1 || !(b == 2)", {}, "NOT a == 1 OR NOT b == 2"},
                ParseCase{"not not a == 1", {}, "NOT NOT a == 1"},
                ParseCase{"((a == 1))", {}, "a == 1"},
                ParseCase{"a == 1 AND (b == 2 AND c == 3)", {}, "a == 1 AND b == 2 AND c == 3"},
                ParseCase{"truepredicate", {}, "TRUEPREDICATE"},
                ParseCase{"FALSEPREDICATE or a=1", {}, "FALSEPREDICATE OR a == 1"}));

INSTANTIATE_TEST_SUITE_P(
        Operators,
        LdPredicateParserGrammarTest,
        ::testing::Values(ParseCase{"a = 1", {}, "a == 1"},
                          ParseCase{"a <> 1", {}, "a != 1"},
                          ParseCase{"a=<1 AND b=>2 AND c<3 AND d>4",
                                    {},
                                    "a <= 1 AND b >= 2 AND c < 3 AND d > 4"},
                          ParseCase{"a in {1, 2}", {}, "a IN {1, 2}"},
                          ParseCase{"a Between {1, 5}", {}, "a BETWEEN {1, 5}"},
                          ParseCase{"a BETWEEN %@", {LdValue::array({1, 5})}, "a BETWEEN {1, 5}"},
                          ParseCase{"name like 'J*'", {}, R"(name LIKE "J*")"},
                          ParseCase{"name matches '[0-9]+'", {}, R"(name MATCHES "[0-9]+")"},
                          ParseCase{"name endswith[d] 'e'", {}, R"(name ENDSWITH[d] "e")"},
                          ParseCase{"name ==[dc] 'e'", {}, R"(name ==[cd] "e")"},
                          ParseCase{"name CONTAINS[C] 'e'", {}, R"(name CONTAINS[c] "e")"}));

INSTANTIATE_TEST_SUITE_P(
        ModifiersAndKeyPaths,
        LdPredicateParserGrammarTest,
        ::testing::Values(ParseCase{"ANY tags.name == 'x'", {}, R"(ANY tags.name == "x")"},
                          ParseCase{"some tags.name == 'x'", {}, R"(ANY tags.name == "x")"},
                          ParseCase{"ALL entries.amount > 0", {}, "ALL entries.amount > 0"},
                          ParseCase{"NONE tags.name == 'x'", {}, R"(NOT ANY tags.name == "x")"},
                          ParseCase{"SELF IN %@",
                                    {LdPredicateArgument::ObjectIDList{kAccount}},
                                    R"(SELF IN {ObjectID("S", 7)})"},
                          ParseCase{"self.name == 'x'", {}, R"(name == "x")"},
                          ParseCase{"SELF.@count == 0", {}, "@count == 0"},
                          ParseCase{"#in == 1 AND a.not == 2", {}, "#in == 1 AND a.#not == 2"},
                          ParseCase{"entries.@count >= 2", {}, "entries.@count >= 2"},
                          ParseCase{"größe == 1", {}, "größe == 1"}));

INSTANTIATE_TEST_SUITE_P(
        Literals,
        LdPredicateParserGrammarTest,
        ::testing::Values(
                ParseCase{"a == 12.50", {}, "a == 12.5"},
                ParseCase{"a == -3 AND b == -0.25", {}, "a == -3 AND b == -0.25"},
                ParseCase{"a == 1e3", {}, "a == 1000"},
                ParseCase{"a == 1e200", {}, "a == 1e+200"},
                ParseCase{"a == 99999999999999999999", {}, "a == 99999999999999999999"},
                ParseCase{"a == TRUE AND b == false AND c == NULL",
                          {},
                          "a == YES AND b == NO AND c == nil"},
                ParseCase{R"(a == 'it\'s' OR a == "say \"hi\"")",
                          {},
                          R"(a == "it's" OR a == "say \"hi\"")"},
                ParseCase{R"(a == '\u00e9\t\\' OR a == 'ü')", {}, R"(a == "é\t\\" OR a == "ü")"},
                ParseCase{R"(a == '\ud83d\ude00')", {}, "a == \"\xF0\x9F\x98\x80\""},
                ParseCase{"a == '100%%' AND b == '%@'", {}, R"(a == "100%%" AND b == "%%@")"},
                ParseCase{"a IN {}", {}, "a IN {}"},
                ParseCase{"a IN {1, 'x', {2.5, nil}}", {}, R"(a IN {1, "x", {2.5, nil}})"}));

TEST(LdPredicateParserTest, DecimalLiteralsAreNeverBinaryDoubles) {
    const LdPredicatePtr predicate = LdPredicateParser::predicateWithFormat("amount == 0.10");
    ASSERT_NE(predicate, nullptr);
    const LdValue& value = predicate->rightExpression().constantValue().value();
    ASSERT_TRUE(value.isDecimal()) << value.debugDescription();
    EXPECT_EQ(value.decimalValue(), *LdDecimal::fromString("0.1"));

    const LdPredicatePtr integer = LdPredicateParser::predicateWithFormat("count == 10");
    ASSERT_NE(integer, nullptr);
    EXPECT_TRUE(integer->rightExpression().constantValue().value().isInteger());
}

TEST(LdPredicateParserTest, ComparisonCarriesOperatorOptionsAndSides) {
    const LdPredicatePtr predicate = LdPredicateParser::predicateWithFormat(
            "SELF.dayBalance.account.name BEGINSWITH[cd] %@", {"Gi"});
    ASSERT_NE(predicate, nullptr);
    ASSERT_TRUE(predicate->isComparison());
    EXPECT_EQ(predicate->predicateOperatorType(), LdPredicate::OperatorType::BeginsWith);
    EXPECT_TRUE(predicate->isCaseInsensitive());
    EXPECT_TRUE(predicate->isDiacriticInsensitive());
    EXPECT_EQ(predicate->comparisonPredicateModifier(), LdPredicate::Modifier::Direct);
    EXPECT_EQ(predicate->leftExpression().expressionType(), LdExpression::Kind::KeyPath);
    EXPECT_EQ(predicate->leftExpression().keyPath(), "dayBalance.account.name");
    EXPECT_EQ(predicate->rightExpression().constantValue(), LdPredicateArgument("Gi"));
}

// Each placeholder with each kind of argument it takes: the resulting constant or key path.
class LdPredicateParserPlaceholderTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(LdPredicateParserPlaceholderTest, SubstitutesTheArgument) {
    EXPECT_EQ(parsedText(GetParam()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
        Arguments,
        LdPredicateParserPlaceholderTest,
        ::testing::Values(ParseCase{"a == %@", {"text"}, R"(a == "text")"},
                          ParseCase{"a == %@", {"line\n\"q\""}, R"(a == "line\n\"q\"")"},
                          ParseCase{"a == %@", {42}, "a == 42"},
                          ParseCase{"a == %@", {*LdDecimal::fromString("12.50")}, "a == 12.5"},
                          ParseCase{"a == %@", {LdValue()}, "a == nil"},
                          ParseCase{"a == %@", {false}, "a == NO"},
                          ParseCase{"a == %@", {LdData{0x0a, 0xff}}, "a == <0aff>"},
                          ParseCase{"a == %@", {kAccount}, R"(a == ObjectID("S", 7))"},
                          ParseCase{"a IN %@", {LdValue::array({1, "b"})}, R"(a IN {1, "b"})"},
                          ParseCase{"%K == 1", {"name"}, "name == 1"},
                          ParseCase{"%K == 1", {"dayBalance.account"}, "dayBalance.account == 1"},
                          ParseCase{"%K > 1", {"entries.@count"}, "entries.@count > 1"},
                          ParseCase{"%K == %@", {"SELF", kAccount}, R"(SELF == ObjectID("S", 7))"},
                          ParseCase{"%K.name == 1", {"self.account"}, "account.name == 1"},
                          ParseCase{"%K == 1", {"and"}, "#and == 1"},
                          ParseCase{"a == %i AND b == %d AND c == %ld AND d == %lld",
                                    {1, 2, 3, 4},
                                    "a == 1 AND b == 2 AND c == 3 AND d == 4"},
                          ParseCase{"a == %u AND b == %lu AND c == %llu",
                                    {0, 2, std::int64_t{1} << 40},
                                    "a == 0 AND b == 2 AND c == 1099511627776"},
                          ParseCase{"a == %i", {true}, "a == 1"},
                          ParseCase{"a == %f AND b == %lf", {2.5, 3}, "a == 2.5 AND b == 3"}));

TEST(LdPredicateParserTest, RealPlaceholderKeepsABinaryDouble) {
    const LdPredicatePtr predicate = LdPredicateParser::predicateWithFormat("a > %f", {0.1});
    ASSERT_NE(predicate, nullptr);
    EXPECT_TRUE(predicate->rightExpression().constantValue().value().isReal());
}

TEST(LdPredicateParserTest, EmptyOrNullFormatIsNoPredicateAndNoError) {
    LdError error;
    EXPECT_EQ(LdPredicateParser::predicateWithFormat("", {}, &error), nullptr);
    EXPECT_EQ(LdPredicateParser::predicateWithFormat(static_cast<const char*>(nullptr), {}, &error),
              nullptr);
    EXPECT_FALSE(error.isSet());
}

struct ErrorCase {
    const char* format;
    std::vector<LdPredicateArgument> arguments;
    std::size_t position;
    const char* reason;  // a part of the message
};

std::ostream& operator<<(std::ostream& stream, const ErrorCase& errorCase) {
    return stream << errorCase.format;
}

class LdPredicateParserErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(LdPredicateParserErrorTest, FailsWithReasonAndPosition) {
    const ErrorCase& errorCase = GetParam();
    LdError error;
    EXPECT_EQ(LdPredicateParser::predicateWithFormat(errorCase.format, errorCase.arguments, &error),
              nullptr);
    ASSERT_TRUE(error.isSet());
    EXPECT_EQ(error.titleKey(), "_ERROR");
    const std::string& text = error.descriptionKey();
    EXPECT_NE(text.find("at position " + std::to_string(errorCase.position) + ": "),
              std::string::npos)
            << text;
    EXPECT_NE(text.find(errorCase.reason), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
        Structure,
        LdPredicateParserErrorTest,
        ::testing::Values(
                ErrorCase{"(a == 1", {}, 7, "expected ')' to close the '(' at position 0"},
                ErrorCase{"a == 1)", {}, 6, "')' without a matching '('"},
                ErrorCase{"a ==", {}, 4, "missing right-hand expression after '=='"},
                ErrorCase{"== 1", {}, 0, "missing left-hand expression before '=='"},
                ErrorCase{"a == 1 AND", {}, 10, "expected a comparison, found the end"},
                ErrorCase{"a foo 1", {}, 2, "unknown operator 'foo'"},
                ErrorCase{"a", {}, 1, "expected a comparison operator"},
                ErrorCase{"   ", {}, 3, "expected a comparison"},
                ErrorCase{"a == 1 b == 2", {}, 7, "expected AND, OR or the end"},
                ErrorCase{"a ==[x] 1", {}, 4, "unknown comparison option 'x'"},
                ErrorCase{"a ==[] 1", {}, 4, "empty comparison options"},
                ErrorCase{"a BETWEEN 1", {}, 10, "BETWEEN needs a list of two"},
                ErrorCase{"a BETWEEN {1, 2, 3}", {}, 10, "BETWEEN needs a list of two"},
                ErrorCase{"a.@count.b == 1", {}, 8, "must end the key path"},
                ErrorCase{"a. == 1", {}, 3, "expected a key after '.'"},
                ErrorCase{"a == {1, 2", {}, 10, "expected ',' or '}'"},
                ErrorCase{"a == AND",
                          {},
                          5,
                          "missing right-hand expression after '==', found 'AND'"}));

INSTANTIATE_TEST_SUITE_P(
        Tokens,
        LdPredicateParserErrorTest,
        ::testing::Values(ErrorCase{"a == 'abc", {}, 5, "unterminated text"},
                          ErrorCase{"a == \"abc\\\"", {}, 5, "unterminated text"},
                          ErrorCase{R"(a == 'a\q')", {}, 7, "unknown escape \\q"},
                          ErrorCase{R"(a == '\ud800')", {}, 6, "high surrogate"},
                          ErrorCase{R"(a == '\u12')", {}, 6, "four hexadecimal digits"},
                          ErrorCase{"a == %s", {}, 5, "unknown placeholder '%s'"},
                          ErrorCase{"a == 1 %%", {}, 7, "'%%' stands for a percent sign"},
                          ErrorCase{"a == $x", {}, 5, "variables"},
                          ErrorCase{"a & b", {}, 2, "unexpected '&'"},
                          ErrorCase{"a == 1;", {}, 6, "unexpected character ';'"},
                          ErrorCase{"a == 12abc", {}, 5, "malformed number"},
                          ErrorCase{"a == 1e999", {}, 5, "out of range"},
                          ErrorCase{"a ==[cd 1", {}, 4, "expected ']'"},
                          ErrorCase{"# == 1", {}, 0, "expected a name after '#'"}));

INSTANTIATE_TEST_SUITE_P(
        Arguments,
        LdPredicateParserErrorTest,
        ::testing::Values(
                ErrorCase{"a == %@", {}, 5, "no argument left for '%@' (0 given)"},
                ErrorCase{"a == %@ AND b == %@", {1}, 17, "no argument left"},
                ErrorCase{"a == %@", {1, 2}, 7, "2 arguments given, but the format uses 1"},
                ErrorCase{"a == 1", {1}, 6, "1 arguments given, but the format uses 0"},
                ErrorCase{"%K == 1", {5}, 0, "must be a text holding a key path, not an integer"},
                ErrorCase{"%K == 1", {kAccount}, 0, "not an object reference"},
                ErrorCase{"%K == 1", {"name) OR 1=1 --"}, 0, "is no key path"},
                ErrorCase{"%K == 1", {"a.@count.b"}, 0, "is no key path"},
                ErrorCase{"%K == 1", {"a..b"}, 0, "is no key path"},
                ErrorCase{"%K == 1", {""}, 0, "is no key path"},
                ErrorCase{"a == %i",
                          {"7"},
                          5,
                          "argument 1 for '%i' must be a whole number, not a text"},
                ErrorCase{"a == %ld", {1.5}, 5, "must be a whole number, not a real number"},
                ErrorCase{"a == %lu", {-1}, 5, "zero or more"},
                ErrorCase{"a == %f",
                          {*LdDecimal::fromString("1.5")},
                          5,
                          "must be a number, not a decimal number"}));

std::string repeated(const std::string& text, std::size_t count) {
    std::string result;
    result.reserve(text.size() * count);
    for (std::size_t index = 0; index < count; ++index) {
        result += text;
    }
    return result;
}

TEST(LdPredicateParserTest, NestingUpToTheCapParses) {
    const std::size_t depth = LdPredicateParser::kMaxNestingDepth;
    const std::string format = repeated("(", depth) + "a == 1" + repeated(")", depth);
    const LdPredicatePtr predicate = LdPredicateParser::predicateWithFormat(format);
    ASSERT_NE(predicate, nullptr);
    EXPECT_EQ(predicate->predicateFormat(), "a == 1");
}

TEST(LdPredicateParserTest, NestingPastTheCapFails) {
    const std::size_t depth = LdPredicateParser::kMaxNestingDepth + 1;
    const std::string format = repeated("(", depth) + "a == 1" + repeated(")", depth);
    LdError error;
    EXPECT_EQ(LdPredicateParser::predicateWithFormat(format, {}, &error), nullptr);
    EXPECT_NE(error.descriptionKey().find("at position 100: nesting deeper than 100 levels"),
              std::string::npos)
            << error;
}

TEST(LdPredicateParserTest, HostileDeepInputFailsWithoutExhaustingTheStack) {
    struct Case {
        std::string prefix;
        std::string unit;
        std::size_t count;
    };
    const std::vector<Case> cases = {{"", "(", 100000},
                                     {"", "NOT ", 10000},
                                     {"", "!", 10000},
                                     {"a IN ", "{", 10000},
                                     {"", "(!", 10000}};
    for (const auto& [prefix, unit, count] : cases) {
        LdError error;
        EXPECT_EQ(
                LdPredicateParser::predicateWithFormat(prefix + repeated(unit, count), {}, &error),
                nullptr)
                << unit;
        EXPECT_NE(error.descriptionKey().find("nesting deeper than"), std::string::npos) << error;
    }
}

TEST(LdPredicateParserTest, LongFlatChainsParse) {
    const std::size_t terms = 5000;
    const std::string format = "a == 1" + repeated(" AND a == 1", terms - 1);
    const LdPredicatePtr predicate = LdPredicateParser::predicateWithFormat(format);
    ASSERT_NE(predicate, nullptr);
    EXPECT_EQ(predicate->subpredicates().size(), terms);
    EXPECT_EQ(predicate->predicateFormat(), format);
}

}  // namespace
