// Fuzz target of the IBAN search in free text (a transaction's purpose). Besides crashes and
// sanitizer reports it checks that both search operations agree, that every IBAN found is valid,
// upper-case and stands in the filtered text, and that bank code and account number can be read
// from it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/online/sepa/LdIBANChecker.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string upperCased(std::string text) {
    for (char& character : text) {
        if (character >= 'a' && character <= 'z') {
            character = static_cast<char>(character - 'a' + 'A');
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto all = LdIBANChecker::findAllValidIBANsInString(text);
    const auto any = LdIBANChecker::findAnyValidIBANInString(text);
    require(all.empty() == !any.has_value());
    if (any) {
        require(*any == all.front());
    }
    const std::string filtered = upperCased(LdIBANChecker::filteredString(text));
    for (const std::string& iban : all) {
        require(LdIBANChecker::isValidIBAN(iban));
        require(iban == upperCased(iban));
        require(iban.find(' ') == std::string::npos);
        require(filtered.find(iban) != std::string::npos);
        require(LdIBANChecker::bankIDFromIBAN(iban).has_value());
        require(LdIBANChecker::accountIDFromIBAN(iban).has_value());
    }
    // The parts of any text never fail hard.
    (void)LdIBANChecker::bankIDFromIBAN(text);
    (void)LdIBANChecker::accountIDFromIBAN(text);
    (void)LdIBANChecker::isValidIBAN(text);
    return 0;
}
