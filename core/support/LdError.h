// LdError, the one error type of the library: domain, code, user information with the localized title and
// description, the creation date and call stack, diagnostic values and the underlying error.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdValue.h"

inline constexpr const char* LedraErrorDomain = "LedraErrorDomain";
inline constexpr const char* LedraAuthenticationErrorDomain = "LedraAuthenticationErrorDomain";

// User-information keys, named as stored archives and peers name them.
inline constexpr const char* kLdLocalizedFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kLdLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLdUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kLdErrorArchiveClassName = "LdError";

// A value type, cheap to copy. The factories localize title and description through the strings table
// LdCoreLocalizable (a text that is no key stays as it is) and hand every new error to the shared logger.
class LdError {
public:
    // An empty error (no domain, code 0), to be filled by an operation that fails.
    LdError() = default;

    // errorWithTitle:description: — domain LedraErrorDomain, code 0. An empty title means the text of "_ERROR".
    static LdError errorWithTitle(std::string_view title, std::string_view description);
    // errorWithTitle:description:domain:errorCode:
    static LdError errorWithTitle(std::string_view title,
                                  std::string_view description,
                                  std::string_view domain,
                                  std::int64_t errorCode);
    // errorWithTitle:description:userInfo: — code 0, the extra user information merged in.
    static LdError errorWithTitle(std::string_view title,
                                  std::string_view description,
                                  const LdValue::Dictionary& userInfo);
    // errorWithTitle:description:errorCode:userInfo:
    static LdError errorWithTitle(std::string_view title,
                                  std::string_view description,
                                  std::int64_t errorCode,
                                  const LdValue::Dictionary& userInfo);
    // userInfoDictFromTitle:description:
    static LdValue::Dictionary userInfoDictFromTitle(std::string_view title,
                                                     std::string_view description);
    // errorFromURLResponse: — an error for an HTTP status of 400 or more, else nothing.
    static std::unique_ptr<LdError> errorFromURLResponse(int httpStatusCode);
    // unexpectedError
    static LdError unexpectedError();
    // errorTextFromErrors:
    static std::string errorTextFromErrors(const std::vector<LdError>& errors);

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const LdValue::Dictionary& userInfo() const { return userInfo_; }
    // The localized failure reason.
    std::string title() const;
    // The localized description.
    std::string localizedDescription() const;
    // The keys the factory was given (the texts themselves where no key was used); tests and callers that
    // branch on a failure compare these, not the wording.
    const std::string& titleKey() const { return titleKey_; }
    const std::string& descriptionKey() const { return descriptionKey_; }

    LdDate date() const { return date_; }
    // The call stack at creation, as raw return addresses; symbolised only when written.
    const std::vector<void*>& backtraceAddresses() const { return backtrace_; }
    std::vector<std::string> backtrace() const;

    const LdValue::Dictionary& debugInfos() const { return debugInfos_; }
    void setDebugInfos(LdValue::Dictionary debugInfos) { debugInfos_ = std::move(debugInfos); }
    void addDebugInfo(std::string key, LdValue value);

    const LdError* underlyingError() const { return underlyingError_.get(); }
    void setUnderlyingError(const LdError& error);

    // description — "LdError:\n<title>\n<description>".
    std::string description() const;
    // logDescription — the form written to the error log.
    std::string logDescription() const;

    // The error as an archivable object (class "LdError": "NSDomain", "NSCode", "NSUserInfo", "date",
    // "debugInfos"; an underlying error rides in the user information), for LdKeyedArchiver.
    LdValue archiveObject() const;
    // An error from such an object, as LdKeyedUnarchiver returns it (allow the class "LdError"). Nothing
    // when the object is no archived error. Not handed to the logger: it was logged where it was made.
    static std::optional<LdError> errorFromArchiveObject(const LdValue& object);

    // Whether this error was filled (has a domain).
    bool isSet() const { return !domain_.empty(); }

private:
    static LdError make(std::string_view title,
                        std::string_view description,
                        std::string_view domain,
                        std::int64_t code,
                        const LdValue::Dictionary* extraUserInfo);

    std::string domain_;
    std::int64_t code_ = 0;
    LdValue::Dictionary userInfo_;
    std::string titleKey_;
    std::string descriptionKey_;
    LdDate date_;
    std::vector<void*> backtrace_;
    LdValue::Dictionary debugInfos_;
    std::shared_ptr<const LdError> underlyingError_;
};

// Stores `made` in `error` when the caller asked for one; returns false, so a failing operation can
// `return failWith(error, LdError::errorWithTitle(...));`.
inline bool failWith(LdError* error, LdError made) {
    if (error != nullptr) {
        *error = std::move(made);
    }
    return false;
}

// Prints the description (GoogleTest uses it for failure messages).
std::ostream& operator<<(std::ostream& stream, const LdError& error);
