// Fuzz target of the amount expression reader. The first byte chooses the locale (even: POSIX with
// "." decimals, odd: German with ","); the rest is the typed text. Besides crashes and sanitizer
// reports it checks that a text reads the same twice, that a split booking is a sum whose partial
// amounts add up to the value, and that a value shown in the locale's form reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/support/formatting/LdCArithmeticNumberFormatter.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const LdCArithmeticNumberFormatter& formatter(bool german) {
    static const LdCArithmeticNumberFormatter kPosix(
            LdCNumberFormatter::standardNumberFormatter("en_US_POSIX"));
    static const LdCArithmeticNumberFormatter kGerman(
            LdCNumberFormatter::standardNumberFormatter("de_DE"));
    return german ? kGerman : kPosix;
}

// Shows every digit of a value, without grouping.
const LdCNumberFormatter& exactFormatter(bool german) {
    static const LdCNumberFormatter kPosix = [] {
        LdCNumberFormatter result("en_US_POSIX");
        result.setUsesGroupingSeparator(false);
        result.setMaximumFractionDigits(LdDecimal::kMaxDigits);
        return result;
    }();
    static const LdCNumberFormatter kGerman = [] {
        LdCNumberFormatter result("de_DE");
        result.setUsesGroupingSeparator(false);
        result.setMaximumFractionDigits(LdDecimal::kMaxDigits);
        return result;
    }();
    return german ? kGerman : kPosix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const bool german = (data[0] & 1U) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto& reader = formatter(german);

    const auto first = reader.evaluate(text);
    const auto second = reader.evaluate(text);
    require(first.value == second.value);
    require(first.partialAmounts == second.partialAmounts);
    if (first.value.isNaN()) {
        return 0;
    }
    if (first.isSplitBooking()) {
        require(first.additionFound && !first.multiplicationFound);
        LdDecimal sum;
        for (const LdDecimal& part : first.partialAmounts) {
            sum += part;
        }
        require(sum == first.value);
    }
    // Values with no more fraction digits than the formatter shows read back as they are.
    if (first.value.exponent() >= -LdDecimal::kMaxDigits) {
        const std::string shown = exactFormatter(german).stringFromNumber(first.value);
        const auto again = reader.evaluate(shown);
        require(again.value == first.value);
    }
    return 0;
}
