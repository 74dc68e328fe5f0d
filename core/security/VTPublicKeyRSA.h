// VTPublicKeyRSA: an RSA public key as its two numbers, with its PKCS#1 and PKCS#8
// (SubjectPublicKeyInfo) encodings and its PEM text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/security/VTCryptoTLV.h"
#include "core/support/foundation/LdValue.h"

class VTPublicKeyRSA {
public:
    VTPublicKeyRSA() = default;
    VTPublicKeyRSA(LdData modulus, LdData exponent);

    // Big-endian unsigned bytes without leading zeros.
    const LdData& modulus() const { return modulus_; }
    const LdData& exponent() const { return exponent_; }

    // pkcs1Encoded — RSAPublicKey: SEQUENCE { INTEGER modulus, INTEGER exponent }.
    LdData pkcs1Encoded() const;
    // pkcs8Encoded — SubjectPublicKeyInfo with the algorithm rsaEncryption.
    LdData pkcs8Encoded() const;
    // toBase64EncodedPKCS8FileRepresentationWithPEMArmor: — Base64 of the PKCS#8 bytes in lines of
    // 64 characters, between "-----BEGIN PUBLIC KEY-----" and "-----END PUBLIC KEY-----" with
    // armour.
    std::string toBase64EncodedPKCS8FileRepresentationWithPEMArmor(bool armor) const;

    // The key of PKCS#1 or PKCS#8 DER bytes; nothing for bytes that are neither.
    static std::optional<VTPublicKeyRSA> fromDER(const LdData& der);

    // The rsaEncryption object identifier's content bytes (1.2.840.113549.1.1.1).
    static const LdData& rsaEncryptionIdentifier();
    // A DER INTEGER node of big-endian unsigned bytes (a 0x00 is put before a high first bit).
    static VTCryptoTLV integerNode(const LdData& unsignedBytes);
    // The unsigned big-endian bytes of a DER INTEGER's content; nothing for a negative number.
    static std::optional<LdData> unsignedInteger(const VTCryptoTLV& node);

private:
    LdData modulus_;
    LdData exponent_;
};

// The Base64 content between a line that begins with "-----BEGIN" and the next line that begins
// with "-----"; nothing when there is none or it is no Base64. `label` receives the text between
// "-----BEGIN " and the closing dashes ("PUBLIC KEY").
std::optional<LdData> ldPemContent(std::string_view text, std::string* label = nullptr);
// PEM text of DER bytes under `label`.
std::string ldPemText(const LdData& der, std::string_view label);
