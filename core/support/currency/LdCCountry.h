// LdCCountry: one country of the registry (ISO 3166-1 codes, localized name, currency, locale).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/support/currency/LdCCurrency.h"

// A plain value, built from ISO 3166-1 data and one ICU locale of the country.
struct LdCCountry {
    std::string localizedName;            // in the user's locale
    std::string isoAlpha2Code;            // "DE"
    std::string isoAlpha3Code;            // "DEU"
    std::uint32_t isoNumericCode = 0;     // 276
    std::string currencyCode;             // of the locale; empty when it has none
    std::optional<LdCCurrency> currency;  // the registered currency of that code
    std::string locale;                   // the ICU locale identifier the country was built from
};
