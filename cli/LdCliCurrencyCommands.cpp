// `ledra currency …`: the currency registry (ISO 4217 codes, names, symbols, subunits).
#include <cctype>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/support/currency/LdCCountryManager.h"
#include "core/support/formatting/LdLocale.h"

#include "cli/LdCliCommands.h"

namespace {

using Json = nlohmann::ordered_json;

Json currencyJson(const LdCCurrency& currency) {
    return Json{{"iso_code", currency.iso_code},
                {"iso_num", currency.iso_num},
                {"name", currency.name},
                {"symbol", currency.symbol},
                {"subunit_division", currency.subunit_division}};
}

void printJson(LdCliContext& context, const Json& json) {
    context.out() << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

std::optional<std::string> localeFor(LdCliContext& context, const std::string& option) {
    const std::string locale = option.empty() ? LdLocale::identifierFromEnvironment()
                                              : LdLocale::canonicalIdentifier(option);
    if (!LdLocale::isKnownIdentifier(locale)) {
        context.fail("unknown locale: " + option);
        return std::nullopt;
    }
    return locale;
}

}  // namespace

void ldAddCurrencyCommands(CLI::App& app, LdCliCommandSet& commands) {
    LdCliContext& context = commands.context();
    CLI::App* area = commands.addArea(app, "currency", "The currencies amounts are kept in");

    auto listLocale = std::make_shared<std::string>();
    CLI::App* list = commands.add(
            *area, "list", "List every currency in ISO-code order", [&context, listLocale] {
                const auto locale = localeFor(context, *listLocale);
                if (!locale) {
                    return kLdExitFailure;
                }
                const LdCCountryManager countries(*locale);
                Json json = Json::array();
                for (const LdCCurrency* currency : countries.allCurrencies()) {
                    if (context.json) {
                        json.push_back(currencyJson(*currency));
                    } else {
                        context.out() << currency->description() << '\n';
                    }
                }
                if (context.json) {
                    printJson(context, json);
                }
                return kLdExitSuccess;
            });
    list->add_option("--locale", *listLocale, "Locale of the names (de_DE)");

    auto code = std::make_shared<std::string>();
    auto showLocale = std::make_shared<std::string>();
    CLI::App* show = commands.add(
            *area, "show", "Show one currency (a withdrawn code shows its successor)",
            [&context, code, showLocale] {
                const auto locale = localeFor(context, *showLocale);
                if (!locale) {
                    return kLdExitFailure;
                }
                const LdCCountryManager countries(*locale);
                std::string wanted = *code;
                for (char& character : wanted) {
                    character =
                            static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
                }
                const auto& replacements = LdCCountryManager::replacementCurrencyCodes();
                if (const auto replaced = replacements.find(wanted);
                    replaced != replacements.end()) {
                    context.err() << "ledra: " << wanted << " was replaced by " << replaced->second
                                  << '\n';
                    wanted = replaced->second;
                }
                const LdCCurrency* currency = countries.currencyForIsoCode(wanted);
                if (currency == nullptr) {
                    return context.fail("unknown currency: " + *code);
                }
                if (context.json) {
                    printJson(context, currencyJson(*currency));
                    return kLdExitSuccess;
                }
                context.out() << "code: " << currency->iso_code << '\n'
                              << "number: " << currency->iso_num << '\n'
                              << "name: " << currency->name << '\n'
                              << "symbol: " << currency->symbol << '\n'
                              << "subunits: " << currency->subunit_division << " ("
                              << currency->countOfSubunitDigits() << " decimal places)\n";
                return kLdExitSuccess;
            });
    show->add_option("code", *code, "ISO 4217 code, either case (EUR)")->required();
    show->add_option("--locale", *showLocale, "Locale of the name (de_DE)");
}
