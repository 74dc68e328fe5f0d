// Typed reads, equality and the readable form of LdValue.
#include "core/support/foundation/LdValue.h"

#include <cstdio>

namespace {
const LdValue& nullValue() {
    static const LdValue kNull;
    return kNull;
}
}  // namespace

bool LdValue::boolValue(bool fallback) const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(storage_);
        case Type::Integer:
            return std::get<std::int64_t>(storage_) != 0;
        case Type::Real:
            return std::get<double>(storage_) != 0.0;
        case Type::Decimal:
            return !std::get<LdDecimal>(storage_).isZero();
        default:
            return fallback;
    }
}

std::int64_t LdValue::integerValue(std::int64_t fallback) const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(storage_) ? 1 : 0;
        case Type::Integer:
            return std::get<std::int64_t>(storage_);
        case Type::Real: {
            const double value = std::get<double>(storage_);
            // Out-of-range reals would be undefined behaviour to convert.
            if (!(value > -9.2e18 && value < 9.2e18)) {
                return fallback;
            }
            return static_cast<std::int64_t>(value);
        }
        case Type::Decimal: {
            const double value = std::get<LdDecimal>(storage_).toDouble();
            if (!(value > -9.2e18 && value < 9.2e18)) {
                return fallback;
            }
            return static_cast<std::int64_t>(value);
        }
        default:
            return fallback;
    }
}

double LdValue::doubleValue(double fallback) const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(storage_) ? 1.0 : 0.0;
        case Type::Integer:
            return static_cast<double>(std::get<std::int64_t>(storage_));
        case Type::Real:
            return std::get<double>(storage_);
        case Type::Decimal:
            return std::get<LdDecimal>(storage_).toDouble();
        default:
            return fallback;
    }
}

LdDecimal LdValue::decimalValue() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(storage_) ? LdDecimal::one() : LdDecimal::zero();
        case Type::Integer:
            return LdDecimal::fromInt(std::get<std::int64_t>(storage_));
        case Type::Real:
            return LdDecimal::fromDouble(std::get<double>(storage_));
        case Type::Decimal:
            return std::get<LdDecimal>(storage_);
        default:
            return LdDecimal::notANumber();
    }
}

const std::string& LdValue::stringValue() const {
    static const std::string kEmpty;
    const auto* value = std::get_if<std::string>(&storage_);
    return value != nullptr ? *value : kEmpty;
}

const LdData& LdValue::dataValue() const {
    static const LdData kEmpty;
    const auto* value = std::get_if<LdData>(&storage_);
    return value != nullptr ? *value : kEmpty;
}

LdDate LdValue::dateValue(LdDate fallback) const {
    const auto* value = std::get_if<LdDate>(&storage_);
    return value != nullptr ? *value : fallback;
}

LdUID LdValue::uidValue() const {
    const auto* value = std::get_if<LdUID>(&storage_);
    return value != nullptr ? *value : LdUID{};
}

const LdValue::Array& LdValue::arrayValue() const {
    static const Array kEmpty;
    const auto* value = std::get_if<ld::detail::Box<Array>>(&storage_);
    return value != nullptr ? value->get() : kEmpty;
}

const LdValue::Dictionary& LdValue::dictionaryValue() const {
    static const Dictionary kEmpty;
    const auto* value = std::get_if<ld::detail::Box<Dictionary>>(&storage_);
    return value != nullptr ? value->get() : kEmpty;
}

LdValue::Array& LdValue::mutableArray() {
    if (!isArray()) {
        storage_ = ld::detail::Box<Array>();
    }
    return std::get<ld::detail::Box<Array>>(storage_).get();
}

LdValue::Dictionary& LdValue::mutableDictionary() {
    if (!isDictionary()) {
        storage_ = ld::detail::Box<Dictionary>();
    }
    return std::get<ld::detail::Box<Dictionary>>(storage_).get();
}

const LdValue* LdValue::find(std::string_view key) const {
    if (!isDictionary()) {
        return nullptr;
    }
    const Dictionary& dictionary = dictionaryValue();
    auto it = dictionary.find(key);
    return it != dictionary.end() ? &it->second : nullptr;
}

void LdValue::set(std::string key, LdValue value) {
    mutableDictionary().insert_or_assign(std::move(key), std::move(value));
}

const LdValue& LdValue::operator[](std::string_view key) const {
    const LdValue* value = find(key);
    return value != nullptr ? *value : nullValue();
}

bool LdValue::operator==(const LdValue& other) const {
    if (type() != other.type()) {
        return false;
    }
    switch (type()) {
        case Type::Null:
            return true;
        case Type::Bool:
            return std::get<bool>(storage_) == std::get<bool>(other.storage_);
        case Type::Integer:
            return std::get<std::int64_t>(storage_) == std::get<std::int64_t>(other.storage_);
        case Type::Real:
            return std::get<double>(storage_) == std::get<double>(other.storage_);
        case Type::String:
            return stringValue() == other.stringValue();
        case Type::Data:
            return dataValue() == other.dataValue();
        case Type::Date:
            return dateValue() == other.dateValue();
        case Type::Decimal:
            return std::get<LdDecimal>(storage_) == std::get<LdDecimal>(other.storage_);
        case Type::Array:
            return arrayValue() == other.arrayValue();
        case Type::Dictionary:
            return dictionaryValue() == other.dictionaryValue();
        case Type::UID:
            return uidValue() == other.uidValue();
    }
    return false;
}

std::string LdValue::debugDescription() const {
    switch (type()) {
        case Type::Null:
            return "null";
        case Type::Bool:
            return boolValue() ? "true" : "false";
        case Type::Integer:
            return std::to_string(integerValue());
        case Type::Real: {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.17g", doubleValue());
            return buffer;
        }
        case Type::String:
            return "\"" + stringValue() + "\"";
        case Type::Data:
            return "<" + std::to_string(dataValue().size()) + " bytes>";
        case Type::Date: {
            char buffer[48];
            std::snprintf(buffer, sizeof buffer, "date(%.3f)", dateValue().timeIntervalSinceReferenceDate());
            return buffer;
        }
        case Type::Decimal:
            return std::get<LdDecimal>(storage_).toString();
        case Type::Array: {
            std::string text = "(";
            const char* separator = "";
            for (const LdValue& item : arrayValue()) {
                text += separator + item.debugDescription();
                separator = ", ";
            }
            return text + ")";
        }
        case Type::Dictionary: {
            std::string text = "{";
            const char* separator = "";
            for (const auto& [key, item] : dictionaryValue()) {
                text += separator + key + " = " + item.debugDescription();
                separator = "; ";
            }
            return text + "}";
        }
        case Type::UID:
            return "UID(" + std::to_string(uidValue().value) + ")";
    }
    return {};
}
