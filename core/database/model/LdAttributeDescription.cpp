// The type names of LdAttributeDescription.
#include "core/database/model/LdAttributeDescription.h"

std::string_view LdAttributeDescription::typeName(LdAttributeType type) {
    switch (type) {
        case LdAttributeType::Integer16:
            return "Integer16";
        case LdAttributeType::Integer32:
            return "Integer32";
        case LdAttributeType::Integer64:
            return "Integer64";
        case LdAttributeType::Decimal:
            return "Decimal";
        case LdAttributeType::Double:
            return "Double";
        case LdAttributeType::Float:
            return "Float";
        case LdAttributeType::String:
            return "String";
        case LdAttributeType::Boolean:
            return "Boolean";
        case LdAttributeType::Date:
            return "Date";
        case LdAttributeType::Binary:
            return "Binary";
        case LdAttributeType::Transformable:
            return "Transformable";
    }
    return "Unknown";
}
