// The recursive-descent parser of the predicate format language. Every recursion (parentheses, NOT,
// braces) passes a depth guard, so hostile input ends in an error, not a stack overflow.
#include "core/database/predicate/LdPredicateParser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "core/database/predicate/detail/LdPredicateLexer.h"

namespace {

using ld::detail::PredicateKeyword;
using ld::detail::PredicatePlaceholder;
using ld::detail::PredicateSyntaxError;
using ld::detail::PredicateToken;
using ld::detail::PredicateTokenType;

constexpr std::size_t kExcerptLength = 24;

// How a token is named in an error message.
std::string shownToken(const PredicateToken& token) {
    switch (token.type) {
        case PredicateTokenType::End:
            return "the end of the format";
        case PredicateTokenType::String:
            return "a quoted text";
        case PredicateTokenType::CollectionOperator:
            return "'@" + token.text + "'";
        case PredicateTokenType::Options:
            return "'[" + token.text + "]'";
        default:
            return "'" + token.text + "'";
    }
}

std::string shownArgumentKind(const LdPredicateArgument& argument) {
    switch (argument.kind()) {
        case LdPredicateArgument::Kind::ObjectID:
            return "an object reference";
        case LdPredicateArgument::Kind::ObjectIDList:
            return "a list of object references";
        case LdPredicateArgument::Kind::Value:
            break;
    }
    switch (argument.value().type()) {
        case LdValue::Type::Null:
            return "nil";
        case LdValue::Type::Bool:
            return "a boolean";
        case LdValue::Type::Integer:
            return "an integer";
        case LdValue::Type::Real:
            return "a real number";
        case LdValue::Type::String:
            return "a text";
        case LdValue::Type::Data:
            return "data";
        case LdValue::Type::Date:
            return "a date";
        case LdValue::Type::Decimal:
            return "a decimal number";
        case LdValue::Type::Array:
            return "an array";
        case LdValue::Type::Dictionary:
            return "a dictionary";
        case LdValue::Type::UID:
            return "a UID";
    }
    return "a value";
}

// A key path under construction: the text so far (empty while it is only SELF) and whether a
// collection operator already ended it.
struct KeyPathBuilder {
    std::string path;
    bool ended = false;

    void append(std::string_view component) {
        if (!path.empty()) {
            path += '.';
        }
        path += component;
        ended = !component.empty() && component.front() == '@';
    }

    LdExpression expression() && {
        return path.empty() ? LdExpression::expressionForEvaluatedObject()
                            : LdExpression::expressionForKeyPath(std::move(path));
    }
};

// Reads the key path of a %K argument by the format's own rules: names of identifier characters
// separated by dots, "@name" only at the end, "SELF" in front dropped. Fills `message` on failure.
bool readKeyPathArgument(std::string_view text, KeyPathBuilder& builder, std::string& message) {
    std::size_t start = 0;
    bool first = true;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view component = text.substr(
                start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        const bool isOperator = !component.empty() && component.front() == '@';
        const std::string_view name = isOperator ? component.substr(1) : component;
        bool valid = !name.empty() && !builder.ended;
        for (std::size_t index = 0; valid && index < name.size(); ++index) {
            valid = ld::detail::isPredicateIdentifierByte(static_cast<unsigned char>(name[index]),
                                                          index == 0);
        }
        if (!valid) {
            message = "'" + std::string(text) + "' is no key path";
            return false;
        }
        const bool isSelf = first && !isOperator &&
                            ld::detail::predicateKeywordForWord(name) == PredicateKeyword::Self;
        if (!isSelf) {
            builder.append(component);
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        start = dot + 1;
        first = false;
    }
}

class Parser {
public:
    Parser(std::vector<PredicateToken> tokens, const std::vector<LdPredicateArgument>& arguments)
        : tokens_(std::move(tokens)), arguments_(arguments) {}

    LdPredicatePtr parse() {
        LdPredicatePtr predicate = parseOr();
        if (predicate == nullptr) {
            return nullptr;
        }
        const PredicateToken& token = peek();
        if (token.type == PredicateTokenType::RightParen) {
            return fail(token.position, "')' without a matching '('");
        }
        if (token.type != PredicateTokenType::End) {
            return fail(token.position,
                        "expected AND, OR or the end of the format, found " + shownToken(token));
        }
        if (argumentIndex_ != arguments_.size()) {
            return fail(token.position, std::to_string(arguments_.size()) +
                                                " arguments given, but the format uses " +
                                                std::to_string(argumentIndex_));
        }
        return predicate;
    }

    const PredicateSyntaxError& error() const { return error_; }

private:
    // Counts one level of nesting for as long as it lives.
    class DepthGuard {
    public:
        DepthGuard(Parser& parser, std::size_t position) : parser_(parser) {
            ++parser_.depth_;
            if (parser_.depth_ > LdPredicateParser::kMaxNestingDepth) {
                parser_.fail(position, "nesting deeper than " +
                                               std::to_string(LdPredicateParser::kMaxNestingDepth) +
                                               " levels");
            }
        }
        ~DepthGuard() { --parser_.depth_; }
        DepthGuard(const DepthGuard&) = delete;
        DepthGuard& operator=(const DepthGuard&) = delete;

        bool tooDeep() const { return parser_.depth_ > LdPredicateParser::kMaxNestingDepth; }

    private:
        Parser& parser_;
    };

    const PredicateToken& peek() const { return tokens_[index_]; }

    // The current token, moving past it (never past the End token).
    const PredicateToken& take() {
        const PredicateToken& token = tokens_[index_];
        if (token.type != PredicateTokenType::End) {
            ++index_;
        }
        return token;
    }

    static bool isKeyword(const PredicateToken& token, PredicateKeyword keyword) {
        return token.type == PredicateTokenType::Keyword && token.keyword == keyword;
    }

    std::nullptr_t fail(std::size_t position, std::string message) {
        if (error_.message.empty()) {
            error_.position = position;
            error_.message = std::move(message);
        }
        return nullptr;
    }

    // Joins the terms of one AND or OR chain; a term that is itself such a compound (from
    // parentheses) gives its subpredicates, so "(a AND b) AND c" is one AND of three.
    static LdPredicatePtr joined(LdPredicate::CompoundType type,
                                 std::vector<LdPredicatePtr> terms) {
        if (terms.size() == 1) {
            return std::move(terms.front());
        }
        std::vector<LdPredicatePtr> flat;
        flat.reserve(terms.size());
        for (LdPredicatePtr& term : terms) {
            if (term->isCompound() && term->compoundPredicateType() == type) {
                flat.insert(flat.end(), term->subpredicates().begin(), term->subpredicates().end());
            } else {
                flat.push_back(std::move(term));
            }
        }
        return type == LdPredicate::CompoundType::And
                       ? LdPredicate::andPredicateWithSubpredicates(std::move(flat))
                       : LdPredicate::orPredicateWithSubpredicates(std::move(flat));
    }

    LdPredicatePtr parseOr() {
        std::vector<LdPredicatePtr> terms;
        while (true) {
            LdPredicatePtr term = parseAnd();
            if (term == nullptr) {
                return nullptr;
            }
            terms.push_back(std::move(term));
            const PredicateToken& token = peek();
            if (!isKeyword(token, PredicateKeyword::Or) && token.type != PredicateTokenType::OrOr) {
                return joined(LdPredicate::CompoundType::Or, std::move(terms));
            }
            take();
        }
    }

    LdPredicatePtr parseAnd() {
        std::vector<LdPredicatePtr> terms;
        while (true) {
            LdPredicatePtr term = parseNot();
            if (term == nullptr) {
                return nullptr;
            }
            terms.push_back(std::move(term));
            const PredicateToken& token = peek();
            if (!isKeyword(token, PredicateKeyword::And) &&
                token.type != PredicateTokenType::AndAnd) {
                return joined(LdPredicate::CompoundType::And, std::move(terms));
            }
            take();
        }
    }

    LdPredicatePtr parseNot() {
        const PredicateToken& token = peek();
        if (isKeyword(token, PredicateKeyword::Not) || token.type == PredicateTokenType::Bang) {
            take();
            const DepthGuard guard(*this, token.position);
            if (guard.tooDeep()) {
                return nullptr;
            }
            return LdPredicate::notPredicateWithSubpredicate(parseNot());
        }
        if (token.type == PredicateTokenType::LeftParen) {
            take();
            const DepthGuard guard(*this, token.position);
            if (guard.tooDeep()) {
                return nullptr;
            }
            LdPredicatePtr inner = parseOr();
            if (inner == nullptr) {
                return nullptr;
            }
            const PredicateToken& closing = peek();
            if (closing.type != PredicateTokenType::RightParen) {
                return fail(closing.position, "expected ')' to close the '(' at position " +
                                                      std::to_string(token.position) + ", found " +
                                                      shownToken(closing));
            }
            take();
            return inner;
        }
        if (isKeyword(token, PredicateKeyword::TruePredicate) ||
            isKeyword(token, PredicateKeyword::FalsePredicate)) {
            take();
            return LdPredicate::predicateWithValue(
                    isKeyword(token, PredicateKeyword::TruePredicate));
        }
        return parseComparison();
    }

    static std::optional<LdPredicate::OperatorType> operatorType(const PredicateToken& token) {
        using Type = LdPredicate::OperatorType;
        switch (token.type) {
            case PredicateTokenType::Equal:
                return Type::EqualTo;
            case PredicateTokenType::NotEqual:
                return Type::NotEqualTo;
            case PredicateTokenType::Less:
                return Type::LessThan;
            case PredicateTokenType::LessOrEqual:
                return Type::LessThanOrEqualTo;
            case PredicateTokenType::Greater:
                return Type::GreaterThan;
            case PredicateTokenType::GreaterOrEqual:
                return Type::GreaterThanOrEqualTo;
            case PredicateTokenType::Keyword:
                break;
            default:
                return std::nullopt;
        }
        switch (token.keyword) {
            case PredicateKeyword::In:
                return Type::In;
            case PredicateKeyword::Like:
                return Type::Like;
            case PredicateKeyword::BeginsWith:
                return Type::BeginsWith;
            case PredicateKeyword::EndsWith:
                return Type::EndsWith;
            case PredicateKeyword::Contains:
                return Type::Contains;
            case PredicateKeyword::Matches:
                return Type::Matches;
            case PredicateKeyword::Between:
                return Type::Between;
            default:
                return std::nullopt;
        }
    }

    std::optional<unsigned> parseOptions(const PredicateToken& token) {
        if (token.text.empty()) {
            fail(token.position, "empty comparison options '[]' (use [c], [d] or [cd])");
            return std::nullopt;
        }
        unsigned options = 0;
        for (const char letter : token.text) {
            if (letter == 'c' || letter == 'C') {
                options |= LdPredicate::kCaseInsensitiveOption;
            } else if (letter == 'd' || letter == 'D') {
                options |= LdPredicate::kDiacriticInsensitiveOption;
            } else {
                fail(token.position, std::string("unknown comparison option '") + letter + "' in " +
                                             shownToken(token) + " (use [c], [d] or [cd])");
                return std::nullopt;
            }
        }
        return options;
    }

    LdPredicatePtr parseComparison() {
        using Modifier = LdPredicate::Modifier;
        Modifier modifier = Modifier::Direct;
        bool none = false;
        if (const PredicateToken& token = peek(); token.type == PredicateTokenType::Keyword) {
            if (token.keyword == PredicateKeyword::Any || token.keyword == PredicateKeyword::Some) {
                modifier = Modifier::Any;
            } else if (token.keyword == PredicateKeyword::All) {
                modifier = Modifier::All;
            } else if (token.keyword == PredicateKeyword::None) {
                modifier = Modifier::Any;
                none = true;
            }
            if (modifier != Modifier::Direct) {
                take();
            }
        }

        const PredicateToken& start = peek();
        if (operatorType(start).has_value()) {
            return fail(start.position, "missing left-hand expression before " + shownToken(start));
        }
        std::optional<LdExpression> left = parseExpression(start, "expected a comparison, found ");
        if (!left) {
            return nullptr;
        }

        const PredicateToken& operatorToken = peek();
        const std::optional<LdPredicate::OperatorType> type = operatorType(operatorToken);
        if (!type) {
            if (operatorToken.type == PredicateTokenType::Identifier) {
                return fail(operatorToken.position,
                            "unknown operator " + shownToken(operatorToken));
            }
            return fail(operatorToken.position,
                        "expected a comparison operator after the expression at position " +
                                std::to_string(start.position) + ", found " +
                                shownToken(operatorToken));
        }
        take();

        unsigned options = 0;
        if (const PredicateToken& token = peek(); token.type == PredicateTokenType::Options) {
            take();
            const std::optional<unsigned> parsed = parseOptions(token);
            if (!parsed) {
                return nullptr;
            }
            options = *parsed;
        }

        const PredicateToken& rightStart = peek();
        std::optional<LdExpression> right =
                parseExpression(rightStart, "missing right-hand expression after " +
                                                    shownToken(operatorToken) + ", found ");
        if (!right) {
            return nullptr;
        }
        if (*type == LdPredicate::OperatorType::Between && !isPair(*right)) {
            return fail(rightStart.position,
                        "BETWEEN needs a list of two values on its right, such as {1, 10}");
        }

        LdPredicatePtr comparison = LdPredicate::predicateWithLeftExpression(
                std::move(*left), std::move(*right), modifier, *type, options);
        return none ? LdPredicate::notPredicateWithSubpredicate(std::move(comparison)) : comparison;
    }

    static bool isPair(const LdExpression& expression) {
        if (expression.expressionType() == LdExpression::Kind::Aggregate) {
            return expression.collection().size() == 2;
        }
        const LdPredicateArgument& constant = expression.constantValue();
        return expression.expressionType() == LdExpression::Kind::ConstantValue &&
               ((constant.isValue() && constant.value().isArray() &&
                 constant.value().arrayValue().size() == 2) ||
                (constant.isObjectIDList() && constant.objectIDs().size() == 2));
    }

    // An expression starting at the current token `start`. `missing` begins the message for a token
    // that starts no expression.
    std::optional<LdExpression> parseExpression(const PredicateToken& start,
                                                const std::string& missing) {
        switch (start.type) {
            case PredicateTokenType::String:
                take();
                return LdExpression::expressionForConstantValue(LdValue(start.text));
            case PredicateTokenType::Number:
                take();
                return parseNumber(start);
            case PredicateTokenType::Identifier: {
                take();
                KeyPathBuilder builder;
                builder.append(start.text);
                return parseKeyPathRest(std::move(builder));
            }
            case PredicateTokenType::CollectionOperator: {
                take();
                KeyPathBuilder builder;
                builder.append("@" + start.text);
                return parseKeyPathRest(std::move(builder));
            }
            case PredicateTokenType::Placeholder:
                take();
                return parsePlaceholder(start);
            case PredicateTokenType::LeftBrace:
                take();
                return parseAggregate(start);
            case PredicateTokenType::Keyword:
                break;
            default:
                fail(start.position, missing + shownToken(start));
                return std::nullopt;
        }
        switch (start.keyword) {
            case PredicateKeyword::Yes:
            case PredicateKeyword::True:
                take();
                return LdExpression::expressionForConstantValue(LdValue(true));
            case PredicateKeyword::No:
            case PredicateKeyword::False:
                take();
                return LdExpression::expressionForConstantValue(LdValue(false));
            case PredicateKeyword::Nil:
            case PredicateKeyword::Null:
                take();
                return LdExpression::expressionForConstantValue(LdValue());
            case PredicateKeyword::Self:
                take();
                return parseKeyPathRest(KeyPathBuilder());
            default:
                fail(start.position, missing + shownToken(start));
                return std::nullopt;
        }
    }

    // The ".name" components after the start of a key path.
    std::optional<LdExpression> parseKeyPathRest(KeyPathBuilder builder) {
        while (peek().type == PredicateTokenType::Dot) {
            const PredicateToken& dot = take();
            if (builder.ended) {
                fail(dot.position, "a collection operator such as '@count' must end the key path");
                return std::nullopt;
            }
            const PredicateToken& component = peek();
            if (component.type == PredicateTokenType::Identifier ||
                component.type == PredicateTokenType::Keyword) {
                builder.append(component.text);
            } else if (component.type == PredicateTokenType::CollectionOperator) {
                builder.append("@" + component.text);
            } else {
                fail(component.position,
                     "expected a key after '.', found " + shownToken(component));
                return std::nullopt;
            }
            take();
        }
        return std::move(builder).expression();
    }

    std::optional<LdExpression> parseNumber(const PredicateToken& token) {
        const std::string& text = token.text;
        const char* begin = text.data();
        const char* end = text.data() + text.size();
        if (text.find_first_of(".eE") == std::string::npos) {
            std::int64_t integer = 0;
            const auto [pointer, code] = std::from_chars(begin, end, integer);
            if (code == std::errc() && pointer == end) {
                return LdExpression::expressionForConstantValue(LdValue(integer));
            }
        }
        // Point, exponent, or beyond 64 bits: a decimal, so that amounts stay exact.
        if (const std::optional<LdDecimal> decimal = LdDecimal::fromString(text)) {
            return LdExpression::expressionForConstantValue(LdValue(*decimal));
        }
        double real = 0.0;
        const auto [pointer, code] = std::from_chars(begin, end, real);
        if (code == std::errc() && pointer == end && std::isfinite(real)) {
            return LdExpression::expressionForConstantValue(LdValue(real));
        }
        fail(token.position, "number " + text + " is out of range");
        return std::nullopt;
    }

    std::optional<LdExpression> parseAggregate(const PredicateToken& brace) {
        const DepthGuard guard(*this, brace.position);
        if (guard.tooDeep()) {
            return std::nullopt;
        }
        std::vector<LdExpression> elements;
        if (peek().type == PredicateTokenType::RightBrace) {
            take();
            return LdExpression::expressionForAggregate(std::move(elements));
        }
        while (true) {
            std::optional<LdExpression> element =
                    parseExpression(peek(), "expected a list element, found ");
            if (!element) {
                return std::nullopt;
            }
            elements.push_back(std::move(*element));
            const PredicateToken& token = take();
            if (token.type == PredicateTokenType::RightBrace) {
                return LdExpression::expressionForAggregate(std::move(elements));
            }
            if (token.type != PredicateTokenType::Comma) {
                fail(token.position, "expected ',' or '}' in the list opened at position " +
                                             std::to_string(brace.position) + ", found " +
                                             shownToken(token));
                return std::nullopt;
            }
        }
    }

    std::optional<LdExpression> parsePlaceholder(const PredicateToken& token) {
        if (argumentIndex_ >= arguments_.size()) {
            fail(token.position, "no argument left for " + shownToken(token) + " (" +
                                         std::to_string(arguments_.size()) + " given)");
            return std::nullopt;
        }
        const std::size_t number = ++argumentIndex_;
        const LdPredicateArgument& argument = arguments_[number - 1];
        const LdValue& value = argument.value();
        const auto wrongType = [&](const char* expected) {
            fail(token.position, "argument " + std::to_string(number) + " for " +
                                         shownToken(token) + " must be " + expected + ", not " +
                                         shownArgumentKind(argument));
            return std::nullopt;
        };
        switch (token.placeholder) {
            case PredicatePlaceholder::Object:
                return LdExpression::expressionForConstantValue(argument);
            case PredicatePlaceholder::KeyPath: {
                if (!argument.isValue() || !value.isString()) {
                    return wrongType("a text holding a key path");
                }
                KeyPathBuilder builder;
                std::string message;
                if (!readKeyPathArgument(value.stringValue(), builder, message)) {
                    fail(token.position,
                         "argument " + std::to_string(number) + " for '%K': " + message);
                    return std::nullopt;
                }
                return parseKeyPathRest(std::move(builder));
            }
            case PredicatePlaceholder::SignedInteger:
            case PredicatePlaceholder::UnsignedInteger: {
                if (!argument.isValue() || !(value.isInteger() || value.isBool())) {
                    return wrongType("a whole number");
                }
                const std::int64_t integer = value.integerValue();
                if (token.placeholder == PredicatePlaceholder::UnsignedInteger && integer < 0) {
                    return wrongType("a whole number of zero or more");
                }
                return LdExpression::expressionForConstantValue(LdValue(integer));
            }
            case PredicatePlaceholder::Real:
                if (!argument.isValue() || !(value.isInteger() || value.isReal())) {
                    return wrongType("a number");
                }
                return LdExpression::expressionForConstantValue(LdValue(value.doubleValue()));
        }
        return std::nullopt;
    }

    std::vector<PredicateToken> tokens_;
    const std::vector<LdPredicateArgument>& arguments_;
    std::size_t index_ = 0;
    std::size_t argumentIndex_ = 0;
    int depth_ = 0;
    PredicateSyntaxError error_;
};

// "Predicate format error at position 7: <message> (near "...")".
LdError parseError(std::string_view format, const PredicateSyntaxError& syntaxError) {
    std::string text = "Predicate format error at position " +
                       std::to_string(syntaxError.position) + ": " + syntaxError.message;
    if (syntaxError.position < format.size()) {
        std::size_t length = std::min(kExcerptLength, format.size() - syntaxError.position);
        // Never cut a UTF-8 sequence in two.
        while (syntaxError.position + length < format.size() && length > 0 &&
               (static_cast<unsigned char>(format[syntaxError.position + length]) & 0xc0) == 0x80) {
            --length;
        }
        std::string excerpt(format.substr(syntaxError.position, length));
        for (char& character : excerpt) {
            if (static_cast<unsigned char>(character) < 0x20 || character == 0x7f) {
                character = ' ';
            }
        }
        text += " (near \"" + excerpt + "\")";
    }
    return LdError::errorWithTitle("_ERROR", text);
}

}  // namespace

LdPredicatePtr LdPredicateParser::predicateWithFormat(
        std::string_view format,
        const std::vector<LdPredicateArgument>& arguments,
        LdError* error) {
    if (format.empty()) {
        return nullptr;  // no predicate: not an error
    }
    std::vector<PredicateToken> tokens;
    PredicateSyntaxError syntaxError;
    if (!ld::detail::tokenizePredicateFormat(format, tokens, syntaxError)) {
        failWith(error, parseError(format, syntaxError));
        return nullptr;
    }
    Parser parser(std::move(tokens), arguments);
    LdPredicatePtr predicate = parser.parse();
    if (predicate == nullptr) {
        failWith(error, parseError(format, parser.error()));
    }
    return predicate;
}

LdPredicatePtr LdPredicateParser::predicateWithFormat(
        const char* format, const std::vector<LdPredicateArgument>& arguments, LdError* error) {
    if (format == nullptr) {
        return nullptr;  // nil format: no predicate, no error
    }
    return predicateWithFormat(std::string_view(format), arguments, error);
}
