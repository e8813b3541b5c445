#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>

namespace hushnote::testing {

// Runs `operation` on `loop` until it finishes and returns its value or rethrows its error.
template <typename T>
T runToCompletion(asio::io_context& loop, asio::awaitable<T> operation)
{
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
    if constexpr (std::is_void_v<T>) {
        asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr error) {
            failure = error;
            result = true;
        });
    } else {
        asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr error, T value) {
            failure = error;
            result = std::move(value);
        });
    }
    loop.restart();
    loop.run();
    if (failure) {
        std::rethrow_exception(failure);
    }
    if constexpr (!std::is_void_v<T>) {
        return std::move(*result);
    }
}

// Runs `operation` and returns the exception it ended with (null when it succeeded).
template <typename T>
std::exception_ptr failureOf(asio::io_context& loop, asio::awaitable<T> operation)
{
    try {
        runToCompletion(loop, std::move(operation));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// Polls `condition` until it holds or `limit` passes; returns whether it held. For waiting
// on another process, never for judging speed.
inline bool eventually(const std::function<bool()>& condition,
    std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace hushnote::testing
