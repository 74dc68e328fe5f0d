// Random identifiers from the system's cryptographic random source.
#include "core/support/platform/LdUUID.h"

#include <openssl/rand.h>

#include <array>
#include <cassert>
#include <cctype>
#include <cstdint>
#include <cstdlib>

std::string LdUUID::uuidString() {
    std::array<std::uint8_t, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        // Identifiers must never repeat; without a random source there is no safe way on.
        std::abort();
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10) {
            text += '-';
        }
        text += kHex[bytes[index] >> 4];
        text += kHex[bytes[index] & 0x0F];
    }
    return text;
}

bool LdUUID::isUUIDString(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
        if (dash ? text[index] != '-' : std::isxdigit(static_cast<unsigned char>(text[index])) == 0) {
            return false;
        }
    }
    return true;
}
