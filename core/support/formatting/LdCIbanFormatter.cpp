// IBAN display in groups of four.
#include "core/support/formatting/LdCIbanFormatter.h"

namespace {

bool isBlank(char character) {
    return character == ' ' || character == '\t' || character == '\n' || character == '\r';
}

}  // namespace

std::string LdCIbanFormatter::stringForObjectValue(std::string_view iban) {
    const std::string compact = getObjectValue(iban);
    if (compact.size() < 5) {
        return compact;
    }
    std::string grouped;
    grouped.reserve(compact.size() + compact.size() / 4);
    for (std::size_t index = 0; index < compact.size(); ++index) {
        if (index > 0 && index % 4 == 0) {
            grouped += ' ';
        }
        grouped += compact[index];
    }
    return grouped;
}

std::string LdCIbanFormatter::getObjectValue(std::string_view string) {
    std::string compact;
    compact.reserve(string.size());
    for (const char character : string) {
        if (!isBlank(character)) {
            compact += character;
        }
    }
    return compact;
}
