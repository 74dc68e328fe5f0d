// VTCryptoTLV, one node of a BER/DER tag-length-value structure (X.690): the tag with its class and
// constructed bit, the content length, the content of a primitive node or the children of a
// constructed one, and the DER bytes of the node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/support/foundation/LdValue.h"

// A value type: a node owns its children. Not thread-safe while it changes.
class VTCryptoTLV {
public:
    // The classes, the top two bits of the first tag byte.
    enum Class : std::int32_t {
        Universal = 0,
        Application = 1,
        ContextSpecific = 2,
        Private = 3,
    };
    static constexpr std::uint8_t kConstructedBit = 0x20;
    // Universal tags the library builds (the whole first tag byte, constructed bit included).
    static constexpr std::uint64_t kTagInteger = 0x02;
    static constexpr std::uint64_t kTagBitString = 0x03;
    static constexpr std::uint64_t kTagOctetString = 0x04;
    static constexpr std::uint64_t kTagNull = 0x05;
    static constexpr std::uint64_t kTagObjectIdentifier = 0x06;
    static constexpr std::uint64_t kTagSequence = 0x30;
    static constexpr std::uint64_t kTagSet = 0x31;

    // An empty primitive node of tag 0.
    VTCryptoTLV() = default;
    // A node of `tag` (all tag bytes, big-endian, as tag() answers them); primitive with `value`
    // unless the tag has the constructed bit, in which case `value` must be empty and children
    // come through addChildObject.
    explicit VTCryptoTLV(std::uint64_t tag, LdData value = {});

    // type — the class (Class), from the first tag byte.
    std::int32_t type() const;
    // isConstructed — bit 0x20 of the first tag byte.
    bool isConstructed() const;
    // tag — all tag bytes as read, big-endian.
    std::uint64_t tag() const { return tag_; }
    // The number of tag bytes (1 to 8).
    std::size_t tagByteCount() const;
    // cleanTag — the low five bits of a one-byte tag; for a multi-byte tag the low seven bits of
    // its last byte.
    std::uint8_t cleanTag() const;
    // length — the content length.
    std::uint64_t length() const { return length_; }
    // value — the content of a primitive node.
    const LdData& value() const { return value_; }
    // children — the nodes of a constructed node, in order.
    const std::vector<VTCryptoTLV>& children() const { return children_; }
    // totalLength — tag bytes + length bytes + content. A parsed node counts its length field as it
    // was read (BER allows longer forms than DER); a built node counts the DER form.
    std::uint64_t totalLength() const;

    // addChildObject: — appends `child` to this constructed node; the length grows by the child's
    // total length, and the length field is DER from then on.
    void addChildObject(VTCryptoTLV child);

    // findChildWithTag: / findChildWithTag:recursive: — the first child with `tag`, depth first
    // when recursive; nullptr when there is none. Owned by this node.
    const VTCryptoTLV* findChildWithTag(std::uint64_t tag, bool recursive = false) const;
    // findAllChildrenWithTag:recursive: — every child with `tag` in depth-first order.
    std::vector<const VTCryptoTLV*> findAllChildrenWithTag(std::uint64_t tag, bool recursive) const;

    // dataRepresentation — the DER bytes of the node: tag bytes, the shortest length field and the
    // content (a constructed node's children, each in its DER form).
    LdData dataRepresentation() const;
    // generateLengthFieldForLength: — the DER length field: one byte below 128, else 0x80 plus the
    // count of the big-endian length bytes that follow.
    static LdData generateLengthFieldForLength(std::uint64_t length);

    // nameForUniversalTag: — the name of a universal tag number ("SEQUENCE", "INTEGER", ...), or
    // empty for a number without one.
    static std::string nameForUniversalTag(std::uint8_t tagNumber);
    // descriptionWithIndentionLevel: — the tree, one line per node indented by two blanks per
    // level: the tag's name or class and number, the length, a primitive node's content in hex.
    std::string descriptionWithIndentionLevel(int level) const;

private:
    friend class VTCryptoTLVParser;

    // The content length of the DER form.
    std::uint64_t derContentLength() const;
    void appendDataRepresentation(LdData& output) const;
    void appendDescription(std::string& output, int level) const;

    std::uint64_t tag_ = 0;
    std::uint64_t length_ = 0;
    // The size of the length field as parsed; 0 for a built node (DER).
    std::size_t lengthFieldSize_ = 0;
    LdData value_;
    std::vector<VTCryptoTLV> children_;
};
