// A point in time, counted in seconds from the reference date 2001-01-01 00:00:00 UTC, the epoch the stored
// dates of a database use.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

class LdDate {
public:
    // Seconds between the Unix epoch (1970-01-01) and the reference date (2001-01-01).
    static constexpr double kReferenceDateUnixSeconds = 978307200.0;

    constexpr LdDate() = default;
    static constexpr LdDate fromReferenceSeconds(double seconds) { return LdDate(seconds); }
    static constexpr LdDate fromUnixSeconds(double seconds) {
        return LdDate(seconds - kReferenceDateUnixSeconds);
    }

    // timeIntervalSinceReferenceDate
    constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
    constexpr double unixSeconds() const { return seconds_ + kReferenceDateUnixSeconds; }

    // dateByAddingTimeInterval:
    constexpr LdDate dateByAddingTimeInterval(double seconds) const {
        return LdDate(seconds_ + seconds);
    }
    // timeIntervalSinceDate:
    constexpr double timeIntervalSinceDate(LdDate other) const { return seconds_ - other.seconds_; }

    // "2001-01-01T00:00:00Z": the UTC form with whole seconds (fractions dropped toward the past); nothing
    // for years outside 1...9999 and for NaN.
    std::optional<std::string> iso8601String() const;

    constexpr auto operator<=>(const LdDate&) const = default;

private:
    constexpr explicit LdDate(double seconds) : seconds_(seconds) {}

    double seconds_ = 0.0;
};
