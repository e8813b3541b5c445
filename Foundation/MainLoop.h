#pragma once

// An Asio execution context whose handlers run on a foreign event loop: the desktop
// application's Qt GUI thread. The loop is reached through LoopBackend, so this header needs
// no Qt; the Qt side only implements post(). Timers and sockets created on this context get a
// private reactor thread from Asio and deliver their completions through post(), hence always
// on the loop thread.

#include <asio/execution.hpp>
#include <asio/execution_context.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace hushnote {

class LoopBackend {
public:
    virtual ~LoopBackend() = default;
    // Queues `task` to run on the loop thread, after the caller returns. Thread-safe.
    virtual void post(std::function<void()> task) = 0;
    // Destroys the tasks still queued and, from now on, every posted task unrun. Called by the
    // context before it destroys its services, which queued tasks (coroutine frames holding
    // timers) still refer to.
    virtual void close() = 0;
};

class MainLoopContext : public asio::execution_context {
public:
    class executor_type;

    // `backend` must outlive the context.
    explicit MainLoopContext(LoopBackend& backend) : backend_(backend) {}
    ~MainLoopContext()
    {
        backend_.close();
        shutdown();
        destroy();
    }

    MainLoopContext(const MainLoopContext&) = delete;
    MainLoopContext& operator=(const MainLoopContext&) = delete;

    executor_type get_executor() noexcept;
    LoopBackend& backend() noexcept { return backend_; }

private:
    LoopBackend& backend_;
};

class MainLoopContext::executor_type {
public:
    explicit executor_type(MainLoopContext& context) noexcept : context_(&context) {}

    MainLoopContext& query(asio::execution::context_t) const noexcept { return *context_; }

    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept
    {
        return asio::execution::blocking.never;
    }

    executor_type require(asio::execution::blocking_t::never_t) const noexcept { return *this; }

    // Work is counted by the Qt loop itself; tracking is accepted and has no effect.
    executor_type prefer(asio::execution::outstanding_work_t::tracked_t) const noexcept
    {
        return *this;
    }
    executor_type prefer(asio::execution::outstanding_work_t::untracked_t) const noexcept
    {
        return *this;
    }

    template <typename F>
    void execute(F f) const
    {
        // Asio handlers are move-only; std::function needs a copyable target.
        auto shared = std::make_shared<F>(std::move(f));
        context_->backend().post([shared] { (*shared)(); });
    }

    friend bool operator==(const executor_type& a, const executor_type& b) noexcept
    {
        return a.context_ == b.context_;
    }
    friend bool operator!=(const executor_type& a, const executor_type& b) noexcept
    {
        return !(a == b);
    }

private:
    MainLoopContext* context_;
};

inline MainLoopContext::executor_type MainLoopContext::get_executor() noexcept
{
    return executor_type(*this);
}

} // namespace hushnote
