// The hand-written behaviour of the ledger's entries and day balances: transfer partners, titles,
// the info dictionary and import data of an entry, running balances, split remainders, short
// texts, and where a pre-booked entry falls among its account's days.
#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/support/LdStrings.h"
#include "core/support/formatting/LdCDateFormatter.h"
#include "core/support/formatting/LdCNumberFormatter.h"
#include "core/support/plist/LdKeyedArchive.h"

namespace {

// The info dictionary's key of a data source's import data.
constexpr std::string_view kImportDataPrefix = "import_";
constexpr double kSecondsPerDay = 86400.0;

// What an entry's info dictionary may hold when read back.
const std::set<std::string>& entryInfoClasses() {
    static const std::set<std::string> kClasses{"NSDictionary",    "NSMutableDictionary",
                                                "NSString",        "NSMutableString",
                                                "NSDecimalNumber", "NSArray",
                                                "NSDate",          "NSData",
                                                "NSNumber"};
    return kClasses;
}

std::string importKey(const std::string& dataSource) {
    return std::string(kImportDataPrefix) + dataSource;
}

// The first instant of the next UTC day after `date`'s: the library's days are UTC days.
LdDate startOfNextDay(LdDate date) {
    const double seconds = date.timeIntervalSinceReferenceDate();
    return LdDate::fromReferenceSeconds(std::floor(seconds / kSecondsPerDay) * kSecondsPerDay +
                                        kSecondsPerDay);
}

bool sameDay(LdDate a, LdDate b) {
    return std::floor(a.timeIntervalSinceReferenceDate() / kSecondsPerDay) ==
           std::floor(b.timeIntervalSinceReferenceDate() / kSecondsPerDay);
}

const LdCNumberHandler& handlerFor(const LdCDAccount* account) {
    return LdCNumberFormatter::standardLedraNumberHandlerForCurrency(
            account != nullptr ? account->currency() : nullptr);
}

// "-12.50 EUR": the amount in the account's currency followed by its code.
std::string amountText(const LdDecimal& amount, const LdCDAccount* account) {
    const LdCCurrency* currency = account != nullptr ? account->currency() : nullptr;
    std::string text =
            LdCNumberFormatter::standardNumberFormatterForCurrency(currency).stringFromNumber(
                    amount);
    if (account != nullptr && !account->currencyCode().empty()) {
        text += " " + account->currencyCode();
    }
    return text;
}

void addLine(std::string& text, const std::string& line) {
    if (!line.empty()) {
        text += line + "\n";
    }
}

void addLabelledLine(std::string& text, const char* key, const std::string& value) {
    if (!value.empty()) {
        text += LdStrings::localizedString(key) + ": " + value + "\n";
    }
}

}  // namespace

// LdCDBaseEntry

void LdCDBaseEntry::setTitle(std::optional<std::string> newValue) {
    static const std::size_t kNumber =
            entityDescription()->propertyNamed("title")->propertyNumber();
    if (valueAt(kNumber) == (newValue ? LdValue(*newValue) : LdValue())) {
        return;
    }
    setValueAt(kNumber, newValue ? LdValue(std::move(*newValue)) : LdValue());
    titleDidChange();
}

LdCDBaseEntry::TransferPartner LdCDBaseEntry::transferPartnerObject() const {
    if (LdCDBaseEntry* entry = transferEntry()) {
        return entry;
    }
    if (LdCDBankDetails* bankDetails = transferAccountRelation()) {
        return bankDetails;
    }
    if (LdCDContact* contact = transferContact()) {
        return contact;
    }
    if (std::string text = transferText(); !text.empty()) {
        return text;
    }
    return std::monostate();
}

std::string LdCDBaseEntry::localizedTitle() const {
    std::string text = title();
    return text.empty() ? LdStrings::localizedString("_ENTRY_NO_TITLE") : text;
}

std::string LdCDBaseEntry::transactionsTypeLocalized() const {
    const bool split = dynamic_cast<const LdCDSplitEntry*>(this) != nullptr;
    const bool transfer = transferEntry() != nullptr;
    if (split) {
        return LdStrings::localizedString(transfer ? "_SPLIT_TRANSFER_TRANSACTION"
                                                   : "_SPLIT_TRANSACTION");
    }
    return LdStrings::localizedString(transfer ? "_TRANSFER_TRANSACTION" : "_TRANSACTION");
}

std::optional<LdValue::Dictionary> LdCDBaseEntry::infoDictionary(LdError* error) const {
    const LdCDEntryInfoDict* holder = infoDict();
    if (holder == nullptr) {
        return std::nullopt;
    }
    const LdData data = holder->serializedData();
    if (data.empty()) {
        return LdValue::Dictionary();
    }
    std::optional<LdValue> root =
            LdKeyedUnarchiver::unarchivedObjectOfClasses(entryInfoClasses(), data, error);
    if (!root) {
        return std::nullopt;
    }
    if (!root->isDictionary()) {
        failWith(error, LdError::errorWithTitle("_ERROR", "_UNEXPECTED_ERROR"));
        return std::nullopt;
    }
    return root->dictionaryValue();
}

bool LdCDBaseEntry::setInfoDictionary(const LdValue::Dictionary& dictionary, LdError* error) {
    if (dictionary.empty()) {
        if (LdCDEntryInfoDict* holder = infoDict()) {
            setInfoDict(nullptr);
            if (managedObjectContext() != nullptr) {
                managedObjectContext()->deleteObject(holder);
            }
        }
        return true;
    }
    std::optional<LdData> data = LdKeyedArchiver::archivedDataWithRootObject(dictionary, error);
    if (!data) {
        return false;
    }
    LdCDEntryInfoDict* holder = infoDict();
    if (holder == nullptr) {
        if (managedObjectContext() == nullptr) {
            return false;
        }
        holder = managedObjectContext()->insertNewObject<LdCDEntryInfoDict>(
                LdCDEntryInfoDict::entityName());
        if (holder == nullptr) {
            return false;
        }
        setInfoDict(holder);
    }
    holder->setSerializedData(std::move(*data));
    return true;
}

bool LdCDBaseEntry::setInfoDictValue(LdValue value, const std::string& key, LdError* error) {
    if (key.empty()) {
        return false;
    }
    LdValue::Dictionary dictionary;
    if (infoDict() != nullptr) {
        std::optional<LdValue::Dictionary> existing = infoDictionary(error);
        if (!existing) {
            return false;  // an unreadable dictionary is not overwritten
        }
        dictionary = std::move(*existing);
    }
    if (value.isNull()) {
        dictionary.erase(key);
    } else {
        dictionary[key] = std::move(value);
    }
    return setInfoDictionary(dictionary, error);
}

LdValue LdCDBaseEntry::infoDictValueForKey(const std::string& key) const {
    std::optional<LdValue::Dictionary> dictionary = infoDictionary();
    if (!dictionary) {
        return LdValue();
    }
    auto found = dictionary->find(key);
    return found != dictionary->end() ? found->second : LdValue();
}

bool LdCDBaseEntry::setImportDataDictionary(const LdValue::Dictionary& dictionary,
                                            const std::string& dataSource,
                                            LdError* error) {
    if (dataSource.empty()) {
        return false;
    }
    return setInfoDictValue(dictionary.empty() ? LdValue() : LdValue(dictionary),
                            importKey(dataSource), error);
}

LdValue::Dictionary LdCDBaseEntry::importDataDictionaryForDataSource(
        const std::string& dataSource) const {
    return infoDictValueForKey(importKey(dataSource)).dictionaryValue();
}

std::optional<std::vector<std::string>> LdCDBaseEntry::availableImportDataKeys() const {
    std::optional<LdValue::Dictionary> dictionary = infoDictionary();
    if (!dictionary) {
        return std::nullopt;
    }
    std::vector<std::string> keys;
    for (const auto& [key, value] : *dictionary) {
        if (key.starts_with(kImportDataPrefix) && key.size() > kImportDataPrefix.size()) {
            keys.push_back(key.substr(kImportDataPrefix.size()));
        }
    }
    if (keys.empty()) {
        return std::nullopt;
    }
    return keys;
}

bool LdCDBaseEntry::hasHBCIImportData() const {
    return !importDataDictionaryForDataSource("hbci_mt940").empty() ||
           !importDataDictionaryForDataSource("hbci_camt").empty() ||
           !importDataDictionaryForDataSource("hbci_dkkku").empty();
}

bool LdCDBaseEntry::hasOFXImportData() const {
    return !importDataDictionaryForDataSource("ofx_transaction").empty();
}

bool LdCDBaseEntry::hasCSVImportData() const {
    return !importDataDictionaryForDataSource("csv_transaction").empty();
}

bool LdCDBaseEntry::hasQIFImportData() const {
    return !importDataDictionaryForDataSource("qif_transaction").empty();
}

bool LdCDBaseEntry::hasMT940ImportData() const {
    return !importDataDictionaryForDataSource("mt940_file_transaction").empty();
}

std::string LdCDBaseEntry::transferPartnerDescription(bool showBankDetails,
                                                      bool useLocalizedPlaceholders) const {
    const TransferPartner partner = transferPartnerObject();
    if (const auto* entry = std::get_if<LdCDBaseEntry*>(&partner)) {
        // An own-account transfer names the other account.
        const LdCDAccount* account = nullptr;
        if (const auto* booked = dynamic_cast<const LdCDEntry*>(*entry)) {
            account = booked->account();
        } else if (const auto* split = dynamic_cast<const LdCDSplitEntry*>(*entry)) {
            account = split->account();
        }
        if (account != nullptr) {
            return account->localizedName();
        }
        return useLocalizedPlaceholders ? LdStrings::localizedString("_ACCOUNT_WITHOUT_TITLE")
                                        : std::string();
    }
    if (const auto* bankDetails = std::get_if<LdCDBankDetails*>(&partner)) {
        // Bank details speak through their contact when they have one.
        std::string name;
        if (const LdCDContact* contact = (*bankDetails)->contact()) {
            name = contact->representation_name_with_other_names();
        } else if (transferContact() != nullptr) {
            name = transferContact()->representation_name_with_other_names();
        } else if (!transferText().empty()) {
            name = transferText();
        }
        const std::string details = showBankDetails ? (*bankDetails)->shortDescription() : "";
        if (name.empty()) {
            return details.empty() && useLocalizedPlaceholders
                           ? LdStrings::localizedString("_CONTACT_WITHOUT_NAME")
                           : details;
        }
        return details.empty() ? name : name + " (" + details + ")";
    }
    if (const auto* contact = std::get_if<LdCDContact*>(&partner)) {
        std::string name = (*contact)->representation_name_with_other_names();
        return name;
    }
    if (const auto* text = std::get_if<std::string>(&partner)) {
        return *text;
    }
    return useLocalizedPlaceholders ? LdStrings::localizedString("_CONTACT_WITHOUT_NAME")
                                    : std::string();
}

// LdCDEntry

std::optional<LdDate> LdCDEntry::date() const {
    const LdCDDayBalance* day = dayBalance();
    return day != nullptr ? day->date() : std::nullopt;
}

LdCDAccount* LdCDEntry::account() const {
    const LdCDDayBalance* day = dayBalance();
    return day != nullptr ? day->account() : nullptr;
}

std::optional<LdDecimal> LdCDEntry::accountBalance() const {
    if (!accountBalance_) {
        if (LdCDDayBalance* day = dayBalance()) {
            day->computeAccountBalancesForAllTransactions();
        }
    }
    return accountBalance_;
}

void LdCDEntry::setDayBalance(LdCDDayBalance* target) {
    static const std::size_t kNumber =
            entityDescription()->propertyNamed("dayBalance")->propertyNumber();
    LdCDDayBalance* previous = dayBalance();
    if (previous != nullptr && previous != target) {
        previous->resetAllTransactionAccountBalanceInfos();
    }
    if (target != nullptr) {
        target->resetAllTransactionAccountBalanceInfos();
    }
    setObjectAt(kNumber, target);
    if (target == nullptr) {
        accountBalance_.reset();
    }
}

LdDecimal LdCDEntry::remainderSplitAmount() const {
    LdDecimal rest = amount().abs();
    for (const LdCDSplitEntry* split : splits()) {
        rest -= split->amount();
    }
    return handlerFor(account()).roundedNumber(rest);
}

std::string LdCDEntry::entryAsShortText() const {
    std::string text;
    const LdCDAccount* owner = account();
    if (std::optional<LdDate> day = date()) {
        addLine(text, LdCDateFormatter::standardDateFormatter().stringFromDate(*day));
    }
    if (std::optional<LdDecimal> value = amountIfSet()) {
        addLine(text, amountText(*value, owner));
    }
    addLine(text, title());
    addLabelledLine(text, "_BENEFICIARY", transferPartnerDescription());
    if (const LdCDCategory* group = category()) {
        addLabelledLine(text, "_CATEGORY", group->nameOrPlaceholder());
    }
    addLabelledLine(text, "_CHECK_NUMBER", checkNumber());
    if (std::string note = comment(); !note.empty()) {
        addLine(text, "(" + note + ")");
    }
    if (std::string tagsText = tagsString(); !tagsText.empty()) {
        addLine(text, "[" + tagsText + "]");
    }
    return text;
}

void LdCDEntry::prepareForDeletion() {
    accountBalance_.reset();
    // The entries after this one on its day counted its amount.
    if (LdCDDayBalance* day = dayBalance()) {
        day->resetAllTransactionAccountBalanceInfos();
    }
}

void LdCDEntry::didRefresh() {
    if (accountBalance_) {
        // The day's other running balances rested on this entry's values too.
        accountBalance_.reset();
        if (LdCDDayBalance* day = dayBalance()) {
            day->resetAllTransactionAccountBalanceInfos();
        }
    }
}

// LdCDSplitEntry

std::optional<LdDate> LdCDSplitEntry::date() const {
    const LdCDEntry* owner = entry();
    return owner != nullptr ? owner->date() : std::nullopt;
}

LdCDAccount* LdCDSplitEntry::account() const {
    const LdCDEntry* owner = entry();
    return owner != nullptr ? owner->account() : nullptr;
}

bool LdCDSplitEntry::isActive() const {
    const LdCDEntry* owner = entry();
    return owner != nullptr && owner->isActive();
}

// LdCDPrebookedOnlineEntry

std::uint32_t LdCDPrebookedOnlineEntry::entryType() const {
    return static_cast<std::uint32_t>(sourceType());
}

void LdCDPrebookedOnlineEntry::setEntryType(std::uint32_t type) {
    setSourceType(static_cast<std::int32_t>(type));
}

LdValue::Dictionary LdCDPrebookedOnlineEntry::entryAsDictionary() const {
    LdValue::Dictionary dictionary;
    if (std::optional<LdDate> day = date()) {
        dictionary["date"] = LdValue(*day);
    }
    if (std::optional<LdDecimal> value = amountIfSet()) {
        dictionary["amount"] = LdValue(*value);
    }
    if (std::string text = title(); !text.empty()) {
        dictionary["title"] = LdValue(std::move(text));
    }
    if (std::string text = transferText(); !text.empty()) {
        dictionary["transferText"] = LdValue(std::move(text));
    }
    return dictionary;
}

std::string LdCDPrebookedOnlineEntry::localizedTitle() const {
    return title();
}

std::string LdCDPrebookedOnlineEntry::asShortText() const {
    std::string text;
    if (std::optional<LdDate> day = date()) {
        addLine(text, LdCDateFormatter::standardDateFormatter().stringFromDate(*day));
    }
    if (std::optional<LdDecimal> value = amountIfSet()) {
        addLine(text, amountText(*value, account()));
    }
    addLine(text, title());
    addLabelledLine(text, "_BENEFICIARY", transferText());
    return text;
}

namespace {

// GCC 12 takes the move of a date argument's LdValue for a read of its unset byte-vector
// alternative (a false maybe-uninitialized warning).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The one day balance of `account` that `format` (with the account and a moment) and the order
// select.
LdCDDayBalance* dayBalanceOf(LdManagedObjectContext* context,
                             LdCDAccount* account,
                             const char* format,
                             LdDate moment,
                             bool ascending) {
    if (context == nullptr || account == nullptr) {
        return nullptr;
    }
    LdFetchRequest request;
    request.entity = LdCDDayBalance::entityDescription();
    std::vector<LdPredicateArgument> arguments;
    arguments.emplace_back(account->objectID());
    arguments.emplace_back(moment);
    request.predicate = LdPredicateParser::predicateWithFormat(format, arguments);
    request.sortDescriptors = {{"date", ascending}};
    request.fetchLimit = 1;
    std::optional<std::vector<LdManagedObject*>> found = context->executeFetchRequest(request);
    if (!found || found->empty()) {
        return nullptr;
    }
    return dynamic_cast<LdCDDayBalance*>(found->front());
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The last instant of the entry's day, as the fetches compare it: before the next day starts.
LdDate lastInstantOfDay(LdDate date) {
    return startOfNextDay(date).dateByAddingTimeInterval(-0.001);
}

}  // namespace

LdCDDayBalance* LdCDPrebookedOnlineEntry::dayBalanceMatchingBestToThisEntry() const {
    std::optional<LdDate> day = date();
    if (!day) {
        return nullptr;
    }
    return dayBalanceOf(managedObjectContext(), account(), "account == %@ AND date <= %@",
                        lastInstantOfDay(*day), /*ascending=*/false);
}

LdCDDayBalance* LdCDPrebookedOnlineEntry::dayBalanceAfterThisEntryMatchingBest() const {
    std::optional<LdDate> day = date();
    if (!day) {
        return nullptr;
    }
    return dayBalanceOf(managedObjectContext(), account(), "account == %@ AND date > %@",
                        lastInstantOfDay(*day), /*ascending=*/true);
}

std::optional<LdDecimal> LdCDPrebookedOnlineEntry::startBalanceMatchingBestForDayWithThisEntry()
        const {
    const LdCDAccount* owner = account();
    if (owner == nullptr || managedObjectContext() == nullptr) {
        return std::nullopt;
    }
    if (const LdCDDayBalance* best = dayBalanceMatchingBestToThisEntry()) {
        const std::optional<LdDate> bestDay = best->date();
        if (bestDay && date() && sameDay(*bestDay, *date())) {
            return best->startBalanceIfSet();
        }
        return best->endBalanceIfSet();
    }
    return owner->initialBalanceIfSet();
}

std::optional<LdDecimal> LdCDPrebookedOnlineEntry::endBalanceMatchingBestForDayWithThisEntry()
        const {
    const LdCDAccount* owner = account();
    if (owner == nullptr || managedObjectContext() == nullptr) {
        return std::nullopt;
    }
    if (const LdCDDayBalance* after = dayBalanceAfterThisEntryMatchingBest()) {
        return after->startBalanceIfSet();
    }
    if (const LdCDDayBalance* best = dayBalanceMatchingBestToThisEntry()) {
        return best->endBalanceIfSet();
    }
    return owner->initialBalanceIfSet();
}

// LdCDDayBalance

void LdCDDayBalance::computeAccountBalancesForAllTransactions() {
    std::optional<LdDecimal> running = startBalanceIfSet();
    if (!running) {
        return;
    }
    const LdCNumberHandler& handler = handlerFor(account());
    for (LdCDEntry* entry : entries()) {
        if (entry->isActive()) {
            if (std::optional<LdDecimal> value = entry->amountIfSet()) {
                *running = *running + handler.roundedNumber(*value);
            }
        }
        entry->setAccountBalance(running);
    }
    accountBalancesComputed_ = true;
}

void LdCDDayBalance::resetAllTransactionAccountBalanceInfos() {
    if (!accountBalancesComputed_) {
        return;
    }
    for (LdCDEntry* entry : entries()) {
        entry->setAccountBalance(std::nullopt);
    }
    accountBalancesComputed_ = false;
}

void LdCDDayBalance::addEntriesObject(LdCDEntry* target) {
    static const std::size_t kNumber =
            entityDescription()->propertyNamed("entries")->propertyNumber();
    if (target != nullptr && target->dayBalance() != nullptr && target->dayBalance() != this) {
        target->dayBalance()->resetAllTransactionAccountBalanceInfos();
    }
    resetAllTransactionAccountBalanceInfos();
    addObjectAt(kNumber, target);
}

void LdCDDayBalance::removeEntriesObject(LdCDEntry* target) {
    static const std::size_t kNumber =
            entityDescription()->propertyNamed("entries")->propertyNumber();
    resetAllTransactionAccountBalanceInfos();
    removeObjectAt(kNumber, target);
    if (target != nullptr && target->dayBalance() == nullptr) {
        target->setAccountBalance(std::nullopt);
    }
}

void LdCDDayBalance::setEntries(const std::vector<LdCDEntry*>& targets) {
    static const std::size_t kNumber =
            entityDescription()->propertyNamed("entries")->propertyNumber();
    for (LdCDEntry* target : targets) {
        if (target != nullptr && target->dayBalance() != nullptr && target->dayBalance() != this) {
            target->dayBalance()->resetAllTransactionAccountBalanceInfos();
        }
    }
    resetAllTransactionAccountBalanceInfos();
    setObjectsAt(kNumber, std::vector<LdManagedObject*>(targets.begin(), targets.end()));
}

void LdCDDayBalance::insertObjectInEntriesAtIndex(LdCDEntry* target, std::size_t index) {
    static const std::size_t kNumber =
            entityDescription()->propertyNamed("entries")->propertyNumber();
    if (target != nullptr && target->dayBalance() != nullptr && target->dayBalance() != this) {
        target->dayBalance()->resetAllTransactionAccountBalanceInfos();
    }
    resetAllTransactionAccountBalanceInfos();
    insertObjectAt(kNumber, target, index);
}

void LdCDDayBalance::didRefresh() {
    resetAllTransactionAccountBalanceInfos();
}
