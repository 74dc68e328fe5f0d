// The settings store: values in memory behind a mutex, loaded lazily from a JSON file and written
// back atomically on every change.
#include "core/support/platform/LdUserDefaults.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/support/LdError.h"
#include "core/support/foundation/LdBase64.h"
#include "core/support/platform/LdApplication.h"
#include "core/support/platform/LdFiles.h"

namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

std::atomic<LdUserDefaults*> installedDefaults{nullptr};

// A settings file is small; anything larger is treated as damaged rather than read into memory.
constexpr std::uintmax_t kMaxFileSize = std::uintmax_t{64} * 1024U * 1024U;
// Deeper nesting than any setting needs; deeper files are treated as damaged (the conversion
// recurses).
constexpr int kMaxNesting = 200;

// A failure found under the lock and logged after it is released (logging may read settings
// itself).
struct Failure {
    const char* descriptionKey;
    std::string reason;
};

// --- LdValue <-> JSON

Json jsonFromReal(double value) {
    if (std::isfinite(value)) {
        return Json(value);
    }
    const char* text = std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    return Json::object({{"$real", text}});
}

Json jsonFromValue(const LdValue& value) {
    switch (value.type()) {
        case LdValue::Type::Null:
            return Json(nullptr);
        case LdValue::Type::Bool:
            return Json(value.boolValue());
        case LdValue::Type::Integer:
            return Json(value.integerValue());
        case LdValue::Type::Real:
            return jsonFromReal(value.doubleValue());
        case LdValue::Type::String:
            return Json(value.stringValue());
        case LdValue::Type::Data:
            return Json::object({{"$data", LdBase64::encode(value.dataValue())}});
        case LdValue::Type::Date:
            return Json::object(
                    {{"$date", jsonFromReal(value.dateValue().timeIntervalSinceReferenceDate())}});
        case LdValue::Type::Decimal:
            return Json::object({{"$decimal", value.decimalValue().toString()}});
        case LdValue::Type::Array: {
            Json array = Json::array();
            for (const LdValue& item : value.arrayValue()) {
                array.push_back(jsonFromValue(item));
            }
            return array;
        }
        case LdValue::Type::Dictionary: {
            const LdValue::Dictionary& dictionary = value.dictionaryValue();
            Json object = Json::object();
            for (const auto& [key, item] : dictionary) {
                object[key] = jsonFromValue(item);
            }
            // One key starting with "$" would read back as a tag.
            if (dictionary.size() == 1 && dictionary.begin()->first.starts_with('$')) {
                return Json::object({{"$dict", std::move(object)}});
            }
            return object;
        }
        case LdValue::Type::UID:
            return Json::object({{"$uid", value.uidValue().value}});
    }
    return Json(nullptr);
}

LdValue valueFromJson(const Json& json);

LdValue::Dictionary dictionaryFromJsonObject(const Json& object) {
    LdValue::Dictionary dictionary;
    for (const auto& [key, item] : object.items()) {
        dictionary.emplace(key, valueFromJson(item));
    }
    return dictionary;
}

// The value of a one-key tagged object, or nothing when the object is no valid tag (it then reads
// as a plain dictionary).
std::optional<LdValue> taggedValueFromJson(const std::string& tag, const Json& content) {
    if (tag == "$data" && content.is_string()) {
        if (std::optional<LdData> data = LdBase64::decode(content.get_ref<const std::string&>())) {
            return LdValue(std::move(*data));
        }
    } else if (tag == "$date") {
        const LdValue seconds = valueFromJson(content);
        if (seconds.isInteger() || seconds.isReal()) {
            return LdValue(LdDate::fromReferenceSeconds(seconds.doubleValue()));
        }
    } else if (tag == "$decimal" && content.is_string()) {
        if (std::optional<LdDecimal> decimal =
                    LdDecimal::fromString(content.get_ref<const std::string&>())) {
            return LdValue(*decimal);
        }
        if (content.get_ref<const std::string&>() == "NaN") {
            return LdValue(LdDecimal::notANumber());
        }
    } else if (tag == "$uid" && content.is_number_unsigned()) {
        return LdValue(LdUID{content.get<std::uint64_t>()});
    } else if (tag == "$uid" && content.is_number_integer() && content.get<std::int64_t>() >= 0) {
        return LdValue(LdUID{static_cast<std::uint64_t>(content.get<std::int64_t>())});
    } else if (tag == "$real" && content.is_string()) {
        const std::string& text = content.get_ref<const std::string&>();
        if (text == "nan") {
            return LdValue(std::numeric_limits<double>::quiet_NaN());
        }
        if (text == "inf" || text == "-inf") {
            const double infinity = std::numeric_limits<double>::infinity();
            return LdValue(text == "inf" ? infinity : -infinity);
        }
    } else if (tag == "$dict" && content.is_object()) {
        return LdValue(dictionaryFromJsonObject(content));
    }
    return std::nullopt;
}

LdValue valueFromJson(const Json& json) {
    switch (json.type()) {
        case Json::value_t::boolean:
            return LdValue(json.get<bool>());
        case Json::value_t::number_integer:
            return LdValue(json.get<std::int64_t>());
        case Json::value_t::number_unsigned: {
            const auto number = json.get<std::uint64_t>();
            if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return LdValue(static_cast<std::int64_t>(number));
            }
            return LdValue(static_cast<double>(number));
        }
        case Json::value_t::number_float:
            return LdValue(json.get<double>());
        case Json::value_t::string:
            return LdValue(json.get<std::string>());
        case Json::value_t::array: {
            LdValue::Array array;
            array.reserve(json.size());
            for (const Json& item : json) {
                array.push_back(valueFromJson(item));
            }
            return LdValue(std::move(array));
        }
        case Json::value_t::object:
            if (json.size() == 1) {
                const auto only = json.begin();
                if (std::optional<LdValue> tagged = taggedValueFromJson(only.key(), only.value())) {
                    return std::move(*tagged);
                }
            }
            return LdValue(dictionaryFromJsonObject(json));
        case Json::value_t::null:
        case Json::value_t::binary:
        case Json::value_t::discarded:
            break;
    }
    return LdValue();
}

// The deepest nesting of arrays and objects in a JSON text, strings skipped.
int jsonNesting(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char character = text[index];
        if (inString) {
            if (character == '\\') {
                ++index;
            } else if (character == '"') {
                inString = false;
            }
        } else if (character == '"') {
            inString = true;
        } else if (character == '[' || character == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (character == ']' || character == '}') {
            --depth;
        }
    }
    return deepest;
}

// --- Files

enum class ReadOutcome { Read, Missing, Unreadable };

ReadOutcome readFile(const fs::path& path, std::string& text, std::string& reason) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        return ReadOutcome::Missing;
    }
    if (error) {
        reason = error.message();
        return ReadOutcome::Unreadable;
    }
    const std::uintmax_t size = fs::is_regular_file(status) ? fs::file_size(path, error) : 0;
    if (error || size > kMaxFileSize) {
        reason = error ? error.message() : "file too large";
        return ReadOutcome::Unreadable;
    }
    std::optional<LdData> contents = LdFiles::readFileContents(path, &reason);
    if (!contents) {
        return ReadOutcome::Unreadable;
    }
    text.assign(contents->begin(), contents->end());
    return ReadOutcome::Read;
}

// Creates the folder, then replaces the file atomically. Returns a failure text or nothing.
std::optional<std::string> writeFile(const fs::path& path, std::string_view text) {
    std::error_code error;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), error);
        if (error) {
            return "could not create " + path.parent_path().string() + ": " + error.message();
        }
    }
    std::string failure;
    const auto* bytes =
            reinterpret_cast<const std::uint8_t*>(text.data());  // NOLINT: text as bytes
    if (!LdFiles::writeFileAtomically(path, std::span(bytes, text.size()), &failure)) {
        return "could not write " + path.string() + ": " + failure;
    }
    return std::nullopt;
}

void logFailures(const std::vector<Failure>& failures, const fs::path& path) {
    for (const Failure& failure : failures) {
        LdError::errorWithTitle("_ERROR", failure.descriptionKey,
                                LdValue::Dictionary{{"path", LdValue(path.string())},
                                                    {"reason", LdValue(failure.reason)}});
    }
}

std::optional<double> numberFromText(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin != end && (*begin == ' ' || *begin == '\t')) {
        ++begin;
    }
    if (begin != end && *begin == '+') {
        ++begin;
    }
    double number = 0.0;
    const auto [stop, error] = std::from_chars(begin, end, number);
    if (error != std::errc() || stop == begin) {
        return std::nullopt;
    }
    return number;
}

std::optional<std::int64_t> integerFromText(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin != end && (*begin == ' ' || *begin == '\t')) {
        ++begin;
    }
    if (begin != end && *begin == '+') {
        ++begin;
    }
    std::int64_t number = 0;
    const auto [stop, error] = std::from_chars(begin, end, number);
    if (error == std::errc() && stop != begin && (stop == end || *stop != '.')) {
        return number;
    }
    // "2.5" and "1e3" read as reals and truncate, as numbers do.
    if (std::optional<double> real = numberFromText(text)) {
        return LdValue(*real).integerValue();
    }
    return std::nullopt;
}

}  // namespace

namespace ld::detail {

std::string userDefaultsJsonFromDictionary(const LdValue::Dictionary& values) {
    Json object = Json::object();
    for (const auto& [key, value] : values) {
        object[key] = jsonFromValue(value);
    }
    // Text that is not valid UTF-8 is written with replacement characters instead of failing.
    return object.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::optional<LdValue::Dictionary> userDefaultsDictionaryFromJson(std::string_view text) {
    if (jsonNesting(text) > kMaxNesting) {
        return std::nullopt;
    }
    const Json json = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    return dictionaryFromJsonObject(json);
}

}  // namespace ld::detail

LdUserDefaults::LdUserDefaults(std::filesystem::path filePath) : filePath_(std::move(filePath)) {}

LdUserDefaults::~LdUserDefaults() = default;

std::unique_ptr<LdUserDefaults> LdUserDefaults::inMemory() {
    // An empty path: nothing is read or written.
    return std::make_unique<LdUserDefaults>(std::filesystem::path());
}

LdUserDefaults& LdUserDefaults::standard() {
    if (LdUserDefaults* installed = installedDefaults.load(std::memory_order_acquire)) {
        return *installed;
    }
    static LdUserDefaults fileStore(standardFolder() / "settings.json");
    return fileStore;
}

void LdUserDefaults::setStandard(LdUserDefaults* defaults) {
    installedDefaults.store(defaults, std::memory_order_release);
}

std::filesystem::path LdUserDefaults::standardFolder() {
    return LdApplication::configFolder();
}

std::optional<std::string> LdUserDefaults::loadIfNeeded() const {
    if (loaded_ || filePath_.empty()) {
        return std::nullopt;
    }
    loaded_ = true;
    std::string text;
    std::string reason;
    const ReadOutcome outcome = readFile(filePath_, text, reason);
    if (outcome == ReadOutcome::Missing) {
        return std::nullopt;
    }
    if (outcome == ReadOutcome::Read) {
        // An empty file (a crash before the first write ever finished) is an empty store, not
        // damage.
        if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
            return std::nullopt;
        }
        if (std::optional<LdValue::Dictionary> values =
                    ld::detail::userDefaultsDictionaryFromJson(text)) {
            values_ = std::move(*values);
            return std::nullopt;
        }
        reason = "not a JSON object";
    }
    // Keeps the damaged file for inspection, out of the way of the next write.
    fs::path corrupt = filePath_;
    corrupt += ".corrupt";
    std::error_code error;
    fs::remove_all(corrupt, error);
    fs::rename(filePath_, corrupt, error);
    if (error) {
        return reason + "; could not set it aside: " + error.message();
    }
    return reason + "; set aside as " + corrupt.string();
}

std::optional<std::string> LdUserDefaults::save() const {
    if (filePath_.empty()) {
        return std::nullopt;
    }
    return writeFile(filePath_, ld::detail::userDefaultsJsonFromDictionary(values_));
}

const LdValue* LdUserDefaults::findLocked(std::string_view key) const {
    if (const auto stored = values_.find(key); stored != values_.end()) {
        return &stored->second;
    }
    if (const auto registered = registered_.find(key); registered != registered_.end()) {
        return &registered->second;
    }
    return nullptr;
}

std::optional<LdValue> LdUserDefaults::objectForKey(std::string_view key) const {
    std::optional<LdValue> result;
    std::optional<std::string> loadFailure;
    {
        std::lock_guard lock(mutex_);
        loadFailure = loadIfNeeded();
        if (const LdValue* value = findLocked(key)) {
            result = *value;
        }
    }
    if (loadFailure) {
        logFailures({{"_ERROR_SETTINGS_FILE_DAMAGED", *loadFailure}}, filePath_);
    }
    return result;
}

bool LdUserDefaults::hasKey(std::string_view key) const {
    return objectForKey(key).has_value();
}

bool LdUserDefaults::boolForKey(std::string_view key) const {
    const std::optional<LdValue> value = objectForKey(key);
    if (!value) {
        return false;
    }
    if (value->isString()) {
        const std::string& text = value->stringValue();
        if (text == "YES" || text == "yes" || text == "true" || text == "TRUE") {
            return true;
        }
        const std::optional<double> number = numberFromText(text);
        return number.has_value() && *number != 0.0;
    }
    return value->boolValue();
}

std::int64_t LdUserDefaults::integerForKey(std::string_view key) const {
    const std::optional<LdValue> value = objectForKey(key);
    if (!value) {
        return 0;
    }
    if (value->isString()) {
        return integerFromText(value->stringValue()).value_or(0);
    }
    return value->integerValue();
}

double LdUserDefaults::doubleForKey(std::string_view key) const {
    const std::optional<LdValue> value = objectForKey(key);
    if (!value) {
        return 0.0;
    }
    if (value->isString()) {
        return numberFromText(value->stringValue()).value_or(0.0);
    }
    return value->doubleValue();
}

std::optional<std::string> LdUserDefaults::stringForKey(std::string_view key) const {
    const std::optional<LdValue> value = objectForKey(key);
    if (!value) {
        return std::nullopt;
    }
    switch (value->type()) {
        case LdValue::Type::String:
            return value->stringValue();
        case LdValue::Type::Integer:
            return std::to_string(value->integerValue());
        case LdValue::Type::Bool:
            return value->boolValue() ? "1" : "0";
        case LdValue::Type::Real: {
            std::array<char, 32> buffer{};
            const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                                    value->doubleValue());
            return error == std::errc() ? std::string(buffer.data(), end) : std::string();
        }
        case LdValue::Type::Decimal:
            return value->decimalValue().toString();
        default:
            return std::nullopt;
    }
}

std::optional<LdData> LdUserDefaults::dataForKey(std::string_view key) const {
    std::optional<LdValue> value = objectForKey(key);
    if (!value || !value->isData()) {
        return std::nullopt;
    }
    return value->dataValue();
}

std::optional<LdDate> LdUserDefaults::dateForKey(std::string_view key) const {
    const std::optional<LdValue> value = objectForKey(key);
    if (!value || !value->isDate()) {
        return std::nullopt;
    }
    return value->dateValue();
}

std::optional<LdValue::Dictionary> LdUserDefaults::dictionaryForKey(std::string_view key) const {
    const std::optional<LdValue> value = objectForKey(key);
    if (!value || !value->isDictionary()) {
        return std::nullopt;
    }
    return value->dictionaryValue();
}

std::optional<LdValue::Array> LdUserDefaults::arrayForKey(std::string_view key) const {
    const std::optional<LdValue> value = objectForKey(key);
    if (!value || !value->isArray()) {
        return std::nullopt;
    }
    return value->arrayValue();
}

void LdUserDefaults::set(std::string_view key, LdValue value) {
    if (key.empty()) {
        return;
    }
    if (value.isNull()) {
        removeObjectForKey(key);
        return;
    }
    std::vector<Failure> failures;
    {
        std::lock_guard lock(mutex_);
        if (std::optional<std::string> failure = loadIfNeeded()) {
            failures.push_back({"_ERROR_SETTINGS_FILE_DAMAGED", std::move(*failure)});
        }
        values_.insert_or_assign(std::string(key), std::move(value));
        // Written under the lock, so the file always ends with the latest change.
        if (std::optional<std::string> failure = save()) {
            failures.push_back({"_ERROR_SETTINGS_NOT_SAVED", std::move(*failure)});
        }
    }
    logFailures(failures, filePath_);
}

void LdUserDefaults::removeObjectForKey(std::string_view key) {
    std::vector<Failure> failures;
    {
        std::lock_guard lock(mutex_);
        if (std::optional<std::string> failure = loadIfNeeded()) {
            failures.push_back({"_ERROR_SETTINGS_FILE_DAMAGED", std::move(*failure)});
        }
        const auto found = values_.find(key);
        if (found != values_.end()) {
            values_.erase(found);
            if (std::optional<std::string> failure = save()) {
                failures.push_back({"_ERROR_SETTINGS_NOT_SAVED", std::move(*failure)});
            }
        }
    }
    logFailures(failures, filePath_);
}

void LdUserDefaults::registerDefaults(const LdValue::Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults) {
        registered_.insert_or_assign(key, value);
    }
}

LdValue::Dictionary LdUserDefaults::storedValues() const {
    LdValue::Dictionary values;
    std::optional<std::string> loadFailure;
    {
        std::lock_guard lock(mutex_);
        loadFailure = loadIfNeeded();
        values = values_;
    }
    if (loadFailure) {
        logFailures({{"_ERROR_SETTINGS_FILE_DAMAGED", *loadFailure}}, filePath_);
    }
    return values;
}
