// Speed of reading typed amounts: a plain number, a split booking and a calculation with brackets,
// through the arithmetic formatter (ICU reads every number).
#include <benchmark/benchmark.h>

#include "core/support/formatting/LdCArithmeticNumberFormatter.h"

namespace {

void parse(benchmark::State& state, const char* text) {
    const LdCArithmeticNumberFormatter formatter(
            LdCNumberFormatter::standardNumberFormatter("en_US_POSIX"));
    for (auto _ : state) {
        benchmark::DoNotOptimize(formatter.evaluate(text));
    }
}

void parsePlainNumber(benchmark::State& state) {
    parse(state, "1234.56");
}
BENCHMARK(parsePlainNumber);

void parseSplitBooking(benchmark::State& state) {
    parse(state, "10+20+30.5");
}
BENCHMARK(parseSplitBooking);

void parseBrackets(benchmark::State& state) {
    parse(state, "-(12.50+7.25)*2+100-(20+30)/4");
}
BENCHMARK(parseBrackets);

void formatAmount(benchmark::State& state) {
    const LdCNumberFormatter formatter = LdCNumberFormatter::standardNumberFormatter("de_DE");
    const LdDecimal amount = *LdDecimal::fromString("1234567.891");
    for (auto _ : state) {
        benchmark::DoNotOptimize(formatter.stringFromNumber(amount));
    }
}
BENCHMARK(formatAmount);

}  // namespace
