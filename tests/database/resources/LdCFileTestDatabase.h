// The fixture of the resource-file tests: a catalogue in a temporary folder on a manual clock, with
// helpers to create and open databases and to look at their attachment folders.
#pragma once

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/database/catalogue/LdCDatabaseInfo.h"
#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/resources/LdCFileAttachmentsManager.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/security/LdSecretStore.h"
#include "core/support/platform/LdClock.h"
#include "core/support/queues/LdMainQueue.h"

#include "tests/testutil/LdTestUtil.h"

class LdCFileTestDatabase : public ::testing::Test {
protected:
    LdCFileTestDatabase()
        : clock_(LdDate::fromReferenceSeconds(800'000'000.0)),
          scopedClock_(clock_),
          settings_(LdUserDefaults::inMemory()) {
        std::filesystem::create_directories(folder_.path() / "databases");
        catalogue_ = std::make_unique<LdCDatabaseManager>(folder_.path() / "databases", *settings_,
                                                          secrets_, clock_);
    }
    ~LdCFileTestDatabase() override {
        catalogue_.reset();
        LdMainQueue::main().runUntilIdle();
    }

    // Creates the database `name` and opens it fully with `password` (nullopt: none).
    LdCOpenDatabaseManager* createAndOpen(const std::string& name,
                                          const std::optional<std::string>& password) {
        LdError error;
        info_ = catalogue_->createNewDatabaseWithName(name, &error);
        EXPECT_TRUE(info_) << error;
        return info_ ? reopen(password) : nullptr;
    }

    LdCOpenDatabaseManager* reopen(const std::optional<std::string>& password) {
        EXPECT_EQ(catalogue_->openDatabase(info_, password, kLdOpenDatabaseModeNormal),
                  kLdOpenDatabaseOpened);
        session_ = catalogue_->openDatabaseManagerForURL(info_->url());
        return session_;
    }

    void close() {
        ASSERT_NE(session_, nullptr);
        EXPECT_EQ(session_->closeDatabase(), std::nullopt);
        session_ = nullptr;
    }

    LdCFileAttachmentsManager& attachments() const {
        EXPECT_NE(session_->fileAttachmentsManager(), nullptr);
        return *session_->fileAttachmentsManager();
    }

    LdCDEntry* makeEntry(const std::string& title) const {
        auto* entry = session_->managedObjectContext()->insertNewObject<LdCDEntry>(
                LdCDEntry::entityName());
        entry->setTitle(title);
        return entry;
    }

    std::size_t count(const LdEntityDescription* entity,
                      const char* format = nullptr,
                      std::vector<LdPredicateArgument> arguments = {}) const {
        LdFetchRequest request;
        request.entity = entity;
        if (format != nullptr) {
            request.predicate = LdPredicateParser::predicateWithFormat(format, arguments);
        }
        return session_->managedObjectContext()->countForFetchRequest(request).value_or(9999);
    }

    std::filesystem::path attachmentsFolder() const {
        return LdCDatabaseManager::fileAttachmentsFolderURLForDatabaseURL(info_->url());
    }

    // The names in a resource folder, sorted; empty for a missing folder.
    static std::vector<std::string> filesIn(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // A source file outside the database.
    std::filesystem::path sourceFile(const std::string& name, const std::string& content) const {
        const std::filesystem::path path = folder_ / "sources" / name;
        ldWriteFile(path, content);
        return path;
    }

    LdTemporaryFolder folder_;
    LdManualClock clock_;
    LdScopedClock scopedClock_;
    std::unique_ptr<LdUserDefaults> settings_;
    LdInMemorySecretStore secrets_;
    std::unique_ptr<LdCDatabaseManager> catalogue_;
    LdCDatabaseManager::InfoPtr info_;
    LdCOpenDatabaseManager* session_ = nullptr;
};
