// Construction, localisation and text forms of LdError; every error made here is handed to the shared logger.
#include "core/support/LdError.h"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>

#include "core/support/LdLogger.h"
#include "core/support/LdStrings.h"
#include "core/support/detail/LdLocalTime.h"
#include "core/support/platform/LdClock.h"

namespace {
constexpr int kMaxBacktraceFrames = 48;

std::vector<void*> captureBacktrace() {
    void* frames[kMaxBacktraceFrames];
    const int count = ::backtrace(frames, kMaxBacktraceFrames);
    // Frame 0 is this function and frame 1 the factory; the caller's frames follow.
    const int skip = count > 2 ? 2 : 0;
    return {frames + skip, frames + count};
}
}  // namespace

LdValue::Dictionary LdError::userInfoDictFromTitle(std::string_view title,
                                                   std::string_view description) {
    LdValue::Dictionary userInfo;
    userInfo[kLdLocalizedFailureReasonKey] =
            title.empty() ? LdStrings::localizedString("_ERROR") : LdStrings::localizedString(title);
    userInfo[kLdLocalizedDescriptionKey] =
            description.empty() ? std::string() : LdStrings::localizedString(description);
    return userInfo;
}

LdError LdError::make(std::string_view title,
                      std::string_view description,
                      std::string_view domain,
                      std::int64_t code,
                      const LdValue::Dictionary* extraUserInfo) {
    LdError error;
    error.domain_ = std::string(domain);
    error.code_ = code;
    error.userInfo_ = userInfoDictFromTitle(title, description);
    if (extraUserInfo != nullptr) {
        for (const auto& [key, value] : *extraUserInfo) {
            error.userInfo_.insert_or_assign(key, value);
        }
    }
    error.titleKey_ = title.empty() ? "_ERROR" : std::string(title);
    error.descriptionKey_ = std::string(description);
    error.date_ = LdClock::shared().now();
    error.backtrace_ = captureBacktrace();
    LdLogger::shared().addError(error);
    return error;
}

LdError LdError::errorWithTitle(std::string_view title, std::string_view description) {
    return make(title, description, LedraErrorDomain, 0, nullptr);
}

LdError LdError::errorWithTitle(std::string_view title,
                                std::string_view description,
                                std::string_view domain,
                                std::int64_t errorCode) {
    return make(title, description, domain, errorCode, nullptr);
}

LdError LdError::errorWithTitle(std::string_view title,
                                std::string_view description,
                                const LdValue::Dictionary& userInfo) {
    return make(title, description, LedraErrorDomain, 0, &userInfo);
}

LdError LdError::errorWithTitle(std::string_view title,
                                std::string_view description,
                                std::int64_t errorCode,
                                const LdValue::Dictionary& userInfo) {
    return make(title, description, LedraErrorDomain, errorCode, &userInfo);
}

std::unique_ptr<LdError> LdError::errorFromURLResponse(int httpStatusCode) {
    if (httpStatusCode < 400) {
        return nullptr;
    }
    const std::string description = LdStrings::localizedFormat(
            "_ERROR_HTTP_STATUS_CODE_ERROR", {std::to_string(httpStatusCode)});
    auto error = std::make_unique<LdError>(
            errorWithTitle("_ERROR_COULD_NOT_PERFORM_REQUEST", description));
    error->descriptionKey_ = "_ERROR_HTTP_STATUS_CODE_ERROR";
    return error;
}

LdError LdError::unexpectedError() {
    return errorWithTitle("_ERROR", "_UNEXPECTED_ERROR");
}

std::string LdError::errorTextFromErrors(const std::vector<LdError>& errors) {
    std::string text;
    for (std::size_t index = 0; index < errors.size(); ++index) {
        const std::string reason = errors[index].title();
        const std::string description = errors[index].localizedDescription();
        text += reason;
        if (!reason.empty() && !description.empty()) {
            text += "\n";
        }
        text += description;
        if (errors.size() >= 2 && index + 1 < errors.size()) {
            text += "\n";
        }
    }
    return text;
}

std::string LdError::title() const {
    const LdValue* reason = nullptr;
    auto it = userInfo_.find(kLdLocalizedFailureReasonKey);
    if (it != userInfo_.end()) {
        reason = &it->second;
    }
    return reason != nullptr ? reason->stringValue() : std::string();
}

std::string LdError::localizedDescription() const {
    auto it = userInfo_.find(kLdLocalizedDescriptionKey);
    return it != userInfo_.end() ? it->second.stringValue() : std::string();
}

std::vector<std::string> LdError::backtrace() const {
    std::vector<std::string> lines;
    if (backtrace_.empty()) {
        return lines;
    }
    char** symbols = ::backtrace_symbols(backtrace_.data(), static_cast<int>(backtrace_.size()));
    if (symbols == nullptr) {
        return lines;
    }
    lines.reserve(backtrace_.size());
    for (std::size_t index = 0; index < backtrace_.size(); ++index) {
        lines.emplace_back(symbols[index]);
    }
    // backtrace_symbols returns one malloc'ed block.
    std::free(static_cast<void*>(symbols));  // NOLINT(cppcoreguidelines-no-malloc)
    return lines;
}

void LdError::addDebugInfo(std::string key, LdValue value) {
    debugInfos_.insert_or_assign(std::move(key), std::move(value));
}

void LdError::setUnderlyingError(const LdError& error) {
    underlyingError_ = std::make_shared<const LdError>(error);
}

std::string LdError::description() const {
    return "LdError:\n" + title() + "\n" + localizedDescription();
}

std::string LdError::logDescription() const {
    std::string text = "---- ";
    if (isSet()) {
        const ld::detail::LocalTime local = ld::detail::localTime(date_);
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, " %02d.%02d.%04d %02d:%02d:%02d.%04d", local.day,
                      local.month, local.year, local.hour, local.minute, local.second,
                      local.millisecondsTenths);
        text += stamp;
    }
    text += " ----";
    text += "\n   Title: " + title();
    if (!domain_.empty()) {
        text += "\n   Domain: " + domain_;
    }
    text += "\n   Description: " + localizedDescription();
    if (!debugInfos_.empty()) {
        text += "\n   DebugInfos: " + LdValue(debugInfos_).debugDescription();
    }
    if (underlyingError_) {
        text += "\n   Underlying: " + underlyingError_->title() + " / " +
                underlyingError_->localizedDescription();
    }
    const std::vector<std::string> frames = backtrace();
    if (!frames.empty()) {
        text += "\n   Backtrace: (";
        for (const std::string& frame : frames) {
            text += "\n      " + frame;
        }
        text += "\n   )";
    }
    return text;
}

LdValue LdError::archiveObject() const {
    LdValue::Dictionary userInfo = userInfo_;
    if (underlyingError_) {
        userInfo[kLdUnderlyingErrorKey] = underlyingError_->archiveObject();
    }
    LdValue object = LdValue::dictionary({{"$classname", kLdErrorArchiveClassName},
                                          {"NSDomain", domain_},
                                          {"NSCode", code_},
                                          {"NSUserInfo", LdValue(std::move(userInfo))},
                                          {"date", date_}});
    if (!debugInfos_.empty()) {
        object.set("debugInfos", LdValue(debugInfos_));
    }
    return object;
}

std::optional<LdError> LdError::errorFromArchiveObject(const LdValue& object) {
    if (object["$classname"].stringValue() != kLdErrorArchiveClassName ||
        !object["NSDomain"].isString() || !object["NSCode"].isNumber()) {
        return std::nullopt;
    }
    LdError error;
    error.domain_ = object["NSDomain"].stringValue();
    error.code_ = object["NSCode"].integerValue();
    error.userInfo_ = object["NSUserInfo"].dictionaryValue();
    if (auto underlying = error.userInfo_.find(kLdUnderlyingErrorKey);
        underlying != error.userInfo_.end()) {
        if (auto cause = errorFromArchiveObject(underlying->second)) {
            error.underlyingError_ = std::make_shared<const LdError>(std::move(*cause));
        }
        error.userInfo_.erase(underlying);
    }
    error.titleKey_ = error.title();
    error.descriptionKey_ = error.localizedDescription();
    error.date_ = object["date"].dateValue();
    error.debugInfos_ = object["debugInfos"].dictionaryValue();
    return error;
}

std::ostream& operator<<(std::ostream& stream, const LdError& error) {
    return stream << error.description() << " [" << error.domain() << " " << error.code() << ", "
                  << error.titleKey() << " / " << error.descriptionKey() << "]";
}
