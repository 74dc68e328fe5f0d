// The hand-written SQLCipher side of the benchmarks: files opened and keyed as the store opens
// them, the store's own tables, and small statement helpers that abort on any failure.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/database/store/LdCryptStoreSchema.h"
#include "core/database/store/detail/LdSQLite.h"

namespace ld::bench {

[[noreturn]] inline void benchFatal(const std::string& message) {
    std::fprintf(stderr, "benchmark: %s\n", message.c_str());
    std::abort();
}

inline void execute(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message != nullptr ? message : "?";
        sqlite3_free(message);
        benchFatal(sql + ": " + text);
    }
}

inline sqlite3_stmt* prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        benchFatal(sql + ": " + sqlite3_errmsg(db));
    }
    return statement;
}

inline void stepDone(sqlite3* db, sqlite3_stmt* statement) {
    if (sqlite3_step(statement) != SQLITE_DONE) {
        benchFatal(std::string("step: ") + sqlite3_errmsg(db));
    }
    sqlite3_reset(statement);
}

// Opens and keys a file the way the store does (same cipher defaults and cache size).
inline sqlite3* openRawFile(const std::filesystem::path& path, const std::string& password) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
                SQLITE_OK ||
        sqlite3_key(db, password.data(), static_cast<int>(password.size())) != SQLITE_OK) {
        benchFatal("raw file does not open");
    }
    execute(db, "PRAGMA cache_size = 8192;");
    return db;
}

// The store's tables and indexes, created in one transaction.
inline void createRawTables(sqlite3* db, const LdCryptStoreSchema& schema) {
    execute(db, "BEGIN EXCLUSIVE;");
    for (const std::string& statement : schema.primaryKeyTableStatements()) {
        execute(db, statement);
    }
    for (const std::string& statement : schema.createTableStatements()) {
        execute(db, statement);
    }
    execute(db, "COMMIT;");
}

// "INSERT INTO table (c1, c2, ...) VALUES(?, ?, ...);"
inline std::string insertStatement(const std::string& table,
                                   const std::vector<std::string>& columns) {
    std::string names;
    std::string placeholders;
    for (const std::string& column : columns) {
        names += (names.empty() ? "" : ", ") + column;
        placeholders += placeholders.empty() ? "?" : ", ?";
    }
    return "INSERT INTO " + table + " (" + names + ") VALUES(" + placeholders + ");";
}

}  // namespace ld::bench
