// Output, failure reporting and password reading shared by the `ledra` commands.
#include "cli/LdCliContext.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <nlohmann/json.hpp>
#include <termios.h>
#include <unistd.h>

#include "core/support/foundation/LdBase64.h"

namespace {

nlohmann::ordered_json toJson(const LdValue& value) {
    switch (value.type()) {
        case LdValue::Type::Null:
            return nullptr;
        case LdValue::Type::Bool:
            return value.boolValue();
        case LdValue::Type::Integer:
            return value.integerValue();
        case LdValue::Type::Real:
            return value.doubleValue();
        case LdValue::Type::String:
            return value.stringValue();
        case LdValue::Type::Data:
            return LdBase64::encode(value.dataValue());
        case LdValue::Type::Date:
            return value.dateValue().iso8601String().value_or("");
        case LdValue::Type::Decimal:
            return value.decimalValue().toString();
        case LdValue::Type::Array: {
            auto array = nlohmann::ordered_json::array();
            for (const LdValue& item : value.arrayValue()) {
                array.push_back(toJson(item));
            }
            return array;
        }
        case LdValue::Type::Dictionary: {
            auto object = nlohmann::ordered_json::object();
            for (const auto& [key, item] : value.dictionaryValue()) {
                object[key] = toJson(item);
            }
            return object;
        }
        case LdValue::Type::UID:
            return nlohmann::ordered_json{{"UID", value.uidValue().value}};
    }
    return nullptr;
}

std::optional<std::string> readTerminalPassword(const std::string& prompt) {
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool canHide = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (canHide) {
        termios hidden = saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &hidden);
    }
    std::string password;
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (canHide) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    std::cerr << '\n';
    if (!read) {
        return std::nullopt;
    }
    return password;
}

}  // namespace

std::string ldJsonText(const LdValue& value, bool pretty) {
    // Invalid UTF-8 in a text is shown replaced rather than aborting the output.
    return toJson(value).dump(pretty ? 2 : -1, ' ', false,
                              nlohmann::json::error_handler_t::replace);
}

void LdCliContext::printResult(const LdValue& value, const std::string& humanText) {
    if (json) {
        out() << ldJsonText(value) << '\n';
        return;
    }
    out() << humanText;
    if (!humanText.empty() && humanText.back() != '\n') {
        out() << '\n';
    }
}

int LdCliContext::fail(const std::string& message) {
    err() << "ledra: " << message << '\n';
    return kLdExitFailure;
}

int LdCliContext::fail(const LdError& error) {
    std::string message = error.title();
    const std::string description = error.localizedDescription();
    if (!description.empty()) {
        // A title that ends a sentence is followed by the description as the next one.
        const bool sentence = !message.empty() && (message.back() == '.' || message.back() == '!');
        message += message.empty() ? description : (sentence ? " " : ": ") + description;
    }
    return fail(message);
}

void LdCliContext::progress(const std::string& description, double fractionCompleted) {
    const int percent =
            static_cast<int>(std::lround(std::clamp(fractionCompleted, 0.0, 1.0) * 100.0));
    err() << "\r" << description << " " << percent << "%" << (percent >= 100 ? "\n" : "")
          << std::flush;
}

std::optional<std::string> LdCliContext::readPassword(const std::string& purpose) {
    if (const char* password = std::getenv("LEDRA_PASSWORD"); password != nullptr) {
        return std::string(password);
    }
    if (!streams_.inputIsTerminal) {
        fail("a password is needed for " + purpose +
             ": set LEDRA_PASSWORD or run ledra in a terminal to be asked");
        return std::nullopt;
    }
    const std::string prompt = "Password for " + purpose + ": ";
    auto password =
            terminalPasswordReader ? terminalPasswordReader(prompt) : readTerminalPassword(prompt);
    if (!password) {
        fail("no password was entered for " + purpose);
    }
    return password;
}

std::string LdCliContext::optionalPassword(const std::string& purpose) {
    if (const char* password = std::getenv("LEDRA_PASSWORD"); password != nullptr) {
        return password;
    }
    if (!streams_.inputIsTerminal) {
        return {};
    }
    const std::string prompt = "Password for " + purpose + " (empty for none): ";
    auto password =
            terminalPasswordReader ? terminalPasswordReader(prompt) : readTerminalPassword(prompt);
    return password.value_or(std::string());
}
