#pragma once

#include "Auralis/Utilities/Logging.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace auralis::testing {

// Collects the engine's log lines at `level` and above while it lives, then restores the
// default sink and the level `none`.
class LogCapture {
public:
    explicit LogCapture(LogLevel level = LogLevel::debug)
    {
        Logging::setLevel(level);
        Logging::setSink([this](LogLevel lineLevel, const std::string& message) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(lineLevel, message);
        });
    }
    ~LogCapture()
    {
        Logging::setSink({});
        Logging::setLevel(LogLevel::none);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::pair<LogLevel, std::string>> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    bool contains(LogLevel level, const std::string& message) const
    {
        std::lock_guard lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), std::pair { level, message })
            != lines_.end();
    }

    bool containsPrefix(LogLevel level, const std::string& prefix) const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const auto& line) {
            return line.first == level && line.second.starts_with(prefix);
        });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<LogLevel, std::string>> lines_;
};

} // namespace auralis::testing
