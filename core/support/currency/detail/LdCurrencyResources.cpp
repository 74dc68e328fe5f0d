// Access to the embedded registry data (see cmake/LdEmbeddedResources.cmake).
#include "core/support/currency/detail/LdCurrencyResources.h"

#include <cstddef>

namespace ld::detail {

extern const unsigned char kIso3166CountriesJson[];
extern const std::size_t kIso3166CountriesJsonSize;
extern const unsigned char kIso4217ThreeMinorUnits[];
extern const std::size_t kIso4217ThreeMinorUnitsSize;

std::string_view iso3166CountriesJson() {
    return {reinterpret_cast<const char*>(kIso3166CountriesJson), kIso3166CountriesJsonSize};
}

std::string_view iso4217ThreeMinorUnitsTable() {
    return {reinterpret_cast<const char*>(kIso4217ThreeMinorUnits), kIso4217ThreeMinorUnitsSize};
}

}  // namespace ld::detail
