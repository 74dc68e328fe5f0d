// Builders of hand-made property lists for the plist and keyed-archive tests.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/support/foundation/LdValue.h"

namespace ld::test {

inline LdData bytesOf(std::string_view text) {
    return LdData(text.begin(), text.end());
}

inline void appendBigEndian(LdData& out, std::uint64_t value, unsigned byteCount) {
    for (unsigned i = byteCount; i > 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
    }
}

// A binary property list made of raw objects, numbered in order, with the given sizes of offsets
// and references; the trailer describes exactly these objects.
inline LdData binaryPlist(const std::vector<LdData>& objects,
                          unsigned offsetSize = 1,
                          unsigned referenceSize = 1,
                          std::uint64_t topObject = 0) {
    LdData out = bytesOf("bplist00");
    std::vector<std::uint64_t> offsets;
    for (const LdData& object : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), object.begin(), object.end());
    }
    const std::uint64_t offsetTable = out.size();
    for (const std::uint64_t offset : offsets) {
        appendBigEndian(out, offset, offsetSize);
    }
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<std::uint8_t>(offsetSize));
    out.push_back(static_cast<std::uint8_t>(referenceSize));
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, topObject, 8);
    appendBigEndian(out, offsetTable, 8);
    return out;
}

// Fields of the 32-byte trailer, by their offset from its start.
enum class TrailerField {
    OffsetSize = 6,
    ReferenceSize = 7,
    ObjectCount = 8,
    TopObject = 16,
    OffsetTable = 24
};

inline LdData withTrailerField(LdData data, TrailerField field, std::uint64_t value) {
    const std::size_t position = data.size() - 32 + static_cast<std::size_t>(field);
    const unsigned byteCount =
            field == TrailerField::OffsetSize || field == TrailerField::ReferenceSize ? 1 : 8;
    for (unsigned i = 0; i < byteCount; ++i) {
        data[position + i] = static_cast<std::uint8_t>(value >> (8 * (byteCount - 1 - i)));
    }
    return data;
}

// A value nested `depth` arrays deep around a string.
inline LdValue nestedArrays(int depth) {
    LdValue value("leaf");
    for (int i = 0; i < depth; ++i) {
        value = LdValue(LdValue::Array{std::move(value)});
    }
    return value;
}

}  // namespace ld::test
