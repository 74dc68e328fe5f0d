// IBAN checks. The format test and the MOD 97 test run on the text as given (after filtering);
// there are no per-country BBAN patterns and no national check digits.
#include "core/online/sepa/LdIBANChecker.h"

#include <algorithm>

#include "core/online/sepa/detail/LdIBANCountryTable.h"
#include "core/support/LdStrings.h"
#include "core/support/currency/LdCCountryManager.h"

namespace {

constexpr std::size_t kMinFormatLength = 5;
constexpr std::size_t kMaxFormatLength = 34;

bool isAsciiLetter(char character) {
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z');
}

bool isAsciiDigit(char character) {
    return character >= '0' && character <= '9';
}

char upper(char character) {
    return character >= 'a' && character <= 'z' ? static_cast<char>(character - 'a' + 'A')
                                                : character;
}

std::string upperCased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), upper);
    return result;
}

// White space, line breaks and control characters, including the non-breaking spaces that
// copied statements carry (U+00A0, U+202F in UTF-8).
std::size_t filteredLengthAt(std::string_view text, std::size_t index) {
    const auto byte = static_cast<unsigned char>(text[index]);
    if (byte <= 0x20 || byte == 0x7F) {
        return 1;
    }
    if (byte == 0xC2 && index + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[index + 1]);
        if (next == 0xA0 || (next >= 0x80 && next <= 0x9F)) {
            return 2;  // no-break space, C1 controls
        }
    }
    if (byte == 0xE2 && index + 2 < text.size()) {
        const auto second = static_cast<unsigned char>(text[index + 1]);
        const auto third = static_cast<unsigned char>(text[index + 2]);
        const bool spaces = second == 0x80 && ((third >= 0x80 && third <= 0x8B) || third == 0xAF ||
                                               third == 0xA8 || third == 0xA9);
        if (spaces) {
            return 3;  // en/em and thin spaces, line and paragraph separators, narrow no-break
        }
    }
    return 0;
}

// A letter's number: its lower-case code minus 87 (a = 10 ... z = 35).
void appendLetterNumber(std::string& digits, char letter) {
    const int number = (upper(letter) - 'A') + 10;
    digits += static_cast<char>('0' + number / 10);
    digits += static_cast<char>('0' + number % 10);
}

std::string withoutLeadingZeros(std::string_view digits) {
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos) {
        return digits.empty() ? std::string() : std::string("0");
    }
    return std::string(digits.substr(first));
}

}  // namespace

const std::map<std::string, std::size_t>& LdIBANChecker::ibanCountryCodesToIBANLengthDictionary() {
    static const std::map<std::string, std::size_t> kLengths = [] {
        std::map<std::string, std::size_t> lengths;
        for (const ld::detail::LdIBANCountry& country : ld::detail::ibanCountries()) {
            lengths.emplace(std::string(country.countryCode), country.length);
        }
        return lengths;
    }();
    return kLengths;
}

std::vector<std::string> LdIBANChecker::ibanCountryCodes() {
    std::vector<std::string> codes;
    for (const ld::detail::LdIBANCountry& country : ld::detail::ibanCountries()) {
        codes.emplace_back(country.countryCode);
    }
    return codes;
}

std::size_t LdIBANChecker::minIBANLength() {
    static const std::size_t kMin =
            std::min_element(
                    ld::detail::ibanCountries().begin(), ld::detail::ibanCountries().end(),
                    [](const auto& left, const auto& right) { return left.length < right.length; })
                    ->length;
    return kMin;
}

std::size_t LdIBANChecker::maxIBANLength() {
    static const std::size_t kMax =
            std::max_element(
                    ld::detail::ibanCountries().begin(), ld::detail::ibanCountries().end(),
                    [](const auto& left, const auto& right) { return left.length < right.length; })
                    ->length;
    return kMax;
}

std::string LdIBANChecker::filteredString(std::string_view text) {
    std::string filtered;
    filtered.reserve(text.size());
    for (std::size_t index = 0; index < text.size();) {
        const std::size_t skip = filteredLengthAt(text, index);
        if (skip > 0) {
            index += skip;
        } else {
            filtered += text[index];
            ++index;
        }
    }
    return filtered;
}

std::optional<std::string> LdIBANChecker::ibanCountryStringFromIBAN(std::string_view iban) {
    if (iban.size() < 3) {
        return std::nullopt;
    }
    return std::string(iban.substr(0, 2));
}

std::map<std::string, std::string> LdIBANChecker::ibanParts(std::string_view iban) {
    if (iban.size() < 4) {
        return {};
    }
    return {{"countryCode", std::string(iban.substr(0, 2))},
            {"checkSum", std::string(iban.substr(2, 2))},
            {"accountIdentifier", std::string(iban.substr(4))}};
}

bool LdIBANChecker::isValidIBANLength(std::size_t length, std::string_view countryCode) {
    const ld::detail::LdIBANCountry* country = ld::detail::ibanCountry(upperCased(countryCode));
    return country != nullptr && country->length == length;
}

bool LdIBANChecker::isValidIBANFormat(std::string_view iban) {
    // Fixed order: overall length, the country's length, then the character classes.
    if (iban.size() < kMinFormatLength || iban.size() > kMaxFormatLength) {
        return false;
    }
    if (!isValidIBANLength(iban.size(), iban.substr(0, 2))) {
        return false;
    }
    if (!isAsciiLetter(iban[0]) || !isAsciiLetter(iban[1]) || !isAsciiDigit(iban[2]) ||
        !isAsciiDigit(iban[3])) {
        return false;
    }
    return std::all_of(iban.begin() + 4, iban.end(), [](char character) {
        return isAsciiLetter(character) || isAsciiDigit(character);
    });
}

std::string LdIBANChecker::convertIBAN(std::string_view iban) {
    if (iban.size() < 4) {
        return {};
    }
    std::string digits;
    digits.reserve(iban.size() * 2);
    for (const char character : iban.substr(4)) {
        if (isAsciiLetter(character)) {
            appendLetterNumber(digits, character);
        } else {
            digits += character;
        }
    }
    appendLetterNumber(digits, iban[0]);
    appendLetterNumber(digits, iban[1]);
    digits += iban.substr(2, 2);
    return digits;
}

bool LdIBANChecker::isValidModuloValue(std::string_view digits) {
    if (digits.size() < 2 || !std::all_of(digits.begin(), digits.end(), isAsciiDigit)) {
        return false;
    }
    unsigned remainder = static_cast<unsigned>((digits[0] - '0') * 10 + (digits[1] - '0')) % 97U;
    for (const char digit : digits.substr(2)) {
        remainder = (remainder * 10U + static_cast<unsigned>(digit - '0')) % 97U;
    }
    return remainder == 1;
}

bool LdIBANChecker::isValidIBAN(std::string_view iban) {
    const std::string filtered = filteredString(iban);
    return isValidIBANFormat(filtered) && isValidModuloValue(convertIBAN(filtered));
}

bool LdIBANChecker::isIBANValid(std::string_view iban, LdError* error) {
    if (iban.empty() || isValidIBAN(iban)) {
        return true;
    }
    const std::string title =
            LdStrings::localizedFormat("_CONTACT_WARNING_INVALID_IBAN", {std::string(iban)});
    return failWith(error, LdError::errorWithTitle(title, ""));
}

const LdCCountry* LdIBANChecker::countryFromIBAN(std::string_view iban) {
    if (iban.size() < 2) {
        return nullptr;
    }
    return LdCCountryManager::sharedManager().countryForIsoCode(iban.substr(0, 2));
}

std::optional<std::string> LdIBANChecker::bankIDFromIBAN(std::string_view iban) {
    const std::string filtered = filteredString(iban);
    if (filtered.size() < 2) {
        return std::nullopt;
    }
    const ld::detail::LdIBANCountry* country =
            ld::detail::ibanCountry(upperCased(filtered.substr(0, 2)));
    if (country == nullptr) {
        return std::nullopt;
    }
    if (country->bankLength == 0) {
        // The countries without a bank code need only the country and check digits.
        return filtered.size() >= 4 ? std::optional<std::string>(std::string()) : std::nullopt;
    }
    if (filtered.size() < std::size_t{country->bankStart} + country->bankLength) {
        return std::nullopt;
    }
    return filtered.substr(country->bankStart, country->bankLength);
}

std::optional<std::string> LdIBANChecker::accountIDFromIBAN(std::string_view iban) {
    const std::string filtered = filteredString(iban);
    if (filtered.size() < 2) {
        return std::nullopt;
    }
    const ld::detail::LdIBANCountry* country =
            ld::detail::ibanCountry(upperCased(filtered.substr(0, 2)));
    if (country == nullptr) {
        return std::nullopt;
    }
    using Rule = ld::detail::LdIBANAccountRule;
    if (country->accountRule == Rule::Positions) {
        if (filtered.size() < country->length) {
            return std::nullopt;
        }
        return filtered.substr(country->accountStart, country->length - country->accountStart);
    }
    // The national rules need the whole IBAN of the country.
    if (filtered.size() < country->length) {
        return std::nullopt;
    }
    const std::string_view whole(filtered.data(), country->length);
    switch (country->accountRule) {
        case Rule::Estonia:
            // The BBAN after the 2-digit bank code is the account number padded to 14 digits.
            return withoutLeadingZeros(whole.substr(6));
        case Rule::Iran:
            // "0", the 3-digit bank and the account number padded to 18 digits.
            return withoutLeadingZeros(whole.substr(8));
        case Rule::Egypt:
            // Bank (4) and branch (4), then the account number padded to 17 digits.
            return withoutLeadingZeros(whole.substr(whole.size() - 17));
        case Rule::Algeria:
            // The RIB: bank (3), agency (5), account (10), key (2).
            return withoutLeadingZeros(whole.substr(12, 10));
        case Rule::Positions:
            break;
    }
    return std::nullopt;
}

std::vector<std::string> LdIBANChecker::findValidIBANs(std::string_view text, bool firstOnly) {
    std::vector<std::string> found;
    if (text.size() < minIBANLength()) {
        return found;
    }
    const std::string upper = upperCased(filteredString(text));
    // Only where two letters are followed by two digits can an IBAN start; collecting these
    // places once spares a scan of the whole text per country and finds the same IBANs.
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at + 4 <= upper.size(); ++at) {
        if (isAsciiLetter(upper[at]) && isAsciiLetter(upper[at + 1]) &&
            isAsciiDigit(upper[at + 2]) && isAsciiDigit(upper[at + 3])) {
            starts.push_back(at);
        }
    }
    // Visit the countries in search order; each country's occurrences from left to right, each
    // taken with the country's length, upper-cased and fully checked.
    for (const ld::detail::LdIBANCountry& country : ld::detail::ibanCountries()) {
        for (const std::size_t at : starts) {
            if (upper.size() - at < country.length) {
                break;
            }
            if (upper.compare(at, 2, country.countryCode) != 0) {
                continue;
            }
            const std::string_view candidate(upper.data() + at, country.length);
            if (isValidIBANFormat(candidate) && isValidModuloValue(convertIBAN(candidate))) {
                found.emplace_back(candidate);
                if (firstOnly) {
                    return found;
                }
            }
        }
    }
    return found;
}

std::optional<std::string> LdIBANChecker::findAnyValidIBANInString(std::string_view text) {
    std::vector<std::string> found = findValidIBANs(text, /*firstOnly=*/true);
    if (found.empty()) {
        return std::nullopt;
    }
    return std::move(found.front());
}

std::vector<std::string> LdIBANChecker::findAllValidIBANsInString(std::string_view text) {
    return findValidIBANs(text, /*firstOnly=*/false);
}
