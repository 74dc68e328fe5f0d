// The data compiled into the library for the currency registry.
#pragma once

#include <string_view>

namespace ld::detail {

// The ISO 3166-1 table of the iso-codes package (JSON: {"3166-1": [{"alpha_2", "alpha_3",
// "numeric", "name", ...}]}).
std::string_view iso3166CountriesJson();
// resources/currency/iso4217-three-minor-units.txt: one alphabetic code a line, '#' comments.
std::string_view iso4217ThreeMinorUnitsTable();

}  // namespace ld::detail
