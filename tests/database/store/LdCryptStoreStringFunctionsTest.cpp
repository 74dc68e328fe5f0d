// The store's three text comparisons, directly and as SQL functions on an in-memory connection.
#include "core/database/store/LdCryptStoreStringFunctions.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/database/store/detail/LdSQLite.h"

namespace {

using F = LdCryptStoreStringFunctions;
constexpr int kCase = F::kCaseInsensitive;
constexpr int kDiacritic = F::kDiacriticInsensitive;

struct LikeCase {
    const char* value;
    const char* pattern;
    int flags;
    bool matches;
};

TEST(LdCryptStoreStringFunctionsTest, LikeFollowsTheTokenRules) {
    const LikeCase cases[] = {
            {"Bakery", "B*", 0, true},  // letter then asterisk: every value beginning with it
            {"B", "B*", 0, true},
            {"aBakery", "B*", 0, false},
            {"Rent", "Rent", 0, true},  // no wildcards: the equal value only
            {"Rental", "Rent", 0, false},
            {"cat", "c?t", 0, true},  // question mark: exactly one character
            {"ct", "c?t", 0, false},
            {"coat", "c?t", 0, false},
            {"a*b", "a\\*b", 0, true},  // escaped asterisk: only an asterisk
            {"axb", "a\\*b", 0, false},
            {"a?", "a\\?", 0, true},
            {"ab", "a\\?", 0, false},
            {"a\\", "a\\\\", 0, true},  // escaped backslash
            {"a\\b", "a\\b", 0, true},  // other backslashes stay as they are
            {"", "", 0, false},         // empty pattern never matches
            {"x", "", 0, false},
            {"", "*", 0, true},
            {"ab", "*b", 0, true},
            {"abcb", "*b", 0, true},
            {"abc", "a*c*", 0, true},
            {"ac", "a*b", 0, false},
            {"xyz", "*y*", 0, true},
            {"a", "a**", 0, false},  // a middle asterisk needs a start position left
            {"ab", "a**", 0, true},
            {"MÜNCHEN", "m*", kCase, true},
            {"Müller", "mu*", kCase | kDiacritic, true},
            {"Müller", "mu*", kCase, false},
            {"éa", "?a", 0, true},  // one character, not one byte
            {"e\xCC\x81"
             "a",
             "?a", 0, true},  // decomposed é is one character after composition
    };
    for (const LikeCase& c : cases) {
        EXPECT_EQ(F::like(c.value, c.pattern, c.flags), c.matches)
                << "'" << c.value << "' LIKE '" << c.pattern << "' flags " << c.flags;
    }
}

TEST(LdCryptStoreStringFunctionsTest, LikeWithManyAsterisksStaysFast) {
    std::string value(20000, 'a');
    std::string pattern;
    for (int i = 0; i < 30; ++i) {
        pattern += "*a";
    }
    pattern += "*b";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(F::like(value, pattern, 0));
    EXPECT_TRUE(F::like(value + "b", pattern, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The token walk as described for the store, by plain backtracking: a reference for short texts.
bool referenceLike(const std::string& value,
                   const std::vector<std::string>& tokens,
                   std::size_t token,
                   std::size_t position) {
    if (token == tokens.size()) {
        return position == value.size();
    }
    const std::string& current = tokens[token];
    if (current == "?") {
        return position < value.size() && referenceLike(value, tokens, token + 1, position + 1);
    }
    if (current == "*") {
        if (token + 1 == tokens.size()) {
            return true;
        }
        for (std::size_t start = position; start < value.size(); ++start) {
            if (referenceLike(value, tokens, token + 1, start)) {
                return true;
            }
        }
        return false;
    }
    return value.compare(position, current.size(), current) == 0 &&
           referenceLike(value, tokens, token + 1, position + current.size());
}

// Tokens of a pattern over 'a', 'b', '*' and '?' (no escapes): wildcards alone, letters in runs.
std::vector<std::string> referenceTokens(const std::string& pattern) {
    std::vector<std::string> tokens;
    for (char c : pattern) {
        if (c == '*' || c == '?') {
            tokens.emplace_back(1, c);
        } else if (!tokens.empty() && tokens.back() != "*" && tokens.back() != "?") {
            tokens.back() += c;
        } else {
            tokens.emplace_back(1, c);
        }
    }
    return tokens;
}

TEST(LdCryptStoreStringFunctionsTest, LikeAgreesWithTheBacktrackingWalk) {
    const char kAlphabet[] = {'a', 'b', '*', '?'};
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1103515245U + 12345U;
        return (seed >> 16) % bound;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string value;
        for (std::uint32_t i = 0, n = next(7); i < n; ++i) {
            value += kAlphabet[next(2)];
        }
        std::string pattern;
        for (std::uint32_t i = 0, n = 1 + next(6); i < n; ++i) {
            pattern += kAlphabet[next(4)];
        }
        EXPECT_EQ(F::like(value, pattern, 0), referenceLike(value, referenceTokens(pattern), 0, 0))
                << "'" << value << "' LIKE '" << pattern << "'";
    }
}

TEST(LdCryptStoreStringFunctionsTest, SearchModesAndLengths) {
    EXPECT_TRUE(F::stringSearch("Groceries", "Gro", 0, F::kBeginsWith));
    EXPECT_FALSE(F::stringSearch("Groceries", "ies", 0, F::kBeginsWith));
    EXPECT_TRUE(F::stringSearch("Groceries", "ies", 0, F::kEndsWith));
    EXPECT_FALSE(F::stringSearch("ies", "Groceries", 0, F::kEndsWith));  // pattern longer: false
    EXPECT_TRUE(F::stringSearch("Groceries", "cer", 0, F::kContains));   // the whole value
    EXPECT_TRUE(F::stringSearch("Groceries", "s", 0, F::kContains));
    EXPECT_FALSE(F::stringSearch("Groceries", "CER", 0, F::kContains));
    EXPECT_TRUE(F::stringSearch("Groceries", "CER", kCase, F::kContains));
    EXPECT_TRUE(F::stringSearch("Crème brûlée", "BRULEE", kCase | kDiacritic, F::kEndsWith));
    EXPECT_TRUE(F::stringSearch("abc", "", 0, F::kContains));
    EXPECT_FALSE(F::stringSearch("abc", "a", 0, 3));  // unknown mode
}

TEST(LdCryptStoreStringFunctionsTest, EqualStringUnderFlags) {
    EXPECT_TRUE(F::equalString("Café", "CAFÉ", kCase));
    EXPECT_FALSE(F::equalString("Café", "CAFE", kCase));
    EXPECT_TRUE(F::equalString("Café", "CAFE", kCase | kDiacritic));
    EXPECT_TRUE(F::equalString("Café", "Cafe", kDiacritic));
    EXPECT_FALSE(F::equalString("Café", "cafe", kDiacritic));
    EXPECT_FALSE(F::equalString("Café", "Caf", kCase | kDiacritic));
    EXPECT_TRUE(F::equalString("Straße", "STRASSE", kCase));
}

TEST(LdCryptStoreStringFunctionsTest, InvalidUtf8NeverCrashes) {
    const std::string broken = "ab\xC3\x28\xFF";
    EXPECT_FALSE(F::equalString(broken, "ab", kCase));
    EXPECT_TRUE(F::equalString(broken, broken, kCase | kDiacritic));
    EXPECT_TRUE(F::like(broken, "ab*", kCase));
    EXPECT_FALSE(F::stringSearch("ab", broken, 0, F::kContains));
}

class LdCryptStoreStringFunctionsSQLTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
        ASSERT_TRUE(F::registerCryptStoreFunctions(db_));
    }
    void TearDown() override { sqlite3_close(db_); }

    // The single integer the query yields, or -1 when it fails.
    int queryInt(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            return -1;
        }
        int result = -1;
        if (sqlite3_step(statement) == SQLITE_ROW) {
            result = sqlite3_column_type(statement, 0) == SQLITE_INTEGER
                             ? sqlite3_column_int(statement, 0)
                             : -2;
        }
        sqlite3_finalize(statement);
        return result;
    }

    sqlite3* db_ = nullptr;
};

TEST_F(LdCryptStoreStringFunctionsSQLTest, FunctionsAnswerOneOrZero) {
    EXPECT_EQ(queryInt("SELECT CryptStoreEqualString('Café', 'CAFE', 129);"), 1);
    EXPECT_EQ(queryInt("SELECT CryptStoreEqualString('Café', 'CAFE', 1);"), 0);
    EXPECT_EQ(queryInt("SELECT CryptStoreStringSearch('Groceries', 'ies', 0, 1);"), 1);
    EXPECT_EQ(queryInt("SELECT CryptStoreStringSearch('Groceries', 'ies', 0, 0);"), 0);
    EXPECT_EQ(queryInt("SELECT CryptStoreLike('Bakery', 'b*', 1);"), 1);
    EXPECT_EQ(queryInt("SELECT CryptStoreLike('Bakery', '', 1);"), 0);
}

TEST_F(LdCryptStoreStringFunctionsSQLTest, NullArgumentGivesZero) {
    EXPECT_EQ(queryInt("SELECT CryptStoreEqualString(NULL, 'a', 0);"), 0);
    EXPECT_EQ(queryInt("SELECT CryptStoreStringSearch('a', 'a', NULL, 0);"), 0);
    EXPECT_EQ(queryInt("SELECT CryptStoreLike('a', NULL, 0);"), 0);
}

TEST_F(LdCryptStoreStringFunctionsSQLTest, WrongArgumentCountFailsToPrepare) {
    EXPECT_EQ(queryInt("SELECT CryptStoreEqualString('a', 'a');"), -1);
    EXPECT_EQ(queryInt("SELECT CryptStoreStringSearch('a', 'a', 0);"), -1);
    EXPECT_EQ(queryInt("SELECT CryptStoreLike('a', 'a', 0, 0);"), -1);
}

TEST_F(LdCryptStoreStringFunctionsSQLTest, FiltersRowsOfATable) {
    ASSERT_EQ(sqlite3_exec(db_,
                           "CREATE TABLE t (name VARCHAR);"
                           "INSERT INTO t VALUES ('Bakery'), ('bank'), ('Rent'), (NULL);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM t WHERE CryptStoreLike(name, 'ba*', 1);"), 2);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM t WHERE NOT CryptStoreLike(name, 'ba*', 0);"), 3);
}

TEST(LdCryptStoreStringFunctionsRegisterTest, NullConnectionFails) {
    EXPECT_FALSE(F::registerCryptStoreFunctions(nullptr));
}

}  // namespace
