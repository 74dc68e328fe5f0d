// Whole-file reading and atomic whole-file writing for the file encryption of VTCrypto.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "core/support/foundation/LdValue.h"

namespace ld::detail {

// The whole content of the file at `path`, or nothing with the reason in `failure`.
std::optional<LdData> readFileContents(const std::filesystem::path& path, std::string* failure);

// Writes `bytes` to `path` so that the path holds either its old content or all of the new one,
// never a part: a temporary file in the same folder, written, flushed to disk (fsync), then renamed
// over `path`. The file is readable and writable by the owner only. False with the reason in
// `failure`; no temporary file stays behind.
bool writeFileAtomically(const std::filesystem::path& path,
                         std::span<const std::uint8_t> bytes,
                         std::string* failure);

}  // namespace ld::detail
