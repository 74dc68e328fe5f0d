// The BER/DER reader: tag bytes, short and long length fields, content or children, each step
// checked against the bytes that are left, the nesting depth capped.
#include "core/security/VTCryptoTLVParser.h"

#include <string>

namespace {

constexpr const char* kTLVErrorTitle = "_ERROR";
constexpr const char* kTLVErrorDescription = "_ERROR_TLV_PARSE_FAILED";

void fillError(LdError* error, const char* failure) {
    // Made only when asked for: every made error goes to the logger, and a damaged input is
    // often only a probe of whether bytes are TLV at all.
    if (error != nullptr) {
        *error = LdError::errorWithTitle(kTLVErrorTitle, kTLVErrorDescription);
        error->addDebugInfo("reason", std::string(failure));
    }
}

}  // namespace

std::optional<VTCryptoTLV> VTCryptoTLVParser::parseSingleTlvObject(
        std::span<const std::uint8_t> bytes, LdError* error) {
    const char* failure = nullptr;
    std::optional<VTCryptoTLV> node = parseNode(bytes, 0, &failure);
    if (!node) {
        fillError(error, failure);
    }
    return node;
}

std::optional<std::vector<VTCryptoTLV>> VTCryptoTLVParser::parseTlvList(
        std::span<const std::uint8_t> bytes, std::size_t length, LdError* error) {
    if (length > bytes.size()) {
        fillError(error, "length beyond the bytes");
        return std::nullopt;
    }
    std::vector<VTCryptoTLV> nodes;
    std::span<const std::uint8_t> rest = bytes.first(length);
    while (!rest.empty()) {
        const char* failure = nullptr;
        std::optional<VTCryptoTLV> node = parseNode(rest, 0, &failure);
        if (!node) {
            fillError(error, failure);
            return std::nullopt;
        }
        rest = rest.subspan(static_cast<std::size_t>(node->totalLength()));
        nodes.push_back(std::move(*node));
    }
    return nodes;
}

std::optional<VTCryptoTLV> VTCryptoTLVParser::parseNode(std::span<const std::uint8_t> bytes,
                                                        int depth,
                                                        const char** failure) {
    if (depth >= kMaximumDepth) {
        *failure = "nested too deeply";
        return std::nullopt;
    }
    std::size_t offset = 0;
    if (bytes.empty()) {
        *failure = "no tag";
        return std::nullopt;
    }
    // Tag: one byte, or with tag number 31 further bytes while their top bit is set.
    std::uint64_t tag = bytes[offset++];
    if ((tag & 0x1F) == 0x1F) {
        std::uint8_t byte = 0;
        do {
            if (offset >= bytes.size()) {
                *failure = "tag beyond the end";
                return std::nullopt;
            }
            if (offset >= kMaximumTagBytes) {
                *failure = "tag of more than 8 bytes";
                return std::nullopt;
            }
            byte = bytes[offset++];
            tag = tag << 8 | byte;
        } while ((byte & 0x80) != 0);
    }

    // Length: short form below 0x80, else 0x80 plus the count of big-endian length bytes.
    if (offset >= bytes.size()) {
        *failure = "length beyond the end";
        return std::nullopt;
    }
    const std::uint8_t first = bytes[offset++];
    std::uint64_t length = first;
    if ((first & 0x80) != 0) {
        const std::size_t count = first & 0x7F;
        if (count == 0) {
            *failure = "indefinite length";
            return std::nullopt;
        }
        if (count > kMaximumLengthBytes) {
            *failure = "length field of more than 4 bytes";
            return std::nullopt;
        }
        if (bytes.size() - offset < count) {
            *failure = "length beyond the end";
            return std::nullopt;
        }
        length = 0;
        for (std::size_t index = 0; index < count; ++index) {
            length = length << 8 | bytes[offset++];
        }
    }
    const std::size_t headerSize = offset;
    if (bytes.size() - headerSize < length) {
        *failure = "content beyond the end";
        return std::nullopt;
    }
    const std::span<const std::uint8_t> content =
            bytes.subspan(headerSize, static_cast<std::size_t>(length));

    VTCryptoTLV node;
    node.tag_ = tag;
    node.length_ = length;
    node.lengthFieldSize_ = headerSize - node.tagByteCount();
    if (!node.isConstructed()) {
        node.value_.assign(content.begin(), content.end());
        return node;
    }
    // Children fill the content exactly; one reaching past it is refused by parsing it within the
    // content alone.
    std::span<const std::uint8_t> rest = content;
    while (!rest.empty()) {
        std::optional<VTCryptoTLV> child = parseNode(rest, depth + 1, failure);
        if (!child) {
            return std::nullopt;
        }
        rest = rest.subspan(static_cast<std::size_t>(child->totalLength()));
        node.children_.push_back(std::move(*child));
    }
    return node;
}
