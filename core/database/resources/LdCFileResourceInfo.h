// LdCFileResourceInfo: one kind of resource file — its type number, the entity whose objects refer
// to such files, and the attribute that holds the file name.
#pragma once

#include <string>

// A plain record; LdCFileResourceManager keeps one per resource type.
struct LdCFileResourceInfo {
    int resourceType = 0;
    std::string entityName;
    std::string fileReferencePropertyName;
};
