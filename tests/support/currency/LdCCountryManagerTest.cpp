#include "core/support/currency/LdCCountryManager.h"

#include <algorithm>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

// Building a registry walks every locale; the tests share one per locale.
const LdCCountryManager& manager(const std::string& locale) {
    static std::map<std::string, std::unique_ptr<LdCCountryManager>> managers;
    auto& entry = managers[locale];
    if (!entry) {
        entry = std::make_unique<LdCCountryManager>(locale);
    }
    return *entry;
}

std::vector<std::string> codes(const std::vector<const LdCCurrency*>& currencies,
                               std::size_t count) {
    std::vector<std::string> result;
    for (std::size_t index = 0; index < count && index < currencies.size(); ++index) {
        result.push_back(currencies[index]->iso_code);
    }
    return result;
}

LdDecimal decimal(const char* text) {
    return *LdDecimal::fromString(text);
}

}  // namespace

TEST(LdCCountryManagerTest, CurrenciesHaveIsoDataAndSubunits) {
    const LdCCountryManager& countries = manager("en_US");
    struct Case {
        const char* code;
        std::uint32_t number;
        std::uint32_t division;
    };
    for (const Case& entry : std::vector<Case>{{"EUR", 978, 100},
                                               {"USD", 840, 100},
                                               {"JPY", 392, 100},
                                               {"KWD", 414, 1000},
                                               {"IQD", 368, 1000},
                                               {"BHD", 48, 1000},
                                               {"JOD", 400, 1000},
                                               {"LYD", 434, 1000},
                                               {"OMR", 512, 1000},
                                               {"TND", 788, 1000},
                                               {"CHF", 756, 100}}) {
        const LdCCurrency* currency = countries.currencyForIsoCode(entry.code);
        ASSERT_NE(currency, nullptr) << entry.code;
        EXPECT_EQ(currency->iso_num, entry.number) << entry.code;
        EXPECT_EQ(currency->subunit_division, entry.division) << entry.code;
        EXPECT_EQ(currency->countOfSubunitDigits(), entry.division == 1000 ? 3 : 2);
    }
    EXPECT_EQ(countries.currencyForIsoCode("eur"), countries.currencyForIsoCode("EUR"));
    EXPECT_EQ(countries.currencyForIsoCode("XYZ"), nullptr);
    EXPECT_EQ(countries.currencyForIsoCode(""), nullptr);
    EXPECT_EQ(countries.currencyForIsoNum(978)->iso_code, "EUR");
    EXPECT_EQ(countries.currencyForIsoNum(1), nullptr);
    EXPECT_EQ(countries.currencyForIsoCode("EUR")->description(), "EUR - Euro [€]");
}

TEST(LdCCountryManagerTest, OverridesReplacementsAndNames) {
    const LdCCountryManager& countries = manager("de_DE");
    EXPECT_EQ(countries.currencyForIsoCode("TWD")->symbol, "NT$");
    EXPECT_EQ(countries.currencyForIsoCode("TWD")->iso_num, 901U);
    EXPECT_EQ(countries.currencyForIsoCode("UAH")->symbol, "₴");
    EXPECT_EQ(countries.currencyForIsoCode("ILS")->iso_num, 376U);
    EXPECT_EQ(countries.currencyForIsoCode("USD")->name, "US-Dollar");

    const auto& replacements = LdCCountryManager::replacementCurrencyCodes();
    EXPECT_EQ(replacements.size(), 9U);
    EXPECT_EQ(replacements.at("LTL"), "EUR");
    EXPECT_EQ(replacements.at("VEF"), "VES");
    for (const auto& [withdrawn, successor] : replacements) {
        EXPECT_EQ(countries.currencyForIsoCode(withdrawn), nullptr) << withdrawn;
        EXPECT_NE(countries.currencyForIsoCode(successor), nullptr) << successor;
    }
}

TEST(LdCCountryManagerTest, SymbolsPreferTheUsersOwnCurrency) {
    EXPECT_EQ(manager("en_US").currencyForSymbol("$")->iso_code, "USD");
    EXPECT_EQ(manager("en_CA").currencyForSymbol("$")->iso_code, "CAD");
    EXPECT_EQ(manager("de_DE").currencyForSymbol("€")->iso_code, "EUR");
    // Not the user's: the first in ISO-code order.
    EXPECT_EQ(manager("de_DE").currencyForSymbol("$")->iso_code, "ARS");
    EXPECT_EQ(manager("de_DE").currencyForSymbol("no symbol"), nullptr);
    EXPECT_EQ(manager("de_DE").currencyForCurrentLocale()->iso_code, "EUR");
    EXPECT_EQ(manager("ja_JP").currencyForCurrentLocale()->iso_code, "JPY");
}

TEST(LdCCountryManagerTest, CountriesFromIso3166AndTheLocale) {
    const LdCCountryManager& countries = manager("de_DE");
    const LdCCountry* germany = countries.countryForIsoCode("de");
    ASSERT_NE(germany, nullptr);
    EXPECT_EQ(germany->localizedName, "Deutschland");
    EXPECT_EQ(germany->isoAlpha3Code, "DEU");
    EXPECT_EQ(germany->isoNumericCode, 276U);
    EXPECT_EQ(germany->currencyCode, "EUR");
    ASSERT_TRUE(germany->currency.has_value());
    EXPECT_EQ(germany->currency->iso_code, "EUR");
    EXPECT_EQ(countries.countryForNumericIsoCode(276), germany);
    EXPECT_EQ(countries.countryForCurrentLocale(), germany);
    EXPECT_EQ(manager("en_US").countryForIsoCode("DE")->localizedName, "Germany");

    for (const char* text : {"DE", "deu", "Deutschland", " germany ", "GERMANY"}) {
        EXPECT_EQ(countries.findMatchingCountryForString(text), germany) << text;
    }
    EXPECT_EQ(countries.findMatchingCountryForString("Atlantis"), nullptr);
    EXPECT_GT(countries.allCountries().size(), 200U);
}

TEST(LdCCountryManagerTest, CountriesSortByCollationWithFavoritesFirst) {
    const auto sorted = manager("en_US").allCountriesSortedByName();
    auto position = [&sorted](const char* code) {
        return std::find_if(sorted.begin(), sorted.end(),
                            [code](const LdCCountry* country) {
                                return country->isoAlpha2Code == code;
                            }) -
               sorted.begin();
    };
    // "Åland Islands" collates as "Aland", between Afghanistan and Albania.
    EXPECT_LT(position("AF"), position("AX"));
    EXPECT_LT(position("AX"), position("AL"));

    const auto favored = manager("en_US").allCountriesSortedByNameConsideringFavoredCountries();
    const auto& favoredCodes = LdCCountryManager::favoredCountryCodes();
    ASSERT_EQ(favoredCodes.size(), 21U);
    ASSERT_EQ(favored.size(), sorted.size());
    for (std::size_t index = 0; index < favoredCodes.size(); ++index) {
        EXPECT_EQ(favored[index]->isoAlpha2Code, favoredCodes[index]);
    }
    EXPECT_EQ(favored[21]->isoAlpha2Code, "AF");
}

TEST(LdCCountryManagerTest, MainCurrencyEuroAndDollarLeadTheList) {
    const LdCCountryManager& countries = manager("en_US");
    const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
            {nullptr, {"EUR", "USD"}},
            {"USD", {"USD", "EUR"}},
            {"EUR", {"EUR", "USD"}},
            {"CHF", {"CHF", "EUR", "USD"}},
    };
    for (const auto& [main, expected] : cases) {
        const LdCCurrency* mainCurrency =
                main != nullptr ? countries.currencyForIsoCode(main) : nullptr;
        const auto sorted = countries.allCurrenciesSortedWithMainCurrency(mainCurrency);
        EXPECT_EQ(codes(sorted, expected.size()), expected) << (main != nullptr ? main : "none");
        EXPECT_EQ(sorted.size(), countries.allCurrencies().size());
    }
    // The rest by name: the first after EUR and USD is the Afghan Afghani.
    EXPECT_EQ(countries.allCurrenciesSortedWithMainCurrency(nullptr)[2]->iso_code, "AFN");
}

TEST(LdCCountryManagerTest, AmountStringsFollowTheDisplaySettings) {
    const auto defaults = LdUserDefaults::inMemory();
    LdCCountryManager countries("de_DE", defaults.get());
    const LdCCurrency* euro = countries.currencyForIsoCode("EUR");
    const LdCCurrency* dinar = countries.currencyForIsoCode("KWD");

    EXPECT_EQ(countries.amountStringWithNumber(decimal("1234.5"), euro), "1.234,50 €");
    EXPECT_EQ(countries.amountStringWithNumber(decimal("2.3455"), dinar), "2,346 " + dinar->symbol);
    EXPECT_EQ(countries.amountStringWithNumber(decimal("1234.5"), nullptr), "1.234,50");
    EXPECT_EQ(countries.amountStringWithNumber(std::nullopt, euro), "");
    EXPECT_EQ(countries.amountStringWithNumber(decimal("5"), "eur"), "5,00 €");
    EXPECT_EQ(countries.amountStringWithNumber(decimal("5"), "XYZ"), "5,00 XYZ");

    int redraws = 0;
    const LdSubscription subscription = LdNotificationCenter::defaultCenter().addObserverForName(
            LdAmountStringShouldRedrawNotification, &countries,
            [&redraws](const LdNotification&) { ++redraws; });
    defaults->setInteger(1, LdAppSettingsCurrencyInStringPositionKey);
    defaults->setInteger(1, LdAppSettingsCurrencyIllustrationTypeKey);
    countries.reloadDisplaySettings(*defaults);
    EXPECT_EQ(redraws, 1);
    EXPECT_FALSE(countries.symbolsRight());
    EXPECT_FALSE(countries.useSymbolsInsteadOfCodesInStrings());
    EXPECT_EQ(countries.amountStringWithNumber(decimal("1234.5"), euro), "EUR 1.234,50");
}
