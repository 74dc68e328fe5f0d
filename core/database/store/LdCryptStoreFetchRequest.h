// LdCryptStoreFetchRequest: what a fetch asks the store for — entity, predicate, order, window and
// result type (the plain records LdFetchRequest and LdSortDescriptor).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/database/predicate/LdPredicate.h"

class LdEntityDescription;

// One ordering key: a key path whose last component is an attribute.
struct LdSortDescriptor {
    std::string keyPath;
    bool ascending = true;
};

// A fetch request. A plain record, built by the caller and read by the store.
struct LdFetchRequest {
    // The platform's result type codes.
    enum class ResultType { Objects = 0, ObjectIDs = 1, Dictionaries = 2, Count = 4 };

    const LdEntityDescription* entity = nullptr;
    LdPredicatePtr predicate;  // nullptr: every row of the entity
    std::vector<LdSortDescriptor> sortDescriptors;
    std::size_t fetchLimit = 0;   // 0: no limit
    std::size_t fetchOffset = 0;  // only together with a limit
    ResultType resultType = ResultType::Objects;
    bool includesSubentities = true;
};
