// Temporary folders, file helpers and the process-wide test environment.
#include "tests/testutil/LdTestUtil.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>

LdTemporaryFolder::LdTemporaryFolder() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "ledra-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (info != nullptr) {
        name += std::string("-") + info->name();
    }
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

LdTemporaryFolder::~LdTemporaryFolder() {
    std::error_code code;
    std::filesystem::remove_all(path_, code);
}

LdTestEnvironment::LdTestEnvironment() : defaults_(LdUserDefaults::inMemory()) {
    LdUserDefaults::setStandard(defaults_.get());
}

LdTestEnvironment::~LdTestEnvironment() {
    LdUserDefaults::setStandard(nullptr);
}

LdData ldReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {};
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void ldWriteFile(const std::filesystem::path& path, const LdData& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << "cannot write " << path;
}

void ldWriteFile(const std::filesystem::path& path, const std::string& text) {
    ldWriteFile(path, LdData(text.begin(), text.end()));
}

std::filesystem::path ldTestDataPath(const std::string& relativePath) {
    return std::filesystem::path(LD_TEST_DATA_DIR) / relativePath;
}
