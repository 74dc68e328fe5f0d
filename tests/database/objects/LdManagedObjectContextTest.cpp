// The object layer over a real store file: identity, inverses, deletion rules, fetches that see
// unsaved changes, faults, notifications and saving.
#include "core/database/objects/LdManagedObjectContext.h"

#include <gtest/gtest.h>

#include "core/database/predicate/LdPredicateParser.h"
#include "core/support/foundation/LdDecimal.h"
#include "core/support/platform/LdNotificationCenter.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

const LdEntityDescription* entity(const char* name) {
    return LdObjectModel::ledraModel().entityNamed(name);
}

LdDecimal decimal(const char* text) {
    return *LdDecimal::fromString(text);
}

class LdManagedObjectContextTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }

    void open() {
        context_.reset();
        store_ = std::make_unique<LdCryptStore>(folder_ / "Objects.ldb", LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        context_ = std::make_unique<LdManagedObjectContext>(*store_);
    }

    LdManagedObject* insert(const char* name) {
        LdManagedObject* object = context_->insertNewObjectForEntityForName(name);
        EXPECT_NE(object, nullptr) << name;
        return object;
    }

    LdManagedObject* entry(const char* title, const char* amount, LdManagedObject* dayBalance) {
        LdManagedObject* made = insert("Entry");
        made->setValueForKey(LdValue(title), "title");
        made->setValueForKey(LdValue(decimal(amount)), "amount");
        made->setObjectForKey(dayBalance, "dayBalance");
        return made;
    }

    void save() {
        LdError error;
        ASSERT_TRUE(context_->save(&error)) << error;
    }

    std::vector<LdManagedObject*> fetch(const char* entityName,
                                        const char* format = nullptr,
                                        std::vector<LdPredicateArgument> arguments = {},
                                        std::vector<LdSortDescriptor> sorts = {},
                                        std::size_t limit = 0,
                                        std::size_t offset = 0) {
        LdFetchRequest request;
        request.entity = entity(entityName);
        request.resultType = LdFetchRequest::ResultType::Objects;
        if (format != nullptr) {
            request.predicate = LdPredicateParser::predicateWithFormat(format, arguments);
        }
        request.sortDescriptors = std::move(sorts);
        request.fetchLimit = limit;
        request.fetchOffset = offset;
        LdError error;
        auto result = context_->executeFetchRequest(request, &error);
        EXPECT_TRUE(result.has_value()) << error;
        return result.value_or(std::vector<LdManagedObject*>());
    }

    std::size_t count(const char* entityName,
                      const char* format = nullptr,
                      std::vector<LdPredicateArgument> arguments = {}) {
        LdFetchRequest request;
        request.entity = entity(entityName);
        if (format != nullptr) {
            request.predicate = LdPredicateParser::predicateWithFormat(format, arguments);
        }
        LdError error;
        auto result = context_->countForFetchRequest(request, &error);
        EXPECT_TRUE(result.has_value()) << error;
        return result.value_or(0);
    }

    static std::vector<std::string> titles(const std::vector<LdManagedObject*>& objects) {
        std::vector<std::string> result;
        for (const LdManagedObject* object : objects) {
            result.push_back(object->valueForKey("title").stringValue());
        }
        return result;
    }

    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
};

}  // namespace

TEST_F(LdManagedObjectContextTest, ObjectsRoundTripWithEveryKindOfRelationship) {
    LdManagedObject* account = insert("Account");
    account->setValueForKey(LdValue("Giro"), "title");
    LdManagedObject* day = insert("DayBalance");
    day->setObjectForKey(account, "account");
    LdManagedObject* rent = entry("Rent", "-700.10", day);
    LdManagedObject* salary = entry("Salary", "2500", day);
    LdManagedObject* tag = insert("Tag");
    tag->setValueForKey(LdValue("home"), "name");
    rent->addObjectAt(rent->entity()->relationshipNamed("tags")->propertyNumber(), tag);
    rent->setObjectForKey(salary, "transferEntry");
    EXPECT_EQ(salary->objectForKey("transferEntry"), rent);  // reflexive inverse
    EXPECT_EQ(tag->objectsForKey("entries"), std::vector<LdManagedObject*>{rent});
    EXPECT_EQ(day->objectsForKey("entries"), (std::vector<LdManagedObject*>{rent, salary}));
    EXPECT_FALSE(salary->valueForKey("isNew").boolValue());  // booleans start false
    const LdObjectID rentID = rent->objectID();
    const std::string rentURI = LdManagedObjectContext::stringForObjectID(rentID);
    save();
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(rent->version(), 1U);

    open();
    LdManagedObject* loaded = context_->objectForURIRepresentation(rentURI);
    ASSERT_NE(loaded, nullptr);
    EXPECT_TRUE(loaded->isFault());
    EXPECT_EQ(loaded->valueForKey("amount").decimalValue(), decimal("-700.10"));
    EXPECT_EQ(context_->objectWithID(rentID), loaded);  // one object per row
    LdManagedObject* loadedDay = loaded->objectForKey("dayBalance");
    ASSERT_NE(loadedDay, nullptr);
    EXPECT_EQ(titles(loadedDay->objectsForKey("entries")),
              (std::vector<std::string>{"Rent", "Salary"}));
    EXPECT_EQ(loadedDay->objectForKey("account")->valueForKey("title"), LdValue("Giro"));
    EXPECT_EQ(loaded->objectForKey("transferEntry")->valueForKey("title"), LdValue("Salary"));
    ASSERT_EQ(loaded->objectsForKey("tags").size(), 1U);
    EXPECT_EQ(loaded->objectsForKey("tags").front()->objectsForKey("entries").front(), loaded);
    EXPECT_EQ(context_->objectForURIRepresentation("ldobj://other/Entry/p1"), nullptr);
}

TEST_F(LdManagedObjectContextTest, InversesStayConsistentAcrossUnloadedSides) {
    LdManagedObject* first = insert("DayBalance");
    LdManagedObject* second = insert("DayBalance");
    entry("A", "1", first);
    entry("B", "2", first);
    save();
    const LdObjectID firstID = first->objectID();
    const LdObjectID secondID = second->objectID();

    // In a new context neither day balance has loaded its entries when one moves.
    open();
    LdManagedObject* moved = fetch("Entry", "title == 'A'").front();
    LdManagedObject* target = context_->objectWithID(secondID);
    moved->setObjectForKey(target, "dayBalance");
    EXPECT_EQ(titles(target->objectsForKey("entries")), std::vector<std::string>{"A"});
    EXPECT_EQ(titles(context_->objectWithID(firstID)->objectsForKey("entries")),
              std::vector<std::string>{"B"});
    // Ordered: inserting at the front reorders, and the order survives a save.
    LdManagedObject* other = fetch("Entry", "title == 'B'").front();
    const std::size_t entries =
            entity("DayBalance")->relationshipNamed("entries")->propertyNumber();
    target->insertObjectAt(entries, other, 0);
    EXPECT_EQ(other->objectForKey("dayBalance"), target);
    EXPECT_EQ(titles(target->objectsForKey("entries")), (std::vector<std::string>{"B", "A"}));
    EXPECT_TRUE(context_->objectWithID(firstID)->objectsForKey("entries").empty());
    save();

    open();
    EXPECT_EQ(titles(context_->objectWithID(secondID)->objectsForKey("entries")),
              (std::vector<std::string>{"B", "A"}));
    EXPECT_TRUE(context_->objectWithID(firstID)->objectsForKey("entries").empty());
}

TEST_F(LdManagedObjectContextTest, FetchesAndCountsSeeUnsavedChanges) {
    LdManagedObject* day = insert("DayBalance");
    for (const char* title : {"a", "b", "c", "d"}) {
        entry(title, "10", day);
    }
    save();
    const std::vector<LdSortDescriptor> byTitle{{"title", true}};
    EXPECT_EQ(titles(fetch("Entry", nullptr, {}, byTitle, 2, 1)),
              (std::vector<std::string>{"b", "c"}));

    // Insert, change so that a row no longer matches, delete: all visible before the save.
    entry("bb", "10", day);
    fetch("Entry", "title == 'c'").front()->setValueForKey(LdValue(decimal("99")), "amount");
    ASSERT_TRUE(context_->deleteObject(fetch("Entry", "title == 'a'").front()));
    const auto check = [&] {
        EXPECT_EQ(titles(fetch("Entry", "amount < 50", {}, byTitle)),
                  (std::vector<std::string>{"b", "bb", "d"}));
        EXPECT_EQ(titles(fetch("Entry", "amount < 50", {}, byTitle, 2, 1)),
                  (std::vector<std::string>{"bb", "d"}));
        EXPECT_EQ(count("Entry", "amount < 50"), 3U);
        EXPECT_EQ(count("Entry"), 4U);
        EXPECT_EQ(count("Entry", "dayBalance == %@", {day->objectID()}), 4U);
    };
    check();
    save();
    check();  // the same answers from the file alone
}

TEST_F(LdManagedObjectContextTest, DeletionFollowsTheRulesAndKeepsObjectsReadable) {
    LdManagedObject* day = insert("DayBalance");
    LdManagedObject* kept = entry("kept", "1", day);
    LdManagedObject* info = insert("EntryInfoDict");
    kept->setObjectForKey(info, "infoDict");
    save();

    ASSERT_TRUE(context_->deleteObject(kept));
    EXPECT_TRUE(kept->isDeleted());
    EXPECT_TRUE(info->isDeleted());                          // cascade
    EXPECT_TRUE(day->objectsForKey("entries").empty());      // nullify
    EXPECT_EQ(kept->valueForKey("title"), LdValue("kept"));  // still readable
    EXPECT_EQ(context_->deletedObjects().size(), 2U);
    EXPECT_EQ(context_->updatedObjects(), std::vector<LdManagedObject*>{day});

    // A new object deleted before any save leaves nothing to save.
    ASSERT_TRUE(context_->deleteObject(insert("Tag")));
    save();
    EXPECT_EQ(count("Entry"), 0U);
    EXPECT_EQ(count("EntryInfoDict"), 0U);
    EXPECT_EQ(count("Tag"), 0U);
    EXPECT_EQ(kept->valueForKey("title"), LdValue("kept"));
}

TEST_F(LdManagedObjectContextTest, MissingRowsMakeInaccessibleObjectsAndFailedSavesChangeNothing) {
    LdManagedObject* ghost = context_->objectWithID(store_->objectIDForEntity(entity("Tag"), 42));
    EXPECT_EQ(ghost->valueForKey("name"), LdValue());
    EXPECT_TRUE(ghost->isInaccessible());
    ASSERT_TRUE(context_->lastFaultError().has_value());
    EXPECT_NE(context_->lastFaultError()->description().find("object not found"),
              std::string::npos);
    LdError error;
    EXPECT_EQ(context_->existingObjectWithID(ghost->objectID(), &error), nullptr);

    LdManagedObject* tag = insert("Tag");
    tag->setValueForKey(LdValue(std::int64_t{5}), "name");  // no text: the store refuses it
    EXPECT_FALSE(context_->save(&error));
    EXPECT_TRUE(context_->hasChanges());
    EXPECT_TRUE(tag->isInserted());
    tag->setValueForKey(LdValue("five"), "name");
    save();
    EXPECT_EQ(count("Tag", "name == 'five'"), 1U);
}

TEST_F(LdManagedObjectContextTest, PendingChangesAreAnnouncedOnceWithTheirLatestState) {
    std::vector<LdObjectsDidChange> heard;
    LdSubscription subscription = LdNotificationCenter::defaultCenter().addObserverForName(
            kLdObjectsDidChangeNotification, context_.get(), [&](const LdNotification& note) {
                heard.push_back(std::any_cast<LdObjectsDidChange>(note.payload));
            });
    LdManagedObject* tag = insert("Tag");
    tag->setValueForKey(LdValue("x"), "name");
    LdManagedObject* gone = insert("Tag");
    ASSERT_TRUE(context_->deleteObject(gone));
    context_->processPendingChanges();
    ASSERT_EQ(heard.size(), 1U);
    EXPECT_EQ(heard[0].inserted, std::vector<LdManagedObject*>{tag});
    EXPECT_TRUE(heard[0].updated.empty());
    EXPECT_TRUE(heard[0].deleted.empty());
    context_->processPendingChanges();
    EXPECT_EQ(heard.size(), 1U);  // nothing new

    save();
    tag->setValueForKey(LdValue("y"), "name");
    tag->setValueForKey(LdValue("x"), "name");  // back to the saved value
    EXPECT_TRUE(tag->changedPropertyNumbers().empty());
    context_->processPendingChanges();
    ASSERT_EQ(heard.size(), 2U);
    EXPECT_EQ(heard[1].updated, std::vector<LdManagedObject*>{tag});

    context_->refreshObject(tag, /*mergeChanges=*/false);
    EXPECT_TRUE(tag->isFault());
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(tag->valueForKey("name"), LdValue("x"));
}

TEST_F(LdManagedObjectContextTest, IndependentContextOverASecondFileWorksBesideTheMainOne) {
    LdCryptStore otherStore(folder_ / "Other.ldb", LdValue::Dictionary{});
    LdError error;
    ASSERT_TRUE(otherStore.loadMetadata(&error)) << error;
    LdManagedObjectContext other(otherStore);
    std::size_t heardMain = 0;
    std::size_t heardOther = 0;
    LdSubscription mainSubscription = LdNotificationCenter::defaultCenter().addObserverForName(
            kLdObjectsDidChangeNotification, context_.get(),
            [&](const LdNotification&) { ++heardMain; });
    LdSubscription otherSubscription = LdNotificationCenter::defaultCenter().addObserverForName(
            kLdObjectsDidChangeNotification, &other, [&](const LdNotification&) { ++heardOther; });

    insert("Tag")->setValueForKey(LdValue("main"), "name");
    LdManagedObject* copy = other.insertNewObjectForEntityForName("Tag");
    copy->setValueForKey(LdValue("other"), "name");
    // Same entity and key in two files: two identities.
    EXPECT_NE(copy->objectID(), fetch("Tag").front()->objectID());
    save();
    ASSERT_TRUE(other.save(&error)) << error;
    EXPECT_EQ(heardMain, 1U);
    EXPECT_EQ(heardOther, 1U);

    EXPECT_EQ(count("Tag", "name == 'other'"), 0U);
    LdFetchRequest request;
    request.entity = entity("Tag");
    auto inOther = other.executeFetchRequest(request, &error);
    ASSERT_TRUE(inOther.has_value()) << error;
    ASSERT_EQ(inOther->size(), 1U);
    EXPECT_EQ(inOther->front()->valueForKey("name"), LdValue("other"));
    // An ID of the main file names nothing in the other one.
    EXPECT_EQ(other.objectWithID(fetch("Tag").front()->objectID()), nullptr);
}
