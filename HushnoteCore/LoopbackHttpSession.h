#pragma once

#include "Foundation/Async.h"

#include <asio/associated_cancellation_slot.hpp>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace hushnote {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    // With a body the request carries "Content-Type: application/json"; without, no type.
    std::optional<std::string> body;
    std::chrono::milliseconds timeout{12000};
};

struct HttpResponse {
    long statusCode = 0;
    std::string body;
};

// The HTTP session every loopback request goes through: one libcurl multi handle driven by
// a worker thread the session owns, so transfers never block an executor. Only plain http is
// spoken, redirects are never followed and no proxy is ever used, whatever the environment
// says. Thread-safe; share one per process. Destroying it aborts transfers still running.
class LoopbackHttpSession {
public:
    LoopbackHttpSession();
    ~LoopbackHttpSession();

    LoopbackHttpSession(const LoopbackHttpSession&) = delete;
    LoopbackHttpSession& operator=(const LoopbackHttpSession&) = delete;

    // Sends `request` and waits for the whole body; resumes on the caller's executor. Throws
    // HttpTransportError when no response arrived, and asio's operation_aborted when the
    // awaiting operation is cancelled (the transfer is dropped at once).
    asio::awaitable<HttpResponse> send(HttpRequest request);

    class Completion {
    public:
        virtual ~Completion() = default;
        virtual void complete(std::exception_ptr error, HttpResponse response) = 0;
    };

    struct Transfer;
    struct Engine;

private:
    std::shared_ptr<Engine> engine_;
};

} // namespace hushnote
