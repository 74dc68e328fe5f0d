// LdLocale: the user's locale for number, date and currency texts, as an ICU locale identifier.
#pragma once

#include <string>
#include <string_view>

// The process's current locale. It comes from the environment (LC_ALL, LC_NUMERIC, LANG, the first
// that is set and not empty) unless the application or a test sets one. Thread-safe.
class LdLocale {
public:
    // The current locale identifier ("de_DE", "en_US_POSIX").
    static std::string currentLocaleIdentifier();
    // Sets the current locale for the process; an empty identifier returns to the environment's.
    static void setCurrentLocaleIdentifier(std::string_view identifier);

    // The locale the environment names, canonical; "en_US_POSIX" when nothing is set.
    static std::string identifierFromEnvironment();
    // A POSIX locale name as an ICU identifier: "de_DE.UTF-8" and "de_DE@euro" give "de_DE",
    // "C" and "POSIX" give "en_US_POSIX" (so "." is the decimal separator), "de-AT" gives "de_AT".
    // The empty text stays empty.
    static std::string canonicalIdentifier(std::string_view name);
    // Whether ICU has data for the locale's language (a made-up name falls back to the root
    // locale).
    static bool isKnownIdentifier(std::string_view identifier);

    // The locale's decimal and grouping separators (UTF-8).
    static std::string decimalSeparator(std::string_view identifier);
    static std::string groupingSeparator(std::string_view identifier);
    // The currency code of the locale's region ("EUR" for de_DE); empty when it has none.
    static std::string currencyCode(std::string_view identifier);
};
