// Fuzz target of the BER/DER reader and writer. Every input is read as one node and as a list of
// nodes. Whatever reads is written in DER, and the written bytes must read back to a node that
// writes the same bytes again and holds the same tags, values and children; the description must
// not crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/security/VTCryptoTLV.h"
#include "core/security/VTCryptoTLVParser.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The same tags, values and children throughout both trees. Lengths of constructed nodes may
// differ: their children's BER length fields may have been longer than DER's.
bool sameTree(const VTCryptoTLV& first, const VTCryptoTLV& second) {
    if (first.tag() != second.tag() || first.isConstructed() != second.isConstructed() ||
        first.value() != second.value() || first.children().size() != second.children().size()) {
        return false;
    }
    for (std::size_t index = 0; index < first.children().size(); ++index) {
        if (!sameTree(first.children()[index], second.children()[index])) {
            return false;
        }
    }
    return true;
}

void checkRoundTrip(const VTCryptoTLV& node, std::size_t available) {
    require(node.totalLength() <= available);
    const LdData written = node.dataRepresentation();
    require(written.size() <= node.totalLength());
    const std::optional<VTCryptoTLV> reread = VTCryptoTLVParser::parseSingleTlvObject(written);
    require(reread.has_value());
    require(reread->totalLength() == written.size());
    require(sameTree(node, *reread));
    require(reread->dataRepresentation() == written);
    (void)node.descriptionWithIndentionLevel(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    if (const std::optional<VTCryptoTLV> node = VTCryptoTLVParser::parseSingleTlvObject(bytes)) {
        checkRoundTrip(*node, size);
    }
    if (const auto nodes = VTCryptoTLVParser::parseTlvList(bytes, size)) {
        std::size_t used = 0;
        for (const VTCryptoTLV& node : *nodes) {
            checkRoundTrip(node, size - used);
            used += static_cast<std::size_t>(node.totalLength());
        }
        require(used == size);
    }
    return 0;
}
