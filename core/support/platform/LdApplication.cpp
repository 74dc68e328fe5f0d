// The application's identity, from the build and the XDG base folders.
#include "core/support/platform/LdApplication.h"

#include <cstdlib>
#include <mutex>

namespace {
std::mutex baseFolderMutex;
std::filesystem::path baseFolderOverride;

std::filesystem::path xdgFolder(const char* variable, const char* fallbackBelowHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return std::filesystem::path(value) / "ledra";
    }
    const char* home = std::getenv("HOME");
    const std::filesystem::path homeFolder = home != nullptr && home[0] != '\0'
                                                     ? std::filesystem::path(home)
                                                     : std::filesystem::temp_directory_path();
    return homeFolder / fallbackBelowHome / "ledra";
}
}  // namespace

int LdApplication::buildNumber() {
    return LD_BUILD_NUMBER;
}

std::string LdApplication::version() {
    return LD_VERSION;
}

std::string LdApplication::name() {
    return "Ledra";
}

std::filesystem::path LdApplication::baseFolder() {
    std::lock_guard lock(baseFolderMutex);
    if (!baseFolderOverride.empty()) {
        return baseFolderOverride;
    }
    return xdgFolder("XDG_DATA_HOME", ".local/share");
}

void LdApplication::setBaseFolder(const std::filesystem::path& folder) {
    std::lock_guard lock(baseFolderMutex);
    baseFolderOverride = folder;
}

std::filesystem::path LdApplication::logsFolder() {
    return baseFolder() / "Logs";
}

std::filesystem::path LdApplication::configFolder() {
    return xdgFolder("XDG_CONFIG_HOME", ".config");
}
