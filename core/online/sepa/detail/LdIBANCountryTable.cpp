// The IBAN country table. Lengths and positions follow the national BBAN structures of the IBAN
// registry: the bank code is the registry's bank identifier, the account number what follows the
// bank and branch identifiers up to the end. Positions count from the start of the IBAN (the BBAN
// starts at 4). Estonia, Iran, Egypt and Algeria read the account number by national rules; Iran,
// Egypt and Algeria show no bank code. Poland's 8-digit sorting code stands for the bank code.
#include "core/online/sepa/detail/LdIBANCountryTable.h"

#include <array>

namespace ld::detail {
namespace {

using Rule = LdIBANAccountRule;

constexpr std::array kCountries = {
        // The original table (Egypt corrected to 29).
        LdIBANCountry{"DE", 22, 4, 8, 12, Rule::Positions},
        LdIBANCountry{"AL", 28, 4, 3, 11, Rule::Positions},
        LdIBANCountry{"AD", 24, 4, 4, 12, Rule::Positions},
        LdIBANCountry{"AT", 20, 4, 5, 9, Rule::Positions},
        LdIBANCountry{"BE", 16, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"BA", 20, 4, 3, 10, Rule::Positions},
        LdIBANCountry{"BG", 22, 4, 4, 12, Rule::Positions},
        LdIBANCountry{"BR", 29, 4, 8, 17, Rule::Positions},
        LdIBANCountry{"HR", 21, 4, 7, 11, Rule::Positions},
        LdIBANCountry{"CY", 28, 4, 3, 12, Rule::Positions},
        LdIBANCountry{"CZ", 24, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"DK", 18, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"EE", 20, 4, 2, 0, Rule::Estonia},
        LdIBANCountry{"FO", 18, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"FI", 18, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"FR", 27, 4, 5, 14, Rule::Positions},
        LdIBANCountry{"GE", 22, 4, 2, 6, Rule::Positions},
        LdIBANCountry{"GI", 23, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"GR", 27, 4, 3, 11, Rule::Positions},
        LdIBANCountry{"GL", 18, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"HU", 28, 4, 3, 11, Rule::Positions},
        LdIBANCountry{"IS", 26, 4, 2, 8, Rule::Positions},
        LdIBANCountry{"IE", 22, 4, 4, 14, Rule::Positions},
        LdIBANCountry{"IL", 23, 4, 3, 10, Rule::Positions},
        LdIBANCountry{"IT", 27, 5, 5, 15, Rule::Positions},
        LdIBANCountry{"KZ", 20, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"LV", 21, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"LB", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"LI", 21, 4, 5, 9, Rule::Positions},
        LdIBANCountry{"LT", 20, 4, 5, 9, Rule::Positions},
        LdIBANCountry{"LU", 20, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"MK", 19, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"MT", 31, 4, 4, 13, Rule::Positions},
        LdIBANCountry{"MU", 30, 4, 6, 12, Rule::Positions},
        LdIBANCountry{"MC", 27, 4, 5, 14, Rule::Positions},
        LdIBANCountry{"ME", 22, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"NL", 18, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"NO", 15, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"PL", 28, 4, 8, 12, Rule::Positions},
        LdIBANCountry{"PT", 25, 4, 4, 12, Rule::Positions},
        LdIBANCountry{"RO", 24, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"SM", 27, 5, 5, 15, Rule::Positions},
        LdIBANCountry{"SA", 24, 4, 2, 6, Rule::Positions},
        LdIBANCountry{"RS", 22, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"SK", 24, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"SI", 19, 4, 5, 9, Rule::Positions},
        LdIBANCountry{"ES", 24, 4, 4, 12, Rule::Positions},
        LdIBANCountry{"SE", 24, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"CH", 21, 4, 5, 9, Rule::Positions},
        LdIBANCountry{"TN", 24, 4, 2, 9, Rule::Positions},
        LdIBANCountry{"TR", 26, 4, 5, 9, Rule::Positions},
        LdIBANCountry{"GB", 22, 4, 4, 14, Rule::Positions},
        LdIBANCountry{"UA", 29, 4, 6, 10, Rule::Positions},
        LdIBANCountry{"PK", 24, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"MD", 24, 4, 2, 6, Rule::Positions},
        LdIBANCountry{"IR", 26, 4, 0, 0, Rule::Iran},
        LdIBANCountry{"EG", 29, 4, 0, 0, Rule::Egypt},
        LdIBANCountry{"DZ", 24, 4, 0, 0, Rule::Algeria},
        LdIBANCountry{"KW", 30, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"BH", 22, 4, 4, 8, Rule::Positions},
        // Added from the IBAN registry.
        LdIBANCountry{"AE", 23, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"AZ", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"BI", 27, 4, 5, 14, Rule::Positions},
        LdIBANCountry{"BY", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"CR", 22, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"DJ", 27, 4, 5, 14, Rule::Positions},
        LdIBANCountry{"DO", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"FK", 18, 4, 2, 6, Rule::Positions},
        LdIBANCountry{"GT", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"HN", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"IQ", 23, 4, 4, 11, Rule::Positions},
        LdIBANCountry{"JO", 30, 4, 4, 12, Rule::Positions},
        LdIBANCountry{"LC", 32, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"LY", 25, 4, 3, 10, Rule::Positions},
        LdIBANCountry{"MN", 20, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"MR", 27, 4, 5, 14, Rule::Positions},
        LdIBANCountry{"NI", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"OM", 23, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"PS", 29, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"QA", 29, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"RU", 33, 4, 9, 18, Rule::Positions},
        LdIBANCountry{"SC", 31, 4, 6, 12, Rule::Positions},
        LdIBANCountry{"SD", 18, 4, 2, 6, Rule::Positions},
        LdIBANCountry{"SO", 23, 4, 4, 11, Rule::Positions},
        LdIBANCountry{"ST", 25, 4, 4, 12, Rule::Positions},
        LdIBANCountry{"SV", 28, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"TL", 23, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"VA", 22, 4, 3, 7, Rule::Positions},
        LdIBANCountry{"VG", 24, 4, 4, 8, Rule::Positions},
        LdIBANCountry{"XK", 20, 4, 2, 8, Rule::Positions},
        LdIBANCountry{"YE", 30, 4, 4, 12, Rule::Positions},
};

}  // namespace

std::span<const LdIBANCountry> ibanCountries() {
    return kCountries;
}

const LdIBANCountry* ibanCountry(std::string_view countryCode) {
    for (const LdIBANCountry& country : kCountries) {
        if (country.countryCode == countryCode) {
            return &country;
        }
    }
    return nullptr;
}

}  // namespace ld::detail
