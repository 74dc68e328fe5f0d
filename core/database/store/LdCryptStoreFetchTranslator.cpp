// Translation of a fetch request into SQL: joins for key paths, the entity filter, the predicate,
// order and window.
#include "core/database/store/LdCryptStoreFetchTranslator.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "core/database/model/LdEntityDescription.h"
#include "core/database/model/LdRelationshipDescription.h"
#include "core/database/store/LdCryptStoreSchema.h"

namespace {

constexpr const char* kPrimaryKey = "Z_PK";
constexpr const char* kRootAlias = "t0";

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            text += separator;
        }
        text += parts[i];
    }
    return text;
}

std::string upperCasedText(const std::string& text) {
    icu::UnicodeString string = icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    string.toUpper(icu::Locale::getRoot());
    std::string result;
    string.toUTF8String(result);
    return result;
}

// The SQL operator and right-side format of the comparisons that are not string comparisons.
struct SqlOperator {
    const char* text;
    bool parenthesised;
};

std::optional<SqlOperator> sqlOperatorFor(LdPredicate::OperatorType type) {
    using Op = LdPredicate::OperatorType;
    switch (type) {
        case Op::LessThan:
            return SqlOperator{"<", false};
        case Op::LessThanOrEqualTo:
            return SqlOperator{"<=", false};
        case Op::GreaterThan:
            return SqlOperator{">", false};
        case Op::GreaterThanOrEqualTo:
            return SqlOperator{">=", false};
        case Op::EqualTo:
            return SqlOperator{"=", false};
        case Op::NotEqualTo:
            return SqlOperator{"!=", false};
        case Op::Matches:
            return SqlOperator{"REGEXP", false};
        case Op::In:
            return SqlOperator{"IN", true};
        default:
            return std::nullopt;
    }
}

}  // namespace

// One translation: the alias counter, the joins made so far and the bindings collected.
class LdCryptStoreFetchTranslator::Translation {
public:
    Translation(const LdCryptStoreSchema& schema, const LdFetchRequest& request)
        : schema_(schema), request_(request) {}

    const std::string& failure() const { return failure_; }
    bool distinct() const { return distinct_; }
    std::vector<LdCryptStoreBinding>& bindings() { return bindings_; }

    // The joins of every dotted sort key and every dotted predicate key path (not "@count"),
    // each once, in the order found.
    bool buildJoins() {
        useLeftOuterJoin_ = request_.predicate && request_.predicate->containsOrPredicate();
        std::vector<std::string> keyPaths;
        for (const LdSortDescriptor& sort : request_.sortDescriptors) {
            keyPaths.push_back(sort.keyPath);
        }
        if (request_.predicate) {
            for (std::string& keyPath : request_.predicate->keyPaths()) {
                keyPaths.push_back(std::move(keyPath));
            }
        }
        for (const std::string& keyPath : keyPaths) {
            if (keyPath.find('.') == std::string::npos ||
                LdExpression::keyPathEndsWithCount(keyPath)) {
                continue;
            }
            std::vector<std::string> components =
                    LdExpression::expressionForKeyPath(keyPath).keyPathComponents();
            PathEnd end;
            if (!walk(components, components.size() - 1, end)) {
                return false;
            }
        }
        return true;
    }

    std::string joinClause() const { return joined(joins_, " "); }

    // The predicate's SQL, or nothing after a failure.
    std::optional<std::string> predicateClause(const LdPredicate& predicate) {
        switch (predicate.kind()) {
            case LdPredicate::Kind::True:
                return "1";
            case LdPredicate::Kind::False:
                return "0";
            case LdPredicate::Kind::Compound:
                return compoundClause(predicate);
            case LdPredicate::Kind::Comparison:
                return comparisonClause(predicate);
        }
        return std::nullopt;
    }

    // "alias.column ASC|DESC" for one sort descriptor.
    std::optional<std::string> orderTerm(const LdSortDescriptor& sort) {
        std::vector<std::string> components =
                LdExpression::expressionForKeyPath(sort.keyPath).keyPathComponents();
        PathEnd end;
        if (components.empty() || !walk(components, components.size() - 1, end)) {
            return failure_.empty()
                           ? fail("Missing attribute on the end of key path " + sort.keyPath)
                           : std::nullopt;
        }
        const LdAttributeDescription* attribute = end.entity->attributeNamed(components.back());
        std::string column = attribute ? columnOf(end.entity, attribute->propertyNumber()) : "";
        if (column.empty()) {
            return fail("Missing attribute on the end of key path " + sort.keyPath);
        }
        return end.alias + "." + column + (sort.ascending ? " ASC" : " DESC");
    }

private:
    struct PathEnd {
        std::string alias = kRootAlias;
        const LdEntityDescription* entity = nullptr;
    };

    std::nullopt_t fail(std::string reason) {
        if (failure_.empty()) {
            failure_ = std::move(reason);
        }
        return std::nullopt;
    }

    std::string nextAlias() { return "t" + std::to_string(++tableIndex_); }

    std::string columnOf(const LdEntityDescription* entity, std::size_t propertyNumber) const {
        const LdCryptStoreEntityMapping* mapping = schema_.mapping(entity);
        if (mapping == nullptr || propertyNumber >= mapping->columns.size()) {
            return {};
        }
        return mapping->columns[propertyNumber];
    }

    std::string tableOf(const LdEntityDescription* entity) const {
        const LdCryptStoreEntityMapping* mapping = schema_.mapping(entity);
        return mapping ? mapping->tableName : std::string();
    }

    // "JOIN table AS alias ON previous.column = alias.column" (LEFT OUTER JOIN when asked).
    void addJoin(const std::string& table,
                 const std::string& alias,
                 const std::string& previousAlias,
                 const std::string& previousColumn,
                 const std::string& column) {
        joins_.push_back(
                joinText(useLeftOuterJoin_, table, alias, previousAlias, previousColumn, column));
    }

    static std::string joinText(bool leftOuter,
                                const std::string& table,
                                const std::string& alias,
                                const std::string& previousAlias,
                                const std::string& previousColumn,
                                const std::string& column) {
        return (leftOuter ? "LEFT OUTER JOIN " : "JOIN ") + table + " AS " + alias + " ON " +
               previousAlias + "." + previousColumn + " = " + alias + "." + column;
    }

    // Walks the first `count` components from the request's entity, each a relationship, joining
    // the tables on the way (once per path prefix). Ends at the last entity reached and its alias.
    bool walk(const std::vector<std::string>& components, std::size_t count, PathEnd& end) {
        end = PathEnd{kRootAlias, request_.entity};
        std::string prefix;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& name = components[i];
            prefix += (i > 0 ? "." : "") + name;
            const LdRelationshipDescription* relationship = end.entity->relationshipNamed(name);
            if (relationship == nullptr) {
                fail(end.entity->propertyNamed(name) != nullptr
                             ? "Expected " + name + " is a relationship property"
                             : "unknown path component \"" + name + "\"");
                return false;
            }
            const LdEntityDescription* destination = relationship->destinationEntity();
            if (auto found = aliasesByPath_.find(prefix); found != aliasesByPath_.end()) {
                end = PathEnd{found->second, destination};
                continue;
            }
            std::string alias;
            if (relationship->isToOne()) {
                alias = nextAlias();
                addJoin(tableOf(destination), alias, end.alias,
                        columnOf(end.entity, relationship->propertyNumber()), kPrimaryKey);
            } else if (const LdCryptStoreJoinMapping* join = schema_.joinMapping(relationship);
                       join != nullptr) {
                std::string joinAlias = nextAlias();
                alias = nextAlias();
                addJoin(join->tableName, joinAlias, end.alias, kPrimaryKey, join->ownerColumn);
                // The destination's key sits in the join table's column of the relationship.
                addJoin(tableOf(destination), alias, joinAlias, join->targetColumn, kPrimaryKey);
                distinct_ = true;
            } else {
                fail("to-many relation " + name + " fetch currently not supported");
                return false;
            }
            aliasesByPath_.emplace(prefix, alias);
            end = PathEnd{alias, destination};
        }
        return true;
    }

    std::optional<std::string> compoundClause(const LdPredicate& predicate) {
        std::vector<std::string> parts;
        for (const LdPredicatePtr& sub : predicate.subpredicates()) {
            if (!sub) {
                continue;
            }
            std::optional<std::string> part = predicateClause(*sub);
            if (!part) {
                return std::nullopt;
            }
            parts.push_back(std::move(*part));
        }
        switch (predicate.compoundPredicateType()) {
            case LdPredicate::CompoundType::And:
                return parts.empty() ? "1" : "(" + joined(parts, " AND ") + ")";
            case LdPredicate::CompoundType::Or:
                return parts.empty() ? "0" : "(" + joined(parts, " OR ") + ")";
            case LdPredicate::CompoundType::Not:
                return "NOT (" + joined(parts, " ") + ")";
        }
        return std::nullopt;
    }

    static bool isStringComparison(const LdPredicate& predicate) {
        using Op = LdPredicate::OperatorType;
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

    std::optional<std::string> comparisonClause(const LdPredicate& predicate) {
        if (predicate.comparisonPredicateModifier() == LdPredicate::Modifier::All) {
            return fail("ALL comparisons are not supported");
        }
        if (isStringComparison(predicate)) {
            return stringComparisonClause(predicate);
        }
        using Op = LdPredicate::OperatorType;
        if (predicate.predicateOperatorType() == Op::Matches) {
            // The store registers no REGEXP function, so such a statement could never run.
            return fail("MATCHES is not supported: no REGEXP function is registered");
        }
        std::optional<SqlOperator> sqlOperator = sqlOperatorFor(predicate.predicateOperatorType());
        if (!sqlOperator) {
            return fail(std::string("operator ") +
                        LdPredicate::operatorText(predicate.predicateOperatorType()) +
                        " is not supported");
        }
        std::string op = sqlOperator->text;
        std::optional<std::string> left = operand(predicate.leftExpression(), predicate, op);
        if (!left) {
            return failure_.empty() ? fail("left hand side is nil value") : std::nullopt;
        }
        if (*left == "NULL") {
            return fail("can't use NULL on left hand side");
        }
        std::optional<std::string> right = operand(predicate.rightExpression(), predicate, op);
        if (!right) {
            return failure_.empty() ? fail("right hand side is nil value") : std::nullopt;
        }
        if (*right == "NULL") {
            op = op == "=" ? "IS" : op == "!=" ? "IS NOT" : op;
        } else if (sqlOperator->parenthesised) {
            *right = "(" + *right + ")";
        }
        return *left + " " + op + " " + *right;
    }

    std::optional<std::string> stringComparisonClause(const LdPredicate& predicate) {
        const LdExpression& left = predicate.leftExpression();
        const LdExpression& right = predicate.rightExpression();
        if (left.expressionType() != LdExpression::Kind::KeyPath ||
            right.expressionType() != LdExpression::Kind::ConstantValue ||
            !right.constantValue().isValue() || !right.constantValue().value().isString()) {
            return fail("String compare expression is not an NSString");
        }
        std::vector<std::string> components = left.keyPathComponents();
        PathEnd end;
        if (components.empty() || !walk(components, components.size() - 1, end)) {
            return std::nullopt;
        }
        const std::string& last = components.back();
        const LdPropertyDescription* property = end.entity->propertyNamed(last);
        std::string column;
        if (property != nullptr &&
            (property->isAttribute() || property->asRelationship()->isToOne())) {
            column = columnOf(end.entity, property->propertyNumber());
        }
        if (column.empty()) {
            return fail("unknown path component \"" + last + "\"");
        }
        int flags = (predicate.isCaseInsensitive() ? 1 : 0) +
                    (predicate.isDiacriticInsensitive() ? 128 : 0);
        std::string target = end.alias + "." + column;
        std::string flagText = std::to_string(flags);
        bindings_.emplace_back(right.constantValue().value().stringValue());
        using Op = LdPredicate::OperatorType;
        switch (predicate.predicateOperatorType()) {
            case Op::EqualTo:
                return "CryptStoreEqualString(" + target + ", ?, " + flagText + ")";
            case Op::Like:
                return "CryptStoreLike(" + target + ", ?, " + flagText + ")";
            case Op::BeginsWith:
                return "CryptStoreStringSearch(" + target + ", ?, " + flagText + ", 0)";
            case Op::EndsWith:
                return "CryptStoreStringSearch(" + target + ", ?, " + flagText + ", 1)";
            default:
                return "CryptStoreStringSearch(" + target + ", ?, " + flagText + ", 2)";
        }
    }

    // One side of an ordinary comparison.
    std::optional<std::string> operand(const LdExpression& expression,
                                       const LdPredicate& predicate,
                                       const std::string& op) {
        switch (expression.expressionType()) {
            case LdExpression::Kind::ConstantValue:
                return constantOperand(expression.constantValue(), predicate, op);
            case LdExpression::Kind::EvaluatedObject:
                return std::string(kRootAlias) + "." + kPrimaryKey;
            case LdExpression::Kind::KeyPath:
                return keyPathOperand(expression);
            case LdExpression::Kind::Aggregate: {
                std::vector<std::string> placeholders;
                for (const LdExpression& element : expression.collection()) {
                    if (element.expressionType() != LdExpression::Kind::ConstantValue) {
                        return fail("only constants are supported inside a list");
                    }
                    placeholders.emplace_back("?");
                    bindings_.push_back(bindingForArgument(element.constantValue()));
                }
                return joined(placeholders, ", ");
            }
        }
        return std::nullopt;
    }

    static LdCryptStoreBinding bindingForArgument(const LdPredicateArgument& argument) {
        if (argument.isObjectID()) {
            return static_cast<std::int64_t>(argument.objectID().primaryKey());
        }
        if (argument.isValue()) {
            return LdCryptStoreFetchTranslator::bindingForValue(argument.value());
        }
        return std::monostate{};
    }

    std::optional<std::string> constantOperand(const LdPredicateArgument& constant,
                                               const LdPredicate& predicate,
                                               const std::string& op) {
        if (constant.isObjectIDList()) {
            std::vector<std::string> placeholders;
            for (const LdObjectID& objectID : constant.objectIDs()) {
                placeholders.emplace_back("?");
                bindings_.emplace_back(static_cast<std::int64_t>(objectID.primaryKey()));
            }
            return joined(placeholders, ", ");
        }
        if (constant.isObjectID()) {
            bindings_.push_back(bindingForArgument(constant));
            return "?";
        }
        const LdValue& value = constant.value();
        if (value.isArray()) {
            std::vector<std::string> placeholders;
            for (const LdValue& element : value.arrayValue()) {
                placeholders.emplace_back("?");
                bindings_.push_back(LdCryptStoreFetchTranslator::bindingForValue(element));
            }
            return joined(placeholders, ", ");
        }
        if (value.isNull()) {
            if (op == "=" || op == "!=") {
                return "NULL";  // becomes IS / IS NOT, binds nothing
            }
            bindings_.emplace_back(std::monostate{});
            return "?";
        }
        if (value.isString() && predicate.isCaseInsensitive()) {
            bindings_.emplace_back(upperCasedText(value.stringValue()));
            return "UPPER(?)";
        }
        bindings_.push_back(LdCryptStoreFetchTranslator::bindingForValue(value));
        return "?";
    }

    std::optional<std::string> keyPathOperand(const LdExpression& expression) {
        std::vector<std::string> components = expression.keyPathComponents();
        if (components.empty()) {
            return fail("unknown path component \"\"");
        }
        if (!expression.collectionOperator().empty()) {
            return countSubquery(components);
        }
        PathEnd end;
        if (!walk(components, components.size() - 1, end)) {
            return std::nullopt;
        }
        const std::string& last = components.back();
        const LdPropertyDescription* property = end.entity->propertyNamed(last);
        if (property == nullptr) {
            return fail("unknown path component \"" + last + "\"");
        }
        if (property->isRelationship() && property->asRelationship()->isToMany()) {
            return fail("to-many relation " + last + " fetch currently not supported");
        }
        std::string column = columnOf(end.entity, property->propertyNumber());
        if (column.empty()) {
            return fail("unknown path component \"" + last + "\"");
        }
        return end.alias + "." + column;
    }

    // "(SELECT COUNT(a.column) FROM table a  WHERE (t0.x = a.y))" for "relationship.@count".
    std::optional<std::string> countSubquery(const std::vector<std::string>& components) {
        if (!LdExpression::keyPathEndsWithCount(components.back())) {
            return fail("collection operator " + components.back() + " is not supported");
        }
        if (components.size() < 2) {
            return fail("@count needs a relationship before it");
        }
        const LdRelationshipDescription* relationship =
                request_.entity->relationshipNamed(components.front());
        if (relationship == nullptr) {
            return fail("Expected " + components.front() + " is a relationship property");
        }
        const LdEntityDescription* destination = relationship->destinationEntity();
        std::string alias = nextAlias();
        std::string counted;
        std::string from;
        std::string condition;
        if (const LdCryptStoreJoinMapping* join = schema_.joinMapping(relationship)) {
            counted = alias + "." + join->targetColumn;
            from = join->tableName;
            condition = std::string(kRootAlias) + "." + kPrimaryKey + " = " + alias + "." +
                        join->ownerColumn;
        } else if (relationship->isToMany()) {
            const LdRelationshipDescription* inverse = relationship->inverseRelationship();
            if (inverse == nullptr) {
                return fail("Entity " + request_.entity->name() +
                            " has no invers relationship for relation " + relationship->name() +
                            ". Relationships without a defined inverse are not supported.");
            }
            counted = alias + "." + kPrimaryKey;
            from = tableOf(destination);
            condition = std::string(kRootAlias) + "." + kPrimaryKey + " = " + alias + "." +
                        columnOf(destination, inverse->propertyNumber());
        } else {
            counted = alias + "." + kPrimaryKey;
            from = tableOf(destination);
            condition = std::string(kRootAlias) + "." +
                        columnOf(request_.entity, relationship->propertyNumber()) + " = " + alias +
                        "." + kPrimaryKey;
        }
        // A longer path ("entries.tags.@count") joins on from the relationship's destination.
        std::vector<std::string> joins;
        std::string previousAlias = alias;
        const LdEntityDescription* current = destination;
        if (components.size() > 2) {
            if (const LdCryptStoreJoinMapping* join = schema_.joinMapping(relationship)) {
                // The alias names the join table: the walk goes on from the destination's rows.
                const std::string destinationAlias = nextAlias();
                joins.push_back(joinText(false, tableOf(destination), destinationAlias, alias,
                                         join->targetColumn, kPrimaryKey));
                previousAlias = destinationAlias;
            }
        }
        for (std::size_t i = 1; i + 1 < components.size(); ++i) {
            const std::string& name = components[i];
            const LdRelationshipDescription* step = current->relationshipNamed(name);
            if (step == nullptr) {
                return fail(current->propertyNamed(name) != nullptr
                                    ? "Expected " + name + " is a relationship property"
                                    : "unknown path component \"" + name + "\"");
            }
            const LdEntityDescription* next = step->destinationEntity();
            std::string nextAliasText;
            if (step->isToOne()) {
                nextAliasText = nextAlias();
                joins.push_back(joinText(false, tableOf(next), nextAliasText, previousAlias,
                                         columnOf(current, step->propertyNumber()), kPrimaryKey));
            } else if (const LdCryptStoreJoinMapping* join = schema_.joinMapping(step)) {
                const std::string joinAlias = nextAlias();
                nextAliasText = nextAlias();
                joins.push_back(joinText(false, join->tableName, joinAlias, previousAlias,
                                         kPrimaryKey, join->ownerColumn));
                joins.push_back(joinText(false, tableOf(next), nextAliasText, joinAlias,
                                         join->targetColumn, kPrimaryKey));
            } else {
                nextAliasText = nextAlias();
                joins.push_back(
                        joinText(false, tableOf(next), nextAliasText, previousAlias, kPrimaryKey,
                                 columnOf(next, step->inverseRelationship()->propertyNumber())));
            }
            previousAlias = nextAliasText;
            current = next;
        }
        return "(SELECT COUNT(" + counted + ") FROM " + from + " " + alias + " " +
               joined(joins, " ") + " WHERE (" + condition + "))";
    }

    const LdCryptStoreSchema& schema_;
    const LdFetchRequest& request_;
    std::size_t tableIndex_ = 0;
    bool useLeftOuterJoin_ = false;
    bool distinct_ = false;
    std::vector<std::string> joins_;
    std::map<std::string, std::string> aliasesByPath_;
    std::vector<LdCryptStoreBinding> bindings_;
    std::string failure_;
};

LdCryptStoreBinding LdCryptStoreFetchTranslator::bindingForValue(const LdValue& value) {
    switch (value.type()) {
        case LdValue::Type::Bool:
        case LdValue::Type::Integer:
            return value.integerValue();
        case LdValue::Type::Real:
            return value.doubleValue();
        case LdValue::Type::Decimal:
            return value.decimalValue().toDouble();
        case LdValue::Type::String:
            return value.stringValue();
        case LdValue::Type::Data:
            return value.dataValue();
        case LdValue::Type::Date:
            return value.dateValue().unixSeconds();
        default:
            return std::monostate{};
    }
}

std::optional<LdCryptStoreFetchStatement> LdCryptStoreFetchTranslator::statementForFetchRequest(
        const LdFetchRequest& request, bool usePropertiesCache, LdError* error) const {
    const LdCryptStoreEntityMapping* mapping =
            request.entity ? schema_.mapping(request.entity) : nullptr;
    if (mapping == nullptr) {
        return std::nullopt;  // missing argument: no error
    }
    auto unsupported = [error](const std::string& reason) {
        failWith(error, LdError::errorWithTitle(kUnsupportedFetchTitle, reason));
        return std::nullopt;
    };
    if (request.resultType == LdFetchRequest::ResultType::Dictionaries) {
        return unsupported(
                "FetchRequest with NSDictionaryResultType is not supported by CryptDataStore ");
    }
    if (request.fetchOffset > 0 && request.fetchLimit == 0) {
        return unsupported("FetchRequest with offset > 0 (current offset = " +
                           std::to_string(request.fetchOffset) +
                           ") and limit = 0 not supported by CryptDataStore");
    }

    Translation translation(schema_, request);
    if (!translation.buildJoins()) {
        return unsupported(translation.failure());
    }

    // Where: the entity filter, then the predicate.
    std::string entityFilter;
    if (request.entity->superentity() != nullptr || request.entity->hasSubentities()) {
        std::vector<int> numbers = schema_.entityIDsForEntity(request.entity);
        if (numbers.empty()) {
            return std::nullopt;
        }
        if (request.entity->hasSubentities() && request.includesSubentities) {
            std::vector<std::string> texts;
            texts.reserve(numbers.size());
            for (int number : numbers) {
                texts.push_back(std::to_string(number));
            }
            entityFilter = std::string(kRootAlias) + ".Z_ENT IN (" + joined(texts, ", ") + ")";
        } else {
            entityFilter = std::string(kRootAlias) + ".Z_ENT = " + std::to_string(numbers.front());
        }
    }
    std::string predicateText;
    if (request.predicate) {
        std::optional<std::string> text = translation.predicateClause(*request.predicate);
        if (!text) {
            return unsupported(translation.failure());
        }
        predicateText = std::move(*text);
    }
    std::string where;
    if (!entityFilter.empty() && !predicateText.empty()) {
        where = " WHERE " + entityFilter + " AND (" + predicateText + ")";
    } else if (!entityFilter.empty() || !predicateText.empty()) {
        where = " WHERE " + entityFilter + predicateText;
    }

    std::string limit;
    if (request.fetchLimit > 0) {
        limit = " LIMIT " + std::to_string(request.fetchLimit);
        if (request.fetchOffset > 0) {
            limit += " OFFSET " + std::to_string(request.fetchOffset);
        }
    }

    LdCryptStoreFetchStatement statement;
    const std::string from =
            " FROM " + mapping->tableName + " AS " + kRootAlias + " " + translation.joinClause();
    if (request.resultType == LdFetchRequest::ResultType::Count) {
        // A many-to-many join yields a row per target: count each object once.
        statement.sql = std::string("SELECT ") +
                        (translation.distinct() ? std::string("COUNT(DISTINCT ") + kRootAlias +
                                                          "." + kPrimaryKey + ")"
                                                : std::string("COUNT(*)")) +
                        from + where + limit + ";";
        statement.bindings = std::move(translation.bindings());
        return statement;
    }

    std::vector<std::string> orderTerms;
    for (const LdSortDescriptor& sort : request.sortDescriptors) {
        std::optional<std::string> term = translation.orderTerm(sort);
        if (!term) {
            return unsupported(translation.failure());
        }
        orderTerms.push_back(std::move(*term));
    }
    std::string order = orderTerms.empty() ? "" : " ORDER BY " + joined(orderTerms, ", ");

    // Prefetched columns: every stored attribute of the entity and its descendants, then the row
    // version.
    std::string columns;
    if (usePropertiesCache) {
        statement.prefetches = true;
        statement.prefetchedColumns = schema_.prefetchColumns(request.entity);
        for (const std::string& column : statement.prefetchedColumns) {
            columns += std::string(",") + kRootAlias + "." + column;
        }
        columns += std::string(",") + kRootAlias + ".Z_VERSION";
    }
    statement.selectsEntityColumn = mapping->hasEntityColumn;
    statement.sql = std::string("SELECT") + (translation.distinct() ? " DISTINCT" : "") + " " +
                    kRootAlias + "." + kPrimaryKey +
                    (mapping->hasEntityColumn ? std::string(", ") + kRootAlias + ".Z_ENT" : "") +
                    " " + columns + from + where + order + limit + ";";
    statement.bindings = std::move(translation.bindings());
    return statement;
}
