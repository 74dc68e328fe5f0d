#include "core/security/VTPrivateKeyRSA.h"

#include <span>

#include "core/security/VTCryptoTLVParser.h"

namespace {

std::optional<VTCryptoTLV> wholeSequence(const LdData& der) {
    auto node = VTCryptoTLVParser::parseSingleTlvObject(std::span<const std::uint8_t>(der));
    if (!node || node->tag() != VTCryptoTLV::kTagSequence || node->totalLength() != der.size()) {
        return std::nullopt;
    }
    return node;
}

std::optional<VTPrivateKeyRSA> fromPKCS1(const LdData& der) {
    auto sequence = wholeSequence(der);
    if (!sequence || sequence->children().size() < 9) {
        return std::nullopt;
    }
    std::vector<LdData> numbers;
    for (std::size_t index = 0; index < 9; ++index) {
        auto number = VTPublicKeyRSA::unsignedInteger(sequence->children()[index]);
        if (!number) {
            return std::nullopt;
        }
        numbers.push_back(std::move(*number));
    }
    // Version 0 has two primes; 1 (more primes) is not read.
    if (numbers[0].size() > 1 || (numbers[0].size() == 1 && numbers[0][0] != 0) ||
        numbers[1].empty()) {
        return std::nullopt;
    }
    VTPrivateKeyRSA key;
    key.modulus = std::move(numbers[1]);
    key.publicExponent = std::move(numbers[2]);
    key.privateExponent = std::move(numbers[3]);
    key.prime_p = std::move(numbers[4]);
    key.prime_q = std::move(numbers[5]);
    key.exponent1 = std::move(numbers[6]);
    key.exponent2 = std::move(numbers[7]);
    key.coefficient = std::move(numbers[8]);
    return key;
}

}  // namespace

LdData VTPrivateKeyRSA::pkcs1Encoded() const {
    VTCryptoTLV sequence(VTCryptoTLV::kTagSequence);
    sequence.addChildObject(
            VTPublicKeyRSA::integerNode(LdData{static_cast<std::uint8_t>(version & 0xFF)}));
    for (const LdData* number : {&modulus, &publicExponent, &privateExponent, &prime_p, &prime_q,
                                 &exponent1, &exponent2, &coefficient}) {
        sequence.addChildObject(VTPublicKeyRSA::integerNode(*number));
    }
    return sequence.dataRepresentation();
}

LdData VTPrivateKeyRSA::pkcs8Encoded() const {
    VTCryptoTLV algorithm(VTCryptoTLV::kTagSequence);
    algorithm.addChildObject(VTCryptoTLV(VTCryptoTLV::kTagObjectIdentifier,
                                         VTPublicKeyRSA::rsaEncryptionIdentifier()));
    algorithm.addChildObject(VTCryptoTLV(VTCryptoTLV::kTagNull));
    VTCryptoTLV info(VTCryptoTLV::kTagSequence);
    info.addChildObject(VTPublicKeyRSA::integerNode(LdData{0x00}));
    info.addChildObject(std::move(algorithm));
    info.addChildObject(VTCryptoTLV(VTCryptoTLV::kTagOctetString, pkcs1Encoded()));
    return info.dataRepresentation();
}

std::optional<VTPrivateKeyRSA> VTPrivateKeyRSA::fromDER(const LdData& der) {
    if (auto key = fromPKCS1(der)) {
        return key;
    }
    auto info = wholeSequence(der);
    if (!info || info->children().size() < 3) {
        return std::nullopt;
    }
    const VTCryptoTLV& algorithm = info->children()[1];
    const VTCryptoTLV& octets = info->children()[2];
    if (algorithm.tag() != VTCryptoTLV::kTagSequence || algorithm.children().empty() ||
        algorithm.children()[0].value() != VTPublicKeyRSA::rsaEncryptionIdentifier() ||
        octets.tag() != VTCryptoTLV::kTagOctetString) {
        return std::nullopt;
    }
    return fromPKCS1(octets.value());
}
