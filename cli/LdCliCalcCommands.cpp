// `ledra calc …`: an amount typed as a small calculation, as the amount fields read it, and the
// split booking it reveals.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/support/currency/LdCCountryManager.h"
#include "core/support/formatting/LdCArithmeticNumberFormatter.h"
#include "core/support/formatting/LdCNumberFormatter.h"
#include "core/support/formatting/LdLocale.h"

#include "cli/LdCliCommands.h"

namespace {

using Json = nlohmann::ordered_json;

struct CalcOptions {
    std::string expression;
    std::string currencyCode;
    std::string locale;
};

int calculate(LdCliContext& context, const CalcOptions& options) {
    const std::string locale = options.locale.empty()
                                       ? LdLocale::identifierFromEnvironment()
                                       : LdLocale::canonicalIdentifier(options.locale);
    if (!LdLocale::isKnownIdentifier(locale)) {
        return context.fail("unknown locale: " + options.locale);
    }

    std::unique_ptr<LdCCountryManager> countries;
    const LdCCurrency* currency = nullptr;
    if (!options.currencyCode.empty()) {
        countries = std::make_unique<LdCCountryManager>(locale);
        std::string code = options.currencyCode;
        for (char& character : code) {
            character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
        }
        const auto& replacements = LdCCountryManager::replacementCurrencyCodes();
        if (const auto replaced = replacements.find(code); replaced != replacements.end()) {
            code = replaced->second;
        }
        currency = countries->currencyForIsoCode(code);
        if (currency == nullptr) {
            return context.fail("unknown currency: " + options.currencyCode);
        }
    }

    LdCArithmeticNumberFormatter formatter(LdCNumberFormatter::standardNumberFormatter(locale));
    const std::optional<LdDecimal> value = formatter.numberFromString(options.expression);
    if (!value) {
        return context.fail("not a number: " + options.expression);
    }
    LdDecimal result = *value;
    std::vector<LdDecimal> parts = formatter.getTeilbuchungen();
    if (currency != nullptr) {
        // Amounts in a currency are kept at its scale, like every ledger amount.
        const LdCNumberHandler& handler =
                LdCNumberFormatter::standardLedraNumberHandlerForCurrency(currency);
        result = handler.roundedNumber(result);
        for (LdDecimal& part : parts) {
            part = handler.roundedNumber(part);
        }
    }
    const bool split = formatter.geteilteBuchungErkannt();

    if (context.json) {
        Json json{{"result", result.toString()}, {"split", split}, {"parts", Json::array()}};
        for (const LdDecimal& part : parts) {
            json["parts"].push_back(part.toString());
        }
        if (currency != nullptr) {
            json["currency"] = currency->iso_code;
        }
        context.out() << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
        return kLdExitSuccess;
    }

    // Human output in the locale's own number form.
    LdCNumberFormatter plain(locale);
    plain.setMaximumFractionDigits(LdDecimal::kMaxDigits);
    auto show = [&](const LdDecimal& number) {
        return currency != nullptr ? countries->amountStringWithNumber(number, currency)
                                   : plain.stringFromNumber(number);
    };
    context.out() << "result: " << show(result) << '\n';
    context.out() << "split booking: " << (split ? "yes" : "no") << '\n';
    context.out() << "parts:";
    for (std::size_t index = 0; index < parts.size(); ++index) {
        context.out() << (index == 0 ? " " : "; ") << show(parts[index]);
    }
    context.out() << '\n';
    return kLdExitSuccess;
}

}  // namespace

void ldAddCalcCommands(CLI::App& app, LdCliCommandSet& commands) {
    LdCliContext& context = commands.context();
    auto options = std::make_shared<CalcOptions>();
    CLI::App* calc = commands.add(
            app, "calc",
            "Read an amount typed as a calculation (\"10+20+30.5\") and tell whether it is a "
            "split booking. One that begins with a minus sign goes after --.",
            [&context, options] { return calculate(context, *options); });
    calc->add_option("expression", options->expression, "The calculation, as one argument")
            ->required();
    calc->add_option("--currency", options->currencyCode,
                     "Round to the currency's places and show its symbol (EUR, KWD ...)");
    calc->add_option("--locale", options->locale,
                     "Locale of the separators (de_DE); default from LC_ALL, LC_NUMERIC, LANG");
}
