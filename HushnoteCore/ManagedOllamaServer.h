#pragma once

#include "Foundation/Async.h"
#include "HushnoteCore/ChildProcess.h"
#include "HushnoteCore/LoopbackHttpSession.h"
#include "HushnoteCore/ManagedOllamaConfiguration.h"
#include "HushnoteCore/OllamaClient.h"

#include <asio/posix/stream_descriptor.hpp>

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace hushnote {

// How long a freshly launched server is given to answer: attempts, each followed by a pause.
struct ManagedOllamaHealthWait {
    int attempts = 300;
    std::chrono::milliseconds interval{100};
};

// Hushnote's private Ollama server: launches `<executable> serve` with the scrubbed
// environment, keeps the tail of its output, waits until it answers, restarts it at most
// once over the object's life, and stops it. Serialised: every operation runs on a strand of
// the executor given at construction (not the main loop); callers resume on their own.
// The server's output goes nowhere but the tail.
class ManagedOllamaServer {
public:
    using HealthWait = ManagedOllamaHealthWait;

    ManagedOllamaServer(Executor executor, ManagedOllamaConfiguration configuration,
        std::shared_ptr<LoopbackHttpSession> session, HealthWait healthWait = {});
    // Sends the terminate request to a server still held.
    ~ManagedOllamaServer();

    ManagedOllamaServer(const ManagedOllamaServer&) = delete;
    ManagedOllamaServer& operator=(const ManagedOllamaServer&) = delete;

    const ManagedOllamaConfiguration& configuration() const { return configuration_; }

    // A client for the configured base URL. Throws LocalEndpointError.
    OllamaClient client() const;

    // Returns once a healthy server runs. Throws ManagedOllamaServerError, the file-system
    // error of creating the directories, or operation_aborted when cancelled (a launched
    // server is then left running and held).
    asio::awaitable<void> ensureStarted();
    // True when the server answers the version call.
    asio::awaitable<bool> isHealthy();
    // Sends the terminate request to the server's process group and forgets it; does not
    // wait for the process to exit.
    asio::awaitable<void> stop();
    // The error's description, then a line feed and the server's last 12 non-empty output
    // lines when there are any.
    asio::awaitable<std::string> diagnosticDetail(std::exception_ptr error);
    // The last characters the server wrote (at most kOutputTailLimit).
    asio::awaitable<std::string> outputTail();
    // Successful launches so far.
    asio::awaitable<int> launchAttempts();

    static constexpr std::size_t kOutputTailLimit = 12000;

    // The tail after appending one chunk of output; `pending` carries a character cut at the
    // chunk's end over to the next one. A chunk that is not UTF-8 is dropped whole.
    static void appendOutput(std::string& tail, std::string& pending, std::string_view chunk, std::size_t limit);

private:
    struct Output {
        std::string tail;
        std::string pending;
    };

    asio::awaitable<void> ensureStartedOnStrand();
    asio::awaitable<bool> isHealthyOnStrand();
    asio::awaitable<void> stopOnStrand();
    asio::awaitable<std::string> diagnosticDetailOnStrand(std::exception_ptr error);
    asio::awaitable<std::string> outputTailOnStrand();
    asio::awaitable<int> launchAttemptsOnStrand();
    void stopNow();
    static void readOutput(std::shared_ptr<asio::posix::stream_descriptor> pipe, std::weak_ptr<Output> output,
        Strand strand);

    Strand strand_;
    const ManagedOllamaConfiguration configuration_;
    const std::shared_ptr<LoopbackHttpSession> session_;
    const HealthWait healthWait_;

    // Strand-owned.
    std::shared_ptr<ChildProcess> process_;
    std::shared_ptr<asio::posix::stream_descriptor> outputPipe_;
    std::shared_ptr<Output> output_ = std::make_shared<Output>();
    int launchAttempts_ = 0;
};

} // namespace hushnote
