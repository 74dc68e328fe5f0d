#include "core/database/resources/detail/LdAttachmentsStrings.h"

#include "core/support/LdStrings.h"

namespace ld::detail {

std::string attachmentsString(std::string_view key) {
    return LdStrings::localizedString(key, LdCAttachments);
}

LdError attachmentsError(std::string_view titleKey, std::string_view descriptionKey) {
    LdValue::Dictionary texts;
    texts.emplace(kLdLocalizedFailureReasonKey, LdValue(attachmentsString(titleKey)));
    texts.emplace(kLdLocalizedDescriptionKey, LdValue(attachmentsString(descriptionKey)));
    return LdError::errorWithTitle(titleKey, descriptionKey, texts);
}

}  // namespace ld::detail
