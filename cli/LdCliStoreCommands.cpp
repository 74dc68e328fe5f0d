// `ledra store …`: looks into a store file without opening it as a database.
#include <filesystem>
#include <memory>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStore.h"
#include "core/support/foundation/LdDecimal.h"

#include "cli/LdCliCommands.h"

namespace {

// A small deterministic generator, so that every sample file holds the same ledger.
class SampleNumbers {
public:
    std::uint64_t next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return state_ >> 33;
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

private:
    std::uint64_t state_ = 20261206;
};

// Writes `days` days of bookings on `accounts` accounts through the object layer: each account
// gets one day balance per day with its entries, some of them new, some tagged.
bool writeSampleLedger(LdManagedObjectContext& context,
                       int accounts,
                       int days,
                       LdCliContext& cli,
                       LdError* error) {
    static const char* const kTitles[] = {"Bakery",      "Rent",         "Salary",   "Electricity",
                                          "Supermarket", "Book shop",    "Train",    "Café Müller",
                                          "Insurance",   "Savings plan", "Pharmacy", "Cinema"};
    SampleNumbers numbers;
    LdCDTag* household = context.insertNewObject<LdCDTag>("Tag");
    household->setName("household");
    LdCDTag* travel = context.insertNewObject<LdCDTag>("Tag");
    travel->setName("travel");
    const LdDate start = LdDate::fromReferenceSeconds(788'918'400.0);  // 2026-01-01
    for (int accountIndex = 0; accountIndex < accounts; ++accountIndex) {
        LdCDAccount* account = context.insertNewObject<LdCDAccount>("Account");
        account->setTitle("Account " + std::to_string(accountIndex + 1));
        account->setCurrencyCode("EUR");
        for (int day = 0; day < days; ++day) {
            LdCDDayBalance* balance = context.insertNewObject<LdCDDayBalance>("DayBalance");
            balance->setDate(start.dateByAddingTimeInterval(86'400.0 * day));
            balance->setAccount(account);
            const std::uint64_t entries = 1 + numbers.below(4);
            for (std::uint64_t index = 0; index < entries; ++index) {
                LdCDEntry* entry = context.insertNewObject<LdCDEntry>("Entry");
                const std::uint64_t kind = numbers.below(std::size(kTitles));
                entry->setTitle(std::string(kTitles[kind]));
                const std::int64_t cents =
                        kind == 2 ? 250'000
                                  : -static_cast<std::int64_t>(100 + numbers.below(20'000));
                entry->setAmount(LdDecimal::fromString(std::to_string(cents / 100) + "." +
                                                       (std::abs(cents % 100) < 10 ? "0" : "") +
                                                       std::to_string(std::abs(cents % 100))));
                entry->setIsNew(numbers.below(10) == 0);
                entry->setDayBalance(balance);
                if (kind == 4 || kind == 11) {
                    entry->addTagsObject(household);
                } else if (kind == 6) {
                    entry->addTagsObject(travel);
                }
            }
        }
        cli.progress("Writing the sample ledger",
                     static_cast<double>(accountIndex + 1) / static_cast<double>(accounts));
    }
    return context.save(error);
}

}  // namespace

void ldAddStoreCommands(CLI::App& app, LdCliCommandSet& commands) {
    CLI::App* area = commands.addArea(app, "store", "Store files");
    LdCliContext& context = commands.context();

    auto file = std::make_shared<std::string>();
    CLI::App* inspect = commands.add(
            *area, "inspect",
            "Tables, entity numbering, metadata and rows per entity of a store file (read-only)",
            [&context, file] {
                // A store without a password opens without one: only a terminal asks.
                const std::string password = context.optionalPassword(*file);
                LdError error;
                const auto report = LdCryptStore::inspectStoreAtURL(*file, password, &error);
                if (!report) {
                    return context.fail(error);
                }
                std::string text = "tables:";
                for (const LdValue& table : (*report)["tables"].arrayValue()) {
                    text += " " + table.stringValue();
                }
                text += "\nnumbering:\n";
                for (const LdValue& row : (*report)["numbering"].arrayValue()) {
                    text += "  " + std::to_string(row["entityID"].integerValue()) + " " +
                            row["name"].stringValue() + " (super " +
                            std::to_string(row["superEntityID"].integerValue()) + ")\n";
                }
                text += "metadata: " + ldJsonText((*report)["metadata"]) + "\nrows:\n";
                for (const auto& [entity, count] : (*report)["rowCounts"].dictionaryValue()) {
                    text += "  " + entity + ": " + std::to_string(count.integerValue()) + "\n";
                }
                context.printResult(*report, text);
                return kLdExitSuccess;
            });
    inspect->add_option("file", *file, "The store file (store.ldcryptdata)")->required();

    auto sampleFile = std::make_shared<std::string>();
    auto accounts = std::make_shared<int>(3);
    auto days = std::make_shared<int>(90);
    CLI::App* sample = commands.add(
            *area, "sample",
            "Writes a new store file with a sample ledger (encrypted when LEDRA_PASSWORD is set)",
            [&context, sampleFile, accounts, days] {
                if (std::filesystem::exists(*sampleFile)) {
                    return context.fail("The file " + *sampleFile +
                                        " exists already; the sample goes into a new file.");
                }
                if (*accounts < 1 || *accounts > 100 || *days < 1 || *days > 3650) {
                    return context.fail("Use 1 to 100 accounts and 1 to 3650 days.");
                }
                const std::string password = context.optionalPassword(*sampleFile);
                LdValue::Dictionary options;
                if (!password.empty()) {
                    options[kLdCryptStorePasswordOption] = LdValue(password);
                }
                LdCryptStore store(*sampleFile, options);
                LdError error;
                if (!store.loadMetadata(&error)) {
                    return context.fail(error);
                }
                std::size_t entries = 0;
                {
                    LdManagedObjectContext objects(store);
                    objects.setUndoEnabled(false);
                    if (!writeSampleLedger(objects, *accounts, *days, context, &error)) {
                        return context.fail(error);
                    }
                    LdFetchRequest request;
                    request.entity = store.model().entityNamed("Entry");
                    entries = objects.countForFetchRequest(request).value_or(0);
                }
                LdValue::Dictionary result{{"file", LdValue(*sampleFile)},
                                           {"accounts", LdValue(*accounts)},
                                           {"days", LdValue(*days)},
                                           {"entries", LdValue(static_cast<std::int64_t>(entries))},
                                           {"encrypted", LdValue(!password.empty())}};
                context.printResult(LdValue(result),
                                    "wrote " + std::to_string(entries) + " entries on " +
                                            std::to_string(*accounts) + " accounts over " +
                                            std::to_string(*days) + " days" +
                                            (password.empty() ? "" : " (encrypted)"));
                return kLdExitSuccess;
            });
    sample->add_option("file", *sampleFile, "The new store file")->required();
    sample->add_option("--accounts", *accounts, "Number of accounts (default 3)");
    sample->add_option("--days", *days, "Days of bookings per account (default 90)");

    auto fetchFile = std::make_shared<std::string>();
    auto entityName = std::make_shared<std::string>();
    auto format = std::make_shared<std::string>();
    auto sortKeys = std::make_shared<std::vector<std::string>>();
    auto limit = std::make_shared<std::size_t>(20);
    auto countOnly = std::make_shared<bool>(false);
    CLI::App* fetch = commands.add(
            *area, "fetch",
            "Objects of an entity that match a predicate, in order (read through the object layer)",
            [&context, fetchFile, entityName, format, sortKeys, limit, countOnly] {
                const std::string password = context.optionalPassword(*fetchFile);
                if (!std::filesystem::is_regular_file(*fetchFile)) {
                    return context.fail("No store file at " + *fetchFile + ".");
                }
                LdValue::Dictionary options;
                if (!password.empty()) {
                    options[kLdCryptStorePasswordOption] = LdValue(password);
                }
                LdCryptStore store(*fetchFile, options);
                LdError error;
                if (!store.loadMetadata(&error)) {
                    return context.fail(error);
                }
                LdFetchRequest request;
                request.entity = store.model().entityNamed(*entityName);
                if (request.entity == nullptr) {
                    return context.fail("The model has no entity " + *entityName + ".");
                }
                if (!format->empty()) {
                    request.predicate = LdPredicateParser::predicateWithFormat(*format, {}, &error);
                    if (!request.predicate) {
                        return context.fail(error);
                    }
                }
                for (const std::string& key : *sortKeys) {
                    const bool descending = !key.empty() && key.front() == '-';
                    request.sortDescriptors.push_back(
                            {descending ? key.substr(1) : key, !descending});
                }
                LdManagedObjectContext objects(store);
                if (*countOnly) {
                    auto count = objects.countForFetchRequest(request, &error);
                    if (!count) {
                        return context.fail(error);
                    }
                    context.printResult(LdValue(static_cast<std::int64_t>(*count)),
                                        std::to_string(*count));
                    return kLdExitSuccess;
                }
                request.fetchLimit = *limit;
                auto found = objects.executeFetchRequest(request, &error);
                if (!found) {
                    return context.fail(error);
                }
                LdValue::Array rows;
                std::string text;
                for (LdManagedObject* object : *found) {
                    LdValue::Dictionary row{
                            {"id", LdValue(LdManagedObjectContext::stringForObjectID(
                                           object->objectID()))}};
                    text += "p" + std::to_string(object->objectID().primaryKey());
                    for (const LdAttributeDescription* attribute : object->entity()->attributes()) {
                        const LdValue& value = object->valueAt(attribute->propertyNumber());
                        if (value.isNull() || attribute->name().rfind("sync", 0) == 0) {
                            continue;
                        }
                        row[attribute->name()] = value;
                        text += "  " + attribute->name() + "=" +
                                (value.isDecimal()  ? value.decimalValue().toString()
                                 : value.isDate()   ? value.dateValue().iso8601String().value_or("")
                                 : value.isString() ? value.stringValue()
                                                    : ldJsonText(value));
                    }
                    text += "\n";
                    rows.emplace_back(std::move(row));
                }
                if (!text.empty()) {
                    text.pop_back();
                }
                context.printResult(LdValue(std::move(rows)), text);
                return kLdExitSuccess;
            });
    fetch->add_option("file", *fetchFile, "The store file")->required();
    fetch->add_option("entity", *entityName, "The entity (Entry, Account, DayBalance, Tag, …)")
            ->required();
    fetch->add_option("predicate", *format,
                      "A predicate, e.g. \"amount < -100 AND title BEGINSWITH[cd] 'cafe'\"");
    fetch->add_option("--sort", *sortKeys, "Sort key, '-' in front for descending; repeatable");
    fetch->add_option("--limit", *limit, "At most this many objects (default 20)");
    fetch->add_flag("--count", *countOnly, "Print only the number of matching objects");
}
