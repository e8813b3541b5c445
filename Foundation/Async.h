#pragma once

// The concurrency vocabulary every Hushnote component uses.
//
//  - The main loop is an executor (`Executor`). Tests drive an asio::io_context; the desktop
//    application hands out a MainLoopContext executor that posts onto the Qt GUI thread
//    (Foundation/MainLoop.h). Code that runs "on the main loop" only ever sees the executor.
//  - Asynchronous operations are coroutines returning asio::awaitable<T>. Failures travel as
//    exceptions across co_await.
//  - A serialised object owns a `Strand` and runs each public operation on it with
//    `co_await asio::co_spawn(strand_, doWork(...), asio::use_awaitable)`; the awaiting
//    coroutine resumes on its own executor afterwards.
//  - Blocking work (file copies, HTTP transfers, inference) goes through runBlocking() onto a
//    thread pool, so the loop never blocks.
//  - Timers run on the monotonic clock (asio::steady_timer).

#include <asio/any_io_executor.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace hushnote {

using Executor = asio::any_io_executor;
using Strand = asio::strand<Executor>;

namespace detail {

template <typename R>
using BlockingSlot = std::conditional_t<std::is_void_v<R>, std::monostate, std::optional<R>>;

} // namespace detail

// Runs `work` on `pool` and resumes the awaiting coroutine on the executor it was running on,
// with work's result or its exception. `work` must not touch state owned by the loop.
template <typename F>
asio::awaitable<std::invoke_result_t<F&>> runBlocking(Executor pool, F work)
{
    using R = std::invoke_result_t<F&>;
    using Slot = detail::BlockingSlot<R>;
    auto initiation = [pool](auto handler, F fn) {
        auto resumeOn = asio::prefer(
            asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
        asio::post(pool,
            [handler = std::move(handler), fn = std::move(fn), resumeOn]() mutable {
                std::exception_ptr error;
                Slot slot{};
                try {
                    if constexpr (std::is_void_v<R>) {
                        fn();
                    } else {
                        slot.emplace(fn());
                    }
                } catch (...) {
                    error = std::current_exception();
                }
                asio::dispatch(resumeOn,
                    [handler = std::move(handler), error, slot = std::move(slot)]() mutable {
                        std::move(handler)(error, std::move(slot));
                    });
            });
    };
    auto slot = co_await asio::async_initiate<const asio::use_awaitable_t<>&,
        void(std::exception_ptr, Slot)>(std::move(initiation), asio::use_awaitable, std::move(work));
    if constexpr (!std::is_void_v<R>) {
        co_return std::move(*slot);
    }
}

// Suspends the calling coroutine for `duration` on the monotonic clock.
inline asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration)
{
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

// Awaits `operation` with a deadline. When the deadline passes first the operation is
// cancelled and the result is nullopt; exceptions of the operation propagate.
template <typename T>
asio::awaitable<std::optional<T>> withDeadline(
    asio::awaitable<T> operation, std::chrono::steady_clock::duration deadline)
{
    static_assert(!std::is_void_v<T>, "await a value-returning operation");
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    auto outcome = co_await (std::move(operation) || timer.async_wait(asio::use_awaitable));
    if (outcome.index() == 0) {
        co_return std::move(std::get<0>(outcome));
    }
    co_return std::nullopt;
}

// Starts `operation` on `executor` without awaiting it. An exception that escapes the
// operation goes to `onError` (on the operation's executor); nothing is rethrown.
template <typename T>
void spawn(Executor executor, asio::awaitable<T> operation,
    std::function<void(std::exception_ptr)> onError)
{
    asio::co_spawn(executor, std::move(operation),
        [onError = std::move(onError)](std::exception_ptr error, auto&&...) {
            if (error && onError) {
                onError(error);
            }
        });
}

} // namespace hushnote
