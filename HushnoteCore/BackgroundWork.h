#pragma once

#include "Foundation/Async.h"

#include <asio/thread_pool.hpp>

#include <type_traits>

namespace hushnote {

// Runs blocking `work` on a thread of its own and resumes the caller on its executor with the
// result or the exception. For long file and network work started from a loop that has no
// pool to lend; the thread ends with the call.
template <typename F>
asio::awaitable<std::invoke_result_t<F&>> runOnOwnThread(F work)
{
    asio::thread_pool thread(1);
    // Named, not a temporary of the co_await expression: GCC 12 mishandles those.
    Executor executor = thread.get_executor();
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
        co_await runBlocking(executor, std::move(work));
    } else {
        co_return co_await runBlocking(executor, std::move(work));
    }
}

} // namespace hushnote
