// LdInfoDictionary: decoding, changing and encoding an account's archived info dictionary.
#include "core/database/model/LdInfoDictionary.h"

#include "core/support/plist/LdKeyedArchive.h"

namespace {

// The refusal of a change whose existing data cannot be decoded; the decoder's error rides along.
LdError unreadableError(const LdError& decodeError) {
    LdError error = LdError::errorWithTitle(
            "_ERROR", "The account's info dictionary cannot be read, so it was not changed.");
    if (decodeError.isSet()) {
        error.setUnderlyingError(decodeError);
    }
    return error;
}

}  // namespace

const std::set<std::string>& LdInfoDictionary::allowedClasses() {
    // The union of every writer's and reader's classes: the info dictionary readers (dictionaries,
    // texts, numbers, arrays, mutable arrays, dates), the import settings (dictionaries, texts,
    // numbers) and data written by other parts of the application.
    static const std::set<std::string> kClasses = {
            "NSDictionary", "NSMutableDictionary", "NSString", "NSNumber",
            "NSArray",      "NSMutableArray",      "NSDate",   "NSData"};
    return kClasses;
}

std::optional<LdValue::Dictionary> LdInfoDictionary::infoDictionaryFromData(const LdData& data,
                                                                            LdError* error) {
    if (data.empty()) {
        return LdValue::Dictionary();
    }
    std::optional<LdValue> root =
            LdKeyedUnarchiver::unarchivedObjectOfClasses(allowedClasses(), data, error);
    if (!root) {
        return std::nullopt;
    }
    if (root->isNull()) {
        return LdValue::Dictionary();
    }
    if (!root->isDictionary()) {
        failWith(error, LdError::errorWithTitle(
                                "_ERROR", "The account's info dictionary holds no dictionary."));
        return std::nullopt;
    }
    return root->dictionaryValue();
}

std::optional<LdData> LdInfoDictionary::dataForInfoDictionary(const LdValue::Dictionary& dictionary,
                                                              LdError* error) {
    if (dictionary.empty()) {
        return LdData();
    }
    return LdKeyedArchiver::archivedDataWithRootObject(LdValue(dictionary), error);
}

std::optional<LdData> LdInfoDictionary::dataBySettingValue(const LdData& existing,
                                                           const std::string& key,
                                                           const LdValue& value,
                                                           LdError* error) {
    if (key.empty()) {
        return std::nullopt;
    }
    LdError decodeError;
    std::optional<LdValue::Dictionary> dictionary = infoDictionaryFromData(existing, &decodeError);
    if (!dictionary) {
        // Writing only the new key would lose every other one.
        failWith(error, unreadableError(decodeError));
        return std::nullopt;
    }
    if (value.isNull()) {
        dictionary->erase(key);
    } else {
        (*dictionary)[key] = value;
    }
    return dataForInfoDictionary(*dictionary, error);
}

std::optional<LdData> LdInfoDictionary::dataBySettingImportSettings(
        const LdData& existing,
        const LdValue::Dictionary& settings,
        const std::string& fileSource,
        LdError* error) {
    if (fileSource.empty()) {
        return std::nullopt;
    }
    LdValue value;  // empty settings remove the key
    if (!settings.empty()) {
        value = LdValue(settings);
    }
    return dataBySettingValue(existing, importSettingsKey(fileSource), value, error);
}

std::optional<LdValue::Dictionary> LdInfoDictionary::importSettingsForFileSource(
        const LdData& data, const std::string& fileSource, LdError* error) {
    if (fileSource.empty()) {
        return std::nullopt;
    }
    std::optional<LdValue::Dictionary> dictionary = infoDictionaryFromData(data, error);
    if (!dictionary) {
        return std::nullopt;
    }
    const auto found = dictionary->find(importSettingsKey(fileSource));
    if (found == dictionary->end()) {
        return LdValue::Dictionary();
    }
    if (!found->second.isDictionary()) {
        failWith(error,
                 LdError::errorWithTitle(
                         "_ERROR", "The import settings of the file source are no dictionary."));
        return std::nullopt;
    }
    return found->second.dictionaryValue();
}
