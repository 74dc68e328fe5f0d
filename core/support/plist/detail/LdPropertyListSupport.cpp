// Limits, work budget, text conversions and dates shared by the property-list code.
#include "core/support/plist/detail/LdPropertyListSupport.h"

#include <cmath>
#include <cstdio>

#include "core/support/foundation/LdCivilDate.h"
#include "core/support/foundation/LdText.h"

namespace ld::detail {

namespace {

// Budget floor, so that small inputs with a few shared values still decode.
constexpr std::uint64_t kMinimumBudget = std::uint64_t{1} << 20;
// Budget units per input byte.
constexpr std::uint64_t kBudgetPerInputByte = 32;

constexpr std::int64_t kReferenceDateDays = LdCivilDate::kReferenceDayFromUnixEpoch;

// Reads exactly `count` decimal digits at `position`.
bool readDigits(std::string_view text, std::size_t& position, std::size_t count, unsigned& value) {
    if (text.size() - position < count) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[position + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    position += count;
    return true;
}

}  // namespace

LdError plistError(std::string_view text) {
    return LdError::errorWithTitle("_ERROR", text);
}

DecodeBudget::DecodeBudget(std::size_t inputSize)
    : remaining_(kMinimumBudget + kBudgetPerInputByte * static_cast<std::uint64_t>(inputSize)) {}

bool DecodeBudget::chargeNodes(std::uint64_t count) {
    if (count > remaining_ / kNodeCost) {
        remaining_ = 0;
        return false;
    }
    return charge(count * kNodeCost);
}

bool DecodeBudget::chargeBytes(std::uint64_t byteCount) {
    return charge(byteCount / 4 + 1);
}

bool DecodeBudget::charge(std::uint64_t units) {
    if (units > remaining_) {
        remaining_ = 0;
        return false;
    }
    remaining_ -= units;
    return true;
}

void appendUTF8(std::string& out, char32_t codePoint) {
    LdText::appendUTF8(out, static_cast<std::uint32_t>(codePoint));
}

bool isASCII(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::optional<char32_t> decodeUTF8(std::string_view text, std::size_t& position) {
    const auto byteAt = [&](std::size_t index) {
        return static_cast<unsigned char>(text[index]);
    };
    const unsigned char lead = byteAt(position);
    if (lead < 0x80) {
        ++position;
        return lead;
    }
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1Fu;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0Fu;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - position < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byteAt(position + i);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return std::nullopt;
    }
    position += length;
    return codePoint;
}

bool utf16BEToUTF8(const std::uint8_t* bytes, std::size_t unitCount, std::string& out) {
    out.clear();
    out.reserve(unitCount);
    for (std::size_t i = 0; i < unitCount; ++i) {
        const auto unit = static_cast<char32_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;  // a low surrogate without its high one
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= unitCount) {
                return false;
            }
            const auto low = static_cast<char32_t>((bytes[2 * i + 2] << 8) | bytes[2 * i + 3]);
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            appendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            ++i;
            continue;
        }
        appendUTF8(out, unit);
    }
    return true;
}

bool utf8ToUTF16(std::string_view text, std::u16string& out) {
    out.clear();
    out.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        const std::optional<char32_t> codePoint = decodeUTF8(text, position);
        if (!codePoint) {
            return false;
        }
        if (*codePoint >= 0x10000) {
            const char32_t offset = *codePoint - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(*codePoint));
        }
    }
    return true;
}

std::optional<LdDate> parseISO8601Date(std::string_view text) {
    std::size_t position = 0;
    unsigned year = 0;
    unsigned month = 1;
    unsigned day = 1;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    if (!readDigits(text, position, 4, year)) {
        return std::nullopt;
    }
    // Each later part is optional, but only in order: "2004-10Z" is fine, "2004T10Z" is not.
    const auto readPart = [&](char separator, unsigned& value) {
        if (position < text.size() && text[position] == separator) {
            ++position;
            return readDigits(text, position, 2, value) ? 1 : -1;
        }
        return 0;
    };
    int state = readPart('-', month);
    if (state > 0) {
        state = readPart('-', day);
    }
    if (state > 0) {
        state = readPart('T', hour);
    }
    if (state > 0) {
        state = readPart(':', minute);
    }
    if (state > 0) {
        state = readPart(':', second);
    }
    if (state < 0 || position + 1 != text.size() || text[position] != 'Z') {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 ||
        day > static_cast<unsigned>(LdCivilDate::daysInMonth(year, static_cast<int>(month))) ||
        hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    const std::int64_t days =
            LdCivilDate::daysFromCivil(year, static_cast<int>(month), day) - kReferenceDateDays;
    const std::int64_t seconds = days * 86400 + std::int64_t{hour} * 3600 +
                                 std::int64_t{minute} * 60 + std::int64_t{second};
    return LdDate::fromReferenceSeconds(static_cast<double>(seconds));
}

std::optional<std::string> formatISO8601Date(LdDate date) {
    return date.iso8601String();
}

std::uint64_t readBigEndian(const std::uint8_t* bytes, unsigned byteCount) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < byteCount; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void appendBigEndian(LdData& out, std::uint64_t value, unsigned byteCount) {
    for (unsigned i = byteCount; i > 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
    }
}

}  // namespace ld::detail
