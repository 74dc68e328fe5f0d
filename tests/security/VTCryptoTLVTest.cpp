// Tests of the BER/DER reader and writer: the fields of parsed nodes (class, constructed bit,
// multi-byte tags, short and long lengths), trees of an RSA public key, the DER writer, and the
// refusal of damaged input.
#include "core/security/VTCryptoTLV.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/security/VTCrypto.h"
#include "core/security/VTCryptoTLVParser.h"

namespace {

LdData hexBytes(std::string_view hex) {
    const std::optional<LdData> data = VTCrypto::hexStringToData(hex);
    EXPECT_TRUE(data.has_value()) << hex;
    return data.value_or(LdData{});
}

// SubjectPublicKeyInfo of a toy RSA key (modulus 0x00C3, exponent 65537).
constexpr const char* kPublicKeyInfo =
        "30 1E"
        "   30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00"
        "   03 0D 00 30 0A 02 03 00 C3 00 02 03 01 00 01";

}  // namespace

TEST(VTCryptoTLVParserTest, ParsesPublicKeyInfoTree) {
    const LdData bytes = hexBytes(kPublicKeyInfo);
    const std::optional<VTCryptoTLV> root = VTCryptoTLVParser::parseSingleTlvObject(bytes);
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->tag(), VTCryptoTLV::kTagSequence);
    EXPECT_TRUE(root->isConstructed());
    EXPECT_EQ(root->type(), VTCryptoTLV::Universal);
    EXPECT_EQ(root->cleanTag(), 16);
    EXPECT_EQ(root->length(), 0x1Eu);
    EXPECT_EQ(root->totalLength(), bytes.size());
    ASSERT_EQ(root->children().size(), 2u);

    const VTCryptoTLV* oid = root->findChildWithTag(VTCryptoTLV::kTagObjectIdentifier, true);
    ASSERT_NE(oid, nullptr);
    EXPECT_EQ(VTCrypto::dataToHexString(oid->value()), "2A 86 48 86 F7 0D 01 01 01");
    EXPECT_EQ(root->findChildWithTag(VTCryptoTLV::kTagObjectIdentifier), nullptr);
    EXPECT_EQ(root->findAllChildrenWithTag(VTCryptoTLV::kTagInteger, true).size(), 0u)
            << "the integers sit inside a BIT STRING, a primitive node";
    EXPECT_EQ(root->dataRepresentation(), bytes);

    const std::string description = root->descriptionWithIndentionLevel(0);
    EXPECT_NE(description.find("SEQUENCE (30 bytes)\n  SEQUENCE (13 bytes)\n    OBJECT IDENTIFIER"),
              std::string::npos)
            << description;
}

TEST(VTCryptoTLVParserTest, ReadsTagFormsAndLengthForms) {
    struct Case {
        const char* what;
        const char* hex;
        std::int32_t type;
        bool constructed;
        std::uint64_t tag;
        std::uint8_t cleanTag;
        std::uint64_t length;
    };
    const std::string longContent(200 * 2, '0');
    const std::vector<Case> cases = {
            {"context primitive", "80 01 FF", VTCryptoTLV::ContextSpecific, false, 0x80, 0, 1},
            {"context constructed", "A3 00", VTCryptoTLV::ContextSpecific, true, 0xA3, 3, 0},
            {"private", "C5 00", VTCryptoTLV::Private, false, 0xC5, 5, 0},
            {"two-byte tag", "5F 20 00", VTCryptoTLV::Application, false, 0x5F20, 0x20, 0},
            {"three-byte tag", "9F 81 01 00", VTCryptoTLV::ContextSpecific, false, 0x9F8101, 1, 0},
            {"eight-byte tag", "1F 81 81 81 81 81 81 01 00", VTCryptoTLV::Universal, false,
             0x1F81818181818101, 1, 0},
    };
    for (const Case& item : cases) {
        const LdData bytes = hexBytes(item.hex);
        const std::optional<VTCryptoTLV> node = VTCryptoTLVParser::parseSingleTlvObject(bytes);
        ASSERT_TRUE(node.has_value()) << item.what;
        EXPECT_EQ(node->type(), item.type) << item.what;
        EXPECT_EQ(node->isConstructed(), item.constructed) << item.what;
        EXPECT_EQ(node->tag(), item.tag) << item.what;
        EXPECT_EQ(node->cleanTag(), item.cleanTag) << item.what;
        EXPECT_EQ(node->length(), item.length) << item.what;
        EXPECT_EQ(node->dataRepresentation(), bytes) << item.what;
    }

    // Long lengths: 0x81 for 128..255, 0x82 for two bytes; a non-minimal BER form is read and
    // counted as read, and written back in DER.
    LdData twoBytes = hexBytes("04 82 01 2C");
    twoBytes.resize(4 + 300, 0x5A);
    const auto node = VTCryptoTLVParser::parseSingleTlvObject(twoBytes);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->length(), 300u);
    EXPECT_EQ(node->totalLength(), 304u);
    LdData nonMinimal = hexBytes("04 84 00 00 00 02 AB CD");
    const auto berNode = VTCryptoTLVParser::parseSingleTlvObject(nonMinimal);
    ASSERT_TRUE(berNode.has_value());
    EXPECT_EQ(berNode->totalLength(), nonMinimal.size());
    EXPECT_EQ(berNode->dataRepresentation(), hexBytes("04 02 AB CD"));
}

TEST(VTCryptoTLVParserTest, RefusesDamagedInput) {
    struct Case {
        const char* what;
        std::string hex;
    };
    const std::vector<Case> cases = {
            {"empty", ""},
            {"tag only", "30"},
            {"multi-byte tag cut off", "1F 81"},
            {"nine tag bytes", "1F 81 81 81 81 81 81 81 01 00"},
            {"indefinite length", "30 80 00 00"},
            {"five length bytes", "04 85 00 00 00 00 01 AA"},
            {"long length cut off", "04 82 01"},
            {"content beyond the end", "04 05 01 02"},
            {"child overruns parent", "30 03 04 03 01 02 03"},
            {"child cut off inside parent", "30 02 04"},
    };
    for (const Case& item : cases) {
        LdError error;
        EXPECT_FALSE(VTCryptoTLVParser::parseSingleTlvObject(hexBytes(item.hex), &error))
                << item.what;
        EXPECT_TRUE(error.isSet()) << item.what;
    }
}

TEST(VTCryptoTLVParserTest, CapsNestingDepth) {
    // `levels` SEQUENCEs, each holding the next, the innermost empty.
    const auto nested = [](int levels) {
        VTCryptoTLV node(VTCryptoTLV::kTagSequence);
        for (int level = 1; level < levels; ++level) {
            VTCryptoTLV parent(VTCryptoTLV::kTagSequence);
            parent.addChildObject(std::move(node));
            node = std::move(parent);
        }
        return node.dataRepresentation();
    };
    EXPECT_TRUE(VTCryptoTLVParser::parseSingleTlvObject(nested(VTCryptoTLVParser::kMaximumDepth)));
    EXPECT_FALSE(
            VTCryptoTLVParser::parseSingleTlvObject(nested(VTCryptoTLVParser::kMaximumDepth + 1)));
}

TEST(VTCryptoTLVParserTest, ParsesListOfGivenLength) {
    const LdData bytes = hexBytes("02 01 05 04 00 05 00 FF FF");
    const auto nodes = VTCryptoTLVParser::parseTlvList(bytes, 7);
    ASSERT_TRUE(nodes.has_value());
    ASSERT_EQ(nodes->size(), 3u);
    EXPECT_EQ((*nodes)[0].value(), LdData{5});
    EXPECT_EQ((*nodes)[2].tag(), VTCryptoTLV::kTagNull);
    EXPECT_FALSE(VTCryptoTLVParser::parseTlvList(bytes, 6)) << "the last node is cut off";
    EXPECT_FALSE(VTCryptoTLVParser::parseTlvList(bytes, 10)) << "length beyond the bytes";
    EXPECT_TRUE(VTCryptoTLVParser::parseTlvList(bytes, 0).value().empty());
}

TEST(VTCryptoTLVTest, BuildsDERWithLengthsOfEveryForm) {
    EXPECT_EQ(VTCryptoTLV::generateLengthFieldForLength(0), hexBytes("00"));
    EXPECT_EQ(VTCryptoTLV::generateLengthFieldForLength(127), hexBytes("7F"));
    EXPECT_EQ(VTCryptoTLV::generateLengthFieldForLength(128), hexBytes("81 80"));
    EXPECT_EQ(VTCryptoTLV::generateLengthFieldForLength(256), hexBytes("82 01 00"));
    EXPECT_EQ(VTCryptoTLV::generateLengthFieldForLength(0x01000000), hexBytes("84 01 00 00 00"));

    VTCryptoTLV sequence(VTCryptoTLV::kTagSequence);
    sequence.addChildObject(VTCryptoTLV(VTCryptoTLV::kTagInteger, LdData{0x01}));
    sequence.addChildObject(VTCryptoTLV(VTCryptoTLV::kTagOctetString, LdData(200, 0xEE)));
    EXPECT_EQ(sequence.length(), 3u + 203u);
    EXPECT_EQ(sequence.totalLength(), 1u + 2u + 206u);
    const LdData der = sequence.dataRepresentation();
    ASSERT_EQ(der.size(), sequence.totalLength());
    EXPECT_EQ(LdData(der.begin(), der.begin() + 8), hexBytes("30 81 CE 02 01 01 04 81"));

    const auto reparsed = VTCryptoTLVParser::parseSingleTlvObject(der);
    ASSERT_TRUE(reparsed.has_value());
    EXPECT_EQ(reparsed->findAllChildrenWithTag(VTCryptoTLV::kTagOctetString, false).size(), 1u);
    EXPECT_EQ(reparsed->dataRepresentation(), der);
}
