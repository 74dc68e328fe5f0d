// LdPredicateParser: reads the predicate format language ("account == %@ AND date <= %@") into an
// LdPredicate tree, filling placeholders from an argument list.
#pragma once

#include <string_view>
#include <vector>

#include "core/database/predicate/LdPredicate.h"
#include "core/support/LdError.h"

// The language:
//   predicate   := or-term ; NOT binds tighter than AND, AND tighter than OR
//   or-term     := and-term { (OR | "||") and-term }
//   and-term    := not-term { (AND | "&&") not-term }
//   not-term    := (NOT | "!") not-term | "(" or-term ")" | TRUEPREDICATE | FALSEPREDICATE |
//   comparison comparison  := [ANY | SOME | ALL | NONE] expression operator [options] expression
//   operator    := == = != <> < <= =< > >= => IN LIKE BEGINSWITH ENDSWITH CONTAINS MATCHES BETWEEN
//   options     := "[c]" | "[d]" | "[cd]" (also after a blank: "contains [cd]")
//   expression  := literal | key-path | SELF | placeholder | "{" [expression {"," expression}] "}"
//   key-path    := (name | %K) {"." name} ["." "@"name] ; "SELF." in front is dropped; "#name"
//                  escapes a reserved word; a collection operator ("@count") ends the path
//   literal     := 'text' | "text" | integer | decimal | YES | NO | TRUE | FALSE | nil | NULL
// Keywords ignore case. Texts take the backslash escapes \" \' \\ \n \r \t \0 \uXXXX; inside quotes
// "%%" is one percent sign and placeholders are plain text. Numbers with a point or an exponent
// become LdDecimal (a binary double only when out of the decimal's range), numbers without one
// integers (LdDecimal beyond 64 bits). NONE is read as NOT of the ANY comparison. BETWEEN needs a
// list of two on its right side.
//
// Placeholders take the arguments in order: %@ any argument; %K a text holding a key path (names
// and a final "@name", checked like the format's own key paths, so no argument can smuggle other
// text into a query); %i %d %li %ld %lli %lld a whole number (YES and NO read as 1 and 0); %u %lu
// %llu a non-negative whole number; %f %lf a number, kept as a binary double. Missing, surplus and
// ill-typed arguments are errors.
//
// Untrusted text is safe to parse: time and memory are linear in the length of the format, nesting
// of parentheses, NOT and braces is capped at kMaxNestingDepth, and bytes beyond ASCII pass
// through.
class LdPredicateParser {
public:
    static constexpr int kMaxNestingDepth = 100;

    // predicateWithFormat:argumentArray:
    // Returns the parsed predicate. An empty format means "no predicate": nullptr without an error.
    // Any other failure returns nullptr and an error titled "_ERROR" whose description names the
    // fault and its position, a 0-based byte offset into the format ("Predicate format error at
    // position 7: missing expression after '=='").
    static LdPredicatePtr predicateWithFormat(
            std::string_view format,
            const std::vector<LdPredicateArgument>& arguments = {},
            LdError* error = nullptr);
    // A null format, as callers pass nil: nullptr without an error.
    static LdPredicatePtr predicateWithFormat(
            const char* format,
            const std::vector<LdPredicateArgument>& arguments = {},
            LdError* error = nullptr);
};
