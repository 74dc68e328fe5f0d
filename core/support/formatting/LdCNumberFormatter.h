// LdCNumberFormatter: decimal numbers as locale texts and back, on ICU's decimal-string entry
// points so that no amount ever passes through a binary float; the standard formatters and rounding
// behaviours of the ledger.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unicode/uversion.h>

#include "core/support/formatting/LdCNumberHandler.h"
#include "core/support/foundation/LdDecimal.h"

U_NAMESPACE_BEGIN
class DecimalFormat;
U_NAMESPACE_END

struct LdCCurrency;

// A decimal-style number formatter. A value type: copies are independent. Formatting and reading
// are const and may run on several threads at once; changing the settings may not.
class LdCNumberFormatter {
public:
    // The formatter of the locale (its separators and grouping), at least 1 and at most 309
    // integer digits, 0 to 3 fraction digits, rounding half away from zero.
    explicit LdCNumberFormatter(std::string localeIdentifier);
    // The formatter of the current locale (LdLocale).
    LdCNumberFormatter();
    ~LdCNumberFormatter();
    LdCNumberFormatter(const LdCNumberFormatter& other);
    LdCNumberFormatter& operator=(const LdCNumberFormatter& other);
    LdCNumberFormatter(LdCNumberFormatter&& other) noexcept;
    LdCNumberFormatter& operator=(LdCNumberFormatter&& other) noexcept;

    // standardLedraNumberHandler — scale 2. Created once and shared.
    static const LdCNumberHandler& standardLedraNumberHandler();
    // standardLedraNumberHandlerForCurrency: — scale 3 for a currency divided into 1000 subunits,
    // else the standard handler (also for no currency). Created once and shared.
    static const LdCNumberHandler& standardLedraNumberHandlerForCurrency(
            const LdCCurrency* currency);

    // standardNumberFormatter (and initWithStandardNumberFormatterSettings) — the current locale's
    // separators and grouping, exactly 2 fraction digits.
    static LdCNumberFormatter standardNumberFormatter();
    // The standard settings for a given locale.
    static LdCNumberFormatter standardNumberFormatter(std::string localeIdentifier);
    // standardNumberFormatterForCurrency: — exactly 3 fraction digits for a currency divided into
    // 1000 subunits, else as the standard formatter.
    static LdCNumberFormatter standardNumberFormatterForCurrency(const LdCCurrency* currency);
    static LdCNumberFormatter standardNumberFormatterForCurrency(const LdCCurrency* currency,
                                                                 std::string localeIdentifier);
    // standard_US_Formatter — "." and ",", exactly 2 fraction digits.
    static LdCNumberFormatter standard_US_Formatter();
    // standard_German_Formatter — "," and ".", exactly 2 fraction digits.
    static LdCNumberFormatter standard_German_Formatter();
    // standard_HBCI_Formatter — "," without grouping, 0 to 2 fraction digits, the decimal separator
    // always shown ("12,").
    static LdCNumberFormatter standard_HBCI_Formatter();
    // stockSharesQuantityFormatter — the current locale's separators, up to 8 fraction digits.
    static LdCNumberFormatter stockSharesQuantityFormatter();

    // stringFromNumber: — the number rounded (half away from zero) to the maximum fraction digits
    // and padded to the minimum. Not-a-number gives "NaN".
    std::string stringFromNumber(const LdDecimal& number) const;
    // numberFromString: — the exact decimal value of the whole text. One leading "+" is dropped and
    // blanks around the text are ignored; the empty text reads as zero. Nothing for any other text
    // (also for a text of which only the beginning is a number).
    std::optional<LdDecimal> numberFromString(std::string_view text) const;

    const std::string& localeIdentifier() const { return localeIdentifier_; }
    // Changing the locale takes its separators and grouping again.
    void setLocaleIdentifier(std::string localeIdentifier);

    const std::string& decimalSeparator() const { return decimalSeparator_; }
    void setDecimalSeparator(std::string separator);
    const std::string& groupingSeparator() const { return groupingSeparator_; }
    void setGroupingSeparator(std::string separator);
    bool usesGroupingSeparator() const { return usesGroupingSeparator_; }
    void setUsesGroupingSeparator(bool uses);
    int minimumFractionDigits() const { return minimumFractionDigits_; }
    void setMinimumFractionDigits(int digits);
    int maximumFractionDigits() const { return maximumFractionDigits_; }
    void setMaximumFractionDigits(int digits);
    int minimumIntegerDigits() const { return minimumIntegerDigits_; }
    void setMinimumIntegerDigits(int digits);
    int maximumIntegerDigits() const { return maximumIntegerDigits_; }
    void setMaximumIntegerDigits(int digits);
    bool alwaysShowsDecimalSeparator() const { return alwaysShowsDecimalSeparator_; }
    void setAlwaysShowsDecimalSeparator(bool shows);

private:
    // Builds the ICU formatter from the settings.
    void rebuild();

    std::string localeIdentifier_;
    std::string decimalSeparator_;
    std::string groupingSeparator_;
    bool usesGroupingSeparator_ = true;
    int minimumFractionDigits_ = 0;
    int maximumFractionDigits_ = 3;
    int minimumIntegerDigits_ = 1;
    int maximumIntegerDigits_ = 309;
    bool alwaysShowsDecimalSeparator_ = false;
    std::unique_ptr<icu::DecimalFormat> format_;
};
