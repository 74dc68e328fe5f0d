// `ledra db …`: the databases of the databases folder — list, create, inspect, rename, duplicate,
// delete, change the password and show the content of one.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <memory>

#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/security/LdSecretStore.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUserDefaults.h"

#include "cli/LdCliCatalogue.h"
#include "cli/LdCliCommands.h"

namespace {

std::string lowercased(std::string text) {
    for (char& character : text) {
        character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    }
    return text;
}

LdValue infoValue(const LdCDatabaseInfo& info) {
    LdValue::Dictionary value{{"name", LdValue(info.name())},
                              {"identifier", LdValue(info.databaseID())},
                              {"path", LdValue(info.url().string())},
                              {"encrypted", LdValue(info.isEncrypted())}};
    if (const LdCDatabaseMetadataItem* item = info.databaseMetadata()) {
        if (item->lastModified()) {
            value["lastModified"] = LdValue(*item->lastModified());
        }
        if (item->lastWritingAppName()) {
            value["lastWritingApp"] = LdValue(*item->lastWritingAppName());
        }
        if (item->lastWritingAppVersion()) {
            value["lastWritingAppVersion"] = LdValue(*item->lastWritingAppVersion());
        }
        value["syncMode"] = LdValue(static_cast<std::int64_t>(item->syncMode()));
    }
    return LdValue(std::move(value));
}

std::string infoText(const LdCDatabaseInfo& info) {
    std::string text = info.name() + "\n  identifier: " + info.databaseID() +
                       "\n  path: " + info.url().string() +
                       "\n  password: " + (info.isEncrypted() ? "yes" : "no");
    if (const LdCDatabaseMetadataItem* item = info.databaseMetadata()) {
        if (item->lastModified()) {
            text += "\n  last modified: " + item->lastModified()->iso8601String().value_or("");
        }
        if (item->lastWritingAppName()) {
            text += "\n  written by: " + *item->lastWritingAppName() + " " +
                    item->lastWritingAppVersion().value_or("");
        }
        text += "\n  sync mode: " + std::to_string(item->syncMode());
    }
    return text;
}

// The content `ledra db show` prints: the user record, the account lists with their accounts and
// the categories.
LdValue contentValue(LdCOpenDatabaseManager& session, std::string& text) {
    LdCDUser* user = session.currentUser();
    LdValue::Dictionary content{{"user", LdValue(user->name())},
                                {"mainCurrency", LdValue(user->mainCurrency())},
                                {"passwordProtected", LdValue(session.isPasswordProtected())}};
    text = "user: " + user->name() + "\nmain currency: " + user->mainCurrency() +
           "\npassword: " + (session.isPasswordProtected() ? "yes" : "no") + "\naccounts:\n";
    LdValue::Array lists;
    std::function<void(LdCDAccountList*, int)> addList = [&](LdCDAccountList* list, int depth) {
        const std::string indent(static_cast<std::size_t>(depth) * 2 + 2, ' ');
        LdValue::Array accounts;
        text += indent + "[" + list->localizedTitle() + "] " + list->currencyCode() + "\n";
        for (LdCDAccountListObject* member : list->listObjects()) {
            if (auto* account = dynamic_cast<LdCDAccount*>(member)) {
                accounts.emplace_back(
                        LdValue::Dictionary{{"title", LdValue(account->title())},
                                            {"currency", LdValue(account->currencyCode())},
                                            {"balance", LdValue(account->balance())}});
                text += indent + "  " + account->title() + " (" + account->currencyCode() + ") " +
                        account->balance().toString() + "\n";
            } else if (auto* nested = dynamic_cast<LdCDAccountList*>(member)) {
                addList(nested, depth + 1);
            }
        }
        lists.emplace_back(LdValue::Dictionary{{"title", LdValue(list->localizedTitle())},
                                               {"currency", LdValue(list->currencyCode())},
                                               {"accounts", LdValue(std::move(accounts))}});
    };
    if (LdCDAccountList* main = user->mainAccountList()) {
        addList(main, 0);
    }
    content["accountLists"] = LdValue(std::move(lists));

    LdFetchRequest request;
    request.entity = LdCDCategory::entityDescription();
    request.predicate = LdPredicateParser::predicateWithFormat("super_category == nil");
    request.sortDescriptors = {{"name", true}};
    LdValue::Array categories;
    text += "categories:";
    for (LdManagedObject* object :
         session.managedObjectContext()->executeFetchRequest(request).value_or(
                 std::vector<LdManagedObject*>())) {
        auto* category = static_cast<LdCDCategory*>(object);
        categories.emplace_back(LdValue::Dictionary{
                {"name", LdValue(category->nameOrPlaceholder())},
                {"rules", LdValue(static_cast<std::int64_t>(category->rules().size()))}});
        text += "\n  " + category->nameOrPlaceholder();
    }
    content["categories"] = LdValue(std::move(categories));
    return LdValue(std::move(content));
}

// The new password of `ledra db passwd`: LEDRA_NEW_PASSWORD (empty: none), else asked twice on a
// terminal.
std::optional<std::optional<std::string>> readNewPassword(LdCliContext& context,
                                                          std::string& failure) {
    if (const char* fromEnvironment = std::getenv("LEDRA_NEW_PASSWORD")) {
        const std::string text(fromEnvironment);
        return text.empty() ? std::optional<std::string>() : std::optional<std::string>(text);
    }
    if (!context.terminalPasswordReader) {
        failure = "Set LEDRA_NEW_PASSWORD (empty to remove the password) or run on a terminal.";
        return std::nullopt;
    }
    auto first = context.terminalPasswordReader("New password (empty: none): ");
    auto second = context.terminalPasswordReader("Repeat the new password: ");
    if (!first || !second || *first != *second) {
        failure = "The two new passwords differ.";
        return std::nullopt;
    }
    return first->empty() ? std::optional<std::string>() : std::optional<std::string>(*first);
}

}  // namespace

void ldAddDatabaseCommands(CLI::App& app, LdCliCommandSet& commands) {
    CLI::App* area = commands.addArea(app, "db", "Databases: list, create, show, rename, delete");
    LdCliContext& context = commands.context();

    commands.add(*area, "list", "The databases of the databases folder", [&context] {
        LdCliCatalogue catalogue(context);
        LdValue::Array all;
        std::string text;
        auto databases = catalogue->allDatabases();
        std::sort(databases.begin(), databases.end(), [](const auto& left, const auto& right) {
            return lowercased(left->name()) < lowercased(right->name());
        });
        for (const auto& info : databases) {
            all.push_back(infoValue(*info));
            text += info->name() + (info->isEncrypted() ? "  (password)" : "") + "\n";
        }
        if (all.empty()) {
            text = "No databases in " + catalogue->databasesFolderURL().string() + ".";
        }
        context.printResult(LdValue(std::move(all)), text);
        return kLdExitSuccess;
    });

    auto createName = std::make_shared<std::string>();
    CLI::App* create = commands.add(
            *area, "create",
            "Creates a database under a unique name (protected by LEDRA_PASSWORD when set)",
            [&context, createName] {
                LdCliCatalogue catalogue(context);
                const std::string name = catalogue->uniqueDatabaseNameForProposedName(*createName);
                LdError error;
                auto info = catalogue->createNewDatabaseWithName(name, &error);
                if (!info) {
                    return context.fail(error);
                }
                // The first open writes the store and the initial content.
                std::optional<std::string> password;
                if (const char* fromEnvironment = std::getenv("LEDRA_PASSWORD");
                    fromEnvironment != nullptr && *fromEnvironment != '\0') {
                    password = fromEnvironment;
                }
                const int result = catalogue->openDatabase(info, password, 0);
                if (result != kLdOpenDatabaseOpened) {
                    return context.fail(ldOpenFailureText(result));
                }
                LdCOpenDatabaseManager* session = catalogue->openDatabaseManagerForURL(info->url());
                if (auto failure = session->closeDatabase()) {
                    return context.fail(*failure);
                }
                context.printResult(
                        LdValue(LdValue::Dictionary{{"name", LdValue(info->name())},
                                                    {"identifier", LdValue(info->databaseID())},
                                                    {"path", LdValue(info->url().string())},
                                                    {"encrypted", LdValue(password.has_value())}}),
                        info->name());
                return kLdExitSuccess;
            });
    create->add_option("name", *createName, "The proposed name")->required();

    auto infoName = std::make_shared<std::string>();
    CLI::App* info = commands.add(*area, "info", "The metadata of a database, without opening it",
                                  [&context, infoName] {
                                      LdCliCatalogue catalogue(context);
                                      std::string failure;
                                      auto found = catalogue.find(*infoName, failure);
                                      if (!found) {
                                          return context.fail(failure);
                                      }
                                      context.printResult(infoValue(*found), infoText(*found));
                                      return kLdExitSuccess;
                                  });
    info->add_option("name", *infoName, "The database's name or identifier")->required();

    auto showName = std::make_shared<std::string>();
    CLI::App* show = commands.add(
            *area, "show", "Opens a database and shows its user, accounts and categories",
            [&context, showName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*showName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                LdCOpenDatabaseManager* session =
                        catalogue.open(found, kLdOpenDatabaseModeReadOnly, failure);
                if (session == nullptr) {
                    return context.fail(failure);
                }
                std::string text;
                const LdValue content = contentValue(*session, text);
                session->closeDatabaseWithoutSaving();
                context.printResult(content, text);
                return kLdExitSuccess;
            });
    show->add_option("name", *showName, "The database's name or identifier")->required();

    auto renameName = std::make_shared<std::string>();
    auto newName = std::make_shared<std::string>();
    CLI::App* rename =
            commands.add(*area, "rename", "Renames a database", [&context, renameName, newName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*renameName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                std::filesystem::path newURL;
                LdError error;
                if (!catalogue->renameDatabaseAtURL(found->url(), *newName, &newURL, &error)) {
                    return context.fail(error);
                }
                const std::string name = LdCDatabaseManager::nameForDatabaseAtURL(newURL);
                context.printResult(
                        LdValue(LdValue::Dictionary{{"name", LdValue(name)},
                                                    {"path", LdValue(newURL.string())}}),
                        name);
                return kLdExitSuccess;
            });
    rename->add_option("name", *renameName, "The database's name or identifier")->required();
    rename->add_option("new-name", *newName, "The new name")->required();

    auto duplicateName = std::make_shared<std::string>();
    CLI::App* duplicate =
            commands.add(*area, "duplicate", "Copies a database under a new unique name",
                         [&context, duplicateName] {
                             LdCliCatalogue catalogue(context);
                             std::string failure;
                             auto found = catalogue.find(*duplicateName, failure);
                             if (!found) {
                                 return context.fail(failure);
                             }
                             LdError error;
                             auto copy = catalogue->duplicateDatabase(found, &error);
                             if (!copy) {
                                 return context.fail(error);
                             }
                             context.printResult(infoValue(*copy), copy->name());
                             return kLdExitSuccess;
                         });
    duplicate->add_option("name", *duplicateName, "The database's name or identifier")->required();

    auto deleteName = std::make_shared<std::string>();
    CLI::App* remove = commands.add(
            *area, "delete", "Deletes a database folder and its saved password",
            [&context, deleteName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*deleteName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                LdError error;
                if (!catalogue->deleteDatabaseAtURL(found->url(), &error)) {
                    return context.fail(error);
                }
                context.printResult(
                        LdValue(LdValue::Dictionary{{"deleted", LdValue(found->name())}}),
                        "deleted " + found->name());
                return kLdExitSuccess;
            });
    remove->add_option("name", *deleteName, "The database's name or identifier")->required();

    auto passwdName = std::make_shared<std::string>();
    CLI::App* passwd = commands.add(
            *area, "passwd",
            "Changes the password (old from LEDRA_PASSWORD, new from LEDRA_NEW_PASSWORD; empty "
            "removes it)",
            [&context, passwdName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*passwdName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                LdCOpenDatabaseManager* session =
                        catalogue.open(found, kLdOpenDatabaseModeNormal, failure);
                if (session == nullptr) {
                    return context.fail(failure);
                }
                auto newPassword = readNewPassword(context, failure);
                if (!newPassword) {
                    session->closeDatabaseWithoutSaving();
                    return context.fail(failure);
                }
                const bool remembered =
                        catalogue.secrets().passwordForDatabaseID(found->databaseID()).has_value();
                LdError error;
                const bool changed = session->setNewPassword(
                        *newPassword, session->cachedDatabasePassword(), &error);
                session->closeDatabase();
                if (!changed) {
                    if (error.title().empty()) {
                        return context.fail("The password was not changed.");
                    }
                    return context.fail(error);
                }
                const bool protectedNow = newPassword->has_value();
                // A remembered password follows the change, so the next run opens at once.
                if (remembered) {
                    catalogue.secrets().deletePasswordForDatabaseID(found->databaseID());
                    if (protectedNow) {
                        catalogue.secrets().setPasswordForDatabaseID(**newPassword,
                                                                     found->databaseID());
                    }
                }
                context.printResult(
                        LdValue(LdValue::Dictionary{{"name", LdValue(found->name())},
                                                    {"encrypted", LdValue(protectedNow)}}),
                        protectedNow ? "password changed" : "password removed");
                return kLdExitSuccess;
            });
    passwd->add_option("name", *passwdName, "The database's name or identifier")->required();

    auto rememberName = std::make_shared<std::string>();
    CLI::App* remember = commands.add(
            *area, "remember",
            "Saves the password in LEDRA_PASSWORD in the desktop's keyring after checking it",
            [&context, rememberName] {
                const char* password = std::getenv("LEDRA_PASSWORD");
                if (password == nullptr || *password == '\0') {
                    context.fail("Set LEDRA_PASSWORD to the password to remember.");
                    return kLdExitUsage;
                }
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*rememberName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                if (!found->isEncrypted()) {
                    return context.fail("The database \"" + found->name() + "\" has no password.");
                }
                if (!catalogue->isPasswordCorrectForDatabaseAtURL(std::string(password),
                                                                  found->url())) {
                    return context.fail(LdStrings::localizedString("_DB_WRONG_PASSWORD"));
                }
                LdError error;
                if (!catalogue.secrets().setPasswordForDatabaseID(password, found->databaseID(),
                                                                  &error)) {
                    return context.fail(error);
                }
                context.printResult(LdValue(LdValue::Dictionary{{"name", LdValue(found->name())},
                                                                {"remembered", LdValue(true)}}),
                                    "The password of " + found->name() + " is saved.");
                return kLdExitSuccess;
            });
    remember->add_option("name", *rememberName, "The database's name or identifier")->required();

    auto forgetName = std::make_shared<std::string>();
    CLI::App* forget = commands.add(
            *area, "forget", "Deletes the saved password of a database", [&context, forgetName] {
                LdCliCatalogue catalogue(context);
                std::string failure;
                auto found = catalogue.find(*forgetName, failure);
                if (!found) {
                    return context.fail(failure);
                }
                const bool deleted =
                        catalogue.secrets().deletePasswordForDatabaseID(found->databaseID());
                context.printResult(
                        LdValue(LdValue::Dictionary{{"name", LdValue(found->name())},
                                                    {"deleted", LdValue(deleted)}}),
                        deleted ? "The saved password of " + found->name() + " is deleted."
                                : "No password of " + found->name() + " was saved.");
                return kLdExitSuccess;
            });
    forget->add_option("name", *forgetName, "The database's name or identifier")->required();
}
