// Predicate trees: factories, the canonical text and the key paths they use.
#include "core/database/predicate/LdPredicate.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace {

void collectExpressionKeyPaths(const LdExpression& expression, std::vector<std::string>& keyPaths) {
    if (expression.expressionType() == LdExpression::Kind::KeyPath) {
        keyPaths.push_back(expression.keyPath());
    }
    for (const LdExpression& element : expression.collection()) {
        collectExpressionKeyPaths(element, keyPaths);
    }
}

}  // namespace

LdPredicate::LdPredicate(Passkey /*passkey*/, Kind kind) : kind_(kind) {}

LdPredicatePtr LdPredicate::predicateWithValue(bool value) {
    return std::make_shared<LdPredicate>(Passkey{}, value ? Kind::True : Kind::False);
}

LdPredicatePtr LdPredicate::compound(CompoundType type, std::vector<LdPredicatePtr> subpredicates) {
    for ([[maybe_unused]] const LdPredicatePtr& subpredicate : subpredicates) {
        assert(subpredicate != nullptr && "compound predicate with a null subpredicate");
    }
    auto predicate = std::make_shared<LdPredicate>(Passkey{}, Kind::Compound);
    predicate->compoundType_ = type;
    predicate->subpredicates_ = std::move(subpredicates);
    return predicate;
}

LdPredicatePtr LdPredicate::andPredicateWithSubpredicates(
        std::vector<LdPredicatePtr> subpredicates) {
    if (subpredicates.empty()) {
        return predicateWithValue(true);
    }
    return compound(CompoundType::And, std::move(subpredicates));
}

LdPredicatePtr LdPredicate::orPredicateWithSubpredicates(
        std::vector<LdPredicatePtr> subpredicates) {
    if (subpredicates.empty()) {
        return predicateWithValue(false);
    }
    return compound(CompoundType::Or, std::move(subpredicates));
}

LdPredicatePtr LdPredicate::notPredicateWithSubpredicate(LdPredicatePtr subpredicate) {
    if (subpredicate == nullptr) {
        return nullptr;  // missing argument: no error
    }
    std::vector<LdPredicatePtr> subpredicates;
    subpredicates.push_back(std::move(subpredicate));
    return compound(CompoundType::Not, std::move(subpredicates));
}

LdPredicatePtr LdPredicate::predicateWithLeftExpression(LdExpression left,
                                                        LdExpression right,
                                                        Modifier modifier,
                                                        OperatorType type,
                                                        unsigned options) {
    auto predicate = std::make_shared<LdPredicate>(Passkey{}, Kind::Comparison);
    predicate->left_ = std::move(left);
    predicate->right_ = std::move(right);
    predicate->modifier_ = modifier;
    predicate->operatorType_ = type;
    predicate->options_ = options & (kCaseInsensitiveOption | kDiacriticInsensitiveOption);
    return predicate;
}

const char* LdPredicate::operatorText(OperatorType type) {
    switch (type) {
        case OperatorType::LessThan:
            return "<";
        case OperatorType::LessThanOrEqualTo:
            return "<=";
        case OperatorType::GreaterThan:
            return ">";
        case OperatorType::GreaterThanOrEqualTo:
            return ">=";
        case OperatorType::EqualTo:
            return "==";
        case OperatorType::NotEqualTo:
            return "!=";
        case OperatorType::Matches:
            return "MATCHES";
        case OperatorType::Like:
            return "LIKE";
        case OperatorType::BeginsWith:
            return "BEGINSWITH";
        case OperatorType::EndsWith:
            return "ENDSWITH";
        case OperatorType::In:
            return "IN";
        case OperatorType::Contains:
            return "CONTAINS";
        case OperatorType::Between:
            return "BETWEEN";
    }
    return "?";
}

std::vector<std::string> LdPredicate::keyPaths() const {
    std::vector<std::string> keyPaths;
    collectKeyPaths(keyPaths);
    return keyPaths;
}

void LdPredicate::collectKeyPaths(std::vector<std::string>& keyPaths) const {
    for (const LdPredicatePtr& subpredicate : subpredicates_) {
        subpredicate->collectKeyPaths(keyPaths);
    }
    if (kind_ == Kind::Comparison) {
        collectExpressionKeyPaths(left_, keyPaths);
        collectExpressionKeyPaths(right_, keyPaths);
    }
}

std::string LdPredicate::predicateFormat() const {
    std::string text;
    appendFormat(text);
    return text;
}

void LdPredicate::appendFormat(std::string& text) const {
    // An AND or OR below another compound keeps its parentheses, so the text reads back unchanged.
    const auto appendSubpredicate = [&text](const LdPredicate& subpredicate) {
        const bool parenthesize = subpredicate.isCompound() &&
                                  subpredicate.compoundType_ != CompoundType::Not &&
                                  subpredicate.subpredicates_.size() > 1;
        if (parenthesize) {
            text += '(';
        }
        subpredicate.appendFormat(text);
        if (parenthesize) {
            text += ')';
        }
    };

    switch (kind_) {
        case Kind::True:
            text += "TRUEPREDICATE";
            return;
        case Kind::False:
            text += "FALSEPREDICATE";
            return;
        case Kind::Compound: {
            if (compoundType_ == CompoundType::Not) {
                text += "NOT ";
            }
            const char* separator = compoundType_ == CompoundType::Or ? " OR " : " AND ";
            for (std::size_t index = 0; index < subpredicates_.size(); ++index) {
                if (index > 0) {
                    text += separator;
                }
                appendSubpredicate(*subpredicates_[index]);
            }
            return;
        }
        case Kind::Comparison:
            if (modifier_ == Modifier::Any) {
                text += "ANY ";
            } else if (modifier_ == Modifier::All) {
                text += "ALL ";
            }
            text += left_.description();
            text += ' ';
            text += operatorText(operatorType_);
            if (options_ != 0) {
                text += '[';
                if (isCaseInsensitive()) {
                    text += 'c';
                }
                if (isDiacriticInsensitive()) {
                    text += 'd';
                }
                text += ']';
            }
            text += ' ';
            text += right_.description();
            return;
    }
}

bool LdPredicate::containsOrPredicate() const {
    if (!isCompound()) {
        return false;
    }
    if (compoundType_ == CompoundType::Or) {
        return true;
    }
    return std::any_of(subpredicates_.begin(), subpredicates_.end(),
                       [](const LdPredicatePtr& sub) { return sub && sub->containsOrPredicate(); });
}
