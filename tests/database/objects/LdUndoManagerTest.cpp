// Undo and redo of inserts, deletes, attribute and relationship changes, before and after saves,
// with their notifications around the work.
#include "core/database/objects/LdUndoManager.h"

#include <gtest/gtest.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/queues/LdMainQueue.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

class LdUndoManagerTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }

    void open() {
        context_.reset();
        store_ = std::make_unique<LdCryptStore>(folder_ / "Undo.ldb", LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        context_ = std::make_unique<LdManagedObjectContext>(*store_);
        context_->setMainQueue(&queue_);
        undo_ = context_->undoManager();
    }

    void save() {
        LdError error;
        ASSERT_TRUE(context_->save(&error)) << error;
    }

    // Ends the current main-queue task, which closes the automatic undo group.
    void endTask() { queue_.runUntilIdle(); }

    std::size_t rows(const char* entity) {
        LdFetchRequest request;
        request.entity = LdObjectModel::ledraModel().entityNamed(entity);
        request.resultType = LdFetchRequest::ResultType::Count;
        auto result = store_->executeFetchRequest(request);
        return result ? result->count : 999;
    }

    std::vector<std::string> entryTitles(LdManagedObject* day) {
        std::vector<std::string> titles;
        for (LdManagedObject* entry : day->objectsForKey("entries")) {
            titles.push_back(entry->valueForKey("title").stringValue());
        }
        return titles;
    }

    LdManualClock clock_;
    LdMainQueue queue_{clock_};
    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
    LdUndoManager* undo_ = nullptr;
};

}  // namespace

TEST_F(LdUndoManagerTest, OneTaskIsOneStepAndRedoRestoresIt) {
    LdManagedObject* day = context_->insertNewObjectForEntityForName("DayBalance");
    save();
    endTask();
    ASSERT_TRUE(undo_->canUndo());
    undo_->removeAllActions();  // the day balance stays

    // One task: a new entry joins the day balance and gets a title.
    LdManagedObject* entry = context_->insertNewObjectForEntityForName("Entry");
    entry->setValueForKey(LdValue("Rent"), "title");
    entry->setObjectForKey(day, "dayBalance");
    endTask();
    // A second task changes the title.
    entry->setValueForKey(LdValue("Rent May"), "title");
    endTask();

    std::vector<std::string> heard;
    LdSubscription subscription = LdNotificationCenter::defaultCenter().addObserverForName(
            "", context_.get(), [&](const LdNotification& note) { heard.push_back(note.name); });
    undo_->undo();
    EXPECT_EQ(entry->valueForKey("title"), LdValue("Rent"));
    EXPECT_EQ(heard, (std::vector<std::string>{kLdUndoManagerWillUndoNotification,
                                               kLdObjectsDidChangeNotification,
                                               kLdUndoManagerDidUndoNotification}));
    undo_->undo();
    EXPECT_TRUE(entry->isDeleted());
    EXPECT_FALSE(entry->isInserted());
    EXPECT_TRUE(entryTitles(day).empty());
    EXPECT_FALSE(context_->hasChanges() && !context_->insertedObjects().empty());
    save();
    EXPECT_EQ(rows("Entry"), 0U);

    undo_->redo();
    EXPECT_TRUE(entry->isInserted());
    EXPECT_EQ(entry->objectForKey("dayBalance"), day);
    EXPECT_EQ(entryTitles(day), std::vector<std::string>{"Rent"});
    undo_->redo();
    EXPECT_EQ(entry->valueForKey("title"), LdValue("Rent May"));
    EXPECT_FALSE(undo_->canRedo());
    save();
    EXPECT_EQ(rows("Entry"), 1U);
}

TEST_F(LdUndoManagerTest, UndoingASavedDeletionBringsTheRowBackUnderItsKey) {
    LdManagedObject* day = context_->insertNewObjectForEntityForName("DayBalance");
    LdManagedObject* entry = context_->insertNewObjectForEntityForName("Entry");
    entry->setValueForKey(LdValue("Salary"), "title");
    entry->setValueForKey(LdValue("sync-1"), "syncUniqueID");
    entry->setObjectForKey(day, "dayBalance");
    LdManagedObject* info = context_->insertNewObjectForEntityForName("EntryInfoDict");
    entry->setObjectForKey(info, "infoDict");
    save();
    endTask();
    const LdObjectID entryID = entry->objectID();

    ASSERT_TRUE(context_->deleteObject(entry));
    endTask();
    save();
    EXPECT_EQ(rows("Entry"), 0U);
    EXPECT_EQ(rows("EntryInfoDict"), 0U);  // cascaded

    undo_->undo();
    EXPECT_FALSE(entry->isDeleted());
    EXPECT_TRUE(entry->isInserted());
    EXPECT_FALSE(info->isDeleted());
    save();

    open();
    LdError error;
    LdManagedObject* back = context_->existingObjectWithID(entryID, &error);
    ASSERT_NE(back, nullptr) << error;
    EXPECT_EQ(back->valueForKey("syncUniqueID"), LdValue("sync-1"));
    ASSERT_NE(back->objectForKey("dayBalance"), nullptr);
    EXPECT_EQ(back->objectForKey("dayBalance")->objectsForKey("entries"),
              std::vector<LdManagedObject*>{back});
    ASSERT_NE(back->objectForKey("infoDict"), nullptr);
    EXPECT_EQ(back->objectForKey("infoDict")->objectForKey("entry"), back);
}

TEST_F(LdUndoManagerTest, ExplicitGroupsSpanTasksAndRegistrationCanBeOff) {
    LdManagedObject* day = context_->insertNewObjectForEntityForName("DayBalance");
    std::vector<LdManagedObject*> entries;
    for (const char* title : {"a", "b", "c"}) {
        LdManagedObject* entry = context_->insertNewObjectForEntityForName("Entry");
        entry->setValueForKey(LdValue(title), "title");
        entry->setObjectForKey(day, "dayBalance");
        entries.push_back(entry);
    }
    save();
    endTask();
    undo_->removeAllActions();

    // Reordering and moving over two tasks, as one step.
    undo_->beginUndoGrouping();
    const std::size_t number = day->entity()->relationshipNamed("entries")->propertyNumber();
    day->insertObjectAt(number, entries[2], 0);
    endTask();
    day->removeObjectAt(number, entries[0]);
    endTask();
    undo_->endUndoGrouping();
    EXPECT_EQ(entryTitles(day), (std::vector<std::string>{"c", "b"}));
    EXPECT_EQ(entries[0]->objectForKey("dayBalance"), nullptr);

    undo_->undo();
    EXPECT_EQ(entryTitles(day), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(entries[0]->objectForKey("dayBalance"), day);
    EXPECT_FALSE(undo_->canUndo());

    undo_->disableUndoRegistration();
    entries[1]->setValueForKey(LdValue("bulk"), "title");
    undo_->enableUndoRegistration();
    endTask();
    EXPECT_FALSE(undo_->canUndo());
    save();

    const LdObjectID dayID = day->objectID();
    open();
    LdManagedObject* reopened = context_->objectWithID(dayID);
    EXPECT_EQ(entryTitles(reopened), (std::vector<std::string>{"a", "bulk", "c"}));
}
