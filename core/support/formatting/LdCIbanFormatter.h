// LdCIbanFormatter: the display form of an IBAN (groups of four) and its reading back.
#pragma once

#include <string>
#include <string_view>

// Stateless; class operations only.
class LdCIbanFormatter {
public:
    // stringForObjectValue: — the IBAN without blanks, with a blank after every fourth character
    // when it has 5 characters or more: "DE89 3704 0044 0532 0130 00".
    static std::string stringForObjectValue(std::string_view iban);
    // getObjectValue:forString:errorDescription: — the text with all blanks removed.
    static std::string getObjectValue(std::string_view string);
};
