// LdCStoreFileVetter: checks a store file that comes from outside (an archive to restore or
// import, a peer's copy) in a separate process before the library opens it itself. The SQL engine
// can crash on crafted files; a crash there kills only the helper process, and the file is refused.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/support/LdError.h"

class LdCStoreFileVetter {
public:
    // vetStoreFileAtURL:password:error: — runs the store-check helper program on the file and
    // waits for it. True when the helper opened the file, found every table the numbering names
    // (and no numbering row without its table) and both "PRAGMA quick_check" and the cell-size
    // check answered "ok". A helper that crashes, fails, times out or cannot be started refuses
    // the file with an LdError. The password (nullopt for a plain store) reaches the helper through
    // a pipe, never through its arguments. An encrypted file without its password is checked for
    // its outer shape only (a non-empty whole number of pages, no plain header).
    static bool vetStoreFileAtURL(const std::filesystem::path& storeURL,
                                  const std::optional<std::string>& password,
                                  LdError* error = nullptr);

    // The helper program's path: the one set here, else the environment variable
    // LEDRA_STORE_CHECK, else "ledra-store-check" beside the running executable, else the path
    // the build put it at. setHelperProgramPath with an empty path clears the path set here.
    static std::filesystem::path helperProgramPath();
    static void setHelperProgramPath(std::filesystem::path path);
};
