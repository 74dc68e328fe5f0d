// An advisory lock on a database folder, held while a session has the database open, so that a
// second process (or a second session) does not open it and overwrite the first one's changes.
#pragma once

#include <filesystem>
#include <memory>

namespace ld::detail {

class LdDatabaseLock {
public:
    // The name of the lock file inside the database folder.
    static constexpr const char* kFileName = ".database.lock";

    // Takes the lock of the database folder without waiting: nullptr when another open file
    // description (another process, or another session of this one) holds it, or when the lock
    // file cannot be made. The lock goes with the returned object, and with the process.
    static std::unique_ptr<LdDatabaseLock> tryLock(const std::filesystem::path& databaseFolder);

    ~LdDatabaseLock();
    LdDatabaseLock(const LdDatabaseLock&) = delete;
    LdDatabaseLock& operator=(const LdDatabaseLock&) = delete;

    // Whether a lock is held on the folder right now (by anyone).
    static bool isLocked(const std::filesystem::path& databaseFolder);

private:
    explicit LdDatabaseLock(int descriptor) : descriptor_(descriptor) {}
    int descriptor_;
};

}  // namespace ld::detail
