// Whole-file reading and atomic whole-file writing: how the library reads a document and replaces a file
// without ever leaving a partly written one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "core/support/foundation/LdValue.h"

class LdFiles {
public:
    // The whole content of the regular file at `path`, or nothing with the reason in `failure`.
    static std::optional<LdData> readFileContents(const std::filesystem::path& path,
                                                  std::string* failure = nullptr);

    // Writes `bytes` to `path` so that the path holds either its old content or all of the new one,
    // never a part: a temporary file in the same folder, written, flushed to disk (fsync), then renamed
    // over `path`. The file is readable and writable by the owner only. False with the reason in
    // `failure`; no temporary file stays behind.
    static bool writeFileAtomically(const std::filesystem::path& path,
                                    std::span<const std::uint8_t> bytes,
                                    std::string* failure = nullptr);
};
