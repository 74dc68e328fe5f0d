// LdCExchangeRateManager: the exchange rates of one open database — rates per day in the
// database's own rate store and current rates downloaded from the central bank or the rate service.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "core/support/LdError.h"
#include "core/support/currency/LdCECBRatesParser.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdDecimal.h"

class LdClock;
class LdCDExchangeRate;
class LdCOpenDatabaseManager;
class LdCryptStore;
class LdMainQueue;
class LdManagedObjectContext;
class LdOperationQueue;
class LdUserDefaults;

// Posted (no object) on the main queue when a downloaded current rate arrives.
inline constexpr const char* LdCurrentExchangeRatesUpdatedNotification =
        "CurrentExchangeRatesUpdated";
// User default choosing where current rates come from: 0 the central bank (default), 1 the rate
// service.
inline constexpr const char* LdAppSettingsExchangeRateSourceKey =
        "LdAppSettingsExchangeRateSourceKey";
// User default with the rate service's address ("https://host[:port][/path]"); no default.
inline constexpr const char* LdAppSettingsExchangeRateServiceAddressKey =
        "LdAppSettingsExchangeRateServiceAddressKey";
// User default with the address of the central bank's daily reference-rate file.
inline constexpr const char* LdAppSettingsECBRatesAddressKey = "LdAppSettingsECBRatesAddressKey";
inline constexpr const char* kLdDefaultECBRatesAddress =
        "https://www.ecb.europa.eu/stats/eurofxref/eurofxref-daily.xml";

// The rates of one open database. Owned by whoever made it (the session, a command); main thread
// only. The rate store is a separate unencrypted file beside the database's store, opened on first
// use. Downloads run on a background operation queue of this manager; their results are applied
// on the main queue.
//
// Stored rates keep the pair ordered: `from_currency` is the alphabetically smaller code, and the
// rate tells how many units of `to_currency` one unit of `from_currency` buys.
class LdCExchangeRateManager {
public:
    // Rate sources (values of LdAppSettingsExchangeRateSourceKey).
    static constexpr int kSourceECB = 0;
    static constexpr int kSourceRateService = 1;
    // Values of the stored `source`: entered by the user, taken from a central-bank file.
    static constexpr std::int32_t kStoredSourceUser = 1;
    static constexpr std::int32_t kStoredSourceECB = 2;
    // How long a failed download blocks a new one for the same pair.
    static constexpr double kFailureBackoffSeconds = 30.0;

    // initWithOpenDatabaseManager: — the rates of the session's database, on the catalogue's
    // settings and clock and the application's main queue.
    explicit LdCExchangeRateManager(LdCOpenDatabaseManager& openDatabaseManager);
    // The rates of the database at `databaseURL` (its folder), on the given settings, clock and
    // main queue, which all outlive the manager (tests, tools).
    LdCExchangeRateManager(std::filesystem::path databaseURL,
                           LdUserDefaults& userDefaults,
                           LdClock& clock,
                           LdMainQueue& mainQueue);
    // Cancels a running download (its result is dropped) and closes the rate store, saving it.
    ~LdCExchangeRateManager();
    LdCExchangeRateManager(const LdCExchangeRateManager&) = delete;
    LdCExchangeRateManager& operator=(const LdCExchangeRateManager&) = delete;

    // exchangeRateForDay:from:to: — with the fallback to the current rate.
    std::optional<LdDecimal> exchangeRateForDay(std::optional<LdDate> day,
                                                std::string_view from,
                                                std::string_view to);
    // exchangeRateForDay:from:to:fallbackToCurrentCurrency:
    // Units of `to` for one unit of `from` on that day: exactly 1 for the same currency, else the
    // stored rate of the day (a user's rate first), else — with the fallback — the current rate.
    // A rate stored for the other direction is inverted (38 digits) unless it is zero. Nothing for
    // a missing day or currency, or when no rate is known.
    std::optional<LdDecimal> exchangeRateForDay(std::optional<LdDate> day,
                                                std::string_view from,
                                                std::string_view to,
                                                bool fallbackToCurrentCurrency);
    // currentExchangeRateFrom:to:
    // The downloaded rate when there is one; otherwise starts a download (unless one runs or a
    // failure lies less than kFailureBackoffSeconds back) and answers with today's stored rate, or
    // zero. Nothing only for a missing currency.
    std::optional<LdDecimal> currentExchangeRateFrom(std::string_view from, std::string_view to);
    // setUserExchangeRate:from:to:date:
    // Stores a rate the user entered for the day of `date`, in the ordered direction (inverted when
    // `from` is the larger code), and saves the rate store. The day's earlier user rate of the pair
    // is updated; a rate of another source stays beside it. A missing argument, equal currencies or
    // a rate not above zero are ignored (true, no change). False with the store's error when the
    // save fails.
    bool setUserExchangeRate(std::optional<LdDecimal> rate,
                             std::string_view from,
                             std::string_view to,
                             std::optional<LdDate> date,
                             LdError* error = nullptr);
    // fetchExchangeRateFrom:to:date:
    // The stored rate of the day of `date` for the pair as given (not reordered): the user's rate
    // when there is one, else the first found. Owned by the rate store's context; nullptr when
    // there is none or the store cannot be opened.
    LdCDExchangeRate* fetchExchangeRateFrom(std::string_view from,
                                            std::string_view to,
                                            LdDate date);
    // saveChanges: — saves the rate store when it has changes; true at once without.
    bool saveChanges(LdError* error = nullptr);
    // closeManagedObjectContext — saves (errors are logged) and closes the rate store; the next use
    // opens it again.
    void closeManagedObjectContext();

    // The rate store's context, opened (and its file created) on first use; nullptr with an error
    // when the file cannot be opened.
    LdManagedObjectContext* managedObjectContext(LdError* error = nullptr);

    // The source used for downloads: `override` when set (a command's choice), else the user
    // default.
    int rateSource() const;
    void setRateSourceOverride(std::optional<int> source) { sourceOverride_ = source; }

    // Whether a download is running (main thread's view: until its result was applied).
    bool isDownloading() const { return !loadingCurrencyKeys_.empty(); }
    // The error of the last failed download, for commands that report it.
    const std::optional<LdError>& lastDownloadError() const { return lastDownloadError_; }

    // The pair key: both codes, the alphabetically smaller first.
    static std::string pairKey(std::string_view from, std::string_view to);

    // A pair in stored order and whether the asked direction is the other one.
    struct OrderedPairView {
        std::string from;
        std::string to;
        bool swapped = false;
    };

private:
    using CacheEntry = std::variant<LdDecimal, LdDate>;  // a rate, or the time of a failure

    // The cached rate of the ordered pair, turned to the asked direction.
    LdDecimal cachedRate(const OrderedPairView& pair, const LdDecimal& rate) const;
    LdDate firstInstantOfDay(LdDate date) const;
    LdDate lastInstantOfDay(LdDate date) const;
    LdDate today() const;
    std::optional<LdDecimal> storedRateForDay(LdDate day,
                                              const std::string& from,
                                              const std::string& to);
    // Stores `rate` for the ordered pair on `day` under `source`: updates that source's rate of
    // the day, else inserts one beside the others. No save.
    bool storeRate(const LdDecimal& rate,
                   const std::string& from,
                   const std::string& to,
                   LdDate day,
                   std::int32_t source);
    // loadCurrentExchangeRateFromInternet: — starts the download that serves `key`.
    void loadCurrentExchangeRateFromInternet(const std::string& key);
    void startECBDownload();
    void startServiceDownload(const std::string& key);
    // Results, on the main queue.
    void applyECBRates(const std::optional<LdCECBRatesParser::Rates>& rates, const LdError& error);
    void applyServiceRate(const std::string& key,
                          const std::optional<LdDecimal>& rate,
                          const LdError& error);
    void markFailure(const std::string& key);
    LdOperationQueue& downloadQueue();

    LdCOpenDatabaseManager* openDatabaseManager_ = nullptr;  // owner when set; outlives this
    std::filesystem::path databaseURL_;
    LdUserDefaults& userDefaults_;
    LdClock& clock_;
    LdMainQueue& mainQueue_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
    std::map<std::string, CacheEntry> currentRatesCache_;
    std::set<std::string> loadingCurrencyKeys_;
    bool ecbDownloadRunning_ = false;
    // The rates of the last central-bank file, serving pairs asked after it arrived.
    std::optional<LdCECBRatesParser::Rates> lastECBRates_;
    // The cached pairs whose rate came from that file.
    std::set<std::string> ecbKeys_;
    std::optional<int> sourceOverride_;
    std::optional<LdError> lastDownloadError_;
    // Results posted to the main queue check this token, so none reaches a destroyed manager.
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);
    std::unique_ptr<LdOperationQueue> downloadQueue_;
};
