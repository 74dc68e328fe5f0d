// Globally unique identifier texts (sync identities, database identifiers, file names).
#pragma once

#include <string>

class LdUUID {
public:
    // UUIDString of a new random (version 4) identifier: 36 upper-case characters,
    // "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX".
    static std::string uuidString();
    // Whether `text` has the form of such an identifier (either case).
    static bool isUUIDString(const std::string& text);
};
