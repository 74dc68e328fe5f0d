// The hand-written behaviour of accounts and account lists: display names, the effective
// balance, account kinds, the info dictionary with its import settings, the count of new
// transactions, the cached currency, and the accounts a list includes.
#include <cctype>

#include "core/database/model/LdInfoDictionary.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/support/LdStrings.h"
#include "core/support/currency/LdCCountryManager.h"

namespace {

// Account kinds come in decades of codes (30–39 securities depot, ...).
bool inDecade(std::int32_t type, std::int32_t first) {
    return type >= first && type <= first + 9;
}

void collectAccounts(const LdCDAccountList& list, std::vector<LdCDAccount*>& accounts) {
    for (LdCDAccountListObject* member : list.listObjects()) {
        if (auto* account = dynamic_cast<LdCDAccount*>(member)) {
            accounts.push_back(account);
        } else if (const auto* nested = dynamic_cast<const LdCDAccountList*>(member)) {
            collectAccounts(*nested, accounts);
        }
    }
}

}  // namespace

// LdCDAccount

std::string LdCDAccount::localizedName() const {
    std::string name = title();
    return name.empty() ? LdStrings::localizedString("_ACCOUNT_WITHOUT_TITLE") : name;
}

LdDecimal LdCDAccount::effectiveBalance() const {
    if (const LdCDOnlineProviderRelation* relation = onlineRelation()) {
        if (relation->showOnlineAmount()) {
            if (std::optional<LdDecimal> online = relation->onlineAmountIfSet()) {
                return *online;
            }
        }
    }
    return balance();
}

std::string LdCDAccount::titleWithAdditionalInfo() const {
    std::string bankID = bic().empty() ? bankCode() : bic();
    std::string accountID = iban().empty() ? accountNumber() : iban();
    if (bankID.empty() && accountID.empty()) {
        return localizedName();
    }
    std::string separator = !bankID.empty() && !accountID.empty() ? ", " : "";
    return localizedName() + " (" + bankID + separator + accountID + ")";
}

bool LdCDAccount::isDepot() const {
    return inDecade(accountType(), 30);
}

bool LdCDAccount::isCreditCard() const {
    return inDecade(accountType(), 50);
}

std::int32_t LdCDAccount::accountTypeForAggregatorAccountKind(std::string_view kind) {
    // Letters only, lower case: "Credit Card", "credit_card" and "CREDITCARD" are one kind.
    std::string letters;
    for (char character : kind) {
        if (std::isalpha(static_cast<unsigned char>(character)) != 0) {
            letters += static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
        }
    }
    if (letters == "checking") {
        return 1;
    }
    if (letters == "savings") {
        return 10;
    }
    if (letters == "brokerage") {
        return 30;
    }
    if (letters == "loan") {
        return 40;
    }
    if (letters == "creditcard") {
        return 50;
    }
    return 90;
}

std::optional<LdValue::Dictionary> LdCDAccount::infoDictionary(LdError* error) const {
    return LdInfoDictionary::infoDictionaryFromData(infoDictData(), error);
}

bool LdCDAccount::setInfoDictionary(const std::optional<LdValue::Dictionary>& dictionary,
                                    LdError* error) {
    if (!dictionary || dictionary->empty()) {
        setInfoDictData(std::nullopt);
        return true;
    }
    std::optional<LdData> data = LdInfoDictionary::dataForInfoDictionary(*dictionary, error);
    if (!data) {
        return false;
    }
    setInfoDictData(std::move(*data));
    return true;
}

bool LdCDAccount::setImportSettingsDictionary(const LdValue::Dictionary& settings,
                                              const std::string& fileSource,
                                              LdError* error) {
    if (fileSource.empty()) {
        return false;
    }
    std::optional<LdData> data = LdInfoDictionary::dataBySettingImportSettings(
            infoDictData(), settings, fileSource, error);
    if (!data) {
        return false;
    }
    setInfoDictData(data->empty() ? std::nullopt : std::optional<LdData>(std::move(*data)));
    return true;
}

std::optional<LdValue::Dictionary> LdCDAccount::importSettingsDictionaryForFileSource(
        const std::string& fileSource, LdError* error) const {
    if (fileSource.empty()) {
        return std::nullopt;
    }
    return LdInfoDictionary::importSettingsForFileSource(infoDictData(), fileSource, error);
}

bool LdCDAccount::recalculateNumberOfNewTransactions() {
    std::int64_t count = 0;
    if (LdManagedObjectContext* context = managedObjectContext()) {
        LdFetchRequest request;
        request.entity = LdCDEntry::entityDescription();
        request.predicate = LdPredicateParser::predicateWithFormat(
                "isNew == YES AND (dayBalance.account == %@)", {objectID()});
        // A failed count counts as none.
        count = static_cast<std::int64_t>(context->countForFetchRequest(request).value_or(0));
    }
    if (count == numberOfNewTransactions()) {
        return false;
    }
    setNumberOfNewTransactions(count);
    return true;
}

const LdCCurrency* LdCDAccount::currency() const {
    if (!currency_) {
        currency_ = LdCCountryManager::sharedManager().currencyForIsoCode(currencyCode());
    }
    return *currency_;
}

void LdCDAccount::clearCachedProperties() {
    currency_.reset();
    cachedColor_.reset();
    cachedImage_.reset();
}

void LdCDAccount::didRefresh() {
    clearCachedProperties();
}

// LdCDAccountList

std::string LdCDAccountList::localizedTitle() const {
    return LdStrings::localizedString(title());
}

std::vector<LdCDAccount*> LdCDAccountList::allIncludedAccounts() const {
    std::vector<LdCDAccount*> accounts;
    collectAccounts(*this, accounts);
    return accounts;
}

std::size_t LdCDAccountList::countOfIncludedAccounts() const {
    return allIncludedAccounts().size();
}
