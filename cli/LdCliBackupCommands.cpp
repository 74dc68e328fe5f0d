// `ledra backup …`: the backups of the databases — make, list, restore, prune, export and import
// archives, the backup folder and the backup settings.
#include <cstdlib>
#include <memory>

#include "core/database/backup/LdCDatabaseBackupManager.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/session/detail/LdDatabaseLock.h"
#include "core/support/platform/LdUserDefaults.h"

#include "cli/LdCliCatalogue.h"
#include "cli/LdCliCommands.h"

namespace {

constexpr int kTimeBasedReason = 1;

LdValue backupValue(const LdCDatabaseBackupInfo& info) {
    LdValue::Dictionary value{
            {"path", LdValue(info.backupLocation().string())},
            {"reason", LdValue(static_cast<std::int64_t>(info.backupReason()))},
            {"appName", LdValue(info.applicationName())},
            {"appVersion", LdValue(info.applicationVersion())},
            {"appBuildNumber", LdValue(info.applicationBuildNumber())},
            {"byteSize", LdValue(static_cast<std::int64_t>(info.backupByteSize()))}};
    value["creationDate"] = info.creationDate() ? LdValue(*info.creationDate()) : LdValue();
    return LdValue(std::move(value));
}

std::string backupText(const LdCDatabaseBackupInfo& info) {
    const std::string date =
            info.creationDate() ? info.creationDate()->iso8601String().value_or("?") : "?";
    return date + "  " + LdCDatabaseBackupInfo::localizedReasonTitle(info.backupReason()) + "  " +
           std::to_string(info.backupByteSize()) + " bytes  " + info.applicationName() + " " +
           info.applicationVersion() + "\n  " + info.backupLocation().string() + "\n";
}

// Holds the database's lock while its files are copied, so that no other program writes the
// database meanwhile; nullptr with the reason in `failure`.
std::unique_ptr<ld::detail::LdDatabaseLock> lockClosedDatabase(const LdCDatabaseInfo& info,
                                                               std::string& failure) {
    auto lock = ld::detail::LdDatabaseLock::tryLock(info.url());
    if (!lock) {
        failure = ldOpenFailureText(kLdOpenDatabaseAlreadyOpen);
    }
    return lock;
}

// Shows the copied items of an export or import as progress on stderr. The observer runs on the
// copying thread while the main thread waits, so only one thread writes to stderr at a time.
void showCopyProgress(LdCliContext& context,
                      LdCDatabaseBackupManager& backups,
                      const std::string& description) {
    auto copied = std::make_shared<int>(0);
    backups.setItemCopiedObserver([&context, copied, description](const std::string&) {
        ++*copied;
        context.progress(
                description,
                static_cast<double>(*copied) /
                        static_cast<double>(LdCDatabaseBackupManager::kExportProgressUnits));
    });
}

// Prints the database a restore or import added, or the reason it added none.
int reportNewDatabase(LdCliContext& context,
                      const LdCDatabaseManager::InfoPtr& info,
                      const LdError& error,
                      const std::string& failureTitle,
                      const std::string& failureDescription) {
    if (!info) {
        return context.fail(error.title().empty()
                                    ? LdError::errorWithTitle(failureTitle, failureDescription)
                                    : error);
    }
    context.printResult(LdValue(LdValue::Dictionary{{"name", LdValue(info->name())},
                                                    {"identifier", LdValue(info->databaseID())},
                                                    {"path", LdValue(info->url().string())}}),
                        info->name());
    return kLdExitSuccess;
}

std::optional<bool> parseOnOff(const std::string& text) {
    if (text == "on" || text == "true" || text == "yes") {
        return true;
    }
    if (text == "off" || text == "false" || text == "no") {
        return false;
    }
    return std::nullopt;
}

void addFolderCommands(CLI::App& area, LdCliCommandSet& commands) {
    LdCliContext& context = commands.context();
    CLI::App* folder = commands.addArea(area, "folder", "The backup folder: show, set");
    commands.add(*folder, "show", "Shows the backup folder", [&context] {
        LdCliCatalogue catalogue(context);
        const std::string path = catalogue.backups().backupFolderURL().string();
        context.printResult(LdValue(LdValue::Dictionary{{"path", LdValue(path)}}), path);
        return kLdExitSuccess;
    });
    auto target = std::make_shared<std::string>();
    CLI::App* set = commands.add(
            *folder, "set", "Moves the backups to DIR and keeps them there from now on",
            [&context, target] {
                LdCliCatalogue catalogue(context);
                // The new folder is remembered from the folder the backups are in now, not from
                // the override of this run.
                catalogue.backups().setBackupFolderOverride({});
                LdError error;
                const std::filesystem::path path = std::filesystem::absolute(*target);
                if (!catalogue.backups().setBackupFolderURL(path, &error)) {
                    return context.fail(error);
                }
                context.printResult(LdValue(LdValue::Dictionary{{"path", LdValue(path.string())}}),
                                    "Backups are now kept in " + path.string() + ".");
                return kLdExitSuccess;
            });
    set->add_option("DIR", *target, "The new backup folder")->required();
}

void addSettingsCommand(CLI::App& area, LdCliCommandSet& commands) {
    LdCliContext& context = commands.context();
    struct Options {
        std::string timeBased;
        std::optional<std::int64_t> interval;
        std::optional<std::int64_t> keep;
    };
    auto options = std::make_shared<Options>();
    CLI::App* settings = commands.add(
            area, "settings", "Shows and changes the automatic backup settings",
            [&context, options] {
                LdCliCatalogue::registerBackupDefaults();
                LdUserDefaults& defaults = LdUserDefaults::standard();
                if (!options->timeBased.empty()) {
                    auto on = parseOnOff(options->timeBased);
                    if (!on) {
                        context.fail("--time-based takes on or off");
                        return kLdExitUsage;
                    }
                    defaults.setBool(*on, LdCDatabaseBackupManager::kTimeBasedBackupsKey);
                }
                if (options->interval) {
                    defaults.setInteger(*options->interval,
                                        LdCDatabaseBackupManager::kBackupIntervalKey);
                }
                if (options->keep) {
                    // Pruning keeps at least one backup whatever the setting says.
                    defaults.setInteger(std::max<std::int64_t>(*options->keep, 1),
                                        LdCDatabaseBackupManager::kNumberToKeepKey);
                }
                const bool timeBased =
                        defaults.boolForKey(LdCDatabaseBackupManager::kTimeBasedBackupsKey);
                const std::int64_t interval =
                        defaults.integerForKey(LdCDatabaseBackupManager::kBackupIntervalKey);
                const std::int64_t keep = std::max<std::int64_t>(
                        defaults.integerForKey(LdCDatabaseBackupManager::kNumberToKeepKey), 1);
                context.printResult(
                        LdValue(LdValue::Dictionary{{"timeBasedBackups", LdValue(timeBased)},
                                                    {"interval", LdValue(interval)},
                                                    {"keep", LdValue(keep)}}),
                        std::string("time-based backups: ") + (timeBased ? "on" : "off") +
                                "\ninterval: " + std::to_string(interval) +
                                " seconds\nbackups kept: " + std::to_string(keep));
                return kLdExitSuccess;
            });
    settings->add_option("--time-based", options->timeBased,
                         "Backups before saves when the last one is older than the interval")
            ->check(CLI::IsMember({"on", "off"}));
    settings->add_option("--interval", options->interval, "Seconds between time-based backups")
            ->check(CLI::Range(std::int64_t{0}, std::int64_t{10} * 365 * 86400));
    settings->add_option("--keep", options->keep, "How many backups of a kind pruning keeps");
}

}  // namespace

void ldAddBackupCommands(CLI::App& app, LdCliCommandSet& commands) {
    CLI::App* area = commands.addArea(
            app, "backup", "Backups and archives: create, list, restore, export, import");
    LdCliContext& context = commands.context();

    auto createName = std::make_shared<std::string>();
    CLI::App* create = commands.add(
            *area, "create", "Backs up a database as it lies on disk (it is not opened)",
            [&context, createName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*createName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                auto lock = lockClosedDatabase(*found, failure);
                if (!lock) {
                    return context.fail(failure);
                }
                LdError error;
                if (!catalogue.backups().backupDatabaseAtURLNow(found->url(), kTimeBasedReason,
                                                                &error)) {
                    return context.fail(error);
                }
                auto backups = catalogue.backups().existingBackupInfosForDatabaseID(
                        found->databaseID(), kTimeBasedReason);
                if (backups.empty()) {
                    return context.fail("The backup was made but is not in the backup folder.");
                }
                const std::string path = backups.front().backupLocation().string();
                context.printResult(LdValue(LdValue::Dictionary{{"path", LdValue(path)}}), path);
                return kLdExitSuccess;
            });
    create->add_option("NAME", *createName, "The database")->required();

    auto listName = std::make_shared<std::string>();
    CLI::App* list = commands.add(
            *area, "list", "The backups of a database, newest first", [&context, listName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*listName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                LdValue::Array values;
                std::string text;
                for (const auto& info :
                     catalogue.backups().existingBackupInfosForDatabaseID(found->databaseID())) {
                    values.push_back(backupValue(info));
                    text += backupText(info);
                }
                if (values.empty()) {
                    text = "No backups of " + found->name() + ".";
                }
                context.printResult(LdValue(std::move(values)), text);
                return kLdExitSuccess;
            });
    list->add_option("NAME", *listName, "The database")->required();

    auto archive = std::make_shared<std::string>();
    CLI::App* restore = commands.add(
            *area, "restore", "Restores a backup of the backup folder as a new database",
            [&context, archive] {
                LdCliCatalogue catalogue(context);
                LdError error;
                auto info = catalogue.backups().restoreDatabaseBackupwithBackupURL(
                        std::filesystem::absolute(*archive), &error);
                return reportNewDatabase(context, info, error, "The backup could not be restored.",
                                         "Only an archive of the backup folder can be restored.");
            });
    restore->add_option("ARCHIVE", *archive, "The archive (a .ld5a folder in the backup folder)")
            ->required();

    auto pruneName = std::make_shared<std::string>();
    CLI::App* prune = commands.add(
            *area, "prune", "Deletes the backups beyond the number to keep", [&context, pruneName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*pruneName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                const std::size_t before =
                        catalogue.backups()
                                .existingBackupInfosForDatabaseID(found->databaseID())
                                .size();
                catalogue.backups().cleanBackupsForDatabaseID(found->databaseID());
                const std::size_t after =
                        catalogue.backups()
                                .existingBackupInfosForDatabaseID(found->databaseID())
                                .size();
                context.printResult(
                        LdValue(LdValue::Dictionary{
                                {"deleted", LdValue(static_cast<std::int64_t>(before - after))},
                                {"kept", LdValue(static_cast<std::int64_t>(after))}}),
                        std::to_string(before - after) + " deleted, " + std::to_string(after) +
                                " kept.");
                return kLdExitSuccess;
            });
    prune->add_option("NAME", *pruneName, "The database")->required();

    auto exportName = std::make_shared<std::string>();
    auto exportTarget = std::make_shared<std::string>();
    CLI::App* exportCommand = commands.add(
            *area, "export", "Exports a database as an archive",
            [&context, exportName, exportTarget] {
                const std::filesystem::path target = std::filesystem::absolute(*exportTarget);
                if (target.extension() !=
                    std::string(".") + LdCDatabaseBackupManager::kArchiveExtension) {
                    context.fail("The archive's name must end in .ld5a.");
                    return kLdExitUsage;
                }
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*exportName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                auto lock = lockClosedDatabase(*found, failure);
                if (!lock) {
                    return context.fail(failure);
                }
                showCopyProgress(context, catalogue.backups(), "Exporting " + found->name());
                auto outcome = std::make_shared<std::pair<bool, std::optional<LdError>>>(
                        false, std::nullopt);
                LdError error;
                if (!catalogue.backups().exportDatabaseAtURL(
                            found->url(), target, 0,
                            [outcome](bool success, std::optional<LdError> exportError) {
                                *outcome = {success, std::move(exportError)};
                            },
                            &error)) {
                    return context.fail(error);
                }
                catalogue.backups().waitUntilAllExportsFinished();
                catalogue.backups().setItemCopiedObserver({});
                if (outcome->first) {
                    // Items that do not exist are not copied: end the progress line at 100 %.
                    context.progress("Exporting " + found->name(), 1.0);
                }
                if (!outcome->first) {
                    return outcome->second ? context.fail(*outcome->second)
                                           : context.fail("The export was cancelled.");
                }
                context.printResult(
                        LdValue(LdValue::Dictionary{{"path", LdValue(target.string())}}),
                        target.string());
                return kLdExitSuccess;
            });
    exportCommand->add_option("NAME", *exportName, "The database")->required();
    exportCommand->add_option("TARGET", *exportTarget, "The archive to write (.ld5a)")->required();

    auto importPath = std::make_shared<std::string>();
    CLI::App* importCommand = commands.add(
            *area, "import",
            "Imports an archive (.ld5a) or a database folder (.lddb) as a new database; "
            "LEDRA_PASSWORD, when set, lets its encrypted store be checked whole",
            [&context, importPath] {
                LdCliCatalogue catalogue(context);
                showCopyProgress(context, catalogue.backups(), "Importing");
                std::optional<std::string> password;
                if (const char* fromEnvironment = std::getenv("LEDRA_PASSWORD");
                    fromEnvironment != nullptr && *fromEnvironment != '\0') {
                    password = fromEnvironment;
                }
                LdError error;
                auto info = catalogue.backups().importDatabaseOrDBArchiveAtURL(
                        std::filesystem::absolute(*importPath), password, &error);
                catalogue.backups().setItemCopiedObserver({});
                if (info) {
                    context.progress("Importing", 1.0);
                }
                return reportNewDatabase(context, info, error, "Nothing was imported.",
                                         "The path is neither an archive nor a database folder "
                                         "with a store file.");
            });
    importCommand->add_option("PATH", *importPath, "The archive or database folder")->required();

    addFolderCommands(*area, commands);
    addSettingsCommand(*area, commands);
}
