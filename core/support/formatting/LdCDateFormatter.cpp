// Date formats on ICU. Dates are moments, not money, so the double seconds of LdDate are exact
// enough here.
#include "core/support/formatting/LdCDateFormatter.h"

#include <utility>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/stringpiece.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include "core/support/formatting/LdLocale.h"

namespace {

constexpr double kMillisecondsPerSecond = 1000.0;

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

icu::DateFormat::EStyle icuStyle(LdCDateFormatter::Style style) {
    switch (style) {
        case LdCDateFormatter::Style::None:
            return icu::DateFormat::kNone;
        case LdCDateFormatter::Style::Short:
            return icu::DateFormat::kShort;
        case LdCDateFormatter::Style::Medium:
            return icu::DateFormat::kMedium;
        case LdCDateFormatter::Style::Long:
            return icu::DateFormat::kLong;
        case LdCDateFormatter::Style::Full:
            return icu::DateFormat::kFull;
    }
    return icu::DateFormat::kNone;
}

void applyTimeZone(icu::DateFormat* format, const std::string& timeZone) {
    if (format != nullptr) {
        format->adoptTimeZone(icu::TimeZone::createTimeZone(unicode(timeZone)));
        format->setLenient(false);
    }
}

}  // namespace

LdCDateFormatter::LdCDateFormatter(std::string pattern,
                                   std::string localeIdentifier,
                                   std::string timeZone)
    : localeIdentifier_(std::move(localeIdentifier)), timeZone_(std::move(timeZone)) {
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(
            unicode(pattern), icu::Locale(localeIdentifier_.c_str()), status);
    if (U_SUCCESS(status)) {
        format_ = std::move(format);
        applyTimeZone(format_.get(), timeZone_);
    }
}

LdCDateFormatter::LdCDateFormatter(Style dateStyle,
                                   Style timeStyle,
                                   std::string localeIdentifier,
                                   std::string timeZone)
    : localeIdentifier_(std::move(localeIdentifier)), timeZone_(std::move(timeZone)) {
    format_.reset(icu::DateFormat::createDateTimeInstance(icuStyle(dateStyle), icuStyle(timeStyle),
                                                          icu::Locale(localeIdentifier_.c_str())));
    applyTimeZone(format_.get(), timeZone_);
}

LdCDateFormatter::~LdCDateFormatter() = default;

LdCDateFormatter::LdCDateFormatter(const LdCDateFormatter& other)
    : localeIdentifier_(other.localeIdentifier_),
      timeZone_(other.timeZone_),
      format_(other.format_ ? other.format_->clone() : nullptr) {}

LdCDateFormatter& LdCDateFormatter::operator=(const LdCDateFormatter& other) {
    if (this != &other) {
        LdCDateFormatter copy(other);
        *this = std::move(copy);
    }
    return *this;
}

LdCDateFormatter::LdCDateFormatter(LdCDateFormatter&& other) noexcept = default;
LdCDateFormatter& LdCDateFormatter::operator=(LdCDateFormatter&& other) noexcept = default;

LdCDateFormatter LdCDateFormatter::standardHBCIDateFormatter() {
    return {"yyyyMMdd", "de_DE", "UTC"};
}

LdCDateFormatter LdCDateFormatter::standardSEPADateFormatter() {
    return {"yyyy-MM-dd", "de_DE", "UTC"};
}

LdCDateFormatter LdCDateFormatter::standardSEPADateTimeFormatter() {
    return {"yyyy-MM-dd'T'HH:mm:ssZZZZZ", "de_DE", "UTC"};
}

LdCDateFormatter LdCDateFormatter::createStandard_US_Formatter() {
    return {"M/d/y", "en_US", "UTC"};
}

LdCDateFormatter LdCDateFormatter::standardDateFormatter() {
    return {Style::Medium, Style::None, LdLocale::currentLocaleIdentifier(), "UTC"};
}

LdCDateFormatter LdCDateFormatter::standardDateFormatterWithFullDate() {
    return {Style::Full, Style::None, LdLocale::currentLocaleIdentifier(), "UTC"};
}

LdCDateFormatter LdCDateFormatter::standardDateFormatterWithShortTime() {
    return {Style::Medium, Style::Short, LdLocale::currentLocaleIdentifier(), "UTC"};
}

std::string LdCDateFormatter::stringFromDate(LdDate date) const {
    if (format_ == nullptr) {
        return {};
    }
    icu::UnicodeString text;
    format_->format(date.unixSeconds() * kMillisecondsPerSecond, text);
    return utf8(text);
}

std::optional<LdDate> LdCDateFormatter::dateFromString(std::string_view text) const {
    if (format_ == nullptr || text.empty()) {
        return std::nullopt;
    }
    const icu::UnicodeString input = unicode(text);
    icu::ParsePosition position(0);
    const UDate parsed = format_->parse(input, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) {
        return std::nullopt;
    }
    return LdDate::fromUnixSeconds(parsed / kMillisecondsPerSecond);
}

std::string LdCDateFormatter::pattern() const {
    const auto* simple = dynamic_cast<const icu::SimpleDateFormat*>(format_.get());
    if (simple == nullptr) {
        return {};
    }
    icu::UnicodeString pattern;
    simple->toPattern(pattern);
    return utf8(pattern);
}
