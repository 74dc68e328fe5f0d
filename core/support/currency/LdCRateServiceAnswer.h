// LdCRateServiceAnswer: reads the rate service's answer to a current-rate request.
#pragma once

#include <optional>

#include "core/support/LdError.h"
#include "core/support/foundation/LdDecimal.h"
#include "core/support/foundation/LdValue.h"

// Class operations only; safe on any thread. The answer is a property list (XML or binary): a
// dictionary whose "table" is an array; exactly one row gives the rate in its "rate" value.
class LdCRateServiceAnswer {
public:
    // Reads the answer's bytes. Returns the rate, greater than zero, or nothing with an error for
    // an unreadable property list, a table without exactly one row or a rate that is missing (read
    // as zero), not a number, or zero or less.
    static std::optional<LdDecimal> rateWithData(const LdData& data, LdError* error = nullptr);

    // The same for an answer already read as a property list.
    static std::optional<LdDecimal> rateWithPropertyList(const LdValue& answer,
                                                         LdError* error = nullptr);

    // The "rate" value as a decimal: a real through its shortest round-trip text, an integer, a
    // decimal or a decimal text; a missing value is zero. Nothing for any other value.
    static std::optional<LdDecimal> decimalFromRateValue(const LdValue* value);
};
