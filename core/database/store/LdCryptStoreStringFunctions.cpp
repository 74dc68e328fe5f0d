// The store's text comparisons: folding through ICU, the LIKE matcher and the SQL glue.
#include "core/database/store/LdCryptStoreStringFunctions.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "core/database/store/detail/LdSQLite.h"

namespace {

using CodePoints = std::vector<UChar32>;

// Canonical composition always; diacritics are dropped through decomposition and removal of
// the non-spacing marks; case is folded with the default (language-independent) folding.
CodePoints foldedCodePoints(std::string_view text, int flags) {
    icu::UnicodeString string = icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    if ((flags & LdCryptStoreStringFunctions::kDiacriticInsensitive) != 0) {
        const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
        if (U_SUCCESS(status)) {
            icu::UnicodeString decomposed = nfd->normalize(string, status);
            if (U_SUCCESS(status)) {
                icu::UnicodeString stripped;
                for (int32_t i = 0; i < decomposed.length(); i = decomposed.moveIndex32(i, 1)) {
                    UChar32 c = decomposed.char32At(i);
                    if (u_charType(c) != U_NON_SPACING_MARK) {
                        stripped.append(c);
                    }
                }
                string = stripped;
            }
        }
        status = U_ZERO_ERROR;
    }
    if ((flags & LdCryptStoreStringFunctions::kCaseInsensitive) != 0) {
        string.foldCase(U_FOLD_CASE_DEFAULT);
    }
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_SUCCESS(status)) {
        icu::UnicodeString composed = nfc->normalize(string, status);
        if (U_SUCCESS(status)) {
            string = composed;
        }
    }
    CodePoints points;
    points.reserve(static_cast<std::size_t>(string.length()));
    for (int32_t i = 0; i < string.length(); i = string.moveIndex32(i, 1)) {
        points.push_back(string.char32At(i));
    }
    return points;
}

// Characters of the text as written (the "longer than" rule of the search counts these).
std::size_t characterCount(std::string_view text) {
    return foldedCodePoints(text, 0).size();
}

bool matchesAt(const CodePoints& value, std::size_t position, const CodePoints& literal) {
    return position + literal.size() <= value.size() &&
           std::equal(literal.begin(), literal.end(),
                      value.begin() + static_cast<std::ptrdiff_t>(position));
}

struct LikeToken {
    enum class Kind { Literal, AnyOne, AnyRun } kind;
    std::string literal;  // unescaped UTF-8, only for Literal
};

// Each unescaped '*' and '?' is a token; runs of anything else form one literal. A backslash
// before '*', '?' or '\' makes that character literal; before anything else it stays as it is.
std::vector<LikeToken> likeTokens(std::string_view pattern) {
    std::vector<LikeToken> tokens;
    std::string literal;
    auto flush = [&] {
        if (!literal.empty()) {
            tokens.push_back({LikeToken::Kind::Literal, literal});
            literal.clear();
        }
    };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '\\' && i + 1 < pattern.size() &&
            (pattern[i + 1] == '*' || pattern[i + 1] == '?' || pattern[i + 1] == '\\')) {
            literal.push_back(pattern[++i]);
        } else if (c == '*' || c == '?') {
            flush();
            tokens.push_back({c == '*' ? LikeToken::Kind::AnyRun : LikeToken::Kind::AnyOne, {}});
        } else {
            literal.push_back(c);
        }
    }
    flush();
    return tokens;
}

bool isNullArgument(sqlite3_value* value) {
    return sqlite3_value_type(value) == SQLITE_NULL;
}

std::string_view textArgument(sqlite3_value* value) {
    const unsigned char* text = sqlite3_value_text(value);
    int length = sqlite3_value_bytes(value);
    if (text == nullptr || length <= 0) {
        return {};
    }
    return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)};
}

bool anyNull(int argc, sqlite3_value** argv) {
    return std::any_of(argv, argv + argc,
                       [](sqlite3_value* value) { return isNullArgument(value); });
}

void equalStringFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (argc != 3 || anyNull(argc, argv)) {
        sqlite3_result_int(context, 0);
        return;
    }
    bool match = LdCryptStoreStringFunctions::equalString(
            textArgument(argv[0]), textArgument(argv[1]), sqlite3_value_int(argv[2]));
    sqlite3_result_int(context, match ? 1 : 0);
}

void stringSearchFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (argc != 4 || anyNull(argc, argv)) {
        sqlite3_result_int(context, 0);
        return;
    }
    bool match = LdCryptStoreStringFunctions::stringSearch(
            textArgument(argv[0]), textArgument(argv[1]), sqlite3_value_int(argv[2]),
            sqlite3_value_int(argv[3]));
    sqlite3_result_int(context, match ? 1 : 0);
}

void likeFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (argc != 3 || anyNull(argc, argv)) {
        sqlite3_result_int(context, 0);
        return;
    }
    bool match = LdCryptStoreStringFunctions::like(textArgument(argv[0]), textArgument(argv[1]),
                                                   sqlite3_value_int(argv[2]));
    sqlite3_result_int(context, match ? 1 : 0);
}

}  // namespace

bool LdCryptStoreStringFunctions::equalString(std::string_view value,
                                              std::string_view pattern,
                                              int flags) {
    return foldedCodePoints(value, flags) == foldedCodePoints(pattern, flags);
}

bool LdCryptStoreStringFunctions::stringSearch(std::string_view value,
                                               std::string_view pattern,
                                               int flags,
                                               int mode) {
    if (mode != kBeginsWith && mode != kEndsWith && mode != kContains) {
        return false;
    }
    if (characterCount(pattern) > characterCount(value)) {
        return false;
    }
    CodePoints folded = foldedCodePoints(value, flags);
    CodePoints needle = foldedCodePoints(pattern, flags);
    if (needle.size() > folded.size()) {
        return false;
    }
    switch (mode) {
        case kBeginsWith:
            return matchesAt(folded, 0, needle);
        case kEndsWith:
            return matchesAt(folded, folded.size() - needle.size(), needle);
        default:
            return std::search(folded.begin(), folded.end(), needle.begin(), needle.end()) !=
                   folded.end();
    }
}

bool LdCryptStoreStringFunctions::like(std::string_view value,
                                       std::string_view pattern,
                                       int flags) {
    if (pattern.empty()) {
        return false;
    }
    std::vector<LikeToken> tokens = likeTokens(pattern);
    CodePoints folded = foldedCodePoints(value, flags);  // once per call, not per position
    std::vector<CodePoints> literals(tokens.size());
    for (std::size_t t = 0; t < tokens.size(); ++t) {
        if (tokens[t].kind == LikeToken::Kind::Literal) {
            literals[t] = foldedCodePoints(tokens[t].literal, flags);
        }
    }

    // matches[t][p]: tokens t… match the value from position p on. The first-success search
    // over start positions only asks whether some position succeeds, so one row per token,
    // filled from the end, gives the same answer without backtracking.
    //   no tokens left      -> p is the end of the value
    //   '?'                 -> one character left and the rest matches after it
    //   literal             -> the literal is at p and the rest matches after it
    //   last '*'            -> always (it takes the rest)
    //   other '*'           -> the rest matches at some q with p <= q < n
    const std::size_t n = folded.size();
    std::vector<char> next(n + 1, 0);
    next[n] = 1;
    std::vector<char> current(n + 1, 0);
    for (std::size_t t = tokens.size(); t-- > 0;) {
        const LikeToken& token = tokens[t];
        for (std::size_t p = n + 1; p-- > 0;) {
            bool match = false;
            switch (token.kind) {
                case LikeToken::Kind::AnyOne:
                    match = p < n && next[p + 1] != 0;
                    break;
                case LikeToken::Kind::Literal:
                    match = matchesAt(folded, p, literals[t]) && next[p + literals[t].size()] != 0;
                    break;
                case LikeToken::Kind::AnyRun:
                    if (t + 1 == tokens.size()) {
                        match = true;
                    } else {
                        match = p < n && (next[p] != 0 || (p + 1 < n && current[p + 1] != 0));
                    }
                    break;
            }
            current[p] = match ? 1 : 0;
        }
        std::swap(next, current);
    }
    return next[0] != 0;
}

bool LdCryptStoreStringFunctions::registerCryptStoreFunctions(sqlite3* db) {
    if (db == nullptr) {
        return false;
    }
    constexpr int kTextFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    return sqlite3_create_function(db, "CryptStoreEqualString", 3, kTextFlags, nullptr,
                                   &equalStringFunction, nullptr, nullptr) == SQLITE_OK &&
           sqlite3_create_function(db, "CryptStoreStringSearch", 4, kTextFlags, nullptr,
                                   &stringSearchFunction, nullptr, nullptr) == SQLITE_OK &&
           sqlite3_create_function(db, "CryptStoreLike", 3, kTextFlags, nullptr, &likeFunction,
                                   nullptr, nullptr) == SQLITE_OK;
}
