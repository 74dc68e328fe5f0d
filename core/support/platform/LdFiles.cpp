// POSIX whole-file reads and atomic writes: temporary file, fsync, rename.
#include "core/support/platform/LdFiles.h"

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadBufferSize = std::size_t{64} * 1024;

std::string errnoText(const char* step, int code) {
    return std::string(step) + ": " + std::generic_category().message(code);
}

void setFailure(std::string* failure, std::string text) {
    if (failure != nullptr) {
        *failure = std::move(text);
    }
}

// Closes a file descriptor when it goes out of scope, unless released.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return descriptor_; }
    // Closes now and reports the result (close can report a delayed write error).
    int close() { return ::close(std::exchange(descriptor_, -1)); }

private:
    int descriptor_;
};

bool writeAll(int descriptor, std::span<const std::uint8_t> bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return true;
}

}  // namespace

std::optional<LdData> LdFiles::readFileContents(const std::filesystem::path& path,
                                                std::string* failure) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        setFailure(failure, errnoText("open", errno));
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        setFailure(failure, errnoText("fstat", errno));
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        setFailure(failure, "not a regular file");
        return std::nullopt;
    }
    LdData contents;
    contents.reserve(static_cast<std::size_t>(status.st_size));
    std::vector<std::uint8_t> buffer(kReadBufferSize);
    for (;;) {
        const ssize_t result = ::read(file.get(), buffer.data(), buffer.size());
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            setFailure(failure, errnoText("read", errno));
            return std::nullopt;
        }
        if (result == 0) {
            break;
        }
        contents.insert(contents.end(), buffer.begin(), buffer.begin() + result);
    }
    return contents;
}

bool LdFiles::writeFileAtomically(const std::filesystem::path& path,
                                  std::span<const std::uint8_t> bytes,
                                  std::string* failure) {
    const std::filesystem::path folder =
            path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    // A hidden name in the destination folder, so the rename stays within one file system.
    std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    FileDescriptor file(::mkostemp(pattern.data(), O_CLOEXEC));
    if (file.get() < 0) {
        setFailure(failure, errnoText("create temporary file", errno));
        return false;
    }
    const std::string temporaryPath = pattern;
    const auto fail = [&](const char* step, int code) {
        ::unlink(temporaryPath.c_str());
        setFailure(failure, errnoText(step, code));
        return false;
    };
    if (!writeAll(file.get(), bytes)) {
        return fail("write", errno);
    }
    if (::fsync(file.get()) != 0) {
        return fail("fsync", errno);
    }
    if (file.close() != 0) {
        return fail("close", errno);
    }
    if (::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        return fail("rename", errno);
    }
    // Make the rename itself durable. The new content is already in place, so a folder that cannot
    // be synced does not turn the write into a failure.
    FileDescriptor folderDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderDescriptor.get() >= 0) {
        ::fsync(folderDescriptor.get());
    }
    return true;
}
