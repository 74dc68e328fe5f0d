// The change fan-out: exact class matching, order and emptiness of the calls, registration,
// disabling, suspension and the nested processing of observers' own changes.
#include "core/database/session/LdCManagedObjectsChangeNotificationManager.h"

#include <functional>

#include <gtest/gtest.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

using Objects = std::vector<LdManagedObject*>;

// Writes "<name> <kind> <count>" into a shared log for every call, and runs `react` after it.
class Recorder : public LdCManagedObjectsObserver {
public:
    Recorder(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}

    void managedObjectsInserted(const Objects& objects) override { record("inserted", objects); }
    void managedObjectsDeleted(const Objects& objects) override { record("deleted", objects); }
    void managedObjectsUpdated(const Objects& objects) override { record("updated", objects); }

    std::function<void(const std::string& kind, const Objects&)> react;
    std::vector<Objects> received;

private:
    void record(const std::string& kind, const Objects& objects) {
        log_.push_back(name_ + " " + kind + " " + std::to_string(objects.size()));
        received.push_back(objects);
        if (react) {
            react(kind, objects);
        }
    }

    std::string name_;
    std::vector<std::string>& log_;
};

class LdCManagedObjectsChangeNotificationManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = std::make_unique<LdCryptStore>(folder_ / "store.ldcryptdata",
                                                LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        context_ = std::make_unique<LdManagedObjectContext>(*store_);
        manager_ = std::make_unique<LdCManagedObjectsChangeNotificationManager>(*context_);
    }

    LdCDTag* tag(const char* name) {
        auto* made = context_->insertNewObject<LdCDTag>(LdCDTag::entityName());
        made->setName(name);
        return made;
    }

    void saveQuietly() {
        LdError error;
        ASSERT_TRUE(context_->save(&error)) << error;
    }

    static std::vector<const LdEntityDescription*> tags() { return {LdCDTag::entityDescription()}; }

    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
    std::unique_ptr<LdCManagedObjectsChangeNotificationManager> manager_;
    std::vector<std::string> log_;
};

}  // namespace

TEST_F(LdCManagedObjectsChangeNotificationManagerTest, ObserversHearOnlyTheirExactClasses) {
    Recorder entries("entries", log_);
    Recorder prebooked("prebooked", log_);
    LdSubscription entriesSubscription =
            manager_->registerObserver(&entries, std::vector<std::string>{"LdCDEntry"});
    LdSubscription prebookedSubscription =
            manager_->registerObserver(&prebooked, {LdCDPrebookedOnlineEntry::entityDescription()});

    auto* entry = context_->insertNewObject<LdCDEntry>(LdCDEntry::entityName());
    auto* pending = context_->insertNewObject<LdCDPrebookedOnlineEntry>(
            LdCDPrebookedOnlineEntry::entityName());
    tag("unobserved");
    context_->processPendingChanges();

    EXPECT_EQ(log_, (std::vector<std::string>{"entries inserted 1", "prebooked inserted 1"}));
    EXPECT_EQ(entries.received, std::vector<Objects>{{entry}});
    EXPECT_EQ(prebooked.received, std::vector<Objects>{{pending}});
}

TEST_F(LdCManagedObjectsChangeNotificationManagerTest,
       CallsComeInsertedDeletedUpdatedAndNeverEmpty) {
    LdCDTag* kept = tag("kept");
    LdCDTag* gone = tag("gone");
    saveQuietly();
    Recorder first("first", log_);
    Recorder second("second", log_);
    LdSubscription firstSubscription = manager_->registerObserver(&first, tags());
    LdSubscription secondSubscription = manager_->registerObserver(&second, tags());

    kept->setName("renamed");
    context_->deleteObject(gone);
    LdCDTag* added = tag("added");
    context_->processPendingChanges();
    // Observers in registration order, each with its three calls in the fixed order.
    EXPECT_EQ(log_, (std::vector<std::string>{"first inserted 1", "first deleted 1",
                                              "first updated 1", "second inserted 1",
                                              "second deleted 1", "second updated 1"}));
    EXPECT_EQ(first.received, (std::vector<Objects>{{added}, {gone}, {kept}}));

    // Registering again replaces the set and keeps the place; only updates: one call.
    log_.clear();
    LdSubscription again = manager_->registerObserver(&first, tags());
    firstSubscription.cancel();  // the replaced registration's handle unregisters nothing
    kept->setName("again");
    context_->processPendingChanges();
    EXPECT_EQ(log_, (std::vector<std::string>{"first updated 1", "second updated 1"}));

    log_.clear();
    again.cancel();
    EXPECT_EQ(manager_->observerCount(), 1U);
    kept->setName("once more");
    context_->processPendingChanges();
    EXPECT_EQ(log_, std::vector<std::string>{"second updated 1"});
}

TEST_F(LdCManagedObjectsChangeNotificationManagerTest, DisabledNotificationsAreDropped) {
    Recorder observer("observer", log_);
    LdSubscription subscription = manager_->registerObserver(&observer, tags());
    manager_->disableNotifications();
    tag("unheard");
    context_->processPendingChanges();
    EXPECT_TRUE(log_.empty());

    manager_->enableNotifications();
    tag("heard");
    context_->processPendingChanges();
    EXPECT_EQ(log_, std::vector<std::string>{"observer inserted 1"});
}

TEST_F(LdCManagedObjectsChangeNotificationManagerTest, SuspensionAnnouncesOneCombinedRound) {
    LdCDTag* stored = tag("stored");
    LdCDTag* storedThenDeleted = tag("stored then deleted");
    saveQuietly();
    Recorder observer("observer", log_);
    LdSubscription subscription = manager_->registerObserver(&observer, tags());

    manager_->beginSuspendNotifications();
    manager_->beginSuspendNotifications();
    LdCDTag* transient = tag("inserted then deleted");
    LdCDTag* added = tag("added");
    stored->setName("changed");
    context_->processPendingChanges();
    context_->deleteObject(transient);
    storedThenDeleted->setName("changed first");
    context_->processPendingChanges();
    context_->deleteObject(storedThenDeleted);
    stored->setName("changed twice");
    context_->processPendingChanges();
    manager_->endSuspendNotifications();
    EXPECT_TRUE(log_.empty()) << "an inner end announces nothing";

    manager_->endSuspendNotifications();
    EXPECT_FALSE(manager_->isSuspended());
    ASSERT_EQ(log_, (std::vector<std::string>{"observer inserted 1", "observer deleted 2",
                                              "observer updated 1"}));
    EXPECT_EQ(observer.received[0], Objects{added});
    // Inserted and deleted within the suspension: announced as deleted only.
    EXPECT_EQ(observer.received[1], (Objects{transient, storedThenDeleted}));
    EXPECT_EQ(observer.received[2], Objects{stored});
}

TEST_F(LdCManagedObjectsChangeNotificationManagerTest, ObserversMayRegisterDuringFanOut) {
    Recorder late("late", log_);
    LdSubscription lateSubscription;
    Recorder early("early", log_);
    early.react = [&](const std::string&, const Objects&) {
        if (!lateSubscription) {
            lateSubscription = manager_->registerObserver(&late, tags());
        }
    };
    LdSubscription earlySubscription = manager_->registerObserver(&early, tags());

    tag("first");
    context_->processPendingChanges();
    EXPECT_EQ(log_, std::vector<std::string>{"early inserted 1"});  // late hears the next round
    tag("second");
    context_->processPendingChanges();
    EXPECT_EQ(log_, (std::vector<std::string>{"early inserted 1", "early inserted 1",
                                              "late inserted 1"}));
}

TEST_F(LdCManagedObjectsChangeNotificationManagerTest,
       ObserversOwnChangesAreAnnouncedUpToNineLevels) {
    Recorder observer("observer", log_);
    observer.react = [&](const std::string&, const Objects&) {
        tag("made by the observer");
    };
    LdSubscription subscription = manager_->registerObserver(&observer, tags());

    tag("start");
    context_->processPendingChanges();
    // The first round and nine nested ones; the tenth round's tag waits for the next round.
    EXPECT_EQ(log_.size(), 10U);
    EXPECT_EQ(context_->insertedObjects().size(), 11U);

    // The counter starts from zero again.
    context_->processPendingChanges();
    EXPECT_EQ(log_.size(), 20U);
}
