// The binary property-list form ("bplist00"): a bounded reader for untrusted input and a
// byte-stable writer.
#pragma once

#include <optional>
#include <span>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

namespace ld::detail {

// Whether the data starts with the binary property-list signature.
bool hasBinaryPropertyListSignature(std::span<const std::uint8_t> data);

// Reads a binary property list. Every offset, reference and length is checked against the file,
// containers nest at most kPlistMaxDepth deep, reference cycles are rejected and the size of the
// produced value is bounded by a DecodeBudget. Fails with an LdError, never crashes.
std::optional<LdValue> readBinaryPropertyList(std::span<const std::uint8_t> data, LdError* error);

// Writes a binary property list; the same value always gives the same bytes. Equal strings,
// numbers, dates, data and UIDs are written once. Fails for decimals, malformed UTF-8 and nesting
// past kPlistMaxDepth.
std::optional<LdData> writeBinaryPropertyList(const LdValue& value, LdError* error);

}  // namespace ld::detail
