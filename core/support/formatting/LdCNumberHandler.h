// LdCNumberHandler: the rounding behaviour of ledger amounts (scale and rounding mode).
#pragma once

#include "core/support/foundation/LdDecimal.h"

// A plain value. Rounding is plain (half away from zero); an inexact result is no failure, while an
// overflow, underflow or division by zero makes the result not-a-number with its status, which is
// how the ledger's decimal arithmetic reports what other platforms raise as exceptions.
struct LdCNumberHandler {
    int scale = 2;
    LdRoundingMode roundingMode = LdRoundingMode::Plain;

    // decimalNumberByRoundingAccordingToBehavior: — `value` rounded to `scale` places.
    LdDecimal roundedNumber(const LdDecimal& value, LdDecimalStatus* status = nullptr) const {
        return value.rounded(scale, roundingMode, status);
    }
};
