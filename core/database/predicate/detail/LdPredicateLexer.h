// The tokens of the predicate format language and the lexer that cuts a format text into them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ld::detail {

enum class PredicateTokenType {
    End,
    Identifier,          // text: the name ("#name" escapes a reserved word; the '#' is dropped)
    Keyword,             // keyword; text: the spelling as written
    String,              // text: the decoded contents
    Number,              // text: the literal as written, sign included
    Placeholder,         // placeholder; text: the spelling ("%@", "%lu"...)
    CollectionOperator,  // text: the name after '@' ("count")
    Options,             // text: the letters between '[' and ']'
    LeftParen,
    RightParen,
    LeftBrace,
    RightBrace,
    Comma,
    Dot,
    Equal,           // == =
    NotEqual,        // != <>
    Less,            // <
    LessOrEqual,     // <= =<
    Greater,         // >
    GreaterOrEqual,  // >= =>
    AndAnd,          // &&
    OrOr,            // ||
    Bang,            // !
};

// Reserved words, matched without regard to ASCII case.
enum class PredicateKeyword {
    And,
    Or,
    Not,
    In,
    Like,
    BeginsWith,
    EndsWith,
    Contains,
    Matches,
    Between,
    Any,
    All,
    Some,
    None,
    Nil,
    Null,
    Yes,
    No,
    True,
    False,
    TruePredicate,
    FalsePredicate,
    Self,
};

enum class PredicatePlaceholder {
    Object,           // %@
    KeyPath,          // %K
    SignedInteger,    // %i %d %li %ld %lli %lld
    UnsignedInteger,  // %u %lu %llu
    Real,             // %f %lf
};

struct PredicateToken {
    PredicateTokenType type = PredicateTokenType::End;
    std::size_t position = 0;  // byte offset of the token in the format
    std::string text;          // see PredicateTokenType; symbols keep their spelling
    PredicateKeyword keyword = PredicateKeyword::And;
    PredicatePlaceholder placeholder = PredicatePlaceholder::Object;
};

struct PredicateSyntaxError {
    std::size_t position = 0;  // byte offset in the format
    std::string message;
};

// The keyword a word spells (ASCII case ignored), if any.
std::optional<PredicateKeyword> predicateKeywordForWord(std::string_view word);

// Whether `name` may stand as a key-path component without '#': a plain identifier that is no
// keyword.
bool isPlainPredicateIdentifier(std::string_view name);

// Whether a byte may start (`first`) or continue an identifier: ASCII letters, '_', digits after
// the first byte, and every byte of a multi-byte UTF-8 sequence.
bool isPredicateIdentifierByte(unsigned char byte, bool first);

// Cuts `format` into tokens, the last one of type End. Quoted texts are decoded here: backslash
// escapes
// \" \' \\ \n \r \t \0 \uXXXX (surrogate pairs joined), "%%" gives one '%', and placeholders inside
// quotes stay literal text. Fails on the first malformed token (unterminated text, unknown escape,
// unknown placeholder, stray character) and fills `error`. Linear in the length of the format.
bool tokenizePredicateFormat(std::string_view format,
                             std::vector<PredicateToken>& tokens,
                             PredicateSyntaxError& error);

}  // namespace ld::detail
