// Replays every file of the given corpus folders through a fuzz target's entry point, for the sanitized test
// build. Prints how many inputs ran; a crash or sanitizer report fails the test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/support/LdLogger.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    LdLogger::shared().setFolderURL(std::nullopt);
    std::size_t count = 0;
    for (int index = 1; index < argc; ++index) {
        std::error_code code;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[index], code)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        if (code) {
            std::fprintf(stderr, "cannot read corpus %s\n", argv[index]);
            return 1;
        }
        for (const auto& path : files) {
            std::ifstream file(path, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++count;
            // Keep the logger's error list from carrying one input's errors into the next.
            LdLogger::shared().clearErrors();
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
