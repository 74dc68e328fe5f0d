// `ledra store …`: looks into a store file without opening it as a database.
#include <memory>

#include "core/database/store/LdCryptStore.h"

#include "cli/LdCliCommands.h"

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
}
