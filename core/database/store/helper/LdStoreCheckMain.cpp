// ledra-store-check: the helper program that checks a store file from outside before the library
// opens it. Usage: ledra-store-check <file>; the password (empty for a plain store) comes on stdin.
// Exits 0 when the file is sound, 1 with a one-line reason on stderr when it is not, 2 on wrong
// use. The SQL engine may crash on a crafted file; that kills only this process, and the library
// refuses the file. It links only the SQL engine and opens the file with plain calls, read-only.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "core/database/store/detail/LdSQLite.h"

namespace {

// Bounds of one check: address space, processor time, SQL engine heap and password size.
constexpr rlim_t kAddressSpaceLimit = rlim_t{1} << 30;
constexpr rlim_t kCPUSecondsLimit = 60;
constexpr std::int64_t kSQLHeapLimit = std::int64_t{256} << 20;
constexpr std::size_t kMaxPasswordBytes = std::size_t{1} << 16;
constexpr int kLegacyKDFIterations = 4000;

// Names the store file uses (see LdCryptStoreSchema).
constexpr const char* kPrimaryKeyTable = "T_PRIMARYKEY";
constexpr const char* kEntityTablePrefix = "TE_";

[[noreturn]] void refuse(std::string reason) {
    for (char& character : reason) {
        if (character == '\n' || character == '\r') {
            character = ' ';
        }
    }
    std::fprintf(stderr, "%s\n", reason.c_str());
    std::exit(1);
}

void limitResources() {
    const rlimit addressSpace{kAddressSpaceLimit, kAddressSpaceLimit};
    const rlimit cpu{kCPUSecondsLimit, kCPUSecondsLimit + 5};
    const rlimit core{0, 0};  // a crash on a crafted file leaves no memory image behind
    if (setrlimit(RLIMIT_AS, &addressSpace) != 0 || setrlimit(RLIMIT_CPU, &cpu) != 0 ||
        setrlimit(RLIMIT_CORE, &core) != 0) {
        refuse("the check could not limit its resources");
    }
}

std::string readPassword() {
    std::string password;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
        if (count == 0) {
            return password;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            refuse("the password could not be read");
        }
        password.append(buffer, static_cast<std::size_t>(count));
        if (password.size() > kMaxPasswordBytes) {
            refuse("the password is too long");
        }
    }
}

std::string quotedIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (const char character : name) {
        quoted += character;
        if (character == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string quotedLiteral(const std::string& text) {
    std::string quoted = "'";
    for (const char character : text) {
        quoted += character;
        if (character == '\'') {
            quoted += '\'';
        }
    }
    return quoted + "'";
}

std::string upperCased(std::string text) {
    for (char& character : text) {
        character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
    }
    return text;
}

// One open, read-only connection; closed on destruction.
class Connection {
public:
    Connection(const char* path, const std::string& password, bool legacyKDF) {
        if (sqlite3_open_v2(path, &database_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            const std::string message =
                    database_ != nullptr ? sqlite3_errmsg(database_) : "out of memory";
            refuse("the file could not be opened: " + message);
        }
        // Keyed as the store keys its connections: the passphrase, and for files written with
        // the older key derivation its iteration count.
        if (!password.empty()) {
            execute("PRAGMA key = " + quotedLiteral(password) + ";", "keying");
            if (legacyKDF) {
                execute("PRAGMA kdf_iter = " + std::to_string(kLegacyKDFIterations) + ";",
                        "keying");
            }
        }
    }
    ~Connection() { sqlite3_close_v2(database_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void execute(const std::string& sql, const char* step) {
        char* message = nullptr;
        if (sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message != nullptr ? message : sqlite3_errmsg(database_);
            sqlite3_free(message);
            refuse(std::string(step) + ": " + text);
        }
    }

    // Whether the file reads with this connection's key: its schema can be counted. Otherwise
    // the engine's result code.
    int readSchema() {
        return sqlite3_exec(database_, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr,
                            nullptr);
    }
    std::string errorMessage() const { return sqlite3_errmsg(database_); }

    // Runs a query and hands each row to `onRow`; refuses the file with `step` on any error.
    template <typename OnRow>
    void forEachRow(const std::string& sql, const char* step, OnRow onRow) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(database_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement);
            refuse(std::string(step) + ": " + sqlite3_errmsg(database_));
        }
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
            onRow(statement);
        }
        if (result != SQLITE_DONE) {
            const std::string message = sqlite3_errmsg(database_);
            sqlite3_finalize(statement);
            refuse(std::string(step) + ": " + message);
        }
        sqlite3_finalize(statement);
    }

private:
    sqlite3* database_ = nullptr;
};

std::string textColumn(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

struct NumberingRow {
    std::string name;
    std::int64_t superEntityID = 0;
};

// The entity numbering and the tables agree: every root entity has its "TE_" table, every
// subentity leads to a root, and every "TE_" table belongs to a root entity.
void checkNumbering(Connection& connection) {
    std::set<std::string> tables;
    connection.forEachRow("SELECT name FROM sqlite_master WHERE type = 'table';",
                          "the tables could not be listed",
                          [&](sqlite3_stmt* row) { tables.insert(textColumn(row, 0)); });
    if (tables.count(kPrimaryKeyTable) == 0) {
        refuse(std::string("the file has no entity numbering (") + kPrimaryKeyTable + ")");
    }
    std::map<std::int64_t, NumberingRow> numbering;
    connection.forEachRow(
            std::string("SELECT Z_ENT, Z_NAME, Z_SUPER FROM ") + kPrimaryKeyTable + ";",
            "the entity numbering could not be read", [&](sqlite3_stmt* row) {
                const std::int64_t entityID = sqlite3_column_int64(row, 0);
                NumberingRow entry{textColumn(row, 1), sqlite3_column_int64(row, 2)};
                // The store skips such rows when it reads the numbering.
                if (entityID >= 1 && !entry.name.empty()) {
                    numbering.emplace(entityID, std::move(entry));
                }
            });
    std::set<std::string> rootTables;
    for (const auto& [entityID, entry] : numbering) {
        std::int64_t current = entityID;
        // A chain of parents longer than the numbering is a loop.
        for (std::size_t steps = 0; numbering.at(current).superEntityID != 0; ++steps) {
            const std::int64_t parent = numbering.at(current).superEntityID;
            if (numbering.count(parent) == 0 || steps > numbering.size()) {
                refuse("the entity numbering gives " + entry.name + " a missing parent");
            }
            current = parent;
        }
        const std::string table = kEntityTablePrefix + upperCased(numbering.at(current).name);
        if (tables.count(table) == 0) {
            refuse("the entity numbering names " + entry.name + " but the table " + table +
                   " is missing");
        }
        rootTables.insert(table);
    }
    for (const std::string& table : tables) {
        if (table.rfind(kEntityTablePrefix, 0) == 0 && rootTables.count(table) == 0) {
            refuse("the table " + table + " has no entity in the numbering");
        }
    }
}

// Reads every row of every table once, so that each page and overflow page passes the cell
// size check.
void readEveryTable(Connection& connection) {
    std::vector<std::string> tables;
    connection.forEachRow("SELECT name FROM sqlite_master WHERE type = 'table';",
                          "the tables could not be listed",
                          [&](sqlite3_stmt* row) { tables.push_back(textColumn(row, 0)); });
    for (const std::string& table : tables) {
        const std::string step = "the table " + table + " could not be read";
        connection.forEachRow("SELECT * FROM " + quotedIdentifier(table) + ";", step.c_str(),
                              [](sqlite3_stmt*) {});
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ledra-store-check <file> (password on stdin)\n");
        return 2;
    }
    limitResources();
    sqlite3_soft_heap_limit64(kSQLHeapLimit);
    const std::string password = readPassword();
    const char* path = argv[1];

    std::optional<Connection> connection;
    connection.emplace(path, password, /*legacyKDF=*/false);
    int result = connection->readSchema();
    if (result == SQLITE_NOTADB && !password.empty()) {
        connection.reset();
        connection.emplace(path, password, /*legacyKDF=*/true);
        result = connection->readSchema();
    }
    if (result == SQLITE_NOTADB) {
        refuse(password.empty() ? "the file is no SQLite database"
                                : "the file is no database or the password is wrong");
    }
    if (result != SQLITE_OK) {
        refuse("the list of tables could not be read: " + connection->errorMessage());
    }
    connection->execute("PRAGMA cell_size_check = ON;", "the cell size check could not be set");

    std::vector<std::string> answers;
    connection->forEachRow("PRAGMA quick_check;", "quick_check failed",
                           [&](sqlite3_stmt* row) { answers.push_back(textColumn(row, 0)); });
    if (answers.size() != 1 || answers.front() != "ok") {
        refuse("quick_check found damage: " + (answers.empty() ? "no answer" : answers.front()));
    }
    checkNumbering(*connection);
    readEveryTable(*connection);
    return 0;
}
