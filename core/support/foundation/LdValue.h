// LdValue: the library's generic value, the shape of property lists, keyed archives, user information of errors,
// settings and metadata: null, bool, integer, real, text, data, date, decimal, array, dictionary and UID.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdDecimal.h"

using LdData = std::vector<std::uint8_t>;

// A reference to an object of a binary property list (only keyed archives use it).
struct LdUID {
    std::uint64_t value = 0;
    bool operator==(const LdUID&) const = default;
};

namespace ld::detail {
// Owns one heap value and copies it deeply, so recursive values keep plain value semantics.
template <typename T>
class Box {
public:
    Box() : value_(std::make_unique<T>()) {}
    explicit Box(T value) : value_(std::make_unique<T>(std::move(value))) {}
    Box(const Box& other) : value_(std::make_unique<T>(*other.value_)) {}
    Box(Box&& other) noexcept : value_(std::move(other.value_)) {}
    Box& operator=(const Box& other) {
        if (this != &other) {
            value_ = std::make_unique<T>(*other.value_);
        }
        return *this;
    }
    Box& operator=(Box&& other) noexcept {
        value_ = std::move(other.value_);
        return *this;
    }
    ~Box() = default;

    // A moved-from box reads as an empty value.
    const T& get() const { return value_ ? *value_ : empty(); }
    T& get() {
        if (!value_) {
            value_ = std::make_unique<T>();
        }
        return *value_;
    }

private:
    static const T& empty() {
        static const T kEmpty{};
        return kEmpty;
    }
    std::unique_ptr<T> value_;
};
}  // namespace ld::detail

class LdValue {
public:
    enum class Type { Null, Bool, Integer, Real, String, Data, Date, Decimal, Array, Dictionary, UID };
    using Array = std::vector<LdValue>;
    // Keys in sorted order, so that every writer of a dictionary is byte-stable.
    using Dictionary = std::map<std::string, LdValue, std::less<>>;

    LdValue() = default;
    LdValue(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): values read like literals
    LdValue(bool value) : storage_(value) {}  // NOLINT(google-explicit-constructor)
    LdValue(int value) : storage_(std::int64_t{value}) {}  // NOLINT(google-explicit-constructor)
    LdValue(std::int64_t value) : storage_(value) {}       // NOLINT(google-explicit-constructor)
    LdValue(double value) : storage_(value) {}             // NOLINT(google-explicit-constructor)
    LdValue(const char* value) : storage_(std::string(value)) {}  // NOLINT(google-explicit-constructor)
    LdValue(std::string value) : storage_(std::move(value)) {}    // NOLINT(google-explicit-constructor)
    LdValue(std::string_view value) : storage_(std::string(value)) {}  // NOLINT(google-explicit-constructor)
    LdValue(LdData value) : storage_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    LdValue(LdDate value) : storage_(value) {}             // NOLINT(google-explicit-constructor)
    LdValue(LdDecimal value) : storage_(value) {}          // NOLINT(google-explicit-constructor)
    LdValue(Array value) : storage_(ld::detail::Box<Array>(std::move(value))) {}  // NOLINT
    LdValue(Dictionary value) : storage_(ld::detail::Box<Dictionary>(std::move(value))) {}  // NOLINT
    LdValue(LdUID value) : storage_(value) {}  // NOLINT(google-explicit-constructor)

    static LdValue array(std::initializer_list<LdValue> items) { return LdValue(Array(items)); }
    static LdValue dictionary(
            std::initializer_list<std::pair<const std::string, LdValue>> entries) {
        return LdValue(Dictionary(entries));
    }

    Type type() const { return static_cast<Type>(storage_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isReal() const { return type() == Type::Real; }
    bool isNumber() const { return isInteger() || isReal() || isBool(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isDecimal() const { return type() == Type::Decimal; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isUID() const { return type() == Type::UID; }

    // Typed reads; a value of another type reads as the given fallback. Numbers convert among themselves
    // (bool, integer, real); decimals read as numbers too.
    bool boolValue(bool fallback = false) const;
    std::int64_t integerValue(std::int64_t fallback = 0) const;
    double doubleValue(double fallback = 0.0) const;
    LdDecimal decimalValue() const;  // NaN unless a number or a decimal
    const std::string& stringValue() const;  // empty unless a string
    const LdData& dataValue() const;          // empty unless data
    LdDate dateValue(LdDate fallback = LdDate()) const;
    LdUID uidValue() const;
    const Array& arrayValue() const;  // empty unless an array
    const Dictionary& dictionaryValue() const;  // empty unless a dictionary

    // Mutable access; turns a value of another type into an empty array or dictionary first.
    Array& mutableArray();
    Dictionary& mutableDictionary();

    // objectForKey: — nullptr when this is no dictionary or the key is absent.
    const LdValue* find(std::string_view key) const;
    // setObject:forKey: on a dictionary (a value of another type becomes a dictionary).
    void set(std::string key, LdValue value);
    // The value for a key, or a null value.
    const LdValue& operator[](std::string_view key) const;

    bool operator==(const LdValue& other) const;

    // A short readable form for logs and test output (not a storage format).
    std::string debugDescription() const;

private:
    std::variant<std::monostate,
                 bool,
                 std::int64_t,
                 double,
                 std::string,
                 LdData,
                 LdDate,
                 LdDecimal,
                 ld::detail::Box<Array>,
                 ld::detail::Box<Dictionary>,
                 LdUID>
            storage_;
};
