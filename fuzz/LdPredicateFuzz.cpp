// Fuzz target of the predicate parser. The first two bytes of an input choose the arguments: the
// first how many (a digit '0'-'9', any other byte modulo 10), the second where to start in a fixed
// cyclic list of argument kinds (likewise); the rest is the format. Besides crashes and sanitizer
// reports it checks that failure and error go together, and that the canonical text of a parsed
// predicate whose constants all have literal forms parses back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/database/predicate/LdPredicateParser.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const std::vector<LdPredicateArgument>& argumentKinds() {
    static const std::vector<LdPredicateArgument> kKinds = {
            LdPredicateArgument("name"),
            LdPredicateArgument(42),
            LdPredicateArgument(LdObjectID("S", nullptr, 7)),
            LdPredicateArgument(LdDate::fromReferenceSeconds(1000)),
            LdPredicateArgument(*LdDecimal::fromString("12.50")),
            LdPredicateArgument(2.5),
            LdPredicateArgument(LdPredicateArgument::ObjectIDList{LdObjectID("S", nullptr, 7),
                                                                  LdObjectID("S", nullptr, 8)}),
            LdPredicateArgument(LdValue::array({1, "two"})),
            LdPredicateArgument("dayBalance.account"),
            LdPredicateArgument(true),
    };
    return kKinds;
}

std::size_t choice(std::uint8_t byte, std::size_t range) {
    return byte >= '0' && byte <= '9' ? static_cast<std::size_t>(byte - '0') % range
                                      : static_cast<std::size_t>(byte) % range;
}

// Whether every constant can be written as a literal of the format language.
bool hasLiteralValue(const LdValue& value) {
    switch (value.type()) {
        case LdValue::Type::Null:
        case LdValue::Type::Bool:
        case LdValue::Type::Integer:
        case LdValue::Type::String:
        case LdValue::Type::Real:
            return true;
        case LdValue::Type::Decimal:
            return !value.decimalValue().isNaN();
        case LdValue::Type::Array:
            for (const LdValue& item : value.arrayValue()) {
                if (!hasLiteralValue(item)) {
                    return false;
                }
            }
            return true;
        default:
            return false;
    }
}

bool hasLiteralConstants(const LdExpression& expression) {
    if (expression.expressionType() == LdExpression::Kind::ConstantValue) {
        const LdPredicateArgument& constant = expression.constantValue();
        return constant.isValue() && hasLiteralValue(constant.value());
    }
    for (const LdExpression& element : expression.collection()) {
        if (!hasLiteralConstants(element)) {
            return false;
        }
    }
    return true;
}

bool hasLiteralConstants(const LdPredicate& predicate) {
    for (const LdPredicatePtr& subpredicate : predicate.subpredicates()) {
        if (!hasLiteralConstants(*subpredicate)) {
            return false;
        }
    }
    return !predicate.isComparison() || (hasLiteralConstants(predicate.leftExpression()) &&
                                         hasLiteralConstants(predicate.rightExpression()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::vector<LdPredicateArgument>& kinds = argumentKinds();
    const std::size_t count = choice(data[0], 10);
    const std::size_t start = choice(data[1], kinds.size());
    std::vector<LdPredicateArgument> arguments;
    for (std::size_t index = 0; index < count; ++index) {
        arguments.push_back(kinds[(start + index) % kinds.size()]);
    }
    const std::string_view format(reinterpret_cast<const char*>(data + 2), size - 2);

    LdError error;
    const LdPredicatePtr predicate =
            LdPredicateParser::predicateWithFormat(format, arguments, &error);
    if (predicate == nullptr) {
        // Only the empty format fails without an error.
        require(error.isSet() != format.empty());
        return 0;
    }
    require(!error.isSet());

    const std::string text = predicate->predicateFormat();
    require(!text.empty());
    (void)predicate->keyPaths();
    if (!hasLiteralConstants(*predicate)) {
        return 0;
    }
    LdError againError;
    const LdPredicatePtr again = LdPredicateParser::predicateWithFormat(text, {}, &againError);
    if (again == nullptr) {
        // The canonical text puts parentheses around every AND or OR inside another compound, so
        // it may nest deeper than a format that relied on precedence.
        require(againError.descriptionKey().find("nesting deeper than") != std::string::npos);
        return 0;
    }
    require(again->predicateFormat() == text);
    return 0;
}
