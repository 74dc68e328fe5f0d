// The IBAN countries: required lengths and where bank code and account number stand.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ld::detail {

// How the account number of a country is found.
enum class LdIBANAccountRule : std::uint8_t {
    Positions,  // the characters from accountStart to the end of the IBAN
    Estonia,    // from character 6 to the end, without leading zeros
    Iran,       // from character 8 to the end, without leading zeros
    Egypt,      // the last 17 characters, without leading zeros
    Algeria,    // the 10 account digits of the RIB (characters 12-21), without leading zeros
};

struct LdIBANCountry {
    std::string_view countryCode;
    std::uint8_t length;        // the whole IBAN
    std::uint8_t bankStart;     // 0-based position in the IBAN
    std::uint8_t bankLength;    // 0: the bank code is the empty text
    std::uint8_t accountStart;  // for LdIBANAccountRule::Positions
    LdIBANAccountRule accountRule;
};

// In search order: DE first, the countries of the original table in its order, then those added
// from the IBAN registry alphabetically.
std::span<const LdIBANCountry> ibanCountries();
// The row of an upper-case country code, or nullptr.
const LdIBANCountry* ibanCountry(std::string_view countryCode);

}  // namespace ld::detail
