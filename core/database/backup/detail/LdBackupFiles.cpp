// File work of backups and archives: streaming copies, unfinished-archive names, path checks.
#include "core/database/backup/detail/LdBackupFiles.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/database/backup/LdCDatabaseBackupManager.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdUUID.h"

namespace fs = std::filesystem;

namespace ld::detail {

namespace {

constexpr std::string_view kPartialSuffix = ".partial";
constexpr std::string_view kReplacedSuffix = ".replaced";
constexpr std::size_t kUUIDLength = 36;
// Bytes per step of a copy: the copy looks at cancellation between steps.
constexpr std::size_t kCopyChunkBytes = std::size_t{8} << 20U;
constexpr std::size_t kBufferBytes = std::size_t{1} << 20U;

// Closes a descriptor on scope exit.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting a failed close (a delayed write error).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

std::error_code lastError() {
    return {errno, std::generic_category()};
}

bool writeAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies what is left of `in` to `out`; false with errno set on failure.
bool copyDescriptor(int in, int out, const LdBackupCancelCheck& isCancelled, bool& cancelled) {
    bool kernelCopy = true;
    std::unique_ptr<char[]> buffer;
    for (;;) {
        if (isCancelled && isCancelled()) {
            cancelled = true;
            return false;
        }
        if (kernelCopy) {
            const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, kCopyChunkBytes, 0);
            if (copied > 0) {
                continue;
            }
            if (copied == 0) {
                return true;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
                errno != EPERM) {
                return false;
            }
            // The file systems cannot copy in the kernel: go on from the same offsets by hand.
            kernelCopy = false;
            buffer = std::make_unique<char[]>(kBufferBytes);
        }
        std::size_t chunk = 0;
        while (chunk < kCopyChunkBytes) {
            const ssize_t count = ::read(in, buffer.get(), kBufferBytes);
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (count == 0) {
                return true;
            }
            if (!writeAll(out, buffer.get(), static_cast<std::size_t>(count))) {
                return false;
            }
            chunk += static_cast<std::size_t>(count);
        }
    }
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

LdError backupError(std::string_view titleKey,
                    std::string_view descriptionKey,
                    const std::vector<std::string>& arguments) {
    LdValue::Dictionary texts;
    texts.emplace(kLdLocalizedFailureReasonKey,
                  LdValue(LdStrings::localizedFormat(titleKey, arguments, LdCBackups)));
    texts.emplace(kLdLocalizedDescriptionKey,
                  LdValue(LdStrings::localizedFormat(descriptionKey, arguments, LdCBackups)));
    return LdError::errorWithTitle(titleKey, descriptionKey, texts);
}

bool copyFileStreaming(const fs::path& from,
                       const fs::path& to,
                       const LdBackupCancelCheck& isCancelled,
                       std::error_code& code) {
    code.clear();
    FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.get() < 0) {
        code = lastError();
        return false;
    }
    struct stat status {};
    if (::fstat(in.get(), &status) != 0) {
        code = lastError();
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        code = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        code = lastError();
        return false;
    }
    bool cancelled = false;
    const bool copied = copyDescriptor(in.get(), out.get(), isCancelled, cancelled);
    if (!copied) {
        code = cancelled ? std::make_error_code(std::errc::operation_canceled) : lastError();
    }
    if (!out.close() && copied) {
        code = lastError();
    }
    if (code) {
        std::error_code ignored;
        fs::remove(to, ignored);
        return false;
    }
    return true;
}

bool copyFolderStreaming(const fs::path& from,
                         const fs::path& to,
                         bool onlyEncryptedFiles,
                         const LdBackupCancelCheck& isCancelled,
                         std::error_code& code) {
    code.clear();
    if (!fs::create_directory(to, code)) {
        if (!code) {
            code = std::make_error_code(std::errc::file_exists);
        }
        return false;
    }
    const std::string encryptedExtension =
            std::string(".") + LdCDatabaseManager::kEncryptedFileExtension;
    for (fs::directory_iterator entry(from, code), end; !code && entry != end;
         entry.increment(code)) {
        std::error_code statusCode;
        const fs::file_status status = entry->symlink_status(statusCode);
        if (statusCode) {
            code = statusCode;
            return false;
        }
        const fs::path target = to / entry->path().filename();
        if (fs::is_directory(status)) {
            if (!copyFolderStreaming(entry->path(), target, onlyEncryptedFiles, isCancelled,
                                     code)) {
                return false;
            }
        } else if (fs::is_regular_file(status)) {
            if (onlyEncryptedFiles && entry->path().extension() != encryptedExtension) {
                continue;
            }
            if (!copyFileStreaming(entry->path(), target, isCancelled, code)) {
                return false;
            }
        }
    }
    return !code;
}

bool moveItem(const fs::path& from, const fs::path& to, std::error_code& code) {
    code.clear();
    fs::rename(from, to, code);
    if (code != std::errc::cross_device_link) {
        return !code;
    }
    code.clear();
    const bool isFolder = fs::is_directory(fs::symlink_status(from, code));
    if (code) {
        return false;
    }
    const bool copied = isFolder ? copyFolderStreaming(from, to, false, {}, code)
                                 : copyFileStreaming(from, to, {}, code);
    if (!copied) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
        return false;
    }
    fs::remove_all(from, code);
    return !code;
}

fs::path partialArchivePath(const fs::path& folder) {
    return folder / ("." + LdUUID::uuidString() + std::string(kPartialSuffix));
}

fs::path replacedArchivePath(const fs::path& target) {
    return target.parent_path() / ("." + LdUUID::uuidString() + "." + target.filename().string() +
                                   std::string(kReplacedSuffix));
}

bool isPartialArchiveName(std::string_view name) {
    return name.size() == 1 + kUUIDLength + kPartialSuffix.size() && startsWith(name, ".") &&
           endsWith(name, kPartialSuffix) &&
           LdUUID::isUUIDString(std::string(name.substr(1, kUUIDLength)));
}

std::optional<std::string> targetNameOfReplacedArchive(std::string_view name) {
    const std::size_t prefix = 1 + kUUIDLength + 1;
    if (name.size() <= prefix + kReplacedSuffix.size() || !startsWith(name, ".") ||
        name[prefix - 1] != '.' || !endsWith(name, kReplacedSuffix) ||
        !LdUUID::isUUIDString(std::string(name.substr(1, kUUIDLength)))) {
        return std::nullopt;
    }
    return std::string(name.substr(prefix, name.size() - prefix - kReplacedSuffix.size()));
}

bool removeArchiveLeftoversInFolder(const fs::path& folder) {
    std::vector<fs::path> partials;
    std::vector<std::pair<fs::path, std::string>> replaced;
    std::error_code code;
    for (fs::directory_iterator entry(folder, code), end; !code && entry != end;
         entry.increment(code)) {
        const std::string name = entry->path().filename().string();
        if (isPartialArchiveName(name)) {
            partials.push_back(entry->path());
        } else if (auto target = targetNameOfReplacedArchive(name)) {
            replaced.emplace_back(entry->path(), std::move(*target));
        }
    }
    // Fixed order: unfinished archives go first, then each replaced archive returns to its
    // place unless its successor is there. Every step leaves a state this function repairs.
    for (const fs::path& partial : partials) {
        std::error_code ignored;
        fs::remove_all(partial, ignored);
    }
    std::sort(replaced.begin(), replaced.end());
    for (const auto& [path, targetName] : replaced) {
        const fs::path target = folder / targetName;
        std::error_code statusCode;
        const bool targetExists = fs::exists(fs::symlink_status(target, statusCode));
        std::error_code ignored;
        if (targetExists) {
            fs::remove_all(path, ignored);
        } else {
            fs::rename(path, target, ignored);
        }
    }
    return !partials.empty() || !replaced.empty();
}

bool isPathInsideFolder(const fs::path& path, const fs::path& folder) {
    if (path.empty() || folder.empty()) {
        return false;
    }
    std::error_code code;
    const fs::path resolvedPath = fs::weakly_canonical(fs::absolute(path, code), code);
    if (code) {
        return false;
    }
    const fs::path resolvedFolder = fs::weakly_canonical(fs::absolute(folder, code), code);
    if (code) {
        return false;
    }
    const fs::path relative = resolvedPath.lexically_relative(resolvedFolder);
    if (relative.empty() || relative == ".") {
        return false;
    }
    const std::string first = relative.begin()->string();
    return first != ".." && first != ".";
}

}  // namespace ld::detail
