#include "HushnoteCore/OllamaClient.h"

#include "HushnoteCore/OllamaClientError.h"
#include "HushnoteCore/UnicodeText.h"

#include <nlohmann/json.hpp>

namespace hushnote {

namespace {

constexpr const char* kKeepAlive = "10m";

void rejectCloudModel(const std::string& model)
{
    const std::string lower = lowercased(model);
    const std::string suffix = "-cloud";
    if (lower.size() >= suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0) {
        throw OllamaClientError::cloudModelRejected(model);
    }
}

std::string userMessage(const std::string& transcript)
{
    return "Reformat only the literal transcript inside <transcript>. Return only the edited transcript text "
           "without tags.\n<transcript>\n"
        + transcript + "\n</transcript>";
}

// Text that is not valid UTF-8 is sent with replacement characters rather than refused.
std::string encoded(const nlohmann::json& body)
{
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

OllamaClient::OllamaClient(std::string baseURL, std::shared_ptr<LoopbackHttpSession> session, OllamaTimeouts timeouts)
    : endpoint_(std::move(baseURL))
    , session_(std::move(session))
    , timeouts_(timeouts)
{
}

asio::awaitable<std::string> OllamaClient::request(
    std::string path, std::string method, std::optional<std::string> body, std::chrono::milliseconds timeout) const
{
    HttpRequest request;
    request.url = endpoint_.appending(std::move(path));
    request.method = std::move(method);
    request.body = std::move(body);
    request.timeout = timeout;
    auto session = session_;
    const auto response = co_await session->send(std::move(request));
    if (response.statusCode < 100) {
        throw OllamaClientError::invalidResponse();
    }
    if (response.statusCode < 200 || response.statusCode > 299) {
        throw OllamaClientError::httpStatus(
            response.statusCode, isValidUTF8(response.body) ? response.body : std::string("<unreadable>"));
    }
    co_return response.body;
}

asio::awaitable<OllamaVersion> OllamaClient::version() const
{
    co_return decodeOllamaRecord<OllamaVersion>(co_await request("api/version", "GET", std::nullopt, timeouts_.request));
}

asio::awaitable<OllamaTagsResponse> OllamaClient::tags() const
{
    co_return decodeOllamaRecord<OllamaTagsResponse>(co_await request("api/tags", "GET", std::nullopt, timeouts_.request));
}

asio::awaitable<OllamaProcessResponse> OllamaClient::runningModels() const
{
    co_return decodeOllamaRecord<OllamaProcessResponse>(co_await request("api/ps", "GET", std::nullopt, timeouts_.request));
}

asio::awaitable<std::vector<OllamaPullProgress>> OllamaClient::pull(std::string model) const
{
    rejectCloudModel(model);
    const nlohmann::json body = OllamaPullRequest{model, false};
    const std::string answer = co_await request("api/pull", "POST", encoded(body), timeouts_.pull);
    try {
        co_return std::vector<OllamaPullProgress>{decodeOllamaRecord<OllamaPullProgress>(answer)};
    } catch (const std::exception&) {
        // Not one object: a stream of progress lines.
    }
    std::vector<OllamaPullProgress> progress;
    std::size_t start = 0;
    while (start <= answer.size()) {
        auto end = answer.find('\n', start);
        if (end == std::string::npos) {
            end = answer.size();
        }
        if (end > start) {
            progress.push_back(decodeOllamaRecord<OllamaPullProgress>(answer.substr(start, end - start)));
        }
        start = end + 1;
    }
    co_return progress;
}

asio::awaitable<void> OllamaClient::preload(std::string model, std::string keepAlive) const
{
    rejectCloudModel(model);
    const nlohmann::json body = OllamaPreloadRequest{model, false, keepAlive};
    co_await request("api/generate", "POST", encoded(body), timeouts_.request);
}

asio::awaitable<std::string> OllamaClient::chat(std::string model, CleanupPrompt prompt, std::string transcript) const
{
    rejectCloudModel(model);
    OllamaChatRequest chatRequest;
    chatRequest.model = model;
    chatRequest.messages = {{"system", prompt.system}, {"user", userMessage(transcript)}};
    chatRequest.keepAlive = kKeepAlive;
    const nlohmann::json body = chatRequest;
    const auto answer = co_await request("api/chat", "POST", encoded(body), timeouts_.request);
    co_return decodeOllamaRecord<OllamaChatResponse>(answer).message.content;
}

asio::awaitable<bool> OllamaClient::isModelInstalled(std::string name) const
{
    rejectCloudModel(name);
    const auto installed = co_await tags();
    for (const auto& model : installed.models) {
        if (model.name == name || model.model == name) {
            co_return true;
        }
    }
    co_return false;
}

} // namespace hushnote
