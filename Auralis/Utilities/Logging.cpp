#include "Auralis/Utilities/Logging.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <unistd.h>

namespace auralis {
namespace {

    std::atomic<LogLevel> gLevel { LogLevel::none };

    struct SinkHolder {
        std::mutex mutex;
        Logging::Sink sink;
    };

    SinkHolder& sinkHolder()
    {
        static SinkHolder holder;
        return holder;
    }

    void writeToStandardError(LogLevel level, const std::string& message)
    {
        std::cerr << "[Auralis] [" << toString(level) << "] " << message << '\n';
    }

} // namespace

const char* toString(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::error:
        return "error";
    case LogLevel::none:
        return "none";
    }
    return "none";
}

void Logging::setLevel(LogLevel level) { gLevel.store(level); }

LogLevel Logging::level() { return gLevel.load(); }

void Logging::setSink(Sink sink)
{
    auto& holder = sinkHolder();
    std::lock_guard lock(holder.mutex);
    holder.sink = std::move(sink);
}

bool Logging::isEnabled(LogLevel level)
{
    const auto current = gLevel.load();
    return level != LogLevel::none && current != LogLevel::none && level >= current;
}

void Logging::log(LogLevel level, const std::string& message)
{
    if (!isEnabled(level)) {
        return;
    }
    auto& holder = sinkHolder();
    // Holding the lock while writing keeps lines from interleaving across threads.
    std::lock_guard lock(holder.mutex);
    if (holder.sink) {
        holder.sink(level, message);
    } else {
        writeToStandardError(level, message);
    }
}

void Logging::debug(const std::string& message) { log(LogLevel::debug, message); }
void Logging::info(const std::string& message) { log(LogLevel::info, message); }
void Logging::error(const std::string& message) { log(LogLevel::error, message); }

void Logging::logCurrentMemoryUsage(std::string_view label)
{
    if (!isEnabled(LogLevel::debug)) {
        return;
    }
    char text[64];
    std::snprintf(
        text, sizeof text, "%.2f", static_cast<double>(residentMemoryBytes()) / (1024.0 * 1024.0));
    debug(std::string(label) + " - Memory used: " + text + " MB");
}

std::size_t residentMemoryBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t totalPages = 0;
    std::size_t residentPages = 0;
    if (!(statm >> totalPages >> residentPages)) {
        return 0;
    }
    return residentPages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

} // namespace auralis
