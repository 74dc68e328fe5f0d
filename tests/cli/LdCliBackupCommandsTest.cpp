#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/database/session/detail/LdDatabaseLock.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdUserDefaults.h"

#include "cli/LdCommandLine.h"
#include "tests/testutil/LdTestUtil.h"

namespace fs = std::filesystem;

namespace {

struct LedraRun {
    int status;
    std::string out;
    std::string err;
};

// Runs `ledra` on the fixture's databases and backup folders.
class LdCliBackupCommandsTest : public ::testing::Test {
protected:
    // The default backup folder lies in the application's base folder: a scratch one here.
    void SetUp() override { LdApplication::setBaseFolder(folder_ / "Base"); }
    void TearDown() override { LdApplication::setBaseFolder({}); }

    LedraRun ledra(std::vector<std::string> arguments, bool overrideBackups = true) {
        if (overrideBackups) {
            arguments.insert(arguments.begin(), {"--backups-folder", backups_.string()});
        }
        arguments.insert(arguments.begin(), {"--databases-folder", databases_.string()});
        std::istringstream in;
        std::ostringstream out;
        std::ostringstream err;
        const int status = ldRunCommandLine(arguments, {in, out, err, false});
        return {status, out.str(), err.str()};
    }

    nlohmann::json json(const std::vector<std::string>& arguments) {
        std::vector<std::string> withJson = arguments;
        withJson.insert(withJson.begin(), "--json");
        const LedraRun run = ledra(withJson);
        EXPECT_EQ(run.status, 0) << run.err;
        return nlohmann::json::parse(run.out, nullptr, false);
    }

    fs::path databaseFolder(const std::string& name) {
        for (const auto& entry : fs::directory_iterator(databases_)) {
            if (entry.path().filename().string().find(name) != std::string::npos) {
                return entry.path();
            }
        }
        return {};
    }

    LdTemporaryFolder folder_;
    fs::path databases_ = folder_ / "Databases";
    fs::path backups_ = folder_ / "Backups";
};

}  // namespace

TEST_F(LdCliBackupCommandsTest, CreateCopiesTheClosedDatabaseUnchangedAndListShowsIt) {
    ASSERT_EQ(ledra({"db", "create", "Household"}).status, 0);
    const fs::path database = databaseFolder("Household");
    const fs::path store = database / "store.ldcryptdata";
    const LdData before = ldReadFile(store);
    const auto modified = fs::last_write_time(store);

    const nlohmann::json created = json({"backup", "create", "Household"});
    const fs::path archive = created.at("path").get<std::string>();
    EXPECT_EQ(archive.extension(), ".ld5a");
    EXPECT_EQ(archive.parent_path().parent_path(), backups_);
    EXPECT_EQ(ldReadFile(archive / "store.ldcryptdata"), before);
    // The database itself was neither opened nor saved.
    EXPECT_EQ(ldReadFile(store), before);
    EXPECT_EQ(fs::last_write_time(store), modified);

    const nlohmann::json list = json({"backup", "list", "Household"});
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 1U);
    EXPECT_EQ(list[0].at("path"), archive.string());
    EXPECT_EQ(list[0].at("reason"), 1);
    EXPECT_GT(list[0].at("byteSize").get<std::int64_t>(), static_cast<std::int64_t>(before.size()));
    for (const char* key : {"creationDate", "appName", "appVersion", "appBuildNumber"}) {
        EXPECT_TRUE(list[0].contains(key)) << key;
    }
    EXPECT_NE(list[0].at("creationDate").get<std::string>().find('T'), std::string::npos);

    // A database open in another program is not copied halfway through a save.
    {
        auto lock = ld::detail::LdDatabaseLock::tryLock(database);
        ASSERT_NE(lock, nullptr);
        const LedraRun refused = ledra({"backup", "create", "Household"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("open in another program"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(ledra({"backup", "create", "Nobody"}).status, 1);
}

TEST_F(LdCliBackupCommandsTest, RestoreAndImportAddNewDatabasesAndRefuseOutsidePaths) {
    ASSERT_EQ(ledra({"db", "create", "Household"}).status, 0);
    const fs::path archive = json({"backup", "create", "Household"}).at("path").get<std::string>();

    const LedraRun restored = ledra({"backup", "restore", archive.string()});
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_NE(restored.out.find("Household"), std::string::npos) << restored.out;
    EXPECT_EQ(json({"db", "list"}).size(), 2U);

    // An archive outside the backup folder, also when reached through "..", is not restored.
    const fs::path outside = folder_ / "Elsewhere.ld5a";
    fs::copy(archive, outside, fs::copy_options::recursive);
    const fs::path sneaky = backups_ / ".." / "Elsewhere.ld5a";
    for (const fs::path& path : {outside, sneaky}) {
        const LedraRun refused = ledra({"backup", "restore", path.string()});
        EXPECT_EQ(refused.status, 1) << path;
        EXPECT_FALSE(refused.err.empty());
    }
    EXPECT_EQ(json({"db", "list"}).size(), 2U);

    // Export and import go through any folder.
    const fs::path exported = folder_ / "Export.ld5a";
    ASSERT_EQ(ledra({"backup", "export", "Household", exported.string()}).status, 0);
    EXPECT_TRUE(fs::is_regular_file(exported / "backup.info"));
    EXPECT_EQ(ledra({"backup", "export", "Household", (folder_ / "NoExtension").string()}).status,
              2);
    const LedraRun imported = ledra({"backup", "import", exported.string()});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(json({"db", "list"}).size(), 3U);

    // A folder that is neither archive nor database adds nothing.
    fs::create_directories(folder_ / "Junk.ld5a");
    ldWriteFile(folder_ / "Junk.ld5a" / "store.ldcryptdata", std::string("not a store"));
    EXPECT_EQ(ledra({"backup", "import", (folder_ / "Junk.ld5a").string()}).status, 1);
    EXPECT_EQ(json({"db", "list"}).size(), 3U);
}

TEST_F(LdCliBackupCommandsTest, SettingsHaveTheApplicationsInitialValuesAndKeepAtLeastOne) {
    const nlohmann::json initial = json({"backup", "settings"});
    EXPECT_EQ(initial.at("timeBasedBackups"), true);
    EXPECT_EQ(initial.at("interval"), 86400);
    EXPECT_EQ(initial.at("keep"), 10);

    const nlohmann::json changed =
            json({"backup", "settings", "--time-based", "off", "--interval", "60", "--keep", "0"});
    EXPECT_EQ(changed.at("timeBasedBackups"), false);
    EXPECT_EQ(changed.at("interval"), 60);
    EXPECT_EQ(changed.at("keep"), 1);
    EXPECT_EQ(ledra({"backup", "settings", "--time-based", "maybe"}).status, 2);

    // With one to keep, pruning leaves the newest time-based backup.
    ASSERT_EQ(ledra({"db", "create", "Household"}).status, 0);
    json({"backup", "create", "Household"});
    json({"backup", "create", "Household"});
    json({"backup", "prune", "Household"});
    EXPECT_EQ(json({"backup", "list", "Household"}).size(), 1U);

    for (const char* key : {"timeBasedBackups", "backups_intervall", "backups_number_to_keep"}) {
        LdUserDefaults::standard().removeObjectForKey(key);
    }
}

TEST_F(LdCliBackupCommandsTest, FolderSetMovesTheBackupsAndRemembersTheFolder) {
    ASSERT_EQ(ledra({"db", "create", "Household"}).status, 0);
    ASSERT_EQ(ledra({"backup", "create", "Household"}, false).status, 0);
    EXPECT_TRUE(fs::is_directory(folder_ / "Base" / "Backups"));
    const fs::path moved = folder_ / "Moved";
    const LedraRun set = ledra({"backup", "folder", "set", moved.string()}, false);
    ASSERT_EQ(set.status, 0) << set.err;
    std::size_t archives = 0;
    for (const auto& entry : fs::recursive_directory_iterator(moved)) {
        archives += entry.path().extension() == ".ld5a" ? 1U : 0U;
    }
    EXPECT_EQ(archives, 1U);

    // The remembered folder is used from now on, unless a run overrides it.
    EXPECT_EQ(ledra({"backup", "folder", "show"}, false).out, moved.string() + "\n");
    EXPECT_EQ(ledra({"backup", "folder", "show"}).out, backups_.string() + "\n");
    LdUserDefaults::standard().removeObjectForKey("backups_folderBookmarkData");
}
