// The exchange rates of one open database: the rate store, the day and current rates, and the
// downloads of current rates.
//
// A pair's current rate in the cache:
//
//   (none) -> Loading            [currentExchangeRateFrom -> loadCurrentExchangeRateFromInternet]
//   Loading -> Rate              [applyECBRates / applyServiceRate: a rate above zero]
//   Loading -> Failed(at now)    [applyECBRates / applyServiceRate: anything else]
//   Failed -> Loading            [currentExchangeRateFrom, kFailureBackoffSeconds after the
//   failure]
//
// The central bank's file holds every rate against the euro, so one download serves every pair
// asked while it runs and, kept in memory, every pair asked after it.
#include "core/database/rates/LdCExchangeRateManager.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/model/LdObjectModel.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/rates/detail/LdRateDownload.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCryptStore.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/support/LdCoreHelper.h"
#include "core/support/LdLogger.h"
#include "core/support/currency/LdCRateServiceAnswer.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUserDefaults.h"
#include "core/support/queues/LdMainQueue.h"
#include "core/support/queues/LdOperationQueue.h"

namespace {

constexpr const char* kEuro = "EUR";

using OrderedPair = LdCExchangeRateManager::OrderedPairView;

OrderedPair orderedPair(std::string_view from, std::string_view to) {
    if (from > to) {
        return {std::string(to), std::string(from), true};
    }
    return {std::string(from), std::string(to), false};
}

LdDecimal inverted(const LdDecimal& rate) {
    return LdDecimal::one() / rate;
}

bool isPositive(const LdDecimal& rate) {
    return !rate.isNaN() && !rate.isZero() && !rate.isNegative();
}

}  // namespace

LdCExchangeRateManager::LdCExchangeRateManager(LdCOpenDatabaseManager& openDatabaseManager)
    : LdCExchangeRateManager(openDatabaseManager.databaseURL(),
                             openDatabaseManager.catalogue().settings(),
                             openDatabaseManager.catalogue().clock(),
                             LdMainQueue::main()) {
    openDatabaseManager_ = &openDatabaseManager;
}

LdCExchangeRateManager::LdCExchangeRateManager(std::filesystem::path databaseURL,
                                               LdUserDefaults& userDefaults,
                                               LdClock& clock,
                                               LdMainQueue& mainQueue)
    : databaseURL_(std::move(databaseURL)),
      userDefaults_(userDefaults),
      clock_(clock),
      mainQueue_(mainQueue) {}

LdCExchangeRateManager::~LdCExchangeRateManager() {
    lifeToken_.reset();
    downloadQueue_.reset();  // cancels and joins a running download
    closeManagedObjectContext();
}

std::string LdCExchangeRateManager::pairKey(std::string_view from, std::string_view to) {
    const OrderedPair pair = orderedPair(from, to);
    return pair.from + pair.to;
}

int LdCExchangeRateManager::rateSource() const {
    if (sourceOverride_) {
        return *sourceOverride_;
    }
    return userDefaults_.integerForKey(LdAppSettingsExchangeRateSourceKey) == kSourceRateService
                   ? kSourceRateService
                   : kSourceECB;
}

// Days follow the library's calendar on this manager's clock and settings.
LdDate LdCExchangeRateManager::firstInstantOfDay(LdDate date) const {
    return LdCoreHelper(clock_, userDefaults_).getFirstDayTimeOfDay(date);
}

LdDate LdCExchangeRateManager::lastInstantOfDay(LdDate date) const {
    return LdCoreHelper(clock_, userDefaults_).getLastDayTimeOfDay(date);
}

LdDate LdCExchangeRateManager::today() const {
    const LdCoreHelper calendar(clock_, userDefaults_);
    return calendar.getFirstDayTimeOfDay(calendar.getDateInSystemTimeZone());
}

LdManagedObjectContext* LdCExchangeRateManager::managedObjectContext(LdError* error) {
    if (context_) {
        return context_.get();
    }
    std::error_code folderError;
    std::filesystem::create_directories(databaseURL_, folderError);
    auto store = std::make_unique<LdCryptStore>(
            LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(databaseURL_),
            LdValue::Dictionary{}, LdObjectModel::exchangeRateModel());
    LdError loadError;
    if (!store->loadMetadata(&loadError)) {
        LdLogger::shared().logError(loadError.logDescription());
        failWith(error, loadError);
        return nullptr;
    }
    store_ = std::move(store);
    context_ = std::make_unique<LdManagedObjectContext>(*store_);
    context_->setUndoEnabled(false);
    return context_.get();
}

bool LdCExchangeRateManager::saveChanges(LdError* error) {
    if (!context_ || !context_->hasChanges()) {
        return true;
    }
    return context_->save(error);
}

void LdCExchangeRateManager::closeManagedObjectContext() {
    LdError error;
    if (!saveChanges(&error)) {
        LdLogger::shared().logError(error.logDescription());
    }
    context_.reset();
    store_.reset();
}

LdCDExchangeRate* LdCExchangeRateManager::fetchExchangeRateFrom(std::string_view from,
                                                                std::string_view to,
                                                                LdDate date) {
    LdManagedObjectContext* context = managedObjectContext();
    if (context == nullptr || from.empty() || to.empty()) {
        return nullptr;
    }
    LdFetchRequest request;
    request.entity = LdCDExchangeRate::entityDescription();
    request.predicate = LdPredicateParser::predicateWithFormat(
            "(date >= %@) AND (date <= %@) AND (from_currency == %@) AND (to_currency == %@)",
            {firstInstantOfDay(date), lastInstantOfDay(date), std::string(from), std::string(to)});
    LdError error;
    auto found = context->executeFetchRequest(request, &error);
    if (!found) {
        LdLogger::shared().logError(error.logDescription());
        return nullptr;
    }
    LdCDExchangeRate* first = nullptr;
    for (LdManagedObject* object : *found) {
        auto* rate = dynamic_cast<LdCDExchangeRate*>(object);
        if (rate == nullptr) {
            continue;
        }
        if (rate->source() == kStoredSourceUser) {
            return rate;
        }
        if (first == nullptr) {
            first = rate;
        }
    }
    return first;
}

std::optional<LdDecimal> LdCExchangeRateManager::storedRateForDay(LdDate day,
                                                                  const std::string& from,
                                                                  const std::string& to) {
    LdCDExchangeRate* stored = fetchExchangeRateFrom(from, to, day);
    if (stored == nullptr) {
        return std::nullopt;
    }
    return stored->exchange_rate();
}

std::optional<LdDecimal> LdCExchangeRateManager::exchangeRateForDay(std::optional<LdDate> day,
                                                                    std::string_view from,
                                                                    std::string_view to) {
    return exchangeRateForDay(day, from, to, /*fallbackToCurrentCurrency=*/true);
}

std::optional<LdDecimal> LdCExchangeRateManager::exchangeRateForDay(
        std::optional<LdDate> day,
        std::string_view from,
        std::string_view to,
        bool fallbackToCurrentCurrency) {
    if (!day || from.empty() || to.empty()) {
        return std::nullopt;
    }
    if (from == to) {
        return LdDecimal::one();
    }
    const OrderedPair pair = orderedPair(from, to);
    std::optional<LdDecimal> rate = storedRateForDay(*day, pair.from, pair.to);
    if (!rate && fallbackToCurrentCurrency) {
        // The current rate comes in the asked direction already.
        return currentExchangeRateFrom(from, to);
    }
    // A zero rate means "unknown" and stays zero rather than dividing by it.
    if (rate && pair.swapped && !rate->isZero()) {
        return inverted(*rate);
    }
    return rate;
}

std::optional<LdDecimal> LdCExchangeRateManager::currentExchangeRateFrom(std::string_view from,
                                                                         std::string_view to) {
    if (from.empty() || to.empty()) {
        return std::nullopt;
    }
    if (from == to) {
        return LdDecimal::one();
    }
    const OrderedPair pair = orderedPair(from, to);
    const std::string key = pair.from + pair.to;
    const auto cached = currentRatesCache_.find(key);
    if (cached == currentRatesCache_.end()) {
        loadCurrentExchangeRateFromInternet(key);
    } else if (std::holds_alternative<LdDate>(cached->second) &&
               clock_.now().timeIntervalSinceDate(std::get<LdDate>(cached->second)) >=
                       kFailureBackoffSeconds) {
        loadCurrentExchangeRateFromInternet(key);
    }
    // The entry may have come from the central bank's file already in memory just now.
    if (const auto now = currentRatesCache_.find(key); now != currentRatesCache_.end()) {
        if (const auto* rate = std::get_if<LdDecimal>(&now->second)) {
            return cachedRate(pair, *rate);
        }
    }
    return exchangeRateForDay(today(), from, to, /*fallbackToCurrentCurrency=*/false)
            .value_or(LdDecimal::zero());
}

LdDecimal LdCExchangeRateManager::cachedRate(const OrderedPairView& pair,
                                             const LdDecimal& rate) const {
    // A rate crossed from the bank's file is divided once in the asked direction rather than
    // inverted after its own rounding, so USD to CHF is exactly CHF's rate over USD's.
    if (pair.swapped && lastECBRates_ && ecbKeys_.contains(pair.from + pair.to)) {
        if (auto direct = LdCECBRatesParser::crossRate(*lastECBRates_, pair.to, pair.from)) {
            return *direct;
        }
    }
    return pair.swapped ? inverted(rate) : rate;
}

bool LdCExchangeRateManager::storeRate(const LdDecimal& rate,
                                       const std::string& from,
                                       const std::string& to,
                                       LdDate day,
                                       std::int32_t source) {
    LdManagedObjectContext* context = managedObjectContext();
    if (context == nullptr) {
        return false;
    }
    // The day's rate of this source is updated; rates of other sources stay beside it.
    LdFetchRequest request;
    request.entity = LdCDExchangeRate::entityDescription();
    request.predicate = LdPredicateParser::predicateWithFormat(
            "(date >= %@) AND (date <= %@) AND (from_currency == %@) AND (to_currency == %@) AND "
            "(source == %@)",
            {firstInstantOfDay(day), lastInstantOfDay(day), from, to,
             static_cast<std::int64_t>(source)});
    request.fetchLimit = 1;
    LdError error;
    auto found = context->executeFetchRequest(request, &error);
    if (!found) {
        LdLogger::shared().logError(error.logDescription());
        return false;
    }
    auto* stored = found->empty() ? nullptr : dynamic_cast<LdCDExchangeRate*>(found->front());
    if (stored == nullptr) {
        stored = context->insertNewObject<LdCDExchangeRate>(LdCDExchangeRate::entityName());
        if (stored == nullptr) {
            return false;
        }
        stored->setDate(firstInstantOfDay(day));
        stored->setFrom_currency(from);
        stored->setTo_currency(to);
        stored->setSource(source);
    }
    stored->setExchange_rate(rate);
    return true;
}

bool LdCExchangeRateManager::setUserExchangeRate(std::optional<LdDecimal> rate,
                                                 std::string_view from,
                                                 std::string_view to,
                                                 std::optional<LdDate> date,
                                                 LdError* error) {
    if (!rate || from.empty() || to.empty() || !date || from == to || !isPositive(*rate)) {
        return true;
    }
    const OrderedPair pair = orderedPair(from, to);
    const LdDecimal stored = pair.swapped ? inverted(*rate) : *rate;
    LdManagedObjectContext* context = managedObjectContext(error);
    if (context == nullptr) {
        return false;
    }
    if (!storeRate(stored, pair.from, pair.to, *date, kStoredSourceUser)) {
        return failWith(
                error, LdError::errorWithTitle("_ERROR", "The exchange rate could not be stored."));
    }
    return saveChanges(error);
}

LdOperationQueue& LdCExchangeRateManager::downloadQueue() {
    if (!downloadQueue_) {
        downloadQueue_ = std::make_unique<LdOperationQueue>("ExchangeRates", mainQueue_);
    }
    return *downloadQueue_;
}

void LdCExchangeRateManager::markFailure(const std::string& key) {
    currentRatesCache_[key] = clock_.now();
}

void LdCExchangeRateManager::loadCurrentExchangeRateFromInternet(const std::string& key) {
    if (key.size() != 6 || loadingCurrencyKeys_.contains(key)) {
        return;
    }
    if (rateSource() == kSourceRateService) {
        startServiceDownload(key);
        return;
    }
    // A file that arrived earlier answers at once; a pair it lacks waits out the back-off before
    // the next download.
    if (lastECBRates_ && !currentRatesCache_.contains(key)) {
        const auto rate =
                LdCECBRatesParser::crossRate(*lastECBRates_, key.substr(0, 3), key.substr(3));
        if (rate && isPositive(*rate)) {
            currentRatesCache_[key] = *rate;
            ecbKeys_.insert(key);
        } else {
            markFailure(key);
        }
        return;
    }
    loadingCurrencyKeys_.insert(key);
    if (!ecbDownloadRunning_) {
        startECBDownload();
    }
}

void LdCExchangeRateManager::startECBDownload() {
    ecbDownloadRunning_ = true;
    const std::string address = userDefaults_.stringForKey(LdAppSettingsECBRatesAddressKey)
                                        .value_or(kLdDefaultECBRatesAddress);
    auto rates = std::make_shared<std::optional<LdCECBRatesParser::Rates>>();
    std::weak_ptr<int> alive = lifeToken_;
    downloadQueue().addOperation(
            [address, rates](LdOperation& operation, LdError* error) {
                const auto data = ld::detail::downloadRateData(
                        address, ld::detail::RateDownloadLimits{},
                        [&operation] { return operation.isCancelled(); }, error);
                if (!data) {
                    return false;
                }
                *rates = LdCECBRatesParser::ratesWithData(*data, error);
                return rates->has_value();
            },
            [this, alive, rates](const LdOperationResult& result) {
                if (alive.expired()) {
                    return;
                }
                applyECBRates(result.succeeded ? *rates : std::nullopt, result.error);
            });
}

void LdCExchangeRateManager::applyECBRates(const std::optional<LdCECBRatesParser::Rates>& rates,
                                           const LdError& error) {
    ecbDownloadRunning_ = false;
    const std::set<std::string> keys = std::exchange(loadingCurrencyKeys_, {});
    if (!rates) {
        lastDownloadError_ = error;
        LdLogger::shared().logError(error.logDescription());
        for (const std::string& key : keys) {
            markFailure(key);
        }
        return;
    }
    lastDownloadError_.reset();
    lastECBRates_ = rates;
    bool updated = false;
    for (const std::string& key : keys) {
        const auto rate = LdCECBRatesParser::crossRate(*rates, key.substr(0, 3), key.substr(3));
        if (rate && isPositive(*rate)) {
            currentRatesCache_[key] = *rate;
            ecbKeys_.insert(key);
            updated = true;
        } else {
            markFailure(key);
        }
    }
    // The file's euro rates become the rates of its day; a user's rate of that day still wins.
    bool stored = true;
    for (const auto& [currency, perEuro] : rates->rates) {
        const OrderedPair pair = orderedPair(kEuro, currency);
        stored = storeRate(pair.swapped ? inverted(perEuro) : perEuro, pair.from, pair.to,
                           rates->date, kStoredSourceECB) &&
                 stored;
    }
    LdError saveError;
    if (!stored || !saveChanges(&saveError)) {
        LdLogger::shared().logError("The downloaded exchange rates were not stored. " +
                                    saveError.logDescription());
    }
    if (updated) {
        LdNotificationCenter::defaultCenter().postNotificationName(
                LdCurrentExchangeRatesUpdatedNotification);
    }
}

void LdCExchangeRateManager::startServiceDownload(const std::string& key) {
    std::string address =
            userDefaults_.stringForKey(LdAppSettingsExchangeRateServiceAddressKey).value_or("");
    while (!address.empty() && address.back() == '/') {
        address.pop_back();
    }
    if (address.empty()) {
        lastDownloadError_ = LdError::errorWithTitle(
                "_ERROR", "The exchange-rate service is not configured: set " +
                                  std::string(LdAppSettingsExchangeRateServiceAddressKey) + ".");
        markFailure(key);
        return;
    }
    const LdCoreHelper calendar(clock_, userDefaults_);
    const LdDate day = calendar.getDateInSystemTimeZone();
    char dayText[32];
    std::snprintf(dayText, sizeof dayText, "%04d-%02d-%02d", calendar.getYearOfDate(day),
                  calendar.getMonthOfDate(day), calendar.getDayOfDate(day));
    // Fixed form: path /exchangerate, then fromcurrency, tocurrency, fromdate, todate.
    const std::string url = address + "/exchangerate?fromcurrency=" + key.substr(0, 3) +
                            "&tocurrency=" + key.substr(3) + "&fromdate=" + dayText +
                            "&todate=" + dayText;
    loadingCurrencyKeys_.insert(key);
    auto rate = std::make_shared<std::optional<LdDecimal>>();
    std::weak_ptr<int> alive = lifeToken_;
    downloadQueue().addOperation(
            [url, rate](LdOperation& operation, LdError* error) {
                const auto data = ld::detail::downloadRateData(
                        url, ld::detail::RateDownloadLimits{},
                        [&operation] { return operation.isCancelled(); }, error);
                if (!data) {
                    return false;
                }
                *rate = LdCRateServiceAnswer::rateWithData(*data, error);
                return rate->has_value();
            },
            [this, alive, key, rate](const LdOperationResult& result) {
                if (alive.expired()) {
                    return;
                }
                applyServiceRate(key, result.succeeded ? *rate : std::nullopt, result.error);
            });
}

void LdCExchangeRateManager::applyServiceRate(const std::string& key,
                                              const std::optional<LdDecimal>& rate,
                                              const LdError& error) {
    loadingCurrencyKeys_.erase(key);
    if (!rate || !isPositive(*rate)) {
        lastDownloadError_ = error;
        LdLogger::shared().logError(error.logDescription());
        markFailure(key);
        return;
    }
    lastDownloadError_.reset();
    currentRatesCache_[key] = *rate;
    ecbKeys_.erase(key);
    LdNotificationCenter::defaultCenter().postNotificationName(
            LdCurrentExchangeRatesUpdatedNotification);
}
