// Parsing XML that comes from outside (files, network answers) with libxml2 so that it cannot
// reach anything: no network, no DTD loading, no entity substitution — a document that declares
// an entity is refused — and errors are returned, not printed.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include <libxml/tree.h>

namespace ld::detail {

struct LdXMLDocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using LdXMLDocument = std::unique_ptr<xmlDoc, LdXMLDocumentDeleter>;

// Why a parse gave no document; each caller words it for its own kind of file.
enum class LdUntrustedXMLFailure { None, TooLarge, NoParser, DeclaresEntity, Malformed };

// The parsed document of `data`, or nullptr with the reason in `failure`. `extraOptions` are
// further XML_PARSE_… flags.
LdXMLDocument ldParseUntrustedXML(std::span<const std::uint8_t> data,
                                  int extraOptions,
                                  LdUntrustedXMLFailure& failure);

}  // namespace ld::detail
