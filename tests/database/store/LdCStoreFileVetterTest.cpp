// Tests of the store-file check: sound stores pass, damaged, mismatched and foreign files are
// refused, and a helper that crashes, fails or is missing refuses the file.
#include "core/database/store/LdCStoreFileVetter.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/database/store/LdCryptStore.h"
#include "core/database/store/detail/LdSQLite.h"
#include "core/support/LdStrings.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

constexpr const char* kVettingTable = "LdCStoreVetting";

std::string vettingText(const char* key, const std::vector<std::string>& arguments = {}) {
    return LdStrings::localizedFormat(key, arguments, kVettingTable);
}

void executeSQL(const std::filesystem::path& path, const std::string& sql) {
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &database), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(database, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
            << (message != nullptr ? message : "");
    sqlite3_free(message);
    sqlite3_close(database);
}

void writeScript(const std::filesystem::path& path, const std::string& body) {
    ldWriteFile(path, "#!/bin/sh\n" + body + "\n");
    ASSERT_EQ(chmod(path.c_str(), 0700), 0);
}

}  // namespace

class LdCStoreFileVetterTest : public ::testing::Test {
protected:
    void TearDown() override { LdCStoreFileVetter::setHelperProgramPath({}); }

    // A new store file as the library writes it; the first entity table's name lands in
    // `entityTable`.
    std::filesystem::path makeStore(const std::string& password = "",
                                    std::string* entityTable = nullptr) {
        const std::filesystem::path path = folder_ / ("Store" + std::to_string(++stores_) + ".ldb");
        LdCryptStore store(path, {{kLdCryptStorePasswordOption, LdValue(password)}});
        LdError error;
        EXPECT_TRUE(store.loadMetadata(&error)) << error;
        if (entityTable != nullptr) {
            *entityTable = store.schema()->entityTableNames().front();
        }
        return path;
    }

    // Vets the file, expecting a refusal; its description.
    std::string refusal(const std::filesystem::path& path,
                        const std::optional<std::string>& password = std::nullopt) {
        LdError error;
        EXPECT_FALSE(LdCStoreFileVetter::vetStoreFileAtURL(path, password, &error)) << path;
        EXPECT_TRUE(error.isSet());
        EXPECT_EQ(error.title(),
                  LdStrings::localizedString("_STORE_CHECK_ERROR_TITLE", kVettingTable));
        return error.localizedDescription();
    }

    bool passes(const std::filesystem::path& path,
                const std::optional<std::string>& password = std::nullopt) {
        LdError error;
        const bool passed = LdCStoreFileVetter::vetStoreFileAtURL(path, password, &error);
        EXPECT_TRUE(passed) << error;
        return passed;
    }

    LdTemporaryFolder folder_;
    int stores_ = 0;
};

TEST_F(LdCStoreFileVetterTest, PlainStoreWithRowsInEveryTablePasses) {
    const std::filesystem::path path = makeStore();
    // Rows spill over several pages, some with overflow pages, so the full read has work to do.
    executeSQL(path,
               "CREATE TABLE FILLER (x BLOB);"
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
               "INSERT INTO FILLER SELECT randomblob(CASE WHEN i % 10 = 0 THEN 3000 ELSE 400 END) "
               "FROM n;");
    EXPECT_TRUE(passes(path));
    EXPECT_TRUE(passes(path, std::string()));  // an empty password means a plain store
}

TEST_F(LdCStoreFileVetterTest, EncryptedStoreNeedsItsPassword) {
    const std::string password = "sesame 'quoted' \"twice\"";
    const std::filesystem::path path = makeStore(password);
    EXPECT_TRUE(passes(path, password));
    EXPECT_NE(refusal(path, std::string("wrong")).find("password is wrong"), std::string::npos);
    // Without a password only the outer shape is checked: whole pages, no plain header.
    EXPECT_TRUE(passes(path));
}

TEST_F(LdCStoreFileVetterTest, OverwrittenPagesFailQuickCheck) {
    const std::filesystem::path path = makeStore();
    executeSQL(path,
               "CREATE TABLE FILLER (x BLOB);"
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
               "INSERT INTO FILLER SELECT randomblob(400) FROM n;");
    const auto size = std::filesystem::file_size(path);
    ASSERT_GT(size, 100U * 1024U);
    {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        // Pages of the filler rows, which the file ends with.
        file.seekp(static_cast<std::streamoff>(size - 40 * 1024));
        const std::string garbage(4 * 1024, 'Z');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    const std::string reason = refusal(path);
    EXPECT_NE(reason.find("quick_check"), std::string::npos) << reason;
}

TEST_F(LdCStoreFileVetterTest, NumberingAndTablesMustAgree) {
    std::string entityTable;
    const std::filesystem::path dropped = makeStore("", &entityTable);
    executeSQL(dropped, "DROP TABLE " + entityTable + ";");
    const std::string droppedReason = refusal(dropped);
    EXPECT_NE(droppedReason.find(entityTable + " is missing"), std::string::npos) << droppedReason;

    const std::filesystem::path extra = makeStore();
    executeSQL(extra, "CREATE TABLE TE_STRANGER (Z_PK INTEGER PRIMARY KEY);");
    EXPECT_NE(refusal(extra).find("TE_STRANGER"), std::string::npos);

    const std::filesystem::path orphan = makeStore();
    executeSQL(orphan, "UPDATE T_PRIMARYKEY SET Z_SUPER = 9999 WHERE Z_ENT = 1;");
    EXPECT_NE(refusal(orphan).find("missing parent"), std::string::npos);

    const std::filesystem::path noNumbering = makeStore();
    executeSQL(noNumbering, "DROP TABLE T_PRIMARYKEY;");
    EXPECT_NE(refusal(noNumbering).find("T_PRIMARYKEY"), std::string::npos);
}

TEST_F(LdCStoreFileVetterTest, ForeignFilesAreRefused) {
    const std::string plainHeader("SQLite format 3\0", 16);
    struct Case {
        const char* name;
        std::string contents;
        std::optional<std::string> password;
    };
    const std::vector<Case> cases{
            {"text without password", "just some text\n", std::nullopt},
            {"empty without password", "", std::nullopt},
            {"odd size without password", std::string(1500, 'x'), std::nullopt},
            {"pages with password", std::string(2048, 'x'), "secret"},
            {"plain header and garbage", plainHeader + std::string(2032, '\x7f'), std::nullopt},
            // SQLite reads an empty file as an empty database: it has no numbering.
            {"empty with password", "", "secret"},
    };
    for (const Case& testCase : cases) {
        const std::filesystem::path path = folder_ / "foreign.bin";
        ldWriteFile(path, testCase.contents);
        refusal(path, testCase.password);
    }
    EXPECT_NE(refusal(folder_ / "missing.ldb").find("could not be read"), std::string::npos);
    EXPECT_FALSE(LdCStoreFileVetter::vetStoreFileAtURL({}, std::nullopt));
}

TEST_F(LdCStoreFileVetterTest, CrashingHelperRefusesTheFile) {
    const std::filesystem::path script = folder_ / "crash.sh";
    writeScript(script, "kill -SEGV $$");
    LdCStoreFileVetter::setHelperProgramPath(script);
    // With a password, so that its write meets a helper that may already be gone.
    EXPECT_EQ(refusal(makeStore("pw"), std::string("pw")),
              vettingText("_STORE_CHECK_CRASHED", {"11"}));
}

TEST_F(LdCStoreFileVetterTest, HelperGetsPasswordOnStdinAndItsReasonIsReported) {
    const std::filesystem::path script = folder_ / "echo.sh";
    writeScript(script,
                "password=$(cat)\n"
                "if [ \"$#\" = 1 ] && [ \"$password\" = 'pass word' ]; then exit 0; fi\n"
                "echo \"got $# arguments\" >&2; echo second line >&2; exit 3");
    LdCStoreFileVetter::setHelperProgramPath(script);
    const std::filesystem::path path = makeStore("pass word");
    EXPECT_TRUE(passes(path, std::string("pass word")));
    EXPECT_EQ(refusal(path, std::string("other")),
              vettingText("_STORE_CHECK_REFUSED", {"got 1 arguments"}));

    writeScript(script, "exit 4");
    EXPECT_EQ(
            refusal(path, std::string("other")),
            vettingText("_STORE_CHECK_REFUSED", {vettingText("_STORE_CHECK_EXIT_STATUS", {"4"})}));
}

TEST_F(LdCStoreFileVetterTest, MissingHelperRefusesTheFile) {
    const std::filesystem::path missing = folder_ / "no-such-helper";
    LdCStoreFileVetter::setHelperProgramPath(missing);
    EXPECT_EQ(refusal(makeStore()),
              vettingText("_STORE_CHECK_NOT_STARTED",
                          {missing.string(), std::system_category().message(ENOENT)}));
}

TEST_F(LdCStoreFileVetterTest, HelperPathComesFromSettingThenEnvironmentThenBuild) {
    const std::filesystem::path built = LdCStoreFileVetter::helperProgramPath();
    EXPECT_EQ(built.filename(), "ledra-store-check");
    EXPECT_TRUE(std::filesystem::is_regular_file(built)) << built;

    ASSERT_EQ(setenv("LEDRA_STORE_CHECK", "/from/environment", 1), 0);
    EXPECT_EQ(LdCStoreFileVetter::helperProgramPath(), "/from/environment");
    LdCStoreFileVetter::setHelperProgramPath("/from/setting");
    EXPECT_EQ(LdCStoreFileVetter::helperProgramPath(), "/from/setting");
    unsetenv("LEDRA_STORE_CHECK");
    LdCStoreFileVetter::setHelperProgramPath({});
    EXPECT_EQ(LdCStoreFileVetter::helperProgramPath(), built);
}
