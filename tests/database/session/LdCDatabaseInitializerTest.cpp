// The user record and initial content of a new database, on a real store file.
#include "core/database/session/LdCDatabaseInitializer.h"

#include <gtest/gtest.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/support/LdCoreHelper.h"
#include "core/support/LdStrings.h"
#include "core/support/foundation/LdDecimal.h"
#include "core/support/platform/LdClock.h"
#include "core/support/plist/LdKeyedArchive.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

class LdCDatabaseInitializerTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }

    void open() {
        context_.reset();
        store_ = std::make_unique<LdCryptStore>(folder_ / "store.ldcryptdata",
                                                LdValue::Dictionary{});
        LdError error;
        ASSERT_TRUE(store_->loadMetadata(&error)) << error;
        context_ = std::make_unique<LdManagedObjectContext>(*store_);
    }

    void saveAndReopen() {
        LdError error;
        ASSERT_TRUE(context_->save(&error)) << error;
        open();
    }

    template <typename T>
    std::vector<T*> fetch(const char* format = nullptr,
                          const std::vector<LdPredicateArgument>& arguments = {}) {
        LdFetchRequest request;
        request.entity = T::entityDescription();
        request.includesSubentities = false;
        if (format != nullptr) {
            request.predicate = LdPredicateParser::predicateWithFormat(format, arguments);
        }
        request.sortDescriptors = {{"syncChangeDate", true}};
        LdError error;
        auto found = context_->executeFetchRequest(request, &error);
        EXPECT_TRUE(found.has_value()) << error;
        std::vector<T*> result;
        for (LdManagedObject* object : found.value_or(std::vector<LdManagedObject*>())) {
            result.push_back(dynamic_cast<T*>(object));
        }
        return result;
    }

    static std::string unarchivedString(const LdData& data) {
        LdError error;
        std::optional<LdValue> value = LdKeyedUnarchiver::unarchivedObjectFromData(data, &error);
        EXPECT_TRUE(value.has_value()) << error;
        return value ? value->stringValue() : std::string();
    }

    // 15 March 2026, 10:00 UTC.
    static LdDate testNow() {
        return LdCoreHelper::helper().getDateForDay(15, 3, 2026)->dateByAddingTimeInterval(36000);
    }
    static LdDate day(int dayOfMonth, int month, int year) {
        return *LdCoreHelper::helper().getDateForDay(dayOfMonth, month, year);
    }

    LdManualClock clock_{testNow()};
    LdScopedClock scopedClock_{clock_};
    LdTemporaryFolder folder_;
    std::unique_ptr<LdCryptStore> store_;
    std::unique_ptr<LdManagedObjectContext> context_;
};

}  // namespace

TEST_F(LdCDatabaseInitializerTest, NewDatabaseGetsCompleteInitialContentThatIsStored) {
    LdError error;
    ASSERT_NE(LdCDatabaseInitializer::createUserForContext(*context_, "de_DE", &error), nullptr)
            << error;
    saveAndReopen();

    const std::vector<LdCDUser*> users = fetch<LdCDUser>();
    ASSERT_EQ(users.size(), 1U);
    const LdCDUser& user = *users.front();
    EXPECT_EQ(user.mainCurrency(), "EUR");

    // Accounts: the main list holds the cash account only.
    ASSERT_NE(user.mainAccountList(), nullptr);
    const LdCDAccountList& accounts = *user.mainAccountList();
    EXPECT_EQ(accounts.title(), "Accounts");
    EXPECT_EQ(accounts.currencyCode(), "EUR");
    EXPECT_TRUE(accounts.enabled());
    ASSERT_EQ(accounts.listObjects().size(), 1U);
    const auto* cash = dynamic_cast<const LdCDAccount*>(accounts.listObjects().front());
    ASSERT_NE(cash, nullptr);
    EXPECT_EQ(cash->title(), "Cash");
    EXPECT_EQ(cash->imageName(), "#banknote");
    EXPECT_EQ(cash->currencyCode(), "EUR");
    EXPECT_EQ(cash->countryID(), 276);
    EXPECT_EQ(cash->balanceIfSet(), LdDecimal::zero());
    EXPECT_TRUE(cash->includedInTotalBalance());
    EXPECT_FALSE(cash->isInactive());
    EXPECT_EQ(fetch<LdCDAccount>().size(), 1U);

    // The user's own contact.
    EXPECT_EQ(fetch<LdCDContact>("syncUniqueID BEGINSWITH %@", {std::string("#me#")}).size(), 1U);
    EXPECT_EQ(fetch<LdCDContact>().size(), 1U);

    // Budgets: an expense budget of 100 for the current month.
    ASSERT_NE(user.mainBudgetList(), nullptr);
    ASSERT_EQ(user.mainBudgetList()->listObjects().size(), 1U);
    const auto* budget = dynamic_cast<const LdCDBudget*>(user.mainBudgetList()->listObjects()[0]);
    ASSERT_NE(budget, nullptr);
    EXPECT_EQ(budget->name(), "Monthly expenses");
    EXPECT_EQ(budget->budget_type(), 0);
    EXPECT_EQ(budget->budget_amount(), LdDecimal::fromInt(100));
    EXPECT_DOUBLE_EQ(budget->budget_warning_factor(), 0.7);
    EXPECT_EQ(budget->currency(), "EUR");
    EXPECT_EQ(budget->time_period_modus(), 3);
    EXPECT_EQ(budget->start_date(), day(1, 3, 2026));
    EXPECT_EQ(budget->end_date(), day(31, 3, 2026).dateByAddingTimeInterval(86399));
    EXPECT_EQ(budget->transfer_entry_option(), 2);
    EXPECT_TRUE(budget->use_categories() && budget->is_all_categories() &&
                budget->is_using_no_category_objects() && budget->use_contacts() &&
                budget->is_all_contacts() && budget->is_using_no_contact_objects() &&
                budget->is_auto_active_accounts());
    EXPECT_FALSE(budget->is_auto_inactive_accounts() || budget->is_auto_old_accounts());
    // Left for the first open to compute.
    EXPECT_FALSE(budget->budget_remaining_amountIfSet().has_value());

    // Stocks.
    ASSERT_NE(user.mainStockList(), nullptr);
    EXPECT_EQ(user.mainStockList()->currencyCode(), "EUR");
    EXPECT_TRUE(user.mainStockList()->list_objects().empty());

    // Analyses: the standard chart, then the standard report.
    ASSERT_NE(user.mainAnalysesList(), nullptr);
    const auto analyses = user.mainAnalysesList()->listObjects();
    ASSERT_EQ(analyses.size(), 2U);
    const auto* chart = dynamic_cast<const LdCDChart*>(analyses[0]);
    const auto* report = dynamic_cast<const LdCDReport*>(analyses[1]);
    ASSERT_TRUE(chart != nullptr && report != nullptr);
    EXPECT_EQ(chart->name(), "Expenses per category");
    EXPECT_EQ(chart->chart_data_source_type(), 2);
    // A chart of one value per object is packed over the whole period.
    EXPECT_EQ(chart->chart_type(), 3);
    EXPECT_EQ(chart->chart_pack_data_modus(), 5);
    EXPECT_EQ(chart->time_period_modus(), 190);
    EXPECT_EQ(chart->start_date(), day(15, 12, 2025));
    EXPECT_EQ(chart->end_date(), day(15, 3, 2026).dateByAddingTimeInterval(86399));
    EXPECT_EQ(chart->currency(), "EUR");
    EXPECT_EQ(report->name(), "Expenses per payee");
    EXPECT_EQ(report->reportType(), 0);
    EXPECT_TRUE(report->auto_time_period());
    EXPECT_EQ(report->start_date(), day(1, 3, 2026));
    LdError settingsError;
    std::optional<LdValue> settings =
            LdKeyedUnarchiver::unarchivedObjectFromData(report->gui_settings(), &settingsError);
    ASSERT_TRUE(settings.has_value()) << settingsError;
    EXPECT_EQ(settings->dictionaryValue().size(), 14U);
    EXPECT_EQ((*settings)["top_contacts_count"].integerValue(), 10);
    EXPECT_FALSE((*settings)["show_quarters"].boolValue());
}

TEST_F(LdCDatabaseInitializerTest, StandardCategoriesCarryTheirKeywordRules) {
    ASSERT_NE(LdCDatabaseInitializer::createUserForContext(*context_, "de_DE"), nullptr);
    saveAndReopen();

    const auto& standard = LdCDatabaseInitializer::standardCategories();
    ASSERT_EQ(standard.size(), 22U);
    EXPECT_EQ(fetch<LdCDCategory>().size(), 22U);
    for (const auto& expected : standard) {
        SCOPED_TRACE(expected.key);
        const std::string name = LdStrings::localizedString(expected.key, LdCCategories);
        ASSERT_NE(name, expected.key) << "no name in the strings table";
        const std::vector<LdCDCategory*> found = fetch<LdCDCategory>("name == %@", {name});
        ASSERT_EQ(found.size(), 1U);
        const LdCDCategory& category = *found.front();
        EXPECT_EQ(category.imageName(), expected.imageName);
        EXPECT_EQ(category.super_category(), nullptr);
        ASSERT_EQ(category.rules().size(), 1U);
        const LdCDCategoryRule& rule = *category.rules().front();
        EXPECT_EQ(rule.propertyType(), 4);           // any text
        EXPECT_EQ(rule.propertyValueRelation(), 6);  // contains at least one
        EXPECT_FALSE(rule.useExactTokenMatches());
        EXPECT_EQ(
                unarchivedString(rule.value()),
                LdStrings::localizedString(std::string(expected.key) + "_KEYWORDS", LdCCategories));
    }
    // A phrase stays one keyword.
    const LdCDCategory& car = *fetch<LdCDCategory>("name == %@", {std::string("Car")}).front();
    EXPECT_EQ(unarchivedString(car.rules().front()->value()), "car,garage,parking,toll,car wash");
    EXPECT_EQ(fetch<LdCDCategoryRule>().size(), 22U);
}

TEST_F(LdCDatabaseInitializerTest, SecondCallReturnsTheSameUserAndCreatesNothing) {
    LdCDUser* first = LdCDatabaseInitializer::createUserForContext(*context_, "de_DE");
    ASSERT_NE(first, nullptr);
    const std::size_t inserted = context_->insertedObjects().size();
    // Before saving, the unsaved user is found.
    EXPECT_EQ(LdCDatabaseInitializer::createUserForContext(*context_, "fr_CH"), first);
    EXPECT_EQ(context_->insertedObjects().size(), inserted);

    saveAndReopen();
    LdCDUser* stored = LdCDatabaseInitializer::createUserForContext(*context_, "fr_CH");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->mainCurrency(), "EUR");
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(fetch<LdCDUser>().size(), 1U);
    EXPECT_EQ(fetch<LdCDCategory>().size(), 22U);
}

TEST_F(LdCDatabaseInitializerTest, CurrencyAndCountryFollowTheLocale) {
    struct Case {
        const char* locale;
        const char* currency;
        std::int32_t country;
    };
    for (const Case& example : {Case{"fr_CH", "CHF", 756}, Case{"en_US_POSIX", "USD", 840},
                                Case{"ja_JP", "JPY", 392}, Case{"xx", "USD", 0}}) {
        SCOPED_TRACE(example.locale);
        open();  // a new context over the still empty file
        LdCDUser* user = LdCDatabaseInitializer::createUserForContext(*context_, example.locale);
        ASSERT_NE(user, nullptr);
        EXPECT_EQ(user->mainCurrency(), example.currency);
        EXPECT_EQ(user->mainAccountList()->currencyCode(), example.currency);
        EXPECT_EQ(user->mainStockList()->currencyCode(), example.currency);
        const auto* cash =
                dynamic_cast<const LdCDAccount*>(user->mainAccountList()->listObjects().front());
        EXPECT_EQ(cash->currencyCode(), example.currency);
        EXPECT_EQ(cash->countryID(), example.country);
    }
}
