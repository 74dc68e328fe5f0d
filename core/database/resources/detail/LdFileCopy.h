// Copying a file of any size into place without ever leaving a partly written one.
#pragma once

#include <filesystem>
#include <string>

namespace ld::detail {

// Copies the file at `source` to `destination` in pieces (never the whole file in memory, with
// the page cache told the bytes are read once): into a temporary file in the destination's
// folder, flushed to disk, then renamed over `destination`. The copy is readable and writable by
// the owner only. False with the reason in `failure`; no temporary file stays behind.
bool copyFileAtomically(const std::filesystem::path& source,
                        const std::filesystem::path& destination,
                        std::string* failure = nullptr);

}  // namespace ld::detail
