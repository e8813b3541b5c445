#pragma once

#include <filesystem>

namespace hushnote {

// Runs Hushnote without a display: the status store, metrics, logger and coordinator on a
// plain event loop, until SIGINT or SIGTERM. Desktop services that need a session (key
// sources, microphone, paste) are absent, so dictations report why they cannot run.
int runHeadless(const std::filesystem::path& appSupportDirectory, const std::filesystem::path& resourceDirectory);

} // namespace hushnote
