// Base64 encoding and strict decoding.
#include "core/support/foundation/LdBase64.h"

#include <array>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeDecodeTable() {
    std::array<int, 256> table{};
    for (int& entry : table) {
        entry = -1;
    }
    for (int index = 0; index < 64; ++index) {
        table[static_cast<unsigned char>(kAlphabet[index])] = index;
    }
    return table;
}
constexpr std::array<int, 256> kDecodeTable = makeDecodeTable();

bool isSpace(char character) {
    return character == ' ' || character == '\n' || character == '\r' || character == '\t';
}
}  // namespace

std::string LdBase64::encode(const LdData& data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    std::size_t index = 0;
    for (; index + 2 < data.size(); index += 3) {
        const unsigned triple = (unsigned{data[index]} << 16) | (unsigned{data[index + 1]} << 8) |
                                unsigned{data[index + 2]};
        text += kAlphabet[(triple >> 18) & 63];
        text += kAlphabet[(triple >> 12) & 63];
        text += kAlphabet[(triple >> 6) & 63];
        text += kAlphabet[triple & 63];
    }
    if (index < data.size()) {
        const bool two = index + 1 < data.size();
        const unsigned triple = (unsigned{data[index]} << 16) |
                                (two ? unsigned{data[index + 1]} << 8 : 0U);
        text += kAlphabet[(triple >> 18) & 63];
        text += kAlphabet[(triple >> 12) & 63];
        text += two ? kAlphabet[(triple >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

std::optional<LdData> LdBase64::decode(std::string_view text) {
    LdData data;
    data.reserve(text.size() / 4 * 3);
    unsigned accumulator = 0;
    int bits = 0;
    std::size_t symbols = 0;
    std::size_t padding = 0;
    for (const char character : text) {
        if (isSpace(character)) {
            continue;
        }
        if (character == '=') {
            ++padding;
            ++symbols;
            continue;
        }
        const int value = kDecodeTable[static_cast<unsigned char>(character)];
        if (value < 0 || padding > 0) {
            return std::nullopt;  // a foreign character, or data after the padding
        }
        ++symbols;
        accumulator = ((accumulator << 6) | static_cast<unsigned>(value)) & 0xFFFFFFU;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            data.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFFU));
        }
    }
    if (symbols % 4 != 0 || padding > 2) {
        return std::nullopt;
    }
    return data;
}
