// `ledra rate …`: the exchange rates of a database — read a day's rate, enter one, download the
// current rate and convert an amount.
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "core/database/rates/LdCExchangeRateManager.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/support/LdCoreHelper.h"
#include "core/support/currency/LdCCountryManager.h"
#include "core/support/currency/LdCECBRatesParser.h"
#include "core/support/queues/LdMainQueue.h"

#include "cli/LdCliCatalogue.h"
#include "cli/LdCliCommands.h"

namespace {

// The arguments of one `ledra rate` command.
struct RateArguments {
    std::string database;
    std::string from;
    std::string to;
    std::string rate;    // set
    std::string amount;  // convert
    std::string day;     // YYYY-MM-DD; empty: today
    std::string source;  // fetch: ecb or service; empty: the user default
};

std::string uppercased(std::string text) {
    for (char& character : text) {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    return text;
}

// "YYYY-MM-DD" → 00:00 of that day in the library's calendar; nothing for any other text or a day
// the month lacks.
std::optional<LdDate> parseDay(const LdCoreHelper& calendar, const std::string& text) {
    int year = 0;
    int month = 0;
    int day = 0;
    char tail = 0;
    if (text.size() != 10 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &tail) != 3) {
        return std::nullopt;
    }
    const auto date = calendar.getDateForDay(day, month, year);
    if (!date || calendar.getDayOfDate(*date) != day || calendar.getMonthOfDate(*date) != month) {
        return std::nullopt;
    }
    return date;
}

std::string formatDay(const LdCoreHelper& calendar, LdDate date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", calendar.getYearOfDate(date),
                  calendar.getMonthOfDate(date), calendar.getDayOfDate(date));
    return text;
}

// One command's database, opened read-only (the rates live in their own store beside it), with
// its rate manager; closing it saves the rates.
class RateSession {
public:
    explicit RateSession(LdCliContext& context) : context_(context), catalogue_(context) {}
    ~RateSession() {
        if (session_ != nullptr) {
            session_->closeDatabaseWithoutSaving();
        }
    }
    RateSession(const RateSession&) = delete;
    RateSession& operator=(const RateSession&) = delete;

    // Opens the database and checks the codes and the day; false after reporting the failure in
    // `status`.
    bool open(RateArguments& arguments, int& status) {
        arguments.from = uppercased(arguments.from);
        arguments.to = uppercased(arguments.to);
        for (const std::string* code : {&arguments.from, &arguments.to}) {
            if (!LdCECBRatesParser::isCurrencyCode(*code)) {
                status = context_.fail("Not a currency code: " + *code);
                return false;
            }
        }
        const LdCoreHelper calendar = this->calendar();
        if (arguments.day.empty()) {
            day_ = calendar.getFirstDayTimeOfDay(calendar.getDateInSystemTimeZone());
        } else if (auto day = parseDay(calendar, arguments.day)) {
            day_ = *day;
        } else {
            status = context_.fail("Not a date (YYYY-MM-DD): " + arguments.day);
            return false;
        }
        std::string failure;
        auto found = catalogue_.find(arguments.database, failure);
        if (found) {
            session_ = catalogue_.open(found, kLdOpenDatabaseModeReadOnly, failure);
        }
        if (session_ == nullptr) {
            status = context_.fail(failure);
            return false;
        }
        rates_ = session_->exchangeRateManager();
        return true;
    }

    LdCoreHelper calendar() { return LdCoreHelper(catalogue_->clock(), catalogue_->settings()); }
    LdCExchangeRateManager& rates() { return *rates_; }
    LdDate day() const { return day_; }
    std::string dayText() { return formatDay(calendar(), day_); }

private:
    LdCliContext& context_;
    LdCliCatalogue catalogue_;
    LdCOpenDatabaseManager* session_ = nullptr;  // owned by the catalogue
    LdCExchangeRateManager* rates_ = nullptr;    // owned by the session
    LdDate day_;
};

// Downloads the current rate of the pair, waiting for the result on the main queue.
std::optional<LdDecimal> downloadCurrentRate(LdCExchangeRateManager& rates,
                                             const std::string& from,
                                             const std::string& to) {
    rates.currentExchangeRateFrom(from, to);
    while (rates.isDownloading()) {
        LdMainQueue::main().runOnce();
    }
    auto rate = rates.currentExchangeRateFrom(from, to);
    if (!rate || rate->isZero()) {
        return std::nullopt;
    }
    return rate;
}

LdValue rateValue(const RateArguments& arguments, const std::string& day, const LdDecimal& rate) {
    return LdValue(LdValue::Dictionary{{"from", LdValue(arguments.from)},
                                       {"to", LdValue(arguments.to)},
                                       {"date", LdValue(day)},
                                       {"rate", LdValue(rate)}});
}

std::string rateText(const RateArguments& arguments,
                     const std::string& day,
                     const LdDecimal& rate) {
    return "1 " + arguments.from + " = " + rate.toString() + " " + arguments.to + " (" + day + ")";
}

void addPairOptions(CLI::App* command, RateArguments& arguments) {
    command->add_option("DB", arguments.database, "The database's name or identifier")->required();
    command->add_option("FROM", arguments.from, "ISO code of the currency converted from")
            ->required();
    command->add_option("TO", arguments.to, "ISO code of the currency converted to")->required();
}

}  // namespace

void ldAddRateCommands(CLI::App& app, LdCliCommandSet& commands) {
    LdCliContext& context = commands.context();
    CLI::App* area = commands.addArea(app, "rate", "Exchange rates of a database");

    auto getArguments = std::make_shared<RateArguments>();
    CLI::App* get = commands.add(
            *area, "get", "The stored rate of a day (default today)", [&context, getArguments] {
                RateArguments& arguments = *getArguments;
                RateSession session(context);
                int status = kLdExitFailure;
                if (!session.open(arguments, status)) {
                    return status;
                }
                const auto rate = session.rates().exchangeRateForDay(
                        session.day(), arguments.from, arguments.to,
                        /*fallbackToCurrentCurrency=*/false);
                if (!rate) {
                    return context.fail("No rate of " + arguments.from + " to " + arguments.to +
                                        " is stored for " + session.dayText() +
                                        " (`ledra rate fetch` downloads the current one).");
                }
                context.printResult(rateValue(arguments, session.dayText(), *rate),
                                    rateText(arguments, session.dayText(), *rate));
                return kLdExitSuccess;
            });
    addPairOptions(get, *getArguments);
    get->add_option("DATE", getArguments->day, "The day, YYYY-MM-DD");

    auto setArguments = std::make_shared<RateArguments>();
    CLI::App* set = commands.add(
            *area, "set", "Enters a rate for a day (default today)", [&context, setArguments] {
                RateArguments& arguments = *setArguments;
                RateSession session(context);
                int status = kLdExitFailure;
                if (!session.open(arguments, status)) {
                    return status;
                }
                const auto rate = LdDecimal::fromString(arguments.rate);
                if (!rate || rate->isNaN() || rate->isZero() || rate->isNegative()) {
                    return context.fail("The rate must be a number above zero: " + arguments.rate);
                }
                if (arguments.from == arguments.to) {
                    return context.fail("A currency's rate to itself is always 1.");
                }
                LdError error;
                if (!session.rates().setUserExchangeRate(*rate, arguments.from, arguments.to,
                                                         session.day(), &error)) {
                    return context.fail(error);
                }
                context.printResult(rateValue(arguments, session.dayText(), *rate),
                                    rateText(arguments, session.dayText(), *rate));
                return kLdExitSuccess;
            });
    addPairOptions(set, *setArguments);
    set->add_option("RATE", setArguments->rate, "Units of TO for one unit of FROM")->required();
    set->add_option("DATE", setArguments->day, "The day, YYYY-MM-DD");

    auto fetchArguments = std::make_shared<RateArguments>();
    CLI::App* fetch =
            commands.add(*area, "fetch", "Downloads the current rate", [&context, fetchArguments] {
                RateArguments& arguments = *fetchArguments;
                RateSession session(context);
                int status = kLdExitFailure;
                if (!session.open(arguments, status)) {
                    return status;
                }
                if (!arguments.source.empty()) {
                    session.rates().setRateSourceOverride(
                            arguments.source == "service"
                                    ? LdCExchangeRateManager::kSourceRateService
                                    : LdCExchangeRateManager::kSourceECB);
                }
                const auto rate =
                        downloadCurrentRate(session.rates(), arguments.from, arguments.to);
                if (!rate) {
                    if (const auto& error = session.rates().lastDownloadError()) {
                        return context.fail(*error);
                    }
                    return context.fail("No current rate of " + arguments.from + " to " +
                                        arguments.to + " is known.");
                }
                context.printResult(rateValue(arguments, session.dayText(), *rate),
                                    rateText(arguments, session.dayText(), *rate));
                return kLdExitSuccess;
            });
    addPairOptions(fetch, *fetchArguments);
    fetch->add_option("--source", fetchArguments->source, "Where the rate comes from")
            ->check(CLI::IsMember({"ecb", "service"}));

    auto convertArguments = std::make_shared<RateArguments>();
    CLI::App* convert = commands.add(
            *area, "convert", "Converts an amount with the rate of a day (default today)",
            [&context, convertArguments] {
                RateArguments& arguments = *convertArguments;
                RateSession session(context);
                int status = kLdExitFailure;
                if (!session.open(arguments, status)) {
                    return status;
                }
                const auto amount = LdDecimal::fromString(arguments.amount);
                if (!amount || amount->isNaN()) {
                    return context.fail("Not an amount: " + arguments.amount);
                }
                // The day's stored rate, else the current one.
                auto rate = session.rates().exchangeRateForDay(session.day(), arguments.from,
                                                               arguments.to,
                                                               /*fallbackToCurrentCurrency=*/false);
                if (!rate) {
                    rate = downloadCurrentRate(session.rates(), arguments.from, arguments.to);
                }
                if (!rate) {
                    return context.fail("No rate of " + arguments.from + " to " + arguments.to +
                                        " is known for " + session.dayText() + ".");
                }
                const LdCCurrency* currency =
                        LdCCountryManager::sharedManager().currencyForIsoCode(arguments.to);
                const int digits = currency != nullptr ? currency->countOfSubunitDigits() : 2;
                const LdDecimal converted = (*amount * *rate).rounded(digits);
                LdValue value = rateValue(arguments, session.dayText(), *rate);
                value.mutableDictionary()["amount"] = LdValue(*amount);
                value.mutableDictionary()["converted"] = LdValue(converted);
                context.printResult(value, amount->toString() + " " + arguments.from + " = " +
                                                   converted.toString() + " " + arguments.to +
                                                   " (rate " + rate->toString() + ", " +
                                                   session.dayText() + ")");
                return kLdExitSuccess;
            });
    convert->add_option("DB", convertArguments->database, "The database's name or identifier")
            ->required();
    convert->add_option("AMOUNT", convertArguments->amount, "The amount in FROM")->required();
    convert->add_option("FROM", convertArguments->from, "ISO code of the amount's currency")
            ->required();
    convert->add_option("TO", convertArguments->to, "ISO code of the currency converted to")
            ->required();
    convert->add_option("DATE", convertArguments->day, "The day, YYYY-MM-DD");
}
