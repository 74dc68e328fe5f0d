// LdCArithmeticNumberFormatter: amounts typed as small arithmetic expressions ("10+20+30.5"), and
// the split bookings they reveal.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/LdError.h"
#include "core/support/formatting/LdCNumberFormatter.h"
#include "core/support/foundation/LdDecimal.h"

// Reads texts of numbers, "+", "-" (and the other minus signs and dashes), "*", "/" and brackets
// "([{" "}])" with the usual precedence; a minus before a bracket at the start, "2(3+4)" and
// "(1+1)(2+2)" are understood. Numbers are read with the inner standard formatter, whose settings
// (locale, separators) are this formatter's. Parsing keeps the last text's partial amounts, so one
// formatter serves one thread; `evaluate` is const for shared use.
class LdCArithmeticNumberFormatter {
public:
    // What one text reads as.
    struct Evaluation {
        LdDecimal value = LdDecimal::notANumber();  // not-a-number when the text is none
        bool additionFound = false;
        bool multiplicationFound = false;
        std::vector<LdDecimal> partialAmounts;  // in reading order, signed

        // Whether the text is a split booking: sums and differences only, whose partial amounts
        // add up to the value.
        bool isSplitBooking() const;
    };

    // Over the standard formatter of the current locale.
    LdCArithmeticNumberFormatter();
    // Over the given inner formatter (its settings decide separators).
    explicit LdCArithmeticNumberFormatter(LdCNumberFormatter innerFormatter);

    // The inner standard formatter: change its settings to change this formatter's.
    LdCNumberFormatter& innerFormatter() { return inner_; }
    const LdCNumberFormatter& innerFormatter() const { return inner_; }

    // parseString: — evaluates a text without keeping anything. The empty (or blank) text reads as
    // zero, like the inner formatter's.
    Evaluation evaluate(std::string_view text) const;

    // numberFromString: — the value of the text, or nothing when it is no number. Keeps the
    // partial amounts for geteilteBuchungErkannt and getTeilbuchungen.
    std::optional<LdDecimal> numberFromString(std::string_view text);
    // getObjectValue:forString:range:error: — as numberFromString:, stores the value in `value`;
    // failure carries the description "Can't convert string to number". The range of the original
    // is always the whole text here.
    bool getObjectValue(LdDecimal* value, std::string_view string, LdError* error = nullptr);
    // stringFromNumber: — through the inner formatter.
    std::string stringFromNumber(const LdDecimal& number) const {
        return inner_.stringFromNumber(number);
    }

    // geteilteBuchungErkannt — whether the last text parsed was a split booking.
    bool geteilteBuchungErkannt() const { return last_.isSplitBooking(); }
    // getTeilbuchungen — the partial amounts of the last text parsed, in reading order.
    const std::vector<LdDecimal>& getTeilbuchungen() const { return last_.partialAmounts; }

private:
    LdCNumberFormatter inner_;
    Evaluation last_;
};
