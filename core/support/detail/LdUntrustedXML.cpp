#include "core/support/detail/LdUntrustedXML.h"

#include <climits>

#include <libxml/parser.h>

namespace ld::detail {

namespace {

struct ContextDeleter {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

// Set through the parser context when the document declares an entity.
struct ParseState {
    bool declaresEntity = false;
};

// Replaces libxml2's entity declaration handler: no entity is ever registered, and the parse stops,
// so neither expansion bombs nor external entities can reach us.
void refuseEntityDeclaration(void* context,
                             const xmlChar* /*name*/,
                             int /*type*/,
                             const xmlChar* /*publicId*/,
                             const xmlChar* /*systemId*/,
                             xmlChar* /*content*/) {
    auto* parserContext = static_cast<xmlParserCtxt*>(context);
    static_cast<ParseState*>(parserContext->_private)->declaresEntity = true;
    xmlStopParser(parserContext);
}

}  // namespace

LdXMLDocument ldParseUntrustedXML(std::span<const std::uint8_t> data,
                                  int extraOptions,
                                  LdUntrustedXMLFailure& failure) {
    static const bool kInitialized = [] {
        xmlInitParser();
        return true;
    }();
    (void)kInitialized;
    failure = LdUntrustedXMLFailure::None;
    if (data.size() > static_cast<std::size_t>(INT_MAX)) {
        failure = LdUntrustedXMLFailure::TooLarge;
        return nullptr;
    }
    std::unique_ptr<xmlParserCtxt, ContextDeleter> context(xmlNewParserCtxt());
    if (!context || context->sax == nullptr) {
        failure = LdUntrustedXMLFailure::NoParser;
        return nullptr;
    }
    ParseState state;
    context->_private = &state;
    context->sax->entityDecl = refuseEntityDeclaration;
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | extraOptions;
    LdXMLDocument document(
            xmlCtxtReadMemory(context.get(), reinterpret_cast<const char*>(data.data()),
                              static_cast<int>(data.size()), nullptr, nullptr, options));
    if (state.declaresEntity) {
        failure = LdUntrustedXMLFailure::DeclaresEntity;
        return nullptr;
    }
    if (!document) {
        failure = LdUntrustedXMLFailure::Malformed;
    }
    return document;
}

}  // namespace ld::detail
