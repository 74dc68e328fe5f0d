// The lexer of the predicate format language: one pass over the bytes of the format, no
// backtracking.
#include "core/database/predicate/detail/LdPredicateLexer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "core/support/foundation/LdText.h"

namespace ld::detail {

namespace {

struct KeywordSpelling {
    std::string_view lowerCase;
    PredicateKeyword keyword;
};

constexpr std::array<KeywordSpelling, 23> kKeywords = {{
        {"and", PredicateKeyword::And},
        {"or", PredicateKeyword::Or},
        {"not", PredicateKeyword::Not},
        {"in", PredicateKeyword::In},
        {"like", PredicateKeyword::Like},
        {"beginswith", PredicateKeyword::BeginsWith},
        {"endswith", PredicateKeyword::EndsWith},
        {"contains", PredicateKeyword::Contains},
        {"matches", PredicateKeyword::Matches},
        {"between", PredicateKeyword::Between},
        {"any", PredicateKeyword::Any},
        {"all", PredicateKeyword::All},
        {"some", PredicateKeyword::Some},
        {"none", PredicateKeyword::None},
        {"nil", PredicateKeyword::Nil},
        {"null", PredicateKeyword::Null},
        {"yes", PredicateKeyword::Yes},
        {"no", PredicateKeyword::No},
        {"true", PredicateKeyword::True},
        {"false", PredicateKeyword::False},
        {"truepredicate", PredicateKeyword::TruePredicate},
        {"falsepredicate", PredicateKeyword::FalsePredicate},
        {"self", PredicateKeyword::Self},
}};

constexpr std::size_t kLongestKeyword = 14;

bool isDigit(char character) {
    return character >= '0' && character <= '9';
}

bool isSpace(char character) {
    return character == ' ' || character == '\t' || character == '\n' || character == '\r' ||
           character == '\f' || character == '\v';
}

bool isAsciiLetter(char character) {
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z');
}

// A character for an error message: itself when printable ASCII, else its byte value.
std::string shownCharacter(char character) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte >= 0x20 && byte < 0x7f) {
        return std::string("'") + character + "'";
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 0x0f];
}

class Lexer {
public:
    Lexer(std::string_view format, std::vector<PredicateToken>& tokens, PredicateSyntaxError& error)
        : format_(format), tokens_(tokens), error_(error) {}

    bool run() {
        while (true) {
            while (index_ < format_.size() && isSpace(format_[index_])) {
                ++index_;
            }
            if (index_ >= format_.size()) {
                add(PredicateTokenType::End, index_);
                return true;
            }
            if (!next()) {
                return false;
            }
        }
    }

private:
    char at(std::size_t index) const { return index < format_.size() ? format_[index] : '\0'; }

    bool fail(std::size_t position, std::string message) {
        error_.position = position;
        error_.message = std::move(message);
        return false;
    }

    PredicateToken& add(PredicateTokenType type, std::size_t position, std::string text = {}) {
        PredicateToken token;
        token.type = type;
        token.position = position;
        token.text = std::move(text);
        tokens_.push_back(std::move(token));
        return tokens_.back();
    }

    // Two-character symbols first, so "<=" never reads as "<" and "=".
    bool symbol() {
        struct Symbol {
            std::string_view spelling;
            PredicateTokenType type;
        };
        static constexpr std::array<Symbol, 19> kSymbols = {{
                {"==", PredicateTokenType::Equal},
                {"!=", PredicateTokenType::NotEqual},
                {"<>", PredicateTokenType::NotEqual},
                {"<=", PredicateTokenType::LessOrEqual},
                {"=<", PredicateTokenType::LessOrEqual},
                {">=", PredicateTokenType::GreaterOrEqual},
                {"=>", PredicateTokenType::GreaterOrEqual},
                {"&&", PredicateTokenType::AndAnd},
                {"||", PredicateTokenType::OrOr},
                {"=", PredicateTokenType::Equal},
                {"<", PredicateTokenType::Less},
                {">", PredicateTokenType::Greater},
                {"!", PredicateTokenType::Bang},
                {"(", PredicateTokenType::LeftParen},
                {")", PredicateTokenType::RightParen},
                {"{", PredicateTokenType::LeftBrace},
                {"}", PredicateTokenType::RightBrace},
                {",", PredicateTokenType::Comma},
                {".", PredicateTokenType::Dot},
        }};
        const std::string_view rest = format_.substr(index_);
        for (const Symbol& symbol : kSymbols) {
            if (rest.substr(0, symbol.spelling.size()) == symbol.spelling) {
                add(symbol.type, index_, std::string(symbol.spelling));
                index_ += symbol.spelling.size();
                return true;
            }
        }
        if (rest.front() == '&' || rest.front() == '|') {
            return fail(index_, std::string("unexpected '") + rest.front() +
                                        "' (write && or AND, || or OR)");
        }
        return fail(index_, "unexpected character " + shownCharacter(rest.front()));
    }

    bool next() {
        const char character = format_[index_];
        const auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\'') {
            return quoted(character);
        }
        if (isDigit(character) || (character == '-' && isDigit(at(index_ + 1)))) {
            return number();
        }
        if (isPredicateIdentifierByte(byte, /*first=*/true)) {
            return word();
        }
        switch (character) {
            case '%':
                return placeholder();
            case '#':
            case '@':
                return escapedName(character);
            case '$':
                return fail(index_, "variables ($name) are not supported; pass values with %@");
            case '[':
                return options();
            default:
                return symbol();
        }
    }

    std::size_t identifierEnd(std::size_t start) const {
        std::size_t end = start;
        while (end < format_.size() &&
               isPredicateIdentifierByte(static_cast<unsigned char>(format_[end]), end == start)) {
            ++end;
        }
        return end;
    }

    bool word() {
        const std::size_t start = index_;
        index_ = identifierEnd(start);
        const std::string_view text = format_.substr(start, index_ - start);
        if (const std::optional<PredicateKeyword> keyword = predicateKeywordForWord(text)) {
            add(PredicateTokenType::Keyword, start, std::string(text)).keyword = *keyword;
        } else {
            add(PredicateTokenType::Identifier, start, std::string(text));
        }
        return true;
    }

    // "#name" (a name that may be a reserved word) or "@name" (a collection operator).
    bool escapedName(char marker) {
        const std::size_t start = index_;
        const std::size_t end = identifierEnd(start + 1);
        if (end == start + 1) {
            return fail(start, std::string("expected a name after '") + marker + "'");
        }
        index_ = end;
        add(marker == '#' ? PredicateTokenType::Identifier : PredicateTokenType::CollectionOperator,
            start, std::string(format_.substr(start + 1, end - start - 1)));
        return true;
    }

    bool number() {
        const std::size_t start = index_;
        if (format_[index_] == '-') {
            ++index_;
        }
        while (isDigit(at(index_))) {
            ++index_;
        }
        if (at(index_) == '.' && isDigit(at(index_ + 1))) {
            ++index_;
            while (isDigit(at(index_))) {
                ++index_;
            }
        }
        if (at(index_) == 'e' || at(index_) == 'E') {
            std::size_t exponent = index_ + 1;
            if (at(exponent) == '+' || at(exponent) == '-') {
                ++exponent;
            }
            if (isDigit(at(exponent))) {
                index_ = exponent;
                while (isDigit(at(index_))) {
                    ++index_;
                }
            }
        }
        if (index_ < format_.size() &&
            isPredicateIdentifierByte(static_cast<unsigned char>(format_[index_]), false)) {
            return fail(start, "malformed number");
        }
        add(PredicateTokenType::Number, start, std::string(format_.substr(start, index_ - start)));
        return true;
    }

    bool unicodeEscape(std::size_t escape, std::uint32_t& value) {
        value = 0;
        for (std::size_t offset = 2; offset < 6; ++offset) {
            const int digit = LdText::hexDigitValue(at(escape + offset));
            if (digit < 0) {
                return fail(escape, "\\u needs four hexadecimal digits");
            }
            value = value * 16 + static_cast<std::uint32_t>(digit);
        }
        return true;
    }

    bool quoted(char quote) {
        const std::size_t start = index_;
        std::string text;
        std::size_t index = start + 1;
        while (true) {
            if (index >= format_.size()) {
                return fail(start, std::string("unterminated text: no closing ") + quote);
            }
            const char character = format_[index];
            if (character == quote) {
                break;
            }
            if (character == '%' && at(index + 1) == '%') {
                text += '%';
                index += 2;
                continue;
            }
            if (character != '\\') {
                text += character;
                ++index;
                continue;
            }
            if (index + 1 >= format_.size()) {
                return fail(start, std::string("unterminated text: no closing ") + quote);
            }
            const char escaped = format_[index + 1];
            switch (escaped) {
                case '"':
                case '\'':
                case '\\':
                    text += escaped;
                    break;
                case 'n':
                    text += '\n';
                    break;
                case 'r':
                    text += '\r';
                    break;
                case 't':
                    text += '\t';
                    break;
                case '0':
                    text += '\0';
                    break;
                case 'u': {
                    std::uint32_t codePoint = 0;
                    if (!unicodeEscape(index, codePoint)) {
                        return false;
                    }
                    if (codePoint >= 0xdc00 && codePoint <= 0xdfff) {
                        return fail(index, "\\u escape of a lone low surrogate");
                    }
                    if (codePoint >= 0xd800 && codePoint <= 0xdbff) {
                        std::uint32_t low = 0;
                        if (at(index + 6) != '\\' || at(index + 7) != 'u' ||
                            !unicodeEscape(index + 6, low) || low < 0xdc00 || low > 0xdfff) {
                            return fail(index,
                                        "\\u escape of a high surrogate without its low one");
                        }
                        codePoint = 0x10000 + ((codePoint - 0xd800) << 10) + (low - 0xdc00);
                        index += 6;
                    }
                    LdText::appendUTF8(text, codePoint);
                    index += 4;
                    break;
                }
                default:
                    return fail(index, "unknown escape \\" + std::string(1, escaped));
            }
            index += 2;
        }
        add(PredicateTokenType::String, start, std::move(text));
        index_ = index + 1;
        return true;
    }

    bool placeholder() {
        const std::size_t start = index_;
        const char first = at(start + 1);
        if (first == '@' || first == 'K') {
            add(PredicateTokenType::Placeholder, start, std::string(format_.substr(start, 2)))
                    .placeholder =
                    first == '@' ? PredicatePlaceholder::Object : PredicatePlaceholder::KeyPath;
            index_ = start + 2;
            return true;
        }
        if (first == '%') {
            return fail(start, "'%%' stands for a percent sign only inside quoted text");
        }
        std::size_t index = start + 1;
        int longs = 0;
        while (at(index) == 'l' && longs < 2) {
            ++longs;
            ++index;
        }
        PredicatePlaceholder kind = PredicatePlaceholder::Object;
        switch (at(index)) {
            case 'd':
            case 'i':
                kind = PredicatePlaceholder::SignedInteger;
                break;
            case 'u':
                kind = PredicatePlaceholder::UnsignedInteger;
                break;
            case 'f':
                if (longs > 1) {
                    return fail(start, "unknown placeholder '%llf'");
                }
                kind = PredicatePlaceholder::Real;
                break;
            default: {
                const std::size_t shown = std::min(format_.size(), index + 1) - start;
                return fail(start, "unknown placeholder '" +
                                           std::string(format_.substr(start, shown)) + "'");
            }
        }
        index_ = index + 1;
        add(PredicateTokenType::Placeholder, start,
            std::string(format_.substr(start, index_ - start)))
                .placeholder = kind;
        return true;
    }

    bool options() {
        const std::size_t start = index_;
        std::size_t index = start + 1;
        while (isAsciiLetter(at(index)) && index < format_.size()) {
            ++index;
        }
        if (at(index) != ']' || index >= format_.size()) {
            return fail(start, "expected ']' to close the options");
        }
        add(PredicateTokenType::Options, start,
            std::string(format_.substr(start + 1, index - start - 1)));
        index_ = index + 1;
        return true;
    }

    std::string_view format_;
    std::vector<PredicateToken>& tokens_;
    PredicateSyntaxError& error_;
    std::size_t index_ = 0;
};

}  // namespace

std::optional<PredicateKeyword> predicateKeywordForWord(std::string_view word) {
    if (word.size() > kLongestKeyword) {
        return std::nullopt;
    }
    std::array<char, kLongestKeyword> lower{};
    for (std::size_t index = 0; index < word.size(); ++index) {
        const char character = word[index];
        lower[index] = (character >= 'A' && character <= 'Z')
                               ? static_cast<char>(character - 'A' + 'a')
                               : character;
    }
    const std::string_view lowerWord(lower.data(), word.size());
    for (const KeywordSpelling& spelling : kKeywords) {
        if (spelling.lowerCase == lowerWord) {
            return spelling.keyword;
        }
    }
    return std::nullopt;
}

bool isPredicateIdentifierByte(unsigned char byte, bool first) {
    if (isAsciiLetter(static_cast<char>(byte)) || byte == '_' || byte >= 0x80) {
        return true;
    }
    return !first && isDigit(static_cast<char>(byte));
}

bool isPlainPredicateIdentifier(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (std::size_t index = 0; index < name.size(); ++index) {
        if (!isPredicateIdentifierByte(static_cast<unsigned char>(name[index]), index == 0)) {
            return false;
        }
    }
    return !predicateKeywordForWord(name).has_value();
}

bool tokenizePredicateFormat(std::string_view format,
                             std::vector<PredicateToken>& tokens,
                             PredicateSyntaxError& error) {
    tokens.clear();
    return Lexer(format, tokens, error).run();
}

}  // namespace ld::detail
