// The HTTP GET behind the exchange-rate downloads: HTTPS only (plain HTTP to the loopback
// address), with timeouts and a cap on the body.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

namespace ld::detail {

// The limits of one rate download.
struct RateDownloadLimits {
    long connectTimeoutSeconds = 10;
    long totalTimeoutSeconds = 30;
    std::size_t maxBodyBytes = 1024 * 1024;
};

// Whether `url` may be fetched: an https URL, or an http URL whose host is 127.0.0.1, [::1] or
// localhost.
bool isAllowedRateURL(const std::string& url);

// Fetches `url` with GET and returns the body of a 2xx answer. Nothing and an error for a URL that
// is not allowed, a transport failure, a timeout, a body past the cap or another status.
// `cancelled` (may be empty) is asked while the transfer runs; true ends it with an error. Blocks
// the calling thread; safe on any thread.
std::optional<LdData> downloadRateData(const std::string& url,
                                       const RateDownloadLimits& limits,
                                       const std::function<bool()>& cancelled,
                                       LdError* error = nullptr);

}  // namespace ld::detail
