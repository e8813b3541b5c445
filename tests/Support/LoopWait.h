#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>

namespace hushnote::testing {

// Runs `loop` until `condition` holds or `timeout` passes; true when it holds. For waits on
// other threads and servers, with deadlines generous enough that only a fault trips them.
inline bool runLoopUntil(asio::io_context& loop, const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        loop.restart();
        loop.run_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace hushnote::testing
