// Tests of LdDecimal: worked examples, statuses, text, and randomized checks against independent
// exact arithmetic (scaled 128-bit integers and a digit-string oracle for full 38-digit operands).
#include "core/support/foundation/LdDecimal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

// Lets GoogleTest print decimals in failure messages (GoogleTest looks for this name).
static void PrintTo(  // NOLINT(readability-identifier-naming)
        const LdDecimal& value,
        std::ostream* out) {
    *out << value.toString();
}

namespace {

using Status = LdDecimalStatus;
using Mode = LdRoundingMode;

LdDecimal dec(std::string_view text) {
    const std::optional<LdDecimal> value = LdDecimal::fromString(text);
    EXPECT_TRUE(value.has_value()) << "cannot read " << text;
    return value.value_or(LdDecimal::notANumber());
}

std::string digitsOf(LdUInt128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

std::string textOf(LdInt128 value) {
    return value < 0 ? "-" + digitsOf(static_cast<LdUInt128>(-value))
                     : digitsOf(static_cast<LdUInt128>(value));
}

LdUInt128 powerOfTen(int exponent) {
    LdUInt128 power = 1;
    for (int i = 0; i < exponent; ++i) {
        power *= 10;
    }
    return power;
}

// The value of d as a whole number of 10^exponent units, when it is one and fits.
std::optional<LdInt128> unitsOf(const LdDecimal& d, int exponent) {
    LdUInt128 mantissa = d.mantissa();
    int current = d.exponent();
    if (mantissa == 0) {
        return LdInt128{0};
    }
    for (; current > exponent; --current) {
        if (mantissa > powerOfTen(37)) {
            return std::nullopt;
        }
        mantissa *= 10;
    }
    for (; current < exponent; ++current) {
        if (mantissa % 10 != 0) {
            return std::nullopt;
        }
        mantissa /= 10;
    }
    const auto value = static_cast<LdInt128>(mantissa);
    return d.isNegative() ? -value : value;
}

// ---- A digit-string oracle: exact decimals of any length ----

struct BigDecimal {
    bool negative = false;
    std::string digits;  // most significant first, no leading zeros; empty for zero
    int exponent = 0;
};

BigDecimal trimmed(BigDecimal value) {
    const std::size_t first = value.digits.find_first_not_of('0');
    value.digits.erase(0, first == std::string::npos ? value.digits.size() : first);
    while (!value.digits.empty() && value.digits.back() == '0') {
        value.digits.pop_back();
        ++value.exponent;
    }
    if (value.digits.empty()) {
        value = BigDecimal{};
    }
    return value;
}

BigDecimal bigOf(const LdDecimal& d) {
    return trimmed({d.isNegative(), digitsOf(d.mantissa()), d.exponent()});
}

bool lessMagnitude(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// Same-length digit strings: a + b or a - b (a >= b).
std::string addDigits(const std::string& a, const std::string& b, bool subtract) {
    std::string result(a.size() + 1, '0');
    int carry = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        int digit = (a[i] - '0') + (subtract ? -(b[i] - '0') : (b[i] - '0')) + carry;
        carry = digit < 0 ? -1 : (digit > 9 ? 1 : 0);
        digit -= carry * 10;
        result[i + 1] = static_cast<char>('0' + digit);
    }
    result[0] = static_cast<char>('0' + carry);
    return result;
}

BigDecimal addBig(const BigDecimal& a, const BigDecimal& b) {
    const int exponent = std::min(a.exponent, b.exponent);
    std::string x = a.digits + std::string(static_cast<std::size_t>(a.exponent - exponent), '0');
    std::string y = b.digits + std::string(static_cast<std::size_t>(b.exponent - exponent), '0');
    const std::size_t width = std::max(x.size(), y.size());
    x.insert(0, width - x.size(), '0');
    y.insert(0, width - y.size(), '0');
    if (a.negative == b.negative) {
        return trimmed({a.negative, addDigits(x, y, false), exponent});
    }
    if (lessMagnitude(x, y)) {
        return trimmed({b.negative, addDigits(y, x, true), exponent});
    }
    return trimmed({a.negative, addDigits(x, y, true), exponent});
}

BigDecimal multiplyBig(const BigDecimal& a, const BigDecimal& b) {
    std::vector<int> product(a.digits.size() + b.digits.size(), 0);
    for (std::size_t i = a.digits.size(); i-- > 0;) {
        for (std::size_t j = b.digits.size(); j-- > 0;) {
            product[i + j + 1] += (a.digits[i] - '0') * (b.digits[j] - '0');
        }
    }
    std::string digits(product.size(), '0');
    int carry = 0;
    for (std::size_t i = product.size(); i-- > 0;) {
        const int sum = product[i] + carry;
        digits[i] = static_cast<char>('0' + sum % 10);
        carry = sum / 10;
    }
    return trimmed({a.negative != b.negative, digits, a.exponent + b.exponent});
}

// Rounds half away from zero to 38 significant digits; tells whether anything was dropped.
BigDecimal roundBig(BigDecimal value, bool& inexact) {
    inexact = false;
    if (value.digits.size() <= 38) {
        return value;
    }
    const std::size_t dropped = value.digits.size() - 38;
    const bool up = value.digits[38] >= '5';
    inexact = value.digits.find_first_not_of('0', 38) != std::string::npos;
    std::string kept = value.digits.substr(0, 38);
    if (up) {
        kept = addDigits("0" + kept, std::string(38, '0') + "1", false);
    }
    return trimmed({value.negative, kept, value.exponent + static_cast<int>(dropped)});
}

std::string describe(const BigDecimal& value) {
    return (value.negative ? "-" : "") + (value.digits.empty() ? "0" : value.digits) + "e" +
           std::to_string(value.exponent);
}

// A random operand of the shape that finds carry and alignment faults: random digits, all nines,
// a power of ten, or a five followed by zeros.
LdDecimal randomWideOperand(std::mt19937_64& random, int minExponent, int maxExponent) {
    const auto length = static_cast<std::size_t>(random() % 38 + 1);
    std::string digits;
    switch (random() % 4) {
        case 0:
            digits = std::string(length, '9');
            break;
        case 1:
            digits = "1" + std::string(length - 1, '0');
            break;
        case 2:
            digits = "5" + std::string(length - 1, '0');
            break;
        default:
            for (std::size_t i = 0; i < length; ++i) {
                digits += static_cast<char>('0' + random() % 10);
            }
    }
    LdUInt128 mantissa = 0;
    for (const char c : digits) {
        mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
    }
    const int span = maxExponent - minExponent + 1;
    const int exponent = minExponent + static_cast<int>(random() % static_cast<unsigned>(span));
    return LdDecimal::fromParts(mantissa, exponent, random() % 2 == 0);
}

// ---- Arithmetic ----

TEST(LdDecimalTest, AdditionOfAmountsIsExact) {
    Status status = Status::LossOfPrecision;
    EXPECT_EQ(LdDecimal::add(dec("0.1"), dec("0.2"), &status), dec("0.3"));
    EXPECT_EQ(status, Status::Ok);

    const LdDecimal sum = LdDecimal::fromParts(123456, -2, false) + dec("78.90");
    EXPECT_EQ(sum.mantissa(), 131346U);
    EXPECT_EQ(sum.exponent(), -2);
    EXPECT_EQ((dec("1234.5") + dec("0.0789")).toString(), "1234.5789");
    EXPECT_EQ((dec("-10") + dec("2.5")).toString(), "-7.5");
    EXPECT_EQ((dec("10") - dec("12.25")).toString(), "-2.25");
}

TEST(LdDecimalTest, DifferenceOfEqualValuesIsUnsignedZero) {
    const LdDecimal difference = dec("-2.5") - dec("-2.50");
    EXPECT_TRUE(difference.isZero());
    EXPECT_FALSE(difference.isNegative());
    EXPECT_EQ(difference.toString(), "0");
    EXPECT_FALSE(dec("-0").isNegative());
    EXPECT_FALSE((dec("0") * dec("-3")).isNegative());
    EXPECT_EQ(-LdDecimal::zero(), LdDecimal::zero());
}

TEST(LdDecimalTest, CarryPastThirtyEightNinesStaysExact) {
    const LdDecimal nines = dec(std::string(38, '9'));
    Status status = Status::LossOfPrecision;
    EXPECT_EQ(LdDecimal::add(nines, LdDecimal::one(), &status).toString(),
              "1" + std::string(38, '0'));
    EXPECT_EQ(status, Status::Ok);

    EXPECT_EQ(LdDecimal::add(nines, dec("0.5"), &status).toString(), "1" + std::string(38, '0'));
    EXPECT_EQ(status, Status::LossOfPrecision);
}

TEST(LdDecimalTest, AlignedSumsRoundTheExactResult) {
    // 10^38 - 0.5 is 38 nines and a half: it rounds up. A hair more taken away rounds down, which
    // only shows when the digits below the rounding digit are kept as well.
    Status status = Status::Ok;
    EXPECT_EQ(LdDecimal::subtract(dec("1e38"), dec("0.5"), &status), dec("1e38"));
    EXPECT_EQ(status, Status::LossOfPrecision);
    EXPECT_EQ(LdDecimal::subtract(dec("1e38"), dec("0.50000000001"), &status),
              dec(std::string(38, '9')));
    EXPECT_EQ(status, Status::LossOfPrecision);
    EXPECT_EQ(dec("1e37") + dec("0.50000000000000000000000000000000000000001"),
              dec("10000000000000000000000000000000000001"));

    // Operands far apart: the smaller one only makes the result inexact.
    EXPECT_EQ(LdDecimal::add(dec("1e100"), dec("1e-100"), &status), dec("1e100"));
    EXPECT_EQ(status, Status::LossOfPrecision);
    EXPECT_EQ(LdDecimal::subtract(dec("1e100"), dec("1e-100"), &status), dec("1e100"));
    EXPECT_EQ(status, Status::LossOfPrecision);
}

TEST(LdDecimalTest, MultiplicationAndDivisionExamples) {
    EXPECT_EQ((dec("1234.56") * dec("1.19")).toString(), "1469.1264");
    EXPECT_EQ((dec("-0.5") * dec("0.5")).toString(), "-0.25");

    Status status = Status::Ok;
    EXPECT_EQ(LdDecimal::divide(LdDecimal::one(), dec("3"), &status).toString(),
              "0." + std::string(38, '3'));
    EXPECT_EQ(status, Status::LossOfPrecision);
    EXPECT_EQ((dec("-2") / dec("3")).toString(), "-0." + std::string(37, '6') + "7");
    EXPECT_EQ((dec("1e10") / dec("3")).toString(),
              std::string(10, '3') + "." + std::string(28, '3'));

    const LdDecimal quarter = LdDecimal::divide(dec("10"), dec("4"), &status);
    EXPECT_EQ(status, Status::Ok);
    EXPECT_EQ(quarter.mantissa(), 25U);  // exact quotients drop their trailing zeros
    EXPECT_EQ(quarter.exponent(), -1);
    EXPECT_EQ(dec("1e127") / dec("0.1"), LdDecimal::fromParts(10, 127, false));
}

// ---- Statuses: overflow, underflow, division by zero, NaN ----

TEST(LdDecimalTest, OverflowOnlyWhenTheMantissaHasNoRoomLeft) {
    Status status = Status::Ok;
    const LdDecimal scaledDown = LdDecimal::multiply(dec("1e127"), dec("100"), &status);
    EXPECT_EQ(status, Status::Ok);
    EXPECT_EQ(scaledDown.exponent(), LdDecimal::kMaxExponent);
    EXPECT_EQ(scaledDown.toString(), "1" + std::string(129, '0'));

    const LdDecimal largest = LdDecimal::fromParts(powerOfTen(38) - 1, 127, false);
    EXPECT_TRUE(LdDecimal::multiply(largest, dec("10"), &status).isNaN());
    EXPECT_EQ(status, Status::Overflow);
    EXPECT_TRUE(LdDecimal::add(largest, largest, &status).isNaN());
    EXPECT_EQ(status, Status::Overflow);
    EXPECT_TRUE(LdDecimal::multiply(dec("1e100"), dec("-1e100"), &status).isNaN());
    EXPECT_EQ(status, Status::Overflow);
    EXPECT_TRUE(LdDecimal::fromParts(1, 200, false, &status).isNaN());
    EXPECT_EQ(status, Status::Overflow);
}

TEST(LdDecimalTest, TinyResultsRoundUntilNothingIsLeft) {
    Status status = Status::LossOfPrecision;
    // Trailing zeros are removed before anything is lost.
    EXPECT_EQ(LdDecimal::fromParts(1000, -130, false, &status), dec("1e-127"));
    EXPECT_EQ(status, Status::Ok);
    // Digits below 10^-128 are rounded away.
    EXPECT_EQ(LdDecimal::fromParts(123456, -131, false, &status), dec("123e-128"));
    EXPECT_EQ(status, Status::LossOfPrecision);
    EXPECT_EQ(LdDecimal::fromParts(5, -129, true, &status), dec("-1e-128"));
    EXPECT_EQ(status, Status::LossOfPrecision);
    // Less than half of 10^-128 cannot be represented at all.
    EXPECT_TRUE(LdDecimal::fromParts(4, -129, false, &status).isNaN());
    EXPECT_EQ(status, Status::Underflow);
    EXPECT_TRUE(LdDecimal::divide(dec("1e-128"), dec("10"), &status).isNaN());
    EXPECT_EQ(status, Status::Underflow);
    EXPECT_TRUE(LdDecimal::multiply(dec("1e-100"), dec("1e-100"), &status).isNaN());
    EXPECT_EQ(status, Status::Underflow);
}

TEST(LdDecimalTest, DivisionByZeroGivesNaN) {
    Status status = Status::Ok;
    EXPECT_TRUE(LdDecimal::divide(LdDecimal::one(), LdDecimal::zero(), &status).isNaN());
    EXPECT_EQ(status, Status::DivideByZero);
    EXPECT_TRUE(LdDecimal::divide(LdDecimal::zero(), LdDecimal::zero(), &status).isNaN());
    EXPECT_EQ(status, Status::DivideByZero);
    EXPECT_TRUE(LdDecimal::divide(LdDecimal::zero(), dec("7"), &status).isZero());
    EXPECT_EQ(status, Status::Ok);
}

TEST(LdDecimalTest, NaNPropagatesThroughEveryOperation) {
    const LdDecimal nan = LdDecimal::notANumber();
    const LdDecimal two = dec("2");
    for (const LdDecimal& result :
         {nan + two, two + nan, nan - two, two - nan, nan * two, two * nan, nan / two, two / nan,
          nan.rounded(2), -nan, nan.abs(), LdDecimal::fromDouble(std::nan(""))}) {
        EXPECT_TRUE(result.isNaN());
    }
    EXPECT_FALSE(nan.isZero());
    EXPECT_FALSE(nan.isNegative());
    EXPECT_EQ(nan.toString(), "NaN");
    EXPECT_TRUE(std::isnan(nan.toDouble()));
}

// ---- Rounding ----

TEST(LdDecimalTest, RoundingModesAtScaleTwo) {
    struct Case {
        const char* value;
        Mode mode;
        const char* expected;
    };
    const Case cases[] = {
            {"2.345", Mode::Plain, "2.35"},    {"-2.345", Mode::Plain, "-2.35"},
            {"2.344", Mode::Plain, "2.34"},    {"2.345", Mode::Bankers, "2.34"},
            {"2.355", Mode::Bankers, "2.36"},  {"-2.345", Mode::Bankers, "-2.34"},
            {"2.3451", Mode::Bankers, "2.35"}, {"2.341", Mode::Up, "2.35"},
            {"-2.341", Mode::Up, "-2.34"},     {"2.349", Mode::Down, "2.34"},
            {"-2.341", Mode::Down, "-2.35"},   {"0.004", Mode::Plain, "0"},
            {"0.005", Mode::Plain, "0.01"},    {"0.0001", Mode::Up, "0.01"},
            {"-0.0001", Mode::Up, "0"},        {"1e-100", Mode::Up, "0.01"},
            {"-1e-100", Mode::Down, "-0.01"},  {"9.999", Mode::Plain, "10"},
    };
    for (const Case& c : cases) {
        const LdDecimal result = dec(c.value).rounded(2, c.mode);
        EXPECT_EQ(result.toString(), c.expected) << c.value << " mode " << static_cast<int>(c.mode);
        EXPECT_FALSE(result.isZero() && result.isNegative());
    }
}

TEST(LdDecimalTest, RoundingKeepsValuesWithinTheScale) {
    const LdDecimal value = dec("2.345");
    for (const int scale : {3, 4, 20, 1000}) {
        const LdDecimal result = value.rounded(scale, Mode::Plain);
        EXPECT_EQ(result.mantissa(), 2345U);
        EXPECT_EQ(result.exponent(), -3);
    }
}

TEST(LdDecimalTest, RoundingToNegativeScales) {
    EXPECT_EQ(dec("1234.5").rounded(-2).toString(), "1200");
    EXPECT_EQ(dec("1250").rounded(-2, Mode::Bankers).toString(), "1200");
    EXPECT_EQ(dec("1350").rounded(-2, Mode::Bankers).toString(), "1400");
    EXPECT_EQ(dec("-1201").rounded(-2, Mode::Down).toString(), "-1300");
    EXPECT_EQ(dec("49").rounded(-2).toString(), "0");
    EXPECT_EQ(dec("5e126").rounded(-127), dec("1e127"));
    EXPECT_EQ(dec("9e127").rounded(-128), dec("1e128"));

    Status status = Status::Ok;
    EXPECT_TRUE(dec("9e127").rounded(-200, Mode::Up, &status).isNaN());
    EXPECT_EQ(status, Status::Overflow);
}

// ---- Randomized checks against exact integer arithmetic ----

// Operands of up to 18 digits with exponents -4...2; every value is then a whole number of 10^-4
// units that fits a signed 128-bit integer, so sums, comparisons and roundings are checked exactly.
TEST(LdDecimalTest, MatchesScaledIntegerArithmetic) {
    constexpr int kUnitExponent = -4;
    std::mt19937_64 random(20240611);
    const auto randomOperand = [&random](LdInt128& units) {
        const int length = static_cast<int>(random() % 18) + 1;
        const auto mantissa = static_cast<std::uint64_t>(
                random() % static_cast<std::uint64_t>(powerOfTen(length)));
        const int exponent = kUnitExponent + static_cast<int>(random() % 7);
        const bool negative = random() % 2 == 0;
        units = static_cast<LdInt128>(mantissa * powerOfTen(exponent - kUnitExponent));
        units = negative ? -units : units;
        return LdDecimal::fromParts(mantissa, exponent, negative);
    };
    const auto floorDivide = [](LdInt128 value, LdInt128 divisor) {
        const LdInt128 quotient = value / divisor;
        return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
    };

    for (int i = 0; i < 4000; ++i) {
        LdInt128 x = 0;
        LdInt128 y = 0;
        const LdDecimal a = randomOperand(x);
        const LdDecimal b = randomOperand(y);
        SCOPED_TRACE(a.toString() + " and " + b.toString());
        Status status = Status::LossOfPrecision;

        EXPECT_EQ(unitsOf(LdDecimal::add(a, b, &status), kUnitExponent), x + y);
        EXPECT_EQ(status, Status::Ok);
        EXPECT_EQ(unitsOf(LdDecimal::subtract(a, b, &status), kUnitExponent), x - y);
        EXPECT_EQ(status, Status::Ok);
        // Products have up to 36 digits: compare them as units of 10^(ea + eb).
        const LdDecimal product = LdDecimal::multiply(a, b, &status);
        EXPECT_EQ(status, Status::Ok);
        const int productExponent = a.exponent() + b.exponent();
        const auto productUnits = static_cast<LdInt128>(a.mantissa() * b.mantissa());
        EXPECT_EQ(unitsOf(product, productExponent),
                  a.isNegative() != b.isNegative() ? -productUnits : productUnits);

        EXPECT_EQ(a < b, x < y);
        EXPECT_EQ(a == b, x == y);
        EXPECT_EQ(b <= a, y <= x);

        const int scale = static_cast<int>(random() % 7) - 2;  // -2...4
        const auto unit = static_cast<LdInt128>(powerOfTen(-kUnitExponent - scale));
        const LdInt128 down = floorDivide(x, unit) * unit;
        const LdInt128 up = down == x ? x : down + unit;
        const LdInt128 twiceRest = 2 * (x - down);
        const LdInt128 bankers =
                twiceRest < unit
                        ? down
                        : (twiceRest > unit ? up : (floorDivide(x, unit) % 2 == 0 ? down : up));
        const LdInt128 plainMagnitude = floorDivide((x < 0 ? -x : x) + unit / 2, unit) * unit;
        const LdInt128 plain = x < 0 ? -plainMagnitude : plainMagnitude;
        SCOPED_TRACE("scale " + std::to_string(scale));
        EXPECT_EQ(unitsOf(a.rounded(scale, Mode::Down), kUnitExponent), down) << textOf(down);
        EXPECT_EQ(unitsOf(a.rounded(scale, Mode::Up), kUnitExponent), up) << textOf(up);
        EXPECT_EQ(unitsOf(a.rounded(scale, Mode::Plain), kUnitExponent), plain) << textOf(plain);
        EXPECT_EQ(unitsOf(a.rounded(scale, Mode::Bankers), kUnitExponent), bankers)
                << textOf(bankers);
    }
}

// Checks a + b, a - b and a * b against the exact value rounded once to 38 digits.
void expectRoundedExactly(const LdDecimal& a, const LdDecimal& b) {
    SCOPED_TRACE(a.toString() + " and " + b.toString());
    const BigDecimal x = bigOf(a);
    const BigDecimal y = bigOf(b);
    BigDecimal negatedY = y;
    negatedY.negative = !y.negative && !y.digits.empty();
    const struct {
        const char* name;
        LdDecimal (*operation)(const LdDecimal&, const LdDecimal&, LdDecimalStatus*);
        BigDecimal exact;
    } checks[] = {
            {"add", &LdDecimal::add, addBig(x, y)},
            {"subtract", &LdDecimal::subtract, addBig(x, negatedY)},
            {"multiply", &LdDecimal::multiply, multiplyBig(x, y)},
    };
    for (const auto& check : checks) {
        if (check.operation == &LdDecimal::multiply && std::abs(a.exponent() + b.exponent()) > 80) {
            continue;  // products that far out may leave the exponent range
        }
        bool inexact = false;
        const BigDecimal expected = roundBig(check.exact, inexact);
        Status status = Status::Ok;
        const BigDecimal actual = bigOf(check.operation(a, b, &status));
        EXPECT_EQ(describe(actual), describe(expected)) << check.name;
        EXPECT_EQ(status, inexact ? Status::LossOfPrecision : Status::Ok) << check.name;
    }
}

// Full 38-digit operands, exponents far enough apart to reach every alignment path.
TEST(LdDecimalTest, WideOperandsRoundLikeExactArithmetic) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 6000; ++i) {
        LdDecimal a = randomWideOperand(random, -20, 20);
        LdDecimal b = randomWideOperand(random, -100, 100);
        if (random() % 2 == 0) {
            std::swap(a, b);
        }
        expectRoundedExactly(a, b);
    }
}

// Operands at the edges of the aligned paths: scaled sums close to 2^128, and scaled operands of
// 77 and 78 digits next to a 38-digit one.
TEST(LdDecimalTest, AlignmentBoundariesRoundLikeExactArithmetic) {
    const LdUInt128 all = ~LdUInt128{0};
    const LdDecimal nines = LdDecimal::fromParts(powerOfTen(38) - 1, -10, true);
    for (int shift = 1; shift <= 38; ++shift) {
        for (const LdUInt128 high : {(all >> 1) / powerOfTen(shift), all / powerOfTen(shift),
                                     all / powerOfTen(shift) - 1}) {
            const LdDecimal a =
                    LdDecimal::fromParts(std::min(high, powerOfTen(38) - 1), shift, false);
            expectRoundedExactly(a, LdDecimal::fromParts(powerOfTen(38) - 1, 0, false));
            expectRoundedExactly(a, LdDecimal::fromParts(powerOfTen(38) - 1, 0, true));
        }
    }
    for (int shift = 36; shift <= 42; ++shift) {
        expectRoundedExactly(LdDecimal::fromParts(powerOfTen(37), shift - 10, false), nines);
        expectRoundedExactly(LdDecimal::fromParts(powerOfTen(38) - 1, shift - 10, false), nines);
        expectRoundedExactly(LdDecimal::fromParts(5, shift + 27, false), nines);
    }
}

// Quotients checked against digit-by-digit long division (divisors below 10^37 keep the running
// remainder times ten within 128 bits); large divisors take the two-limb division path.
TEST(LdDecimalTest, DivisionMatchesLongDivision) {
    std::mt19937_64 random(99);
    for (int i = 0; i < 3000; ++i) {
        const LdDecimal a = randomWideOperand(random, -20, 20);
        LdDecimal b = randomWideOperand(random, -20, 20);
        if (a.isZero() || b.isZero()) {
            continue;
        }
        if (b.mantissa() >= powerOfTen(37)) {
            b = LdDecimal::fromParts(b.mantissa() / 10, b.exponent(), b.isNegative());
        }
        SCOPED_TRACE(a.toString() + " / " + b.toString());
        const LdUInt128 divisor = b.mantissa();
        std::string digits = digitsOf(a.mantissa() / divisor);
        LdUInt128 remainder = a.mantissa() % divisor;
        int fractionDigits = 0;
        while (digits.size() - std::min(digits.size(), digits.find_first_not_of('0')) < 39) {
            remainder *= 10;
            digits += static_cast<char>('0' + static_cast<int>(remainder / divisor));
            remainder %= divisor;
            ++fractionDigits;
        }
        bool inexact = false;
        const BigDecimal expected =
                roundBig(trimmed({a.isNegative() != b.isNegative(), digits,
                                  a.exponent() - b.exponent() - fractionDigits}),
                         inexact);
        Status status = Status::Ok;
        const LdDecimal quotient = LdDecimal::divide(a, b, &status);
        EXPECT_EQ(describe(bigOf(quotient)), describe(expected));
        EXPECT_EQ(status, inexact || remainder != 0 ? Status::LossOfPrecision : Status::Ok);
    }
}

// ---- Comparison and hashing ----

TEST(LdDecimalTest, EqualValuesCompareAndHashAlike) {
    const LdDecimal pairs[][2] = {
            {dec("2.50"), dec("2.5")},
            {dec("100"), LdDecimal::fromParts(1, 2, false)},
            {dec("-0.0"), LdDecimal::zero()},
            {LdDecimal::fromParts(10, 127, false), dec("1e128")},
            {LdDecimal::notANumber(), LdDecimal::notANumber()},
    };
    for (const auto& pair : pairs) {
        EXPECT_EQ(pair[0], pair[1]);
        EXPECT_EQ(pair[0].hash(), pair[1].hash()) << pair[0].toString();
    }
    const std::unordered_set<LdDecimal> amounts = {dec("1.10"), dec("1.1"), dec("1.100")};
    EXPECT_EQ(amounts.size(), 1U);
}

TEST(LdDecimalTest, OrderIsTotalWithNaNFirst) {
    const std::vector<LdDecimal> ascending = {LdDecimal::notANumber(),
                                              dec("-1e127"),
                                              dec("-10"),
                                              dec("-9.99"),
                                              dec("-1e-128"),
                                              LdDecimal::zero(),
                                              dec("1e-128"),
                                              dec("0.1"),
                                              dec("0.11"),
                                              dec("1"),
                                              dec("99999999999999999999999999999999999999"),
                                              dec("1e38"),
                                              dec("1e127")};
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            EXPECT_EQ(ascending[i] <=> ascending[j], i <=> j)
                    << ascending[i].toString() << " vs " << ascending[j].toString();
        }
    }
    const std::set<LdDecimal> sorted(ascending.rbegin(), ascending.rend());
    EXPECT_TRUE(std::equal(sorted.begin(), sorted.end(), ascending.begin()));
}

// ---- Text ----

TEST(LdDecimalTest, ReadsEveryInvariantForm) {
    const std::pair<std::string, std::string> cases[] = {
            {"0", "0"},
            {"-0", "0"},
            {"+7", "7"},
            {".5", "0.5"},
            {"5.", "5"},
            {"-.25", "-0.25"},
            {"007.50", "7.5"},
            {"1e3", "1000"},
            {"1.5E-3", "0.0015"},
            {"-2.5e+2", "-250"},
            {"0e999999", "0"},
            {"1000e-3", "1"},
            {"NaN", "NaN"},
            {"0.0000001", "0.0000001"},
            {"1e-128", "0." + std::string(127, '0') + "1"},
    };
    for (const auto& [text, expected] : cases) {
        const std::optional<LdDecimal> value = LdDecimal::fromString(text);
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_EQ(value->toString(), expected) << text;
    }
    // An exponent of thousands of digits is read without overflow, and the point's position can
    // bring it back into range.
    EXPECT_EQ(LdDecimal::fromString("0." + std::string(9999, '0') + "1e9999"), dec("0.1"));
}

TEST(LdDecimalTest, RejectsMalformedAndOutOfRangeText) {
    for (const std::string& text : {std::string(),
                                    std::string(" 1"),
                                    std::string("1 "),
                                    std::string("1,5"),
                                    std::string("abc"),
                                    std::string("1e"),
                                    std::string("1e+"),
                                    std::string("--1"),
                                    std::string("+-1"),
                                    std::string("."),
                                    std::string("-"),
                                    std::string("1.2.3"),
                                    std::string("e5"),
                                    std::string("0x10"),
                                    std::string("1e5.5"),
                                    std::string("nan"),
                                    std::string("inf"),
                                    std::string("1e200"),
                                    std::string("1e-200"),
                                    std::string("1e") + std::string(10000, '9'),
                                    std::string("1e-") + std::string(10000, '9'),
                                    std::string("1\0", 2)}) {
        EXPECT_FALSE(LdDecimal::fromString(text).has_value()) << text;
    }
    Status status = Status::Ok;
    EXPECT_EQ(LdDecimal::fromString("1e164", &status),
              LdDecimal::fromParts(powerOfTen(37), 127, false));
    EXPECT_EQ(status, Status::Ok);
    EXPECT_FALSE(LdDecimal::fromString("1e165", &status).has_value());
    EXPECT_EQ(status, Status::Overflow);
    EXPECT_FALSE(LdDecimal::fromString("1e-129", &status).has_value());
    EXPECT_EQ(status, Status::Underflow);
}

TEST(LdDecimalTest, ReadsMoreThanThirtyEightDigitsRounded) {
    Status status = Status::Ok;
    const std::optional<LdDecimal> rounded =
            LdDecimal::fromString("1.234567890123456789012345678901234567850001", &status);
    ASSERT_TRUE(rounded.has_value());
    EXPECT_EQ(rounded->toString(), "1.2345678901234567890123456789012345679");
    EXPECT_EQ(status, Status::LossOfPrecision);

    EXPECT_EQ(LdDecimal::fromString(std::string(38, '9') + "5", &status),
              dec("1" + std::string(39, '0')));
    EXPECT_EQ(status, Status::LossOfPrecision);
    // Zeros past the 38th digit lose nothing.
    EXPECT_EQ(LdDecimal::fromString("1" + std::string(45, '0') + ".000", &status), dec("1e45"));
    EXPECT_EQ(status, Status::Ok);
}

TEST(LdDecimalTest, WritesPlainDecimalText) {
    EXPECT_EQ(dec("0.1").toString(), "0.1");
    EXPECT_EQ(dec("-2.35").toString(), "-2.35");
    EXPECT_EQ(dec("1e38").toString(), "1" + std::string(38, '0'));
    EXPECT_EQ(dec("1e-7").toString(), "0.0000001");
    EXPECT_EQ(LdDecimal::fromParts(250, -2, false).toString(), "2.5");
    EXPECT_EQ(LdDecimal::fromParts(2500, -2, true).toString(), "-25");
    EXPECT_EQ(LdDecimal::fromInt(std::numeric_limits<std::int64_t>::min()).toString(),
              "-9223372036854775808");
    EXPECT_EQ(LdDecimal::fromParts(powerOfTen(38) - 1, -38, false).toString(),
              "0." + std::string(38, '9'));
    // Mantissas past 64 bits, with zeros inside the lower half.
    EXPECT_EQ(LdDecimal::fromParts(12345678901234567890ULL * LdUInt128{1000}, -3, false).toString(),
              "12345678901234567890");
    EXPECT_EQ(LdDecimal::fromParts(powerOfTen(19) * 5 + 7, 0, false).toString(),
              "50000000000000000007");
}

TEST(LdDecimalTest, TextRoundTripsKeepTheValue) {
    std::mt19937_64 random(3);
    for (int i = 0; i < 2000; ++i) {
        const LdDecimal value = randomWideOperand(random, LdDecimal::kMinExponent, 90);
        Status status = Status::LossOfPrecision;
        const std::optional<LdDecimal> back = LdDecimal::fromString(value.toString(), &status);
        ASSERT_TRUE(back.has_value()) << value.toString();
        EXPECT_EQ(*back, value) << value.toString();
        EXPECT_EQ(status, Status::Ok);
    }
    EXPECT_TRUE(LdDecimal::fromString(LdDecimal::notANumber().toString())->isNaN());
}

// ---- Doubles ----

TEST(LdDecimalTest, DoublesConvertThroughShortestText) {
    EXPECT_EQ(LdDecimal::fromDouble(0.1).toString(), "0.1");
    EXPECT_EQ(LdDecimal::fromDouble(3.133).toString(), "3.133");
    EXPECT_EQ(LdDecimal::fromDouble(-1234.5).toString(), "-1234.5");
    EXPECT_EQ(LdDecimal::fromDouble(1e20).toString(), "1" + std::string(20, '0'));
    EXPECT_EQ(LdDecimal::fromDouble(-0.0), LdDecimal::zero());
    EXPECT_FALSE(LdDecimal::fromDouble(-0.0).isNegative());
    for (const double outside : {1e300, -1e300, 1e-300, std::numeric_limits<double>::infinity()}) {
        EXPECT_TRUE(LdDecimal::fromDouble(outside).isNaN()) << outside;
    }

    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> amounts(-1e9, 1e9);
    for (int i = 0; i < 1000; ++i) {
        const double value = amounts(random) * std::pow(10.0, static_cast<int>(random() % 60) - 30);
        EXPECT_EQ(LdDecimal::fromDouble(value).toDouble(), value);
    }
    EXPECT_EQ(dec("0.1").toDouble(), 0.1);
    EXPECT_EQ(dec("-1e-128").toDouble(), -1e-128);
    EXPECT_EQ(dec("12345678901234567890123456789").toDouble(), 12345678901234567890123456789.0);
}

}  // namespace
