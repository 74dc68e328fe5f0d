// Base64 text of byte strings (the standard alphabet with "=" padding), as property lists, settings and PEM
// armour use it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/support/foundation/LdValue.h"

class LdBase64 {
public:
    static std::string encode(const LdData& data);
    // Decodes Base64 text; white space (line breaks of armoured text) is ignored. Nothing for any other
    // character, a bad length or misplaced padding.
    static std::optional<LdData> decode(std::string_view text);
};
