// Binary property lists. Layout: the signature "bplist00", the objects, a table with the offset of
// every object, and a 32-byte trailer (offset size, reference size, object count, top object,
// offset of the table). Containers refer to their items by object number.
#include "core/support/plist/detail/LdBinaryPropertyList.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/support/plist/detail/LdPropertyListSupport.h"

namespace ld::detail {

namespace {

constexpr std::string_view kSignature = "bplist00";
constexpr std::uint64_t kHeaderSize = 8;
constexpr std::uint64_t kTrailerSize = 32;

// Object markers: the high nibble is the type, the low nibble a size or a subtype.
constexpr std::uint8_t kMarkerNull = 0x00;
constexpr std::uint8_t kMarkerFalse = 0x08;
constexpr std::uint8_t kMarkerTrue = 0x09;
constexpr std::uint8_t kMarkerFill = 0x0F;
constexpr std::uint8_t kMarkerInteger = 0x10;
constexpr std::uint8_t kMarkerReal = 0x20;
constexpr std::uint8_t kMarkerDate = 0x33;
constexpr std::uint8_t kMarkerData = 0x40;
constexpr std::uint8_t kMarkerASCIIString = 0x50;
constexpr std::uint8_t kMarkerUTF16String = 0x60;
constexpr std::uint8_t kMarkerUID = 0x80;
constexpr std::uint8_t kMarkerArray = 0xA0;
constexpr std::uint8_t kMarkerSet = 0xC0;
constexpr std::uint8_t kMarkerDictionary = 0xD0;

// Reads one binary property list. Objects may only lie between the header and the offset table, so
// every read is checked against `end_`, the offset of the table.
class BinaryReader {
public:
    explicit BinaryReader(std::span<const std::uint8_t> data) : data_(data), budget_(data.size()) {}

    std::optional<LdValue> read(LdError* error) {
        LdValue top;
        if (!readTrailer() || !budget_.chargeNodes(1) || !readObject(topObject_, 0, top)) {
            failWith(error, plistError(failure_));
            return std::nullopt;
        }
        return top;
    }

private:
    bool fail(std::string_view text) {
        if (failure_.empty()) {
            failure_ = text;
        }
        return false;
    }

    // Whether `count` bytes can be read at `position` (which is never past end_).
    bool canRead(std::uint64_t position, std::uint64_t count) const {
        return count <= end_ - position;
    }

    std::uint64_t readUnsigned(std::uint64_t position, unsigned byteCount) const {
        return readBigEndian(data_.data() + position, byteCount);
    }

    bool readTrailer() {
        const std::uint64_t size = data_.size();
        if (size < kHeaderSize + kTrailerSize) {
            return fail("The binary property list is too short.");
        }
        if (!hasBinaryPropertyListSignature(data_)) {
            return fail("The data is no binary property list.");
        }
        const std::uint64_t trailer = size - kTrailerSize;
        offsetSize_ = data_[trailer + 6];
        referenceSize_ = data_[trailer + 7];
        objectCount_ = readUnsigned(trailer + 8, 8);
        topObject_ = readUnsigned(trailer + 16, 8);
        const std::uint64_t offsetTable = readUnsigned(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8) {
            return fail("The binary property list has an invalid offset or reference size.");
        }
        if (objectCount_ == 0 || objectCount_ > size) {
            return fail("The binary property list has an invalid object count.");
        }
        if (topObject_ >= objectCount_) {
            return fail("The top object of the binary property list is out of range.");
        }
        if (offsetTable < kHeaderSize || offsetTable > trailer ||
            objectCount_ > (trailer - offsetTable) / offsetSize_) {
            return fail("The offset table of the binary property list lies outside the file.");
        }
        end_ = offsetTable;
        return true;
    }

    bool objectOffset(std::uint64_t index, std::uint64_t& offset) const {
        // index < objectCount_, so the entry lies inside the checked offset table.
        offset = readUnsigned(end_ + index * offsetSize_, offsetSize_);
        return offset >= kHeaderSize && offset < end_;
    }

    // Reads the item count of a container, string or data object: the low nibble, or for 15 and
    // more an integer object that follows the marker.
    bool readCount(std::uint64_t& position, unsigned info, std::uint64_t& count) {
        if (info != 0x0F) {
            count = info;
            return true;
        }
        if (!canRead(position, 1)) {
            return fail("A count in the binary property list is truncated.");
        }
        const std::uint8_t marker = data_[position];
        if ((marker & 0xF0) != kMarkerInteger || (marker & 0x0F) > 3) {
            return fail("A count in the binary property list is no integer.");
        }
        const unsigned byteCount = 1u << (marker & 0x0F);
        if (!canRead(position + 1, byteCount)) {
            return fail("A count in the binary property list is truncated.");
        }
        count = readUnsigned(position + 1, byteCount);
        position += 1 + byteCount;
        return true;
    }

    bool readReference(std::uint64_t position, std::uint64_t& reference) {
        reference = readUnsigned(position, referenceSize_);
        if (reference >= objectCount_) {
            return fail("An object reference in the binary property list is out of range.");
        }
        return true;
    }

    bool readObject(std::uint64_t index, int depth, LdValue& out) {
        std::uint64_t position = 0;
        if (!objectOffset(index, position)) {
            return fail("An object offset in the binary property list is out of range.");
        }
        const std::uint8_t marker = data_[position++];
        const unsigned info = marker & 0x0Fu;
        switch (marker & 0xF0) {
            case 0x00:
                return readSingleton(marker, out);
            case kMarkerInteger:
                return readInteger(position, info, out);
            case kMarkerReal:
                return readReal(position, info, out);
            case 0x30:
                return readDate(position, marker, out);
            case kMarkerData:
                return readData(position, info, out);
            case kMarkerASCIIString:
                return readASCIIString(position, info, out);
            case kMarkerUTF16String:
                return readUTF16String(position, info, out);
            case kMarkerUID:
                return readUID(position, info, out);
            case kMarkerArray:
            case kMarkerSet:  // sets read as arrays
                return readArray(index, position, info, depth, out);
            case kMarkerDictionary:
                return readDictionary(index, position, info, depth, out);
            default:
                return fail("The binary property list has an unknown object type.");
        }
    }

    bool readSingleton(std::uint8_t marker, LdValue& out) {
        switch (marker) {
            case kMarkerNull:
            case kMarkerFill:
                out = LdValue();
                return true;
            case kMarkerFalse:
                out = LdValue(false);
                return true;
            case kMarkerTrue:
                out = LdValue(true);
                return true;
            default:
                return fail("The binary property list has an unknown object type.");
        }
    }

    bool readInteger(std::uint64_t position, unsigned info, LdValue& out) {
        if (info > 4) {
            return fail("An integer in the binary property list has an invalid size.");
        }
        const unsigned byteCount = 1u << info;
        if (!canRead(position, byteCount)) {
            return fail("An integer in the binary property list is truncated.");
        }
        if (byteCount < 8) {
            // 1, 2 and 4 bytes are unsigned.
            out = LdValue(static_cast<std::int64_t>(readUnsigned(position, byteCount)));
            return true;
        }
        if (byteCount == 8) {
            out = LdValue(static_cast<std::int64_t>(readUnsigned(position, 8)));
            return true;
        }
        // 16 bytes, signed: written for unsigned values past the signed 64-bit range.
        const std::uint64_t high = readUnsigned(position, 8);
        const std::uint64_t low = readUnsigned(position + 8, 8);
        const bool lowIsNegative = (low >> 63) != 0;
        // The value fits 64 signed bits when the high half only extends the sign of the low one.
        const std::uint64_t signExtension = lowIsNegative ? ~std::uint64_t{0} : 0;
        if (high == signExtension) {
            out = LdValue(static_cast<std::int64_t>(low));
        } else if (high == 0) {
            // Past the range of LdValue's integers; a decimal keeps the value exact.
            out = LdValue(LdDecimal::fromParts(low, 0, false));
        } else {
            return fail("An integer in the binary property list is out of range.");
        }
        return true;
    }

    bool readReal(std::uint64_t position, unsigned info, LdValue& out) {
        if (info == 2 && canRead(position, 4)) {
            const auto bits = static_cast<std::uint32_t>(readUnsigned(position, 4));
            out = LdValue(static_cast<double>(std::bit_cast<float>(bits)));
            return true;
        }
        if (info == 3 && canRead(position, 8)) {
            out = LdValue(std::bit_cast<double>(readUnsigned(position, 8)));
            return true;
        }
        return fail("A real number in the binary property list is invalid or truncated.");
    }

    bool readDate(std::uint64_t position, std::uint8_t marker, LdValue& out) {
        if (marker != kMarkerDate || !canRead(position, 8)) {
            return fail("A date in the binary property list is invalid or truncated.");
        }
        out = LdValue(
                LdDate::fromReferenceSeconds(std::bit_cast<double>(readUnsigned(position, 8))));
        return true;
    }

    bool readData(std::uint64_t position, unsigned info, LdValue& out) {
        std::uint64_t count = 0;
        if (!readCount(position, info, count)) {
            return false;
        }
        if (!canRead(position, count)) {
            return fail("Data in the binary property list is truncated.");
        }
        if (!budget_.chargeBytes(count)) {
            return fail("The binary property list expands to too large a value.");
        }
        const auto* begin = data_.data() + position;
        out = LdValue(LdData(begin, begin + count));
        return true;
    }

    bool readASCIIString(std::uint64_t position, unsigned info, LdValue& out) {
        std::uint64_t count = 0;
        if (!readCount(position, info, count)) {
            return false;
        }
        if (!canRead(position, count)) {
            return fail("A string in the binary property list is truncated.");
        }
        if (!budget_.chargeBytes(count)) {
            return fail("The binary property list expands to too large a value.");
        }
        std::string text(reinterpret_cast<const char*>(data_.data() + position), count);
        if (!isASCII(text)) {
            return fail("An ASCII string in the binary property list has a byte past 0x7F.");
        }
        out = LdValue(std::move(text));
        return true;
    }

    bool readUTF16String(std::uint64_t position, unsigned info, LdValue& out) {
        std::uint64_t count = 0;
        if (!readCount(position, info, count)) {
            return false;
        }
        if (count > (end_ - position) / 2) {
            return fail("A string in the binary property list is truncated.");
        }
        // Up to three UTF-8 bytes per UTF-16 unit.
        if (!budget_.chargeBytes(3 * count)) {
            return fail("The binary property list expands to too large a value.");
        }
        std::string text;
        if (!utf16BEToUTF8(data_.data() + position, count, text)) {
            return fail("A string in the binary property list has an unpaired surrogate.");
        }
        out = LdValue(std::move(text));
        return true;
    }

    bool readUID(std::uint64_t position, unsigned info, LdValue& out) {
        const unsigned byteCount = info + 1;
        if (byteCount > 8 || !canRead(position, byteCount)) {
            return fail("A UID in the binary property list is invalid or truncated.");
        }
        out = LdValue(LdUID{readUnsigned(position, byteCount)});
        return true;
    }

    // Checks what every container needs before its items are read.
    bool enterContainer(std::uint64_t index, int depth) {
        if (depth >= kPlistMaxDepth) {
            return fail("The binary property list is nested too deeply.");
        }
        if (std::find(path_.begin(), path_.end(), index) != path_.end()) {
            return fail("The binary property list has a reference cycle.");
        }
        path_.push_back(index);
        return true;
    }

    bool readArray(
            std::uint64_t index, std::uint64_t position, unsigned info, int depth, LdValue& out) {
        std::uint64_t count = 0;
        if (!readCount(position, info, count)) {
            return false;
        }
        if (count > (end_ - position) / referenceSize_) {
            return fail("An array in the binary property list is truncated.");
        }
        // Items are paid for before they are allocated.
        if (!budget_.chargeNodes(count)) {
            return fail("The binary property list expands to too large a value.");
        }
        if (!enterContainer(index, depth)) {
            return false;
        }
        out = LdValue(LdValue::Array());
        LdValue::Array& items = out.mutableArray();
        items.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint64_t reference = 0;
            if (!readReference(position + i * referenceSize_, reference)) {
                return false;
            }
            items.emplace_back();
            if (!readObject(reference, depth + 1, items.back())) {
                return false;
            }
        }
        path_.pop_back();
        return true;
    }

    bool readDictionary(
            std::uint64_t index, std::uint64_t position, unsigned info, int depth, LdValue& out) {
        std::uint64_t count = 0;
        if (!readCount(position, info, count)) {
            return false;
        }
        if (count > (end_ - position) / (2 * std::uint64_t{referenceSize_})) {
            return fail("A dictionary in the binary property list is truncated.");
        }
        if (!budget_.chargeNodes(2 * count)) {
            return fail("The binary property list expands to too large a value.");
        }
        if (!enterContainer(index, depth)) {
            return false;
        }
        out = LdValue(LdValue::Dictionary());
        LdValue::Dictionary& entries = out.mutableDictionary();
        const std::uint64_t valuesPosition = position + count * referenceSize_;
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint64_t keyReference = 0;
            std::uint64_t valueReference = 0;
            if (!readReference(position + i * referenceSize_, keyReference) ||
                !readReference(valuesPosition + i * referenceSize_, valueReference)) {
                return false;
            }
            LdValue key;
            if (!readObject(keyReference, depth + 1, key)) {
                return false;
            }
            if (!key.isString()) {
                return fail("A dictionary key in the binary property list is no string.");
            }
            // A repeated key keeps its last value.
            auto [entry, inserted] = entries.insert_or_assign(key.stringValue(), LdValue());
            if (!readObject(valueReference, depth + 1, entry->second)) {
                return false;
            }
        }
        path_.pop_back();
        return true;
    }

    std::span<const std::uint8_t> data_;
    DecodeBudget budget_;
    unsigned offsetSize_ = 0;
    unsigned referenceSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t topObject_ = 0;
    std::uint64_t end_ = 0;            // offset of the offset table
    std::vector<std::uint64_t> path_;  // containers being read, outermost first
    std::string failure_;
};

// The smallest of 1, 2, 4 or 8 bytes that holds `value`.
unsigned byteSizeFor(std::uint64_t value) {
    if (value < (std::uint64_t{1} << 8)) {
        return 1;
    }
    if (value < (std::uint64_t{1} << 16)) {
        return 2;
    }
    if (value < (std::uint64_t{1} << 32)) {
        return 4;
    }
    return 8;
}

// Writes a binary property list in two passes: flatten() numbers the objects depth-first (a
// dictionary's keys before its values, equal scalars once), write() emits them in that order.
class BinaryWriter {
public:
    std::optional<LdData> write(const LdValue& value, LdError* error) {
        std::uint64_t top = 0;
        if (!flatten(value, 0, top)) {
            failWith(error, plistError(failure_));
            return std::nullopt;
        }
        referenceSize_ = byteSizeFor(objects_.size());
        LdData out(kSignature.begin(), kSignature.end());
        std::vector<std::uint64_t> offsets;
        offsets.reserve(objects_.size());
        for (const Entry& entry : objects_) {
            offsets.push_back(out.size());
            writeObject(entry, out);
        }
        const std::uint64_t offsetTable = out.size();
        const unsigned offsetSize = byteSizeFor(offsetTable);
        for (const std::uint64_t offset : offsets) {
            appendBigEndian(out, offset, offsetSize);
        }
        // Trailer: five unused bytes, the sort version 0, the sizes and three 64-bit numbers.
        out.insert(out.end(), 6, 0);
        out.push_back(static_cast<std::uint8_t>(offsetSize));
        out.push_back(static_cast<std::uint8_t>(referenceSize_));
        appendBigEndian(out, objects_.size(), 8);
        appendBigEndian(out, top, 8);
        appendBigEndian(out, offsetTable, 8);
        return out;
    }

private:
    // One object to write: a value or a dictionary key; containers list their item numbers
    // (dictionaries: all keys, then all values).
    struct Entry {
        const LdValue* value = nullptr;
        const std::string* key = nullptr;
        std::vector<std::uint64_t> references;
    };

    bool fail(std::string_view text) {
        if (failure_.empty()) {
            failure_ = text;
        }
        return false;
    }

    // The uniquing key of a scalar: its type letter and its bytes. Nothing for containers.
    static std::optional<std::string> scalarKey(const LdValue& value) {
        const auto withBits = [](char type, std::uint64_t bits) {
            std::string key(1, type);
            key.append(reinterpret_cast<const char*>(&bits), sizeof bits);
            return key;
        };
        switch (value.type()) {
            case LdValue::Type::Null:
                return std::string("n");
            case LdValue::Type::Bool:
                return std::string(value.boolValue() ? "t" : "f");
            case LdValue::Type::Integer:
                return withBits('i', static_cast<std::uint64_t>(value.integerValue()));
            case LdValue::Type::Real:
                return withBits('r', std::bit_cast<std::uint64_t>(value.doubleValue()));
            case LdValue::Type::Date:
                return withBits('d', std::bit_cast<std::uint64_t>(
                                             value.dateValue().timeIntervalSinceReferenceDate()));
            case LdValue::Type::UID:
                return withBits('u', value.uidValue().value);
            case LdValue::Type::String:
                return "s" + value.stringValue();
            case LdValue::Type::Data: {
                const LdData& data = value.dataValue();
                return "D" + std::string(data.begin(), data.end());
            }
            default:
                return std::nullopt;
        }
    }

    bool flattenScalar(std::string key, Entry entry, std::uint64_t& reference) {
        const auto [found, inserted] = uniqued_.try_emplace(std::move(key), objects_.size());
        reference = found->second;
        if (inserted) {
            objects_.push_back(std::move(entry));
        }
        return true;
    }

    bool flattenKey(const std::string& key, std::uint64_t& reference) {
        if (!checkString(key)) {
            return false;
        }
        return flattenScalar("s" + key, Entry{nullptr, &key, {}}, reference);
    }

    bool checkString(std::string_view text) {
        std::size_t position = 0;
        while (position < text.size()) {
            if (!decodeUTF8(text, position)) {
                return fail("A string to write is not valid UTF-8.");
            }
        }
        return true;
    }

    bool flatten(const LdValue& value, int depth, std::uint64_t& reference) {
        if (value.isDecimal()) {
            return fail("A decimal number cannot be written to a property list.");
        }
        if (value.isString() && !checkString(value.stringValue())) {
            return false;
        }
        if (std::optional<std::string> key = scalarKey(value)) {
            return flattenScalar(std::move(*key), Entry{&value, nullptr, {}}, reference);
        }
        if (depth >= kPlistMaxDepth) {
            return fail("The property list to write is nested too deeply.");
        }
        reference = objects_.size();
        objects_.push_back(Entry{&value, nullptr, {}});
        std::vector<std::uint64_t> references;
        std::uint64_t item = 0;
        if (value.isArray()) {
            references.reserve(value.arrayValue().size());
            for (const LdValue& element : value.arrayValue()) {
                if (!flatten(element, depth + 1, item)) {
                    return false;
                }
                references.push_back(item);
            }
        } else {
            const LdValue::Dictionary& entries = value.dictionaryValue();
            references.reserve(2 * entries.size());
            for (const auto& entry : entries) {
                if (!flattenKey(entry.first, item)) {
                    return false;
                }
                references.push_back(item);
            }
            for (const auto& entry : entries) {
                if (!flatten(entry.second, depth + 1, item)) {
                    return false;
                }
                references.push_back(item);
            }
        }
        objects_[reference].references = std::move(references);
        return true;
    }

    static void writeSize(LdData& out, std::uint8_t marker, std::uint64_t size) {
        if (size < 15) {
            out.push_back(static_cast<std::uint8_t>(marker | size));
            return;
        }
        out.push_back(static_cast<std::uint8_t>(marker | 0x0F));
        writeInteger(out, static_cast<std::int64_t>(size));
    }

    static void writeInteger(LdData& out, std::int64_t value) {
        if (value < 0) {
            out.push_back(kMarkerInteger | 3);
            appendBigEndian(out, static_cast<std::uint64_t>(value), 8);
            return;
        }
        const unsigned size = byteSizeFor(static_cast<std::uint64_t>(value));
        out.push_back(static_cast<std::uint8_t>(kMarkerInteger | std::countr_zero(size)));
        appendBigEndian(out, static_cast<std::uint64_t>(value), size);
    }

    static void writeString(LdData& out, const std::string& text) {
        if (isASCII(text)) {
            writeSize(out, kMarkerASCIIString, text.size());
            out.insert(out.end(), text.begin(), text.end());
            return;
        }
        std::u16string units;
        utf8ToUTF16(text, units);  // checked valid when flattened
        writeSize(out, kMarkerUTF16String, units.size());
        for (const char16_t unit : units) {
            appendBigEndian(out, unit, 2);
        }
    }

    void writeObject(const Entry& entry, LdData& out) const {
        if (entry.key != nullptr) {
            writeString(out, *entry.key);
            return;
        }
        const LdValue& value = *entry.value;
        switch (value.type()) {
            case LdValue::Type::Null:
                out.push_back(kMarkerNull);
                break;
            case LdValue::Type::Bool:
                out.push_back(value.boolValue() ? kMarkerTrue : kMarkerFalse);
                break;
            case LdValue::Type::Integer:
                writeInteger(out, value.integerValue());
                break;
            case LdValue::Type::Real:
                out.push_back(kMarkerReal | 3);
                appendBigEndian(out, std::bit_cast<std::uint64_t>(value.doubleValue()), 8);
                break;
            case LdValue::Type::Date:
                out.push_back(kMarkerDate);
                appendBigEndian(out,
                                std::bit_cast<std::uint64_t>(
                                        value.dateValue().timeIntervalSinceReferenceDate()),
                                8);
                break;
            case LdValue::Type::Data:
                writeSize(out, kMarkerData, value.dataValue().size());
                out.insert(out.end(), value.dataValue().begin(), value.dataValue().end());
                break;
            case LdValue::Type::String:
                writeString(out, value.stringValue());
                break;
            case LdValue::Type::UID: {
                const std::uint64_t uid = value.uidValue().value;
                const unsigned size = byteSizeFor(uid);
                out.push_back(static_cast<std::uint8_t>(kMarkerUID | (size - 1)));
                appendBigEndian(out, uid, size);
                break;
            }
            case LdValue::Type::Array:
                writeSize(out, kMarkerArray, entry.references.size());
                writeReferences(out, entry.references);
                break;
            case LdValue::Type::Dictionary:
                writeSize(out, kMarkerDictionary, entry.references.size() / 2);
                writeReferences(out, entry.references);
                break;
            case LdValue::Type::Decimal:
                break;  // refused by flatten()
        }
    }

    void writeReferences(LdData& out, const std::vector<std::uint64_t>& references) const {
        for (const std::uint64_t reference : references) {
            appendBigEndian(out, reference, referenceSize_);
        }
    }

    std::vector<Entry> objects_;
    std::unordered_map<std::string, std::uint64_t> uniqued_;
    unsigned referenceSize_ = 1;
    std::string failure_;
};

}  // namespace

bool hasBinaryPropertyListSignature(std::span<const std::uint8_t> data) {
    return data.size() >= kSignature.size() &&
           std::equal(kSignature.begin(), kSignature.end(), data.begin());
}

std::optional<LdValue> readBinaryPropertyList(std::span<const std::uint8_t> data, LdError* error) {
    return BinaryReader(data).read(error);
}

std::optional<LdData> writeBinaryPropertyList(const LdValue& value, LdError* error) {
    return BinaryWriter().write(value, error);
}

}  // namespace ld::detail
