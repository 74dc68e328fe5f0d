// The identity of the application that links the library: name, version, build number and base folder.
#pragma once

#include <filesystem>
#include <string>

class LdApplication {
public:
    // The build number of this release: 50100 or higher, growing with every release.
    static int buildNumber();
    static std::string version();
    static std::string name();

    // The application's base folder: where databases, backups and logs live by default. The user's data
    // folder ($XDG_DATA_HOME/ledra, else ~/.local/share/ledra) unless set.
    static std::filesystem::path baseFolder();
    // Sets the base folder for this process (the command-line tool and tests); an empty path restores the
    // default.
    static void setBaseFolder(const std::filesystem::path& folder);

    // The folder of the log files: "Logs" in the base folder.
    static std::filesystem::path logsFolder();
    // The user's configuration folder of the application ($XDG_CONFIG_HOME/ledra, else ~/.config/ledra).
    static std::filesystem::path configFolder();
};
