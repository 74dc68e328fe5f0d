// The exchange rates of an open database: day rates in both directions, user rates, the current
// rate with its downloads from the central bank's file and the rate service (served by a loopback
// HTTP server of the test), the failure back-off on a manual clock, and the download URL checks.
#include "core/database/rates/LdCExchangeRateManager.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/rates/detail/LdRateDownload.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUserDefaults.h"
#include "core/support/queues/LdMainQueue.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

LdDecimal decimal(const char* text) {
    return *LdDecimal::fromString(text);
}

// Noon UTC of a day in March 2024.
LdDate march2024(int day, double hours = 12.0) {
    const std::int64_t days =
            LdCivilDate::daysFromCivil(2024, 3, day) - LdCivilDate::kReferenceDayFromUnixEpoch;
    return LdDate::fromReferenceSeconds(static_cast<double>(days) * 86400.0 + hours * 3600.0);
}

const LdDate kFriday = march2024(15);
const LdDate kSunday = march2024(17);

std::string fileText(const std::string& relativePath) {
    const LdData bytes = ldReadFile(ldTestDataPath(relativePath));
    return std::string(bytes.begin(), bytes.end());
}

// A one-request-per-connection HTTP server on 127.0.0.1 with a free port, answering from a table
// of paths and counting the requests it gets.
class LdRateTestServer {
public:
    LdRateTestServer() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(socket_, 8) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback server";
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serveConnections(); });
    }

    ~LdRateTestServer() {
        stopping_ = true;
        ::shutdown(socket_, SHUT_RDWR);  // wakes the blocked accept
        thread_.join();
        ::close(socket_);
    }

    LdRateTestServer(const LdRateTestServer&) = delete;
    LdRateTestServer& operator=(const LdRateTestServer&) = delete;

    // Answers requests for `path` (the target without its query) with `status` and `body`.
    void serve(const std::string& path, int status, std::string body) {
        const std::lock_guard lock(mutex_);
        answers_[path] = {status, std::move(body)};
    }

    std::string address() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::size_t requestCount() const {
        const std::lock_guard lock(mutex_);
        return targets_.size();
    }
    std::vector<std::string> targets() const {
        const std::lock_guard lock(mutex_);
        return targets_;
    }

private:
    struct Answer {
        int status = 404;
        std::string body;
    };

    void serveConnections() {
        while (!stopping_) {
            const int connection = ::accept(socket_, nullptr, nullptr);
            if (connection < 0) {
                continue;  // the shutdown, or an interrupted accept
            }
            answer(connection);
            ::close(connection);
        }
    }

    void answer(int connection) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count <= 0) {
                return;
            }
            request.append(buffer, static_cast<std::size_t>(count));
        }
        const std::size_t targetStart = request.find(' ') + 1;
        const std::string target =
                request.substr(targetStart, request.find(' ', targetStart) - targetStart);
        Answer found;
        {
            const std::lock_guard lock(mutex_);
            targets_.push_back(target);
            if (auto entry = answers_.find(target.substr(0, target.find('?')));
                entry != answers_.end()) {
                found = entry->second;
            }
        }
        const std::string response = "HTTP/1.1 " + std::to_string(found.status) +
                                     " X\r\nContent-Length: " + std::to_string(found.body.size()) +
                                     "\r\nConnection: close\r\n\r\n" + found.body;
        std::size_t sent = 0;
        while (sent < response.size()) {
            const ssize_t count = ::send(connection, response.data() + sent, response.size() - sent,
                                         MSG_NOSIGNAL);
            if (count <= 0) {
                return;  // the client gave up (a body past its cap)
            }
            sent += static_cast<std::size_t>(count);
        }
    }

    int socket_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::vector<std::string> targets_;
    std::thread thread_;
};

class LdCExchangeRateTest : public ::testing::Test {
protected:
    LdCExchangeRateTest() {
        defaults_->setString(server_.address() + "/ecb/daily.xml", LdAppSettingsECBRatesAddressKey);
        makeManager();
    }

    void makeManager() {
        manager_.reset();
        manager_ = std::make_unique<LdCExchangeRateManager>(folder_ / "Test.lddb", *defaults_,
                                                            clock_, queue_);
    }

    // Runs the main queue until the running download's result was applied.
    void waitForDownload() {
        while (manager_->isDownloading()) {
            queue_.runOnce();
        }
    }

    // Stores a rate as a download would have, without the manager's ordering.
    void storeRate(const char* from, const char* to, const char* rate, LdDate day, int source) {
        auto* stored = manager_->managedObjectContext()->insertNewObject<LdCDExchangeRate>(
                LdCDExchangeRate::entityName());
        stored->setFrom_currency(from);
        stored->setTo_currency(to);
        stored->setExchange_rate(decimal(rate));
        stored->setDate(day);
        stored->setSource(source);
        ASSERT_TRUE(manager_->saveChanges());
    }

    // Every stored rate as "FROM TO rate source".
    std::vector<std::string> storedRates() {
        LdFetchRequest request;
        request.entity = LdCDExchangeRate::entityDescription();
        request.sortDescriptors = {{"from_currency", true}, {"source", true}};
        std::vector<std::string> rows;
        const auto found = manager_->managedObjectContext()->executeFetchRequest(request);
        for (LdManagedObject* object : found.value_or(std::vector<LdManagedObject*>())) {
            auto* rate = static_cast<LdCDExchangeRate*>(object);
            rows.push_back(rate->from_currency() + " " + rate->to_currency() + " " +
                           rate->exchange_rate().toString() + " " + std::to_string(rate->source()));
        }
        return rows;
    }

    LdTemporaryFolder folder_;
    LdManualClock clock_{kSunday};
    std::unique_ptr<LdUserDefaults> defaults_ = LdUserDefaults::inMemory();
    LdMainQueue queue_{clock_};
    LdRateTestServer server_;
    std::unique_ptr<LdCExchangeRateManager> manager_;
};

// Day rates and user rates.

TEST_F(LdCExchangeRateTest, DayRateIsReadInBothDirectionsAndZeroIsNotInverted) {
    storeRate("EUR", "USD", "1.25", march2024(15, 0.0), 2);
    storeRate("CHF", "EUR", "0", march2024(15, 0.0), 2);

    EXPECT_EQ(manager_->exchangeRateForDay(kFriday, "EUR", "USD", false), decimal("1.25"));
    EXPECT_EQ(manager_->exchangeRateForDay(kFriday, "USD", "EUR", false)->toString(), "0.8");
    // The last second of the day still finds it; the next day does not.
    EXPECT_EQ(manager_->exchangeRateForDay(march2024(15, 23.99), "EUR", "USD", false),
              decimal("1.25"));
    EXPECT_FALSE(manager_->exchangeRateForDay(march2024(16, 0.0), "EUR", "USD", false));
    EXPECT_TRUE(manager_->exchangeRateForDay(kFriday, "EUR", "CHF", false)->isZero());
    EXPECT_TRUE(manager_->exchangeRateForDay(kFriday, "CHF", "EUR", false)->isZero());
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(LdCExchangeRateTest, SameCurrencyIsExactlyOneAndMissingArgumentsGiveNothing) {
    EXPECT_EQ(manager_->exchangeRateForDay(kFriday, "CHF", "CHF"), LdDecimal::one());
    EXPECT_EQ(manager_->currentExchangeRateFrom("CHF", "CHF"), LdDecimal::one());
    EXPECT_FALSE(manager_->exchangeRateForDay(std::nullopt, "EUR", "USD"));
    EXPECT_FALSE(manager_->exchangeRateForDay(kFriday, "", "USD"));
    EXPECT_FALSE(manager_->currentExchangeRateFrom("EUR", ""));
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(LdCExchangeRateTest, UserRateIsStoredOrderedBesideDownloadedOneWinsAndIsUpdated) {
    storeRate("EUR", "USD", "1.30", march2024(15, 0.0), 2);

    ASSERT_TRUE(manager_->setUserExchangeRate(decimal("0.8"), "USD", "EUR", kFriday));
    EXPECT_EQ(storedRates(), (std::vector<std::string>{"EUR USD 1.25 1", "EUR USD 1.3 2"}));
    EXPECT_EQ(manager_->exchangeRateForDay(kFriday, "EUR", "USD", false), decimal("1.25"));
    EXPECT_EQ(manager_->fetchExchangeRateFrom("EUR", "USD", kFriday)->source(), 1);

    // Entering it again changes the same row, also from a later hour of the day.
    ASSERT_TRUE(manager_->setUserExchangeRate(decimal("2"), "EUR", "USD", march2024(15, 20.0)));
    ASSERT_TRUE(manager_->setUserExchangeRate(decimal("0.5"), "USD", "EUR", kFriday));
    EXPECT_EQ(storedRates(), (std::vector<std::string>{"EUR USD 2 1", "EUR USD 1.3 2"}));
    EXPECT_EQ(manager_->exchangeRateForDay(kFriday, "USD", "EUR", false)->toString(), "0.5");

    // Saved: a new manager on the same folder reads the same.
    makeManager();
    EXPECT_EQ(manager_->exchangeRateForDay(kFriday, "EUR", "USD", false), decimal("2"));
    EXPECT_EQ(storedRates().size(), 2u);
}

TEST_F(LdCExchangeRateTest, UserRatesThatMakeNoSenseAreIgnored) {
    EXPECT_TRUE(manager_->setUserExchangeRate(decimal("0"), "EUR", "USD", kFriday));
    EXPECT_TRUE(manager_->setUserExchangeRate(decimal("-1.2"), "EUR", "USD", kFriday));
    EXPECT_TRUE(manager_->setUserExchangeRate(decimal("1.2"), "EUR", "EUR", kFriday));
    EXPECT_TRUE(manager_->setUserExchangeRate(std::nullopt, "EUR", "USD", kFriday));
    EXPECT_TRUE(manager_->setUserExchangeRate(decimal("1.2"), "EUR", "USD", std::nullopt));
    EXPECT_TRUE(storedRates().empty());
}

TEST_F(LdCExchangeRateTest, PairKeyPutsTheSmallerCodeFirst) {
    EXPECT_EQ(LdCExchangeRateManager::pairKey("USD", "EUR"), "EURUSD");
    EXPECT_EQ(LdCExchangeRateManager::pairKey("EUR", "USD"), "EURUSD");
}

// Current rates from the central bank's file.

TEST_F(LdCExchangeRateTest, OneCentralBankDownloadServesEveryPairAndStoresTheFilesDay) {
    server_.serve("/ecb/daily.xml", 200, fileText("currency/ecb-friday-read-on-sunday.xml"));
    int notifications = 0;
    LdSubscription subscription = LdNotificationCenter::defaultCenter().addObserverForName(
            LdCurrentExchangeRatesUpdatedNotification, nullptr,
            [&notifications](const LdNotification&) { ++notifications; });
    ASSERT_TRUE(manager_->setUserExchangeRate(decimal("1.5"), "EUR", "USD", kFriday));

    // Nothing known yet: zero while the download runs; a second pair joins the same download.
    EXPECT_TRUE(manager_->currentExchangeRateFrom("EUR", "USD")->isZero());
    EXPECT_TRUE(manager_->currentExchangeRateFrom("USD", "CHF")->isZero());
    EXPECT_EQ(notifications, 0);  // results arrive on the main queue only
    waitForDownload();
    EXPECT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(notifications, 1);

    const LdDecimal usd = decimal("1.0921");
    EXPECT_EQ(manager_->currentExchangeRateFrom("EUR", "USD"), usd);
    EXPECT_EQ(manager_->currentExchangeRateFrom("USD", "EUR"), LdDecimal::one() / usd);
    EXPECT_EQ(manager_->currentExchangeRateFrom("USD", "EUR")->toString(),
              "0.91566706345572749748191557549674938192");
    EXPECT_EQ(manager_->currentExchangeRateFrom("USD", "CHF"), decimal("0.9612") / usd);
    // Pairs asked later come from the file in memory; an absent currency has no rate.
    EXPECT_EQ(manager_->currentExchangeRateFrom("JPY", "EUR"),
              LdDecimal::one() / decimal("162.17"));
    EXPECT_TRUE(manager_->currentExchangeRateFrom("EUR", "GBP")->isZero());
    EXPECT_EQ(server_.requestCount(), 1u);

    // Friday's euro rates are stored with source 2 (AUD before EUR: inverted); the user's Friday
    // rate stays and wins; Sunday has no stored rate.
    EXPECT_EQ(manager_->fetchExchangeRateFrom("AUD", "EUR", kFriday)->exchange_rate(),
              LdDecimal::one() / decimal("1.6612"));
    EXPECT_EQ(manager_->fetchExchangeRateFrom("CHF", "EUR", kFriday)->source(), 2);
    EXPECT_EQ(storedRates().size(), 5u);
    EXPECT_EQ(manager_->exchangeRateForDay(kFriday, "EUR", "USD", false), decimal("1.5"));
    EXPECT_FALSE(manager_->exchangeRateForDay(kSunday, "EUR", "USD", false));
    EXPECT_EQ(manager_->exchangeRateForDay(kSunday, "EUR", "USD"), usd);
}

TEST_F(LdCExchangeRateTest, FailedDownloadBacksOffEveryAskedPairForThirtySeconds) {
    server_.serve("/ecb/daily.xml", 500, "");
    EXPECT_TRUE(manager_->currentExchangeRateFrom("EUR", "USD")->isZero());
    EXPECT_TRUE(manager_->currentExchangeRateFrom("EUR", "CHF")->isZero());
    waitForDownload();
    ASSERT_TRUE(manager_->lastDownloadError());
    EXPECT_EQ(server_.requestCount(), 1u);

    // Within the back-off: no request for either pair, the stored rate of today answers.
    storeRate("EUR", "USD", "1.11", march2024(17, 0.0), 1);
    clock_.advance(29.0);
    EXPECT_EQ(manager_->currentExchangeRateFrom("EUR", "USD"), decimal("1.11"));
    EXPECT_TRUE(manager_->currentExchangeRateFrom("CHF", "EUR")->isZero());
    EXPECT_FALSE(manager_->isDownloading());
    EXPECT_EQ(server_.requestCount(), 1u);

    clock_.advance(1.0);
    server_.serve("/ecb/daily.xml", 200, fileText("currency/ecb-friday-read-on-sunday.xml"));
    manager_->currentExchangeRateFrom("EUR", "USD");
    waitForDownload();
    EXPECT_EQ(server_.requestCount(), 2u);
    EXPECT_EQ(manager_->currentExchangeRateFrom("EUR", "USD"), decimal("1.0921"));
}

TEST_F(LdCExchangeRateTest, MalformedFileOrOversizedBodyIsAFailure) {
    server_.serve("/ecb/daily.xml", 200, fileText("currency/ecb-malformed.xml"));
    manager_->currentExchangeRateFrom("EUR", "USD");
    waitForDownload();
    EXPECT_TRUE(manager_->currentExchangeRateFrom("EUR", "USD")->isZero());
    EXPECT_TRUE(manager_->lastDownloadError());
    EXPECT_TRUE(storedRates().empty());

    server_.serve("/ecb/daily.xml", 200, std::string(1024 * 1024 + 1, ' '));
    clock_.advance(30.0);
    manager_->currentExchangeRateFrom("EUR", "USD");
    waitForDownload();
    EXPECT_EQ(server_.requestCount(), 2u);
    EXPECT_TRUE(manager_->currentExchangeRateFrom("EUR", "USD")->isZero());
}

// Current rates from the rate service.

TEST_F(LdCExchangeRateTest, RateServiceIsAskedWithTheExactPathAndQuery) {
    defaults_->setInteger(LdCExchangeRateManager::kSourceRateService,
                          LdAppSettingsExchangeRateSourceKey);
    defaults_->setString(server_.address() + "/service/",
                         LdAppSettingsExchangeRateServiceAddressKey);
    server_.serve("/service/exchangerate", 200, fileText("currency/rate-answer-real.plist"));

    EXPECT_TRUE(manager_->currentExchangeRateFrom("USD", "EUR")->isZero());
    waitForDownload();
    EXPECT_EQ(server_.targets(),
              std::vector<std::string>{"/service/exchangerate?fromcurrency=EUR&tocurrency=USD&"
                                       "fromdate=2024-03-17&todate=2024-03-17"});
    EXPECT_EQ(manager_->currentExchangeRateFrom("EUR", "USD"), decimal("0.1"));
    EXPECT_EQ(manager_->currentExchangeRateFrom("USD", "EUR"), decimal("10"));

    // A table of two rows is no rate: back-off as for a failed transfer.
    server_.serve("/service/exchangerate", 200, fileText("currency/rate-answer-two-rows.plist"));
    manager_->currentExchangeRateFrom("CHF", "EUR");
    waitForDownload();
    manager_->currentExchangeRateFrom("CHF", "EUR");
    EXPECT_EQ(server_.requestCount(), 2u);
    EXPECT_TRUE(manager_->currentExchangeRateFrom("CHF", "EUR")->isZero());
}

TEST_F(LdCExchangeRateTest, RateServiceWithoutAddressIsNotConfigured) {
    manager_->setRateSourceOverride(LdCExchangeRateManager::kSourceRateService);
    EXPECT_TRUE(manager_->currentExchangeRateFrom("EUR", "USD")->isZero());
    EXPECT_FALSE(manager_->isDownloading());
    ASSERT_TRUE(manager_->lastDownloadError());
    EXPECT_NE(manager_->lastDownloadError()->description().find("not configured"),
              std::string::npos);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST(LdCExchangeRateDownloadTest, OnlyHttpsOrLoopbackHttpIsFetched) {
    const std::vector<std::pair<std::string, bool>> cases = {
            {"https://rates.example.org/daily.xml", true},
            {"HTTPS://rates.example.org", true},
            {"http://127.0.0.1:8080/x", true},
            {"http://localhost/x", true},
            {"http://[::1]:99/x", true},
            {"http://rates.example.org/x", false},
            {"http://127.0.0.1.example.org/x", false},
            {"http://127.0.0.1@example.org/x", false},
            {"ftp://127.0.0.1/x", false},
            {"file:///etc/passwd", false},
            {"https://", false},
    };
    for (const auto& [url, allowed] : cases) {
        EXPECT_EQ(ld::detail::isAllowedRateURL(url), allowed) << url;
    }
    LdError error;
    EXPECT_FALSE(ld::detail::downloadRateData("http://rates.example.org/x", {}, {}, &error));
    EXPECT_FALSE(error.description().empty());
}

}  // namespace
