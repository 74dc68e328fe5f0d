// Helpers shared by the property-list readers and writers and the keyed archive: limits, the work
// budget of decoders, UTF-8/UTF-16 conversion and ISO 8601 dates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/LdError.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdValue.h"

namespace ld::detail {

// Containers (arrays, dictionaries, archived objects) may nest this deep; one more level is an
// error.
inline constexpr int kPlistMaxDepth = 64;

// An LdError for a malformed or unwritable property list or archive.
LdError plistError(std::string_view text);

// Bounds the work and memory of one decode so that it stays roughly linear in the input size, even
// when shared references (a value referenced many times) would expand a small input into a huge
// tree. Every produced value costs kNodeCost units, every 4 bytes of string or data payload one
// unit.
class DecodeBudget {
public:
    static constexpr std::uint64_t kNodeCost = 16;

    explicit DecodeBudget(std::size_t inputSize);

    // Takes the cost of `count` values; false once the budget is spent.
    bool chargeNodes(std::uint64_t count);
    // Takes the cost of `byteCount` payload bytes; false once the budget is spent.
    bool chargeBytes(std::uint64_t byteCount);

private:
    bool charge(std::uint64_t units);

    std::uint64_t remaining_;
};

// Appends the UTF-8 form of a Unicode scalar value (no surrogates, at most U+10FFFF).
void appendUTF8(std::string& out, char32_t codePoint);

// Whether every byte is below 0x80.
bool isASCII(std::string_view text);

// Decodes one UTF-8 sequence at `position`; advances it. Nothing for malformed, overlong or
// surrogate sequences and for values past U+10FFFF.
std::optional<char32_t> decodeUTF8(std::string_view text, std::size_t& position);

// Converts big-endian UTF-16 code units to UTF-8; false on an unpaired surrogate.
bool utf16BEToUTF8(const std::uint8_t* bytes, std::size_t unitCount, std::string& out);

// Converts UTF-8 to UTF-16 code units; false on malformed UTF-8.
bool utf8ToUTF16(std::string_view text, std::u16string& out);

// "2001-01-01T00:00:00Z" (shorter forms down to "2001Z" as property lists allow). Nothing for
// another form or an impossible date.
std::optional<LdDate> parseISO8601Date(std::string_view text);
// The UTC form with whole seconds (fractions are dropped toward the past); nothing for years
// outside 1...9999 and for NaN.
std::optional<std::string> formatISO8601Date(LdDate date);

// Reads a big-endian unsigned integer of 1...8 bytes.
std::uint64_t readBigEndian(const std::uint8_t* bytes, unsigned byteCount);
// Appends a big-endian unsigned integer of 1...8 bytes.
void appendBigEndian(LdData& out, std::uint64_t value, unsigned byteCount);

}  // namespace ld::detail
