// LdUserDefaults: the application's settings, typed values under the keys callers name, kept in a
// JSON file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/foundation/LdValue.h"

// A settings store. Values live in memory and every change is written at once to the store's file
// (settings change rarely), atomically: a temporary file beside it, flushed, then renamed over it.
// The file is read on first use; a file that cannot be read or parsed is set aside as
// "<name>.corrupt" and the store starts empty. Write and read failures are logged, never thrown;
// the values in memory stay. Registered defaults answer for keys that hold no value and are never
// written. File form: one JSON object; values JSON lacks are tagged: {"$date": seconds since
// 2001-01-01},
// {"$data": "<base64>"}, {"$decimal": "<text>"}, {"$uid": n}, {"$real": "nan" | "inf" | "-inf"},
// and a dictionary that could be mistaken for a tag (one key starting with "$") as {"$dict":
// {...}}. Thread-safe.
class LdUserDefaults {
public:
    // A store kept in `filePath` (its folder is created on the first write); an empty path keeps
    // the values in memory only.
    explicit LdUserDefaults(std::filesystem::path filePath);
    ~LdUserDefaults();
    LdUserDefaults(const LdUserDefaults&) = delete;
    LdUserDefaults& operator=(const LdUserDefaults&) = delete;

    // A store without a file (tests).
    static std::unique_ptr<LdUserDefaults> inMemory();

    // standardUserDefaults — the process's store, "settings.json" in standardFolder(), unless a
    // test installed another.
    static LdUserDefaults& standard();
    // Installs a store as the process's (tests); nullptr restores the file store. The caller keeps
    // it alive while it is installed.
    static void setStandard(LdUserDefaults* defaults);
    // The application's configuration folder: $XDG_CONFIG_HOME/ledra, else $HOME/.config/ledra.
    static std::filesystem::path standardFolder();

    // The file behind the store; empty for an in-memory store.
    const std::filesystem::path& filePath() const { return filePath_; }

    // objectForKey: — the stored value, else the registered default, else nothing.
    std::optional<LdValue> objectForKey(std::string_view key) const;
    // Whether objectForKey: finds a value.
    bool hasKey(std::string_view key) const;

    // boolForKey: — numbers are true when not zero, texts when "YES", "true" or a non-zero number;
    // anything else (or nothing) is false.
    bool boolForKey(std::string_view key) const;
    // integerForKey: — numbers convert (reals truncate), texts holding a number are read; else 0.
    std::int64_t integerForKey(std::string_view key) const;
    // doubleForKey: — as integerForKey:, 0.0 when there is no number.
    double doubleForKey(std::string_view key) const;
    // stringForKey: — a text as it is, a number as its text; nothing for other values.
    std::optional<std::string> stringForKey(std::string_view key) const;
    // dataForKey: — nothing unless the value is data.
    std::optional<LdData> dataForKey(std::string_view key) const;
    // dateForKey: — nothing unless the value is a date.
    std::optional<LdDate> dateForKey(std::string_view key) const;
    // dictionaryForKey: — nothing unless the value is a dictionary.
    std::optional<LdValue::Dictionary> dictionaryForKey(std::string_view key) const;
    // arrayForKey: — nothing unless the value is an array.
    std::optional<LdValue::Array> arrayForKey(std::string_view key) const;

    // setObject:forKey: — a null value removes the key. An empty key is a missing argument: nothing
    // happens.
    void set(std::string_view key, LdValue value);
    // setBool:forKey:
    void setBool(bool value, std::string_view key) { set(key, LdValue(value)); }
    // setInteger:forKey:
    void setInteger(std::int64_t value, std::string_view key) { set(key, LdValue(value)); }
    // setDouble:forKey:
    void setDouble(double value, std::string_view key) { set(key, LdValue(value)); }
    // setString:forKey: (setObject:forKey: with a text)
    void setString(std::string_view value, std::string_view key) { set(key, LdValue(value)); }
    // setData:forKey:
    void setData(LdData value, std::string_view key) { set(key, LdValue(std::move(value))); }
    // setDate:forKey:
    void setDate(LdDate value, std::string_view key) { set(key, LdValue(value)); }

    // removeObjectForKey: — the registered default, if any, answers again.
    void removeObjectForKey(std::string_view key);

    // registerDefaults: — merged into the fallback values (a later registration of a key wins).
    void registerDefaults(const LdValue::Dictionary& defaults);

    // The stored values, without the registered defaults.
    LdValue::Dictionary storedValues() const;

private:
    // Reads the file once; called with the mutex held. Returns a failure text to log, or nothing.
    std::optional<std::string> loadIfNeeded() const;
    // Writes the values; called with the mutex held. Returns a failure text to log, or nothing.
    std::optional<std::string> save() const;
    const LdValue* findLocked(std::string_view key) const;

    std::filesystem::path filePath_;
    mutable std::mutex mutex_;
    mutable bool loaded_ = false;
    mutable LdValue::Dictionary values_;
    LdValue::Dictionary registered_;
};

namespace ld::detail {
// The JSON text of a settings dictionary and back (exposed for tests). Parsing returns nothing for
// text that is not a JSON object.
std::string userDefaultsJsonFromDictionary(const LdValue::Dictionary& values);
std::optional<LdValue::Dictionary> userDefaultsDictionaryFromJson(std::string_view text);
}  // namespace ld::detail
