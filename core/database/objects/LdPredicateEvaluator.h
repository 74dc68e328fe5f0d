// LdPredicateEvaluator: evaluates fetch predicates and sort orders on objects in memory, with
// exactly the meaning the store's SQL gives them, so that fetches can see unsaved changes.
#pragma once

#include <vector>

#include "core/database/store/LdCryptStoreFetchRequest.h"

class LdEvaluatedObject;

// Stateless; any thread (reading the objects is the caller's affair).
//
// The meaning is the one of LdCryptStoreFetchTranslator's SELECT on SQLite, decided point by point:
// - Values are read as the store stores them: integers and booleans as 64-bit integers; decimals,
//   doubles and dates as the double the store binds (a date as seconds since 1970), a whole one
//   becoming an integer as the column affinity makes it; texts as bytes; object references as the
//   primary key of the target. Comparisons apply SQLite's comparison affinity (a text compared
//   with a number column is read as a number when it looks like one, a number compared with a
//   text column is read as its text) and its order across types: NULL < numbers < text < blob,
//   texts byte-wise (BINARY collation), an integer against a real as doubles.
// - A comparison with a missing value is unknown; "== nil" and "!= nil" are IS NULL / IS NOT
//   NULL. AND, OR and NOT use three-valued logic; only TRUE matches.
// - ==[c], ==[d], ==[cd], LIKE, BEGINSWITH, ENDSWITH and CONTAINS are the store's text functions
//   (LdCryptStoreStringFunctions) with the same flags. Those functions answer false, never
//   unknown, for a missing value: NOT (title BEGINSWITH "a") matches an object without a title.
// - [c] on any other operator upper-cases a text constant (ICU, then SQLite's UPPER) and nothing
//   else; [d] on other operators is ignored.
// - Key paths over relationships are joins: inner joins, or LEFT OUTER JOINs when the predicate
//   holds an OR anywhere. With inner joins an object whose path has no target is no row at all,
//   whatever the predicate says about it (NOT (dayBalance.date > x) is false for an entry without
//   a day balance); with outer joins the path reads NULL. The same path prefix is one join, so
//   "tags.name == 'a' AND tags.name == 'b'" needs one tag with both names. A many-to-many step
//   yields one row per target and the object matches when any row does (ANY, and NONE as NOT of
//   it, are this per-row meaning).
// - "relationship[.more].@count" counts as the store's subquery does: the first relationship's
//   targets, each further step joined on from them, counting the rows at the end.
// - A predicate the store cannot translate (MATCHES, BETWEEN, ALL, unknown key paths, text
//   operators on something other than a key path and a text, ...) matches nothing: the store
//   fails such a fetch.
class LdPredicateEvaluator {
public:
    // evaluateWithObject:
    // Whether the predicate is TRUE for the object. Key paths are read from the object's entity,
    // and the joins the predicate makes are the only ones (see objectMatchesFetchRequest for the
    // joins sort keys add).
    static bool evaluatePredicate(const LdPredicate& predicate, const LdEvaluatedObject& object);

    // Whether the object is one of the rows the store's SELECT of the request would return,
    // before offset and limit: its entity passes the request's entity filter, the relationships
    // that the sort keys and the predicate join exist where inner joins need them, and the
    // predicate is TRUE. Key paths are read from the request's entity, as the SQL does. A request
    // the store rejects (an offset without a limit, dictionary results, bad key paths) matches
    // nothing; so does a request without an entity.
    static bool objectMatchesFetchRequest(const LdFetchRequest& request,
                                          const LdEvaluatedObject& object);

    // The order of the sort descriptors (<0, 0, >0), ties broken by primary key and then entity
    // name, so that the order is total. SQL leaves ties in an unspecified order; ascending
    // primary key is what a table scan gives.
    static int compareForSortDescriptors(const std::vector<LdSortDescriptor>& sorts,
                                         const LdEvaluatedObject& a,
                                         const LdEvaluatedObject& b);

    // The order of the sort descriptors alone: 0 when a and b tie on every sort key. Missing
    // values (and paths without a target) come first ascending and last descending; a sort key
    // the store cannot order by, or one through a to-many relationship, reads as missing.
    static int compareSortKeys(const std::vector<LdSortDescriptor>& sorts,
                               const LdEvaluatedObject& a,
                               const LdEvaluatedObject& b);
};
