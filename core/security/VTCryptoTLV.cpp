// BER/DER nodes: the fields derived from the tag bytes, the DER writer and the tree description.
#include "core/security/VTCryptoTLV.h"

#include <cassert>
#include <utility>

namespace {

// The byte count of `value` in big-endian form without leading zero bytes; at least 1.
std::size_t significantBytes(std::uint64_t value) {
    std::size_t count = 1;
    while (count < 8 && (value >> (8 * count)) != 0) {
        ++count;
    }
    return count;
}

void appendBigEndian(LdData& output, std::uint64_t value, std::size_t count) {
    for (std::size_t index = count; index > 0; --index) {
        output.push_back(static_cast<std::uint8_t>(value >> (8 * (index - 1))));
    }
}

// Upper-case hexadecimal bytes separated by blanks, as the toolbox writes them for logs.
std::string hexText(const LdData& data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : data) {
        if (!text.empty()) {
            text.push_back(' ');
        }
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace

VTCryptoTLV::VTCryptoTLV(std::uint64_t tag, LdData value)
    : tag_(tag), length_(value.size()), value_(std::move(value)) {
    assert((!isConstructed() || value_.empty()) && "a constructed node holds children, no value");
}

std::size_t VTCryptoTLV::tagByteCount() const {
    return significantBytes(tag_);
}

std::int32_t VTCryptoTLV::type() const {
    const auto first = static_cast<std::uint8_t>(tag_ >> (8 * (tagByteCount() - 1)));
    return first >> 6;
}

bool VTCryptoTLV::isConstructed() const {
    const auto first = static_cast<std::uint8_t>(tag_ >> (8 * (tagByteCount() - 1)));
    return (first & kConstructedBit) != 0;
}

std::uint8_t VTCryptoTLV::cleanTag() const {
    const auto last = static_cast<std::uint8_t>(tag_);
    return tagByteCount() == 1 ? static_cast<std::uint8_t>(last & 0x1F)
                               : static_cast<std::uint8_t>(last & 0x7F);
}

std::uint64_t VTCryptoTLV::totalLength() const {
    const std::size_t lengthField =
            lengthFieldSize_ != 0 ? lengthFieldSize_ : generateLengthFieldForLength(length_).size();
    return tagByteCount() + lengthField + length_;
}

void VTCryptoTLV::addChildObject(VTCryptoTLV child) {
    assert(isConstructed() && "children belong to a constructed node");
    length_ += child.totalLength();
    lengthFieldSize_ = 0;
    children_.push_back(std::move(child));
}

const VTCryptoTLV* VTCryptoTLV::findChildWithTag(std::uint64_t tag, bool recursive) const {
    for (const VTCryptoTLV& child : children_) {
        if (child.tag_ == tag) {
            return &child;
        }
        if (recursive) {
            if (const VTCryptoTLV* found = child.findChildWithTag(tag, true)) {
                return found;
            }
        }
    }
    return nullptr;
}

std::vector<const VTCryptoTLV*> VTCryptoTLV::findAllChildrenWithTag(std::uint64_t tag,
                                                                    bool recursive) const {
    std::vector<const VTCryptoTLV*> found;
    for (const VTCryptoTLV& child : children_) {
        if (child.tag_ == tag) {
            found.push_back(&child);
        }
        if (recursive) {
            const std::vector<const VTCryptoTLV*> below = child.findAllChildrenWithTag(tag, true);
            found.insert(found.end(), below.begin(), below.end());
        }
    }
    return found;
}

LdData VTCryptoTLV::generateLengthFieldForLength(std::uint64_t length) {
    LdData field;
    if (length < 0x80) {
        field.push_back(static_cast<std::uint8_t>(length));
        return field;
    }
    const std::size_t count = significantBytes(length);
    field.push_back(static_cast<std::uint8_t>(0x80 | count));
    appendBigEndian(field, length, count);
    return field;
}

LdData VTCryptoTLV::dataRepresentation() const {
    LdData output;
    appendDataRepresentation(output);
    return output;
}

std::uint64_t VTCryptoTLV::derContentLength() const {
    if (!isConstructed()) {
        return value_.size();
    }
    std::uint64_t length = 0;
    for (const VTCryptoTLV& child : children_) {
        const std::uint64_t childContent = child.derContentLength();
        length += child.tagByteCount() + generateLengthFieldForLength(childContent).size() +
                  childContent;
    }
    return length;
}

void VTCryptoTLV::appendDataRepresentation(LdData& output) const {
    appendBigEndian(output, tag_, tagByteCount());
    // The content length is counted from what the node holds, so a parsed node with a longer BER
    // length field comes out in its DER form. Counting walks the subtree once per level, never
    // writes it: writing it to count would double the work at every level of nesting.
    const LdData field = generateLengthFieldForLength(derContentLength());
    output.insert(output.end(), field.begin(), field.end());
    if (isConstructed()) {
        for (const VTCryptoTLV& child : children_) {
            child.appendDataRepresentation(output);
        }
    } else {
        output.insert(output.end(), value_.begin(), value_.end());
    }
}

std::string VTCryptoTLV::nameForUniversalTag(std::uint8_t tagNumber) {
    switch (tagNumber) {
        case 0:
            return "END OF CONTENT";
        case 1:
            return "BOOLEAN";
        case 2:
            return "INTEGER";
        case 3:
            return "BIT STRING";
        case 4:
            return "OCTET STRING";
        case 5:
            return "NULL";
        case 6:
            return "OBJECT IDENTIFIER";
        case 10:
            return "ENUMERATED";
        case 12:
            return "UTF8String";
        case 16:
            return "SEQUENCE";
        case 17:
            return "SET";
        case 19:
            return "PrintableString";
        case 20:
            return "T61String";
        case 22:
            return "IA5String";
        case 23:
            return "UTCTime";
        case 24:
            return "GeneralizedTime";
        case 30:
            return "BMPString";
        default:
            return {};
    }
}

std::string VTCryptoTLV::descriptionWithIndentionLevel(int level) const {
    std::string output;
    appendDescription(output, level);
    return output;
}

void VTCryptoTLV::appendDescription(std::string& output, int level) const {
    static const char* const kClassNames[] = {"UNIVERSAL", "APPLICATION", "CONTEXT", "PRIVATE"};
    output.append(static_cast<std::size_t>(level > 0 ? level : 0) * 2, ' ');
    std::string name = type() == Universal ? nameForUniversalTag(cleanTag()) : std::string();
    if (name.empty()) {
        name = std::string("[") + kClassNames[type()] + " " + std::to_string(cleanTag()) + "]";
    }
    output += name + " (" + std::to_string(length_) + " bytes)";
    if (isConstructed()) {
        output += "\n";
        for (const VTCryptoTLV& child : children_) {
            child.appendDescription(output, level + 1);
        }
    } else {
        output += ": " + hexText(value_) + "\n";
    }
}
