// Predicates and sort orders evaluated in memory. Each step mirrors the SELECT that
// LdCryptStoreFetchTranslator writes and the way the store's SQLite (3.15) runs it: the same
// joins, the same bound values, SQLite's column affinities, comparison affinity and cross-type
// order, and the store's own text functions.
//
// Evaluation runs in two steps. A compilation resolves the request against the entity (key paths
// to columns and joins, constants to the values the statement binds) and fails exactly where the
// translator fails; a failed compilation matches nothing. Then the rows the joins give for the
// object are enumerated, and the compiled predicate is evaluated on each with three-valued logic.
#include "core/database/objects/LdPredicateEvaluator.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "core/database/model/LdEntityDescription.h"
#include "core/database/objects/LdEvaluatedObject.h"
#include "core/database/store/LdCryptStoreStringFunctions.h"
#include "core/database/store/detail/LdSQLite.h"

namespace {

using Op = LdPredicate::OperatorType;

enum class Truth { False, True, Unknown };

Truth truthOf(bool value) {
    return value ? Truth::True : Truth::False;
}

// ---------------------------------------------------------------------------------------------
// Values as SQLite holds them.

struct SqlValue {
    enum class Type { Null, Integer, Real, Text, Blob };
    Type type = Type::Null;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string bytes;  // text or blob

    static SqlValue ofInteger(std::int64_t value) {
        SqlValue made;
        made.type = Type::Integer;
        made.integer = value;
        return made;
    }
    // SQLite stores a NaN as NULL.
    static SqlValue ofReal(double value) {
        SqlValue made;
        if (!std::isnan(value)) {
            made.type = Type::Real;
            made.real = value;
        }
        return made;
    }
    static SqlValue ofBytes(Type type, std::string bytes) {
        SqlValue made;
        made.type = type;
        made.bytes = std::move(bytes);
        return made;
    }

    bool isNull() const { return type == Type::Null; }
    bool isNumeric() const { return type == Type::Integer || type == Type::Real; }
    double asDouble() const { return type == Type::Integer ? static_cast<double>(integer) : real; }
};

// SQLite's comparison affinities: None for expressions without one (placeholders, functions,
// subqueries), Blob, Text, and Numeric for NUMERIC, INTEGER and REAL columns (they compare alike).
enum class Affinity { None, Blob, Text, Numeric };

Affinity columnAffinity(LdAttributeType type) {
    switch (type) {
        case LdAttributeType::String:
            return Affinity::Text;  // VARCHAR
        case LdAttributeType::Binary:
            return Affinity::Blob;
        default:
            return Affinity::Numeric;  // INTEGER, DECIMAL, FLOAT, TIMESTAMP
    }
}

// A real as a column of numeric affinity keeps it: as an integer when it is one exactly.
SqlValue withIntegerAffinity(double real) {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (real > -kTwoTo63 && real < kTwoTo63) {
        const auto integral = static_cast<std::int64_t>(real);
        if (static_cast<double>(integral) == real &&
            integral != std::numeric_limits<std::int64_t>::max()) {
            return SqlValue::ofInteger(integral);
        }
    }
    return SqlValue::ofReal(real);
}

// The value the store's save writes for an attribute value, as the column then holds it. A value
// the save would refuse reads as NULL.
SqlValue storedValue(const LdValue& value, LdAttributeType type) {
    if (value.isNull()) {
        return {};
    }
    switch (type) {
        case LdAttributeType::Integer16:
        case LdAttributeType::Integer32:
        case LdAttributeType::Integer64:
        case LdAttributeType::Boolean:
            if (value.isInteger() || value.isBool()) {
                return SqlValue::ofInteger(value.integerValue());
            }
            if (value.isReal() && std::isfinite(value.doubleValue()) &&
                value.doubleValue() == std::trunc(value.doubleValue()) &&
                std::fabs(value.doubleValue()) < 9.2e18) {
                return SqlValue::ofInteger(value.integerValue());
            }
            return {};
        case LdAttributeType::Decimal:
        case LdAttributeType::Double:
        case LdAttributeType::Float: {
            if (!value.isNumber() && !value.isDecimal()) {
                return {};
            }
            const double number =
                    value.isDecimal() ? value.decimalValue().toDouble() : value.doubleValue();
            if (!std::isfinite(number)) {
                return {};
            }
            // DECIMAL has NUMERIC affinity; FLOAT has REAL affinity, which reads back as real.
            return type == LdAttributeType::Decimal ? withIntegerAffinity(number)
                                                    : SqlValue::ofReal(number);
        }
        case LdAttributeType::String:
            return value.isString() ? SqlValue::ofBytes(SqlValue::Type::Text, value.stringValue())
                                    : SqlValue();
        case LdAttributeType::Date:
            return value.isDate() ? withIntegerAffinity(value.dateValue().unixSeconds())
                                  : SqlValue();
        case LdAttributeType::Binary:
            if (!value.isData()) {
                return {};
            }
            return SqlValue::ofBytes(SqlValue::Type::Blob, std::string(value.dataValue().begin(),
                                                                       value.dataValue().end()));
        case LdAttributeType::Transformable:
            return {};
    }
    return {};
}

// The value a constant binds (LdCryptStoreFetchTranslator::bindingForValue).
SqlValue boundValue(const LdValue& value) {
    switch (value.type()) {
        case LdValue::Type::Bool:
        case LdValue::Type::Integer:
            return SqlValue::ofInteger(value.integerValue());
        case LdValue::Type::Real:
            return SqlValue::ofReal(value.doubleValue());
        case LdValue::Type::Decimal:
            return SqlValue::ofReal(value.decimalValue().toDouble());
        case LdValue::Type::String:
            return SqlValue::ofBytes(SqlValue::Type::Text, value.stringValue());
        case LdValue::Type::Data:
            return SqlValue::ofBytes(SqlValue::Type::Blob, std::string(value.dataValue().begin(),
                                                                       value.dataValue().end()));
        case LdValue::Type::Date:
            return SqlValue::ofReal(value.dateValue().unixSeconds());
        default:
            return {};
    }
}

SqlValue boundValue(const LdPredicateArgument& argument) {
    if (argument.isObjectID()) {
        return SqlValue::ofInteger(static_cast<std::int64_t>(argument.objectID().primaryKey()));
    }
    if (argument.isValue()) {
        return boundValue(argument.value());
    }
    return {};
}

SqlValue primaryKeyValue(const LdEvaluatedObject& object) {
    return SqlValue::ofInteger(static_cast<std::int64_t>(object.evaluatedObjectID().primaryKey()));
}

// The text SQLite makes of a value (sqlite3_value_text): integers in decimal, reals with SQLite's
// own "%!.15g", texts and blobs as their bytes.
std::string sqlText(const SqlValue& value) {
    switch (value.type) {
        case SqlValue::Type::Integer:
            return std::to_string(value.integer);
        case SqlValue::Type::Real: {
            char buffer[64];
            sqlite3_snprintf(static_cast<int>(sizeof buffer), buffer, "%!.15g", value.real);
            return buffer;
        }
        case SqlValue::Type::Text:
        case SqlValue::Type::Blob:
            return value.bytes;
        case SqlValue::Type::Null:
            break;
    }
    return {};
}

bool isSqlSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A text read with numeric affinity: a number when the whole text (blanks around it allowed) is
// one, an integer when it is a plain 64-bit integer (no trailing blanks), else a real.
std::optional<SqlValue> numericValueOfText(const std::string& text) {
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size && isSqlSpace(text[i])) {
        ++i;
    }
    const std::size_t start = i;
    if (i < size && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    const std::size_t digitsStart = i;
    int digits = 0;
    while (i < size && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    const bool integral = digits > 0 && i == size;
    if (i < size && text[i] == '.') {
        ++i;
        while (i < size && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (i < size && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < size && (text[i] == '-' || text[i] == '+')) {
            ++i;
        }
        bool exponentDigits = false;
        while (i < size && isDigit(text[i])) {
            ++i;
            exponentDigits = true;
        }
        if (!exponentDigits) {
            return std::nullopt;
        }
    }
    while (i < size && isSqlSpace(text[i])) {
        ++i;
    }
    if (i != size || digits == 0) {
        return std::nullopt;
    }
    if (integral) {
        std::int64_t integer = 0;
        const char* first = text.data() + digitsStart;
        const char* last = text.data() + size;
        std::string negative;
        if (text[start] == '-') {
            negative = "-" + text.substr(digitsStart);
            first = negative.data();
            last = negative.data() + negative.size();
        }
        const auto [end, code] = std::from_chars(first, last, integer);
        if (code == std::errc() && end == last) {
            return SqlValue::ofInteger(integer);
        }
    }
    return SqlValue::ofReal(std::strtod(text.c_str() + start, nullptr));
}

// Applies a comparison affinity to one operand, as SQLite does before comparing.
void applyAffinity(Affinity affinity, SqlValue& value) {
    if (affinity == Affinity::Numeric && value.type == SqlValue::Type::Text) {
        if (std::optional<SqlValue> number = numericValueOfText(value.bytes)) {
            value = std::move(*number);
        }
    } else if (affinity == Affinity::Text && value.isNumeric()) {
        value = SqlValue::ofBytes(SqlValue::Type::Text, sqlText(value));
    }
}

// The affinity of a comparison of two operands: numeric when a column side is numeric, none when
// both sides are columns of other kinds or neither is a column, else the column's.
Affinity comparisonAffinity(Affinity left, Affinity right) {
    if (left != Affinity::None && right != Affinity::None) {
        return left == Affinity::Numeric || right == Affinity::Numeric ? Affinity::Numeric
                                                                       : Affinity::Blob;
    }
    if (left == Affinity::None && right == Affinity::None) {
        return Affinity::Blob;
    }
    return left == Affinity::None ? right : left;
}

int typeRank(const SqlValue& value) {
    switch (value.type) {
        case SqlValue::Type::Null:
            return 0;
        case SqlValue::Type::Integer:
        case SqlValue::Type::Real:
            return 1;
        case SqlValue::Type::Text:
            return 2;
        case SqlValue::Type::Blob:
            return 3;
    }
    return 0;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

// SQLite's order of values: NULL < numbers < text < blob; an integer against a real compares as
// doubles (this SQLite converts the integer); texts and blobs byte-wise, then by length.
int compareValues(const SqlValue& a, const SqlValue& b) {
    const int rankA = typeRank(a);
    const int rankB = typeRank(b);
    if (rankA != rankB) {
        return rankA < rankB ? -1 : 1;
    }
    switch (rankA) {
        case 0:
            return 0;
        case 1: {
            if (a.type == SqlValue::Type::Integer && b.type == SqlValue::Type::Integer) {
                return (a.integer > b.integer) - (a.integer < b.integer);
            }
            const double x = a.asDouble();
            const double y = b.asDouble();
            return (x > y) - (x < y);
        }
        default: {
            const std::size_t common = std::min(a.bytes.size(), b.bytes.size());
            const int order = common == 0 ? 0 : std::memcmp(a.bytes.data(), b.bytes.data(), common);
            if (order != 0) {
                return sign(order);
            }
            return (a.bytes.size() > b.bytes.size()) - (a.bytes.size() < b.bytes.size());
        }
    }
}

// A text constant under [c]: upper-cased by the translator (ICU, root locale) and once more by
// SQLite's UPPER(?), which changes ASCII letters only.
std::string upperCasedConstant(const std::string& text) {
    icu::UnicodeString string = icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    string.toUpper(icu::Locale::getRoot());
    std::string result;
    string.toUTF8String(result);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Key path helpers following the translator's rules.

// Whether the store has a column for an attribute (not transient, of a type with a SQL type).
bool hasColumn(const LdAttributeDescription& attribute) {
    return !attribute.isTransient() && attribute.attributeType() != LdAttributeType::Transformable;
}

// ---------------------------------------------------------------------------------------------
// The compiled form of a request.

// Where a value is read: the evaluated object (join -1) or a join's row, and the stored
// attribute or to-one relationship read there.
struct ColumnRef {
    int join = -1;
    const LdAttributeDescription* attribute = nullptr;
    const LdRelationshipDescription* toOne = nullptr;

    Affinity affinity() const {
        return attribute ? columnAffinity(attribute->attributeType()) : Affinity::Numeric;
    }
};

struct Operand {
    enum class Kind { Constant, Self, Column, Count, List, NullLiteral };
    Kind kind = Kind::Constant;
    SqlValue constant;
    ColumnRef column;
    std::vector<const LdRelationshipDescription*> countPath;
    std::vector<SqlValue> list;
};

// One joined relationship: from the evaluated object (parent -1) or from an earlier join.
struct Join {
    int parent = -1;
    const LdRelationshipDescription* relationship = nullptr;
};

struct Node {
    enum class Kind { True, False, And, Or, Not, Compare, IsNull, IsNotNull, In, Text };
    Kind kind = Kind::True;
    std::vector<Node> children;  // And, Or, Not
    Op op = Op::EqualTo;         // Compare; the text function for Text
    Operand left;                // Compare, IsNull, IsNotNull, In
    Operand right;               // Compare
    std::vector<Operand> items;  // In: the right side's elements
    ColumnRef target;            // Text
    std::string pattern;         // Text
    int flags = 0;               // Text
};

// Resolves key paths, joins and constants against one entity, failing where the translator
// fails.
class Compilation {
public:
    Compilation(const LdEntityDescription* entity, bool leftOuterJoins)
        : entity_(entity), leftOuterJoins_(leftOuterJoins) {}

    const std::vector<Join>& joins() const { return joins_; }
    bool leftOuterJoins() const { return leftOuterJoins_; }

    // The joins of a dotted key path that is not a count (the translator's buildJoins).
    bool addJoinsForKeyPath(const std::string& keyPath) {
        if (keyPath.find('.') == std::string::npos || LdExpression::keyPathEndsWithCount(keyPath)) {
            return true;
        }
        const std::vector<std::string> components =
                LdExpression::expressionForKeyPath(keyPath).keyPathComponents();
        PathEnd end;
        return walk(components, components.size() - 1, end);
    }

    // Whether the store can order by the key path, and where it reads it.
    std::optional<ColumnRef> sortColumn(const std::string& keyPath) {
        const std::vector<std::string> components =
                LdExpression::expressionForKeyPath(keyPath).keyPathComponents();
        PathEnd end;
        if (components.empty() || !walk(components, components.size() - 1, end)) {
            return std::nullopt;
        }
        const LdAttributeDescription* attribute = end.entity->attributeNamed(components.back());
        if (attribute == nullptr || !hasColumn(*attribute)) {
            return std::nullopt;
        }
        return ColumnRef{end.join, attribute, nullptr};
    }

    std::optional<Node> predicate(const LdPredicate& predicate) {
        switch (predicate.kind()) {
            case LdPredicate::Kind::True:
                return leaf(Node::Kind::True);
            case LdPredicate::Kind::False:
                return leaf(Node::Kind::False);
            case LdPredicate::Kind::Compound:
                return compound(predicate);
            case LdPredicate::Kind::Comparison:
                return comparison(predicate);
        }
        return std::nullopt;
    }

private:
    static Node leaf(Node::Kind kind) {
        Node node;
        node.kind = kind;
        return node;
    }

    struct PathEnd {
        int join = -1;
        const LdEntityDescription* entity = nullptr;
    };

    // Walks the first `count` components, each a relationship (to-one or many-to-many), adding a
    // join per new path prefix.
    bool walk(const std::vector<std::string>& components, std::size_t count, PathEnd& end) {
        end = PathEnd{-1, entity_};
        std::string prefix;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& name = components[i];
            prefix += (i > 0 ? "." : "") + name;
            const LdRelationshipDescription* relationship = end.entity->relationshipNamed(name);
            if (relationship == nullptr) {
                return false;
            }
            const LdEntityDescription* destination = relationship->destinationEntity();
            if (auto found = joinsByPath_.find(prefix); found != joinsByPath_.end()) {
                end = PathEnd{found->second, destination};
                continue;
            }
            if (relationship->isToMany() && !relationship->isManyToMany()) {
                return false;  // the store joins no to-many relationship with a to-one inverse
            }
            joins_.push_back(Join{end.join, relationship});
            const int join = static_cast<int>(joins_.size()) - 1;
            joinsByPath_.emplace(prefix, join);
            end = PathEnd{join, destination};
        }
        return true;
    }

    // The column of the last component: a stored attribute or a to-one relationship.
    static std::optional<ColumnRef> column(const PathEnd& end, const std::string& name) {
        const LdPropertyDescription* property = end.entity->propertyNamed(name);
        if (property == nullptr) {
            return std::nullopt;
        }
        if (const LdAttributeDescription* attribute = property->asAttribute()) {
            if (!hasColumn(*attribute)) {
                return std::nullopt;
            }
            return ColumnRef{end.join, attribute, nullptr};
        }
        const LdRelationshipDescription* relationship = property->asRelationship();
        if (relationship == nullptr || relationship->isToMany()) {
            return std::nullopt;
        }
        return ColumnRef{end.join, nullptr, relationship};
    }

    std::optional<Node> compound(const LdPredicate& predicate) {
        Node node;
        for (const LdPredicatePtr& sub : predicate.subpredicates()) {
            if (!sub) {
                continue;
            }
            std::optional<Node> child = this->predicate(*sub);
            if (!child) {
                return std::nullopt;
            }
            node.children.push_back(std::move(*child));
        }
        switch (predicate.compoundPredicateType()) {
            case LdPredicate::CompoundType::And:
                node.kind = Node::Kind::And;  // no parts: "1"
                return node;
            case LdPredicate::CompoundType::Or:
                node.kind = Node::Kind::Or;  // no parts: "0"
                return node;
            case LdPredicate::CompoundType::Not:
                // "NOT ()" and "NOT (a b)" are syntax errors.
                if (node.children.size() != 1) {
                    return std::nullopt;
                }
                node.kind = Node::Kind::Not;
                return node;
        }
        return std::nullopt;
    }

    static bool isTextComparison(const LdPredicate& predicate) {
        switch (predicate.predicateOperatorType()) {
            case Op::Like:
            case Op::BeginsWith:
            case Op::EndsWith:
            case Op::Contains:
                return true;
            case Op::EqualTo:
                return predicate.isCaseInsensitive() || predicate.isDiacriticInsensitive();
            default:
                return false;
        }
    }

    std::optional<Node> comparison(const LdPredicate& predicate) {
        if (predicate.comparisonPredicateModifier() == LdPredicate::Modifier::All) {
            return std::nullopt;
        }
        if (isTextComparison(predicate)) {
            return textComparison(predicate);
        }
        const Op op = predicate.predicateOperatorType();
        switch (op) {
            case Op::LessThan:
            case Op::LessThanOrEqualTo:
            case Op::GreaterThan:
            case Op::GreaterThanOrEqualTo:
            case Op::EqualTo:
            case Op::NotEqualTo:
            case Op::In:
                break;
            default:
                return std::nullopt;  // MATCHES (no REGEXP function), BETWEEN
        }
        std::optional<Operand> left = operand(predicate.leftExpression(), predicate);
        if (!left || left->kind == Operand::Kind::NullLiteral) {
            return std::nullopt;
        }
        std::optional<Operand> right = operand(predicate.rightExpression(), predicate);
        if (!right) {
            return std::nullopt;
        }
        // A list renders as "?, ?": one element reads as that element; more (or none) are a
        // syntax error anywhere but on the right of IN.
        if (!scalarFromList(*left)) {
            return std::nullopt;
        }
        Node node;
        node.left = std::move(*left);
        if (right->kind == Operand::Kind::NullLiteral) {
            node.kind = op == Op::EqualTo ? Node::Kind::IsNull : Node::Kind::IsNotNull;
            return node;
        }
        if (op == Op::In) {
            node.kind = Node::Kind::In;
            if (right->kind == Operand::Kind::List) {
                for (SqlValue& value : right->list) {
                    Operand item;
                    item.constant = std::move(value);
                    node.items.push_back(std::move(item));
                }
            } else {
                node.items.push_back(std::move(*right));  // "x IN (y)"
            }
            return node;
        }
        if (!scalarFromList(*right)) {
            return std::nullopt;
        }
        node.kind = Node::Kind::Compare;
        node.op = op;
        node.right = std::move(*right);
        return node;
    }

    static bool scalarFromList(Operand& operand) {
        if (operand.kind != Operand::Kind::List) {
            return true;
        }
        if (operand.list.size() != 1) {
            return false;
        }
        SqlValue value = std::move(operand.list.front());
        operand = Operand{};
        operand.constant = std::move(value);
        return true;
    }

    std::optional<Node> textComparison(const LdPredicate& predicate) {
        const LdExpression& left = predicate.leftExpression();
        const LdExpression& right = predicate.rightExpression();
        if (left.expressionType() != LdExpression::Kind::KeyPath ||
            right.expressionType() != LdExpression::Kind::ConstantValue ||
            !right.constantValue().isValue() || !right.constantValue().value().isString()) {
            return std::nullopt;
        }
        const std::vector<std::string> components = left.keyPathComponents();
        PathEnd end;
        if (components.empty() || !walk(components, components.size() - 1, end)) {
            return std::nullopt;
        }
        std::optional<ColumnRef> target = column(end, components.back());
        if (!target) {
            return std::nullopt;
        }
        Node node;
        node.kind = Node::Kind::Text;
        node.op = predicate.predicateOperatorType();
        node.target = *target;
        node.pattern = right.constantValue().value().stringValue();
        node.flags = (predicate.isCaseInsensitive() ? LdCryptStoreStringFunctions::kCaseInsensitive
                                                    : 0) +
                     (predicate.isDiacriticInsensitive()
                              ? LdCryptStoreStringFunctions::kDiacriticInsensitive
                              : 0);
        return node;
    }

    std::optional<Operand> operand(const LdExpression& expression, const LdPredicate& predicate) {
        Operand made;
        switch (expression.expressionType()) {
            case LdExpression::Kind::ConstantValue:
                return constantOperand(expression.constantValue(), predicate);
            case LdExpression::Kind::EvaluatedObject:
                made.kind = Operand::Kind::Self;
                return made;
            case LdExpression::Kind::KeyPath:
                return keyPathOperand(expression);
            case LdExpression::Kind::Aggregate:
                made.kind = Operand::Kind::List;
                for (const LdExpression& element : expression.collection()) {
                    if (element.expressionType() != LdExpression::Kind::ConstantValue) {
                        return std::nullopt;
                    }
                    made.list.push_back(boundValue(element.constantValue()));
                }
                return made;
        }
        return std::nullopt;
    }

    static std::optional<Operand> constantOperand(const LdPredicateArgument& constant,
                                                  const LdPredicate& predicate) {
        Operand made;
        if (constant.isObjectIDList()) {
            made.kind = Operand::Kind::List;
            for (const LdObjectID& objectID : constant.objectIDs()) {
                made.list.push_back(
                        SqlValue::ofInteger(static_cast<std::int64_t>(objectID.primaryKey())));
            }
            return made;
        }
        if (constant.isObjectID()) {
            made.constant = boundValue(constant);
            return made;
        }
        const LdValue& value = constant.value();
        if (value.isArray()) {
            made.kind = Operand::Kind::List;
            for (const LdValue& element : value.arrayValue()) {
                made.list.push_back(boundValue(element));
            }
            return made;
        }
        if (value.isNull()) {
            const Op op = predicate.predicateOperatorType();
            if (op == Op::EqualTo || op == Op::NotEqualTo) {
                made.kind = Operand::Kind::NullLiteral;  // IS NULL / IS NOT NULL
            }
            return made;
        }
        if (value.isString() && predicate.isCaseInsensitive()) {
            made.constant = SqlValue::ofBytes(SqlValue::Type::Text,
                                              upperCasedConstant(value.stringValue()));
            return made;
        }
        made.constant = boundValue(value);
        return made;
    }

    std::optional<Operand> keyPathOperand(const LdExpression& expression) {
        const std::vector<std::string> components = expression.keyPathComponents();
        if (components.empty()) {
            return std::nullopt;
        }
        if (!expression.collectionOperator().empty()) {
            return countOperand(components);
        }
        PathEnd end;
        if (!walk(components, components.size() - 1, end)) {
            return std::nullopt;
        }
        std::optional<ColumnRef> found = column(end, components.back());
        if (!found) {
            return std::nullopt;
        }
        Operand made;
        made.kind = Operand::Kind::Column;
        made.column = *found;
        return made;
    }

    // "relationship[.step…].@count": the translator's count subquery, from the first
    // relationship's targets joined on step by step.
    std::optional<Operand> countOperand(const std::vector<std::string>& components) {
        if (!LdExpression::keyPathEndsWithCount(components.back()) || components.size() < 2) {
            return std::nullopt;
        }
        Operand made;
        made.kind = Operand::Kind::Count;
        const LdEntityDescription* current = entity_;
        for (std::size_t i = 0; i + 1 < components.size(); ++i) {
            const LdRelationshipDescription* step = current->relationshipNamed(components[i]);
            if (step == nullptr || (step->isToMany() && !step->isManyToMany() &&
                                    step->inverseRelationship() == nullptr)) {
                return std::nullopt;
            }
            made.countPath.push_back(step);
            current = step->destinationEntity();
        }
        return made;
    }

    const LdEntityDescription* entity_;
    bool leftOuterJoins_;
    std::vector<Join> joins_;
    std::map<std::string, int> joinsByPath_;
};

// ---------------------------------------------------------------------------------------------
// Evaluation over the joined rows of one object.

class RowEvaluation {
public:
    RowEvaluation(const Compilation& compilation,
                  const Node* predicate,
                  const LdEvaluatedObject& object)
        : joins_(compilation.joins()),
          leftOuterJoins_(compilation.leftOuterJoins()),
          predicate_(predicate),
          object_(object),
          bound_(joins_.size(), nullptr) {}

    // Whether some row of the joins satisfies the predicate (TRUE, not unknown).
    bool anyRowMatches() { return matchesFrom(0); }

private:
    // Binds the joins from `index` on, one target at a time; an inner join without a target
    // yields no row, an outer join a row of NULLs.
    bool matchesFrom(std::size_t index) {
        if (index == joins_.size()) {
            return predicate_ == nullptr || evaluate(*predicate_) == Truth::True;
        }
        const Join& join = joins_[index];
        const LdEvaluatedObject* owner =
                join.parent < 0 ? &object_ : bound_[static_cast<std::size_t>(join.parent)];
        if (owner == nullptr) {
            bound_[index] = nullptr;  // below a NULL row of an outer join
            return matchesFrom(index + 1);
        }
        if (join.relationship->isToOne()) {
            const LdEvaluatedObject* target = owner->evaluatedTarget(join.relationship);
            if (target == nullptr && !leftOuterJoins_) {
                return false;
            }
            bound_[index] = target;
            return matchesFrom(index + 1);
        }
        const std::vector<const LdEvaluatedObject*> targets =
                owner->evaluatedTargets(join.relationship);
        if (targets.empty()) {
            if (!leftOuterJoins_) {
                return false;
            }
            bound_[index] = nullptr;
            return matchesFrom(index + 1);
        }
        for (const LdEvaluatedObject* target : targets) {
            bound_[index] = target;
            if (target != nullptr && matchesFrom(index + 1)) {
                return true;
            }
        }
        return false;
    }

    SqlValue columnValue(const ColumnRef& column) const {
        const LdEvaluatedObject* owner =
                column.join < 0 ? &object_ : bound_[static_cast<std::size_t>(column.join)];
        if (owner == nullptr) {
            return {};
        }
        if (column.attribute != nullptr) {
            return storedValue(owner->evaluatedAttributeValue(column.attribute),
                               column.attribute->attributeType());
        }
        const LdEvaluatedObject* target = owner->evaluatedTarget(column.toOne);
        return target ? primaryKeyValue(*target) : SqlValue();
    }

    std::int64_t countValue(const std::vector<const LdRelationshipDescription*>& path) const {
        std::vector<const LdEvaluatedObject*> current{&object_};
        for (const LdRelationshipDescription* step : path) {
            std::vector<const LdEvaluatedObject*> next;
            for (const LdEvaluatedObject* owner : current) {
                if (step->isToOne()) {
                    if (const LdEvaluatedObject* target = owner->evaluatedTarget(step)) {
                        next.push_back(target);
                    }
                    continue;
                }
                for (const LdEvaluatedObject* target : owner->evaluatedTargets(step)) {
                    if (target != nullptr) {
                        next.push_back(target);
                    }
                }
            }
            current = std::move(next);
        }
        return static_cast<std::int64_t>(current.size());
    }

    SqlValue value(const Operand& operand) const {
        switch (operand.kind) {
            case Operand::Kind::Self:
                return primaryKeyValue(object_);
            case Operand::Kind::Column:
                return columnValue(operand.column);
            case Operand::Kind::Count:
                return SqlValue::ofInteger(countValue(operand.countPath));
            default:
                return operand.constant;
        }
    }

    static Affinity affinity(const Operand& operand) {
        switch (operand.kind) {
            case Operand::Kind::Self:
                return Affinity::Numeric;  // INTEGER PRIMARY KEY
            case Operand::Kind::Column:
                return operand.column.affinity();
            default:
                return Affinity::None;
        }
    }

    Truth evaluate(const Node& node) const {
        switch (node.kind) {
            case Node::Kind::True:
                return Truth::True;
            case Node::Kind::False:
                return Truth::False;
            case Node::Kind::And: {
                Truth result = Truth::True;
                for (const Node& child : node.children) {
                    const Truth truth = evaluate(child);
                    if (truth == Truth::False) {
                        return Truth::False;
                    }
                    if (truth == Truth::Unknown) {
                        result = Truth::Unknown;
                    }
                }
                return result;
            }
            case Node::Kind::Or: {
                Truth result = Truth::False;
                for (const Node& child : node.children) {
                    const Truth truth = evaluate(child);
                    if (truth == Truth::True) {
                        return Truth::True;
                    }
                    if (truth == Truth::Unknown) {
                        result = Truth::Unknown;
                    }
                }
                return result;
            }
            case Node::Kind::Not: {
                const Truth truth = evaluate(node.children.front());
                return truth == Truth::Unknown ? truth : truthOf(truth == Truth::False);
            }
            case Node::Kind::IsNull:
                return truthOf(value(node.left).isNull());
            case Node::Kind::IsNotNull:
                return truthOf(!value(node.left).isNull());
            case Node::Kind::Compare:
                return compare(node);
            case Node::Kind::In:
                return in(node);
            case Node::Kind::Text:
                return text(node);
        }
        return Truth::Unknown;
    }

    Truth compare(const Node& node) const {
        SqlValue left = value(node.left);
        SqlValue right = value(node.right);
        if (left.isNull() || right.isNull()) {
            return Truth::Unknown;
        }
        const Affinity affinity =
                comparisonAffinity(this->affinity(node.left), this->affinity(node.right));
        applyAffinity(affinity, left);
        applyAffinity(affinity, right);
        const int order = compareValues(left, right);
        switch (node.op) {
            case Op::LessThan:
                return truthOf(order < 0);
            case Op::LessThanOrEqualTo:
                return truthOf(order <= 0);
            case Op::GreaterThan:
                return truthOf(order > 0);
            case Op::GreaterThanOrEqualTo:
                return truthOf(order >= 0);
            case Op::EqualTo:
                return truthOf(order == 0);
            case Op::NotEqualTo:
                return truthOf(order != 0);
            default:
                return Truth::Unknown;
        }
    }

    // "x IN (…)": "IN ()" is false whatever x is; otherwise equality under x's affinity alone,
    // unknown when x or an unmatched element is NULL.
    Truth in(const Node& node) const {
        if (node.items.empty()) {
            return Truth::False;
        }
        SqlValue left = value(node.left);
        if (left.isNull()) {
            return Truth::Unknown;
        }
        Affinity affinity = this->affinity(node.left);
        if (affinity == Affinity::None) {
            affinity = Affinity::Blob;
        }
        applyAffinity(affinity, left);
        bool sawNull = false;
        for (const Operand& item : node.items) {
            SqlValue element = value(item);
            if (element.isNull()) {
                sawNull = true;
                continue;
            }
            applyAffinity(affinity, element);
            if (compareValues(left, element) == 0) {
                return Truth::True;
            }
        }
        return sawNull ? Truth::Unknown : Truth::False;
    }

    // The store's text functions answer 0 for a NULL argument: false, not unknown.
    Truth text(const Node& node) const {
        const SqlValue target = columnValue(node.target);
        if (target.isNull()) {
            return Truth::False;
        }
        const std::string value = sqlText(target);
        using Functions = LdCryptStoreStringFunctions;
        switch (node.op) {
            case Op::EqualTo:
                return truthOf(Functions::equalString(value, node.pattern, node.flags));
            case Op::Like:
                return truthOf(Functions::like(value, node.pattern, node.flags));
            case Op::BeginsWith:
                return truthOf(Functions::stringSearch(value, node.pattern, node.flags,
                                                       Functions::kBeginsWith));
            case Op::EndsWith:
                return truthOf(Functions::stringSearch(value, node.pattern, node.flags,
                                                       Functions::kEndsWith));
            default:
                return truthOf(Functions::stringSearch(value, node.pattern, node.flags,
                                                       Functions::kContains));
        }
    }

    const std::vector<Join>& joins_;
    bool leftOuterJoins_;
    const Node* predicate_;
    const LdEvaluatedObject& object_;
    std::vector<const LdEvaluatedObject*> bound_;
};

// The stored value of a sort key: through to-one relationships only; missing where the store
// could not order by it or the path has no target.
SqlValue sortValue(const std::string& keyPath, const LdEvaluatedObject& object) {
    const std::vector<std::string> components =
            LdExpression::expressionForKeyPath(keyPath).keyPathComponents();
    const LdEvaluatedObject* current = &object;
    const LdEntityDescription* entity = object.evaluatedEntity();
    if (entity == nullptr || components.empty()) {
        return {};
    }
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const LdRelationshipDescription* relationship = entity->relationshipNamed(components[i]);
        if (relationship == nullptr || relationship->isToMany()) {
            return {};
        }
        current = current->evaluatedTarget(relationship);
        if (current == nullptr) {
            return {};
        }
        entity = relationship->destinationEntity();
    }
    const LdAttributeDescription* attribute = entity->attributeNamed(components.back());
    if (attribute == nullptr || !hasColumn(*attribute)) {
        return {};
    }
    return storedValue(current->evaluatedAttributeValue(attribute), attribute->attributeType());
}

}  // namespace

bool LdPredicateEvaluator::evaluatePredicate(const LdPredicate& predicate,
                                             const LdEvaluatedObject& object) {
    const LdEntityDescription* entity = object.evaluatedEntity();
    if (entity == nullptr) {
        return false;
    }
    Compilation compilation(entity, predicate.containsOrPredicate());
    for (const std::string& keyPath : predicate.keyPaths()) {
        if (!compilation.addJoinsForKeyPath(keyPath)) {
            return false;
        }
    }
    std::optional<Node> compiled = compilation.predicate(predicate);
    if (!compiled) {
        return false;
    }
    return RowEvaluation(compilation, &*compiled, object).anyRowMatches();
}

bool LdPredicateEvaluator::objectMatchesFetchRequest(const LdFetchRequest& request,
                                                     const LdEvaluatedObject& object) {
    const LdEntityDescription* entity = object.evaluatedEntity();
    if (request.entity == nullptr || entity == nullptr ||
        request.resultType == LdFetchRequest::ResultType::Dictionaries ||
        (request.fetchOffset > 0 && request.fetchLimit == 0)) {
        return false;
    }
    // The entity filter: the entity itself, or any descendant when subentities are included.
    if (entity != request.entity &&
        !(request.includesSubentities && entity->isKindOfEntity(request.entity))) {
        return false;
    }
    Compilation compilation(request.entity,
                            request.predicate && request.predicate->containsOrPredicate());
    // Fixed order, as the translator's: the joins of the sort keys, then those of the predicate.
    for (const LdSortDescriptor& sort : request.sortDescriptors) {
        if (!compilation.addJoinsForKeyPath(sort.keyPath)) {
            return false;
        }
    }
    if (request.predicate) {
        for (const std::string& keyPath : request.predicate->keyPaths()) {
            if (!compilation.addJoinsForKeyPath(keyPath)) {
                return false;
            }
        }
    }
    std::optional<Node> compiled;
    if (request.predicate) {
        compiled = compilation.predicate(*request.predicate);
        if (!compiled) {
            return false;
        }
    }
    // A count has no ORDER BY, so only other fetches fail on a sort key the store cannot order by.
    if (request.resultType != LdFetchRequest::ResultType::Count) {
        for (const LdSortDescriptor& sort : request.sortDescriptors) {
            if (!compilation.sortColumn(sort.keyPath)) {
                return false;
            }
        }
    }
    return RowEvaluation(compilation, compiled ? &*compiled : nullptr, object).anyRowMatches();
}

int LdPredicateEvaluator::compareSortKeys(const std::vector<LdSortDescriptor>& sorts,
                                          const LdEvaluatedObject& a,
                                          const LdEvaluatedObject& b) {
    for (const LdSortDescriptor& sort : sorts) {
        const int order = compareValues(sortValue(sort.keyPath, a), sortValue(sort.keyPath, b));
        if (order != 0) {
            return sort.ascending ? order : -order;
        }
    }
    return 0;
}

int LdPredicateEvaluator::compareForSortDescriptors(const std::vector<LdSortDescriptor>& sorts,
                                                    const LdEvaluatedObject& a,
                                                    const LdEvaluatedObject& b) {
    if (const int order = compareSortKeys(sorts, a, b); order != 0) {
        return order;
    }
    const std::uint64_t keyA = a.evaluatedObjectID().primaryKey();
    const std::uint64_t keyB = b.evaluatedObjectID().primaryKey();
    if (keyA != keyB) {
        return keyA < keyB ? -1 : 1;
    }
    const LdEntityDescription* entityA = a.evaluatedEntity();
    const LdEntityDescription* entityB = b.evaluatedEntity();
    if (entityA == entityB || entityA == nullptr || entityB == nullptr) {
        return (entityB == nullptr) - (entityA == nullptr);
    }
    return sign(entityA->name().compare(entityB->name()));
}
