// The entity classes' own behaviour over a real store file: identities on insertion, deletion
// logging, running balances and their resets, info dictionaries and import data, account kinds
// and settings, contact names, categories, lists and the user record.
#include <set>

#include <gtest/gtest.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/support/LdStrings.h"
#include "core/support/foundation/LdDecimal.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/platform/LdUserDefaults.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

LdDecimal decimal(const char* text) {
    return *LdDecimal::fromString(text);
}

// Records what the entities tell the deletion logger.
class RecordingDeletionLogger : public LdDeletionLogger {
public:
    void logDeleteOfManagedObjectWithSyncID(const std::string& syncID,
                                            const std::string& kind) override {
        logged.emplace_back(syncID, kind);
    }
    std::vector<std::pair<std::string, std::string>> logged;
};

class LdEntityBehaviourTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }
    void TearDown() override {
        LdUserDefaults::standard().removeObjectForKey(LdCDContact::kNameIllustrationTypeKey);
    }

    void open() {
        context_.reset();
        store_ = std::make_unique<LdCryptStore>(folder_ / "Entities.ldb", LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        context_ = std::make_unique<LdManagedObjectContext>(*store_);
    }

    template <typename T>
    T* insert() {
        T* object = context_->insertNewObject<T>(T::entityName());
        EXPECT_NE(object, nullptr) << T::entityName();
        return object;
    }

    LdCDDayBalance* day(LdCDAccount* account, std::optional<const char*> start) {
        auto* made = insert<LdCDDayBalance>();
        made->setAccount(account);
        made->setDate(LdDate::fromReferenceSeconds(86400.0 * 100));
        made->setStartBalance(start ? std::optional(decimal(*start)) : std::nullopt);
        return made;
    }

    LdCDEntry* entry(LdCDDayBalance* dayBalance, const char* amount, bool active = true) {
        auto* made = insert<LdCDEntry>();
        made->setAmount(decimal(amount));
        made->setIsActive(active);
        made->setDayBalance(dayBalance);
        return made;
    }

    void save() {
        LdError error;
        ASSERT_TRUE(context_->save(&error)) << error;
    }

    LdManualClock clock_{LdDate::fromReferenceSeconds(800000000.0)};
    LdScopedClock scopedClock_{clock_};
    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
};

}  // namespace

TEST_F(LdEntityBehaviourTest, InsertionGivesFreshSyncIdentitiesThatUndoAndRedoKeep) {
    auto* first = insert<LdCDEntry>();
    auto* second = insert<LdCDAccount>();
    auto* tag = insert<LdCDTag>();  // no sync attributes: nothing to set
    ASSERT_TRUE(LdUUID::isUUIDString(first->syncUniqueID()));
    EXPECT_NE(first->syncUniqueID(), second->syncUniqueID());
    EXPECT_EQ(first->syncChangeDate(), clock_.now());
    EXPECT_TRUE(tag->valueForKey("syncUniqueID").isNull());

    const std::string identity = first->syncUniqueID();
    context_->undoManager()->undo();
    EXPECT_TRUE(first->isDeleted());
    context_->undoManager()->redo();
    EXPECT_TRUE(first->isInserted());
    EXPECT_EQ(first->syncUniqueID(), identity);
    save();
    open();
    std::optional<std::vector<LdManagedObject*>> stored =
            context_->executeFetchRequest({.entity = LdCDEntry::entityDescription()});
    ASSERT_TRUE(stored && stored->size() == 1);
    EXPECT_EQ(dynamic_cast<LdCDEntry*>(stored->front())->syncUniqueID(), identity);
}

TEST_F(LdEntityBehaviourTest, LogEntitiesAndTheUserRecordFillThemselvesOnInsertion) {
    auto* deleted = insert<LdCDSyncDeleteLog>();
    auto* added = insert<LdCDSyncAddLog>();
    EXPECT_TRUE(LdUUID::isUUIDString(deleted->sync_unique_id()));
    EXPECT_NE(deleted->sync_unique_id(), added->sync_unique_id());
    EXPECT_EQ(deleted->date_of_deletion(), clock_.now());
    EXPECT_EQ(added->date_of_creation(), clock_.now());

    auto* user = insert<LdCDUser>();
    EXPECT_EQ(user->name(), LdCDUser::fullNameOfCurrentUser());
    EXPECT_FALSE(user->name().empty());
    const LdData key = user->passwordForResourceFiles();
    EXPECT_EQ(key.size(), 32U);
    EXPECT_NE(insert<LdCDUser>()->passwordForResourceFiles(), key);

    // A key found missing is made again when the record is read.
    user->setPasswordForResourceFiles(std::nullopt);
    save();
    open();
    std::optional<std::vector<LdManagedObject*>> users =
            context_->executeFetchRequest({.entity = LdCDUser::entityDescription()});
    ASSERT_TRUE(users && users->size() == 2);
    for (LdManagedObject* object : *users) {
        EXPECT_EQ(dynamic_cast<LdCDUser*>(object)->passwordForResourceFiles().size(), 32U);
    }
    EXPECT_FALSE(context_->undoManager()->canUndo());
}

TEST_F(LdEntityBehaviourTest, EntitiesThatLogDeletionTellTheLoggerTheirKind) {
    RecordingDeletionLogger logger;
    context_->setDeletionLogger(&logger);
    auto* giro = insert<LdCDAccount>();
    auto* depot = insert<LdCDPortfolio>();
    auto* folder = insert<LdCDAccountList>();
    auto* category = insert<LdCDCategory>();  // logged by the category manager instead
    auto* booked = insert<LdCDEntry>();
    auto* part = insert<LdCDSplitEntry>();
    auto* contact = insert<LdCDContact>();
    for (LdManagedObject* object :
         std::vector<LdManagedObject*>{giro, depot, folder, category, booked, part, contact}) {
        ASSERT_TRUE(context_->deleteObject(object));
    }
    const std::vector<std::pair<std::string, std::string>> expected{
            {giro->syncUniqueID(), "Account"},       {depot->syncUniqueID(), "Portfolio"},
            {folder->syncUniqueID(), "AccountList"}, {booked->syncUniqueID(), "Entry"},
            {part->syncUniqueID(), "SplitEntry"},    {contact->syncUniqueID(), "Contact"}};
    EXPECT_EQ(logger.logged, expected);

    // Without a logger nothing is told and deletion works the same.
    context_->setDeletionLogger(nullptr);
    logger.logged.clear();
    EXPECT_TRUE(context_->deleteObject(insert<LdCDEntry>()));
    EXPECT_TRUE(logger.logged.empty());
}

TEST_F(LdEntityBehaviourTest, RunningBalancesFollowTheDaysEntries) {
    auto* account = insert<LdCDAccount>();
    account->setCurrencyCode("EUR");

    // No start balance: nothing is computed.
    LdCDDayBalance* unset = day(account, std::nullopt);
    LdCDEntry* lone = entry(unset, "5");
    EXPECT_EQ(lone->accountBalance(), std::nullopt);
    EXPECT_FALSE(unset->accountBalancesComputed());

    LdCDDayBalance* monday = day(account, "100");
    LdCDEntry* salary = entry(monday, "10");
    LdCDEntry* planned = entry(monday, "-50", /*active=*/false);
    LdCDEntry* coffee = entry(monday, "-2.345");
    EXPECT_EQ(coffee->accountBalance(), decimal("107.65"));  // amounts rounded for the currency
    EXPECT_EQ(salary->accountBalance(), decimal("110"));
    EXPECT_EQ(planned->accountBalance(), decimal("110"));  // inactive: repeats the one before
    EXPECT_TRUE(monday->accountBalancesComputed());

    // Moving an entry resets the old day and the new one.
    salary->setDayBalance(unset);
    EXPECT_FALSE(monday->accountBalancesComputed());
    EXPECT_EQ(coffee->accountBalance(), decimal("97.65"));

    // Without a day there is no date, account or balance.
    coffee->setDayBalance(nullptr);
    EXPECT_EQ(coffee->accountBalance(), std::nullopt);
    EXPECT_EQ(coffee->date(), std::nullopt);
    EXPECT_EQ(coffee->account(), nullptr);

    // Running balances are no change of the objects.
    save();
    EXPECT_EQ(planned->accountBalance(), decimal("100"));
    EXPECT_FALSE(context_->hasChanges());

    // A refresh from the store drops them.
    monday->setStartBalance(decimal("200"));
    monday->resetAllTransactionAccountBalanceInfos();
    EXPECT_EQ(planned->accountBalance(), decimal("200"));
    context_->refreshObject(monday, /*mergeChanges=*/false);
    EXPECT_FALSE(monday->accountBalancesComputed());
    EXPECT_EQ(planned->accountBalance(), decimal("100"));

    // So do undo and redo, which replace values behind the objects' backs.
    context_->undoManager()->removeAllActions();
    planned->setIsActive(true);
    monday->resetAllTransactionAccountBalanceInfos();
    EXPECT_EQ(planned->accountBalance(), decimal("50"));
    context_->undoManager()->undo();
    EXPECT_EQ(planned->accountBalance(), decimal("100"));
    context_->undoManager()->redo();
    EXPECT_EQ(planned->accountBalance(), decimal("50"));
}

TEST_F(LdEntityBehaviourTest, EntryDerivedValues) {
    auto* account = insert<LdCDAccount>();
    account->setCurrencyCode("EUR");
    LdCDEntry* booked = entry(day(account, "0"), "-100");
    EXPECT_EQ(booked->flagColor(), 0);
    booked->setFlag(13);
    EXPECT_EQ(booked->flagColor(), 3);
    EXPECT_FALSE(booked->isCircaAmount());

    EXPECT_EQ(booked->localizedTitle(), LdStrings::localizedString("_ENTRY_NO_TITLE"));
    EXPECT_NE(booked->localizedTitle(), "_ENTRY_NO_TITLE");
    booked->setTitle("Rent");
    EXPECT_EQ(booked->localizedTitle(), "Rent");
    EXPECT_EQ(booked->transactionsTypeLocalized(), LdStrings::localizedString("_TRANSACTION"));

    auto* part = insert<LdCDSplitEntry>();
    part->setAmount(decimal("30.004"));
    part->setEntry(booked);
    auto* other = insert<LdCDSplitEntry>();
    other->setAmount(decimal("20"));
    other->setEntry(booked);
    EXPECT_EQ(booked->remainderSplitAmount(), decimal("50.00"));
    EXPECT_EQ(part->account(), account);
    EXPECT_EQ(part->date(), booked->date());

    // The partner is the first set of transfer entry, bank details, contact and text.
    EXPECT_TRUE(std::holds_alternative<std::monostate>(booked->transferPartnerObject()));
    booked->setTransferText("Landlord");
    EXPECT_EQ(std::get<std::string>(booked->transferPartnerObject()), "Landlord");
    auto* contact = insert<LdCDContact>();
    contact->setCompanyName("Housing Ltd");
    booked->setTransferContact(contact);
    EXPECT_EQ(std::get<LdCDContact*>(booked->transferPartnerObject()), contact);
    EXPECT_EQ(booked->transferPartnerDescription(), "Housing Ltd");
    auto* savings = insert<LdCDAccount>();
    savings->setTitle("Savings");
    LdCDEntry* counter = entry(day(savings, "0"), "100");
    part->setTransferEntry(counter);
    EXPECT_EQ(part->transactionsTypeLocalized(),
              LdStrings::localizedString("_SPLIT_TRANSFER_TRANSACTION"));
    EXPECT_EQ(part->transferPartnerDescription(), "Savings");

    booked->setComment("March");
    booked->setCheckNumber("17");
    const std::string text = booked->entryAsShortText();
    EXPECT_NE(text.find("Rent\n" + LdStrings::localizedString("_BENEFICIARY") + ": Housing Ltd\n" +
                        LdStrings::localizedString("_CHECK_NUMBER") + ": 17\n(March)\n"),
              std::string::npos)
            << text;
    EXPECT_NE(text.find("EUR\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('['), std::string::npos) << text;  // no tags, no line
}

TEST_F(LdEntityBehaviourTest, EntryInfoDictionaryAndImportData) {
    LdCDEntry* booked = insert<LdCDEntry>();
    EXPECT_EQ(booked->infoDictionary(), std::nullopt);
    EXPECT_EQ(booked->availableImportDataKeys(), std::nullopt);
    EXPECT_TRUE(booked->infoDictValueForKey("note").isNull());

    ASSERT_TRUE(booked->setInfoDictValue(LdValue(decimal("1.5")), "rate"));
    ASSERT_NE(booked->infoDict(), nullptr);
    EXPECT_EQ(booked->availableImportDataKeys(), std::nullopt);  // a dictionary, but no import

    ASSERT_TRUE(booked->setImportDataDictionary({{"memo", LdValue("x")}}, "ofx_transaction"));
    ASSERT_TRUE(booked->setImportDataDictionary({{"f86", LdValue("y")}}, "hbci_camt"));
    save();
    open();
    auto* stored = dynamic_cast<LdCDEntry*>(
            context_->executeFetchRequest({.entity = LdCDEntry::entityDescription()})->front());
    EXPECT_EQ(stored->availableImportDataKeys(),
              (std::vector<std::string>{"hbci_camt", "ofx_transaction"}));
    EXPECT_TRUE(stored->hasOFXImportData());
    EXPECT_TRUE(stored->hasHBCIImportData());
    EXPECT_FALSE(stored->hasCSVImportData());
    EXPECT_EQ(stored->infoDictValueForKey("rate").decimalValue(), decimal("1.5"));

    // An empty dictionary removes the link and its object.
    LdCDEntryInfoDict* holder = stored->infoDict();
    ASSERT_TRUE(stored->setInfoDictionary({}));
    EXPECT_EQ(stored->infoDict(), nullptr);
    EXPECT_TRUE(holder->isDeleted());
    EXPECT_EQ(stored->infoDictionary(), std::nullopt);
}

TEST_F(LdEntityBehaviourTest, AccountKindsSettingsAndDisplay) {
    auto* account = insert<LdCDAccount>();
    const std::vector<std::tuple<std::int32_t, bool, bool>> kinds{
            {35, true, false}, {55, false, true}, {60, false, false}, {0, false, false}};
    for (const auto& [type, depot, card] : kinds) {
        account->setAccountType(type);
        EXPECT_EQ(account->isDepot(), depot) << type;
        EXPECT_EQ(account->isCreditCard(), card) << type;
    }
    EXPECT_EQ(LdCDAccount::accountTypeForAggregatorAccountKind("Credit_Card"), 50);
    EXPECT_EQ(LdCDAccount::accountTypeForAggregatorAccountKind("mortgage"), 90);

    ASSERT_TRUE(account->setImportSettingsDictionary({{"flagNew", LdValue(true)}}, "csv"));
    ASSERT_TRUE(account->setImportSettingsDictionary({{"encoding", LdValue("utf8")}}, "qif"));
    EXPECT_EQ(account->importSettingsDictionaryForFileSource("csv"),
              (LdValue::Dictionary{{"flagNew", LdValue(true)}}));
    EXPECT_EQ(account->importSettingsDictionaryForFileSource("qif")->size(), 1U);
    ASSERT_TRUE(account->setInfoDictionary(std::nullopt));
    EXPECT_TRUE(account->infoDictData().empty());

    EXPECT_EQ(account->localizedName(), LdStrings::localizedString("_ACCOUNT_WITHOUT_TITLE"));
    account->setTitle("Giro");
    account->setBankCode("12030000");
    EXPECT_EQ(account->titleWithAdditionalInfo(), "Giro (12030000)");
    account->setIban("DE02120300000000202051");
    EXPECT_EQ(account->titleWithAdditionalInfo(), "Giro (12030000, DE02120300000000202051)");

    account->setBalance(decimal("10"));
    auto* relation = insert<LdCDOnlineProviderRelation>();
    relation->setOnlineAmount(decimal("12"));
    account->setOnlineRelation(relation);
    EXPECT_EQ(account->effectiveBalance(), decimal("10"));  // not shown
    relation->setShowOnlineAmount(true);
    EXPECT_EQ(account->effectiveBalance(), decimal("12"));

    account->setCurrencyCode("BHD");
    ASSERT_NE(account->currency(), nullptr);
    account->setCurrencyCode("EUR");
    EXPECT_EQ(account->currency()->iso_code, "BHD");  // cached until cleared
    account->clearCachedProperties();
    EXPECT_EQ(account->currency()->iso_code, "EUR");
}

TEST_F(LdEntityBehaviourTest, NewTransactionsAreCountedPerAccount) {
    auto* account = insert<LdCDAccount>();
    LdCDDayBalance* monday = day(account, "0");
    entry(monday, "1")->setIsNew(true);
    entry(monday, "2")->setIsNew(true);
    entry(day(insert<LdCDAccount>(), "0"), "3")->setIsNew(true);
    EXPECT_TRUE(account->recalculateNumberOfNewTransactions());
    EXPECT_EQ(account->numberOfNewTransactions(), 2);
    EXPECT_FALSE(account->recalculateNumberOfNewTransactions());
}

TEST_F(LdEntityBehaviourTest, ListsCategoriesAndTotals) {
    auto* user = insert<LdCDUser>();
    EXPECT_EQ(user->totalFunds(), LdDecimal::zero());
    auto* root = insert<LdCDAccountList>();
    root->setAmount(decimal("250.5"));
    user->setMainAccountList(root);
    EXPECT_EQ(user->totalFunds(), decimal("250.5"));  // no stock list
    auto* stocks = insert<LdCDStockList>();
    stocks->setAmount(decimal("100"));
    user->setMainStockList(stocks);
    EXPECT_EQ(user->totalFunds(), decimal("350.5"));

    auto* first = insert<LdCDAccount>();
    auto* nested = insert<LdCDAccountList>();
    auto* inner = insert<LdCDAccount>();
    auto* last = insert<LdCDAccount>();
    root->insertObjectInListObjectsAtIndex(first, 0);
    root->insertObjectInListObjectsAtIndex(nested, 1);
    root->insertObjectInListObjectsAtIndex(last, 2);
    nested->addListObjectsObject(inner);
    EXPECT_EQ(root->allIncludedAccounts(), (std::vector<LdCDAccount*>{first, inner, last}));
    EXPECT_EQ(root->countOfIncludedAccounts(), 3U);
    root->setTitle("_MAIN_ACCOUNT_LIST_NAME");
    EXPECT_EQ(root->localizedTitle(), LdStrings::localizedString("_MAIN_ACCOUNT_LIST_NAME"));

    auto* food = insert<LdCDCategory>();
    auto* fruit = insert<LdCDCategory>();
    auto* apples = insert<LdCDCategory>();
    fruit->setSuper_category(food);
    apples->setSuper_category(fruit);
    EXPECT_EQ(apples->allSubCategories(), std::nullopt);
    const std::vector<LdCDCategory*> below = food->allSubCategories().value();
    EXPECT_EQ(std::set<LdCDCategory*>(below.begin(), below.end()),
              (std::set<LdCDCategory*>{fruit, apples}));
    EXPECT_TRUE(apples->hasSupercategory(food));
    EXPECT_FALSE(food->hasSupercategory(apples));
    EXPECT_EQ(food->nameOrPlaceholder(), LdStrings::localizedString("_CATEGORY_WITHOUT_TITLE"));
}

TEST_F(LdEntityBehaviourTest, ContactNamesFollowTheUsersOrder) {
    auto* contact = insert<LdCDContact>();
    contact->setIsPerson(true);
    contact->setNamePrefix("Dr.");
    contact->setFirstName("Ada");
    contact->setLastName("Lovelace");
    LdUserDefaults& defaults = LdUserDefaults::standard();
    EXPECT_EQ(contact->full_name(), "Ada Lovelace");
    defaults.setInteger(1, LdCDContact::kNameIllustrationTypeKey);
    EXPECT_EQ(contact->full_name(), "Lovelace, Ada");
    contact->setFirstName(std::nullopt);
    EXPECT_EQ(contact->full_name(), "Lovelace");  // no separator without a first name
    defaults.setInteger(2, LdCDContact::kNameIllustrationTypeKey);
    contact->setNameSuffix("PhD");
    EXPECT_EQ(contact->full_name(), "Dr. Lovelace PhD");

    contact->setNickname("Countess");
    EXPECT_EQ(contact->representation_name(), "Countess");
    EXPECT_EQ(contact->representation_name_no_nickname(), "Dr. Lovelace PhD");
    contact->setIsPerson(false);
    contact->setCompanyName("Engines");
    EXPECT_EQ(contact->representation_name_no_nickname(), "Engines");

    auto* nameless = insert<LdCDContact>();
    EXPECT_EQ(nameless->representation_other_names(), std::nullopt);
    EXPECT_EQ(nameless->sortName(), LdStrings::localizedString("_CONTACT_WITHOUT_NAME"));
    auto addOtherName = [&](const char* name) {
        auto* other = insert<LdCDContactOtherName>();
        other->setName(name);
        other->setContact(nameless);
    };
    addOtherName("Bo");
    EXPECT_EQ(nameless->representation_other_names(), "Bo");  // the only one
    addOtherName("Abc");
    EXPECT_EQ(nameless->representation_other_names(), "Abc");  // short names: the longer
    addOtherName("ALBERT");
    addOtherName("Ålbert");
    EXPECT_EQ(nameless->representation_other_names(), "ALBERT");  // full beats short; ties sort
    addOtherName("Albert Einstein");
    EXPECT_EQ(nameless->representation_other_names(), "ALBERT");  // of full names, the shorter
    EXPECT_EQ(nameless->representation_name_with_other_names(), "ALBERT");
    EXPECT_EQ(nameless->all_other_names_in_one_string(),
              "Abc, ALBERT, Ålbert, Albert Einstein, Bo");
}

TEST_F(LdEntityBehaviourTest, BankDetailsChecksAndTexts) {
    auto* details = insert<LdCDBankDetails>();
    details->setAccountNumber("1234");
    details->setBankCode("12030000");
    EXPECT_EQ(details->shortDescription(), "1234 / 12030000");
    details->setIban("DE02120300000000202051");
    details->setBic("BYLADEM1001");
    EXPECT_TRUE(details->isIBANValid());
    EXPECT_TRUE(details->isBICValid());
    EXPECT_EQ(details->shortDescription(), "DE02120300000000202051");
    EXPECT_NE(details->localizedDescription().find("DE02120300000000202051"), std::string::npos);
    details->setIban("DE02120300000000202052");
    LdError error;
    EXPECT_FALSE(details->isIBANValid(&error));
}

TEST_F(LdEntityBehaviourTest, PrebookedEntryFindsTheDaysAroundIt) {
    auto* account = insert<LdCDAccount>();
    account->setInitialBalance(decimal("5"));
    auto dayAt = [&](double days, const char* start, const char* end) {
        LdCDDayBalance* made = day(account, start);
        made->setDate(LdDate::fromReferenceSeconds(86400.0 * days));
        made->setEndBalance(decimal(end));
        return made;
    };
    dayAt(100, "10", "20");
    LdCDDayBalance* second = dayAt(101.5, "20", "30");
    LdCDDayBalance* third = dayAt(102, "30", "40");
    auto* pending = insert<LdCDPrebookedOnlineEntry>();
    pending->setEntryType(100);
    pending->setTitle("Card payment");
    pending->setAmount(decimal("-3"));
    EXPECT_EQ(pending->dayBalanceMatchingBestToThisEntry(), nullptr);  // no account yet
    EXPECT_EQ(pending->startBalanceMatchingBestForDayWithThisEntry(), std::nullopt);

    pending->setDayBalance(second);
    EXPECT_EQ(pending->entryType(), 100U);
    EXPECT_EQ(pending->dayBalanceMatchingBestToThisEntry(), second);
    EXPECT_EQ(pending->dayBalanceAfterThisEntryMatchingBest(), third);
    EXPECT_EQ(pending->startBalanceMatchingBestForDayWithThisEntry(), decimal("20"));
    EXPECT_EQ(pending->endBalanceMatchingBestForDayWithThisEntry(), decimal("30"));
    pending->setDayBalance(third);
    EXPECT_EQ(pending->dayBalanceAfterThisEntryMatchingBest(), nullptr);
    EXPECT_EQ(pending->endBalanceMatchingBestForDayWithThisEntry(), decimal("40"));

    const LdValue::Dictionary summary = pending->entryAsDictionary();
    EXPECT_EQ(summary.count("transferText"), 0U);  // empty texts are left out
    EXPECT_EQ(summary.at("title").stringValue(), "Card payment");
    EXPECT_EQ(summary.at("date").dateValue(), *third->date());
    EXPECT_EQ(pending->localizedTitle(), "Card payment");
}
