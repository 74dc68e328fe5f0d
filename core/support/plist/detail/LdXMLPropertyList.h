// The XML property-list form (<plist version="1.0">): a reader for untrusted input and a writer in
// the platform's layout.
#pragma once

#include <optional>
#include <span>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

namespace ld::detail {

// Reads an XML property list. Entities other than the predefined ones are refused, nothing is
// fetched from the network and no DTD is loaded; containers nest at most kPlistMaxDepth deep.
// A dictionary whose only key is "CF$UID" with an integer reads as a UID.
std::optional<LdValue> readXMLPropertyList(std::span<const std::uint8_t> data, LdError* error);

// Writes an XML property list (tab indentation, sorted keys, Base64 data in lines). Dates keep
// whole seconds. Fails for decimals, strings with characters XML cannot carry, dates outside the
// years 1...9999 and nesting past kPlistMaxDepth.
std::optional<LdData> writeXMLPropertyList(const LdValue& value, LdError* error);

}  // namespace ld::detail
