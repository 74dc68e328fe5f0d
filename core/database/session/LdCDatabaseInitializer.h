// LdCDatabaseInitializer: the user record of a database and, for a new database, the content it
// starts with.
#pragma once

#include <string_view>
#include <vector>

#include "core/support/LdError.h"

class LdCDUser;
class LdManagedObjectContext;

// Class operations only; main thread (the context's thread).
class LdCDatabaseInitializer {
public:
    // One of the standard categories: the key of its name (and, followed by "_KEYWORDS", of its
    // keyword list) in the strings table "LdCCategories", and its built-in image.
    struct StandardCategory {
        const char* key;
        const char* imageName;
    };

    // createUserForContext:
    // Returns the database's first user record. When there is none, inserts it together with the
    // initial content, for the current locale: the main currency and country, the main account
    // list with a cash account, the user's own contact, the standard categories with their
    // keyword rules, the budget list with a standard budget, the stock list, and the analyses
    // list with a standard chart and a standard report. Nothing is saved. Fails (nullptr and an
    // error) when the user cannot be fetched or an object cannot be inserted; then nothing that
    // was inserted stays in the context. The objects belong to the context.
    static LdCDUser* createUserForContext(LdManagedObjectContext& context,
                                          LdError* error = nullptr);
    // The same for the locale `localeIdentifier` ("de_DE"), which decides the main currency
    // ("USD" when its region has none) and the cash account's country.
    static LdCDUser* createUserForContext(LdManagedObjectContext& context,
                                          std::string_view localeIdentifier,
                                          LdError* error = nullptr);

    // The 22 standard categories in the order they are created.
    static const std::vector<StandardCategory>& standardCategories();
};
