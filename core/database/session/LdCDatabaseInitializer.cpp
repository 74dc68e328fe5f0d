// The user record of a database and the content a new database starts with.
#include "core/database/session/LdCDatabaseInitializer.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include <unicode/uloc.h>

#include "core/database/model/LdObjectModel.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/support/LdCoreHelper.h"
#include "core/support/LdStrings.h"
#include "core/support/currency/LdCCountryManager.h"
#include "core/support/formatting/LdLocale.h"
#include "core/support/foundation/LdDecimal.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/plist/LdKeyedArchive.h"

namespace {

constexpr const char* kFallbackCurrencyCode = "USD";
// The user's own contact is recognised by this prefix of its sync identifier.
constexpr const char* kMeContactSyncIDPrefix = "#me#";
// Separator of keyword lists in the strings table and in stored text rules.
constexpr char kKeywordSeparator = ',';
// A keyword with this mark in front excludes the category.
constexpr char kExcludedKeywordMark = '!';

// Category rule codes: which entry property a rule tests and how it compares.
constexpr std::int32_t kRulePropertyAnyText = 4;
constexpr std::int32_t kRuleRelationContainsNone = 5;
constexpr std::int32_t kRuleRelationContainsAtLeastOne = 6;

// Account kind "other" of the account-kind codes (90 and above): a cash account has no bank kind.
constexpr std::int32_t kAccountTypeOther = 90;

// Analysis settings.
constexpr std::int32_t kPeriodModeMonth = 3;
constexpr std::int32_t kPeriodModeLast90Days = 190;
constexpr std::int64_t kLast90Days = 90;
constexpr std::int32_t kExcludeTransfersBetweenSelectedAccounts = 2;
constexpr std::int32_t kBudgetTypeExpenses = 0;
constexpr std::int64_t kStandardBudgetAmount = 100;
constexpr double kStandardBudgetWarningFactor = 0.7;
constexpr std::int32_t kChartSourceExpenses = 2;
// Chart type 3 shows one value per object (here: per category) over the whole period, which
// requires the pack mode "whole period".
constexpr std::int32_t kChartTypeOneValuePerObject = 3;
constexpr std::int32_t kChartPackWholePeriod = 5;
constexpr std::int32_t kReportTypeExpenses = 0;

// The words of a keyword list: the pieces between separators, empty ones dropped, each kept as it
// stands (a blank after a separator belongs to the next word).
std::vector<std::string> keywordsFromText(std::string_view text) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(kKeywordSeparator, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            words.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

std::string joinKeywords(const std::vector<std::string>& words) {
    std::string joined;
    for (const std::string& word : words) {
        if (!joined.empty()) {
            joined += kKeywordSeparator;
        }
        joined += word;
    }
    return joined;
}

// The region part of a locale identifier ("DE" for "de_DE"); empty when it has none.
std::string regionOfLocale(std::string_view localeIdentifier) {
    const std::string identifier(localeIdentifier);
    std::array<char, ULOC_COUNTRY_CAPACITY> region{};
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t length = uloc_getCountry(identifier.c_str(), region.data(),
                                                static_cast<std::int32_t>(region.size()), &status);
    if (U_FAILURE(status) || length <= 0) {
        return {};
    }
    return {region.data(), static_cast<std::size_t>(length)};
}

// Builds the initial content in one context, remembering every object it inserts so that a
// failure leaves nothing behind.
class InitialContentBuilder {
public:
    InitialContentBuilder(LdManagedObjectContext& context, std::string_view localeIdentifier)
        : context_(context), localeIdentifier_(localeIdentifier) {}

    LdCDUser* build(LdError* error) {
        LdCDUser* user = insert<LdCDUser>();
        if (user == nullptr) {
            return fail(error);
        }
        currencyCode_ = LdLocale::currencyCode(localeIdentifier_);
        if (currencyCode_.empty()) {
            currencyCode_ = kFallbackCurrencyCode;
        }
        user->setMainCurrency(currencyCode_);

        // Fixed order: accounts, own contact, categories, budgets, stocks, analyses.
        LdCDAccountList* accountList = makeAccountList(*user);
        if (accountList == nullptr || makeMeContact(*user) == nullptr ||
            makeCashAccount(*accountList) == nullptr || !makeStandardCategories() ||
            !makeBudgets(*user) || makeStockList(*user) == nullptr || !makeAnalyses(*user)) {
            return fail(error);
        }
        return user;
    }

private:
    template <typename T>
    T* insert() {
        T* object = context_.insertNewObject<T>(T::entityName());
        if (object != nullptr) {
            inserted_.push_back(object);
        } else {
            failedEntity_ = T::entityName();
        }
        return object;
    }

    LdCDUser* fail(LdError* error) {
        // Deleting a new object takes it out of the context's insertions again.
        for (auto it = inserted_.rbegin(); it != inserted_.rend(); ++it) {
            if (!(*it)->isDeleted()) {
                context_.deleteObject(*it);
            }
        }
        inserted_.clear();
        LdError made = LdError::errorWithTitle("_ERROR", "_DB_INITIAL_CONTENT_FAILED");
        made.addDebugInfo("entity", LdValue(failedEntity_));
        failWith(error, std::move(made));
        return nullptr;
    }

    LdCDAccountList* makeAccountList(LdCDUser& user) {
        LdCDAccountList* list = insert<LdCDAccountList>();
        if (list == nullptr) {
            return nullptr;
        }
        list->setTitle(LdStrings::localizedString("_MAIN_ACCOUNT_LIST_NAME"));
        list->setCurrencyCode(currencyCode_);
        list->setAmount(LdDecimal::zero());
        list->setEnabled(true);
        list->setExpanded(true);
        user.setMainAccountList(list);
        return list;
    }

    // The user's own contact: a person named like the user record (set from the operating
    // system's user on insertion), first word first name, the rest last name.
    LdCDContact* makeMeContact(const LdCDUser& user) {
        LdCDContact* contact = insert<LdCDContact>();
        if (contact == nullptr) {
            return nullptr;
        }
        contact->setIsPerson(true);
        std::vector<std::string> words;
        const std::string name = user.name();
        std::size_t start = 0;
        while (start < name.size()) {
            const std::size_t end = std::min(name.find(' ', start), name.size());
            if (end > start) {
                words.push_back(name.substr(start, end - start));
            }
            start = end + 1;
        }
        if (!words.empty()) {
            contact->setFirstName(words.front());
            words.erase(words.begin());
        }
        if (!words.empty()) {
            std::string lastName = words.front();
            for (std::size_t i = 1; i < words.size(); ++i) {
                lastName += ' ' + words[i];
            }
            contact->setLastName(lastName);
        }
        // The object layer gave it a fresh identifier on insertion; the prefix marks it as the
        // user's own.
        std::string identifier = contact->syncUniqueID();
        if (identifier.empty()) {
            identifier = LdUUID::uuidString();
        }
        contact->setSyncUniqueID(kMeContactSyncIDPrefix + identifier);
        return contact;
    }

    LdCDAccount* makeCashAccount(LdCDAccountList& list) {
        LdCDAccount* account = insert<LdCDAccount>();
        if (account == nullptr) {
            return nullptr;
        }
        account->setTitle(LdStrings::localizedString("_CASH"));
        account->setImageName("#banknote");
        account->setAccountType(kAccountTypeOther);
        account->setCurrencyCode(currencyCode_);
        account->setInitialBalance(LdDecimal::zero());
        account->setBalance(LdDecimal::zero());
        account->setIncludedInTotalBalance(true);
        const std::string region = regionOfLocale(localeIdentifier_);
        if (!region.empty()) {
            if (const LdCCountry* country =
                        LdCCountryManager::sharedManager().countryForIsoCode(region)) {
                account->setCountryID(static_cast<std::int32_t>(country->isoNumericCode));
            }
        }
        list.addListObjectsObject(account);
        return account;
    }

    bool makeStandardCategories() {
        for (const LdCDatabaseInitializer::StandardCategory& standard :
             LdCDatabaseInitializer::standardCategories()) {
            LdCDCategory* category = insert<LdCDCategory>();
            if (category == nullptr) {
                return false;
            }
            category->setName(LdStrings::localizedString(standard.key, LdCCategories));
            category->setImageName(standard.imageName);
            category->setShowsSubcategories(true);
            const std::string keywordsKey = std::string(standard.key) + "_KEYWORDS";
            const std::string keywords = LdStrings::localizedString(keywordsKey, LdCCategories);
            // A table without the key answers the key itself: no keywords then.
            if (keywords != keywordsKey && !makeKeywordRules(*category, keywords)) {
                return false;
            }
        }
        return true;
    }

    // Keyword rules: the included words as one rule "any text contains at least one of them",
    // the excluded ones (marked "!") as a second rule "any text contains none of them"; each
    // rule's value is the keyed archive of its words joined by the separator.
    bool makeKeywordRules(LdCDCategory& category, std::string_view keywords) {
        std::vector<std::string> included;
        std::vector<std::string> excluded;
        for (std::string& word : keywordsFromText(keywords)) {
            if (word.front() == kExcludedKeywordMark) {
                if (word.size() > 1) {
                    excluded.push_back(word.substr(1));
                }
            } else {
                included.push_back(std::move(word));
            }
        }
        return makeRule(category, included, kRuleRelationContainsAtLeastOne) &&
               makeRule(category, excluded, kRuleRelationContainsNone);
    }

    bool makeRule(LdCDCategory& category,
                  const std::vector<std::string>& words,
                  std::int32_t relation) {
        if (words.empty()) {
            return true;
        }
        std::optional<LdData> value =
                LdKeyedArchiver::archivedDataWithRootObject(LdValue(joinKeywords(words)));
        if (!value) {
            failedEntity_ = LdCDCategoryRule::entityName();
            return false;
        }
        LdCDCategoryRule* rule = insert<LdCDCategoryRule>();
        if (rule == nullptr) {
            return false;
        }
        rule->setPropertyType(kRulePropertyAnyText);
        rule->setPropertyValueRelation(relation);
        rule->setUseExactTokenMatches(false);
        rule->setValue(std::move(*value));
        category.addRulesObject(rule);
        return true;
    }

    // The selection every standard analysis starts from: all categories and contacts (and
    // entries without them), the active accounts, transfers between them left out.
    void setStandardSelection(LdCDAnalyserObject& analysis) const {
        analysis.setCurrency(currencyCode_);
        analysis.setTransfer_entry_option(kExcludeTransfersBetweenSelectedAccounts);
        analysis.setIs_all_categories(true);
        analysis.setIs_using_no_category_objects(true);
        analysis.setIs_all_contacts(true);
        analysis.setIs_using_no_contact_objects(true);
        analysis.setIs_auto_active_accounts(true);
        analysis.setIs_auto_inactive_accounts(false);
        analysis.setIs_auto_old_accounts(false);
    }

    // The current month in the system time zone, from its first to its last moment.
    static void setCurrentMonth(LdCDAnalyserObject& analysis) {
        const LdCoreHelper& calendar = LdCoreHelper::helper();
        const LdDate today = calendar.getDateInSystemTimeZone();
        analysis.setTime_period_modus(kPeriodModeMonth);
        analysis.setStart_date(calendar.getFirstDayOfMonthForDate(today));
        analysis.setEnd_date(
                calendar.getLastDayTimeOfDay(*calendar.getLastDayOfMonthForDate(today)));
    }

    bool makeBudgets(LdCDUser& user) {
        LdCDBudgetList* list = insert<LdCDBudgetList>();
        LdCDBudget* budget = insert<LdCDBudget>();
        if (list == nullptr || budget == nullptr) {
            return false;
        }
        list->setName(LdStrings::localizedString("_MAIN_BUDGET_LIST_NAME"));
        list->setIsOpen(true);
        user.setMainBudgetList(list);

        budget->setName(LdStrings::localizedString("_STD_BUDGET_NAME"));
        budget->setBudget_type(kBudgetTypeExpenses);
        budget->setBudget_amount(LdDecimal::fromInt(kStandardBudgetAmount));
        budget->setBudget_warning_factor(kStandardBudgetWarningFactor);
        setStandardSelection(*budget);
        budget->setUse_categories(true);
        budget->setUse_contacts(true);
        setCurrentMonth(*budget);
        budget->setAuto_time_period(false);
        // Remaining amount and status stay unset: the first open computes them.
        list->addListObjectsObject(budget);
        return true;
    }

    LdCDStockList* makeStockList(LdCDUser& user) {
        LdCDStockList* list = insert<LdCDStockList>();
        if (list == nullptr) {
            return nullptr;
        }
        list->setName(LdStrings::localizedString("_MAIN_STOCK_LIST_NAME"));
        list->setCurrencyCode(currencyCode_);
        list->setAmount(LdDecimal::zero());
        list->setIncludedInTotalBalance(true);
        list->setIsOpen(true);
        user.setMainStockList(list);
        return list;
    }

    bool makeAnalyses(LdCDUser& user) {
        LdCDAnalysesList* list = insert<LdCDAnalysesList>();
        LdCDChart* chart = insert<LdCDChart>();
        LdCDReport* report = insert<LdCDReport>();
        if (list == nullptr || chart == nullptr || report == nullptr) {
            return false;
        }
        list->setName(LdStrings::localizedString("_MAIN_ANALYSES_LIST_NAME"));
        list->setIsOpen(true);
        user.setMainAnalysesList(list);

        std::optional<LdData> reportSettings = standardReportSettings();
        if (!reportSettings) {
            failedEntity_ = LdCDReport::entityName();
            return false;
        }

        // Expenses per category over the last 90 days, moving with the current day.
        chart->setName(LdStrings::localizedString("_STD_CHART_EXPENSES_PER_CATEGORY_NAME"));
        chart->setChart_data_source_type(kChartSourceExpenses);
        chart->setChart_type(kChartTypeOneValuePerObject);
        chart->setChart_pack_data_modus(kChartPackWholePeriod);
        chart->setChart_result_mode(0);
        chart->setChart_merge_values(0);
        chart->setChart_auto_scale(true);
        setStandardSelection(*chart);
        chart->setUse_categories(true);
        const LdCoreHelper& calendar = LdCoreHelper::helper();
        const LdDate today = calendar.getDateInSystemTimeZone();
        chart->setTime_period_modus(kPeriodModeLast90Days);
        chart->setStart_date(calendar.getFirstDayTimeOfDay(calendar.subOneDay(today, kLast90Days)));
        chart->setEnd_date(calendar.getLastDayTimeOfDay(today));
        chart->setAuto_time_period(true);
        list->addListObjectsObject(chart);

        // Expenses of the current month, grouped by payee on the report page.
        report->setName(LdStrings::localizedString("_STD_REPORT_EXPENSES_PER_CONTACT_NAME"));
        report->setReportType(kReportTypeExpenses);
        setStandardSelection(*report);
        report->setUse_categories(false);
        report->setUse_contacts(false);
        setCurrentMonth(*report);
        report->setAuto_time_period(true);
        report->setGui_settings(std::move(*reportSettings));
        list->addListObjectsObject(report);
        return true;
    }

    // The view settings of a new report, as a keyed archive of their dictionary.
    static std::optional<LdData> standardReportSettings() {
        const LdValue::Dictionary settings{
                {"show_filter", LdValue(true)},      {"show_overview", LdValue(true)},
                {"marked_time_objects", LdValue(3)}, {"show_days", LdValue(true)},
                {"show_weeks", LdValue(true)},       {"show_months", LdValue(true)},
                {"show_quarters", LdValue(false)},   {"show_years", LdValue(false)},
                {"show_cats", LdValue(true)},        {"top_cats_count", LdValue(10)},
                {"show_tags", LdValue(true)},        {"top_tags_count", LdValue(10)},
                {"show_contacts", LdValue(true)},    {"top_contacts_count", LdValue(10)},
        };
        return LdKeyedArchiver::archivedDataWithRootObject(LdValue(settings));
    }

    LdManagedObjectContext& context_;
    std::string localeIdentifier_;
    std::string currencyCode_;
    std::vector<LdManagedObject*> inserted_;
    std::string failedEntity_;
};

}  // namespace

const std::vector<LdCDatabaseInitializer::StandardCategory>&
LdCDatabaseInitializer::standardCategories() {
    static const std::vector<StandardCategory> kCategories{
            {"_CAR", "#car"},
            {"_FUEL", "#fuel"},
            {"_SERVICE", "#service"},
            {"_CLOTHING", "#shirt"},
            {"_PHONE", "#smartphone"},
            {"_COMPUTER", "#computer"},
            {"_GROCERY", "#apple"},
            {"_INSURANCE", "#shield"},
            {"_RENT", "#rent"},
            {"_SALARY", "#money"},
            {"_LEISURE", "#vacation"},
            {"_TRAVEL", "#case"},
            {"_GIFT", "#gift"},
            {"_HEALTH", "#health"},
            {"_PETS", "#pets"},
            {"_ELECTRICITY", "#light"},
            {"_FEE", "#fee"},
            {"_ONLINE_SERVICES", "#earth"},
            {"_STREAMING", "#wlan"},
            {"_DONATION", "#health_care"},
            {"_HOUSEHOLD", "#vacuum_cleaner"},
            {"_SAVING", "#safe"},
    };
    return kCategories;
}

LdCDUser* LdCDatabaseInitializer::createUserForContext(LdManagedObjectContext& context,
                                                       LdError* error) {
    return createUserForContext(context, LdLocale::currentLocaleIdentifier(), error);
}

LdCDUser* LdCDatabaseInitializer::createUserForContext(LdManagedObjectContext& context,
                                                       std::string_view localeIdentifier,
                                                       LdError* error) {
    LdFetchRequest request;
    request.entity = context.store().model().entityNamed(LdCDUser::entityName());
    request.fetchLimit = 1;
    if (request.entity == nullptr) {
        failWith(error, LdError::errorWithTitle("_ERROR", "_DB_INITIAL_CONTENT_FAILED"));
        return nullptr;
    }
    LdError fetchError;
    std::optional<std::vector<LdManagedObject*>> users =
            context.executeFetchRequest(request, &fetchError);
    if (!users) {
        LdError made = LdError::errorWithTitle("_ERROR", "_DB_INITIAL_CONTENT_FAILED");
        made.setUnderlyingError(fetchError);
        failWith(error, std::move(made));
        return nullptr;
    }
    if (!users->empty()) {
        return dynamic_cast<LdCDUser*>(users->front());
    }
    return InitialContentBuilder(context, localeIdentifier).build(error);
}
