// Fuzz target of the daily reference-rate reader. Whatever reads must keep the promises of the
// reader: valid codes, positive rates, a real day; and every pair of its currencies must cross.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/support/currency/LdCECBRatesParser.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the entry point libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const LdData input(data, data + size);
    LdError error;
    const std::optional<LdCECBRatesParser::Rates> rates =
            LdCECBRatesParser::ratesWithData(input, &error);
    if (!rates) {
        require(error.isSet());
        return 0;
    }
    require(!rates->rates.empty());
    require(rates->day.month >= 1 && rates->day.month <= 12 && rates->day.day >= 1 &&
            rates->day.day <= LdCivilDate::daysInMonth(rates->day.year, rates->day.month));
    int pairs = 0;
    for (const auto& [code, rate] : rates->rates) {
        require(LdCECBRatesParser::isCurrencyCode(code) && code != "EUR");
        require(rate > LdDecimal::zero());
        require(LdCECBRatesParser::crossRate(*rates, "EUR", code) == rate);
        for (const auto& other : rates->rates) {
            if (++pairs > 256) {
                break;  // enough pairs to exercise the division; keeps big inputs fast
            }
            const std::optional<LdDecimal> cross =
                    LdCECBRatesParser::crossRate(*rates, code, other.first);
            require(cross.has_value() && !cross->isNaN());
        }
    }
    return 0;
}
