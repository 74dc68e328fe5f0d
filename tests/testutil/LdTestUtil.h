// Fixtures shared by the tests: temporary folders and the test environment of the process-wide services.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/support/foundation/LdValue.h"
#include "core/support/platform/LdUserDefaults.h"

// A fresh empty folder under the system's temporary folder, removed with everything in it on destruction.
class LdTemporaryFolder {
public:
    LdTemporaryFolder();
    ~LdTemporaryFolder();
    LdTemporaryFolder(const LdTemporaryFolder&) = delete;
    LdTemporaryFolder& operator=(const LdTemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Installs an in-memory settings store as the process's standard one while the tests run, so that no test
// reads or writes the user's settings.
class LdTestEnvironment {
public:
    LdTestEnvironment();
    ~LdTestEnvironment();
    LdTestEnvironment(const LdTestEnvironment&) = delete;
    LdTestEnvironment& operator=(const LdTestEnvironment&) = delete;

private:
    std::unique_ptr<LdUserDefaults> defaults_;
};

// Reads a whole file; empty when it cannot be read.
LdData ldReadFile(const std::filesystem::path& path);
// Writes a whole file (creating parent folders); fails the current test when it cannot.
void ldWriteFile(const std::filesystem::path& path, const LdData& bytes);
void ldWriteFile(const std::filesystem::path& path, const std::string& text);
// The path of a file under tests/data.
std::filesystem::path ldTestDataPath(const std::string& relativePath);
