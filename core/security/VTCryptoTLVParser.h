// VTCryptoTLVParser, the reader of BER/DER tag-length-value bytes into VTCryptoTLV nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/security/VTCryptoTLV.h"
#include "core/support/LdError.h"

// Stateless class operations; thread-safe. Never reads beyond the bytes it is given; damaged input
// fails, it never crashes.
class VTCryptoTLVParser {
public:
    VTCryptoTLVParser() = delete;

    // Limits of what parses: tags of more bytes would not fit the 64-bit tag, nesting deeper than
    // real keys and certificates need is refused, and lengths have at most four bytes.
    static constexpr std::size_t kMaximumTagBytes = 8;
    static constexpr int kMaximumDepth = 64;
    static constexpr std::size_t kMaximumLengthBytes = 4;

    // parseSingleTlvObject: — the node at the start of `bytes` (bytes after it are left alone; its
    // totalLength tells where it ends). Nothing, with an error, for damaged bytes: a tag of more
    // than 8 bytes, an indefinite length or a length field of more than 4 bytes, content beyond the
    // end, children that overrun their parent or nesting deeper than 64.
    static std::optional<VTCryptoTLV> parseSingleTlvObject(std::span<const std::uint8_t> bytes,
                                                           LdError* error = nullptr);
    // parseTlvList:length: — the nodes one after another in the first `length` bytes, which they
    // must fill exactly. Nothing, with an error, when any node fails or `length` exceeds the bytes.
    static std::optional<std::vector<VTCryptoTLV>> parseTlvList(std::span<const std::uint8_t> bytes,
                                                                std::size_t length,
                                                                LdError* error = nullptr);

private:
    static std::optional<VTCryptoTLV> parseNode(std::span<const std::uint8_t> bytes,
                                                int depth,
                                                const char** failure);
};
