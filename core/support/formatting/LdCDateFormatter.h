// LdCDateFormatter: the fixed date formats of banking messages and the user's locale formats, on
// ICU's SimpleDateFormat.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unicode/uversion.h>

#include "core/support/foundation/LdDate.h"

U_NAMESPACE_BEGIN
class DateFormat;
U_NAMESPACE_END

// A value type: copies are independent. Formatting and reading are const.
class LdCDateFormatter {
public:
    // How much of a date or time a locale format shows.
    enum class Style { None, Short, Medium, Long, Full };

    // A formatter of an ICU pattern ("yyyy-MM-dd") in a locale and time zone.
    LdCDateFormatter(std::string pattern, std::string localeIdentifier, std::string timeZone);
    // A formatter of the locale's own date and time formats of the given styles.
    LdCDateFormatter(Style dateStyle,
                     Style timeStyle,
                     std::string localeIdentifier,
                     std::string timeZone);
    ~LdCDateFormatter();
    LdCDateFormatter(const LdCDateFormatter& other);
    LdCDateFormatter& operator=(const LdCDateFormatter& other);
    LdCDateFormatter(LdCDateFormatter&& other) noexcept;
    LdCDateFormatter& operator=(LdCDateFormatter&& other) noexcept;

    // standardHBCIDateFormatter — "yyyyMMdd", de_DE, UTC.
    static LdCDateFormatter standardHBCIDateFormatter();
    // standardSEPADateFormatter — "yyyy-MM-dd", de_DE, UTC.
    static LdCDateFormatter standardSEPADateFormatter();
    // standardSEPADateTimeFormatter — "yyyy-MM-dd'T'HH:mm:ssZZZZZ" (the offset as "+01:00", "Z"
    // for UTC), de_DE, UTC.
    static LdCDateFormatter standardSEPADateTimeFormatter();
    // createStandard_US_Formatter — "M/d/y", en_US, UTC.
    static LdCDateFormatter createStandard_US_Formatter();
    // standardDateFormatter — the current locale's medium date. The library's days are UTC days,
    // so the locale formatters show UTC unless given another zone.
    static LdCDateFormatter standardDateFormatter();
    // standardDateFormatterWithFullDate — the current locale's full date.
    static LdCDateFormatter standardDateFormatterWithFullDate();
    // standardDateFormatterWithShortTime — the current locale's medium date and short time.
    static LdCDateFormatter standardDateFormatterWithShortTime();

    // stringFromDate: — empty when ICU cannot format.
    std::string stringFromDate(LdDate date) const;
    // dateFromString: — the moment the whole text names, or nothing.
    std::optional<LdDate> dateFromString(std::string_view text) const;

    // The ICU pattern in use (also for the style formatters).
    std::string pattern() const;
    const std::string& localeIdentifier() const { return localeIdentifier_; }
    const std::string& timeZone() const { return timeZone_; }

private:
    std::string localeIdentifier_;
    std::string timeZone_;
    std::unique_ptr<icu::DateFormat> format_;
};
