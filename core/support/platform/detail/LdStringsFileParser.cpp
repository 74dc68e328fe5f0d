// A small recursive-descent reader for the text form of strings tables.
#include "core/support/platform/detail/LdStringsFileParser.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/support/foundation/LdText.h"

namespace ld::detail {
namespace {

bool isBareCharacter(char character) {
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
           (character >= '0' && character <= '9') || character == '_' || character == '.' ||
           character == '-' || character == '$' || character == ':' || character == '/';
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {
        if (text_.starts_with("\xEF\xBB\xBF")) {
            position_ = 3;
        }
    }

    StringsFileContents parse() {
        while (skipSpaceAndComments()) {
            if (!parseEntry()) {
                skipRestOfLine();
            }
        }
        return std::move(contents_);
    }

private:
    bool atEnd() const { return position_ >= text_.size(); }
    char current() const { return text_[position_]; }

    void report(std::size_t position, std::string_view message) {
        const std::size_t line = 1 + static_cast<std::size_t>(std::count(
                                             text_.begin(),
                                             text_.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                     position, text_.size())),
                                             '\n'));
        contents_.problems.push_back("line " + std::to_string(line) + ": " + std::string(message));
    }

    // Skips white space and comments; false at the end of the text (or in an unterminated comment).
    bool skipSpaceAndComments() {
        while (!atEnd()) {
            const char character = current();
            if (character == ' ' || character == '\t' || character == '\r' || character == '\n') {
                ++position_;
            } else if (text_.substr(position_).starts_with("//")) {
                skipRestOfLine();
            } else if (text_.substr(position_).starts_with("/*")) {
                const std::size_t end = text_.find("*/", position_ + 2);
                if (end == std::string_view::npos) {
                    report(position_, "unterminated comment");
                    position_ = text_.size();
                    return false;
                }
                position_ = end + 2;
            } else {
                return true;
            }
        }
        return false;
    }

    void skipRestOfLine() {
        const std::size_t end = text_.find('\n', position_);
        position_ = end == std::string_view::npos ? text_.size() : end + 1;
    }

    bool expect(char wanted) {
        if (!skipSpaceAndComments() || current() != wanted) {
            report(position_, std::string("expected '") + wanted + "'");
            return false;
        }
        ++position_;
        return true;
    }

    bool parseEntry() {
        const std::size_t start = position_;
        std::optional<std::string> key = parseToken();
        if (!key || !expect('=')) {
            return false;
        }
        if (!skipSpaceAndComments()) {
            report(position_, "missing text");
            return false;
        }
        std::optional<std::string> value = parseToken();
        if (!value || !expect(';')) {
            return false;
        }
        if (contents_.entries.contains(*key)) {
            report(start, "repeated key " + *key);
        }
        contents_.entries.insert_or_assign(std::move(*key), std::move(*value));
        return true;
    }

    std::optional<std::string> parseToken() {
        if (current() == '"') {
            return parseQuoted();
        }
        const std::size_t start = position_;
        while (!atEnd() && isBareCharacter(current())) {
            ++position_;
        }
        if (position_ == start) {
            report(position_, "expected a quoted text");
            return std::nullopt;
        }
        return std::string(text_.substr(start, position_ - start));
    }

    std::optional<std::string> parseQuoted() {
        const std::size_t start = position_;
        ++position_;  // the opening quote
        std::string result;
        while (!atEnd()) {
            const char character = current();
            ++position_;
            if (character == '"') {
                return result;
            }
            if (character != '\\') {
                result += character;
                continue;
            }
            if (atEnd()) {
                break;
            }
            const char escaped = current();
            ++position_;
            switch (escaped) {
                case 'n':
                    result += '\n';
                    break;
                case 't':
                    result += '\t';
                    break;
                case 'r':
                    result += '\r';
                    break;
                case '"':
                case '\\':
                case '\'':
                    result += escaped;
                    break;
                case 'U':
                case 'u':
                    if (!parseCodePoint(result)) {
                        report(position_, "bad \\U escape");
                    }
                    break;
                default:
                    report(position_ - 2, std::string("unknown escape \\") + escaped);
                    result += escaped;
                    break;
            }
        }
        report(start, "unterminated text");
        return std::nullopt;
    }

    // Four hex digits after \U; the code point is appended as UTF-8.
    bool parseCodePoint(std::string& result) {
        if (text_.size() - position_ < 4) {
            return false;
        }
        std::uint32_t codePoint = 0;
        for (std::size_t offset = 0; offset < 4; ++offset) {
            const int digit = LdText::hexDigitValue(text_[position_ + offset]);
            if (digit < 0) {
                return false;
            }
            codePoint = codePoint * 16U + static_cast<std::uint32_t>(digit);
        }
        position_ += 4;
        LdText::appendUTF8(result, codePoint);
        return true;
    }

    std::string_view text_;
    std::size_t position_ = 0;
    StringsFileContents contents_;
};

}  // namespace

StringsFileContents parseStringsFile(std::string_view text) {
    return Parser(text).parse();
}

}  // namespace ld::detail
