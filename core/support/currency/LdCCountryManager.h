// LdCCountryManager: the registry of countries and currencies, built from ISO 3166-1 data and the
// platform's locales, and the amount texts shown with a currency.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/currency/LdCCountry.h"
#include "core/support/currency/LdCCurrency.h"
#include "core/support/formatting/LdCNumberFormatter.h"
#include "core/support/foundation/LdDecimal.h"
#include "core/support/platform/LdSubscription.h"

class LdUserDefaults;

inline constexpr const char* LdAmountStringShouldRedrawNotification =
        "LdAmountStringShouldRedrawNotification";
inline constexpr const char* LdAppSettingsCurrencyPositionInStringsChangedNotification =
        "LdAppSettingsCurrencyPositionInStringsChangedNotification";
inline constexpr const char* LdAppSettingsCurrencyIllustrationTypeChangedNotification =
        "LdAppSettingsCurrencyIllustrationTypeChangedNotification";
inline constexpr const char* LdAppSettingsCurrencyInStringPositionKey =
        "LdAppSettingsCurrencyInStringPositionKey";
inline constexpr const char* LdAppSettingsCurrencyIllustrationTypeKey =
        "LdAppSettingsCurrencyIllustrationTypeKey";

// The registry is built once by the constructor and never changes, so look-ups may run on any
// thread; the returned pointers live as long as the manager (the shared one: the whole process).
// Only the two display flags change, when the application's settings notifications arrive.
class LdCCountryManager {
public:
    // Builds the registry for the user's locale `localeIdentifier` (names are in its language; its
    // region decides currencyForCurrentLocale). The display flags are read from `defaults`
    // (nullptr: symbols after the number).
    explicit LdCCountryManager(std::string localeIdentifier,
                               const LdUserDefaults* defaults = nullptr);
    ~LdCCountryManager();
    LdCCountryManager(const LdCCountryManager&) = delete;
    LdCCountryManager& operator=(const LdCCountryManager&) = delete;

    // sharedManager — the manager of the process, for the current locale (LdLocale) and the
    // standard settings, created on first use.
    static LdCCountryManager& sharedManager();

    const std::string& localeIdentifier() const { return localeIdentifier_; }

    // currencyForIsoCode: — the code is looked up upper-cased; nullptr for an unregistered code.
    const LdCCurrency* currencyForIsoCode(std::string_view isoCode) const;
    // currencyForIsoNum: — the currency with that numeric code (the first in ISO-code order).
    const LdCCurrency* currencyForIsoNum(std::uint32_t isoNum) const;
    // currencyForSymbol: — a currency whose symbol equals the text exactly: the user's locale's
    // own currency when its symbol matches, else the first in ISO-code order.
    const LdCCurrency* currencyForSymbol(std::string_view symbol) const;
    // currencyForCurrentLocale — the currency of the user's locale's region.
    const LdCCurrency* currencyForCurrentLocale() const;
    // Every registered currency in ISO-code order.
    std::vector<const LdCCurrency*> allCurrencies() const;
    // allCurrenciesSortedWithMainCurrency: — sorted by name ignoring case, then "EUR" and "USD" in
    // front and the main currency (if any) before them: none gives EUR, USD, ...; USD gives USD,
    // EUR, ...; CHF gives CHF, EUR, USD, ...
    std::vector<const LdCCurrency*> allCurrenciesSortedWithMainCurrency(
            const LdCCurrency* mainCurrency) const;

    // countryForIsoCode: — by alpha-2 code, either case.
    const LdCCountry* countryForIsoCode(std::string_view isoCode) const;
    // countryForNumericIsoCode:
    const LdCCountry* countryForNumericIsoCode(std::uint32_t numericCode) const;
    // countryForCurrentLocale — the country of the user's locale's region.
    const LdCCountry* countryForCurrentLocale() const;
    // allCountries — in alpha-2 order.
    std::vector<const LdCCountry*> allCountries() const;
    // allCountriesSortedByName — by localized name in the user's locale's collation.
    std::vector<const LdCCountry*> allCountriesSortedByName() const;
    // allCountriesSortedByNameConsideringFavoredCountries — the favoured countries in their order,
    // then the others by name.
    std::vector<const LdCCountry*> allCountriesSortedByNameConsideringFavoredCountries() const;
    // findMatchingCountryForString: — the country whose alpha-2 or alpha-3 code, localized name or
    // ISO 3166 English name equals the text, ignoring case and surrounding blanks; else nullptr.
    const LdCCountry* findMatchingCountryForString(std::string_view text) const;

    // amountStringWithNumber:currency: — the number in the currency's standard format joined by
    // one blank with the currency's symbol (or ISO code), after or before it as the settings say.
    // No number gives the empty text; no currency gives the bare number.
    std::string amountStringWithNumber(const std::optional<LdDecimal>& number,
                                       const LdCCurrency* currency) const;
    // amountStringWithNumber:currencyCode: — as above for a registered code; an unknown code is
    // shown as it is.
    std::string amountStringWithNumber(const std::optional<LdDecimal>& number,
                                       std::string_view currencyCode) const;

    // replacementCurrencyCodes — withdrawn codes and their successors ("LTL" → "EUR").
    static const std::map<std::string, std::string>& replacementCurrencyCodes();
    // favoredCountryCodes — the 21 countries listed first in country choosers.
    static const std::vector<std::string>& favoredCountryCodes();

    bool useSymbolsInsteadOfCodesInStrings() const { return useSymbols_.load(); }
    bool symbolsRight() const { return symbolsRight_.load(); }
    // Re-reads the two display flags and posts LdAmountStringShouldRedrawNotification; runs when
    // one of the application's currency settings notifications arrives.
    void reloadDisplaySettings(const LdUserDefaults& defaults);

private:
    struct Registry;

    void readDisplaySettings(const LdUserDefaults& defaults);

    std::string localeIdentifier_;
    std::unique_ptr<Registry> registry_;
    LdCNumberFormatter hundredthsFormatter_;
    LdCNumberFormatter thousandthsFormatter_;
    std::atomic<bool> useSymbols_{true};
    std::atomic<bool> symbolsRight_{true};
    LdSubscription positionSubscription_;
    LdSubscription illustrationSubscription_;
};
