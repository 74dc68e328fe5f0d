// Number formatting on ICU's DecimalFormat. Numbers go in and come out as decimal strings
// (DecimalFormat::format(StringPiece) and Formattable::getDecimalNumber), never as doubles.
#include "core/support/formatting/LdCNumberFormatter.h"

#include <algorithm>
#include <utility>

#include <unicode/dcfmtsym.h>
#include <unicode/decimfmt.h>
#include <unicode/fmtable.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/parsepos.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

#include "core/support/currency/LdCCurrency.h"
#include "core/support/formatting/LdLocale.h"

namespace {

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

bool isBlank(char character) {
    return character == ' ' || character == '\t' || character == '\n' || character == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

LdCNumberFormatter withFractionDigits(LdCNumberFormatter formatter, int minimum, int maximum) {
    formatter.setMinimumFractionDigits(minimum);
    formatter.setMaximumFractionDigits(maximum);
    return formatter;
}

}  // namespace

LdCNumberFormatter::LdCNumberFormatter(std::string localeIdentifier)
    : localeIdentifier_(std::move(localeIdentifier)),
      decimalSeparator_(LdLocale::decimalSeparator(localeIdentifier_)),
      groupingSeparator_(LdLocale::groupingSeparator(localeIdentifier_)) {
    rebuild();
}

LdCNumberFormatter::LdCNumberFormatter()
    : LdCNumberFormatter(LdLocale::currentLocaleIdentifier()) {}

LdCNumberFormatter::~LdCNumberFormatter() = default;

LdCNumberFormatter::LdCNumberFormatter(const LdCNumberFormatter& other)
    : localeIdentifier_(other.localeIdentifier_),
      decimalSeparator_(other.decimalSeparator_),
      groupingSeparator_(other.groupingSeparator_),
      usesGroupingSeparator_(other.usesGroupingSeparator_),
      minimumFractionDigits_(other.minimumFractionDigits_),
      maximumFractionDigits_(other.maximumFractionDigits_),
      minimumIntegerDigits_(other.minimumIntegerDigits_),
      maximumIntegerDigits_(other.maximumIntegerDigits_),
      alwaysShowsDecimalSeparator_(other.alwaysShowsDecimalSeparator_),
      format_(other.format_ ? other.format_->clone() : nullptr) {}

LdCNumberFormatter& LdCNumberFormatter::operator=(const LdCNumberFormatter& other) {
    if (this != &other) {
        LdCNumberFormatter copy(other);
        *this = std::move(copy);
    }
    return *this;
}

LdCNumberFormatter::LdCNumberFormatter(LdCNumberFormatter&& other) noexcept = default;
LdCNumberFormatter& LdCNumberFormatter::operator=(LdCNumberFormatter&& other) noexcept = default;

const LdCNumberHandler& LdCNumberFormatter::standardLedraNumberHandler() {
    static const LdCNumberHandler kHandler{2, LdRoundingMode::Plain};
    return kHandler;
}

const LdCNumberHandler& LdCNumberFormatter::standardLedraNumberHandlerForCurrency(
        const LdCCurrency* currency) {
    static const LdCNumberHandler kThousandthsHandler{3, LdRoundingMode::Plain};
    if (currency != nullptr && currency->subunit_division == 1000) {
        return kThousandthsHandler;
    }
    return standardLedraNumberHandler();
}

LdCNumberFormatter LdCNumberFormatter::standardNumberFormatter() {
    return standardNumberFormatter(LdLocale::currentLocaleIdentifier());
}

LdCNumberFormatter LdCNumberFormatter::standardNumberFormatter(std::string localeIdentifier) {
    return withFractionDigits(LdCNumberFormatter(std::move(localeIdentifier)), 2, 2);
}

LdCNumberFormatter LdCNumberFormatter::standardNumberFormatterForCurrency(
        const LdCCurrency* currency) {
    return standardNumberFormatterForCurrency(currency, LdLocale::currentLocaleIdentifier());
}

LdCNumberFormatter LdCNumberFormatter::standardNumberFormatterForCurrency(
        const LdCCurrency* currency, std::string localeIdentifier) {
    LdCNumberFormatter formatter = standardNumberFormatter(std::move(localeIdentifier));
    if (currency != nullptr && currency->subunit_division == 1000) {
        return withFractionDigits(std::move(formatter), 3, 3);
    }
    return formatter;
}

LdCNumberFormatter LdCNumberFormatter::standard_US_Formatter() {
    LdCNumberFormatter formatter("en_US");
    formatter.setDecimalSeparator(".");
    formatter.setGroupingSeparator(",");
    return withFractionDigits(std::move(formatter), 2, 2);
}

LdCNumberFormatter LdCNumberFormatter::standard_German_Formatter() {
    LdCNumberFormatter formatter("de_DE");
    formatter.setDecimalSeparator(",");
    formatter.setGroupingSeparator(".");
    return withFractionDigits(std::move(formatter), 2, 2);
}

LdCNumberFormatter LdCNumberFormatter::standard_HBCI_Formatter() {
    LdCNumberFormatter formatter("de_DE");
    formatter.setDecimalSeparator(",");
    formatter.setUsesGroupingSeparator(false);
    formatter.setAlwaysShowsDecimalSeparator(true);
    return withFractionDigits(std::move(formatter), 0, 2);
}

LdCNumberFormatter LdCNumberFormatter::stockSharesQuantityFormatter() {
    return withFractionDigits(LdCNumberFormatter(), 0, 8);
}

std::string LdCNumberFormatter::stringFromNumber(const LdDecimal& number) const {
    if (number.isNaN() || format_ == nullptr) {
        return "NaN";
    }
    const std::string digits = number.toString();
    icu::UnicodeString text;
    UErrorCode status = U_ZERO_ERROR;
    format_->format(icu::StringPiece(digits.data(), static_cast<int32_t>(digits.size())), text,
                    nullptr, status);
    if (U_FAILURE(status)) {
        return "NaN";
    }
    return utf8(text);
}

std::optional<LdDecimal> LdCNumberFormatter::numberFromString(std::string_view text) const {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return LdDecimal::zero();
    }
    if (format_ == nullptr) {
        return std::nullopt;
    }
    const icu::UnicodeString input = unicode(text);
    icu::Formattable result;
    icu::ParsePosition position(0);
    format_->parse(input, result, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::StringPiece digits = result.getDecimalNumber(status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::optional<LdDecimal> number = LdDecimal::fromString(
            std::string_view(digits.data(), static_cast<std::size_t>(digits.size())));
    // ICU reads its NaN and infinity symbols too; neither is an amount.
    if (!number || number->isNaN()) {
        return std::nullopt;
    }
    return number;
}

void LdCNumberFormatter::setLocaleIdentifier(std::string localeIdentifier) {
    localeIdentifier_ = std::move(localeIdentifier);
    decimalSeparator_ = LdLocale::decimalSeparator(localeIdentifier_);
    groupingSeparator_ = LdLocale::groupingSeparator(localeIdentifier_);
    rebuild();
}

void LdCNumberFormatter::setDecimalSeparator(std::string separator) {
    decimalSeparator_ = std::move(separator);
    rebuild();
}

void LdCNumberFormatter::setGroupingSeparator(std::string separator) {
    groupingSeparator_ = std::move(separator);
    rebuild();
}

void LdCNumberFormatter::setUsesGroupingSeparator(bool uses) {
    usesGroupingSeparator_ = uses;
    if (format_ != nullptr) {
        format_->setGroupingUsed(uses);
    }
}

void LdCNumberFormatter::setMinimumFractionDigits(int digits) {
    minimumFractionDigits_ = digits;
    maximumFractionDigits_ = std::max(maximumFractionDigits_, digits);
    if (format_ != nullptr) {
        format_->setMinimumFractionDigits(digits);
    }
}

void LdCNumberFormatter::setMaximumFractionDigits(int digits) {
    maximumFractionDigits_ = digits;
    minimumFractionDigits_ = std::min(minimumFractionDigits_, digits);
    if (format_ != nullptr) {
        format_->setMaximumFractionDigits(digits);
    }
}

void LdCNumberFormatter::setMinimumIntegerDigits(int digits) {
    minimumIntegerDigits_ = digits;
    maximumIntegerDigits_ = std::max(maximumIntegerDigits_, digits);
    if (format_ != nullptr) {
        format_->setMinimumIntegerDigits(digits);
    }
}

void LdCNumberFormatter::setMaximumIntegerDigits(int digits) {
    maximumIntegerDigits_ = digits;
    minimumIntegerDigits_ = std::min(minimumIntegerDigits_, digits);
    if (format_ != nullptr) {
        format_->setMaximumIntegerDigits(digits);
    }
}

void LdCNumberFormatter::setAlwaysShowsDecimalSeparator(bool shows) {
    alwaysShowsDecimalSeparator_ = shows;
    if (format_ != nullptr) {
        format_->setDecimalSeparatorAlwaysShown(shows);
    }
}

void LdCNumberFormatter::rebuild() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale locale(localeIdentifier_.c_str());
    std::unique_ptr<icu::NumberFormat> created(
            icu::NumberFormat::createInstance(locale, UNUM_DECIMAL, status));
    auto* decimal = dynamic_cast<icu::DecimalFormat*>(created.get());
    if (U_FAILURE(status) || decimal == nullptr) {
        format_.reset();
        return;
    }
    created.release();
    format_.reset(decimal);

    icu::DecimalFormatSymbols symbols(*format_->getDecimalFormatSymbols());
    const icu::UnicodeString decimalSeparator = unicode(decimalSeparator_);
    const icu::UnicodeString groupingSeparator = unicode(groupingSeparator_);
    symbols.setSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol, decimalSeparator);
    symbols.setSymbol(icu::DecimalFormatSymbols::kMonetarySeparatorSymbol, decimalSeparator);
    symbols.setSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol, groupingSeparator);
    symbols.setSymbol(icu::DecimalFormatSymbols::kMonetaryGroupingSeparatorSymbol,
                      groupingSeparator);
    format_->setDecimalFormatSymbols(symbols);

    format_->setGroupingUsed(usesGroupingSeparator_);
    format_->setMinimumIntegerDigits(minimumIntegerDigits_);
    format_->setMaximumIntegerDigits(maximumIntegerDigits_);
    format_->setMinimumFractionDigits(minimumFractionDigits_);
    format_->setMaximumFractionDigits(maximumFractionDigits_);
    format_->setDecimalSeparatorAlwaysShown(alwaysShowsDecimalSeparator_);
    format_->setRoundingMode(icu::DecimalFormat::kRoundHalfUp);
    // Reading keeps every digit typed; the fraction digits only govern display.
    format_->setParseIntegerOnly(false);
}
