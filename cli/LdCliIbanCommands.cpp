// `ledra iban …` and `ledra bic …`: the account-number checks of contacts, transfers and imports.
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/online/sepa/LdBICChecker.h"
#include "core/online/sepa/LdIBANChecker.h"
#include "core/support/currency/LdCCountry.h"
#include "core/support/formatting/LdCIbanFormatter.h"

#include "cli/LdCliCommands.h"

namespace {

using Json = nlohmann::ordered_json;

void printJson(LdCliContext& context, const Json& json) {
    context.out() << json.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

// Why an IBAN fails, in the order the checks run; empty for a valid one.
std::string ibanFailure(const std::string& iban) {
    if (iban.size() < 5 || iban.size() > 34) {
        return "an IBAN has 5 to 34 characters";
    }
    const std::string country = iban.substr(0, 2);
    const auto& lengths = LdIBANChecker::ibanCountryCodesToIBANLengthDictionary();
    std::string upperCountry = country;
    for (char& character : upperCountry) {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    const auto length = lengths.find(upperCountry);
    if (length == lengths.end()) {
        return "no IBAN country: " + country;
    }
    if (length->second != iban.size()) {
        return "an IBAN of " + upperCountry + " has " + std::to_string(length->second) +
               " characters, not " + std::to_string(iban.size());
    }
    if (!LdIBANChecker::isValidIBANFormat(iban)) {
        return "letters and digits stand in the wrong places";
    }
    if (!LdIBANChecker::isValidModuloValue(LdIBANChecker::convertIBAN(iban))) {
        return "the check digits do not match";
    }
    return {};
}

std::string bicFailure(const std::string& bic) {
    if (!LdBICChecker::isValidBICLength(bic)) {
        return "a BIC has 8 or 11 characters";
    }
    if (!LdBICChecker::isValidBankCode(bic)) {
        return "the bank code (characters 1-4) must be letters";
    }
    if (!LdBICChecker::isValidCountryCode(bic)) {
        return "no accepted country code: " + bic.substr(4, 2);
    }
    if (!LdBICChecker::isValidLocationCode(bic)) {
        return "the location code (characters 7-8) must be letters or digits";
    }
    if (!LdBICChecker::isValidBranchCode(bic) && bic.size() == 11) {
        return "the branch code (characters 9-11) must be letters or digits";
    }
    return {};
}

int checkIban(LdCliContext& context, const std::string& text) {
    const std::string iban = LdIBANChecker::filteredString(text);
    const std::string failure = ibanFailure(iban);
    if (!failure.empty()) {
        if (context.json) {
            printJson(context, Json{{"iban", iban}, {"valid", false}, {"reason", failure}});
        } else {
            context.out() << iban << ": invalid (" << failure << ")\n";
        }
        return kLdExitFailure;
    }
    std::string upper = iban;
    for (char& character : upper) {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    const std::string bank = LdIBANChecker::bankIDFromIBAN(upper).value_or("");
    const std::string account = LdIBANChecker::accountIDFromIBAN(upper).value_or("");
    const LdCCountry* country = LdIBANChecker::countryFromIBAN(upper);
    const std::string countryName =
            country != nullptr ? country->localizedName : upper.substr(0, 2);
    if (context.json) {
        printJson(context, Json{{"iban", upper},
                                {"valid", true},
                                {"formatted", LdCIbanFormatter::stringForObjectValue(upper)},
                                {"country", upper.substr(0, 2)},
                                {"bank_code", bank},
                                {"account_number", account}});
    } else {
        context.out() << LdCIbanFormatter::stringForObjectValue(upper) << ": valid ("
                      << countryName;
        if (!bank.empty()) {
            context.out() << ", bank code " << bank;
        }
        context.out() << ", account number " << account << ")\n";
    }
    return kLdExitSuccess;
}

}  // namespace

void ldAddIbanCommands(CLI::App& app, LdCliCommandSet& commands) {
    LdCliContext& context = commands.context();

    CLI::App* iban = commands.addArea(app, "iban", "Check, format and find IBANs");
    auto ibanText = std::make_shared<std::string>();
    commands.add(*iban, "check", "Check an IBAN (blanks allowed); exit status 0 valid, 1 invalid",
                 [&context, ibanText] { return checkIban(context, *ibanText); })
            ->add_option("iban", *ibanText, "The IBAN")
            ->required();

    auto formatText = std::make_shared<std::string>();
    commands.add(*iban, "format", "Show an IBAN in groups of four",
                 [&context, formatText] {
                     const std::string formatted = LdCIbanFormatter::stringForObjectValue(
                             LdIBANChecker::filteredString(*formatText));
                     if (context.json) {
                         printJson(context, Json{{"formatted", formatted}});
                     } else {
                         context.out() << formatted << '\n';
                     }
                     return kLdExitSuccess;
                 })
            ->add_option("iban", *formatText, "The IBAN")
            ->required();

    auto searchText = std::make_shared<std::string>();
    commands.add(*iban, "find",
                 "Find the valid IBANs in a text (one a line); exit status 1 when there is none",
                 [&context, searchText] {
                     const std::vector<std::string> found =
                             LdIBANChecker::findAllValidIBANsInString(*searchText);
                     if (context.json) {
                         printJson(context, Json{{"ibans", found}});
                     } else {
                         for (const std::string& item : found) {
                             context.out() << item << '\n';
                         }
                     }
                     return found.empty() ? kLdExitFailure : kLdExitSuccess;
                 })
            ->add_option("text", *searchText, "The text, such as a transaction's purpose")
            ->required();

    CLI::App* bic = commands.addArea(app, "bic", "Check BICs");
    auto bicText = std::make_shared<std::string>();
    commands.add(*bic, "check", "Check a BIC; exit status 0 valid, 1 invalid",
                 [&context, bicText] {
                     const std::string failure = bicFailure(*bicText);
                     const bool valid = failure.empty();
                     const std::string country =
                             LdBICChecker::countryCodeFromBIC(*bicText).value_or("");
                     if (context.json) {
                         Json json{{"bic", *bicText}, {"valid", valid}};
                         if (valid) {
                             json["country"] = country;
                         } else {
                             json["reason"] = failure;
                         }
                         printJson(context, json);
                     } else if (valid) {
                         context.out() << *bicText << ": valid (country " << country << ")\n";
                     } else {
                         context.out() << *bicText << ": invalid (" << failure << ")\n";
                     }
                     return valid ? kLdExitSuccess : kLdExitFailure;
                 })
            ->add_option("bic", *bicText, "The BIC")
            ->required();
}
