// Reading and writing the metadata file of a database.
#include "core/database/catalogue/LdCDatabaseMetadataItem.h"

#include <algorithm>
#include <exception>

#include <nlohmann/json.hpp>

#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/support/foundation/LdCivilDate.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdFiles.h"
#include "core/support/plist/LdKeyedArchive.h"

namespace {

using Json = nlohmann::json;

LdError damagedFileError(std::string_view reason) {
    LdError error = LdError::errorWithTitle("_ERROR", "_DB_METADATA_FILE_DAMAGED");
    error.addDebugInfo("reason", std::string(reason));
    return error;
}

// Parses `count` decimal digits at `position`; nothing when one is missing.
std::optional<int> digits(std::string_view text, std::size_t& position, std::size_t count) {
    if (position + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t index = 0; index < count; ++index) {
        const char character = text[position + index];
        if (character < '0' || character > '9') {
            return std::nullopt;
        }
        value = value * 10 + (character - '0');
    }
    position += count;
    return value;
}

bool expect(std::string_view text, std::size_t& position, char character) {
    if (position < text.size() && text[position] == character) {
        ++position;
        return true;
    }
    return false;
}

// A date value of either file form: an ISO 8601 text or (keyed archive) a date object.
std::optional<LdDate> dateValue(const LdValue* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->isDate()) {
        return value->dateValue();
    }
    if (value->isString()) {
        return ld::detail::metadataDateFromISO8601(value->stringValue());
    }
    return std::nullopt;
}

std::optional<std::string> textValue(const LdValue* value) {
    if (value == nullptr || !value->isString()) {
        return std::nullopt;
    }
    return value->stringValue();
}

// The metadata dictionary of a JSON object; nothing for any other JSON value.
std::optional<LdValue::Dictionary> dictionaryFromJson(const Json& json) {
    if (!json.is_object()) {
        return std::nullopt;
    }
    LdValue::Dictionary values;
    for (const auto& [key, value] : json.items()) {
        if (value.is_string()) {
            values.emplace(key, LdValue(value.get<std::string>()));
        } else if (value.is_boolean()) {
            values.emplace(key, LdValue(value.get<bool>()));
        } else if (value.is_number_integer()) {
            values.emplace(key, LdValue(value.get<std::int64_t>()));
        } else if (value.is_number()) {
            values.emplace(key, LdValue(value.get<double>()));
        }
    }
    return values;
}

}  // namespace

namespace ld::detail {

std::optional<LdDate> metadataDateFromISO8601(std::string_view text) {
    std::size_t position = 0;
    const auto year = digits(text, position, 4);
    if (!year || !expect(text, position, '-')) {
        return std::nullopt;
    }
    const auto month = digits(text, position, 2);
    if (!month || !expect(text, position, '-')) {
        return std::nullopt;
    }
    const auto day = digits(text, position, 2);
    if (!day || !expect(text, position, 'T')) {
        return std::nullopt;
    }
    const auto hour = digits(text, position, 2);
    if (!hour || !expect(text, position, ':')) {
        return std::nullopt;
    }
    const auto minute = digits(text, position, 2);
    if (!minute || !expect(text, position, ':')) {
        return std::nullopt;
    }
    const auto second = digits(text, position, 2);
    if (!second) {
        return std::nullopt;
    }
    double fraction = 0.0;
    if (expect(text, position, '.')) {
        double scale = 0.1;
        const std::size_t start = position;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
            fraction += scale * (text[position] - '0');
            scale /= 10.0;
            ++position;
        }
        if (position == start) {
            return std::nullopt;
        }
    }
    int offsetSeconds = 0;
    if (!expect(text, position, 'Z')) {
        if (position >= text.size() || (text[position] != '+' && text[position] != '-')) {
            return std::nullopt;
        }
        const int sign = text[position] == '-' ? -1 : 1;
        ++position;
        const auto offsetHours = digits(text, position, 2);
        expect(text, position, ':');
        const auto offsetMinutes = digits(text, position, 2);
        if (!offsetHours || !offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = sign * (*offsetHours * 3600 + *offsetMinutes * 60);
    }
    if (position != text.size() || *month < 1 || *month > 12 || *day < 1 ||
        *day > LdCivilDate::daysInMonth(*year, *month) || *hour > 23 || *minute > 59 ||
        *second > 60) {
        return std::nullopt;
    }
    const std::int64_t days = LdCivilDate::daysFromCivil(*year, *month, *day);
    const double unixSeconds = static_cast<double>(days) * 86400.0 + *hour * 3600.0 +
                               *minute * 60.0 + *second + fraction - offsetSeconds;
    return LdDate::fromUnixSeconds(unixSeconds);
}

}  // namespace ld::detail

LdCDatabaseMetadataItem LdCDatabaseMetadataItem::metadataItemForNewDatabaseAtURL(
        const std::filesystem::path& databaseURL, const LdClock& clock) {
    LdCDatabaseMetadataItem item(LdCDatabaseManager::metadataFileURLForDatabaseURL(databaseURL));
    item.setLastModified(clock.now());
    item.setLastWritingAppName(LdApplication::name());
    item.setLastWritingAppVersion(LdApplication::version());
    item.setSyncMode(kSyncModeNone);
    return item;
}

std::optional<LdCDatabaseMetadataItem> LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(
        const std::filesystem::path& metadataFileURL, LdError* error) {
    std::string failure;
    const std::optional<LdData> data = LdFiles::readFileContents(metadataFileURL, &failure);
    if (!data.has_value()) {
        LdError made = LdError::errorWithTitle("_ERROR", "_DB_METADATA_FILE_NOT_READABLE");
        made.addDebugInfo("path", metadataFileURL.string());
        made.addDebugInfo("reason", failure);
        failWith(error, std::move(made));
        return std::nullopt;
    }
    std::optional<LdCDatabaseMetadataItem> item = metadataItemFromData(*data, error);
    if (item.has_value()) {
        item->setMetadataFileURL(metadataFileURL);
    } else if (error != nullptr) {
        error->addDebugInfo("path", metadataFileURL.string());
    }
    return item;
}

std::optional<LdCDatabaseMetadataItem> LdCDatabaseMetadataItem::metadataItemFromData(
        const LdData& data, LdError* error) {
    // A JSON object starts with "{" after optional white space; anything else is taken for a
    // keyed archive.
    const auto first = std::find_if(data.begin(), data.end(), [](std::uint8_t byte) {
        return byte != ' ' && byte != '\t' && byte != '\n' && byte != '\r';
    });
    if (first != data.end() && *first == '{') {
        std::optional<LdValue::Dictionary> values;
        try {
            values = dictionaryFromJson(Json::parse(data.begin(), data.end()));
        } catch (const std::exception& exception) {
            failWith(error, damagedFileError(exception.what()));
            return std::nullopt;
        }
        if (!values.has_value()) {
            failWith(error, damagedFileError("not a JSON object"));
            return std::nullopt;
        }
        return metadataItemFromDictionary(*values);
    }
    LdError archiveError;
    const std::optional<LdValue> root =
            LdKeyedUnarchiver::unarchivedObjectFromData(data, &archiveError);
    if (!root.has_value() || !root->isDictionary()) {
        LdError made = damagedFileError(root.has_value() ? "archive root is no dictionary"
                                                         : "neither JSON nor a keyed archive");
        if (archiveError.isSet()) {
            made.setUnderlyingError(archiveError);
        }
        failWith(error, std::move(made));
        return std::nullopt;
    }
    return metadataItemFromDictionary(root->dictionaryValue());
}

LdCDatabaseMetadataItem LdCDatabaseMetadataItem::metadataItemFromDictionary(
        const LdValue::Dictionary& values) {
    const auto find = [&values](const char* key) -> const LdValue* {
        const auto found = values.find(key);
        return found == values.end() ? nullptr : &found->second;
    };
    LdCDatabaseMetadataItem item;
    item.lastModified_ = dateValue(find(kLastModifiedKey));
    item.lastModifiedForICloud_ = dateValue(find(kLastModifiedForICloudKey));
    item.lastWritingAppName_ = textValue(find(kLastWritingAppKey));
    item.lastWritingAppVersion_ = textValue(find(kLastWritingAppVersionKey));
    if (const LdValue* merge = find(kNeedsICloudMergeKey); merge != nullptr && merge->isNumber()) {
        item.needsICloudMerge_ = merge->boolValue();
    }
    if (const LdValue* mode = find(kSyncModeKey); mode != nullptr && mode->isNumber()) {
        const std::int64_t number = mode->integerValue();
        if (number >= 0 && number <= static_cast<std::int64_t>(UINT32_MAX)) {
            item.syncMode_ = static_cast<std::uint32_t>(number);
        }
    }
    return item;
}

std::string LdCDatabaseMetadataItem::jsonRepresentation() const {
    Json json = Json::object();
    const auto putDate = [&json](const char* key, const std::optional<LdDate>& date) {
        if (!date.has_value()) {
            return;
        }
        if (std::optional<std::string> text = date->iso8601String()) {
            json[key] = *text;
        }
    };
    putDate(kLastModifiedKey, lastModified_);
    putDate(kLastModifiedForICloudKey, lastModifiedForICloud_);
    if (lastWritingAppName_.has_value()) {
        json[kLastWritingAppKey] = *lastWritingAppName_;
    }
    if (lastWritingAppVersion_.has_value()) {
        json[kLastWritingAppVersionKey] = *lastWritingAppVersion_;
    }
    json[kNeedsICloudMergeKey] = needsICloudMerge_;
    json[kSyncModeKey] = syncMode_;
    // Texts that are not valid UTF-8 are written with replacement characters, never thrown.
    return json.dump(2, ' ', false, Json::error_handler_t::replace);
}

bool LdCDatabaseMetadataItem::writeMetadata(LdError* error) {
    if (metadataFileURL_.empty()) {
        return false;  // missing argument: no file to write to
    }
    const std::string text = jsonRepresentation();
    std::string failure;
    if (!LdFiles::writeFileAtomically(
                metadataFileURL_,
                std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                &failure)) {
        LdError made = LdError::errorWithTitle("_ERROR", "_DB_METADATA_FILE_NOT_WRITTEN");
        made.addDebugInfo("path", metadataFileURL_.string());
        made.addDebugInfo("reason", failure);
        return failWith(error, std::move(made));
    }
    hasChanges_ = false;
    return true;
}

void LdCDatabaseMetadataItem::setLastModified(std::optional<LdDate> date) {
    if (lastModified_ != date) {
        lastModified_ = date;
        hasChanges_ = true;
    }
}

void LdCDatabaseMetadataItem::setLastModifiedForICloud(std::optional<LdDate> date) {
    if (lastModifiedForICloud_ != date) {
        lastModifiedForICloud_ = date;
        hasChanges_ = true;
    }
}

void LdCDatabaseMetadataItem::setLastWritingAppName(std::optional<std::string> name) {
    if (lastWritingAppName_ != name) {
        lastWritingAppName_ = std::move(name);
        hasChanges_ = true;
    }
}

void LdCDatabaseMetadataItem::setLastWritingAppVersion(std::optional<std::string> version) {
    if (lastWritingAppVersion_ != version) {
        lastWritingAppVersion_ = std::move(version);
        hasChanges_ = true;
    }
}

void LdCDatabaseMetadataItem::setSyncMode(std::uint32_t syncMode) {
    if (syncMode_ != syncMode) {
        syncMode_ = syncMode;
        hasChanges_ = true;
    }
}

void LdCDatabaseMetadataItem::setNeedsICloudMerge(bool needsMerge) {
    if (needsICloudMerge_ != needsMerge) {
        needsICloudMerge_ = needsMerge;
        hasChanges_ = true;
    }
}

bool LdCDatabaseMetadataItem::operator==(const LdCDatabaseMetadataItem& other) const {
    return lastModified_ == other.lastModified_ &&
           lastModifiedForICloud_ == other.lastModifiedForICloud_ &&
           lastWritingAppName_ == other.lastWritingAppName_ &&
           lastWritingAppVersion_ == other.lastWritingAppVersion_ && syncMode_ == other.syncMode_ &&
           needsICloudMerge_ == other.needsICloudMerge_;
}
