// Tests of the notification centre and of subscriptions: delivery order and filtering, changes to
// the observers during a delivery, and subscriptions that outlive their centre.
#include "core/support/platform/LdNotificationCenter.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/support/platform/LdSubscription.h"

namespace {

class LdNotificationCenterTest : public ::testing::Test {
protected:
    // Registers an observer that appends `label` to calls_.
    LdSubscription record(const std::string& label,
                          const std::string& name = "Changed",
                          const void* object = nullptr) {
        return center_.addObserverForName(
                name, object, [this, label](const LdNotification&) { calls_.emplace_back(label); });
    }

    LdNotificationCenter center_;
    std::vector<std::string> calls_;
};

TEST_F(LdNotificationCenterTest, DeliversInRegistrationOrderWithUserInfo) {
    LdSubscription first = record("first");
    LdSubscription second = record("second");
    std::optional<LdNotification> received;
    LdSubscription third =
            center_.addObserverForName("Changed", nullptr, [&](const LdNotification& notification) {
                calls_.emplace_back("third");
                received = notification;
            });
    const int sender = 0;

    center_.postNotificationName("Changed", &sender, {{"count", LdValue(3)}});

    EXPECT_EQ(calls_, (std::vector<std::string>{"first", "second", "third"}));
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->name, "Changed");
    EXPECT_EQ(received->object, &sender);
    EXPECT_EQ(received->userInfo.at("count").integerValue(), 3);
}

struct FilterCase {
    const char* observedName;  // "" = any name
    bool observesSender;       // false = any sender
    const char* postedName;
    bool postedBySender;  // false: posted by another object
    bool delivered;
};

class LdNotificationCenterFilterTest : public LdNotificationCenterTest,
                                       public ::testing::WithParamInterface<FilterCase> {};

TEST_P(LdNotificationCenterFilterTest, MatchesNameAndSender) {
    const FilterCase& filter = GetParam();
    const int sender = 0;
    const int other = 0;
    LdSubscription subscription =
            record("hit", filter.observedName, filter.observesSender ? &sender : nullptr);

    center_.postNotificationName(filter.postedName, filter.postedBySender ? &sender : &other);

    EXPECT_EQ(calls_.size(), filter.delivered ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         LdNotificationCenterFilterTest,
                         ::testing::Values(FilterCase{"A", true, "A", true, true},
                                           FilterCase{"A", true, "A", false, false},
                                           FilterCase{"A", true, "B", true, false},
                                           FilterCase{"A", false, "A", false, true},
                                           FilterCase{"A", false, "B", false, false},
                                           FilterCase{"", true, "B", true, true},
                                           FilterCase{"", true, "B", false, false},
                                           FilterCase{"", false, "B", false, true}));

TEST_F(LdNotificationCenterTest, PostWithoutSenderReachesOnlyObserversOfAnySender) {
    const int sender = 0;
    LdSubscription specific = record("specific", "Changed", &sender);
    LdSubscription any = record("any");

    center_.postNotificationName("Changed");

    EXPECT_EQ(calls_, (std::vector<std::string>{"any"}));
}

TEST_F(LdNotificationCenterTest, ObserverCancelledDuringDeliveryIsNotCalledAfterwards) {
    LdSubscription second;
    LdSubscription first =
            center_.addObserverForName("Changed", nullptr, [&](const LdNotification&) {
                calls_.emplace_back("first");
                second.cancel();
            });
    second = record("second");
    LdSubscription third = record("third");

    center_.postNotificationName("Changed");
    center_.postNotificationName("Changed");

    EXPECT_EQ(calls_, (std::vector<std::string>{"first", "third", "first", "third"}));
}

TEST_F(LdNotificationCenterTest, ObserverMayDestroyItsOwnAndLaterSubscriptions) {
    auto subscriptions = std::make_unique<std::vector<LdSubscription>>();
    subscriptions->emplace_back(
            center_.addObserverForName("Changed", nullptr, [&](const LdNotification&) {
                calls_.emplace_back("first");
                // Destroys this callback's own subscription and the later one while this callback
                // runs.
                subscriptions.reset();
            }));
    subscriptions->emplace_back(record("second"));

    center_.postNotificationName("Changed");
    center_.postNotificationName("Changed");

    EXPECT_EQ(calls_, (std::vector<std::string>{"first"}));
    EXPECT_EQ(center_.observerCount(), 0U);
}

TEST_F(LdNotificationCenterTest, ObserverAddedDuringDeliveryHearsOnlyTheNextPost) {
    std::vector<LdSubscription> added;
    LdSubscription adder =
            center_.addObserverForName("Changed", nullptr, [&](const LdNotification&) {
                calls_.emplace_back("adder");
                if (added.empty()) {
                    added.push_back(record("added"));
                }
            });

    center_.postNotificationName("Changed");
    EXPECT_EQ(calls_, (std::vector<std::string>{"adder"}));

    center_.postNotificationName("Changed");
    EXPECT_EQ(calls_, (std::vector<std::string>{"adder", "adder", "added"}));
}

TEST_F(LdNotificationCenterTest, ObserverMayPostDuringDelivery) {
    LdSubscription inner = record("inner", "Inner");
    LdSubscription outer = center_.addObserverForName("Outer", nullptr, [&](const LdNotification&) {
        calls_.emplace_back("outer begins");
        center_.postNotificationName("Inner");
        calls_.emplace_back("outer ends");
    });

    center_.postNotificationName("Outer");

    EXPECT_EQ(calls_, (std::vector<std::string>{"outer begins", "inner", "outer ends"}));
}

TEST_F(LdNotificationCenterTest, SubscriptionOutlivingItsCenterCancelsHarmlessly) {
    auto center = std::make_unique<LdNotificationCenter>();
    int calls = 0;
    LdSubscription subscription =
            center->addObserverForName("", nullptr, [&](const LdNotification&) { ++calls; });
    center->postNotificationName("Any");

    center.reset();
    subscription.cancel();

    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(subscription.isActive());
}

TEST_F(LdNotificationCenterTest, CenterDestroyedDuringDeliveryFinishesTheDelivery) {
    auto center = std::make_unique<LdNotificationCenter>();
    int later = 0;
    LdSubscription destroyer =
            center->addObserverForName("", nullptr, [&](const LdNotification&) { center.reset(); });
    LdSubscription after =
            center->addObserverForName("", nullptr, [&](const LdNotification&) { ++later; });

    center->postNotificationName("Any");

    EXPECT_EQ(center, nullptr);
    EXPECT_EQ(later, 1);
}

TEST_F(LdNotificationCenterTest, MissingCallbackRegistersNothing) {
    const LdSubscription subscription = center_.addObserverForName("Changed", nullptr, nullptr);

    EXPECT_FALSE(subscription.isActive());
    EXPECT_EQ(center_.observerCount(), 0U);
}

TEST_F(LdNotificationCenterTest, SubscriptionMovesAndCancelsOnce) {
    LdSubscription original = record("a");
    LdSubscription moved = std::move(original);
    EXPECT_FALSE(
            original.isActive());  // NOLINT(bugprone-use-after-move): moved-from state is defined
    EXPECT_TRUE(moved.isActive());

    center_.postNotificationName("Changed");
    moved = record("b");  // cancels "a"
    center_.postNotificationName("Changed");
    moved.cancel();
    moved.cancel();
    center_.postNotificationName("Changed");

    EXPECT_EQ(calls_, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(center_.observerCount(), 0U);
}

TEST_F(LdNotificationCenterTest, RegistrationIsSafeWhilePostingOnOtherThreads) {
    std::atomic<int> delivered{0};
    std::atomic<bool> stop{false};
    LdSubscription counter = center_.addObserverForName(
            "Tick", nullptr, [&](const LdNotification&) { ++delivered; });
    std::thread poster([&] {
        // At least one post, however late this thread gets to run.
        do {
            center_.postNotificationName("Tick");
        } while (!stop.load());
    });
    std::vector<std::thread> registrars;
    for (int thread = 0; thread < 3; ++thread) {
        registrars.emplace_back([&] {
            for (int round = 0; round < 300; ++round) {
                LdSubscription temporary = center_.addObserverForName(
                        "Tick", nullptr, [&](const LdNotification&) { ++delivered; });
            }
        });
    }
    for (std::thread& registrar : registrars) {
        registrar.join();
    }
    stop.store(true);
    poster.join();

    EXPECT_EQ(center_.observerCount(), 1U);
    EXPECT_GT(delivered.load(), 0);
}

TEST(LdNotificationCenterDefaultTest, DefaultCenterIsOneInstance) {
    EXPECT_EQ(&LdNotificationCenter::defaultCenter(), &LdNotificationCenter::defaultCenter());
}

}  // namespace
