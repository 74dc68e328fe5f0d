// File work of backups and archives: streaming copies, the hidden names of unfinished archives,
// and the check that a path lies inside a folder. Not for the application.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/support/LdError.h"

namespace ld::detail {

// Answers whether the work was cancelled; empty: never.
using LdBackupCancelCheck = std::function<bool()>;

// An error whose title and description are texts of the backups' strings table, formatted with
// `arguments`; the keys stay readable through titleKey() and descriptionKey().
LdError backupError(std::string_view titleKey,
                    std::string_view descriptionKey,
                    const std::vector<std::string>& arguments = {});

// Copies the regular file `from` to the new file `to` (which must not exist) in chunks, through
// the kernel (copy_file_range) where it can and through a fixed buffer where it cannot; the
// content is copied byte for byte, never held whole in memory. A cancelled copy fails with
// std::errc::operation_canceled. A failed copy removes `to`.
bool copyFileStreaming(const std::filesystem::path& from,
                       const std::filesystem::path& to,
                       const LdBackupCancelCheck& isCancelled,
                       std::error_code& code);

// Copies the folder `from` with its subfolders to the new folder `to`; symbolic links are
// skipped. With `onlyEncryptedFiles` only files ending in ".crypt" are copied (in a
// password-protected database the others are working copies of them).
bool copyFolderStreaming(const std::filesystem::path& from,
                         const std::filesystem::path& to,
                         bool onlyEncryptedFiles,
                         const LdBackupCancelCheck& isCancelled,
                         std::error_code& code);

// Moves a file or folder, across file systems too (copy, then remove the source).
bool moveItem(const std::filesystem::path& from,
              const std::filesystem::path& to,
              std::error_code& code);

// The hidden folder an archive is assembled in before it replaces its target: ".<uuid>.partial"
// in `folder`.
std::filesystem::path partialArchivePath(const std::filesystem::path& folder);
// The hidden name a replaced archive waits under until its successor is in place:
// ".<uuid>.<target name>.replaced" beside the target.
std::filesystem::path replacedArchivePath(const std::filesystem::path& target);
// Whether `name` is such a partial folder's name.
bool isPartialArchiveName(std::string_view name);
// The target name of a replaced archive's name, or nothing for other names.
std::optional<std::string> targetNameOfReplacedArchive(std::string_view name);

// Removes what a killed export left in `folder`: partial archives go; a replaced archive whose
// target is missing returns to it, one whose successor arrived goes. Returns whether anything
// was found.
bool removeArchiveLeftoversInFolder(const std::filesystem::path& folder);

// Whether `path` lies inside `folder` (not the folder itself) once both are resolved: ".." and
// symbolic links cannot lead outside.
bool isPathInsideFolder(const std::filesystem::path& path, const std::filesystem::path& folder);

}  // namespace ld::detail
