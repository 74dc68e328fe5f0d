// The constants of parsed predicates and their text form.
#include "core/database/predicate/LdPredicateArgument.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

namespace {

// Shortest text that reads back as the same double.
std::string realText(double value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

// Double quotes with backslash escapes for the quote, the backslash and control characters, "%%"
// for a percent sign; all other bytes (UTF-8 included) stay as they are.
std::string quotedText(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        switch (character) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '%':
                // A percent sign inside quotes is written "%%", as the format language reads it.
                quoted += "%%";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    quoted += "\\u00";
                    quoted += kHex[byte >> 4];
                    quoted += kHex[byte & 0x0f];
                } else {
                    quoted += character;
                }
        }
    }
    quoted += '"';
    return quoted;
}

std::string objectIDText(const LdObjectID& objectID) {
    return "ObjectID(" + quotedText(objectID.storeIdentifier()) + ", " +
           std::to_string(objectID.primaryKey()) + ")";
}

std::string valueText(const LdValue& value) {
    switch (value.type()) {
        case LdValue::Type::Null:
            return "nil";
        case LdValue::Type::Bool:
            return value.boolValue() ? "YES" : "NO";
        case LdValue::Type::Integer:
            return std::to_string(value.integerValue());
        case LdValue::Type::Real:
            return realText(value.doubleValue());
        case LdValue::Type::String:
            return quotedText(value.stringValue());
        case LdValue::Type::Data: {
            static constexpr char kHex[] = "0123456789abcdef";
            std::string text = "<";
            for (const std::uint8_t byte : value.dataValue()) {
                text += kHex[byte >> 4];
                text += kHex[byte & 0x0f];
            }
            return text + ">";
        }
        case LdValue::Type::Date:
            return "Date(" + realText(value.dateValue().timeIntervalSinceReferenceDate()) + ")";
        case LdValue::Type::Decimal:
            return value.decimalValue().toString();
        case LdValue::Type::Array: {
            std::string text = "{";
            const char* separator = "";
            for (const LdValue& item : value.arrayValue()) {
                text += separator + valueText(item);
                separator = ", ";
            }
            return text + "}";
        }
        case LdValue::Type::Dictionary: {
            std::string text = "{";
            const char* separator = "";
            for (const auto& [key, item] : value.dictionaryValue()) {
                text += separator + quotedText(key) + " = " + valueText(item);
                separator = "; ";
            }
            return text + "}";
        }
        case LdValue::Type::UID:
            return "UID(" + std::to_string(value.uidValue().value) + ")";
    }
    return {};
}

}  // namespace

const LdValue& LdPredicateArgument::value() const {
    static const LdValue kNull;
    const auto* value = std::get_if<LdValue>(&storage_);
    return value != nullptr ? *value : kNull;
}

const LdObjectID& LdPredicateArgument::objectID() const {
    static const LdObjectID kInvalid;
    const auto* objectID = std::get_if<LdObjectID>(&storage_);
    return objectID != nullptr ? *objectID : kInvalid;
}

const LdPredicateArgument::ObjectIDList& LdPredicateArgument::objectIDs() const {
    static const ObjectIDList kEmpty;
    const auto* objectIDs = std::get_if<ObjectIDList>(&storage_);
    return objectIDs != nullptr ? *objectIDs : kEmpty;
}

std::string LdPredicateArgument::description() const {
    switch (kind()) {
        case Kind::Value:
            return valueText(value());
        case Kind::ObjectID:
            return objectIDText(objectID());
        case Kind::ObjectIDList: {
            std::string text = "{";
            const char* separator = "";
            for (const LdObjectID& objectID : objectIDs()) {
                text += separator + objectIDText(objectID);
                separator = ", ";
            }
            return text + "}";
        }
    }
    return {};
}
