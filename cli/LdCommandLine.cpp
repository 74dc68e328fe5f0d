// Parsing of the `ledra` command line and dispatch to the chosen subcommand.
#include "cli/LdCommandLine.h"

#include <iostream>

#include <CLI/CLI.hpp>

#include "core/support/platform/LdApplication.h"

#include "cli/LdCliCommands.h"

CLI::App* LdCliCommandSet::add(CLI::App& parent,
                               const std::string& name,
                               const std::string& description,
                               std::function<int()> action) {
    CLI::App* command = parent.add_subcommand(name, description);
    command->add_flag("--json", context_.json, "Print machine-readable JSON");
    command->final_callback([this, action = std::move(action)] { chosen_ = action; });
    return command;
}

CLI::App* LdCliCommandSet::addArea(CLI::App& parent,
                                   const std::string& name,
                                   const std::string& description) {
    CLI::App* area = parent.add_subcommand(name, description);
    area->require_subcommand(1);
    return area;
}

int ldRunCommandLine(const std::vector<std::string>& arguments, LdCliStreams streams) {
    LdCliContext context(streams);
    CLI::App app("ledra — the personal-finance library from the command line", "ledra");
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", "ledra " + LdApplication::version() + " (build " +
                                              std::to_string(LdApplication::buildNumber()) + ")");

    std::string databasesFolder;
    std::string backupsFolder;
    app.add_option("--databases-folder", databasesFolder,
                   "Folder of the databases (default: Databases in the user's data folder)");
    app.add_option(
            "--backups-folder", backupsFolder,
            "Folder of the backups for this run only (default: Backups in the user's data folder)");
    app.add_flag("--json", context.json, "Print machine-readable JSON");

    LdCliCommandSet commands(context);
    ldAddDecimalCommands(app, commands);
    ldAddCalendarCommands(app, commands);
    ldAddCryptoCommands(app, commands);
    ldAddPlistCommands(app, commands);
    ldAddStoreCommands(app, commands);
    ldAddIbanCommands(app, commands);
    ldAddCalcCommands(app, commands);
    ldAddCurrencyCommands(app, commands);
    ldAddDatabaseCommands(app, commands);
    ldAddBackupCommands(app, commands);
    ldAddRateCommands(app, commands);

    // CLI11 reads arguments from the back.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        streams.out << app.help();
        return kLdExitSuccess;
    } catch (const CLI::CallForAllHelp&) {
        streams.out << app.help("", CLI::AppFormatMode::All);
        return kLdExitSuccess;
    } catch (const CLI::CallForVersion&) {
        streams.out << app.version() << '\n';
        return kLdExitSuccess;
    } catch (const CLI::ParseError& error) {
        streams.err << "ledra: " << error.what() << "\nRun 'ledra --help' for usage.\n";
        return kLdExitUsage;
    }

    if (!databasesFolder.empty()) {
        context.databasesFolder = std::filesystem::absolute(databasesFolder);
    }
    if (!backupsFolder.empty()) {
        context.backupsFolder = std::filesystem::absolute(backupsFolder);
    }
    if (!commands.chosenAction()) {
        streams.out << app.help();
        return arguments.empty() ? kLdExitSuccess : kLdExitUsage;
    }
    return commands.chosenAction()();
}
