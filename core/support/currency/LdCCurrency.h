// LdCCurrency: one currency of the registry (ISO 4217 code and number, name, symbol, subunits).
#pragma once

#include <cstdint>
#include <string>

// A plain value; the country manager keeps the registered ones for the whole process.
struct LdCCurrency {
    std::string iso_code;                  // ISO 4217 alphabetic code, upper case ("EUR")
    std::uint32_t iso_num = 0;             // ISO 4217 numeric code
    std::string name;                      // localized in the user's locale
    std::string symbol;                    // from the locale that brought the currency
    std::uint32_t subunit_division = 100;  // 1000 when the ISO 4217 minor unit is 3, else 100

    // countOfSubunitDigits — 10 gives 1, 100 gives 2, 1000 gives 3, any other division 0.
    int countOfSubunitDigits() const;
    // description — "%@ - %@ [%@]": code, name, symbol.
    std::string description() const;

    // Currencies are equal when their ISO codes are.
    bool operator==(const LdCCurrency& other) const { return iso_code == other.iso_code; }
};
