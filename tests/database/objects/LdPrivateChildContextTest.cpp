// A child context on another thread reads its parent's unsaved changes through the parent's
// queue, and a cancelled child answers at once.
#include "core/database/objects/LdPrivateChildContext.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/support/platform/LdClock.h"
#include "core/support/queues/LdMainQueue.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

class LdPrivateChildContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = std::make_unique<LdCryptStore>(folder_ / "Child.ldb", LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        parent_ = std::make_unique<LdManagedObjectContext>(*store_);
        parent_->setMainQueue(&queue_);
    }

    // Runs `work` on a second thread while this thread drives the parent's queue.
    void onWorker(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            work();
            done = true;
            queue_.post([] {});  // wakes the loop for the last look at `done`
        });
        while (!done) {
            queue_.runOnce();
        }
        worker.join();
    }

    LdManualClock clock_;
    LdMainQueue queue_{clock_};
    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> parent_;
};

}  // namespace

TEST_F(LdPrivateChildContextTest, ChildOnAnotherThreadSeesTheParentsUnsavedChanges) {
    LdManagedObject* saved = parent_->insertNewObjectForEntityForName("Tag");
    saved->setValueForKey(LdValue("saved"), "name");
    LdError error;
    ASSERT_TRUE(parent_->save(&error)) << error;
    LdManagedObject* fresh = parent_->insertNewObjectForEntityForName("Tag");
    fresh->setValueForKey(LdValue("fresh"), "name");
    saved->setValueForKey(LdValue("renamed"), "name");

    LdPrivateChildContext child(*parent_, queue_);
    LdFetchRequest request;
    request.entity = LdObjectModel::ledraModel().entityNamed("Tag");
    request.sortDescriptors = {{"name", true}};
    std::optional<std::vector<LdObjectID>> ids;
    std::optional<std::size_t> count;
    std::optional<LdObjectSnapshot> snapshot;
    onWorker([&] {
        ids = child.executeFetchRequest(request);
        request.predicate = LdPredicateParser::predicateWithFormat("name BEGINSWITH 'r'");
        count = child.countForFetchRequest(request);
        snapshot = child.snapshotForObjectID(saved->objectID());
    });
    ASSERT_TRUE(ids.has_value());
    EXPECT_EQ(*ids, (std::vector<LdObjectID>{fresh->objectID(), saved->objectID()}));
    EXPECT_EQ(count, std::optional<std::size_t>(1));
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_EQ(snapshot->values[saved->entity()->propertyNamed("name")->propertyNumber()],
              LdValue("renamed"));
    EXPECT_EQ(snapshot->version, 1U);
}

TEST_F(LdPrivateChildContextTest, CancelledChildFailsAtOnceWithoutTheParent) {
    LdPrivateChildContext child(*parent_, queue_);
    child.cancel();
    LdError error;
    std::optional<std::size_t> count;
    std::thread worker([&] {
        LdFetchRequest request;
        request.entity = LdObjectModel::ledraModel().entityNamed("Tag");
        count = child.countForFetchRequest(request, &error);
    });
    worker.join();  // nothing drives the queue: only cancellation can end the call
    EXPECT_FALSE(count.has_value());
    EXPECT_EQ(error.title(), "cancelled");
    queue_.runUntilIdle();  // the posted request finds the child cancelled
}
