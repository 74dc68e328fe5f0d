// LdSQLite.h: the one way the store includes SQLCipher's SQLite interface. The codec calls
// (sqlite3_key and friends) are declared only when SQLITE_HAS_CODEC is defined before the header.
#pragma once

#ifndef SQLITE_HAS_CODEC
#define SQLITE_HAS_CODEC 1
#endif
#include <sqlcipher/sqlite3.h>
