#include "core/database/session/detail/LdDatabaseLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace ld::detail {

namespace {

int openLockFile(const std::filesystem::path& databaseFolder) {
    const std::filesystem::path path = databaseFolder / LdDatabaseLock::kFileName;
    // The lock file stays: removing it while another process waits on it would let two hold locks.
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

}  // namespace

std::unique_ptr<LdDatabaseLock> LdDatabaseLock::tryLock(
        const std::filesystem::path& databaseFolder) {
    const int descriptor = openLockFile(databaseFolder);
    if (descriptor < 0) {
        return nullptr;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        ::close(descriptor);
        return nullptr;
    }
    return std::unique_ptr<LdDatabaseLock>(new LdDatabaseLock(descriptor));
}

LdDatabaseLock::~LdDatabaseLock() {
    ::flock(descriptor_, LOCK_UN);
    ::close(descriptor_);
}

bool LdDatabaseLock::isLocked(const std::filesystem::path& databaseFolder) {
    const std::filesystem::path path = databaseFolder / kFileName;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    const bool locked = ::flock(descriptor, LOCK_SH | LOCK_NB) != 0;
    if (!locked) {
        ::flock(descriptor, LOCK_UN);
    }
    ::close(descriptor);
    return locked;
}

}  // namespace ld::detail
