// Small character helpers shared by the library's text readers (strings tables, predicates, hexadecimal text).
#pragma once

#include <cstdint>
#include <string>

class LdText {
public:
    // The value of one hexadecimal digit (either case), or -1 for any other character.
    static int hexDigitValue(char character) {
        if (character >= '0' && character <= '9') {
            return character - '0';
        }
        if (character >= 'a' && character <= 'f') {
            return character - 'a' + 10;
        }
        if (character >= 'A' && character <= 'F') {
            return character - 'A' + 10;
        }
        return -1;
    }

    // Appends the UTF-8 bytes of a code point. The caller has checked that it is a valid scalar value (at
    // most 0x10FFFF and no surrogate).
    static void appendUTF8(std::string& text, std::uint32_t codePoint) {
        if (codePoint < 0x80U) {
            text += static_cast<char>(codePoint);
        } else if (codePoint < 0x800U) {
            text += static_cast<char>(0xC0U | (codePoint >> 6U));
            text += static_cast<char>(0x80U | (codePoint & 0x3FU));
        } else if (codePoint < 0x10000U) {
            text += static_cast<char>(0xE0U | (codePoint >> 12U));
            text += static_cast<char>(0x80U | ((codePoint >> 6U) & 0x3FU));
            text += static_cast<char>(0x80U | (codePoint & 0x3FU));
        } else {
            text += static_cast<char>(0xF0U | (codePoint >> 18U));
            text += static_cast<char>(0x80U | ((codePoint >> 12U) & 0x3FU));
            text += static_cast<char>(0x80U | ((codePoint >> 6U) & 0x3FU));
            text += static_cast<char>(0x80U | (codePoint & 0x3FU));
        }
    }
};
