// The current locale and the ICU look-ups of a locale's separators and currency.
#include "core/support/formatting/LdLocale.h"

#include <cstdlib>
#include <mutex>
#include <optional>

#include <unicode/dcfmtsym.h>
#include <unicode/locid.h>
#include <unicode/ucurr.h>
#include <unicode/unistr.h>

namespace {

std::mutex& localeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<std::string>& explicitLocale() {
    static std::optional<std::string> locale;
    return locale;
}

std::string utf8(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

std::string symbol(std::string_view identifier,
                   icu::DecimalFormatSymbols::ENumberFormatSymbol which) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::DecimalFormatSymbols symbols(icu::Locale(std::string(identifier).c_str()), status);
    if (U_FAILURE(status)) {
        return which == icu::DecimalFormatSymbols::kDecimalSeparatorSymbol ? "." : ",";
    }
    return utf8(symbols.getSymbol(which));
}

}  // namespace

std::string LdLocale::currentLocaleIdentifier() {
    {
        const std::lock_guard lock(localeMutex());
        if (explicitLocale()) {
            return *explicitLocale();
        }
    }
    return identifierFromEnvironment();
}

void LdLocale::setCurrentLocaleIdentifier(std::string_view identifier) {
    const std::lock_guard lock(localeMutex());
    if (identifier.empty()) {
        explicitLocale().reset();
    } else {
        explicitLocale() = canonicalIdentifier(identifier);
    }
}

std::string LdLocale::identifierFromEnvironment() {
    // The order in which POSIX lets these variables decide the numeric category.
    for (const char* variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return canonicalIdentifier(value);
        }
    }
    return "en_US_POSIX";
}

std::string LdLocale::canonicalIdentifier(std::string_view name) {
    if (name.empty()) {
        return {};
    }
    // Encoding and modifier ("de_DE.UTF-8", "de_DE@euro") say nothing about numbers.
    const std::size_t end = name.find_first_of(".@");
    std::string base(name.substr(0, end));
    if (base.empty() || base == "C" || base == "POSIX") {
        return "en_US_POSIX";
    }
    for (char& character : base) {
        if (character == '-') {
            character = '_';
        }
    }
    const icu::Locale locale(base.c_str());
    if (locale.isBogus()) {
        return "en_US_POSIX";
    }
    return locale.getName();
}

bool LdLocale::isKnownIdentifier(std::string_view identifier) {
    const icu::Locale locale(std::string(identifier).c_str());
    if (locale.isBogus() || *locale.getLanguage() == '\0') {
        return false;
    }
    int32_t count = 0;
    const icu::Locale* available = icu::Locale::getAvailableLocales(count);
    for (int32_t index = 0; index < count; ++index) {
        if (std::string_view(available[index].getLanguage()) == locale.getLanguage()) {
            return true;
        }
    }
    return false;
}

std::string LdLocale::decimalSeparator(std::string_view identifier) {
    return symbol(identifier, icu::DecimalFormatSymbols::kDecimalSeparatorSymbol);
}

std::string LdLocale::groupingSeparator(std::string_view identifier) {
    return symbol(identifier, icu::DecimalFormatSymbols::kGroupingSeparatorSymbol);
}

std::string LdLocale::currencyCode(std::string_view identifier) {
    UChar code[4] = {};
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucurr_forLocale(std::string(identifier).c_str(), code, 4, &status);
    if (U_FAILURE(status) || length != 3) {
        return {};
    }
    return utf8(icu::UnicodeString(code, 3));
}
