// LdPredicateArgument: one value handed to the predicate parser for a placeholder, kept in the
// parsed predicate as a constant — a plain value, an object reference or a list of object
// references.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/database/model/LdObjectID.h"
#include "core/support/foundation/LdValue.h"

class LdPredicateArgument;

// The types an argument's LdValue is made from.
template <typename T>
concept LdPredicateArgumentValue = std::is_constructible_v<LdValue, T&&> &&
        !std::is_same_v<std::remove_cvref_t<T>, LdPredicateArgument>;

// A value type, cheap to copy unless it carries a large array. Default-constructed it is the null
// value.
class LdPredicateArgument {
public:
    enum class Kind { Value, ObjectID, ObjectIDList };
    using ObjectIDList = std::vector<LdObjectID>;

    LdPredicateArgument() = default;
    // Anything an LdValue is made from (numbers, texts, dates, decimals, arrays, nullptr...).
    // Implicit, so argument lists read like literals; the constraint leaves copying and moving to
    // the defaults.
    template <LdPredicateArgumentValue T>
    // NOLINTNEXTLINE(google-explicit-constructor,bugprone-forwarding-reference-overload)
    LdPredicateArgument(T&& value) : storage_(LdValue(std::forward<T>(value))) {}
    LdPredicateArgument(LdObjectID objectID)  // NOLINT(google-explicit-constructor)
        : storage_(objectID) {}
    LdPredicateArgument(ObjectIDList objectIDs)  // NOLINT(google-explicit-constructor)
        : storage_(std::move(objectIDs)) {}

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool isValue() const { return kind() == Kind::Value; }
    bool isObjectID() const { return kind() == Kind::ObjectID; }
    bool isObjectIDList() const { return kind() == Kind::ObjectIDList; }

    // The value; a null value unless this is a value.
    const LdValue& value() const;
    // The object reference; an invalid ID unless this is one.
    const LdObjectID& objectID() const;
    // The object references; empty unless this is a list.
    const ObjectIDList& objectIDs() const;

    bool operator==(const LdPredicateArgument& other) const = default;

    // The constant as the predicate format writes it: nil, YES, NO, numbers, texts in double quotes
    // with backslash escapes and "%%" for a percent sign, {…} for arrays and lists. Forms without a
    // literal in the format language (dates, data, object references) read Date(…), <hex>,
    // ObjectID("store", key). No form ever starts with a lower-case letter, so a scan of a
    // predicate's text for key paths never takes a constant for one.
    std::string description() const;

private:
    std::variant<LdValue, LdObjectID, ObjectIDList> storage_;
};
