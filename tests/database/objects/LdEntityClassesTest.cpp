// The generated entity classes on a real store file: typed values and relationships through save
// and reopen, inherited accessors on subentity objects, and one class per entity.
#include "core/database/objects/generated/LdEntityClasses.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include <cxxabi.h>
#include <gtest/gtest.h>

#include "core/database/model/LdObjectModel.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/store/LdCryptStore.h"
#include "core/support/foundation/LdDecimal.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

LdDecimal decimal(const char* text) {
    return *LdDecimal::fromString(text);
}

// The name of the object's dynamic class ("LdCDEntry").
std::string className(const LdManagedObject& object) {
    const char* mangled = typeid(object).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
            abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 ? std::string(demangled.get()) : std::string(mangled);
}

class LdEntityClassesTest : public ::testing::Test {
protected:
    // Opens (creating it on first use) the unencrypted store file of `model` and a context on it.
    void open(const LdObjectModel& model = LdObjectModel::ledraModel()) {
        context_.reset();
        store_ = std::make_unique<LdCryptStore>(folder_ / (model.name() + ".ldb"),
                                                LdValue::Dictionary{}, model);
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        context_ = std::make_unique<LdManagedObjectContext>(*store_);
    }

    void saveAndReopen() {
        LdError error;
        ASSERT_TRUE(context_->save(&error)) << error;
        context_.reset();
        store_.reset();
        open();
    }

    template <typename T>
    T* insert() {
        T* object = context_->insertNewObject<T>(T::entityName());
        EXPECT_NE(object, nullptr) << T::entityName();
        return object;
    }

    template <typename T>
    T* existing(const LdObjectID& objectID) {
        LdError error;
        LdManagedObject* object = context_->existingObjectWithID(objectID, &error);
        EXPECT_NE(object, nullptr) << error;
        T* typed = dynamic_cast<T*>(object);
        EXPECT_NE(typed, nullptr) << (object != nullptr ? className(*object) : "no object");
        return typed;
    }

    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
};

TEST_F(LdEntityClassesTest, TypedValuesAndRelationshipsSurviveSaveAndReopen) {
    open();
    const LdDate valuta = LdDate::fromReferenceSeconds(86400.0 * 7000);
    auto* account = insert<LdCDAccount>();
    auto* day = insert<LdCDDayBalance>();
    auto* first = insert<LdCDEntry>();
    auto* second = insert<LdCDEntry>();
    auto* food = insert<LdCDTag>();
    auto* user = insert<LdCDUser>();
    auto* buy = insert<LdCDStockBuy>();
    ASSERT_TRUE(account && day && first && second && food && user && buy);

    account->setTitle("Giro");
    account->setBalance(decimal("1000.50"));
    account->setImageData(LdData{0x00, 0xff, 0x10});
    account->setAccountType(3);
    day->setDate(valuta);
    day->setAccount(account);
    food->setName("Food");
    first->setAmount(decimal("-12.34"));
    first->setTitle("Groceries");
    first->setIsNew(true);
    first->setFlag(-2);
    first->setValutaDate(valuta);
    first->setDayBalance(day);
    first->addTagsObject(food);
    // The second entry goes before the first: the day keeps the order it is given.
    day->insertObjectInEntriesAtIndex(second, 0);
    second->setAmount(decimal("0.00"));
    user->setNumberOfDaysToCreateRecurringEntriesInAdvance(std::int64_t{1} << 40);
    buy->setQuantity(2.5);
    buy->setEntry(first);

    // The inverses are set at once, before any save.
    EXPECT_EQ(second->dayBalance(), day);
    EXPECT_EQ(account->dayBalances(), std::vector<LdCDDayBalance*>{day});
    EXPECT_EQ(first->stockBuy(), buy);
    ASSERT_EQ(food->entries().size(), 1u);
    EXPECT_EQ(food->entries()[0], first);

    const LdObjectID firstID = first->objectID();
    const LdObjectID secondID = second->objectID();
    const LdObjectID userID = user->objectID();
    saveAndReopen();

    first = existing<LdCDEntry>(firstID);
    second = existing<LdCDEntry>(secondID);
    user = existing<LdCDUser>(userID);
    ASSERT_TRUE(first && second && user);
    EXPECT_EQ(first->amount(), decimal("-12.34"));
    EXPECT_EQ(first->title(), "Groceries");
    EXPECT_TRUE(first->isNew());
    EXPECT_FALSE(first->isActive());
    EXPECT_EQ(first->flag(), -2);
    EXPECT_EQ(first->valutaDate(), valuta);
    // A stored zero is set; it is not the missing value.
    EXPECT_EQ(second->amountIfSet(), decimal("0"));
    EXPECT_EQ(user->numberOfDaysToCreateRecurringEntriesInAdvance(), std::int64_t{1} << 40);

    day = first->dayBalance();
    ASSERT_NE(day, nullptr);
    EXPECT_EQ(day->date(), valuta);
    EXPECT_EQ(day->entries(), (std::vector<LdCDEntry*>{second, first}));
    account = day->account();
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(account->title(), "Giro");
    EXPECT_EQ(account->balance(), decimal("1000.5"));
    EXPECT_EQ(account->imageData(), (LdData{0x00, 0xff, 0x10}));
    EXPECT_EQ(account->accountType(), 3);
    ASSERT_EQ(first->tags().size(), 1u);
    EXPECT_EQ(first->tags()[0]->name(), "Food");
    ASSERT_NE(first->stockBuy(), nullptr);
    EXPECT_EQ(first->stockBuy()->quantity(), 2.5);
    EXPECT_EQ(first->stockBuy()->entry(), first);
}

TEST_F(LdEntityClassesTest, MissingValuesReadAsDefaultsAndNulloptClears) {
    open();
    auto* entry = insert<LdCDEntry>();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->amount(), LdDecimal::zero());
    EXPECT_FALSE(entry->amountIfSet().has_value());
    EXPECT_EQ(entry->title(), "");
    EXPECT_FALSE(entry->isNew());
    EXPECT_EQ(entry->flag(), 0);
    EXPECT_FALSE(entry->valutaDate().has_value());
    EXPECT_EQ(entry->dayBalance(), nullptr);
    EXPECT_TRUE(entry->tags().empty());
    EXPECT_TRUE(entry->splits().empty());

    // Each typed setter writes the slot its property has in the model.
    entry->setTitle("Rent");
    entry->setAmount(decimal("-700"));
    entry->setValutaDate(LdDate::fromReferenceSeconds(1000));
    EXPECT_EQ(entry->valueForKey("title"), LdValue("Rent"));
    EXPECT_EQ(entry->valueForKey("amount"), LdValue(decimal("-700")));
    EXPECT_EQ(entry->valueForKey("valutaDate"), LdValue(LdDate::fromReferenceSeconds(1000)));

    entry->setTitle(std::nullopt);
    entry->setAmount(std::nullopt);
    entry->setValutaDate(std::nullopt);
    EXPECT_TRUE(entry->valueForKey("title").isNull());
    EXPECT_TRUE(entry->valueForKey("amount").isNull());
    EXPECT_FALSE(entry->amountIfSet().has_value());
    EXPECT_FALSE(entry->valutaDate().has_value());
}

TEST_F(LdEntityClassesTest, ToManyEditsKeepBothSides) {
    open();
    auto* entry = insert<LdCDEntry>();
    auto* a = insert<LdCDSplitEntry>();
    auto* b = insert<LdCDSplitEntry>();
    auto* c = insert<LdCDSplitEntry>();
    ASSERT_TRUE(entry && a && b && c);

    entry->setSplits({a, b});
    entry->insertObjectInSplitsAtIndex(c, 1);
    EXPECT_EQ(entry->splits(), (std::vector<LdCDSplitEntry*>{a, c, b}));
    EXPECT_EQ(c->entry(), entry);

    entry->removeSplitsObject(a);
    EXPECT_EQ(a->entry(), nullptr);
    EXPECT_EQ(entry->splits(), (std::vector<LdCDSplitEntry*>{c, b}));

    b->setEntry(nullptr);
    EXPECT_EQ(entry->splits(), std::vector<LdCDSplitEntry*>{c});
    entry->addSplitsObject(a);
    EXPECT_EQ(entry->splits(), (std::vector<LdCDSplitEntry*>{c, a}));
    EXPECT_EQ(a->entry(), entry);
}

TEST_F(LdEntityClassesTest, InheritedAccessorsWorkOnSubentityObjects) {
    open();
    auto* day = insert<LdCDDayBalance>();
    auto* prebooked = insert<LdCDPrebookedOnlineEntry>();
    auto* split = insert<LdCDSplitEntry>();
    auto* budget = insert<LdCDBudget>();
    ASSERT_TRUE(day && prebooked && split && budget);

    // BaseEntry, Entry and PrebookedOnlineEntry accessors on one object.
    prebooked->setAmount(decimal("99.90"));
    prebooked->setTitle("Pending");
    prebooked->setIsNew(true);
    prebooked->setSourceType(4);
    prebooked->setDayBalance(day);
    split->setAmount(decimal("9.90"));
    split->setEntry(prebooked);
    // AnalyserListObject, AnalyserObject and Budget accessors on one object.
    budget->setName("Food");
    budget->setCurrency("EUR");
    budget->setUse_tags(true);
    budget->setBudget_amount(decimal("250"));
    budget->setBudget_warning_factor(0.8);
    EXPECT_EQ(prebooked->valueForKey("amount"), LdValue(decimal("99.90")));
    EXPECT_EQ(budget->valueForKey("name"), LdValue("Food"));

    const LdObjectID prebookedID = prebooked->objectID();
    const LdObjectID budgetID = budget->objectID();
    saveAndReopen();

    prebooked = existing<LdCDPrebookedOnlineEntry>(prebookedID);
    budget = existing<LdCDBudget>(budgetID);
    ASSERT_TRUE(prebooked && budget);
    EXPECT_EQ(prebooked->amount(), decimal("99.9"));
    EXPECT_EQ(prebooked->title(), "Pending");
    EXPECT_TRUE(prebooked->isNew());
    EXPECT_EQ(prebooked->sourceType(), 4);
    ASSERT_NE(prebooked->dayBalance(), nullptr);
    EXPECT_EQ(prebooked->dayBalance()->entries(), std::vector<LdCDEntry*>{prebooked});
    ASSERT_EQ(prebooked->splits().size(), 1u);
    EXPECT_EQ(prebooked->splits()[0]->amount(), decimal("9.9"));
    // Seen through a superentity's class, the object keeps its own.
    LdCDBaseEntry* asBase = prebooked->splits()[0]->entry();
    EXPECT_EQ(asBase, prebooked);
    EXPECT_EQ(budget->name(), "Food");
    EXPECT_EQ(budget->currency(), "EUR");
    EXPECT_TRUE(budget->use_tags());
    EXPECT_FALSE(budget->use_contacts());
    EXPECT_EQ(budget->budget_amount(), decimal("250"));
    EXPECT_EQ(budget->budget_warning_factor(), 0.8);

    // A fetch of the superentity hands out objects of each subentity's class.
    LdFetchRequest request;
    request.entity = LdCDBaseEntry::entityDescription();
    LdError error;
    auto fetched = context_->executeFetchRequest(request, &error);
    ASSERT_TRUE(fetched.has_value()) << error;
    std::vector<std::string> classes;
    for (LdManagedObject* object : *fetched) {
        classes.push_back(className(*object));
    }
    std::sort(classes.begin(), classes.end());
    EXPECT_EQ(classes, (std::vector<std::string>{"LdCDPrebookedOnlineEntry", "LdCDSplitEntry"}));
}

TEST_F(LdEntityClassesTest, EveryEntityHasItsClass) {
    for (const LdObjectModel* model :
         {&LdObjectModel::ledraModel(), &LdObjectModel::exchangeRateModel(),
          &LdObjectModel::onlineProviderInfoModel()}) {
        SCOPED_TRACE(model->name());
        open(*model);
        for (const LdEntityDescription* entity : model->entities()) {
            LdManagedObject* object = context_->insertNewObjectForEntityForName(entity->name());
            if (entity->isAbstract()) {
                EXPECT_EQ(object, nullptr) << entity->name();
                continue;
            }
            ASSERT_NE(object, nullptr) << entity->name();
            EXPECT_EQ(object->entity(), entity);
            EXPECT_EQ(className(*object), entity->className());
        }
    }

    // Each class names its entity, in its own model, and converts to its superentity's class.
    EXPECT_EQ(LdCDEntry::entityName(), "Entry");
    EXPECT_EQ(LdCDEntry::entityDescription(), LdObjectModel::ledraModel().entityNamed("Entry"));
    EXPECT_EQ(LdCDExchangeRate::entityDescription()->model(), &LdObjectModel::exchangeRateModel());
    EXPECT_EQ(LdOnlineAccessConfiguration::entityDescription()->model(),
              &LdObjectModel::onlineProviderInfoModel());
    open();
    LdManagedObject* budget = context_->insertNewObjectForEntityForName("Budget");
    EXPECT_NE(dynamic_cast<LdCDBaseBudget*>(budget), nullptr);
    EXPECT_NE(dynamic_cast<LdCDAnalyserObject*>(budget), nullptr);
    EXPECT_NE(dynamic_cast<LdCDAnalyserListObject*>(budget), nullptr);
    EXPECT_EQ(dynamic_cast<LdCDAnalyserList*>(budget), nullptr);
}

}  // namespace
