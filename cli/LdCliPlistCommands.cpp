// `ledra plist …`: shows property lists and keyed archives (metadata, backup information, sync
// messages).
#include <memory>

#include "core/support/platform/LdFiles.h"
#include "core/support/plist/LdKeyedArchive.h"
#include "core/support/plist/LdPropertyList.h"

#include "cli/LdCliCommands.h"

namespace {
bool isKeyedArchive(const LdValue& value) {
    return value["$archiver"].stringValue() == "NSKeyedArchiver" &&
           value.find("$objects") != nullptr;
}
}  // namespace

void ldAddPlistCommands(CLI::App& app, LdCliCommandSet& commands) {
    CLI::App* area = commands.addArea(app, "plist", "Property lists and keyed archives");
    LdCliContext& context = commands.context();

    struct Options {
        std::string file;
        std::vector<std::string> classes;
        bool raw = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* show = commands.add(
            *area, "show", "Print a property list or keyed archive", [&context, options] {
                std::string failure;
                const auto bytes = LdFiles::readFileContents(options->file, &failure);
                if (!bytes) {
                    return context.fail("cannot read " + options->file + ": " + failure);
                }
                LdError error;
                LdPropertyList::Format format = LdPropertyList::Format::Binary;
                auto value = LdPropertyList::propertyListWithData(*bytes, &format, &error);
                if (!value) {
                    return context.fail(error);
                }
                std::string kind = format == LdPropertyList::Format::Binary ? "binary property list"
                                                                            : "XML property list";
                if (!options->raw && isKeyedArchive(*value)) {
                    // A viewer shows sets and nulls too; other classes only when asked for.
                    std::set<std::string> allowed = LdKeyedUnarchiver::defaultAllowedClasses();
                    allowed.insert({"NSSet", "NSNull"});
                    allowed.insert(options->classes.begin(), options->classes.end());
                    value = LdKeyedUnarchiver::unarchivedObjectOfClasses(allowed, *bytes, &error);
                    if (!value) {
                        return context.fail(error);
                    }
                    kind = "keyed archive";
                }
                context.printResult(*value, kind + ":\n" + ldJsonText(*value));
                return kLdExitSuccess;
            });
    show->add_option("file", options->file, "The file")->required();
    show->add_option(
            "--allow", options->classes,
            "Further classes a keyed archive may hold (its objects print as dictionaries)");
    show->add_flag("--raw", options->raw, "Print a keyed archive's property list as it is stored");
}
