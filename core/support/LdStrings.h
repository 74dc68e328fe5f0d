// Look-up of the texts a user sees, by key, in the library's strings tables (English texts compiled into the
// library from resources/strings/).
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* LdCoreLocalizable = "LdCoreLocalizable";
inline constexpr const char* LdCDatabaseMerge = "LdCDatabaseMerge";
inline constexpr const char* LdCCategories = "LdCCategories";

class LdStrings {
public:
    // The text of `key` in `table`; a key the table lacks yields the key itself. Thread-safe.
    static std::string localizedString(std::string_view key, std::string_view table = LdCoreLocalizable);

    // stringWithFormat: for the placeholders the tables use — "%@", "%lu", "%i", "%d", "%ld" — filled in
    // order from `arguments`; "%%" is a percent sign. Missing arguments leave nothing; extra ones are ignored.
    static std::string format(std::string_view format, const std::vector<std::string>& arguments);

    // The text of `key` with its placeholders filled.
    static std::string localizedFormat(std::string_view key,
                                       const std::vector<std::string>& arguments,
                                       std::string_view table = LdCoreLocalizable);
};
