#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <exception>
#include <optional>
#include <type_traits>

namespace hushnote::testing {

// Runs `operation` to completion on a fresh loop and returns its result or rethrows.
template <typename T>
T runAwaitable(asio::awaitable<T> operation)
{
    asio::io_context loop;
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr e) { error = e; });
        loop.run();
        if (error) {
            std::rethrow_exception(error);
        }
    } else {
        std::optional<T> result;
        asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr e, T value) {
            error = e;
            if (!e) {
                result.emplace(std::move(value));
            }
        });
        loop.run();
        if (error) {
            std::rethrow_exception(error);
        }
        return std::move(*result);
    }
}

} // namespace hushnote::testing
