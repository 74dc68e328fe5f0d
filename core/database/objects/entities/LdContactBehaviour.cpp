// The hand-written behaviour of contacts and bank details: the names a contact is shown, sorted
// and searched by, the choice among its other names, and the checks and texts of bank details.
#include <algorithm>
#include <memory>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/online/sepa/LdBICChecker.h"
#include "core/online/sepa/LdIBANChecker.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

// Other names of this many characters or more count as full names.
constexpr std::size_t kFullNameLength = 6;

// Case- and diacritic-insensitive order; nullptr when ICU has no collator (byte order then).
const icu::Collator* primaryCollator() {
    static const std::unique_ptr<icu::Collator> kCollator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> made(
                icu::Collator::createInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !made) {
            return std::unique_ptr<icu::Collator>();
        }
        made->setStrength(icu::Collator::PRIMARY);
        return made;
    }();
    return kCollator.get();
}

// <0, 0, >0 as `a` sorts before, with or after `b`, ignoring case and diacritics.
int compareNames(const std::string& a, const std::string& b) {
    const icu::Collator* collator = primaryCollator();
    if (collator == nullptr) {
        return a.compare(b);
    }
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result = collator->compare(icu::UnicodeString::fromUTF8(a),
                                                      icu::UnicodeString::fromUTF8(b), status);
    return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

// Characters, not bytes: UTF-8 continuation bytes do not count.
std::size_t characterCount(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0U) != 0x80U;
    }));
}

// The better of two other names: a full name beats a short one; of two full names the shorter,
// of two short ones the longer; of two of equal length the one that sorts first.
const std::string& betterName(const std::string& kept, const std::string& next) {
    const std::size_t keptLength = characterCount(kept);
    const std::size_t nextLength = characterCount(next);
    const bool keptFull = keptLength >= kFullNameLength;
    const bool nextFull = nextLength >= kFullNameLength;
    if (keptFull != nextFull) {
        return keptFull ? kept : next;
    }
    if (keptLength != nextLength) {
        return (keptFull ? keptLength < nextLength : keptLength > nextLength) ? kept : next;
    }
    return compareNames(next, kept) < 0 ? next : kept;
}

std::string joinWithBlanks(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts) {
        if (part.empty()) {
            continue;
        }
        joined += (joined.empty() ? "" : " ") + part;
    }
    return joined;
}

}  // namespace

// LdCDContact

std::string LdCDContact::full_name() const {
    switch (LdUserDefaults::standard().integerForKey(kNameIllustrationTypeKey)) {
        case 1: {
            const std::string last = lastName();
            const std::string first = firstName();
            if (last.empty() || first.empty()) {
                return last.empty() ? first : last;
            }
            return last + ", " + first;
        }
        case 2:
            return joinWithBlanks({namePrefix(), firstName(), lastName(), nameSuffix()});
        default:
            return joinWithBlanks({firstName(), lastName()});
    }
}

std::string LdCDContact::representation_name() const {
    std::string name = nickname();
    return name.empty() ? representation_name_no_nickname() : name;
}

std::string LdCDContact::representation_name_no_nickname() const {
    return isPerson() ? full_name() : companyName();
}

std::string LdCDContact::representation_name_with_other_names() const {
    std::string name = representation_name();
    if (!name.empty()) {
        return name;
    }
    return representation_other_names().value_or(
            LdStrings::localizedString("_CONTACT_WITHOUT_NAME"));
}

std::string LdCDContact::representation_name_no_nickname_with_other_name() const {
    std::string name = representation_name_no_nickname();
    if (!name.empty()) {
        return name;
    }
    return representation_other_names().value_or(
            LdStrings::localizedString("_CONTACT_WITHOUT_NAME"));
}

std::optional<std::string> LdCDContact::representation_other_names() const {
    // Walked in name order, so the choice does not depend on the order the store hands them out.
    const std::vector<std::string> names = otherNamesArray();
    if (names.empty()) {
        return std::nullopt;
    }
    std::string kept = names.front();
    for (std::size_t index = 1; index < names.size(); ++index) {
        kept = betterName(kept, names[index]);
    }
    return kept;
}

std::string LdCDContact::all_other_names_in_one_string() const {
    std::string joined;
    for (const std::string& name : otherNamesArray()) {
        joined += (joined.empty() ? "" : ", ") + name;
    }
    return joined;
}

std::vector<std::string> LdCDContact::otherNamesArray() const {
    std::vector<std::string> names;
    for (const LdCDContactOtherName* other : otherNames()) {
        if (std::string name = other->name(); !name.empty()) {
            names.push_back(std::move(name));
        }
    }
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int order = compareNames(a, b);
        return order != 0 ? order < 0 : a < b;
    });
    return names;
}

void LdCDContact::didRefresh() {
    cachedColor_.reset();
    cachedImage_.reset();
}

// LdCDBankDetails

bool LdCDBankDetails::isIBANValid(LdError* error) const {
    return LdIBANChecker::isIBANValid(iban(), error);
}

bool LdCDBankDetails::isBICValid(LdError* error) const {
    return LdBICChecker::isBICValid(bic(), error);
}

std::string LdCDBankDetails::localizedDescription() const {
    std::string text;
    auto addLine = [&text](const std::string& line) {
        text += (text.empty() ? "" : "\n") + line;
    };
    auto addLabelled = [&addLine](const char* key, const std::string& value) {
        if (!value.empty()) {
            addLine(LdStrings::localizedString(key) + ": " + value);
        }
    };
    if (!label().empty()) {
        addLine(label());
    }
    addLabelled("_IBAN", iban());
    addLabelled("_BIC", bic());
    addLabelled("_ACCOUNT_NUMBER", accountNumber());
    addLabelled("_BANK_CODE", bankCode());
    if (!bankName().empty()) {
        addLine(bankName());
    }
    return text;
}

std::string LdCDBankDetails::shortDescription() const {
    if (!iban().empty()) {
        return iban();
    }
    const std::string number = accountNumber();
    const std::string code = bankCode();
    if (number.empty() || code.empty()) {
        return number.empty() ? code : number;
    }
    return number + " / " + code;
}
