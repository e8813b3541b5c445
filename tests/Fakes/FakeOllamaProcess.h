#pragma once

#include "HushnoteCore/ChildProcess.h"
#include "tests/Support/TemporaryDirectory.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace hushnote::testing {

// The fake Ollama executable built beside the test executables.
std::filesystem::path fakeOllamaExecutable();

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// True when `pid` no longer runs (gone, or a zombie nobody reaped yet).
bool processGone(pid_t pid);

// What the fake wrote about itself into a models directory.
struct FakeOllamaRecords {
    explicit FakeOllamaRecords(std::filesystem::path modelsDirectory) : models(std::move(modelsDirectory)) {}

    // One JSON object per request: method, path, status, body, contentType, host.
    std::vector<nlohmann::json> requests() const;
    std::vector<nlohmann::json> requestsTo(const std::string& path) const;
    // One JSON object per launch: pid, grandchild, arguments, environment.
    std::vector<nlohmann::json> launches() const;
    // Replaces the control file the fake reads on every request.
    void control(const nlohmann::json& settings) const;
    // Marks `model` as installed in the store.
    void install(const std::string& model) const;

    std::filesystem::path models;
};

// The fake started directly (through the process guard) on a port of its choosing, for
// tests of the client; "OLLAMA_HOST" in `extraEnvironment` picks another address (port 0).
// Stopped on destruction.
class FakeOllamaProcess {
public:
    explicit FakeOllamaProcess(nlohmann::json settings = nlohmann::json::object(),
        std::map<std::string, std::string> extraEnvironment = {});
    ~FakeOllamaProcess();

    std::string baseURL() const { return "http://" + host_ + ":" + std::to_string(port_); }
    int port() const { return port_; }
    const FakeOllamaRecords& records() const { return records_; }

private:
    TemporaryDirectory directory_;
    FakeOllamaRecords records_;
    std::shared_ptr<ChildProcess> process_;
    std::string host_;
    int port_ = 0;
};

} // namespace hushnote::testing
