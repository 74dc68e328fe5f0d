// The registry of countries and currencies. Built once per manager:
//   1. ISO 3166-1 rows (alpha-2, alpha-3, numeric, English name) from the embedded iso-codes table.
//   2. Every ICU locale, in ICU's order, whose region is such a row gives a country (registered
//      under its alpha-2 code; a later locale of the same region replaces it) and, through the
//      region's currency, a currency (registered by the first locale that brings it, with that
//      locale's symbol). Fixed overrides: UAH "₴"; TWD "NT$" and 901; ILS 376; FKP 238.
//   3. Divisions from ISO 4217 minor units: the embedded table of currencies with three minor
//      units are divided into 1000, every other into 100 (ICU's digits follow CLDR, not ISO 4217).
#include "core/support/currency/LdCCountryManager.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <unordered_map>

#include <nlohmann/json.hpp>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/ucurr.h>
#include <unicode/unistr.h>

#include "core/support/currency/detail/LdCurrencyResources.h"
#include "core/support/formatting/LdLocale.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

struct IsoCountryRow {
    std::string alpha3;
    std::uint32_t numeric = 0;
    std::string englishName;
};

std::string utf8(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string upperCased(std::string_view text) {
    std::string result(text);
    for (char& character : result) {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    return result;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    return text;
}

std::unordered_map<std::string, IsoCountryRow> readIsoCountries() {
    std::unordered_map<std::string, IsoCountryRow> rows;
    rows.reserve(300);
    const std::string_view json = ld::detail::iso3166CountriesJson();
    const nlohmann::json document =
            nlohmann::json::parse(json.begin(), json.end(), nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded() || !document.contains("3166-1") || !document["3166-1"].is_array()) {
        return rows;
    }
    for (const nlohmann::json& entry : document["3166-1"]) {
        const auto alpha2 = entry.find("alpha_2");
        if (alpha2 == entry.end() || !alpha2->is_string()) {
            continue;
        }
        IsoCountryRow row;
        row.alpha3 = entry.value("alpha_3", std::string());
        const std::string numeric = entry.value("numeric", std::string());
        row.numeric = numeric.empty() ? 0U : static_cast<std::uint32_t>(std::stoul(numeric));
        row.englishName = entry.value("name", std::string());
        rows.emplace(alpha2->get<std::string>(), std::move(row));
    }
    return rows;
}

std::set<std::string, std::less<>> readThreeMinorUnitCurrencies() {
    std::set<std::string, std::less<>> codes;
    std::string_view table = ld::detail::iso4217ThreeMinorUnitsTable();
    while (!table.empty()) {
        const std::size_t end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
        line = trimmed(line.substr(0, line.find('#')));
        if (!line.empty()) {
            codes.emplace(line);
        }
    }
    return codes;
}

std::string currencyName(const UChar* code, const char* locale, UCurrNameStyle style) {
    UBool isChoiceFormat = false;
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    const UChar* name = ucurr_getName(code, locale, style, &isChoiceFormat, &length, &status);
    if (U_FAILURE(status) || name == nullptr) {
        return {};
    }
    return utf8(icu::UnicodeString(name, length));
}

}  // namespace

struct LdCCountryManager::Registry {
    std::map<std::string, LdCCountry, std::less<>> countries;    // by alpha-2
    std::map<std::string, LdCCurrency, std::less<>> currencies;  // by ISO code
    std::unordered_map<std::string, std::string> englishNames;   // alpha-2 to ISO English name
    std::string localeRegion;
    std::string localeCurrencyCode;
    std::unique_ptr<icu::Collator> collator;  // of the user's locale; compare() is thread-safe
};

LdCCountryManager::LdCCountryManager(std::string localeIdentifier, const LdUserDefaults* defaults)
    : localeIdentifier_(std::move(localeIdentifier)),
      registry_(std::make_unique<Registry>()),
      hundredthsFormatter_(LdCNumberFormatter::standardNumberFormatter(localeIdentifier_)),
      thousandthsFormatter_(hundredthsFormatter_) {
    thousandthsFormatter_.setMinimumFractionDigits(3);
    thousandthsFormatter_.setMaximumFractionDigits(3);

    const icu::Locale userLocale(localeIdentifier_.c_str());
    registry_->localeRegion = userLocale.getCountry();
    registry_->localeCurrencyCode = LdLocale::currencyCode(localeIdentifier_);
    UErrorCode collatorStatus = U_ZERO_ERROR;
    registry_->collator.reset(icu::Collator::createInstance(userLocale, collatorStatus));
    if (U_FAILURE(collatorStatus)) {
        registry_->collator.reset();
    }

    const auto isoCountries = readIsoCountries();
    const auto threeMinorUnits = readThreeMinorUnitCurrencies();
    int32_t localeCount = 0;
    const icu::Locale* locales = icu::Locale::getAvailableLocales(localeCount);
    for (int32_t index = 0; index < localeCount; ++index) {
        const icu::Locale& locale = locales[index];
        const auto row = isoCountries.find(locale.getCountry());
        if (row == isoCountries.end()) {
            continue;
        }
        LdCCountry country;
        country.isoAlpha2Code = locale.getCountry();
        country.isoAlpha3Code = row->second.alpha3;
        country.isoNumericCode = row->second.numeric;
        icu::UnicodeString displayName;
        locale.getDisplayCountry(userLocale, displayName);
        country.localizedName = utf8(displayName);
        country.locale = locale.getName();
        country.currencyCode = LdLocale::currencyCode(country.locale);

        if (!country.currencyCode.empty() &&
            registry_->currencies.find(country.currencyCode) == registry_->currencies.end()) {
            icu::UnicodeString code = unicode(country.currencyCode);
            const UChar* codeBuffer = code.getTerminatedBuffer();
            LdCCurrency currency;
            currency.iso_code = country.currencyCode;
            currency.iso_num =
                    static_cast<std::uint32_t>(std::max(0, ucurr_getNumericCode(codeBuffer)));
            currency.symbol = currencyName(codeBuffer, locale.getName(), UCURR_SYMBOL_NAME);
            currency.name = currencyName(codeBuffer, localeIdentifier_.c_str(), UCURR_LONG_NAME);
            currency.subunit_division = threeMinorUnits.count(currency.iso_code) > 0 ? 1000 : 100;
            if (currency.iso_code == "UAH") {
                currency.symbol = "₴";
            } else if (currency.iso_code == "TWD") {
                currency.symbol = "NT$";
                currency.iso_num = 901;
            } else if (currency.iso_code == "ILS") {
                currency.iso_num = 376;
            } else if (currency.iso_code == "FKP") {
                currency.iso_num = 238;
            }
            if (currency.iso_num != 0 && !currency.symbol.empty() && !currency.name.empty()) {
                registry_->currencies.emplace(currency.iso_code, std::move(currency));
            }
        }
        if (!country.localizedName.empty()) {
            registry_->englishNames[country.isoAlpha2Code] = row->second.englishName;
            registry_->countries.insert_or_assign(country.isoAlpha2Code, std::move(country));
        }
    }
    // A country's currency is the registered one of its code.
    for (auto& [code, country] : registry_->countries) {
        if (const LdCCurrency* currency = currencyForIsoCode(country.currencyCode)) {
            country.currency = *currency;
        }
    }

    if (defaults != nullptr) {
        readDisplaySettings(*defaults);
    }
    auto reload = [this](const LdNotification&) {
        reloadDisplaySettings(LdUserDefaults::standard());
    };
    positionSubscription_ = LdNotificationCenter::defaultCenter().addObserverForName(
            LdAppSettingsCurrencyPositionInStringsChangedNotification, nullptr, reload);
    illustrationSubscription_ = LdNotificationCenter::defaultCenter().addObserverForName(
            LdAppSettingsCurrencyIllustrationTypeChangedNotification, nullptr, reload);
}

LdCCountryManager::~LdCCountryManager() = default;

LdCCountryManager& LdCCountryManager::sharedManager() {
    static LdCCountryManager manager(LdLocale::currentLocaleIdentifier(),
                                     &LdUserDefaults::standard());
    return manager;
}

const LdCCurrency* LdCCountryManager::currencyForIsoCode(std::string_view isoCode) const {
    const auto found = registry_->currencies.find(upperCased(isoCode));
    return found == registry_->currencies.end() ? nullptr : &found->second;
}

const LdCCurrency* LdCCountryManager::currencyForIsoNum(std::uint32_t isoNum) const {
    for (const auto& [code, currency] : registry_->currencies) {
        if (currency.iso_num == isoNum) {
            return &currency;
        }
    }
    return nullptr;
}

const LdCCurrency* LdCCountryManager::currencyForSymbol(std::string_view symbol) const {
    if (const LdCCurrency* own = currencyForCurrentLocale();
        own != nullptr && own->symbol == symbol) {
        return own;
    }
    for (const auto& [code, currency] : registry_->currencies) {
        if (currency.symbol == symbol) {
            return &currency;
        }
    }
    return nullptr;
}

const LdCCurrency* LdCCountryManager::currencyForCurrentLocale() const {
    return currencyForIsoCode(registry_->localeCurrencyCode);
}

std::vector<const LdCCurrency*> LdCCountryManager::allCurrencies() const {
    std::vector<const LdCCurrency*> currencies;
    currencies.reserve(registry_->currencies.size());
    for (const auto& [code, currency] : registry_->currencies) {
        currencies.push_back(&currency);
    }
    return currencies;
}

std::vector<const LdCCurrency*> LdCCountryManager::allCurrenciesSortedWithMainCurrency(
        const LdCCurrency* mainCurrency) const {
    std::vector<const LdCCurrency*> sorted = allCurrencies();
    std::stable_sort(
            sorted.begin(), sorted.end(), [](const LdCCurrency* left, const LdCCurrency* right) {
                return unicode(left->name).caseCompare(unicode(right->name), U_FOLD_CASE_DEFAULT) <
                       0;
            });
    // EUR and USD go in front, then the main currency before everything.
    auto moveToFront = [&sorted](const LdCCurrency* currency) {
        if (currency == nullptr) {
            return;
        }
        const auto found = std::find_if(sorted.begin(), sorted.end(), [&](const LdCCurrency* item) {
            return item->iso_code == currency->iso_code;
        });
        if (found != sorted.end()) {
            std::rotate(sorted.begin(), found, found + 1);
        }
    };
    moveToFront(currencyForIsoCode("USD"));
    moveToFront(currencyForIsoCode("EUR"));
    moveToFront(mainCurrency);
    return sorted;
}

const LdCCountry* LdCCountryManager::countryForIsoCode(std::string_view isoCode) const {
    const auto found = registry_->countries.find(upperCased(isoCode));
    return found == registry_->countries.end() ? nullptr : &found->second;
}

const LdCCountry* LdCCountryManager::countryForNumericIsoCode(std::uint32_t numericCode) const {
    for (const auto& [code, country] : registry_->countries) {
        if (country.isoNumericCode == numericCode) {
            return &country;
        }
    }
    return nullptr;
}

const LdCCountry* LdCCountryManager::countryForCurrentLocale() const {
    return countryForIsoCode(registry_->localeRegion);
}

std::vector<const LdCCountry*> LdCCountryManager::allCountries() const {
    std::vector<const LdCCountry*> countries;
    countries.reserve(registry_->countries.size());
    for (const auto& [code, country] : registry_->countries) {
        countries.push_back(&country);
    }
    return countries;
}

std::vector<const LdCCountry*> LdCCountryManager::allCountriesSortedByName() const {
    std::vector<const LdCCountry*> sorted = allCountries();
    const icu::Collator* collator = registry_->collator.get();
    std::stable_sort(sorted.begin(), sorted.end(),
                     [collator](const LdCCountry* left, const LdCCountry* right) {
                         if (collator == nullptr) {
                             return left->localizedName < right->localizedName;
                         }
                         UErrorCode status = U_ZERO_ERROR;
                         return collator->compare(unicode(left->localizedName),
                                                  unicode(right->localizedName),
                                                  status) == UCOL_LESS;
                     });
    return sorted;
}

std::vector<const LdCCountry*>
LdCCountryManager::allCountriesSortedByNameConsideringFavoredCountries() const {
    std::vector<const LdCCountry*> result;
    std::set<std::string_view> favored;
    for (const std::string& code : favoredCountryCodes()) {
        if (const LdCCountry* country = countryForIsoCode(code)) {
            result.push_back(country);
            favored.insert(code);
        }
    }
    for (const LdCCountry* country : allCountriesSortedByName()) {
        if (favored.count(country->isoAlpha2Code) == 0) {
            result.push_back(country);
        }
    }
    return result;
}

const LdCCountry* LdCCountryManager::findMatchingCountryForString(std::string_view text) const {
    const icu::UnicodeString wanted = unicode(trimmed(text));
    if (wanted.isEmpty()) {
        return nullptr;
    }
    auto matches = [&wanted](std::string_view candidate) {
        return !candidate.empty() &&
               wanted.caseCompare(unicode(candidate), U_FOLD_CASE_DEFAULT) == 0;
    };
    auto matchesEnglishName = [&](const std::string& code) {
        const auto found = registry_->englishNames.find(code);
        return found != registry_->englishNames.end() && matches(found->second);
    };
    for (const auto& [code, country] : registry_->countries) {
        if (matches(country.isoAlpha2Code) || matches(country.isoAlpha3Code) ||
            matches(country.localizedName) || matchesEnglishName(code)) {
            return &country;
        }
    }
    return nullptr;
}

std::string LdCCountryManager::amountStringWithNumber(const std::optional<LdDecimal>& number,
                                                      const LdCCurrency* currency) const {
    if (!number) {
        return {};
    }
    if (currency == nullptr) {
        return hundredthsFormatter_.stringFromNumber(*number);
    }
    const LdCNumberFormatter& formatter =
            currency->subunit_division == 1000 ? thousandthsFormatter_ : hundredthsFormatter_;
    const std::string amount = formatter.stringFromNumber(*number);
    const std::string& unit =
            useSymbolsInsteadOfCodesInStrings() ? currency->symbol : currency->iso_code;
    return symbolsRight() ? amount + " " + unit : unit + " " + amount;
}

std::string LdCCountryManager::amountStringWithNumber(const std::optional<LdDecimal>& number,
                                                      std::string_view currencyCode) const {
    if (const LdCCurrency* currency = currencyForIsoCode(currencyCode)) {
        return amountStringWithNumber(number, currency);
    }
    if (!number || currencyCode.empty()) {
        return amountStringWithNumber(number, nullptr);
    }
    LdCCurrency unknown;
    unknown.iso_code = std::string(currencyCode);
    unknown.symbol = unknown.iso_code;
    return amountStringWithNumber(number, &unknown);
}

const std::map<std::string, std::string>& LdCCountryManager::replacementCurrencyCodes() {
    static const std::map<std::string, std::string> kReplacements = {
            {"VEF", "VES"}, {"GEK", "GEL"}, {"EEK", "EUR"}, {"LTL", "EUR"}, {"LVL", "EUR"},
            {"STD", "STN"}, {"MZM", "MZN"}, {"GHC", "GHS"}, {"BYR", "BYN"},
    };
    return kReplacements;
}

const std::vector<std::string>& LdCCountryManager::favoredCountryCodes() {
    static const std::vector<std::string> kFavored = {
            "DE", "AT", "US", "GB", "FR", "ES", "NL", "BE", "CH", "RU", "AU",
            "IT", "PL", "BR", "CA", "CZ", "PT", "CN", "MX", "IE", "TR",
    };
    return kFavored;
}

void LdCCountryManager::readDisplaySettings(const LdUserDefaults& defaults) {
    // Absent or 0: the currency after the number; 1: before it. Illustration 1: ISO codes.
    symbolsRight_ = defaults.integerForKey(LdAppSettingsCurrencyInStringPositionKey) != 1;
    useSymbols_ = defaults.integerForKey(LdAppSettingsCurrencyIllustrationTypeKey) != 1;
}

void LdCCountryManager::reloadDisplaySettings(const LdUserDefaults& defaults) {
    readDisplaySettings(defaults);
    LdNotificationCenter::defaultCenter().postNotificationName(
            LdAmountStringShouldRedrawNotification, this);
}
