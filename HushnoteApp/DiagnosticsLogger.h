#pragma once

#include "Foundation/Clock.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hushnote {

using DiagnosticsMetadata = std::map<std::string, std::string>;

// One line of the diagnostics log.
struct DiagnosticsLogEvent {
    enum class Level { info, warning, error };

    WallTime timestamp;
    Level level = Level::info;
    std::string category;
    std::string message;
    DiagnosticsMetadata metadata;

    bool operator==(const DiagnosticsLogEvent&) const = default;
};

const char* toString(DiagnosticsLogEvent::Level level);

// The local, privacy-safe JSON-lines event log with rotation, retention and a mirror to the
// system log (identity "hushnote"). Thread-safe: record() and error() may be called from any
// thread and never throw; one mutex guards all file work.
class DiagnosticsLogger {
public:
    // Creates the logs and support-reports directories, migrates legacy "*.jsonl" files and
    // runs a forced clean-up. `clock` must outlive the logger.
    explicit DiagnosticsLogger(std::filesystem::path logsDirectory, const Clock& clock = systemClock());

    void record(DiagnosticsLogEvent::Level level, const std::string& category,
        const std::string& message, const DiagnosticsMetadata& metadata = {});

    // Records at level error; the error details (DiagnosticsError::metadata) replace keys of
    // the same name in `metadata`.
    void error(const std::string& category, const std::exception_ptr& error,
        const std::string& message, const DiagnosticsMetadata& metadata = {});

    const std::filesystem::path& logsDirectory() const { return logsDirectory_; }
    const std::filesystem::path& supportReportsDirectory() const { return supportReportsDirectory_; }
    const std::filesystem::path& activeLogURL() const { return activeLogURL_; }

    // Active and rotated log files, sorted by file name. Throws std::filesystem::filesystem_error
    // when the directory cannot be listed.
    std::vector<std::filesystem::path> diagnosticsLogFiles() const;

    void cleanupExpiredFilesIfNeeded(WallTime now, bool force);

    // The lock the support bundle holds while it copies the logs.
    std::mutex& lock() { return mutex_; }

    static constexpr std::uintmax_t kMaxLogBytes = 20'971'520;

    static const Clock& systemClock();

private:
    // All of these run with mutex_ held.
    void cleanupLocked(WallTime now, bool force);
    void pruneExpiredEvents(WallTime now);
    void migrateLegacyLogs();
    bool append(const std::string& bytes);

    std::filesystem::path logsDirectory_;
    std::filesystem::path supportReportsDirectory_;
    std::filesystem::path activeLogURL_;
    const Clock& clock_;
    std::optional<WallTime> lastCleanupAt_;
    std::mutex mutex_;
};

} // namespace hushnote
