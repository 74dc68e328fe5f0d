// LdKeyedArchiver and LdKeyedUnarchiver: the platform's keyed-archive format ("NSKeyedArchiver",
// version 100000), a binary property list whose "$objects" array holds every archived object and
// whose "$top" names the root.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

// A dictionary with this key (a string) stands for an object of that class: its other entries are
// the object's keyed fields. Later code archives its own records (settings, errors) this way.
inline constexpr const char* kLdArchiveClassNameKey = "$classname";

// Writes keyed archives. Class operations only; safe on any thread.
//
// How values are archived:
//   string, integer, real, bool, data: plain values in "$objects" (NSString, NSNumber, NSData);
//   array: NSArray with "NS.objects"; dictionary: NSDictionary with "NS.keys" and "NS.objects";
//   date: NSDate with "NS.time" (seconds since 2001-01-01 UTC);
//   decimal: NSDecimalNumber, compacted (trailing zeros of the mantissa move into the exponent);
//   dictionary with a "$classname" string: an object of that class with the chain
//     [name, "NSObject"], its numbers and bools inline, its other values by reference;
//   null: the reference to "$null".
class LdKeyedArchiver {
public:
    // archivedDataWithRootObject:requiringSecureCoding:error:
    // Returns the archive as a binary property list; the same value always gives the same bytes.
    // Fails with an error for UIDs, nesting past 64 levels, strings that are not valid UTF-8 and a
    // "$classname" that is empty or names a class this archiver writes itself.
    static std::optional<LdData> archivedDataWithRootObject(const LdValue& root,
                                                            LdError* error = nullptr);
};

// Reads keyed archives from untrusted data. Class operations only; safe on any thread.
class LdKeyedUnarchiver {
public:
    // {NSDictionary, NSArray, NSString, NSNumber, NSData, NSDate, NSDecimalNumber}
    static const std::set<std::string>& defaultAllowedClasses();

    // unarchivedObjectOfClasses:fromData:error:
    // Decodes the root object. Every class met must be allowed ("secure coding"): named in
    // `allowedClasses`, or a subclass of an allowed class (NSMutableDictionary when NSDictionary is
    // allowed, NSDecimalNumber when NSNumber is). Plain strings and numbers are always allowed.
    // NSSet reads as an array, NSNull as null, objects of other classes as dictionaries of their
    // fields plus "$classname". Fails with an error for a class not allowed, a reference cycle, a
    // reference out of range, nesting past 64 objects, a malformed archive, or an archive that
    // would expand past a budget linear in its size.
    static std::optional<LdValue> unarchivedObjectOfClasses(
            const std::set<std::string>& allowedClasses,
            const LdData& data,
            LdError* error = nullptr);

    // unarchivedObjectOfClasses:fromData:error: with defaultAllowedClasses().
    static std::optional<LdValue> unarchivedObjectFromData(const LdData& data,
                                                           LdError* error = nullptr);
};
