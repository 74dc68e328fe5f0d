// LdDecimal: decimal arithmetic on a 38-digit mantissa, exact through 256-bit intermediates.
//
// Representation: mantissa_ < 10^38, exponent_ in -128...127, negative_, nan_. Zero is always
// mantissa 0, exponent 0 and not negative; NaN has a zero mantissa too. Sums, differences and
// products keep their natural exponent (1234.56 + 78.90 is 131346e-2), so amounts keep their scale;
// quotients drop trailing zeros. Comparison and hashing work on the value, not the representation.
//
// Every result is computed exactly as a mantissa of up to 77 digits (plus a sticky flag for nonzero
// digits a division left behind) and then rounded once in finish(), half away from zero:
//   - digits are dropped until the mantissa has at most 38 digits and the exponent is -128 or
//     more; a nonzero dropped part makes the status LossOfPrecision. So a tiny result may keep
//     fewer digits (5e-129 becomes 1e-128, inexact);
//   - a nonzero value that rounds to zero cannot be represented at all: Underflow and NaN;
//   - an exponent above 127 is brought down by appending zeros to the mantissa while it has room
//     (1e128 is stored as 10e127); without room: Overflow and NaN.
// Every operation writes its status when asked for one; NaN operands give NaN with status Ok.
#include "core/support/foundation/LdDecimal.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

using U64 = std::uint64_t;

constexpr int kPowerCount = 39;   // 10^0 ... 10^38 fit 128 bits
constexpr int kWideDigits = 77;   // 10^77 < 2^256: the widest exact intermediate
constexpr int kChunkDigits = 19;  // 10^19 < 2^64: one 64-bit division step
// Written exponents saturate here: far past the range, far from overflowing while digits are added.
constexpr std::int64_t kExponentCap = 1'000'000'000'000'000;

constexpr std::array<LdUInt128, kPowerCount> makePowersOfTen() {
    std::array<LdUInt128, kPowerCount> table{};
    table[0] = 1;
    for (std::size_t i = 1; i < table.size(); ++i) {
        table[i] = table[i - 1] * 10;
    }
    return table;
}

constexpr std::array<LdUInt128, kPowerCount> kPow10 = makePowersOfTen();
constexpr LdUInt128 kMantissaLimit = kPow10[LdDecimal::kMaxDigits];

// kMaxScalable[d]: the largest mantissa m with m * 10^d < 2^127, so that adding another mantissa
// (below 10^38 < 2^127) cannot overflow 128 bits.
constexpr std::array<LdUInt128, kPowerCount> makeMaxScalable() {
    std::array<LdUInt128, kPowerCount> table{};
    const LdUInt128 limit = ~LdUInt128{0} >> 1;
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = limit / kPow10[i];
    }
    return table;
}

constexpr std::array<LdUInt128, kPowerCount> kMaxScalable = makeMaxScalable();

// Exact powers of ten as doubles: the range where integer * or / power is correctly rounded.
constexpr std::array<double, 23> kPow10Double = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr LdUInt128 kDoubleExactLimit = LdUInt128{1} << 53;

constexpr U64 low64(LdUInt128 value) {
    return static_cast<U64>(value);
}
constexpr U64 high64(LdUInt128 value) {
    return static_cast<U64>(value >> 64);
}

void setStatus(LdDecimalStatus* status, LdDecimalStatus value) {
    if (status != nullptr) {
        *status = value;
    }
}

// ---- 256-bit unsigned integers, only as wide as the intermediates need ----

struct Wide {
    LdUInt128 hi = 0;
    LdUInt128 lo = 0;
};

constexpr Wide multiplyWide(LdUInt128 a, LdUInt128 b) {
    const LdUInt128 a0 = low64(a);
    const LdUInt128 a1 = high64(a);
    const LdUInt128 b0 = low64(b);
    const LdUInt128 b1 = high64(b);
    const LdUInt128 p00 = a0 * b0;
    const LdUInt128 p01 = a0 * b1;
    const LdUInt128 p10 = a1 * b0;
    const LdUInt128 p11 = a1 * b1;
    const LdUInt128 middle = (p00 >> 64) + low64(p01) + low64(p10);
    return {p11 + (p01 >> 64) + (p10 >> 64) + (middle >> 64), (middle << 64) | low64(p00)};
}

// The low 256 bits of a * b; callers keep the product below 2^256.
constexpr Wide multiplyWide(const Wide& a, LdUInt128 b) {
    Wide product = multiplyWide(a.lo, b);
    product.hi += a.hi * b;
    return product;
}

constexpr Wide addWide(Wide a, LdUInt128 b) {
    a.lo += b;
    if (a.lo < b) {
        ++a.hi;
    }
    return a;
}

// a - b for a >= b.
constexpr Wide subtractWide(Wide a, LdUInt128 b) {
    if (a.lo < b) {
        --a.hi;
    }
    a.lo -= b;
    return a;
}

constexpr bool lessWide(const Wide& a, const Wide& b) {
    return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
}

constexpr std::array<Wide, kWideDigits + 1> makeWidePowersOfTen() {
    std::array<Wide, kWideDigits + 1> table{};
    table[0] = Wide{0, 1};
    for (std::size_t i = 1; i < table.size(); ++i) {
        table[i] = multiplyWide(table[i - 1], 10);
    }
    return table;
}

constexpr std::array<Wide, kWideDigits + 1> kWidePow10 = makeWidePowersOfTen();

int bitLength(LdUInt128 value) {
    if (high64(value) != 0) {
        return 128 - __builtin_clzll(high64(value));
    }
    if (low64(value) != 0) {
        return 64 - __builtin_clzll(low64(value));
    }
    return 0;
}

// Decimal digits of value; 0 for zero. 1233/4096 is just below log10(2), so the estimate from the
// bit length is the digit count or one more, and one comparison with a table settles it.
int digitCount(LdUInt128 value) {
    const int estimate = (bitLength(value) * 1233) >> 12;
    return estimate + (value < kPow10[static_cast<std::size_t>(estimate)] ? 0 : 1);
}

int digitCount(const Wide& value) {
    const int bits = value.hi != 0 ? 128 + bitLength(value.hi) : bitLength(value.lo);
    const int estimate = (bits * 1233) >> 12;
    return estimate + (lessWide(value, kWidePow10[static_cast<std::size_t>(estimate)]) ? 0 : 1);
}

// Divides value by divisor in place; returns the remainder.
U64 divideWide(Wide& value, U64 divisor) {
    std::array<U64, 4> limbs = {low64(value.lo), high64(value.lo), low64(value.hi),
                                high64(value.hi)};
    LdUInt128 remainder = 0;
    for (std::size_t i = limbs.size(); i-- > 0;) {
        const LdUInt128 current = (remainder << 64) | limbs[i];
        limbs[i] = static_cast<U64>(current / divisor);
        remainder = current % divisor;
    }
    value.lo = (LdUInt128{limbs[1]} << 64) | limbs[0];
    value.hi = (LdUInt128{limbs[3]} << 64) | limbs[2];
    return static_cast<U64>(remainder);
}

// Divides numerator by a divisor of two 64-bit limbs (at least 2^64): long division in base 2^64
// with normalised divisor and quotient-digit correction (Knuth's algorithm D). Sets inexact when a
// remainder is left.
Wide divideWideLong(const Wide& numerator, LdUInt128 divisor, bool& inexact) {
    constexpr std::size_t kDivisorLimbs = 2;
    constexpr LdUInt128 kLimbMax = std::numeric_limits<U64>::max();
    const std::array<U64, 4> u = {low64(numerator.lo), high64(numerator.lo), low64(numerator.hi),
                                  high64(numerator.hi)};
    std::size_t m = u.size();  // limbs in use
    while (m > kDivisorLimbs && u[m - 1] == 0) {
        --m;
    }
    // Normalise so the divisor's top bit is set; the numerator gains one limb.
    const int shift = __builtin_clzll(high64(divisor));
    const auto shiftIn = [shift](U64 high, U64 low) {
        return shift == 0 ? high : (high << shift) | (low >> (64 - shift));
    };
    const std::array<U64, 2> vn = {low64(divisor) << shift,
                                   shiftIn(high64(divisor), low64(divisor))};
    std::array<U64, 5> un{};
    un[m] = shift == 0 ? 0 : u[m - 1] >> (64 - shift);
    for (std::size_t i = m - 1; i > 0; --i) {
        un[i] = shiftIn(u[i], u[i - 1]);
    }
    un[0] = u[0] << shift;

    std::array<U64, 4> q{};
    for (std::size_t j = m - kDivisorLimbs + 1; j-- > 0;) {
        const LdUInt128 top = (LdUInt128{un[j + 2]} << 64) | un[j + 1];
        LdUInt128 qhat = top / vn[1];
        LdUInt128 rhat = top - qhat * vn[1];
        while (qhat > kLimbMax || qhat * vn[0] > ((rhat << 64) | un[j])) {
            --qhat;
            rhat += vn[1];
            if (rhat > kLimbMax) {
                break;
            }
        }
        // Multiply and subtract qhat * divisor from the current window.
        LdInt128 borrow = 0;
        LdInt128 difference = 0;
        for (std::size_t i = 0; i < vn.size(); ++i) {
            const LdUInt128 product = qhat * vn[i];
            difference = static_cast<LdInt128>(un[i + j]) - borrow -
                         static_cast<LdInt128>(low64(product));
            un[i + j] = static_cast<U64>(difference);
            borrow = static_cast<LdInt128>(product >> 64) - (difference >> 64);
        }
        difference = static_cast<LdInt128>(un[j + 2]) - borrow;
        un[j + 2] = static_cast<U64>(difference);
        q[j] = static_cast<U64>(qhat);
        // With a two-limb divisor the correction above compares qhat * divisor with the whole
        // three-limb window, so qhat is exact and the subtraction never goes below zero.
        assert(difference >= 0 && "quotient digit too large");
    }
    inexact = (un[0] | un[1]) != 0;
    return {(LdUInt128{q[3]} << 64) | q[2], (LdUInt128{q[1]} << 64) | q[0]};
}

// Where the dropped part of a rounding lies against half a unit of the kept last digit.
enum class Half { Below, Exactly, Above };

// Whether rounding the kept magnitude moves it up by one unit.
bool roundsUp(LdRoundingMode mode, bool negative, bool keptIsOdd, Half half, bool inexact) {
    switch (mode) {
        case LdRoundingMode::Plain:
            return half != Half::Below;
        case LdRoundingMode::Bankers:
            return half == Half::Above || (half == Half::Exactly && keptIsOdd);
        case LdRoundingMode::Down:
            return negative && inexact;
        case LdRoundingMode::Up:
            return !negative && inexact;
    }
    return false;
}

struct Dropped {
    LdUInt128 kept = 0;
    int roundDigit = 0;   // the highest dropped digit
    bool sticky = false;  // any nonzero digit below it
};

// Drops the lowest `count` digits (1...kWideDigits) of value; what is kept must fit 128 bits.
Dropped dropDigits(Wide value, int count, bool sticky) {
    int rest = count - 1;
    while (rest > 0) {
        const int step = std::min(rest, kChunkDigits);
        sticky = divideWide(value, static_cast<U64>(kPow10[static_cast<std::size_t>(step)])) != 0 ||
                 sticky;
        rest -= step;
    }
    const auto roundDigit = static_cast<int>(divideWide(value, 10));
    return {value.lo, roundDigit, sticky};
}

// Removes trailing zeros of mantissa while the exponent stays at most maxExponent.
void stripTrailingZeros(LdUInt128& mantissa, std::int64_t& exponent, std::int64_t maxExponent) {
    if (mantissa == 0) {
        return;
    }
    if (high64(mantissa) == 0) {
        // Amounts fit 64 bits, where division by a constant is a multiplication.
        U64 value = low64(mantissa);
        for (const int step : {16, 8, 4, 2, 1}) {
            const U64 power = low64(kPow10[static_cast<std::size_t>(step)]);
            while (exponent + step <= maxExponent && value % power == 0) {
                value /= power;
                exponent += step;
            }
        }
        mantissa = value;
        return;
    }
    for (const int step : {16, 8, 4, 2, 1}) {
        const LdUInt128 power = kPow10[static_cast<std::size_t>(step)];
        while (exponent + step <= maxExponent && mantissa % power == 0) {
            mantissa /= power;
            exponent += step;
        }
    }
}

std::strong_ordering compareUnsigned(LdUInt128 a, LdUInt128 b) {
    if (a < b) {
        return std::strong_ordering::less;
    }
    return a == b ? std::strong_ordering::equal : std::strong_ordering::greater;
}

std::strong_ordering compareMagnitudes(LdUInt128 a, int aExponent, LdUInt128 b, int bExponent) {
    if (aExponent == bExponent) {
        return compareUnsigned(a, b);
    }
    // The position of the leading digit decides unless it is the same; then aligning the operand
    // with the larger exponent gives it as many digits as the other, so it fits.
    const int aLead = digitCount(a) + aExponent;
    const int bLead = digitCount(b) + bExponent;
    if (aLead != bLead) {
        return aLead <=> bLead;
    }
    if (aExponent > bExponent) {
        return compareUnsigned(a * kPow10[static_cast<std::size_t>(aExponent - bExponent)], b);
    }
    return compareUnsigned(a, b * kPow10[static_cast<std::size_t>(bExponent - aExponent)]);
}

// Writes the digits of value (nonzero, below 10^38); returns their count.
int writeDigits(LdUInt128 value, char* out) {
    constexpr std::size_t kBufferSize = 40;
    if (high64(value) == 0) {
        return static_cast<int>(std::to_chars(out, out + kBufferSize, low64(value)).ptr - out);
    }
    // Below 10^38 the upper part of a split at 10^19 fits 64 bits; the lower part is zero-padded.
    const LdUInt128 chunk = kPow10[kChunkDigits];
    char* end = std::to_chars(out, out + kBufferSize, static_cast<U64>(value / chunk)).ptr;
    char* lowStart = end;
    end = std::to_chars(lowStart, out + kBufferSize, static_cast<U64>(value % chunk)).ptr;
    const auto lowLength = static_cast<int>(end - lowStart);
    std::move_backward(lowStart, end, lowStart + kChunkDigits);
    std::fill(lowStart, lowStart + (kChunkDigits - lowLength), '0');
    return static_cast<int>(lowStart + kChunkDigits - out);
}

U64 mixBits(U64 value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ULL;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebULL;
    value ^= value >> 31;
    return value;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

// ---- Construction ----

LdDecimal LdDecimal::zero() {
    return {};
}

LdDecimal LdDecimal::one() {
    return {1, 0, false};
}

LdDecimal LdDecimal::notANumber() {
    LdDecimal value;
    value.nan_ = true;
    return value;
}

LdDecimal LdDecimal::fromInt(std::int64_t value) {
    const bool negative = value < 0;
    const U64 magnitude = negative ? 0 - static_cast<U64>(value) : static_cast<U64>(value);
    return {magnitude, 0, negative};
}

LdDecimal LdDecimal::fromParts(LdUInt128 mantissa,
                               int exponent,
                               bool negative,
                               LdDecimalStatus* status) {
    return finish(0, mantissa, exponent, false, negative, status);
}

LdDecimal LdDecimal::finish(LdUInt128 high,
                            LdUInt128 low,
                            std::int64_t exponent,
                            bool sticky,
                            bool negative,
                            LdDecimalStatus* status) {
    if (high == 0 && low < kMantissaLimit && exponent >= kMinExponent && exponent <= kMaxExponent) {
        setStatus(status, sticky ? LdDecimalStatus::LossOfPrecision : LdDecimalStatus::Ok);
        return {low, static_cast<int>(exponent), negative};
    }
    if (high == 0 && low == 0) {
        setStatus(status, LdDecimalStatus::Ok);
        return zero();
    }
    const Wide value{high, low};
    const int digits = digitCount(value);
    // One rounding drops enough digits for both limits: 38 digits and the smallest exponent.
    const std::int64_t drop =
            std::max({std::int64_t{digits - kMaxDigits}, kMinExponent - exponent, std::int64_t{0}});
    LdUInt128 mantissa = low;
    bool inexact = sticky;
    if (drop > digits) {
        mantissa = 0;  // below half a unit of 10^-128
    } else if (drop > 0) {
        const Dropped dropped = dropDigits(value, static_cast<int>(drop), sticky);
        mantissa = dropped.kept + (dropped.roundDigit >= 5 ? 1 : 0);
        inexact = dropped.roundDigit != 0 || dropped.sticky;
        exponent += drop;
        if (mantissa == kMantissaLimit) {
            mantissa = kPow10[kMaxDigits - 1];
            ++exponent;
        }
    }
    if (mantissa == 0) {
        setStatus(status, LdDecimalStatus::Underflow);
        return notANumber();
    }
    if (exponent > kMaxExponent) {
        const std::int64_t room = kMaxDigits - digitCount(mantissa);
        const std::int64_t needed = exponent - kMaxExponent;
        if (needed > room) {
            setStatus(status, LdDecimalStatus::Overflow);
            return notANumber();
        }
        mantissa *= kPow10[static_cast<std::size_t>(needed)];
        exponent = kMaxExponent;
    }
    setStatus(status, inexact ? LdDecimalStatus::LossOfPrecision : LdDecimalStatus::Ok);
    return {mantissa, static_cast<int>(exponent), negative};
}

// ---- Text and doubles ----

std::optional<LdDecimal> LdDecimal::fromString(std::string_view text) {
    return fromString(text, nullptr);
}

std::optional<LdDecimal> LdDecimal::fromString(std::string_view text, LdDecimalStatus* status) {
    setStatus(status, LdDecimalStatus::Ok);
    if (text == "NaN") {
        return notANumber();
    }
    std::size_t position = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        ++position;
    }
    // The first 38 significant digits go into the mantissa; of the rest, the first is the rounding
    // digit and the others only matter as being nonzero. `exponent` tracks the point's position.
    LdUInt128 mantissa = 0;
    int significant = 0;
    bool haveDigits = false;
    bool afterPoint = false;
    bool dropped = false;
    int roundDigit = 0;
    bool sticky = false;
    std::int64_t exponent = 0;
    for (; position < text.size(); ++position) {
        const char c = text[position];
        if (c == '.') {
            if (afterPoint) {
                return std::nullopt;
            }
            afterPoint = true;
            continue;
        }
        if (!isDigit(c)) {
            break;
        }
        haveDigits = true;
        const auto digit = static_cast<unsigned>(c - '0');
        if (significant < kMaxDigits) {
            if (significant > 0 || digit != 0) {
                mantissa = mantissa * 10 + digit;
                ++significant;
            }
            exponent -= afterPoint ? 1 : 0;
        } else {
            if (!dropped) {
                dropped = true;
                roundDigit = static_cast<int>(digit);
            } else {
                sticky = sticky || digit != 0;
            }
            exponent += afterPoint ? 0 : 1;
        }
    }
    if (!haveDigits) {
        return std::nullopt;
    }
    if (position < text.size() && (text[position] == 'e' || text[position] == 'E')) {
        ++position;
        bool exponentNegative = false;
        if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
            exponentNegative = text[position] == '-';
            ++position;
        }
        if (position == text.size() || !isDigit(text[position])) {
            return std::nullopt;
        }
        // Saturates, so thousands of exponent digits neither overflow nor pass for a valid value.
        std::int64_t written = 0;
        for (; position < text.size() && isDigit(text[position]); ++position) {
            written = std::min(written * 10 + (text[position] - '0'), kExponentCap);
        }
        exponent += exponentNegative ? -written : written;
    }
    if (position != text.size()) {
        return std::nullopt;
    }
    if (significant == 0) {
        return zero();  // only zeros: zero whatever the exponent
    }
    Wide value{0, mantissa};
    if (dropped) {
        value = addWide(multiplyWide(mantissa, 10), static_cast<unsigned>(roundDigit));
        exponent -= 1;
    }
    LdDecimalStatus outcome = LdDecimalStatus::Ok;
    const LdDecimal result = finish(value.hi, value.lo, exponent, sticky, negative, &outcome);
    setStatus(status, outcome);
    if (outcome == LdDecimalStatus::Overflow || outcome == LdDecimalStatus::Underflow) {
        return std::nullopt;
    }
    return result;
}

LdDecimal LdDecimal::fromDouble(double value) {
    if (!std::isfinite(value)) {
        return notANumber();
    }
    std::array<char, 64> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    if (error != std::errc()) {
        return notANumber();
    }
    const std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    return fromString(text).value_or(notANumber());
}

std::string LdDecimal::toString() const {
    if (nan_) {
        return "NaN";
    }
    if (mantissa_ == 0) {
        return "0";
    }
    std::array<char, 40> digits{};
    int length = writeDigits(mantissa_, digits.data());
    int exponent = exponent_;
    while (exponent < 0 && digits[static_cast<std::size_t>(length - 1)] == '0') {
        --length;
        ++exponent;
    }
    const std::string_view shown(digits.data(), static_cast<std::size_t>(length));
    std::string text;
    text.reserve(static_cast<std::size_t>(length) + 3 +
                 static_cast<std::size_t>(std::abs(exponent)));
    if (negative_) {
        text += '-';
    }
    if (exponent >= 0) {
        text += shown;
        text.append(static_cast<std::size_t>(exponent), '0');
        return text;
    }
    const int integerDigits = length + exponent;
    if (integerDigits > 0) {
        const auto split = static_cast<std::size_t>(integerDigits);
        text += shown.substr(0, split);
        text += '.';
        text += shown.substr(split);
    } else {
        text += "0.";
        text.append(static_cast<std::size_t>(-integerDigits), '0');
        text += shown;
    }
    return text;
}

double LdDecimal::toDouble() const {
    if (nan_) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double sign = negative_ ? -1.0 : 1.0;
    const int exponent = exponent_;
    if (mantissa_ < kDoubleExactLimit && exponent >= -22 && exponent <= 22) {
        // Both factors are exact doubles, so one multiplication or division rounds correctly.
        const auto mantissa = static_cast<double>(low64(mantissa_));
        const double power = kPow10Double[static_cast<std::size_t>(std::abs(exponent))];
        return sign * (exponent >= 0 ? mantissa * power : mantissa / power);
    }
    std::array<char, 48> text{};
    char* end = text.data() + writeDigits(mantissa_, text.data());
    *end++ = 'e';
    end = std::to_chars(end, text.data() + text.size(), exponent).ptr;
    double value = 0.0;
    if (std::from_chars(text.data(), end, value).ec != std::errc()) {
        return std::numeric_limits<double>::quiet_NaN();  // not reached: the text is always valid
    }
    return sign * value;
}

// ---- Queries ----

bool LdDecimal::isNaN() const {
    return nan_;
}

bool LdDecimal::isZero() const {
    return !nan_ && mantissa_ == 0;
}

bool LdDecimal::isNegative() const {
    return negative_;
}

LdUInt128 LdDecimal::mantissa() const {
    return mantissa_;
}

int LdDecimal::exponent() const {
    return exponent_;
}

// ---- Arithmetic ----

LdDecimal LdDecimal::add(const LdDecimal& a, const LdDecimal& b, LdDecimalStatus* status) {
    return addSigned(a, b, b.negative_, status);
}

LdDecimal LdDecimal::subtract(const LdDecimal& a, const LdDecimal& b, LdDecimalStatus* status) {
    return addSigned(a, b, !b.negative_, status);
}

LdDecimal LdDecimal::addSigned(const LdDecimal& a,
                               const LdDecimal& b,
                               bool bNegative,
                               LdDecimalStatus* status) {
    if (a.nan_ || b.nan_) {
        setStatus(status, LdDecimalStatus::Ok);
        return notANumber();
    }
    if (a.exponent_ == b.exponent_) {
        // Two sums of mantissas below 10^38 stay below 2^128.
        if (a.negative_ == bNegative) {
            const LdUInt128 sum = a.mantissa_ + b.mantissa_;
            if (sum < kMantissaLimit) {
                setStatus(status, LdDecimalStatus::Ok);
                return {sum, a.exponent_, a.negative_};
            }
            return finish(0, sum, a.exponent_, false, a.negative_, status);
        }
        setStatus(status, LdDecimalStatus::Ok);
        if (a.mantissa_ >= b.mantissa_) {
            return {a.mantissa_ - b.mantissa_, a.exponent_, a.negative_};
        }
        return {b.mantissa_ - a.mantissa_, a.exponent_, bNegative};
    }
    if (b.mantissa_ == 0) {
        setStatus(status, LdDecimalStatus::Ok);
        return a;
    }
    if (a.mantissa_ == 0) {
        setStatus(status, LdDecimalStatus::Ok);
        return {b.mantissa_, b.exponent_, bNegative};
    }
    // Align by scaling the operand with the larger exponent up to the other one's exponent.
    const bool aHigher = a.exponent_ > b.exponent_;
    const LdUInt128 high = aHigher ? a.mantissa_ : b.mantissa_;
    const bool highNegative = aHigher ? a.negative_ : bNegative;
    const int highExponent = aHigher ? a.exponent_ : b.exponent_;
    const LdUInt128 low = aHigher ? b.mantissa_ : a.mantissa_;
    const bool lowNegative = aHigher ? bNegative : a.negative_;
    const int lowExponent = aHigher ? b.exponent_ : a.exponent_;
    const int shift = highExponent - lowExponent;

    if (shift < kPowerCount && high <= kMaxScalable[static_cast<std::size_t>(shift)]) {
        const LdUInt128 scaled = high * kPow10[static_cast<std::size_t>(shift)];
        if (highNegative == lowNegative) {
            return finish(0, scaled + low, lowExponent, false, highNegative, status);
        }
        if (scaled >= low) {
            return finish(0, scaled - low, lowExponent, false, highNegative, status);
        }
        return finish(0, low - scaled, lowExponent, false, lowNegative, status);
    }
    if (digitCount(high) + shift <= kWideDigits) {
        // Here scaled exceeds 2^127 - 1 > low, so the difference keeps the high operand's sign.
        const Wide scaled = multiplyWide(kWidePow10[static_cast<std::size_t>(shift)], high);
        const Wide exact =
                highNegative == lowNegative ? addWide(scaled, low) : subtractWide(scaled, low);
        return finish(exact.hi, exact.lo, lowExponent, false, highNegative, status);
    }
    // The scaled operand has at least 78 digits and its lowest `shift` ones are zeros, while the
    // other lies below 10^38: the first dropped digit of the 38-digit result is a 0 (sum) or a 9
    // borrowed through (difference), so the exact result rounds to the larger operand itself.
    setStatus(status, LdDecimalStatus::LossOfPrecision);
    return {high, highExponent, highNegative};
}

LdDecimal LdDecimal::multiply(const LdDecimal& a, const LdDecimal& b, LdDecimalStatus* status) {
    if (a.nan_ || b.nan_) {
        setStatus(status, LdDecimalStatus::Ok);
        return notANumber();
    }
    const bool negative = a.negative_ != b.negative_;
    const int exponent = a.exponent_ + b.exponent_;
    if (high64(a.mantissa_) == 0 && high64(b.mantissa_) == 0) {
        const LdUInt128 product = LdUInt128{low64(a.mantissa_)} * low64(b.mantissa_);
        return finish(0, product, exponent, false, negative, status);
    }
    const Wide product = multiplyWide(a.mantissa_, b.mantissa_);
    return finish(product.hi, product.lo, exponent, false, negative, status);
}

LdDecimal LdDecimal::divide(const LdDecimal& a, const LdDecimal& b, LdDecimalStatus* status) {
    if (a.nan_ || b.nan_) {
        setStatus(status, LdDecimalStatus::Ok);
        return notANumber();
    }
    if (b.mantissa_ == 0) {
        setStatus(status, LdDecimalStatus::DivideByZero);
        return notANumber();
    }
    if (a.mantissa_ == 0) {
        setStatus(status, LdDecimalStatus::Ok);
        return zero();
    }
    // Scale the dividend so the integer quotient has 39 or 40 digits: at least one digit beyond the
    // 38 kept decides the rounding, the remainder only whether it was exact. The scaled dividend
    // has 39 + digits(b) <= 77 digits.
    const int scale = 39 - digitCount(a.mantissa_) + digitCount(b.mantissa_);
    const Wide dividend = multiplyWide(kWidePow10[static_cast<std::size_t>(scale)], a.mantissa_);
    Wide quotient = dividend;
    bool inexact = false;
    if (high64(b.mantissa_) == 0) {
        inexact = divideWide(quotient, low64(b.mantissa_)) != 0;
    } else {
        quotient = divideWideLong(dividend, b.mantissa_, inexact);
    }
    const bool negative = a.negative_ != b.negative_;
    const LdDecimal result =
            finish(quotient.hi, quotient.lo, std::int64_t{a.exponent_} - b.exponent_ - scale,
                   inexact, negative, status);
    if (result.nan_) {
        return result;
    }
    LdUInt128 mantissa = result.mantissa_;
    std::int64_t exponent = result.exponent_;
    stripTrailingZeros(mantissa, exponent, kMaxExponent);
    return {mantissa, static_cast<int>(exponent), negative};
}

LdDecimal LdDecimal::rounded(int scale, LdRoundingMode mode, LdDecimalStatus* status) const {
    const std::int64_t unitExponent = -std::int64_t{scale};
    if (nan_ || mantissa_ == 0 || exponent_ >= unitExponent) {
        setStatus(status, LdDecimalStatus::Ok);
        return *this;
    }
    const std::int64_t drop = unitExponent - exponent_;
    LdUInt128 kept = 0;
    LdUInt128 remainder = mantissa_;
    Half half = Half::Below;  // a mantissa below 10^38 is below half of 10^39 and more
    if (drop < kPowerCount) {
        const LdUInt128 power = kPow10[static_cast<std::size_t>(drop)];
        if (high64(mantissa_) == 0 && drop <= kChunkDigits) {
            // The common case, amounts of a few digits: 64-bit division is much cheaper.
            const U64 value = low64(mantissa_);
            kept = value / low64(power);
            remainder = value % low64(power);
        } else {
            kept = mantissa_ / power;
            remainder = mantissa_ % power;
        }
        const LdUInt128 halfUnit = power / 2;
        half = remainder < halfUnit ? Half::Below
                                    : (remainder == halfUnit ? Half::Exactly : Half::Above);
    }
    if (roundsUp(mode, negative_, (kept & 1) != 0, half, remainder != 0)) {
        ++kept;
    }
    // Rounding itself is no loss; only a unit beyond the exponent range fails (Overflow).
    return finish(0, kept, unitExponent, false, negative_, status);
}

LdDecimal LdDecimal::negated() const {
    if (nan_ || mantissa_ == 0) {
        return *this;
    }
    return {mantissa_, exponent_, !negative_};
}

LdDecimal LdDecimal::abs() const {
    if (nan_) {
        return *this;
    }
    return {mantissa_, exponent_, false};
}

// ---- Comparison and hashing ----

std::strong_ordering LdDecimal::compare(const LdDecimal& other) const {
    if (nan_ || other.nan_) {
        return (nan_ ? 0 : 1) <=> (other.nan_ ? 0 : 1);
    }
    const int sign = mantissa_ == 0 ? 0 : (negative_ ? -1 : 1);
    const int otherSign = other.mantissa_ == 0 ? 0 : (other.negative_ ? -1 : 1);
    if (sign != otherSign || sign == 0) {
        return sign <=> otherSign;
    }
    const std::strong_ordering magnitude =
            compareMagnitudes(mantissa_, exponent_, other.mantissa_, other.exponent_);
    if (sign > 0 || magnitude == std::strong_ordering::equal) {
        return magnitude;
    }
    return magnitude == std::strong_ordering::less ? std::strong_ordering::greater
                                                   : std::strong_ordering::less;
}

std::size_t LdDecimal::hash() const {
    if (nan_) {
        return static_cast<std::size_t>(mixBits(0x7ff8000000000000ULL));
    }
    // Hash the value's shortest form, so 2.50 and 2.5 hash alike.
    LdUInt128 mantissa = mantissa_;
    std::int64_t exponent = exponent_;
    stripTrailingZeros(mantissa, exponent, std::numeric_limits<std::int64_t>::max());
    U64 hash = mixBits(low64(mantissa));
    hash = mixBits(hash ^ high64(mantissa));
    hash = mixBits(hash ^ (static_cast<U64>(exponent) << 1) ^ (negative_ ? 1U : 0U));
    return static_cast<std::size_t>(hash);
}
