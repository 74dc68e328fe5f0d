// The strings tables compiled into the library (see cmake/LdStringsTables.cmake), parsed once on
// first use, and the filling of their placeholders.
#include "core/support/LdStrings.h"

#include <cstddef>
#include <map>
#include <string>

#include "core/support/platform/detail/LdStringsFileParser.h"

namespace ld::detail {
// Defined by the index source that cmake/LdStringsTables.cmake generates: one entry per table file.
struct StringsTableBytes {
    const char* name;
    const unsigned char* bytes;
    const std::size_t* size;
};
extern const StringsTableBytes kStringsTables[];
extern const std::size_t kStringsTableCount;
}  // namespace ld::detail

namespace {

using Table = std::map<std::string, std::string, std::less<>>;
using Tables = std::map<std::string, Table, std::less<>>;

// Parsed on first use; the initialisation of a function-local static is thread-safe and later reads
// only read.
const Tables& tables() {
    static const Tables parsed = [] {
        Tables result;
        for (std::size_t index = 0; index < ld::detail::kStringsTableCount; ++index) {
            const ld::detail::StringsTableBytes& table = ld::detail::kStringsTables[index];
            const std::string_view text(
                    reinterpret_cast<const char*>(table.bytes),  // NOLINT: bytes of a text file
                    *table.size);
            result[table.name] = ld::detail::parseStringsFile(text).entries;
        }
        return result;
    }();
    return parsed;
}

}  // namespace

std::string LdStrings::localizedString(std::string_view key, std::string_view table) {
    const Tables& all = tables();
    if (const auto foundTable = all.find(table); foundTable != all.end()) {
        if (const auto found = foundTable->second.find(key); found != foundTable->second.end()) {
            return found->second;
        }
    }
    return std::string(key);
}

std::string LdStrings::format(std::string_view format, const std::vector<std::string>& arguments) {
    std::string result;
    result.reserve(format.size());
    std::size_t nextArgument = 0;
    std::size_t position = 0;
    while (position < format.size()) {
        const char character = format[position];
        if (character != '%' || position + 1 >= format.size()) {
            result += character;
            ++position;
            continue;
        }
        if (format[position + 1] == '%') {
            result += '%';
            position += 2;
            continue;
        }
        // %[n$][l|ll](@|d|i|u): an optional position ("%2$@"), a length and the conversion.
        std::size_t cursor = position + 1;
        std::size_t explicitIndex = 0;
        while (cursor < format.size() && format[cursor] >= '0' && format[cursor] <= '9' &&
               explicitIndex < 1000) {
            explicitIndex = explicitIndex * 10 + static_cast<std::size_t>(format[cursor] - '0');
            ++cursor;
        }
        const bool positional =
                explicitIndex > 0 && cursor < format.size() && format[cursor] == '$';
        if (positional) {
            ++cursor;
        } else {
            cursor = position + 1;
        }
        while (cursor < format.size() && format[cursor] == 'l' && cursor - position < 6) {
            ++cursor;
        }
        const char conversion = cursor < format.size() ? format[cursor] : '\0';
        if (conversion != '@' && conversion != 'd' && conversion != 'i' && conversion != 'u') {
            // Not a placeholder the tables use: kept as written.
            result += character;
            ++position;
            continue;
        }
        const std::size_t index = positional ? explicitIndex - 1 : nextArgument++;
        if (index < arguments.size()) {
            result += arguments[index];
        }
        position = cursor + 1;
    }
    return result;
}

std::string LdStrings::localizedFormat(std::string_view key,
                                       const std::vector<std::string>& arguments,
                                       std::string_view table) {
    return format(localizedString(key, table), arguments);
}
