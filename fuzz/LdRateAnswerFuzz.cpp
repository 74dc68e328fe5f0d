// Fuzz target of the rate service's answer reader: any input either gives a positive rate or fails
// with an error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/support/currency/LdCRateServiceAnswer.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the entry point libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const LdData input(data, data + size);
    LdError error;
    const std::optional<LdDecimal> rate = LdCRateServiceAnswer::rateWithData(input, &error);
    if (rate) {
        require(!rate->isNaN() && *rate > LdDecimal::zero());
    } else {
        require(error.isSet());
    }
    return 0;
}
