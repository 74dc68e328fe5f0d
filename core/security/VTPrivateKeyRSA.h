// VTPrivateKeyRSA: an RSA private key as the fields of the PKCS#1 private-key structure, with its
// PKCS#1 and PKCS#8 (PrivateKeyInfo) encodings.
#pragma once

#include <cstdint>
#include <optional>

#include "core/security/VTPublicKeyRSA.h"

class VTPrivateKeyRSA {
public:
    // The fields in the structure's order, big-endian unsigned bytes.
    std::int64_t version = 0;
    LdData modulus;
    LdData publicExponent;
    LdData privateExponent;
    LdData prime_p;  // NOLINT(readability-identifier-naming)
    LdData prime_q;  // NOLINT(readability-identifier-naming)
    LdData exponent1;
    LdData exponent2;
    LdData coefficient;

    // pkcs1Encoded — RSAPrivateKey: SEQUENCE of the version and the eight numbers.
    LdData pkcs1Encoded() const;
    // pkcs8Encoded — PrivateKeyInfo: version 0, rsaEncryption, the PKCS#1 bytes as OCTET STRING.
    LdData pkcs8Encoded() const;
    VTPublicKeyRSA publicKey() const { return VTPublicKeyRSA(modulus, publicExponent); }

    // The key of PKCS#1 or PKCS#8 DER bytes; nothing for bytes that are neither.
    static std::optional<VTPrivateKeyRSA> fromDER(const LdData& der);
};
