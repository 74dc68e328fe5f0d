// LdCryptStoreFetchTranslator: turns a fetch request into the one SELECT statement the store runs,
// with the values for its placeholders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

class LdAttributeDescription;
class LdCryptStoreSchema;
class LdExpression;
class LdRelationshipDescription;

// A value for one "?" of a statement: NULL, a 64-bit integer, a double, UTF-8 text or a blob.
using LdCryptStoreBinding = std::variant<std::monostate, std::int64_t, double, std::string, LdData>;

// The translated fetch.
struct LdCryptStoreFetchStatement {
    std::string sql;
    std::vector<LdCryptStoreBinding> bindings;  // bound in order from position 1
    // Objects and IDs: the columns after t0.Z_PK are t0.Z_ENT (when selectsEntityColumn), then the
    // prefetched attribute columns in this order, then Z_VERSION (only when prefetching).
    bool selectsEntityColumn = false;
    bool prefetches = false;
    std::vector<std::string> prefetchedColumns;
};

// Stateless apart from the schema it reads; any thread. The schema outlives the translator.
//
// Statements, with the alias t0 for the root table of the request's entity:
//   count:   "SELECT COUNT(*) FROM <table> AS t0 <joins><where><limit>;"
//   objects: "SELECT[ DISTINCT] t0.Z_PK[, t0.Z_ENT] <,t0.column…> FROM <table> AS t0
//             <joins><where><order><limit>;"
// Key paths over relationships join the tables they walk (inner joins, or LEFT OUTER JOIN when the
// predicate holds an OR); a many-to-many step joins its join table and makes the select DISTINCT.
// Every column is qualified with its table alias.
class LdCryptStoreFetchTranslator {
public:
    // The title of every error for a fetch the store cannot express.
    static constexpr const char* kUnsupportedFetchTitle =
            "FetchRequest definition not supported exception";

    explicit LdCryptStoreFetchTranslator(const LdCryptStoreSchema& schema) : schema_(schema) {}

    // statementForFetchRequest:
    // Returns the statement, or nothing with an error titled kUnsupportedFetchTitle whose
    // description is the reason (an offset without a limit, dictionary results, a string
    // comparison against something other than a text, an unknown key path, MATCHES, ...).
    // With usePropertiesCache the statement prefetches the attribute columns of the entity's
    // hierarchy. A request without an entity, or an entity the schema does not know, fails quietly.
    std::optional<LdCryptStoreFetchStatement> statementForFetchRequest(
            const LdFetchRequest& request,
            bool usePropertiesCache = true,
            LdError* error = nullptr) const;

    // The value a constant of a predicate binds: texts as text, integral numbers and booleans as
    // 64-bit integers, reals and decimals as doubles, dates as seconds since 1970, data as a blob,
    // object IDs as their primary key; anything else as NULL.
    static LdCryptStoreBinding bindingForValue(const LdValue& value);

private:
    class Translation;  // the state of one translation (aliases, joins, bindings)

    const LdCryptStoreSchema& schema_;
};
