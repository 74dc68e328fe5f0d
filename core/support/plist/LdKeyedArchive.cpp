// Keyed archives. An archive is a property list:
//   {"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": UID},
//    "$objects": ["$null", object, ...]}
// An object is a plain value (string, number, data) or a dictionary of keyed fields whose "$class"
// refers to a class description {"$classname": name, "$classes": [name, superclass, ...]}. Fields
// hold numbers inline and refer to other objects by UID; UID 0 is "$null", the null reference.
//
// The archiver numbers objects in the order the platform does: an object first, then the objects
// its fields refer to (a dictionary's keys before its values), then its class description when it
// is first needed.
#include "core/support/plist/LdKeyedArchive.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/support/plist/LdPropertyList.h"
#include "core/support/plist/detail/LdPropertyListSupport.h"

namespace {

using ld::detail::DecodeBudget;
using ld::detail::kPlistMaxDepth;
using ld::detail::plistError;

constexpr std::string_view kArchiverName = "NSKeyedArchiver";
constexpr std::int64_t kArchiveVersion = 100000;
constexpr std::string_view kClassKey = "$class";
constexpr std::string_view kClassesKey = "$classes";
constexpr std::string_view kObjectsKey = "NS.objects";
constexpr std::string_view kKeysKey = "NS.keys";
constexpr std::string_view kTimeKey = "NS.time";
constexpr std::string_view kStringKey = "NS.string";
constexpr std::string_view kDataKey = "NS.data";
constexpr std::string_view kExponentKey = "NS.exponent";
constexpr std::string_view kLengthKey = "NS.length";
constexpr std::string_view kNegativeKey = "NS.negative";
constexpr std::string_view kCompactKey = "NS.compact";
constexpr std::string_view kByteOrderKey = "NS.mantissa.bo";
constexpr std::string_view kMantissaKey = "NS.mantissa";

// NSDecimalNumber: eight 16-bit mantissa words; byte order 1 is little-endian (2 is big-endian).
constexpr int kMantissaWords = 8;
constexpr std::size_t kMantissaBytes = 16;
constexpr std::int64_t kLittleEndian = 1;
constexpr std::int64_t kBigEndian = 2;

// The classes the unarchiver decodes itself; the archiver refuses them as "$classname" of a custom
// object, whose fields would not read back.
enum class BuiltIn { Dictionary, Array, String, Data, Date, Decimal, Null, Custom };

BuiltIn builtInClass(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, BuiltIn>, 14> kClasses = {{
            {"NSDictionary", BuiltIn::Dictionary},
            {"NSMutableDictionary", BuiltIn::Dictionary},
            {"NSArray", BuiltIn::Array},
            {"NSMutableArray", BuiltIn::Array},
            {"NSSet", BuiltIn::Array},
            {"NSMutableSet", BuiltIn::Array},
            {"NSString", BuiltIn::String},
            {"NSMutableString", BuiltIn::String},
            {"NSData", BuiltIn::Data},
            {"NSMutableData", BuiltIn::Data},
            {"NSDate", BuiltIn::Date},
            {"NSDecimalNumber", BuiltIn::Decimal},
            {"NSDecimalNumberPlaceholder", BuiltIn::Decimal},
            {"NSNull", BuiltIn::Null},
    }};
    for (const auto& [className, kind] : kClasses) {
        if (className == name) {
            return kind;
        }
    }
    return BuiltIn::Custom;
}

// The superclass that allows a subclass under secure coding; empty at the top.
std::string_view allowingSuperclass(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kSuperclasses = {{
            {"NSMutableDictionary", "NSDictionary"},
            {"NSMutableArray", "NSArray"},
            {"NSMutableSet", "NSSet"},
            {"NSMutableString", "NSString"},
            {"NSMutableData", "NSData"},
            {"NSDecimalNumberPlaceholder", "NSDecimalNumber"},
            {"NSDecimalNumber", "NSNumber"},
    }};
    for (const auto& [subclass, superclass] : kSuperclasses) {
        if (subclass == name) {
            return superclass;
        }
    }
    return {};
}

// Object fields whose names start with "$" are stored with one more "$", so they cannot collide
// with the archive's own keys such as "$class".
std::string escapedFieldName(const std::string& name) {
    return !name.empty() && name.front() == '$' ? "$" + name : name;
}

// ---------------------------------------------------------------------------------------------
// Archiving

class Encoder {
public:
    std::optional<LdData> archive(const LdValue& root, LdError* error) {
        objects_.emplace_back("$null");
        LdUID rootUID;
        if (!encode(root, 0, rootUID)) {
            failWith(error, plistError(failure_));
            return std::nullopt;
        }
        LdValue::Dictionary top;
        top.emplace("root", rootUID);
        LdValue::Dictionary archive;
        archive.emplace("$archiver", std::string(kArchiverName));
        archive.emplace("$version", kArchiveVersion);
        archive.emplace("$top", std::move(top));
        archive.emplace("$objects", std::move(objects_));
        return LdPropertyList::dataWithPropertyList(LdValue(std::move(archive)),
                                                    LdPropertyList::Format::Binary, error);
    }

private:
    bool fail(std::string_view text) {
        if (failure_.empty()) {
            failure_ = text;
        }
        return false;
    }

    bool encode(const LdValue& value, int depth, LdUID& uid) {
        switch (value.type()) {
            case LdValue::Type::Null:
                uid = LdUID{0};
                return true;
            case LdValue::Type::UID:
                return fail("A UID cannot be archived.");
            case LdValue::Type::Bool:
            case LdValue::Type::Integer:
            case LdValue::Type::Real:
            case LdValue::Type::String:
            case LdValue::Type::Data:
                uid = plainObject(value);
                return true;
            case LdValue::Type::Date: {
                const std::uint64_t index = reserveObject();
                LdValue::Dictionary fields;
                fields.emplace(kTimeKey, value.dateValue().timeIntervalSinceReferenceDate());
                finishObject(index, std::move(fields), "NSDate", {"NSDate", "NSObject"});
                uid = LdUID{index};
                return true;
            }
            case LdValue::Type::Decimal:
                return encodeDecimal(value.decimalValue(), uid);
            case LdValue::Type::Array:
                return encodeArray(value.arrayValue(), depth, uid);
            case LdValue::Type::Dictionary: {
                const LdValue* className = value.find(kLdArchiveClassNameKey);
                if (className != nullptr && className->isString()) {
                    return encodeCustomObject(value.dictionaryValue(), className->stringValue(),
                                              depth, uid);
                }
                return encodeDictionary(value.dictionaryValue(), depth, uid);
            }
        }
        return false;
    }

    // Strings, numbers and data are stored once per distinct value.
    LdUID plainObject(const LdValue& value) {
        std::string key(1, static_cast<char>('0' + static_cast<int>(value.type())));
        switch (value.type()) {
            case LdValue::Type::Bool:
                key += value.boolValue() ? "1" : "0";
                break;
            case LdValue::Type::Integer:
                key += std::to_string(value.integerValue());
                break;
            case LdValue::Type::Real:
                key += std::to_string(std::bit_cast<std::uint64_t>(value.doubleValue()));
                break;
            case LdValue::Type::String:
                key += value.stringValue();
                break;
            default:
                key.append(value.dataValue().begin(), value.dataValue().end());
                break;
        }
        const auto [entry, inserted] = plainObjects_.try_emplace(std::move(key), objects_.size());
        if (inserted) {
            objects_.push_back(value);
        }
        return LdUID{entry->second};
    }

    std::uint64_t reserveObject() {
        objects_.emplace_back();
        return objects_.size() - 1;
    }

    // Stores an object's fields with its class, whose description is added on first use.
    void finishObject(std::uint64_t index,
                      LdValue::Dictionary fields,
                      const std::string& className,
                      std::initializer_list<std::string_view> chain) {
        auto [entry, inserted] = classes_.try_emplace(className, 0);
        if (inserted) {
            LdValue::Array classes;
            for (const std::string_view name : chain) {
                classes.emplace_back(name);
            }
            LdValue::Dictionary description;
            description.emplace(kLdArchiveClassNameKey, className);
            description.emplace(kClassesKey, std::move(classes));
            entry->second = objects_.size();
            objects_.emplace_back(std::move(description));
        }
        fields.emplace(kClassKey, LdUID{entry->second});
        objects_[index] = LdValue(std::move(fields));
    }

    bool encodeArray(const LdValue::Array& items, int depth, LdUID& uid) {
        if (depth >= kPlistMaxDepth) {
            return fail("The value to archive is nested too deeply.");
        }
        const std::uint64_t index = reserveObject();
        LdValue::Array references;
        references.reserve(items.size());
        for (const LdValue& item : items) {
            LdUID reference;
            if (!encode(item, depth + 1, reference)) {
                return false;
            }
            references.emplace_back(reference);
        }
        LdValue::Dictionary fields;
        fields.emplace(kObjectsKey, std::move(references));
        finishObject(index, std::move(fields), "NSArray", {"NSArray", "NSObject"});
        uid = LdUID{index};
        return true;
    }

    bool encodeDictionary(const LdValue::Dictionary& entries, int depth, LdUID& uid) {
        if (depth >= kPlistMaxDepth) {
            return fail("The value to archive is nested too deeply.");
        }
        const std::uint64_t index = reserveObject();
        LdValue::Array keys;
        LdValue::Array values;
        keys.reserve(entries.size());
        values.reserve(entries.size());
        for (const auto& entry : entries) {
            keys.emplace_back(plainObject(LdValue(entry.first)));
        }
        for (const auto& entry : entries) {
            LdUID reference;
            if (!encode(entry.second, depth + 1, reference)) {
                return false;
            }
            values.emplace_back(reference);
        }
        LdValue::Dictionary fields;
        fields.emplace(kKeysKey, std::move(keys));
        fields.emplace(kObjectsKey, std::move(values));
        finishObject(index, std::move(fields), "NSDictionary", {"NSDictionary", "NSObject"});
        uid = LdUID{index};
        return true;
    }

    bool encodeCustomObject(const LdValue::Dictionary& entries,
                            const std::string& className,
                            int depth,
                            LdUID& uid) {
        if (className.empty() || builtInClass(className) != BuiltIn::Custom) {
            return fail("The class name of an object to archive is empty or reserved.");
        }
        if (depth >= kPlistMaxDepth) {
            return fail("The value to archive is nested too deeply.");
        }
        const std::uint64_t index = reserveObject();
        LdValue::Dictionary fields;
        for (const auto& [name, value] : entries) {
            if (name == kLdArchiveClassNameKey) {
                continue;
            }
            // Numbers and bools are stored inline, as encodeInteger:forKey: and its kin do.
            if (value.isBool() || value.isInteger() || value.isReal()) {
                fields.emplace(escapedFieldName(name), value);
                continue;
            }
            LdUID reference;
            if (!encode(value, depth + 1, reference)) {
                return false;
            }
            fields.emplace(escapedFieldName(name), reference);
        }
        finishObject(index, std::move(fields), className, {className, "NSObject"});
        uid = LdUID{index};
        return true;
    }

    // NSDecimalNumber, compacted as the platform stores it: trailing zeros of the mantissa move
    // into the exponent and "NS.compact" says so. Zero is length 0 with exponent 0 (not flagged
    // compact); not-a-number is length 0 with the negative flag.
    bool encodeDecimal(const LdDecimal& decimal, LdUID& uid) {
        LdUInt128 mantissa = 0;
        int exponent = 0;
        bool negative = true;
        bool compact = false;
        if (!decimal.isNaN()) {
            mantissa = decimal.mantissa();
            exponent = mantissa != 0 ? decimal.exponent() : 0;
            negative = decimal.isNegative() && mantissa != 0;
            compact = mantissa != 0;
            while (mantissa != 0 && mantissa % 10 == 0 && exponent < LdDecimal::kMaxExponent) {
                mantissa /= 10;
                ++exponent;
            }
        }
        if (exponent < LdDecimal::kMinExponent || exponent > LdDecimal::kMaxExponent) {
            return fail("A decimal number to archive has an exponent out of range.");
        }
        LdData mantissaBytes(kMantissaBytes, 0);
        std::int64_t length = 0;
        for (std::size_t word = 0; word < kMantissaBytes / 2; ++word) {
            const auto bits = static_cast<std::uint16_t>(mantissa >> (16 * word));
            mantissaBytes[2 * word] = static_cast<std::uint8_t>(bits);
            mantissaBytes[2 * word + 1] = static_cast<std::uint8_t>(bits >> 8);
            if (bits != 0) {
                length = static_cast<std::int64_t>(word) + 1;
            }
        }
        const std::uint64_t index = reserveObject();
        LdValue::Dictionary fields;
        fields.emplace(kExponentKey, std::int64_t{exponent});
        fields.emplace(kLengthKey, length);
        fields.emplace(kNegativeKey, negative);
        fields.emplace(kCompactKey, compact);
        fields.emplace(kByteOrderKey, kLittleEndian);
        fields.emplace(kMantissaKey, std::move(mantissaBytes));
        finishObject(index, std::move(fields), "NSDecimalNumber",
                     {"NSDecimalNumber", "NSNumber", "NSValue", "NSObject"});
        uid = LdUID{index};
        return true;
    }

    LdValue::Array objects_;
    std::unordered_map<std::string, std::uint64_t> plainObjects_;
    std::unordered_map<std::string, std::uint64_t> classes_;
    std::string failure_;
};

// ---------------------------------------------------------------------------------------------
// Unarchiving

// Decodes the object graph depth-first. Objects on the current path detect cycles; a shared object
// is decoded once per reference, and the DecodeBudget keeps that expansion linear in the input.
class Decoder {
public:
    Decoder(const std::set<std::string>& allowedClasses, std::size_t inputSize)
        : allowedClasses_(allowedClasses), budget_(inputSize) {}

    std::optional<LdValue> decode(const LdData& data, LdError* error) {
        std::optional<LdValue> archive = LdPropertyList::propertyListWithData(data, error);
        if (!archive) {
            return std::nullopt;
        }
        LdValue result;
        if (!decodeArchive(*archive, result)) {
            failWith(error, plistError(failure_));
            return std::nullopt;
        }
        return result;
    }

private:
    bool fail(std::string_view text) {
        if (failure_.empty()) {
            failure_ = text;
        }
        return false;
    }

    bool failTooLarge() { return fail("The keyed archive expands to too large a value."); }

    bool decodeArchive(const LdValue& archive, LdValue& out) {
        const LdValue* archiver = archive.find("$archiver");
        const LdValue* version = archive.find("$version");
        if (archiver == nullptr || archiver->stringValue() != kArchiverName || version == nullptr ||
            !version->isInteger() || version->integerValue() != kArchiveVersion) {
            return fail("The data is no keyed archive of a known version.");
        }
        const LdValue* top = archive.find("$top");
        const LdValue* root = top != nullptr ? top->find("root") : nullptr;
        if (root == nullptr || !root->isUID()) {
            return fail("The keyed archive has no valid $top root.");
        }
        const LdValue* objects = archive.find("$objects");
        if (objects == nullptr || !objects->isArray()) {
            return fail("The keyed archive has no valid $objects.");
        }
        objects_ = &objects->arrayValue();
        return decodeReference(root->uidValue().value, 0, out);
    }

    bool isAllowed(std::string_view className) const {
        for (std::string_view name = className; !name.empty(); name = allowingSuperclass(name)) {
            if (allowedClasses_.count(std::string(name)) != 0) {
                return true;
            }
        }
        return false;
    }

    bool failNotAllowed(std::string_view className) {
        return fail("The keyed archive holds an object of the class " + std::string(className) +
                    ", which is not allowed here.");
    }

    bool decodeReference(std::uint64_t index, int depth, LdValue& out) {
        if (!budget_.chargeNodes(1)) {
            return failTooLarge();
        }
        if (index == 0) {
            out = LdValue();
            return true;
        }
        if (index >= objects_->size()) {
            return fail("An object reference of the keyed archive is out of range.");
        }
        const LdValue& object = (*objects_)[index];
        switch (object.type()) {
            case LdValue::Type::String:
                if (!budget_.chargeBytes(object.stringValue().size())) {
                    return failTooLarge();
                }
                out = object;
                return true;
            case LdValue::Type::Bool:
            case LdValue::Type::Integer:
            case LdValue::Type::Real:
                out = object;
                return true;
            case LdValue::Type::Data:
                if (!isAllowed("NSData")) {
                    return failNotAllowed("NSData");
                }
                if (!budget_.chargeBytes(object.dataValue().size())) {
                    return failTooLarge();
                }
                out = object;
                return true;
            case LdValue::Type::Dictionary:
                return decodeObject(index, object, depth, out);
            default:
                return fail("The keyed archive holds an object of an unexpected type.");
        }
    }

    // The validated class name of an archived object; cached per class description, so a long
    // "$classes" list is walked once.
    bool classNameOf(const LdValue& object, std::string& className) {
        const LdValue* classReference = object.find(kClassKey);
        if (classReference == nullptr || !classReference->isUID()) {
            return fail("An archived object has no valid $class.");
        }
        const std::uint64_t index = classReference->uidValue().value;
        if (const auto cached = classNames_.find(index); cached != classNames_.end()) {
            className = cached->second;
            return true;
        }
        if (index >= objects_->size()) {
            return fail("The $class of an archived object is out of range.");
        }
        const LdValue& description = (*objects_)[index];
        const LdValue* name = description.find(kLdArchiveClassNameKey);
        if (name == nullptr || !name->isString() || name->stringValue().empty()) {
            return fail("The class description of an archived object has no valid $classname.");
        }
        if (const LdValue* chain = description.find(kClassesKey); chain != nullptr) {
            if (!chain->isArray() ||
                !std::all_of(chain->arrayValue().begin(), chain->arrayValue().end(),
                             [](const LdValue& item) { return item.isString(); })) {
                return fail("The class description of an archived object has invalid $classes.");
            }
        }
        className = name->stringValue();
        classNames_.emplace(index, className);
        return true;
    }

    bool decodeObject(std::uint64_t index, const LdValue& object, int depth, LdValue& out) {
        if (depth >= kPlistMaxDepth) {
            return fail("The keyed archive is nested too deeply.");
        }
        if (std::find(path_.begin(), path_.end(), index) != path_.end()) {
            return fail("The keyed archive has a reference cycle.");
        }
        std::string className;
        if (!classNameOf(object, className)) {
            return false;
        }
        if (!isAllowed(className)) {
            return failNotAllowed(className);
        }
        path_.push_back(index);
        bool decoded = false;
        switch (builtInClass(className)) {
            case BuiltIn::Dictionary:
                decoded = decodeDictionary(object, depth, out);
                break;
            case BuiltIn::Array:
                decoded = decodeArray(object, depth, out);
                break;
            case BuiltIn::String:
                decoded = decodeWrapped(object, kStringKey, LdValue::Type::String, out);
                break;
            case BuiltIn::Data:
                decoded = decodeWrapped(object, kDataKey, LdValue::Type::Data, out);
                break;
            case BuiltIn::Date:
                decoded = decodeDate(object, out);
                break;
            case BuiltIn::Decimal:
                decoded = decodeDecimal(object, out);
                break;
            case BuiltIn::Null:
                out = LdValue();
                decoded = true;
                break;
            case BuiltIn::Custom:
                decoded = decodeCustomObject(object, className, depth, out);
                break;
        }
        path_.pop_back();
        return decoded;
    }

    // Decodes a field holding an array of references ("NS.objects", "NS.keys").
    bool decodeReferences(const LdValue& object,
                          std::string_view key,
                          int depth,
                          LdValue::Array& out) {
        const LdValue* references = object.find(key);
        if (references == nullptr || !references->isArray()) {
            return fail("An archived collection lacks a valid " + std::string(key) + ".");
        }
        const LdValue::Array& items = references->arrayValue();
        if (!budget_.chargeNodes(items.size())) {
            return failTooLarge();
        }
        out.reserve(items.size());
        for (const LdValue& item : items) {
            if (!item.isUID()) {
                return fail("An archived collection holds a value that is no reference.");
            }
            out.emplace_back();
            if (!decodeReference(item.uidValue().value, depth + 1, out.back())) {
                return false;
            }
        }
        return true;
    }

    bool decodeArray(const LdValue& object, int depth, LdValue& out) {
        LdValue::Array items;
        if (!decodeReferences(object, kObjectsKey, depth, items)) {
            return false;
        }
        out = LdValue(std::move(items));
        return true;
    }

    bool decodeDictionary(const LdValue& object, int depth, LdValue& out) {
        const LdValue* keyReferences = object.find(kKeysKey);
        const LdValue* valueReferences = object.find(kObjectsKey);
        if (keyReferences != nullptr && valueReferences != nullptr &&
            keyReferences->arrayValue().size() != valueReferences->arrayValue().size()) {
            return fail("An archived dictionary has different numbers of keys and values.");
        }
        LdValue::Array keys;
        LdValue::Array values;
        if (!decodeReferences(object, kKeysKey, depth, keys) ||
            !decodeReferences(object, kObjectsKey, depth, values)) {
            return false;
        }
        LdValue::Dictionary entries;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (!keys[i].isString()) {
                return fail("An archived dictionary has a key that is no string.");
            }
            // A repeated key keeps its last value.
            entries.insert_or_assign(keys[i].stringValue(), std::move(values[i]));
        }
        out = LdValue(std::move(entries));
        return true;
    }

    // NSMutableString "NS.string", NSMutableData "NS.data": the value inline or by reference.
    bool decodeWrapped(const LdValue& object,
                       std::string_view key,
                       LdValue::Type type,
                       LdValue& out) {
        const LdValue* value = object.find(key);
        if (value != nullptr && value->isUID()) {
            const std::uint64_t index = value->uidValue().value;
            value = index < objects_->size() ? &(*objects_)[index] : nullptr;
        }
        if (value == nullptr || value->type() != type) {
            return fail("An archived string or data object lacks a valid " + std::string(key) +
                        ".");
        }
        const std::size_t size = type == LdValue::Type::String ? value->stringValue().size()
                                                               : value->dataValue().size();
        if (!budget_.chargeBytes(size)) {
            return failTooLarge();
        }
        out = *value;
        return true;
    }

    bool decodeDate(const LdValue& object, LdValue& out) {
        const LdValue* time = object.find(kTimeKey);
        if (time == nullptr || !(time->isReal() || time->isInteger())) {
            return fail("An archived date lacks a valid NS.time.");
        }
        out = LdValue(LdDate::fromReferenceSeconds(time->doubleValue()));
        return true;
    }

    // An inline integer field; absent fields read as `fallback`, as decodeInt32ForKey: does.
    bool integerField(const LdValue& object,
                      std::string_view key,
                      std::int64_t fallback,
                      std::int64_t& value) {
        const LdValue* field = object.find(key);
        if (field == nullptr) {
            value = fallback;
            return true;
        }
        if (!field->isInteger() && !field->isBool()) {
            return fail("An archived decimal number has an invalid " + std::string(key) + ".");
        }
        value = field->integerValue();
        return true;
    }

    bool decodeDecimal(const LdValue& object, LdValue& out) {
        std::int64_t exponent = 0;
        std::int64_t length = 0;
        std::int64_t negative = 0;
        std::int64_t byteOrder = kLittleEndian;
        if (!integerField(object, kExponentKey, 0, exponent) ||
            !integerField(object, kLengthKey, 0, length) ||
            !integerField(object, kNegativeKey, 0, negative) ||
            !integerField(object, kByteOrderKey, kLittleEndian, byteOrder)) {
            return false;
        }
        if (exponent < LdDecimal::kMinExponent || exponent > LdDecimal::kMaxExponent) {
            return fail("An archived decimal number has an exponent out of range.");
        }
        if (length < 0 || length > kMantissaWords) {
            return fail("An archived decimal number has an invalid mantissa length.");
        }
        const LdValue* mantissaField = object.find(kMantissaKey);
        if (mantissaField == nullptr || !mantissaField->isData() ||
            mantissaField->dataValue().size() != kMantissaBytes) {
            return fail("An archived decimal number lacks a 16-byte mantissa.");
        }
        const LdData& bytes = mantissaField->dataValue();
        // Only the first `length` words count; the platform zeroes the rest.
        LdUInt128 mantissa = 0;
        for (std::int64_t word = length - 1; word >= 0; --word) {
            const unsigned first = bytes[static_cast<std::size_t>(2 * word)];
            const unsigned second = bytes[static_cast<std::size_t>(2 * word + 1)];
            const unsigned bits =
                    byteOrder == kBigEndian ? (first << 8) | second : (second << 8) | first;
            mantissa = (mantissa << 16) | bits;
        }
        if (length == 0 && negative != 0) {
            out = LdValue(LdDecimal::notANumber());
        } else {
            out = LdValue(
                    LdDecimal::fromParts(mantissa, static_cast<int>(exponent), negative != 0));
        }
        return true;
    }

    bool decodeCustomObject(const LdValue& object,
                            const std::string& className,
                            int depth,
                            LdValue& out) {
        LdValue::Dictionary fields;
        for (const auto& [key, value] : object.dictionaryValue()) {
            std::string name;
            if (key.starts_with("$$")) {
                name = key.substr(1);
            } else if (key.starts_with('$')) {
                continue;  // "$class" and other keys of the archive itself
            } else {
                name = key;
            }
            if (name == kLdArchiveClassNameKey) {
                return fail("An archived object has a field named $classname.");
            }
            auto [entry, inserted] = fields.emplace(std::move(name), LdValue());
            if (!decodeField(value, depth + 1, entry->second)) {
                return false;
            }
        }
        fields.insert_or_assign(kLdArchiveClassNameKey, className);
        out = LdValue(std::move(fields));
        return true;
    }

    // A field of a custom object: references are decoded, inline values kept (inline containers
    // have their references decoded too).
    bool decodeField(const LdValue& value, int depth, LdValue& out) {
        switch (value.type()) {
            case LdValue::Type::UID:
                return decodeReference(value.uidValue().value, depth, out);
            case LdValue::Type::Array: {
                if (depth >= kPlistMaxDepth) {
                    return fail("The keyed archive is nested too deeply.");
                }
                const LdValue::Array& items = value.arrayValue();
                if (!budget_.chargeNodes(items.size() + 1)) {
                    return failTooLarge();
                }
                LdValue::Array decoded(items.size());
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if (!decodeField(items[i], depth + 1, decoded[i])) {
                        return false;
                    }
                }
                out = LdValue(std::move(decoded));
                return true;
            }
            case LdValue::Type::Dictionary: {
                if (depth >= kPlistMaxDepth) {
                    return fail("The keyed archive is nested too deeply.");
                }
                const LdValue::Dictionary& entries = value.dictionaryValue();
                if (!budget_.chargeNodes(entries.size() + 1)) {
                    return failTooLarge();
                }
                LdValue::Dictionary decoded;
                for (const auto& [key, item] : entries) {
                    if (!budget_.chargeBytes(key.size())) {
                        return failTooLarge();
                    }
                    auto [entry, inserted] = decoded.emplace(key, LdValue());
                    if (!decodeField(item, depth + 1, entry->second)) {
                        return false;
                    }
                }
                out = LdValue(std::move(decoded));
                return true;
            }
            case LdValue::Type::String:
            case LdValue::Type::Data: {
                const std::size_t size =
                        value.isString() ? value.stringValue().size() : value.dataValue().size();
                if (!budget_.chargeNodes(1) || !budget_.chargeBytes(size)) {
                    return failTooLarge();
                }
                out = value;
                return true;
            }
            default:
                if (!budget_.chargeNodes(1)) {
                    return failTooLarge();
                }
                out = value;
                return true;
        }
    }

    const std::set<std::string>& allowedClasses_;
    DecodeBudget budget_;
    const LdValue::Array* objects_ = nullptr;
    std::vector<std::uint64_t> path_;  // objects being decoded, outermost first
    std::unordered_map<std::uint64_t, std::string> classNames_;
    std::string failure_;
};

}  // namespace

std::optional<LdData> LdKeyedArchiver::archivedDataWithRootObject(const LdValue& root,
                                                                  LdError* error) {
    return Encoder().archive(root, error);
}

const std::set<std::string>& LdKeyedUnarchiver::defaultAllowedClasses() {
    static const std::set<std::string> kClasses = {"NSDictionary",   "NSArray", "NSString",
                                                   "NSNumber",       "NSData",  "NSDate",
                                                   "NSDecimalNumber"};
    return kClasses;
}

std::optional<LdValue> LdKeyedUnarchiver::unarchivedObjectOfClasses(
        const std::set<std::string>& allowedClasses, const LdData& data, LdError* error) {
    return Decoder(allowedClasses, data.size()).decode(data, error);
}

std::optional<LdValue> LdKeyedUnarchiver::unarchivedObjectFromData(const LdData& data,
                                                                   LdError* error) {
    return unarchivedObjectOfClasses(defaultAllowedClasses(), data, error);
}
