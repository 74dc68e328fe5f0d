// LdPredicate: a parsed fetch or filter condition — TRUEPREDICATE, FALSEPREDICATE, AND, OR, NOT, or
// a comparison of two expressions — as an immutable tree.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/database/predicate/LdExpression.h"

class LdPredicate;
using LdPredicatePtr = std::shared_ptr<const LdPredicate>;

// Immutable once made, so trees are shared freely between threads and requests. Made through the
// factories below or by LdPredicateParser. The numbers of the enumerations are the platform's
// predicate type codes, which the store writes into its logs.
class LdPredicate {
    struct Passkey {};

public:
    enum class Kind { True, False, Compound, Comparison };
    enum class CompoundType { Not = 0, And = 1, Or = 2 };
    enum class OperatorType {
        LessThan = 0,
        LessThanOrEqualTo = 1,
        GreaterThan = 2,
        GreaterThanOrEqualTo = 3,
        EqualTo = 4,
        NotEqualTo = 5,
        Matches = 6,
        Like = 7,
        BeginsWith = 8,
        EndsWith = 9,
        In = 10,
        Contains = 99,
        Between = 100,
    };
    // NONE is written as NOT of an ANY comparison.
    enum class Modifier { Direct = 0, All = 1, Any = 2 };

    // Comparison option bits ([c], [d], [cd]).
    static constexpr unsigned kCaseInsensitiveOption = 1;
    static constexpr unsigned kDiacriticInsensitiveOption = 2;

    // predicateWithValue: — TRUEPREDICATE or FALSEPREDICATE.
    static LdPredicatePtr predicateWithValue(bool value);
    // andPredicateWithSubpredicates: — with no subpredicates it is true.
    static LdPredicatePtr andPredicateWithSubpredicates(std::vector<LdPredicatePtr> subpredicates);
    // orPredicateWithSubpredicates: — with no subpredicates it is false.
    static LdPredicatePtr orPredicateWithSubpredicates(std::vector<LdPredicatePtr> subpredicates);
    // notPredicateWithSubpredicate: — nullptr for a missing subpredicate.
    static LdPredicatePtr notPredicateWithSubpredicate(LdPredicatePtr subpredicate);
    // predicateWithLeftExpression:rightExpression:modifier:type:options:
    static LdPredicatePtr predicateWithLeftExpression(LdExpression left,
                                                      LdExpression right,
                                                      Modifier modifier,
                                                      OperatorType type,
                                                      unsigned options = 0);

    // Made by the factories only.
    LdPredicate(Passkey, Kind kind);

    Kind kind() const { return kind_; }
    bool isComparison() const { return kind_ == Kind::Comparison; }
    bool isCompound() const { return kind_ == Kind::Compound; }

    // Compound predicates. compoundPredicateType is And for the other kinds.
    CompoundType compoundPredicateType() const { return compoundType_; }
    const std::vector<LdPredicatePtr>& subpredicates() const { return subpredicates_; }

    // Comparisons. The expressions are null constants for the other kinds.
    const LdExpression& leftExpression() const { return left_; }
    const LdExpression& rightExpression() const { return right_; }
    Modifier comparisonPredicateModifier() const { return modifier_; }
    OperatorType predicateOperatorType() const { return operatorType_; }
    unsigned options() const { return options_; }
    bool isCaseInsensitive() const { return (options_ & kCaseInsensitiveOption) != 0; }
    bool isDiacriticInsensitive() const { return (options_ & kDiacriticInsensitiveOption) != 0; }

    // Every key path of the tree's comparisons (inside aggregates too), in the order of the text,
    // repeats included — what the store walks to build its joins.
    std::vector<std::string> keyPaths() const;
    // Whether an OR stands anywhere in the tree (the store then joins with LEFT OUTER JOIN, and
    // the in-memory evaluation follows it).
    bool containsOrPredicate() const;

    // predicateFormat — the canonical text: operators as "==", "!=", "<", "<=", ">", ">=", and in
    // upper case MATCHES, LIKE, BEGINSWITH, ENDSWITH, CONTAINS, IN, BETWEEN, options as "[c]",
    // "[d]", "[cd]" right after the operator, "ANY "/"ALL " before a comparison, single blanks
    // around operators, AND and OR between subpredicates with an AND or OR subpredicate in
    // parentheses, "NOT " before a subpredicate (in parentheses when it is AND or OR). Parsing the
    // text again gives the same text, except for constants without a literal form (object
    // references, dates, data) and for texts whose added parentheses nest past the parser's cap.
    std::string predicateFormat() const;
    std::string description() const { return predicateFormat(); }

    // The spelling of an operator in the canonical text ("==", "BEGINSWITH").
    static const char* operatorText(OperatorType type);

private:
    static LdPredicatePtr compound(CompoundType type, std::vector<LdPredicatePtr> subpredicates);
    void appendFormat(std::string& text) const;
    void collectKeyPaths(std::vector<std::string>& keyPaths) const;

    Kind kind_;
    CompoundType compoundType_ = CompoundType::And;
    std::vector<LdPredicatePtr> subpredicates_;
    LdExpression left_ = LdExpression::expressionForConstantValue({});
    LdExpression right_ = LdExpression::expressionForConstantValue({});
    Modifier modifier_ = Modifier::Direct;
    OperatorType operatorType_ = OperatorType::EqualTo;
    unsigned options_ = 0;
};
