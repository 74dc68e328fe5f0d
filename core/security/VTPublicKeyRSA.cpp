#include "core/security/VTPublicKeyRSA.h"

#include <algorithm>
#include <span>

#include "core/security/VTCryptoTLVParser.h"
#include "core/support/foundation/LdBase64.h"

namespace {

LdData withoutLeadingZeros(LdData bytes) {
    const auto first =
            std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; });
    bytes.erase(bytes.begin(), first);
    return bytes;
}

// The whole of `der` as one node with `tag`; nothing when it is damaged, longer or of another tag.
std::optional<VTCryptoTLV> wholeNode(const LdData& der, std::uint64_t tag) {
    auto node = VTCryptoTLVParser::parseSingleTlvObject(std::span<const std::uint8_t>(der));
    if (!node || node->tag() != tag || node->totalLength() != der.size()) {
        return std::nullopt;
    }
    return node;
}

std::optional<VTPublicKeyRSA> fromPKCS1(const LdData& der) {
    auto sequence = wholeNode(der, VTCryptoTLV::kTagSequence);
    if (!sequence || sequence->children().size() != 2) {
        return std::nullopt;
    }
    const auto& children = sequence->children();
    auto modulus = VTPublicKeyRSA::unsignedInteger(children[0]);
    auto exponent = VTPublicKeyRSA::unsignedInteger(children[1]);
    if (!modulus || !exponent || modulus->empty() || exponent->empty()) {
        return std::nullopt;
    }
    return VTPublicKeyRSA(std::move(*modulus), std::move(*exponent));
}

}  // namespace

VTPublicKeyRSA::VTPublicKeyRSA(LdData modulus, LdData exponent)
    : modulus_(withoutLeadingZeros(std::move(modulus))),
      exponent_(withoutLeadingZeros(std::move(exponent))) {}

const LdData& VTPublicKeyRSA::rsaEncryptionIdentifier() {
    static const LdData kIdentifier{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    return kIdentifier;
}

VTCryptoTLV VTPublicKeyRSA::integerNode(const LdData& unsignedBytes) {
    LdData content = withoutLeadingZeros(unsignedBytes);
    if (content.empty() || (content.front() & 0x80U) != 0) {
        content.insert(content.begin(), 0x00);
    }
    return VTCryptoTLV(VTCryptoTLV::kTagInteger, std::move(content));
}

std::optional<LdData> VTPublicKeyRSA::unsignedInteger(const VTCryptoTLV& node) {
    if (node.tag() != VTCryptoTLV::kTagInteger || node.value().empty() ||
        (node.value().front() & 0x80U) != 0) {
        return std::nullopt;
    }
    return withoutLeadingZeros(node.value());
}

LdData VTPublicKeyRSA::pkcs1Encoded() const {
    VTCryptoTLV sequence(VTCryptoTLV::kTagSequence);
    sequence.addChildObject(integerNode(modulus_));
    sequence.addChildObject(integerNode(exponent_));
    return sequence.dataRepresentation();
}

LdData VTPublicKeyRSA::pkcs8Encoded() const {
    VTCryptoTLV algorithm(VTCryptoTLV::kTagSequence);
    algorithm.addChildObject(
            VTCryptoTLV(VTCryptoTLV::kTagObjectIdentifier, rsaEncryptionIdentifier()));
    algorithm.addChildObject(VTCryptoTLV(VTCryptoTLV::kTagNull));
    LdData bits{0x00};  // no unused bits
    const LdData pkcs1 = pkcs1Encoded();
    bits.insert(bits.end(), pkcs1.begin(), pkcs1.end());
    VTCryptoTLV info(VTCryptoTLV::kTagSequence);
    info.addChildObject(std::move(algorithm));
    info.addChildObject(VTCryptoTLV(VTCryptoTLV::kTagBitString, std::move(bits)));
    return info.dataRepresentation();
}

std::string VTPublicKeyRSA::toBase64EncodedPKCS8FileRepresentationWithPEMArmor(bool armor) const {
    if (armor) {
        return ldPemText(pkcs8Encoded(), "PUBLIC KEY");
    }
    return LdBase64::encode(pkcs8Encoded());
}

std::optional<VTPublicKeyRSA> VTPublicKeyRSA::fromDER(const LdData& der) {
    if (auto key = fromPKCS1(der)) {
        return key;
    }
    auto info = wholeNode(der, VTCryptoTLV::kTagSequence);
    if (!info || info->children().size() != 2) {
        return std::nullopt;
    }
    const VTCryptoTLV& algorithm = info->children()[0];
    const VTCryptoTLV& bits = info->children()[1];
    if (algorithm.tag() != VTCryptoTLV::kTagSequence || algorithm.children().empty() ||
        algorithm.children()[0].tag() != VTCryptoTLV::kTagObjectIdentifier ||
        algorithm.children()[0].value() != rsaEncryptionIdentifier() ||
        bits.tag() != VTCryptoTLV::kTagBitString || bits.value().empty() ||
        bits.value().front() != 0) {
        return std::nullopt;
    }
    return fromPKCS1(LdData(bits.value().begin() + 1, bits.value().end()));
}

std::optional<LdData> ldPemContent(std::string_view text, std::string* label) {
    const std::size_t begin = text.find("-----BEGIN");
    if (begin == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t lineEnd = text.find('\n', begin);
    if (lineEnd == std::string_view::npos) {
        return std::nullopt;
    }
    if (label != nullptr) {
        std::string_view line = text.substr(begin + 11, lineEnd - begin - 11);
        const std::size_t dashes = line.find("-----");
        *label = std::string(line.substr(0, dashes));
    }
    const std::size_t end = text.find("-----", lineEnd);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    std::string base64;
    for (char character : text.substr(lineEnd + 1, end - lineEnd - 1)) {
        if (character != '\n' && character != '\r' && character != ' ' && character != '\t') {
            base64.push_back(character);
        }
    }
    auto bytes = LdBase64::decode(base64);
    if (!bytes || bytes->empty()) {
        return std::nullopt;
    }
    return bytes;
}

std::string ldPemText(const LdData& der, std::string_view label) {
    const std::string base64 = LdBase64::encode(der);
    std::string text = "-----BEGIN " + std::string(label) + "-----\n";
    for (std::size_t offset = 0; offset < base64.size(); offset += 64) {
        text += base64.substr(offset, 64) + "\n";
    }
    return text + "-----END " + std::string(label) + "-----\n";
}
