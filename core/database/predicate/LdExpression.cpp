// Expressions of parsed predicates and their text form.
#include "core/database/predicate/LdExpression.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "core/database/predicate/detail/LdPredicateLexer.h"

LdExpression LdExpression::expressionForConstantValue(LdPredicateArgument value) {
    LdExpression expression(Kind::ConstantValue);
    expression.constant_ = std::move(value);
    return expression;
}

LdExpression LdExpression::expressionForEvaluatedObject() {
    return LdExpression(Kind::EvaluatedObject);
}

LdExpression LdExpression::expressionForKeyPath(std::string keyPath) {
    LdExpression expression(Kind::KeyPath);
    expression.keyPath_ = std::move(keyPath);
    return expression;
}

LdExpression LdExpression::expressionForAggregate(std::vector<LdExpression> collection) {
    LdExpression expression(Kind::Aggregate);
    expression.collection_ = std::move(collection);
    return expression;
}

std::vector<std::string> LdExpression::keyPathComponents() const {
    std::vector<std::string> components;
    if (kind_ != Kind::KeyPath) {
        return components;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = keyPath_.find('.', start);
        components.push_back(keyPath_.substr(start, dot - start));
        if (dot == std::string::npos) {
            return components;
        }
        start = dot + 1;
    }
}

std::string_view LdExpression::collectionOperator() const {
    if (kind_ != Kind::KeyPath) {
        return {};
    }
    const std::size_t dot = keyPath_.rfind('.');
    const std::string_view last =
            std::string_view(keyPath_).substr(dot == std::string::npos ? 0 : dot + 1);
    return !last.empty() && last.front() == '@' ? last : std::string_view();
}

std::string LdExpression::description() const {
    switch (kind_) {
        case Kind::ConstantValue:
            return constant_.description();
        case Kind::EvaluatedObject:
            return "SELF";
        case Kind::KeyPath: {
            std::string text;
            for (const std::string& component : keyPathComponents()) {
                if (!text.empty()) {
                    text += '.';
                }
                // A reserved word as a key ("a.in") keeps its '#', so the text parses back.
                if (ld::detail::predicateKeywordForWord(component).has_value()) {
                    text += '#';
                }
                text += component;
            }
            return text;
        }
        case Kind::Aggregate: {
            std::string text = "{";
            const char* separator = "";
            for (const LdExpression& element : collection_) {
                text += separator + element.description();
                separator = ", ";
            }
            return text + "}";
        }
    }
    return {};
}

bool LdExpression::keyPathEndsWithCount(std::string_view keyPath) {
    constexpr std::string_view kCount = "@count";
    if (keyPath.size() < kCount.size()) {
        return false;
    }
    const std::string_view tail = keyPath.substr(keyPath.size() - kCount.size());
    return std::equal(tail.begin(), tail.end(), kCount.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}
