#include "HushnoteCore/ManagedOllamaServer.h"

#include "HushnoteCore/ManagedOllamaServerError.h"
#include "HushnoteCore/UnicodeText.h"

#include <asio/error.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <vector>

namespace hushnote {

namespace {

using Kind = ManagedOllamaServerError::Kind;

bool isExecutableFile(const std::filesystem::path& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Bytes at the end of `data` that begin a UTF-8 sequence the chunk cut short.
std::size_t incompleteSuffix(std::string_view data)
{
    const std::size_t look = std::min<std::size_t>(3, data.size());
    for (std::size_t back = 1; back <= look; ++back) {
        const auto byte = static_cast<unsigned char>(data[data.size() - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;
        }
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

} // namespace

ManagedOllamaServer::ManagedOllamaServer(Executor executor, ManagedOllamaConfiguration configuration,
    std::shared_ptr<LoopbackHttpSession> session, HealthWait healthWait)
    : strand_(asio::make_strand(std::move(executor)))
    , configuration_(std::move(configuration))
    , session_(std::move(session))
    , healthWait_(healthWait)
{
}

ManagedOllamaServer::~ManagedOllamaServer()
{
    if (process_) {
        process_->terminate();
    }
    if (outputPipe_) {
        // The reader's handlers run on the strand; close there.
        asio::post(strand_, [pipe = outputPipe_] { pipe->close(); });
    }
}

OllamaClient ManagedOllamaServer::client() const { return OllamaClient(configuration_.baseURL(), session_); }

asio::awaitable<void> ManagedOllamaServer::ensureStarted()
{
    co_await asio::co_spawn(strand_, ensureStartedOnStrand(), asio::use_awaitable);
}

asio::awaitable<bool> ManagedOllamaServer::isHealthy()
{
    co_return co_await asio::co_spawn(strand_, isHealthyOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> ManagedOllamaServer::stop()
{
    co_await asio::co_spawn(strand_, stopOnStrand(), asio::use_awaitable);
}

asio::awaitable<std::string> ManagedOllamaServer::diagnosticDetail(std::exception_ptr error)
{
    co_return co_await asio::co_spawn(strand_, diagnosticDetailOnStrand(error), asio::use_awaitable);
}

asio::awaitable<std::string> ManagedOllamaServer::outputTail()
{
    co_return co_await asio::co_spawn(strand_, outputTailOnStrand(), asio::use_awaitable);
}

asio::awaitable<int> ManagedOllamaServer::launchAttempts()
{
    co_return co_await asio::co_spawn(strand_, launchAttemptsOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> ManagedOllamaServer::ensureStartedOnStrand()
{
    if (process_ && process_->isRunning()) {
        if (co_await isHealthyOnStrand()) {
            co_return;
        }
    }
    stopNow();
    if (launchAttempts_ > 1) {
        throw ManagedOllamaServerError(Kind::restartLimitReached);
    }
    if (!isExecutableFile(configuration_.executableURL)) {
        throw ManagedOllamaServerError(Kind::binaryMissing);
    }
    std::filesystem::create_directories(configuration_.modelsDirectory);
    std::filesystem::create_directories(configuration_.homeDirectory);

    ChildProcess::Options options;
    options.executable = configuration_.executableURL;
    options.arguments = {"serve"};
    options.environment = configuration_.environment(currentEnvironment());

    output_->tail.clear();
    output_->pending.clear();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw ManagedOllamaServerError(Kind::failedToStart);
    }
    auto pipe = std::make_shared<asio::posix::stream_descriptor>(strand_, fds[0]);
    options.outputDescriptor = fds[1];
    readOutput(pipe, output_, strand_);
    std::shared_ptr<ChildProcess> child;
    try {
        child = ChildProcess::launch(options);
    } catch (const std::exception&) {
        // The platform's reason is not passed on.
    }
    ::close(fds[1]);
    if (!child) {
        pipe->close();
        throw ManagedOllamaServerError(Kind::failedToStart);
    }
    ++launchAttempts_;
    process_ = child;
    outputPipe_ = pipe;

    const auto ollama = client();
    for (int attempt = 0; attempt < healthWait_.attempts; ++attempt) {
        // A server that already died will not become healthy; waiting on would only delay
        // the fallback.
        if (process_ != child || !child->isRunning()) {
            break;
        }
        bool healthy = false;
        try {
            co_await ollama.version();
            healthy = true;
        } catch (const std::system_error& error) {
            if (error.code() == asio::error::operation_aborted) {
                throw;
            }
        } catch (const std::exception&) {
            // Not answering yet.
        }
        if (healthy) {
            co_return;
        }
        co_await sleepFor(healthWait_.interval);
    }
    stopNow();
    throw ManagedOllamaServerError(Kind::unhealthy);
}

asio::awaitable<bool> ManagedOllamaServer::isHealthyOnStrand()
{
    try {
        const auto ollama = client();
        co_await ollama.version();
        co_return true;
    } catch (const std::exception&) {
        co_return false;
    }
}

asio::awaitable<void> ManagedOllamaServer::stopOnStrand()
{
    stopNow();
    co_return;
}

void ManagedOllamaServer::stopNow()
{
    if (outputPipe_) {
        outputPipe_->close();
        outputPipe_.reset();
    }
    if (process_) {
        process_->terminate();
        process_.reset();
    }
}

asio::awaitable<std::string> ManagedOllamaServer::diagnosticDetailOnStrand(std::exception_ptr error)
{
    const std::string description = describeError(error).description;
    std::vector<std::string> lines;
    const std::string& tail = output_->tail;
    std::size_t start = 0;
    while (start < tail.size()) {
        auto end = tail.find('\n', start);
        if (end == std::string::npos) {
            end = tail.size();
        }
        if (end > start) {
            lines.push_back(tail.substr(start, end - start));
        }
        start = end + 1;
    }
    std::string recent;
    const std::size_t first = lines.size() > 12 ? lines.size() - 12 : 0;
    for (std::size_t i = first; i < lines.size(); ++i) {
        if (!recent.empty() || i > first) {
            recent += '\n';
        }
        recent += lines[i];
    }
    recent = trimWhitespace(recent);
    co_return recent.empty() ? description : description + "\n" + recent;
}

asio::awaitable<std::string> ManagedOllamaServer::outputTailOnStrand() { co_return output_->tail; }

asio::awaitable<int> ManagedOllamaServer::launchAttemptsOnStrand() { co_return launchAttempts_; }

void ManagedOllamaServer::readOutput(
    std::shared_ptr<asio::posix::stream_descriptor> pipe, std::weak_ptr<Output> output, Strand strand)
{
    auto buffer = std::make_shared<std::array<char, 4096>>();
    pipe->async_read_some(asio::buffer(*buffer),
        [pipe, buffer, output, strand](const std::error_code& error, std::size_t size) {
            // End of file, or the reader was removed.
            if (error) {
                return;
            }
            asio::post(strand, [output, chunk = std::string(buffer->data(), size)] {
                if (auto live = output.lock()) {
                    appendOutput(live->tail, live->pending, chunk, kOutputTailLimit);
                }
            });
            readOutput(pipe, output, strand);
        });
}

void ManagedOllamaServer::appendOutput(std::string& tail, std::string& pending, std::string_view chunk, std::size_t limit)
{
    std::string data = pending + std::string(chunk);
    pending.clear();
    const std::size_t cut = incompleteSuffix(data);
    pending = data.substr(data.size() - cut);
    data.resize(data.size() - cut);
    if (!isValidUTF8(data)) {
        pending.clear();
        return;
    }
    tail += data;
    if (graphemeCount(tail) > limit) {
        tail = lastGraphemes(tail, limit);
    }
}

} // namespace hushnote
