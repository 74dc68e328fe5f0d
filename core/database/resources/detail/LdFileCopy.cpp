#include "core/database/resources/detail/LdFileCopy.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "core/support/platform/LdUUID.h"

namespace ld::detail {

namespace {

constexpr std::size_t kChunkSize = 1U << 20;

bool fail(std::string* failure, const std::string& what) {
    if (failure != nullptr) {
        *failure = what + ": " + std::strerror(errno);
    }
    return false;
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return descriptor_; }
    bool valid() const { return descriptor_ >= 0; }
    // False when closing reports a failed write-back.
    bool close() {
        if (descriptor_ < 0) {
            return true;
        }
        const int result = ::close(descriptor_);
        descriptor_ = -1;
        return result == 0;
    }

private:
    int descriptor_;
};

bool writeAll(int descriptor, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool copyFileAtomically(const std::filesystem::path& source,
                        const std::filesystem::path& destination,
                        std::string* failure) {
    FileDescriptor input(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input.valid()) {
        return fail(failure, "cannot open " + source.string());
    }
    // The source is read once from start to end; it need not stay in the page cache.
    ::posix_fadvise(input.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::filesystem::path temporary = destination;
    temporary += "." + LdUUID::uuidString() + ".tmp";
    FileDescriptor output(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!output.valid()) {
        return fail(failure, "cannot create " + temporary.string());
    }
    auto discard = [&temporary] {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    };
    std::vector<std::uint8_t> buffer(kChunkSize);
    for (;;) {
        const ssize_t count = ::read(input.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(failure, "cannot read " + source.string());
            discard();
            return false;
        }
        if (count == 0) {
            break;
        }
        if (!writeAll(output.get(), buffer.data(), static_cast<std::size_t>(count))) {
            fail(failure, "cannot write " + temporary.string());
            discard();
            return false;
        }
        ::posix_fadvise(input.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
    if (::fsync(output.get()) != 0 || !output.close()) {
        fail(failure, "cannot flush " + temporary.string());
        discard();
        return false;
    }
    if (::rename(temporary.c_str(), destination.c_str()) != 0) {
        fail(failure, "cannot rename to " + destination.string());
        discard();
        return false;
    }
    return true;
}

}  // namespace ld::detail
