// The derived values of a currency.
#include "core/support/currency/LdCCurrency.h"

int LdCCurrency::countOfSubunitDigits() const {
    switch (subunit_division) {
        case 10:
            return 1;
        case 100:
            return 2;
        case 1000:
            return 3;
        default:
            return 0;
    }
}

std::string LdCCurrency::description() const {
    return iso_code + " - " + name + " [" + symbol + "]";
}
