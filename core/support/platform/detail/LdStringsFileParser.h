// Reading of strings-table text files: `"KEY" = "Text";` lines with comments.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ld::detail {

struct StringsFileContents {
    std::map<std::string, std::string, std::less<>> entries;
    // One line per problem ("line 12: expected ';'"); empty for a clean file.
    std::vector<std::string> problems;
};

// Parses the text form of a strings table: entries `"KEY" = "Text";`, separated by white space and
// comments (`/* ... */`, `// ...`). Quoted texts know the escapes \" \\ \n \t \r \' and \UXXXX (a
// code point, written as UTF-8); keys and texts made only of letters, digits and `_.-$:/` may go
// without quotes. A leading UTF-8 byte-order mark is skipped. A malformed entry is reported and
// skipped up to the end of its line; a repeated key keeps its last text and is reported.
StringsFileContents parseStringsFile(std::string_view text);

}  // namespace ld::detail
