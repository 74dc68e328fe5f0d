// LdCECBRatesParser: reads the European Central Bank's daily reference-rate XML file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/LdError.h"
#include "core/support/foundation/LdCivilDate.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdDecimal.h"
#include "core/support/foundation/LdValue.h"

// Class operations only; safe on any thread. The input is untrusted: the parser reads it without
// network access, DTD loading or entity expansion, and refuses files past kMaxDataSize bytes.
class LdCECBRatesParser {
public:
    static constexpr std::size_t kMaxDataSize = 1024 * 1024;
    static constexpr std::size_t kMaxCurrencies = 1000;

    // The rates of one day. Each rate tells how many units of its currency one euro buys.
    struct Rates {
        LdCivilDate day;                         // the civil day the rates are for
        LdDate date;                             // 00:00 UTC of that day
        std::map<std::string, LdDecimal> rates;  // currency code -> units per euro
    };

    // Reads the file: one `Cube time="YYYY-MM-DD"` element whose child `Cube` elements each carry
    // `currency` (three upper-case letters, not EUR, each once) and `rate` (a positive decimal
    // written with digits and at most one point). Rates keep the digits of their text exactly.
    // Returns the rates, or nothing with an error for anything else, even one bad entry.
    static std::optional<Rates> ratesWithData(const LdData& data, LdError* error = nullptr);

    // Units of `to` that one unit of `from` buys on that day: EUR pairs come straight from the
    // file, other pairs are crossed through the euro by decimal division (38 digits, rounded).
    // A currency with itself is 1. Nothing when either currency has no rate in the file; an
    // empty code is a missing argument.
    static std::optional<LdDecimal> crossRate(const Rates& rates,
                                              std::string_view from,
                                              std::string_view to);

    // True for three upper-case ASCII letters.
    static bool isCurrencyCode(std::string_view code);
};
