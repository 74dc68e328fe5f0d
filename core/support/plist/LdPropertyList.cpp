// Chooses the property-list form; the forms themselves live in detail/.
#include "core/support/plist/LdPropertyList.h"

#include "core/support/plist/detail/LdBinaryPropertyList.h"
#include "core/support/plist/detail/LdPropertyListSupport.h"
#include "core/support/plist/detail/LdXMLPropertyList.h"

std::optional<LdValue> LdPropertyList::propertyListWithData(const LdData& data, LdError* error) {
    return propertyListWithData(data, nullptr, error);
}

std::optional<LdValue> LdPropertyList::propertyListWithData(const LdData& data,
                                                            Format* format,
                                                            LdError* error) {
    if (ld::detail::hasBinaryPropertyListSignature(data)) {
        if (format != nullptr) {
            *format = Format::Binary;
        }
        return ld::detail::readBinaryPropertyList(data, error);
    }
    if (format != nullptr) {
        *format = Format::XML;
    }
    return ld::detail::readXMLPropertyList(data, error);
}

std::optional<LdData> LdPropertyList::dataWithPropertyList(const LdValue& value,
                                                           Format format,
                                                           LdError* error) {
    switch (format) {
        case Format::Binary:
            return ld::detail::writeBinaryPropertyList(value, error);
        case Format::XML:
            return ld::detail::writeXMLPropertyList(value, error);
    }
    failWith(error, ld::detail::plistError("Unknown property-list format."));
    return std::nullopt;
}
