// Decimal numbers for all money: a mantissa of up to 38 decimal digits, an exponent in -128...127.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// 128-bit unsigned integer; the alias keeps -Wpedantic quiet about the compiler extension.
__extension__ typedef unsigned __int128 LdUInt128;
__extension__ typedef __int128 LdInt128;

// Outcome of a decimal operation. Anything but Ok is a reported result, never an exception.
enum class LdDecimalStatus {
    Ok = 0,
    LossOfPrecision = 1,  // the exact result needed more than 38 digits and was rounded
    Underflow = 2,        // the exponent fell below -128
    Overflow = 3,         // the exponent rose above 127
    DivideByZero = 4,
};

enum class LdRoundingMode {
    Plain = 0,    // half away from zero
    Down = 1,     // toward negative infinity
    Up = 2,       // toward positive infinity
    Bankers = 3,  // half to even
};

// A value type: value * 10^exponent with a mantissa below 10^38, or not-a-number.
class LdDecimal {
public:
    static constexpr int kMaxDigits = 38;
    static constexpr int kMinExponent = -128;
    static constexpr int kMaxExponent = 127;

    // Zero.
    LdDecimal() = default;

    static LdDecimal zero();
    static LdDecimal one();
    static LdDecimal notANumber();
    static LdDecimal fromInt(std::int64_t value);
    // (-1)^negative * mantissa * 10^exponent; past 38 digits rounded (plain) and flagged.
    static LdDecimal fromParts(LdUInt128 mantissa,
                               int exponent,
                               bool negative,
                               LdDecimalStatus* status = nullptr);
    // Invariant text: optional sign, digits, optional "." and digits, optional exponent ("e-3").
    // More than 38 significant digits are rounded (plain). "NaN" reads as not-a-number, so every
    // toString() reads back. Returns nothing for any other text and for values out of range.
    static std::optional<LdDecimal> fromString(std::string_view text);
    // fromString, also telling LossOfPrecision (digits rounded away), Overflow or Underflow (then
    // nothing is returned).
    static std::optional<LdDecimal> fromString(std::string_view text, LdDecimalStatus* status);
    // Through the double's shortest round-trip text, so 0.1 stays 0.1. NaN and infinities give NaN.
    static LdDecimal fromDouble(double value);

    bool isNaN() const;
    bool isZero() const;
    bool isNegative() const;
    LdUInt128 mantissa() const;
    int exponent() const;

    // Invariant "." form without exponent; "NaN" for not-a-number.
    std::string toString() const;
    double toDouble() const;

    // Exact when the result fits 38 digits, else rounded (plain) and flagged LossOfPrecision.
    // Overflow, underflow and division by zero give NaN with their status. A tiny result keeps
    // the digits that fit above 10^-128 (LossOfPrecision); only one that rounds to nothing is
    // Underflow. Sums and products keep their natural exponent (1.10 + 2.00 is 310e-2); quotients
    // drop trailing zeros.
    static LdDecimal add(const LdDecimal& a, const LdDecimal& b, LdDecimalStatus* status = nullptr);
    static LdDecimal subtract(const LdDecimal& a,
                              const LdDecimal& b,
                              LdDecimalStatus* status = nullptr);
    static LdDecimal multiply(const LdDecimal& a,
                              const LdDecimal& b,
                              LdDecimalStatus* status = nullptr);
    static LdDecimal divide(const LdDecimal& a,
                            const LdDecimal& b,
                            LdDecimalStatus* status = nullptr);

    // decimalNumberByRoundingAccordingToBehavior: `scale` digits after the point (a negative scale
    // rounds to tens, hundreds...). A value within the scale comes back unchanged. Status Ok, or
    // Overflow (NaN) when the rounded value leaves the range.
    LdDecimal rounded(int scale,
                      LdRoundingMode mode = LdRoundingMode::Plain,
                      LdDecimalStatus* status = nullptr) const;
    LdDecimal negated() const;
    LdDecimal abs() const;

    LdDecimal operator+(const LdDecimal& other) const { return add(*this, other); }
    LdDecimal operator-(const LdDecimal& other) const { return subtract(*this, other); }
    LdDecimal operator*(const LdDecimal& other) const { return multiply(*this, other); }
    LdDecimal operator/(const LdDecimal& other) const { return divide(*this, other); }
    LdDecimal operator-() const { return negated(); }
    LdDecimal& operator+=(const LdDecimal& other) { return *this = *this + other; }
    LdDecimal& operator-=(const LdDecimal& other) { return *this = *this - other; }

    // compare: by value (2.50 equals 2.5). NaN equals NaN and orders below every number, so the
    // order is total and decimals can key ordered containers.
    std::strong_ordering compare(const LdDecimal& other) const;
    std::strong_ordering operator<=>(const LdDecimal& other) const { return compare(other); }
    bool operator==(const LdDecimal& other) const { return std::is_eq(compare(other)); }

    // Equal values hash alike whatever their exponent.
    std::size_t hash() const;

private:
    // A value already in range (mantissa below 10^38, exponent in -128...127). Zero drops its
    // exponent and sign, so zero is never negative.
    LdDecimal(LdUInt128 mantissa, int exponent, bool negative)
        : mantissa_(mantissa),
          exponent_(mantissa == 0 ? std::int16_t{0} : static_cast<std::int16_t>(exponent)),
          negative_(mantissa != 0 && negative) {}

    // a + b with b's sign given separately, so subtraction needs no negated copy.
    static LdDecimal addSigned(const LdDecimal& a,
                               const LdDecimal& b,
                               bool bNegative,
                               LdDecimalStatus* status);
    // The exact result high:low * 10^exponent (a 256-bit mantissa; `sticky` when nonzero digits
    // were already dropped below it), rounded once to a representable value or NaN.
    static LdDecimal finish(LdUInt128 high,
                            LdUInt128 low,
                            std::int64_t exponent,
                            bool sticky,
                            bool negative,
                            LdDecimalStatus* status);

    LdUInt128 mantissa_ = 0;
    std::int16_t exponent_ = 0;
    bool negative_ = false;
    bool nan_ = false;
};

template <>
struct std::hash<LdDecimal> {
    std::size_t operator()(const LdDecimal& value) const noexcept { return value.hash(); }
};
