// The strings table of attachments and resource images, and errors whose texts come from it.
#pragma once

#include <string>
#include <string_view>

#include "core/support/LdError.h"

inline constexpr const char* LdCAttachments = "LdCAttachments";

namespace ld::detail {

// The text of `key` in the LdCAttachments table.
std::string attachmentsString(std::string_view key);

// An error (LedraErrorDomain, code 0) that keeps the keys as titleKey()/descriptionKey() and shows
// their texts from the LdCAttachments table.
LdError attachmentsError(std::string_view titleKey, std::string_view descriptionKey);

}  // namespace ld::detail
