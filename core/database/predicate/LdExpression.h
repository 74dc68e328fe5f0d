// LdExpression: one side of a comparison in a parsed predicate — a constant, the evaluated object,
// a key path or an aggregate of expressions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/database/predicate/LdPredicateArgument.h"

// An immutable value type; copies share nothing. The kind numbers are the expression types the
// store names in its logs.
class LdExpression {
public:
    enum class Kind {
        ConstantValue = 0,
        EvaluatedObject = 1,
        KeyPath = 3,
        Aggregate = 14,
    };

    // expressionForConstantValue:
    static LdExpression expressionForConstantValue(LdPredicateArgument value);
    // expressionForEvaluatedObject — the object the predicate is evaluated on ("SELF").
    static LdExpression expressionForEvaluatedObject();
    // expressionForKeyPath: — components joined by '.' ("dayBalance.account", "entries.@count").
    // The text is taken as it is; the parser only makes key paths of identifiers and a final
    // "@name".
    static LdExpression expressionForKeyPath(std::string keyPath);
    // expressionForAggregate: — a list of expressions ("{1, 2}").
    static LdExpression expressionForAggregate(std::vector<LdExpression> collection);

    // expressionType
    Kind expressionType() const { return kind_; }
    // constantValue — the null value unless this is a constant.
    const LdPredicateArgument& constantValue() const { return constant_; }
    // keyPath — empty unless this is a key path.
    const std::string& keyPath() const { return keyPath_; }
    // The key path split at its dots.
    std::vector<std::string> keyPathComponents() const;
    // Whether a key path ends in the collection operator "@count" (in any letter case).
    static bool keyPathEndsWithCount(std::string_view keyPath);
    // The last key-path component when it is a collection operator ("@count"), else empty.
    std::string_view collectionOperator() const;
    // collection — the elements of an aggregate; empty for the other kinds.
    const std::vector<LdExpression>& collection() const { return collection_; }

    // The expression as the predicate format writes it: constants as
    // LdPredicateArgument::description, "SELF", key paths with '#' before a component that is a
    // reserved word, "{a, b}" for aggregates.
    std::string description() const;

    bool operator==(const LdExpression& other) const = default;

private:
    explicit LdExpression(Kind kind) : kind_(kind) {}

    Kind kind_;
    LdPredicateArgument constant_;
    std::string keyPath_;
    std::vector<LdExpression> collection_;
};
