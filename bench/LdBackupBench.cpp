// Backing up and exporting a database of 100,000 transactions with 200 MB of file attachments,
// each beside `cp -a` of the same database folder run from this process: the goal is at most 1.5
// times the copy's time. With LD_BACKUP_BENCH_FOLDER set the database is made in that databases
// folder and kept (tools/measure-backup-memory.sh measures the command line's backup on it).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/database/backup/LdCDatabaseBackupManager.h"
#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/security/LdSecretStore.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

constexpr int kAccounts = 10;
constexpr int kEntries = 100000;
constexpr int kAttachmentFiles = 200;
constexpr std::size_t kAttachmentBytes = std::size_t{1} << 20;
constexpr int kBackupReasonTimeBased = 1;

double secondsSince(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::string shellQuoted(const std::filesystem::path& path) {
    std::string quoted = "'";
    for (const char character : path.string()) {
        quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
    }
    return quoted + "'";
}

// The catalogue over a databases folder holding one plain database "Bench" with the ledger and
// the attachment files, and a backup manager writing into "Backups" beside it.
struct Fixture {
    Fixture() {
        const char* kept = std::getenv("LD_BACKUP_BENCH_FOLDER");
        keep = kept != nullptr && *kept != '\0';
        root = keep ? std::filesystem::path(kept)
                    : std::filesystem::temp_directory_path() / "ld-backup-bench";
        if (!keep) {
            std::filesystem::remove_all(root);
        }
        settings = LdUserDefaults::inMemory();
        catalogue = std::make_unique<LdCDatabaseManager>(root / "Databases", *settings, secrets,
                                                         LdClock::shared());
        for (const auto& existing : catalogue->allDatabases()) {
            if (existing->name() == "Bench") {
                info = existing;
            }
        }
        if (!info) {
            makeDatabase();
        }
        backups = std::make_unique<LdCDatabaseBackupManager>(*catalogue);
        backups->setBackupFolderOverride(root / "Backups");
    }
    ~Fixture() {
        backups.reset();
        catalogue.reset();
        if (!keep) {
            std::filesystem::remove_all(root);
        }
    }

    void makeDatabase() {
        info = catalogue->createNewDatabaseWithName("Bench");
        if (!info || catalogue->openDatabase(info, std::nullopt, 0) != kLdOpenDatabaseOpened) {
            std::abort();
        }
        LdCOpenDatabaseManager* session = catalogue->openDatabaseManagerForURL(info->url());
        LdManagedObjectContext& context = *session->managedObjectContext();
        context.setUndoEnabled(false);
        const LdDate start = LdDate::fromReferenceSeconds(700'000'000.0);
        const int perAccount = kEntries / kAccounts;
        for (int accountIndex = 0; accountIndex < kAccounts; ++accountIndex) {
            auto* account = context.insertNewObject<LdCDAccount>(LdCDAccount::entityName());
            account->setTitle("Account " + std::to_string(accountIndex));
            account->setCurrencyCode("EUR");
            session->currentUser()->mainAccountList()->addListObjectsObject(account);
            LdCDDayBalance* day = nullptr;
            for (int index = 0; index < perAccount; ++index) {
                if (index % 4 == 0) {
                    day = context.insertNewObject<LdCDDayBalance>(LdCDDayBalance::entityName());
                    day->setDate(start.dateByAddingTimeInterval(86400.0 * (index / 4)));
                    day->setAccount(account);
                }
                auto* entry = context.insertNewObject<LdCDEntry>(LdCDEntry::entityName());
                entry->setTitle("Entry " + std::to_string(index));
                entry->setAmount(LdDecimal::fromString("-12.34"));
                entry->setDayBalance(day);
            }
        }
        if (!session->saveChanges()) {
            std::abort();
        }
        session->closeDatabase();

        // Random bytes, so that no layer below can make the copy cheaper by compressing.
        const auto attachments =
                LdCDatabaseManager::fileAttachmentsFolderURLForDatabaseURL(info->url());
        std::filesystem::create_directories(attachments);
        std::mt19937_64 random(42);
        std::vector<std::uint64_t> block(kAttachmentBytes / sizeof(std::uint64_t));
        for (int file = 0; file < kAttachmentFiles; ++file) {
            std::generate(block.begin(), block.end(), std::ref(random));
            std::ofstream out(attachments / ("attachment-" + std::to_string(file) + ".bin"),
                              std::ios::binary);
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(kAttachmentBytes));
        }
    }

    // `cp -a` of the database folder into a fresh folder; its seconds, or a negative number when
    // it failed. The copy is removed again.
    double copySeconds() const {
        const std::filesystem::path target = root / "cp-copy";
        std::filesystem::remove_all(target);
        const std::string command = "cp -a " + shellQuoted(info->url()) + " " + shellQuoted(target);
        const auto started = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        const double seconds = secondsSince(started);
        std::filesystem::remove_all(target);
        return status == 0 ? seconds : -1.0;
    }

    std::filesystem::path root;
    bool keep = false;
    std::unique_ptr<LdUserDefaults> settings;
    LdInMemorySecretStore secrets;
    std::unique_ptr<LdCDatabaseManager> catalogue;
    LdCDatabaseManager::InfoPtr info;
    std::unique_ptr<LdCDatabaseBackupManager> backups;
};

Fixture& fixture() {
    static Fixture shared;
    return shared;
}

void reportAgainstCopy(benchmark::State& state, double best, double bestCopy) {
    state.counters["ours_ms"] = best * 1000;
    state.counters["cp_a_ms"] = bestCopy * 1000;
    state.counters["ratio_to_cp_a"] = bestCopy > 0 ? best / bestCopy : 0;
}

void BM_Backup100kWith200MB(benchmark::State& state) {
    Fixture& shared = fixture();
    const std::string databaseID = shared.info->databaseID();
    double best = 1e9;
    double bestCopy = 1e9;
    for (auto _ : state) {
        const double copy = shared.copySeconds();
        if (copy < 0) {
            state.SkipWithError("cp -a failed");
            return;
        }
        bestCopy = std::min(bestCopy, copy);
        bool succeeded = false;
        const auto started = std::chrono::steady_clock::now();
        const bool startedBackup = shared.backups->startBackupForDatabaseAtURL(
                shared.info->url(), kBackupReasonTimeBased,
                [&succeeded](bool success, const std::optional<LdError>&) { succeeded = success; });
        shared.backups->waitUntilAllExportsFinished();
        const double seconds = secondsSince(started);
        if (!startedBackup || !succeeded) {
            state.SkipWithError("backup failed");
            return;
        }
        best = std::min(best, seconds);
        state.SetIterationTime(seconds);
        shared.backups->deleteAllBackupsForDatabaseID(databaseID);
    }
    reportAgainstCopy(state, best, bestCopy);
}

void BM_ArchiveExport100kWith200MB(benchmark::State& state) {
    Fixture& shared = fixture();
    const std::filesystem::path archive =
            shared.root / (std::string("Export.") + LdCDatabaseBackupManager::kArchiveExtension);
    double best = 1e9;
    double bestCopy = 1e9;
    for (auto _ : state) {
        const double copy = shared.copySeconds();
        if (copy < 0) {
            state.SkipWithError("cp -a failed");
            return;
        }
        bestCopy = std::min(bestCopy, copy);
        std::filesystem::remove_all(archive);
        bool succeeded = false;
        const auto started = std::chrono::steady_clock::now();
        LdError error;
        const bool queued = shared.backups->exportDatabaseAtURL(
                shared.info->url(), archive, 0,
                [&succeeded](bool success, const std::optional<LdError>&) { succeeded = success; },
                &error);
        shared.backups->waitUntilAllExportsFinished();
        const double seconds = secondsSince(started);
        if (!queued || !succeeded) {
            state.SkipWithError(("export failed: " + error.description()).c_str());
            return;
        }
        best = std::min(best, seconds);
        state.SetIterationTime(seconds);
    }
    std::filesystem::remove_all(archive);
    reportAgainstCopy(state, best, bestCopy);
}

}  // namespace

BENCHMARK(BM_Backup100kWith200MB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ArchiveExport100kWith200MB)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
