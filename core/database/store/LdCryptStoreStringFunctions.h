// LdCryptStoreStringFunctions: the store's three text comparisons (equality, begins/ends/contains
// search and LIKE patterns) as plain functions and as SQL functions on a connection.
#pragma once

#include <string_view>

struct sqlite3;

// Stateless; every function may be called from any thread. Texts are UTF-8 and are compared by
// Unicode characters (code points) after canonical composition; bytes that are no valid UTF-8
// read as U+FFFD, so they never crash and only match a replacement character.
class LdCryptStoreStringFunctions {
public:
    // Compare flags as the SQL functions receive them.
    static constexpr int kCaseInsensitive = 1;
    static constexpr int kDiacriticInsensitive = 128;

    // Search modes of CryptStoreStringSearch.
    static constexpr int kBeginsWith = 0;
    static constexpr int kEndsWith = 1;
    static constexpr int kContains = 2;

    // CryptStoreEqualString: the two texts are equal under the compare flags.
    static bool equalString(std::string_view value, std::string_view pattern, int flags);

    // CryptStoreStringSearch: false when the pattern has more characters than the value; else
    // the value begins with (mode 0), ends with (1) or contains (2) the pattern under the flags.
    // Other modes are false.
    static bool stringSearch(std::string_view value, std::string_view pattern, int flags, int mode);

    // CryptStoreLike: '*' matches any run of characters, '?' exactly one, a backslash escapes
    // '*', '?' or '\'. An empty pattern never matches. Linear in pattern length times value length.
    static bool like(std::string_view value, std::string_view pattern, int flags);

    // registerCryptStoreFunctions:
    // Registers "CryptStoreEqualString" (3 arguments), "CryptStoreStringSearch" (4) and
    // "CryptStoreLike" (3) for UTF-8 on the connection. Each returns 1 for a match, 0 otherwise
    // and 0 when an argument is NULL. Returns false when SQLite refuses one of them or db is null.
    static bool registerCryptStoreFunctions(sqlite3* db);
};
