// LdInfoDictionary: reading and changing the info dictionary an account keeps as a secure keyed
// archive in its "infoDictData" attribute, and the per-file-source import settings inside it.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

// Import settings of a file source live in the info dictionary under this prefix plus the file
// source's name.
inline constexpr const char* kLdImportSettingsKeyPrefix = "importsettings_";

// Operations on the archived data of an info dictionary; the account's object class stores the
// data. Class operations only, safe on any thread.
//
// Every writer and reader decodes with the same classes, the union of what any of them stores:
// dictionaries, texts, numbers, arrays, dates and data. Changing one key decodes the whole
// dictionary first and refuses the write when that fails, so one key's change never drops the
// others.
class LdInfoDictionary {
public:
    // The classes an info dictionary may hold (mutable kinds and decimal numbers included).
    static const std::set<std::string>& allowedClasses();

    // infoDictionary — the dictionary in `data`; empty data (and an archive of nothing) is an
    // empty dictionary. Fails with an error when the data is no archive of a dictionary of the
    // allowed classes.
    static std::optional<LdValue::Dictionary> infoDictionaryFromData(const LdData& data,
                                                                     LdError* error = nullptr);

    // setInfoDictionary: — the archive of `dictionary`; an empty dictionary gives empty data,
    // which clears the attribute. Fails with an error for a value the archive cannot hold.
    static std::optional<LdData> dataForInfoDictionary(const LdValue::Dictionary& dictionary,
                                                       LdError* error = nullptr);

    // setInfoDictValue:forKey: — `existing` with `key` set to `value` (a null value removes the
    // key), every other key kept. Fails with an error, and nothing to store, when `existing`
    // cannot be decoded. An empty key is a missing argument: nothing and no error.
    static std::optional<LdData> dataBySettingValue(const LdData& existing,
                                                    const std::string& key,
                                                    const LdValue& value,
                                                    LdError* error = nullptr);

    // setImportSettingsDictionary:forFileSource: — `existing` with the file source's import
    // settings replaced by `settings` (an empty dictionary removes them), every other key kept.
    // Fails like dataBySettingValue; an empty file source is a missing argument.
    static std::optional<LdData> dataBySettingImportSettings(const LdData& existing,
                                                             const LdValue::Dictionary& settings,
                                                             const std::string& fileSource,
                                                             LdError* error = nullptr);

    // importSettingsDictionaryForFileSource: — the file source's import settings, empty when none
    // are stored. Fails with an error when `data` cannot be decoded or holds something other than a
    // dictionary under the file source's key. An empty file source is a missing argument.
    static std::optional<LdValue::Dictionary> importSettingsForFileSource(
            const LdData& data, const std::string& fileSource, LdError* error = nullptr);

    // The info dictionary key of a file source's import settings.
    static std::string importSettingsKey(const std::string& fileSource) {
        return kLdImportSettingsKeyPrefix + fileSource;
    }
};
