// The areas of `ledra`: each adds its subcommands to the application. A subcommand's action runs
// after the whole command line parsed, through LdCliCommandSet.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/LdCliContext.h"

class LdCliCommandSet {
public:
    explicit LdCliCommandSet(LdCliContext& context) : context_(context) {}

    LdCliContext& context() { return context_; }

    // Adds a subcommand below `parent` whose action runs once parsing succeeded. `--json` is
    // accepted after it as well as before.
    CLI::App* add(CLI::App& parent,
                  const std::string& name,
                  const std::string& description,
                  std::function<int()> action);
    // Adds an area (a subcommand that only groups others and needs one of them).
    CLI::App* addArea(CLI::App& parent, const std::string& name, const std::string& description);

    // The action chosen by the command line, or an empty function.
    const std::function<int()>& chosenAction() const { return chosen_; }

private:
    LdCliContext& context_;
    std::function<int()> chosen_;
};

void ldAddDecimalCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddCalendarCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddPlistCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddCryptoCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddStoreCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddIbanCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddCalcCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddCurrencyCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddDatabaseCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddBackupCommands(CLI::App& app, LdCliCommandSet& commands);
void ldAddRateCommands(CLI::App& app, LdCliCommandSet& commands);
