// Speed of LdDecimal on the operations ledgers repeat most: sums of amounts, rounding to cents,
// products with rates. Targets: equal-exponent sums under 10 ns, aligned sums under 30 ns.
#include <benchmark/benchmark.h>

#include "core/support/foundation/LdDecimal.h"

namespace {

LdDecimal amount(LdUInt128 mantissa, int exponent) {
    return LdDecimal::fromParts(mantissa, exponent, false);
}

// 1234.56 + 78.90: both in cents, the common case.
void addEqualExponents(benchmark::State& state) {
    LdDecimal a = amount(123456, -2);
    LdDecimal b = amount(7890, -2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        LdDecimal sum = a + b;
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(addEqualExponents);

// 1234.5 + 0.0789: one operand is scaled by 10^3 first.
void addAligned(benchmark::State& state) {
    LdDecimal a = amount(12345, -1);
    LdDecimal b = amount(789, -4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        LdDecimal sum = a + b;
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(addAligned);

// 1234.56 - 78.9012 with the sign change of the result.
void subtractAligned(benchmark::State& state) {
    LdDecimal a = amount(7890, -2);
    LdDecimal b = amount(12345678, -4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        LdDecimal difference = a - b;
        benchmark::DoNotOptimize(difference);
    }
}
BENCHMARK(subtractAligned);

// Sums of 38-digit operands that need rounding through the 256-bit path.
void addWideRounded(benchmark::State& state) {
    LdDecimal a = LdDecimal::divide(LdDecimal::one(), LdDecimal::fromInt(3));
    LdDecimal b = LdDecimal::divide(LdDecimal::fromInt(200), LdDecimal::fromInt(7));
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        LdDecimal sum = a + b;
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(addWideRounded);

// 1234.56 * 1.19: an amount times a rate.
void multiply(benchmark::State& state) {
    LdDecimal a = amount(123456, -2);
    LdDecimal b = amount(119, -2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        LdDecimal product = a * b;
        benchmark::DoNotOptimize(product);
    }
}
BENCHMARK(multiply);

// 1234.56 / 3: 38-digit quotients.
void divide(benchmark::State& state) {
    LdDecimal a = amount(123456, -2);
    LdDecimal b = amount(3, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        LdDecimal quotient = a / b;
        benchmark::DoNotOptimize(quotient);
    }
}
BENCHMARK(divide);

// Division by a 38-digit divisor (the two-limb long division).
void divideWide(benchmark::State& state) {
    LdDecimal a = amount(123456, -2);
    LdDecimal b = LdDecimal::divide(LdDecimal::one(), LdDecimal::fromInt(7));
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        LdDecimal quotient = a / b;
        benchmark::DoNotOptimize(quotient);
    }
}
BENCHMARK(divideWide);

// 1469.1264 to cents, plain and bankers.
void roundedToCents(benchmark::State& state) {
    LdDecimal value = amount(14691264, -4);
    const auto mode = static_cast<LdRoundingMode>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        LdDecimal result = value.rounded(2, mode);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(roundedToCents)
        ->Arg(static_cast<int>(LdRoundingMode::Plain))
        ->Arg(static_cast<int>(LdRoundingMode::Bankers));

void compareAligned(benchmark::State& state) {
    LdDecimal a = amount(123450, -3);
    LdDecimal b = amount(12346, -2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        bool less = a < b;
        benchmark::DoNotOptimize(less);
    }
}
BENCHMARK(compareAligned);

void hashAmount(benchmark::State& state) {
    LdDecimal value = amount(123450, -2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        std::size_t hash = value.hash();
        benchmark::DoNotOptimize(hash);
    }
}
BENCHMARK(hashAmount);

void textRoundTrip(benchmark::State& state) {
    const LdDecimal value = amount(123456, -2);
    for (auto _ : state) {
        std::optional<LdDecimal> back = LdDecimal::fromString(value.toString());
        benchmark::DoNotOptimize(back);
    }
}
BENCHMARK(textRoundTrip);

}  // namespace

BENCHMARK_MAIN();
