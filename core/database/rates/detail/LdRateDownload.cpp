// libcurl behind the exchange-rate downloads.
#include "core/database/rates/detail/LdRateDownload.h"

#include <cctype>
#include <memory>
#include <mutex>
#include <string_view>

#include <curl/curl.h>

namespace ld::detail {

namespace {

std::string lowercased(std::string_view text) {
    std::string result(text);
    for (char& character : result) {
        character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    }
    return result;
}

// The host of an http URL, without user information and port ("[::1]" keeps its brackets).
std::string hostOfURL(std::string_view rest) {
    const std::size_t end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, end);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        return close == std::string_view::npos ? std::string()
                                               : std::string(authority.substr(0, close + 1));
    }
    return std::string(authority.substr(0, authority.find(':')));
}

struct Transfer {
    LdData body;
    std::size_t maxBodyBytes = 0;
    bool tooLarge = false;
    const std::function<bool()>* cancelled = nullptr;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (transfer.body.size() + length > transfer.maxBodyBytes) {
        transfer.tooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    transfer.body.insert(transfer.body.end(), data, data + length);
    return length;
}

int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& transfer = *static_cast<Transfer*>(user);
    return transfer.cancelled != nullptr && *transfer.cancelled && (*transfer.cancelled)() ? 1 : 0;
}

LdError downloadError(std::string_view description) {
    return LdError::errorWithTitle("_ERROR", description);
}

}  // namespace

bool isAllowedRateURL(const std::string& url) {
    const std::string lower = lowercased(url);
    if (lower.starts_with("https://")) {
        return lower.size() > 8;
    }
    if (!lower.starts_with("http://")) {
        return false;
    }
    const std::string host = hostOfURL(std::string_view(lower).substr(7));
    return host == "127.0.0.1" || host == "[::1]" || host == "localhost";
}

std::optional<LdData> downloadRateData(const std::string& url,
                                       const RateDownloadLimits& limits,
                                       const std::function<bool()>& cancelled,
                                       LdError* error) {
    if (url.empty()) {
        return std::nullopt;
    }
    if (!isAllowedRateURL(url)) {
        failWith(error, downloadError("Exchange rates are only downloaded over HTTPS: " + url));
        return std::nullopt;
    }
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        failWith(error, downloadError("The download could not be started."));
        return std::nullopt;
    }
    Transfer transfer;
    transfer.maxBodyBytes = limits.maxBodyBytes;
    transfer.cancelled = &cancelled;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    // Redirects are not followed, so an https address cannot lead to a plain one.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, limits.totalTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(limits.maxBodyBytes));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "Ledra");

    const CURLcode code = curl_easy_perform(handle);
    if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        failWith(error, downloadError("The downloaded exchange rates are too large."));
        return std::nullopt;
    }
    if (code != CURLE_OK) {
        const std::string reason = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        failWith(error, downloadError("The exchange rates could not be downloaded: " + reason));
        return std::nullopt;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        failWith(error, downloadError("The exchange-rate server answered with status " +
                                      std::to_string(status) + "."));
        return std::nullopt;
    }
    return std::move(transfer.body);
}

}  // namespace ld::detail
