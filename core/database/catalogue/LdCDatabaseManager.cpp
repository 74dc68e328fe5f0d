// The catalogue of databases.
//
// Life of a database in the catalogue:
//
//   (no folder) --[createNewDatabaseWithName]--> known, closed
//   known, closed --[openDatabase: session answers 0]--> open
//   open --[session closes: openDatabaseManagerDidClose]--> known, closed
//   known, closed --[renameDatabaseAtURL / duplicateDatabase]--> known, closed (moved / copied)
//   known --[deleteDatabaseAtURL, or folder gone at reloadAvailableDatabases]--> (dropped)
//
// Migration (one at a time):
//
//   idle --[startMigrationToNewestModelForDatabase]--> asking [runNextMigrationStep]
//   asking --(answer 0)--> idle, success              [finishMigration]
//   asking --(answer 2 or 3, no step, no converter)--> idle, error
//   asking --(answer 1)--> step on "MigrationQueue"   [runMigrationWork]
//   step --(done: store replaced)--> asking;  step --(failed)--> idle, error
#include "core/database/catalogue/LdCDatabaseManager.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "core/database/catalogue/detail/LdFolderWatch.h"
#include "core/database/model/LdObjectModel.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCryptStore.h"
#include "core/security/LdSecretStore.h"
#include "core/support/LdLogger.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/platform/LdUserDefaults.h"
#include "core/support/queues/LdMainQueue.h"
#include "core/support/queues/LdOperation.h"
#include "core/support/queues/LdOperationQueue.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kNameSeparator = " - ";
// The service of database passwords behind biometric authentication.
constexpr std::string_view kSecureEnclaveServiceName = "Ledra: DB-PW-LA";
// How often the info's progress follows a running migration step.
constexpr double kMigrationProgressInterval = 0.25;

const char* resourceFolderName(int resourceType) {
    switch (resourceType) {
        case LdCDatabaseManager::kResourceTypeAccountImages:
            return "AccountImages";
        case LdCDatabaseManager::kResourceTypeContactImages:
            return "ContactImages";
        case LdCDatabaseManager::kResourceTypeCategoryImages:
            return "CategoryImages";
        case LdCDatabaseManager::kResourceTypeFileAttachments:
            return "FileAttachments";
        case LdCDatabaseManager::kResourceTypeAccountStatements:
            return "AccountStatements";
        default:
            return nullptr;
    }
}

// The folder's own name, also for a URL written with a trailing separator.
std::string folderName(const fs::path& url) {
    fs::path normal = url.lexically_normal();
    if (!normal.has_filename()) {
        normal = normal.parent_path();
    }
    return normal.filename().string();
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    std::size_t position = 0;
    while ((position = text.find(from, position)) != std::string::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
    }
    return text;
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char character) {
        return static_cast<char>(std::tolower(character));
    });
    return text;
}

// The form two names are compared in: compatibility-composed (full-width letters and digits
// become their plain forms) and case-folded, as ICU's NFKC_Casefold does both.
std::string comparisonKey(std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFKCCasefoldInstance(status);
    if (U_FAILURE(status) || normalizer == nullptr) {
        return lowercased(std::string(name));
    }
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
            icu::StringPiece(name.data(), static_cast<std::int32_t>(name.size())));
    const icu::UnicodeString folded = normalizer->normalize(source, status);
    if (U_FAILURE(status)) {
        return lowercased(std::string(name));
    }
    std::string key;
    folded.toUTF8String(key);
    return key;
}

// The model version a store's metadata records: the last of its version identifiers as a number;
// the current version when there is none, nothing when it is no number.
std::optional<int> modelVersionOfMetadata(const LdValue::Dictionary& metadata) {
    const auto identifiers = metadata.find(kLdStoreModelVersionIdentifiersKey);
    if (identifiers == metadata.end() || identifiers->second.arrayValue().empty()) {
        return LdCDatabaseManager::kCurrentModelVersion;
    }
    const LdValue& last = identifiers->second.arrayValue().back();
    if (last.isNumber()) {
        return static_cast<int>(last.integerValue());
    }
    const std::string& text = last.stringValue();
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoi(text);
}

LdError closeDatabaseFirstError() {
    return LdError::errorWithTitle("_INFORMATION", "_DB_MANAGER_EDIT_ERROR_CLOSE_DATABASE");
}

LdError fileError(std::string_view description, const fs::path& path, const std::error_code& code) {
    LdError error = LdError::errorWithTitle("_ERROR", description);
    error.addDebugInfo("path", path.string());
    error.addDebugInfo("reason", code.message());
    return error;
}

// Moves a file, across file systems too (copy, then remove the source).
bool moveFile(const fs::path& from, const fs::path& to, std::error_code& code) {
    fs::rename(from, to, code);
    if (code != std::errc::cross_device_link) {
        return !code;
    }
    code.clear();
    if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, code)) {
        return false;
    }
    fs::remove(from, code);
    return true;
}

}  // namespace

// ---- Construction

LdCDatabaseManager::LdCDatabaseManager(const fs::path& databasesFolder,
                                       LdUserDefaults& settings,
                                       LdSecretStore& secrets,
                                       LdClock& clock)
    : databasesFolder_(databasesFolder.lexically_normal()),
      settings_(settings),
      secrets_(secrets),
      clock_(clock),
      migrationQueue_(std::make_unique<LdOperationQueue>("MigrationQueue", LdMainQueue::main())) {
    std::error_code code;
    fs::create_directories(databasesFolder_, code);
    if (code) {
        LdLogger::shared().logError("Cannot create the databases folder " +
                                    databasesFolder_.string() + ": " + code.message());
    }
    watch_ = std::make_unique<ld::detail::LdFolderWatch>(databasesFolder_, LdMainQueue::main(),
                                                         [this] { reloadAvailableDatabases(); });
    reloadAvailableDatabases();
}

LdCDatabaseManager::~LdCDatabaseManager() {
    *alive_ = false;
    watch_.reset();
    uiDelegate_ = nullptr;
    migrationProgressTimer_.invalidate();
    migrationQueue_.reset();  // cancels and joins a running step
    // Each close ends in openDatabaseManagerDidClose, which moves the session to closedSessions_.
    std::vector<fs::path> open;
    for (const auto& entry : openSessions_) {
        open.push_back(entry.first);
    }
    for (const fs::path& url : open) {
        const auto found = openSessions_.find(url);
        if (found != openSessions_.end()) {
            closeSession(*found->second, /*save=*/true);
        }
    }
    openSessions_.clear();
    closedSessions_.clear();
}

fs::path LdCDatabaseManager::defaultDatabaseFolder() {
    return LdApplication::baseFolder() / "Databases";
}

// ---- Paths

fs::path LdCDatabaseManager::databaseStoreFileURLForDatabaseURL(const fs::path& url) {
    return url / kStoreFileName;
}

fs::path LdCDatabaseManager::metadataFileURLForDatabaseURL(const fs::path& url) {
    return url / kMetadataFileName;
}

fs::path LdCDatabaseManager::exchangeRatesStoreFileURLForDatabaseURL(const fs::path& url) {
    return url / kExchangeRatesFileName;
}

fs::path LdCDatabaseManager::syncMetadataFileURLForDatabaseURL(const fs::path& url) {
    return url / kSyncMetadataFileName;
}

fs::path LdCDatabaseManager::databaseOnlineFilesURLForDatabaseURL(const fs::path& url) {
    return url / kOnlineFilesFolderName;
}

fs::path LdCDatabaseManager::fileAttachmentsFolderURLForDatabaseURL(const fs::path& url) {
    return urlForResourceType(kResourceTypeFileAttachments, url);
}

fs::path LdCDatabaseManager::accountStatementsFolderURLForDatabase(const fs::path& url) {
    return urlForResourceType(kResourceTypeAccountStatements, url);
}

fs::path LdCDatabaseManager::urlForResourceType(int resourceType, const fs::path& url) {
    const char* folder = resourceFolderName(resourceType);
    return folder != nullptr ? url / folder : fs::path();
}

const std::array<int, 5>& LdCDatabaseManager::allDatabaseResourceTypes() {
    // Fixed order: contact, category images, account statements, attachments, account images.
    static constexpr std::array<int, 5> kOrder = {
            kResourceTypeContactImages, kResourceTypeCategoryImages, kResourceTypeAccountStatements,
            kResourceTypeFileAttachments, kResourceTypeAccountImages};
    return kOrder;
}

fs::path LdCDatabaseManager::encryptedFilePathForDatabaseURL(const fs::path& plainPath,
                                                             const fs::path& url) {
    if (plainPath.empty()) {
        return {};
    }
    fs::path encrypted = plainPath.is_relative() ? url / plainPath : plainPath;
    encrypted += std::string(".") + kEncryptedFileExtension;
    return encrypted;
}

// ---- Names and identifiers

std::string LdCDatabaseManager::databaseIDFromDatabaseURL(const fs::path& url) {
    return databaseIDFromDatabaseFileName(folderName(url));
}

std::string LdCDatabaseManager::databaseIDFromDatabaseFileName(std::string_view fileName) {
    const std::size_t separator = fileName.find(kNameSeparator);
    if (separator == std::string_view::npos) {
        return {};
    }
    return std::string(fileName.substr(0, separator));
}

std::string LdCDatabaseManager::databaseNameFromFileName(std::string_view fileName) {
    const std::size_t separator = fileName.find(kNameSeparator);
    if (separator == std::string_view::npos) {
        return {};
    }
    std::string name(fileName.substr(separator + kNameSeparator.size()));
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name;
}

std::string LdCDatabaseManager::localizedDatabaseNameFromFileName(std::string_view fileName) {
    std::string name = databaseNameFromFileName(fileName);
    return name.empty() ? LdStrings::localizedString("_DB_WITHOUT_NAME") : name;
}

std::string LdCDatabaseManager::nameForDatabaseAtURL(const fs::path& url) {
    return localizedDatabaseNameFromFileName(folderName(url));
}

std::string LdCDatabaseManager::filteredDatabaseName(std::string_view name) {
    // Fixed order: the separator of identifier and name first, then the single characters.
    std::string filtered = replaceAll(std::string(name), kNameSeparator, "___");
    std::replace_if(
            filtered.begin(), filtered.end(),
            [](char c) { return c == '/' || c == ':' || c == '.' || c == '#' || c == '-'; }, '_');
    return filtered;
}

std::string LdCDatabaseManager::fullDatabaseNameFromID(std::string_view databaseID,
                                                       std::string_view readableName) {
    return LdStrings::format("%@ - %@",
                             {std::string(databaseID), filteredDatabaseName(readableName)});
}

fs::path LdCDatabaseManager::databaseURLFromDatabaseID(std::string_view databaseID,
                                                       std::string_view databaseName) const {
    return databasesFolder_ /
           (fullDatabaseNameFromID(databaseID, databaseName) + "." + kDatabaseExtension);
}

std::optional<fs::path> LdCDatabaseManager::URLForDatabaseWithID(
        std::string_view databaseID) const {
    if (databaseID.empty()) {
        return std::nullopt;
    }
    for (const auto& [url, info] : allDatabases_) {
        if (info->databaseID() == databaseID) {
            return url;
        }
    }
    return std::nullopt;
}

bool LdCDatabaseManager::nameIsTaken(std::string_view name, const LdCDatabaseInfo* except) const {
    // Folder names hold filtered names, so the proposal is compared filtered as well.
    const std::string key = comparisonKey(filteredDatabaseName(name));
    return std::any_of(allDatabases_.begin(), allDatabases_.end(), [&](const auto& entry) {
        return entry.second.get() != except &&
               comparisonKey(databaseNameFromFileName(folderName(entry.first))) == key;
    });
}

std::string LdCDatabaseManager::uniqueDatabaseNameForProposedName(
        std::string_view proposedName) const {
    // Each clash replaces the number added before, so "Household 2" becomes "Household 3", not
    // "Household 2 3"; a number the proposal itself ends with stays.
    std::string candidate(proposedName);
    for (std::uint64_t number = 2; nameIsTaken(candidate, nullptr); ++number) {
        candidate =
                LdStrings::format("%@ %lu", {std::string(proposedName), std::to_string(number)});
    }
    return candidate;
}

// ---- Catalogue

void LdCDatabaseManager::reloadAvailableDatabases() {
    std::map<fs::path, InfoPtr> found;
    std::error_code code;
    fs::directory_iterator entries(databasesFolder_, code);
    if (code) {
        LdLogger::shared().logError("Cannot list the databases folder " +
                                    databasesFolder_.string() + ": " + code.message());
    }
    for (; !code && entries != fs::directory_iterator(); entries.increment(code)) {
        const fs::path& url = entries->path();
        const std::string name = url.filename().string();
        if (name.empty() || name.front() == '.' ||
            url.extension() != std::string(".") + kDatabaseExtension) {
            continue;
        }
        std::error_code typeError;
        if (!fs::is_directory(url, typeError)) {  // follows symbolic links
            continue;
        }
        const auto known = allDatabases_.find(url);
        if (known != allDatabases_.end()) {
            known->second->reloadMetadata();
            found.emplace(url, known->second);
        } else {
            found.emplace(url, std::make_shared<LdCDatabaseInfo>(*this, url));
        }
    }
    std::vector<InfoPtr> vanished;
    for (const auto& [url, info] : allDatabases_) {
        if (found.count(url) == 0) {
            vanished.push_back(info);
        }
    }
    allDatabases_ = std::move(found);
    for (const InfoPtr& info : vanished) {
        const auto open = openSessions_.find(info->url());
        if (open != openSessions_.end() && !info->cloudURL().has_value()) {
            closeSession(*open->second, /*save=*/false);
        }
        announceDeleted(info);
    }
    tellDelegateAvailableDatabasesDidChange();
}

std::vector<LdCDatabaseManager::InfoPtr> LdCDatabaseManager::allDatabases() const {
    std::vector<InfoPtr> infos;
    infos.reserve(allDatabases_.size());
    for (const auto& entry : allDatabases_) {
        infos.push_back(entry.second);
    }
    return infos;
}

LdCDatabaseManager::InfoPtr LdCDatabaseManager::databaseInfoForURL(const fs::path& url) const {
    const auto found = allDatabases_.find(url.lexically_normal());
    if (found != allDatabases_.end()) {
        return found->second;
    }
    // A URL written with a trailing separator.
    const auto trimmed = allDatabases_.find(url.lexically_normal().parent_path() / folderName(url));
    return trimmed != allDatabases_.end() ? trimmed->second : nullptr;
}

LdSubscription LdCDatabaseManager::addObserver(LdCDatabaseInfoObserver& observer,
                                               const InfoPtr& info) {
    if (!info) {
        return {};
    }
    const std::uint64_t id = observers_->nextID++;
    observers_->entries.push_back(ObserverEntry{id, info.get(), &observer});
    return LdSubscription([weak = std::weak_ptr<ObserverRegistry>(observers_), id] {
        if (const std::shared_ptr<ObserverRegistry> registry = weak.lock()) {
            std::erase_if(registry->entries,
                          [id](const ObserverEntry& entry) { return entry.id == id; });
        }
    });
}

void LdCDatabaseManager::notifyObserversOfDatabaseInfo(const InfoPtr& info) {
    if (!info) {
        return;
    }
    // A copy, so observers may register or cancel while they are told.
    const std::vector<ObserverEntry> entries = observers_->entries;
    for (const ObserverEntry& entry : entries) {
        const bool stillRegistered =
                std::any_of(observers_->entries.begin(), observers_->entries.end(),
                            [&](const ObserverEntry& current) { return current.id == entry.id; });
        if (entry.info == info.get() && stillRegistered) {
            entry.observer->databaseInfoDidChange(info);
        }
    }
}

void LdCDatabaseManager::announceDeleted(const InfoPtr& info) {
    const std::vector<ObserverEntry> entries = observers_->entries;
    for (const ObserverEntry& entry : entries) {
        const bool stillRegistered =
                std::any_of(observers_->entries.begin(), observers_->entries.end(),
                            [&](const ObserverEntry& current) { return current.id == entry.id; });
        if (entry.info == info.get() && stillRegistered) {
            entry.observer->databaseInfoWasDeleted(info);
        }
    }
    // The info is gone; its registrations end with it.
    std::erase_if(observers_->entries,
                  [&](const ObserverEntry& entry) { return entry.info == info.get(); });
}

void LdCDatabaseManager::tellDelegateAvailableDatabasesDidChange() {
    if (uiDelegate_ != nullptr) {
        uiDelegate_->availableDatabasesDidChange();
    }
}

bool LdCDatabaseManager::syncMetadataExistsForDatabaseAtURL(const fs::path& url) {
    std::error_code code;
    return fs::exists(syncMetadataFileURLForDatabaseURL(url), code);
}

bool LdCDatabaseManager::isDatabaseEncryptedAtURL(const fs::path& url) {
    static constexpr char kPlainHeader[16] = "SQLite format 3";  // with its terminating zero
    std::ifstream store(databaseStoreFileURLForDatabaseURL(url), std::ios::binary);
    if (!store) {
        return false;  // no store yet: nothing is encrypted
    }
    char header[16] = {};
    store.read(header, sizeof header);
    if (store.gcount() == 0) {
        return false;  // an empty file is a plain database SQLite has not written yet
    }
    return store.gcount() != sizeof header || !std::equal(header, header + 16, kPlainHeader);
}

bool LdCDatabaseManager::isDatabaseOpenAtURL(const fs::path& url) const {
    return openDatabaseManagerForURL(url) != nullptr;
}

LdCOpenDatabaseManager* LdCDatabaseManager::openDatabaseManagerForURL(const fs::path& url) const {
    const auto found = openSessions_.find(url.lexically_normal());
    return found != openSessions_.end() ? found->second.get() : nullptr;
}

LdCOpenDatabaseManager* LdCDatabaseManager::currentOpenDatabaseManager() const {
    return openOrder_.empty() ? nullptr : openDatabaseManagerForURL(openOrder_.back());
}

void LdCDatabaseManager::syncStateChangedForDatabaseURL(const fs::path& url) {
    const InfoPtr info = databaseInfoForURL(url);
    if (!info) {
        return;
    }
    info->reloadMetadata();
    notifyObserversOfDatabaseInfo(info);
    tellDelegateAvailableDatabasesDidChange();
}

bool LdCDatabaseManager::processPendingFolderEvents() {
    return watch_ != nullptr && watch_->processPendingEvents();
}

bool LdCDatabaseManager::isWatchingDatabasesFolder() const {
    return watch_ != nullptr && watch_->isWatching();
}

// ---- Life of a database

LdCDatabaseManager::InfoPtr LdCDatabaseManager::createNewDatabaseWithName(std::string_view name,
                                                                          LdError* error) {
    return createNewDatabaseWithName(name, {}, error);
}

LdCDatabaseManager::InfoPtr LdCDatabaseManager::createNewDatabaseWithName(
        std::string_view name, std::string_view identifier, LdError* error) {
    if (name.empty()) {
        return nullptr;  // missing argument
    }
    const std::string databaseID =
            identifier.empty() ? LdUUID::uuidString() : std::string(identifier);
    const fs::path url = databaseURLFromDatabaseID(databaseID, name);
    std::error_code code;
    if (fs::exists(url, code)) {
        failWith(error, fileError("_DB_MANAGER_CREATE_DB_FOLDER_EXISTS", url, code));
        return nullptr;
    }
    if (!fs::create_directories(url, code)) {
        failWith(error, fileError("_DB_MANAGER_CREATE_DB_FAILED", url, code));
        return nullptr;
    }
    auto info = std::make_shared<LdCDatabaseInfo>(*this, url);
    LdCDatabaseMetadataItem metadata =
            LdCDatabaseMetadataItem::metadataItemForNewDatabaseAtURL(url, clock_);
    if (!metadata.writeMetadata(error)) {
        fs::remove_all(url, code);
        return nullptr;
    }
    info->setDatabaseMetadata(std::move(metadata));
    allDatabases_[url] = info;
    tellDelegateAvailableDatabasesDidChange();
    return info;
}

bool LdCDatabaseManager::renameDatabaseAtURL(const fs::path& url,
                                             std::string_view newName,
                                             fs::path* newURL,
                                             LdError* error) {
    const InfoPtr info = databaseInfoForURL(url);
    if (!info || newName.empty()) {
        return false;  // missing argument
    }
    if (isDatabaseOpenAtURL(info->url())) {
        return failWith(error, closeDatabaseFirstError());
    }
    const fs::path oldURL = info->url();
    const std::string filteredName = filteredDatabaseName(newName);
    if (filteredName == databaseNameFromFileName(folderName(oldURL))) {
        if (newURL != nullptr) {
            *newURL = oldURL;
        }
        return true;  // unchanged
    }
    const fs::path target =
            oldURL.parent_path() /
            (fullDatabaseNameFromID(info->databaseID(), newName) + "." + kDatabaseExtension);
    // Another folder of that path, in any case, or another database of that name.
    bool taken = nameIsTaken(newName, info.get());
    std::error_code code;
    const std::string targetKey = lowercased(target.filename().string());
    for (fs::directory_iterator entry(oldURL.parent_path(), code);
         !code && !taken && entry != fs::directory_iterator(); entry.increment(code)) {
        taken = entry->path() != oldURL &&
                lowercased(entry->path().filename().string()) == targetKey;
    }
    if (taken) {
        return failWith(error, LdError::errorWithTitle(
                                       "_ERROR", "_DB_MANAGER_RENAME_DB_WITH_NAME_ALREADY_EXISTS"));
    }
    code.clear();
    fs::rename(oldURL, target, code);
    if (code) {
        return failWith(error, fileError("_DB_MANAGER_RENAME_FAILED", oldURL, code));
    }
    allDatabases_.erase(oldURL);
    info->setURL(target);
    allDatabases_[target] = info;
    if (newURL != nullptr) {
        *newURL = target;
    }
    notifyObserversOfDatabaseInfo(info);
    tellDelegateAvailableDatabasesDidChange();
    return true;
}

LdCDatabaseManager::InfoPtr LdCDatabaseManager::duplicateDatabase(const InfoPtr& info,
                                                                  LdError* error) {
    if (!info) {
        return nullptr;  // missing argument
    }
    if (isDatabaseOpenAtURL(info->url())) {
        failWith(error, closeDatabaseFirstError());
        return nullptr;
    }
    std::string originalName = databaseNameFromFileName(folderName(info->url()));
    if (originalName.empty()) {
        originalName = info->name();
    }
    const fs::path target = databaseURLFromDatabaseID(
            LdUUID::uuidString(), uniqueDatabaseNameForProposedName(originalName));
    info->setFileOperationInProgress(true);
    std::error_code code;
    fs::copy(info->url(), target, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             code);
    info->setFileOperationInProgress(false);
    if (code) {
        std::error_code ignored;
        fs::remove_all(target, ignored);
        failWith(error, fileError("_DB_MANAGER_DUPLICATE_FAILED", info->url(), code));
        return nullptr;
    }
    reloadAvailableDatabases();
    return databaseInfoForURL(target);
}

bool LdCDatabaseManager::deleteDatabaseAtURL(const fs::path& url, LdError* error) {
    const InfoPtr info = databaseInfoForURL(url);
    if (!info) {
        return false;  // missing argument: not a database of the catalogue
    }
    if (LdCOpenDatabaseManager* session = openDatabaseManagerForURL(info->url())) {
        closeSession(*session, /*save=*/false);
    }
    std::error_code code;
    fs::remove_all(info->url(), code);
    if (code) {
        return failWith(error, fileError("_DB_MANAGER_DELETE_FAILED", info->url(), code));
    }
    deleteStoredPasswordForDatabase(info);
    allDatabases_.erase(info->url());
    if (info->cloudURL().has_value()) {
        info->setURL(*info->cloudURL());
        cloudDatabases_.push_back(info);
        notifyObserversOfDatabaseInfo(info);
    } else {
        announceDeleted(info);
    }
    tellDelegateAvailableDatabasesDidChange();
    return true;
}

// ---- Opening

bool LdCDatabaseManager::isDatabaseBusy(const LdCDatabaseInfo& info) const {
    const auto asks = [&info](const std::function<bool(const LdCDatabaseInfo&)>& check) {
        return check && check(info);
    };
    return info.isFileOperationInProgress() || info.isMerging() || info.isMigrating() ||
           asks(checks_.isExporting) || asks(checks_.isDownloading) ||
           asks(checks_.isSynchronizing);
}

int LdCDatabaseManager::openDatabase(const InfoPtr& info,
                                     const std::optional<std::string>& password,
                                     int mode) {
    if (!info) {
        return kLdOpenDatabaseNotLoaded;
    }
    // Fixed order: already open, busy, cloud conflicts, then the session's own checks.
    if (isDatabaseOpenAtURL(info->url())) {
        return kLdOpenDatabaseAlreadyOpen;
    }
    if (isDatabaseBusy(*info)) {
        return kLdOpenDatabaseBusy;
    }
    if (checks_.hasCloudConflicts && checks_.hasCloudConflicts(*info)) {
        return kLdOpenDatabaseCloudConflicts;
    }
    closedSessions_.erase(info->url());
    int result = kLdOpenDatabaseNotLoaded;
    SessionPtr session = openSession(info, password, mode, result);
    if (result == kLdOpenDatabaseWrongPassword) {
        deleteStoredPasswordForDatabase(info);
    }
    if (result != kLdOpenDatabaseOpened) {
        return result;
    }
    openSessions_[info->url()] = std::move(session);
    std::erase(openOrder_, info->url());
    openOrder_.push_back(info->url());
    if (uiDelegate_ != nullptr) {
        uiDelegate_->databaseChanged(info);
    }
    settings_.setString(info->databaseID(), kLastOpenDatabaseIDKey);
    return result;
}

int LdCDatabaseManager::openDatabaseAtURL(const fs::path& url,
                                          const std::optional<std::string>& password,
                                          int mode) {
    return openDatabase(databaseInfoForURL(url), password, mode);
}

bool LdCDatabaseManager::canOpenDatabaseWithoutUserInteraction(const InfoPtr& info) {
    if (!info || !info->canBeOpened()) {
        return false;
    }
    std::optional<std::string> password;
    if (isDatabaseEncryptedAtURL(info->url())) {
        password = secrets_.passwordForDatabaseID(info->databaseID());
        if (!password.has_value()) {
            return false;
        }
    }
    return isMigrationNeededForDatabaseAtURL(info->url(), password) == kMigrationNotNeeded;
}

bool LdCDatabaseManager::isPasswordCorrectForDatabaseAtURL(
        const std::optional<std::string>& password, const fs::path& url) const {
    const fs::path store = databaseStoreFileURLForDatabaseURL(url);
    std::error_code code;
    if (!fs::exists(store, code)) {
        return true;  // no store yet, so no password either
    }
    return LdCryptStore::isPasswordCorrect(password.value_or(std::string()), store);
}

void LdCDatabaseManager::deleteStoredPasswordForDatabase(const InfoPtr& info) {
    if (!info || info->databaseID().empty()) {
        return;
    }
    secrets_.deleteGenericPassword(kSecureEnclaveServiceName, info->databaseID(), std::nullopt);
    secrets_.deletePasswordForDatabaseID(info->databaseID());
}

void LdCDatabaseManager::openDatabaseManagerDidClose(LdCOpenDatabaseManager& session) {
    const auto found =
            std::find_if(openSessions_.begin(), openSessions_.end(),
                         [&session](const auto& entry) { return entry.second.get() == &session; });
    if (found == openSessions_.end()) {
        return;  // a session whose open failed closes without ever being registered
    }
    const fs::path url = found->first;
    // The session is still running (this is the end of its close): it moves, it is not destroyed.
    closedSessions_[url] = std::move(found->second);
    openSessions_.erase(found);
    std::erase(openOrder_, url);
    const InfoPtr info = databaseInfoForURL(url);
    if (uiDelegate_ != nullptr && info) {
        uiDelegate_->databaseChanged(info);
    }
}

std::optional<fs::path> LdCDatabaseManager::databaseURLToOpenOnAppLaunch() const {
    if (!settings_.boolForKey(kOpenLastDatabaseAfterLaunchKey)) {
        return std::nullopt;
    }
    const std::optional<std::string> databaseID = settings_.stringForKey(kLastOpenDatabaseIDKey);
    return databaseID.has_value() ? URLForDatabaseWithID(*databaseID) : std::nullopt;
}

// ---- Sessions

LdCDatabaseManager::SessionPtr LdCDatabaseManager::openSession(
        const InfoPtr& info, const std::optional<std::string>& password, int mode, int& result) {
    auto session = std::make_unique<LdCOpenDatabaseManager>(*this, info);
    session->setCachedDatabasePassword(password);
    if (sessionSetupHook_) {
        sessionSetupHook_(*session);
    }
    result = session->openDatabaseWithPassword(password, mode);
    return session;
}

void LdCDatabaseManager::closeSession(LdCOpenDatabaseManager& session, bool save) {
    if (save) {
        session.closeDatabase();
    } else {
        session.closeDatabaseWithoutSaving();
    }
}

// ---- Migration

int LdCDatabaseManager::isMigrationNeededForDatabaseAtURL(
        const fs::path& url, const std::optional<std::string>& password) const {
    const fs::path store = databaseStoreFileURLForDatabaseURL(url);
    std::error_code code;
    if (!fs::is_regular_file(store, code)) {
        return kMigrationNotNeeded;  // the first open creates the store in the current model
    }
    bool passwordCorrect = true;
    const std::optional<LdValue::Dictionary> metadata = LdCryptStore::metadataForCryptStoreAtURL(
            store, password.value_or(std::string()), &passwordCorrect);
    if (!passwordCorrect) {
        return kMigrationWrongPassword;
    }
    if (!metadata.has_value()) {
        return kMigrationNewerVersion;  // a store without readable metadata does not fit
    }
    if (metadata->count(kDatabaseVersionKey) > 0) {
        return kMigrationNeeded;
    }
    const std::optional<int> version = modelVersionOfMetadata(*metadata);
    if (!version.has_value() || *version > kCurrentModelVersion) {
        return kMigrationNewerVersion;
    }
    if (*version < kCurrentModelVersion) {
        return kMigrationNeeded;
    }
    return LdCryptStore::isModelCompatibleWithMetadata(LdObjectModel::ledraModel(), *metadata)
                   ? kMigrationNotNeeded
                   : kMigrationNewerVersion;
}

void LdCDatabaseManager::registerMigrationStep(int fromVersion, LdCDatabaseMigrationStep step) {
    migrationSteps_[fromVersion] = std::move(step);
}

void LdCDatabaseManager::startMigrationToNewestModelForDatabase(
        const InfoPtr& info,
        const std::optional<std::string>& password,
        MigrationCompletion completion) {
    if (!info) {
        return;  // missing argument
    }
    if (isMigrating()) {
        if (completion) {
            completion(false, LdError::errorWithTitle("_INFORMATION",
                                                      "_DB_MANAGER_MIGRATION_ALREADY_RUNNING"));
        }
        return;
    }
    migrationInfo_ = info;
    migrationCompletion_ = std::move(completion);
    migrationBackupDone_ = false;
    info->setMigrating(true);
    notifyObserversOfDatabaseInfo(info);
    runNextMigrationStep(password);
}

void LdCDatabaseManager::runNextMigrationStep(const std::optional<std::string>& password) {
    const fs::path url = migrationInfo_->url();
    const int answer = isMigrationNeededForDatabaseAtURL(url, password);
    if (answer == kMigrationNotNeeded) {
        finishMigration(true, std::nullopt);
        return;
    }
    if (answer == kMigrationWrongPassword) {
        finishMigration(false, LdError::errorWithTitle("_ERROR", "_DB_WRONG_PASSWORD"));
        return;
    }
    if (answer == kMigrationNewerVersion) {
        finishMigration(false,
                        LdError::errorWithTitle(
                                "_DB_MANAGER_ERROR_DB_VERSION_FROM_NEWER_VERSION",
                                LdStrings::localizedFormat(
                                        "_DB_MANAGER_ERROR_DB_VERSION_FROM_NEWER_VERSION_DESC",
                                        {LdApplication::name(), LdApplication::name()})));
        return;
    }
    const fs::path store = databaseStoreFileURLForDatabaseURL(url);
    LdError metadataError;
    const std::optional<LdValue::Dictionary> metadata = LdCryptStore::metadataForCryptStoreAtURL(
            store, password.value_or(std::string()), nullptr, &metadataError);
    if (!metadata.has_value()) {
        finishMigration(false, metadataError);
        return;
    }
    if (!migrationBackupDone_ && migrationBackupHook_) {
        LdError backupError;
        if (!migrationBackupHook_(*migrationInfo_, &backupError)) {
            finishMigration(false, backupError);
            return;
        }
    }
    migrationBackupDone_ = true;

    if (const auto previous = metadata->find(kDatabaseVersionKey); previous != metadata->end()) {
        // A database of the previous major version: its converter takes it to the current one.
        if (!converter_.has_value() || !converter_->convert ||
            previous->second.integerValue() < converter_->oldestAcceptedVersion) {
            finishMigration(false,
                            LdError::errorWithTitle(
                                    "_DB_MANAGER_ERROR_DB_VERSION_FROM_OLD_LD4_VERSION",
                                    "_DB_MANAGER_ERROR_DB_VERSION_FROM_OLD_LD4_VERSION_DESC"));
            return;
        }
        auto convert = converter_->convert;
        runMigrationWork(
                [convert, url, password](LdOperation& operation, LdError* error) {
                    return convert(url, password, operation, error);
                },
                [](LdError*) { return true; }, password);
        return;
    }

    const std::optional<int> version = modelVersionOfMetadata(*metadata);
    const auto step = version.has_value() ? migrationSteps_.find(*version) : migrationSteps_.end();
    if (step == migrationSteps_.end() || !step->second.migrate) {
        LdError error = LdError::errorWithTitle("_ERROR", "_DB_MANAGER_ERROR_NO_MIGRATION_STEP");
        error.addDebugInfo("modelVersion", static_cast<std::int64_t>(version.value_or(-1)));
        finishMigration(false, std::move(error));
        return;
    }
    // The step writes into a fresh folder of "MigrationTemp"; the result replaces the store.
    const fs::path tempFolder =
            LdApplication::baseFolder() / kMigrationTempFolderName / LdUUID::uuidString();
    const fs::path destination = tempFolder / kStoreFileName;
    auto migrate = step->second.migrate;
    runMigrationWork(
            [migrate, store, destination, tempFolder, password](LdOperation& operation,
                                                                LdError* error) {
                std::error_code code;
                fs::create_directories(tempFolder, code);
                if (code) {
                    return failWith(error,
                                    fileError("_DB_MANAGER_MIGRATION_FAILED", tempFolder, code));
                }
                return migrate(store, destination, password, operation, error);
            },
            // finishedMigrationSuccessfullyForURL:databasePassword:error:
            [store, destination, tempFolder](LdError* error) {
                std::error_code code;
                const bool moved = moveFile(destination, store, code);
                std::error_code ignored;
                fs::remove_all(tempFolder, ignored);
                return moved ||
                       failWith(error, fileError("_DB_MANAGER_MIGRATION_FAILED", store, code));
            },
            password);
}

void LdCDatabaseManager::runMigrationWork(std::function<bool(LdOperation&, LdError*)> work,
                                          std::function<bool(LdError*)> onSuccess,
                                          const std::optional<std::string>& password) {
    std::weak_ptr<bool> alive = alive_;
    migrationOperation_ = migrationQueue_->addOperation(
            [work = std::move(work)](LdOperation& operation, LdError* error) {
                return work(operation, error);
            },
            [this, alive, onSuccess = std::move(onSuccess),
             password](const LdOperationResult& result) {
                const std::shared_ptr<bool> stillAlive = alive.lock();
                if (!stillAlive || !*stillAlive || !migrationInfo_) {
                    return;
                }
                migrationProgressTimer_.invalidate();
                migrationOperation_.reset();
                if (!result.succeeded) {
                    finishMigration(false,
                                    result.error.isSet()
                                            ? result.error
                                            : LdError::errorWithTitle(
                                                      "_ERROR", "_DB_MANAGER_MIGRATION_FAILED"));
                    return;
                }
                LdError error;
                if (!onSuccess(&error)) {
                    finishMigration(false, error);
                    return;
                }
                runNextMigrationStep(password);
            });
    // The info's progress follows the step's (observing its migrationProgress).
    migrationProgressTimer_ = LdMainQueue::main().scheduleTimer(
            kMigrationProgressInterval,
            [this, alive] {
                const std::shared_ptr<bool> stillAlive = alive.lock();
                if (!stillAlive || !*stillAlive || !migrationInfo_ || !migrationOperation_) {
                    return;
                }
                const double fraction = migrationOperation_->fractionCompleted();
                if (migrationInfo_->progress() != fraction) {
                    migrationInfo_->setProgress(fraction);
                    notifyObserversOfDatabaseInfo(migrationInfo_);
                }
            },
            /*repeats=*/true);
}

void LdCDatabaseManager::finishMigration(bool success, std::optional<LdError> error) {
    migrationProgressTimer_.invalidate();
    migrationOperation_.reset();
    const InfoPtr info = std::move(migrationInfo_);
    migrationInfo_ = nullptr;
    MigrationCompletion completion = std::move(migrationCompletion_);
    migrationCompletion_ = nullptr;
    info->setMigrating(false);
    info->setProgress(std::nullopt);
    notifyObserversOfDatabaseInfo(info);
    if (completion) {
        completion(success, std::move(error));
    }
}

void LdCDatabaseManager::waitUntilMigrationStepFinished() {
    migrationQueue_->waitUntilAllOperationsAreFinished();
}
