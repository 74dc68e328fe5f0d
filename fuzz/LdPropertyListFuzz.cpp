// Fuzz target of the property-list readers (binary and XML) and the keyed-archive decoder: every
// input goes through both. Whatever reads is written again, and the written form must read back and
// write the same bytes, so writer and reader faults show up as well as crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "core/support/plist/LdKeyedArchive.h"
#include "core/support/plist/LdPropertyList.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The classes the keyed-archive samples of the corpus use, beside the default ones.
const std::set<std::string>& extendedClasses() {
    static const std::set<std::string> kClasses = [] {
        std::set<std::string> classes = LdKeyedUnarchiver::defaultAllowedClasses();
        classes.insert({"NSSet", "NSNull", "LdTestRecord", "LdError", "OC_BuiltinPythonUnicode"});
        return classes;
    }();
    return kClasses;
}

// The class names of the custom objects in a value, so that its archive may be decoded again.
void collectClassNames(const LdValue& value, std::set<std::string>& names) {
    if (value.isArray()) {
        for (const LdValue& item : value.arrayValue()) {
            collectClassNames(item, names);
        }
    } else if (value.isDictionary()) {
        if (const LdValue* name = value.find(kLdArchiveClassNameKey); name && name->isString()) {
            names.insert(name->stringValue());
        }
        for (const auto& entry : value.dictionaryValue()) {
            collectClassNames(entry.second, names);
        }
    }
}

// A value that a form can write must read back and write the same bytes again.
void checkPropertyListRoundTrip(const LdValue& value, LdPropertyList::Format format) {
    const std::optional<LdData> written = LdPropertyList::dataWithPropertyList(value, format);
    if (!written) {
        return;
    }
    const std::optional<LdValue> readBack = LdPropertyList::propertyListWithData(*written);
    require(readBack.has_value());
    require(LdPropertyList::dataWithPropertyList(*readBack, format) == written);
}

// An archivable value must decode again and archive to the same bytes.
void checkArchiveRoundTrip(const LdValue& value) {
    const std::optional<LdData> archive = LdKeyedArchiver::archivedDataWithRootObject(value);
    if (!archive) {
        return;
    }
    std::set<std::string> classes = extendedClasses();
    collectClassNames(value, classes);
    const std::optional<LdValue> decoded =
            LdKeyedUnarchiver::unarchivedObjectOfClasses(classes, *archive);
    require(decoded.has_value());
    require(LdKeyedArchiver::archivedDataWithRootObject(*decoded) == archive);
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the entry point libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const LdData input(data, data + size);

    if (const std::optional<LdValue> plist = LdPropertyList::propertyListWithData(input)) {
        checkPropertyListRoundTrip(*plist, LdPropertyList::Format::Binary);
        checkPropertyListRoundTrip(*plist, LdPropertyList::Format::XML);
        checkArchiveRoundTrip(*plist);
    }

    (void)LdKeyedUnarchiver::unarchivedObjectFromData(input);
    if (const std::optional<LdValue> object =
                LdKeyedUnarchiver::unarchivedObjectOfClasses(extendedClasses(), input)) {
        checkArchiveRoundTrip(*object);
    }
    return 0;
}
