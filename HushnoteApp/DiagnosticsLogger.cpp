#include "HushnoteApp/DiagnosticsLogger.h"

#include "Foundation/FileIO.h"
#include "Foundation/Uuid.h"
#include "HushnoteApp/DiagnosticsError.h"
#include "HushnoteCore/FileRetentionPolicy.h"

#include <nlohmann/json.hpp>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>

namespace hushnote {

namespace fs = std::filesystem;
using Level = DiagnosticsLogEvent::Level;

namespace {

constexpr const char* kActiveLogName = "Hushnote-diagnostics.txt";
constexpr const char* kRotatedPrefix = "Hushnote-diagnostics-";
constexpr const char* kSupportPrefix = "Hushnote-support-";
constexpr double kEventRetentionSeconds = 2'592'000;
constexpr double kSupportRetentionSeconds = 604'800;
constexpr auto kCleanupInterval = std::chrono::seconds(86'400);
constexpr std::int32_t kMaxMessageGraphemes = 1000;
constexpr std::int32_t kMaxMetadataGraphemes = 16'384;

constexpr std::array kPrivateKeys{"audio", "audiopath", "clipboard", "content", "modeloutput", "prompt",
    "text", "transcript"};

void openSystemLog()
{
    static std::once_flag once;
    std::call_once(once, [] { ::openlog("hushnote", LOG_PID, LOG_USER); });
}

// The first `limit` user-perceived characters. Invalid UTF-8 comes back with replacement
// characters rather than being passed on raw.
std::string truncateGraphemes(const std::string& text, std::int32_t limit)
{
    if (static_cast<std::int64_t>(text.size()) <= limit) {
        // No more bytes than the limit means no more grapheme clusters either.
        return text;
    }
    const auto unicode = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::string out;
    if (U_FAILURE(status) || !breaks) {
        unicode.tempSubString(0, limit).toUTF8String(out);
        return out;
    }
    breaks->setText(unicode);
    std::int32_t end = breaks->first();
    for (std::int32_t i = 0; i < limit; ++i) {
        const auto next = breaks->next();
        if (next == icu::BreakIterator::DONE) {
            end = unicode.length();
            break;
        }
        end = next;
    }
    unicode.tempSubString(0, end).toUTF8String(out);
    return out;
}

bool isPrivateKey(const std::string& key)
{
    std::string lower;
    icu::UnicodeString::fromUTF8(key).toLower(icu::Locale::getRoot()).toUTF8String(lower);
    return std::find(kPrivateKeys.begin(), kPrivateKeys.end(), lower) != kPrivateKeys.end();
}

DiagnosticsLogEvent sanitize(DiagnosticsLogEvent event)
{
    event.message = truncateGraphemes(event.message, kMaxMessageGraphemes);
    DiagnosticsMetadata kept;
    for (auto& [key, value] : event.metadata) {
        if (!isPrivateKey(key)) {
            kept.emplace(key, truncateGraphemes(value, kMaxMetadataGraphemes));
        }
    }
    event.metadata = std::move(kept);
    return event;
}

std::string formatTimestamp(WallTime time, const char* format)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(time));
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, format, &parts);
    return buffer;
}

std::optional<WallTime> parseTimestamp(const std::string& text)
{
    std::tm parts{};
    const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(::timegm(&parts));
}

std::optional<Level> levelFromString(const std::string& text)
{
    for (const auto level : {Level::info, Level::warning, Level::error}) {
        if (text == toString(level)) {
            return level;
        }
    }
    return std::nullopt;
}

std::string encode(const DiagnosticsLogEvent& event)
{
    nlohmann::ordered_json json;
    json["timestamp"] = formatTimestamp(event.timestamp, "%Y-%m-%dT%H:%M:%SZ");
    json["level"] = toString(event.level);
    json["category"] = event.category;
    json["message"] = event.message;
    json["metadata"] = nlohmann::ordered_json::object();
    for (const auto& [key, value] : event.metadata) {
        json["metadata"][key] = value;
    }
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::optional<DiagnosticsLogEvent> decode(const std::string& line)
{
    const auto json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    for (const char* key : {"timestamp", "level", "category", "message"}) {
        if (!json.contains(key) || !json[key].is_string()) {
            return std::nullopt;
        }
    }
    if (!json.contains("metadata") || !json["metadata"].is_object()) {
        return std::nullopt;
    }
    DiagnosticsLogEvent event;
    const auto timestamp = parseTimestamp(json["timestamp"].get<std::string>());
    const auto level = levelFromString(json["level"].get<std::string>());
    if (!timestamp || !level) {
        return std::nullopt;
    }
    event.timestamp = *timestamp;
    event.level = *level;
    event.category = json["category"].get<std::string>();
    event.message = json["message"].get<std::string>();
    for (const auto& [key, value] : json["metadata"].items()) {
        if (!value.is_string()) {
            return std::nullopt;
        }
        event.metadata.emplace(key, value.get<std::string>());
    }
    return event;
}

std::vector<std::string> nonEmptyLines(const std::string& content)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= content.size()) {
        const auto end = content.find('\n', start);
        const auto line = content.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty()) {
            lines.push_back(line);
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

std::vector<fs::path> listRegularFiles(const fs::path& directory)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const auto name = entry.path().filename().string();
        if (!name.starts_with('.') && entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end(),
        [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    return files;
}

} // namespace

const char* toString(DiagnosticsLogEvent::Level level)
{
    switch (level) {
    case Level::info: return "info";
    case Level::warning: return "warning";
    case Level::error: return "error";
    }
    return "info";
}

const Clock& DiagnosticsLogger::systemClock()
{
    static const SystemClock clock;
    return clock;
}

DiagnosticsLogger::DiagnosticsLogger(fs::path logsDirectory, const Clock& clock)
    : logsDirectory_(std::move(logsDirectory))
    , supportReportsDirectory_(logsDirectory_.parent_path() / "support-reports")
    , activeLogURL_(logsDirectory_ / kActiveLogName)
    , clock_(clock)
{
    openSystemLog();
    std::error_code ignored;
    fs::create_directories(logsDirectory_, ignored);
    fs::create_directories(supportReportsDirectory_, ignored);
    std::lock_guard lock(mutex_);
    migrateLegacyLogs();
    cleanupLocked(clock_.now(), true);
}

void DiagnosticsLogger::record(
    Level level, const std::string& category, const std::string& message, const DiagnosticsMetadata& metadata)
{
    try {
        auto event = sanitize(DiagnosticsLogEvent{clock_.now(), level, category, message, metadata});
        ::syslog(level == Level::info ? LOG_INFO : LOG_ERR, "[%s] %s", event.category.c_str(), event.message.c_str());
        std::lock_guard lock(mutex_);
        cleanupLocked(event.timestamp, false);
        if (!append(encode(event))) {
            ::syslog(LOG_ERR, "Failed to persist diagnostics log");
        }
    } catch (...) {
        ::syslog(LOG_ERR, "Failed to persist diagnostics log");
    }
}

void DiagnosticsLogger::error(const std::string& category, const std::exception_ptr& error,
    const std::string& message, const DiagnosticsMetadata& metadata)
{
    DiagnosticsMetadata merged = metadata;
    try {
        for (auto& [key, value] : DiagnosticsError::metadata(error)) {
            merged[key] = std::move(value);
        }
    } catch (...) {
    }
    record(Level::error, category, message, merged);
}

std::vector<fs::path> DiagnosticsLogger::diagnosticsLogFiles() const
{
    std::vector<fs::path> logs;
    for (const auto& file : listRegularFiles(logsDirectory_)) {
        const auto name = file.filename().string();
        if (file.extension() == ".txt" && (name == kActiveLogName || name.starts_with(kRotatedPrefix))) {
            logs.push_back(file);
        }
    }
    return logs;
}

void DiagnosticsLogger::cleanupExpiredFilesIfNeeded(WallTime now, bool force)
{
    std::lock_guard lock(mutex_);
    cleanupLocked(now, force);
}

void DiagnosticsLogger::cleanupLocked(WallTime now, bool force)
{
    if (!force && lastCleanupAt_ && now < *lastCleanupAt_ + kCleanupInterval) {
        return;
    }
    pruneExpiredEvents(now);
    try {
        FileRetentionPolicy::removeExpiredFiles(logsDirectory_, kEventRetentionSeconds, now, {kRotatedPrefix});
    } catch (const std::exception&) {
    }
    try {
        FileRetentionPolicy::removeExpiredFiles(
            supportReportsDirectory_, kSupportRetentionSeconds, now, {kSupportPrefix});
    } catch (const std::exception&) {
    }
    lastCleanupAt_ = now;
}

void DiagnosticsLogger::pruneExpiredEvents(WallTime now)
{
    const auto cutoff = now - std::chrono::seconds(static_cast<long long>(kEventRetentionSeconds));
    std::vector<fs::path> files;
    try {
        files = diagnosticsLogFiles();
    } catch (const std::exception&) {
        return;
    }
    for (const auto& file : files) {
        const auto content = readWholeFile(file);
        if (!content) {
            continue;
        }
        std::string kept;
        for (const auto& line : nonEmptyLines(*content)) {
            auto event = decode(line);
            if (!event) {
                continue;
            }
            auto clean = sanitize(std::move(*event));
            if (clean.timestamp >= cutoff) {
                kept += encode(clean);
            }
        }
        if (kept == *content) {
            continue;
        }
        std::error_code ignored;
        if (!kept.empty() || file == activeLogURL_) {
            writeFileAtomically(file, kept);
        } else {
            fs::remove(file, ignored);
        }
    }
}

void DiagnosticsLogger::migrateLegacyLogs()
{
    const auto cutoff = clock_.now() - std::chrono::seconds(static_cast<long long>(kEventRetentionSeconds));
    std::vector<fs::path> files;
    try {
        files = listRegularFiles(logsDirectory_);
    } catch (const std::exception&) {
        return;
    }
    for (const auto& file : files) {
        if (file.extension() != ".jsonl") {
            continue;
        }
        std::error_code ignored;
        if (const auto content = readWholeFile(file)) {
            for (const auto& line : nonEmptyLines(*content)) {
                if (auto event = decode(line)) {
                    auto clean = sanitize(std::move(*event));
                    if (clean.timestamp >= cutoff) {
                        append(encode(clean));
                    }
                }
            }
        }
        fs::remove(file, ignored);
    }
}

bool DiagnosticsLogger::append(const std::string& bytes)
{
    std::error_code error;
    const bool exists = fs::exists(activeLogURL_, error);
    if (exists) {
        const auto size = fs::file_size(activeLogURL_, error);
        if (error) {
            return false;
        }
        if (size >= 1 && size + bytes.size() > kMaxLogBytes) {
            const auto rotated = logsDirectory_
                / (std::string(kRotatedPrefix) + formatTimestamp(clock_.now(), "%Y%m%d-%H%M%S") + "-"
                    + makeUuidString().substr(0, 8) + ".txt");
            fs::rename(activeLogURL_, rotated, error);
            if (error) {
                return false;
            }
            return writeFileAtomically(activeLogURL_, bytes);
        }
        const int fd = ::open(activeLogURL_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        const bool ok = writeAll(fd, bytes);
        return ::close(fd) == 0 && ok;
    }
    return writeFileAtomically(activeLogURL_, bytes);
}

} // namespace hushnote
