// LdCDatabaseBackupInfo: reading "backup.info" (first cut: interface only).
#include "core/database/backup/LdCDatabaseBackupInfo.h"

std::optional<LdCDatabaseBackupInfo> LdCDatabaseBackupInfo::infoFromBackupURL(
        const std::filesystem::path&, LdError*) {
    return std::nullopt;
}
LdValue LdCDatabaseBackupInfo::infoDictionaryForReason(int, LdDate) {
    return LdValue();
}
int LdCDatabaseBackupInfo::reasonFromValue(const LdValue&) {
    return 0;
}
std::string LdCDatabaseBackupInfo::localizedReasonTitle(int) {
    return "???";
}
std::string LdCDatabaseBackupInfo::localizedInfoString() const {
    return {};
}
