#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace auralis {

enum class LogLevel { debug, info, error, none };

inline constexpr std::array kAllLogLevels { LogLevel::debug, LogLevel::info, LogLevel::error,
    LogLevel::none };

const char* toString(LogLevel level);

// The engine's log. One process-wide level and sink, because the engine's class-level
// operations (audio loading, chunking) log without an engine object at hand. The level starts
// at `none`, so nothing is written until a caller opts in. Every member is thread-safe; the
// sink is called on the logging thread, one line at a time.
class Logging {
public:
    using Sink = std::function<void(LogLevel, const std::string&)>;

    static void setLevel(LogLevel level);
    static LogLevel level();
    // An empty sink restores the default one, which writes to standard error.
    static void setSink(Sink sink);

    // True when a message of `level` would be written.
    static bool isEnabled(LogLevel level);

    static void debug(const std::string& message);
    static void info(const std::string& message);
    static void error(const std::string& message);
    static void log(LogLevel level, const std::string& message);

    // Debug line "<label> - Memory used: <resident MB> MB" from /proc/self/statm.
    static void logCurrentMemoryUsage(std::string_view label);
};

// Resident set size of this process in bytes, 0 when it cannot be read.
std::size_t residentMemoryBytes();

} // namespace auralis
