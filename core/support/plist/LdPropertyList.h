// LdPropertyList: reads and writes property lists, the binary form ("bplist00") and the XML form.
#pragma once

#include <optional>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

// Class operations only; safe on any thread. Readers take untrusted data: malformed, truncated or
// hostile input fails with an error, in time and memory bounded by the input size.
class LdPropertyList {
public:
    enum class Format {
        Binary = 1,
        XML = 2,
    };

    // propertyListWithData:options:format:error:
    // Reads either form (the binary signature decides). Returns the value, or nothing with an
    // error. A set reads as an array. Containers nest at most 64 deep. A 16-byte integer past the
    // signed 64-bit range (written by the platform for large unsigned values) reads as an
    // LdDecimal, so it stays exact.
    static std::optional<LdValue> propertyListWithData(const LdData& data,
                                                       LdError* error = nullptr);
    // The same, and tells which form was read.
    static std::optional<LdValue> propertyListWithData(const LdData& data,
                                                       Format* format,
                                                       LdError* error = nullptr);

    // dataWithPropertyList:format:options:error:
    // Writes `value`; the same value always gives the same bytes. Dictionary keys are written in
    // sorted order. Fails with an error for decimals (no property-list type), nesting past 64
    // levels and strings that are not valid UTF-8; the XML form also refuses null values, strings
    // with characters XML cannot carry and dates outside the years 1...9999, and writes dates with
    // whole seconds.
    static std::optional<LdData> dataWithPropertyList(const LdValue& value,
                                                      Format format,
                                                      LdError* error = nullptr);
};
