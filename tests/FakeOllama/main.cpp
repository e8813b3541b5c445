// A stand-in for the Ollama server, started as `fake-ollama serve` exactly like the real one.
// It listens on OLLAMA_HOST, keeps its "models" as manifest files under OLLAMA_MODELS and
// answers the calls Hushnote makes. Its behaviour is steered by a JSON object taken from the
// environment variable FAKE_OLLAMA_CONFIG and, re-read on every request, from the file
// $OLLAMA_MODELS/fake-control.json (file keys win). Keys:
//   startDelayMs        wait before listening
//   exitImmediately     print a line and exit with status 2 before listening
//   neverHealthy        answer api/version with 503
//   crashAfterRequests  exit with status 3 right after answering that many requests
//   spawnGrandchild     start a long-sleeping child process of its own
//   printLines          array of lines printed to stdout at start
//   printCharacters     that many characters (no line feeds) printed at start
//   printInvalidUTF8    print a byte sequence that is not UTF-8 at start
//   quiet               print no line per request
//   pullInstalls        whether api/pull installs the model (default true)
//   loadedModels        names api/ps lists at start
//   chatContent         fixed answer of api/chat; otherwise the transcript tidied up
//   routes              {"api/chat": {"status": 500, "body": "...", "bodyHex": "ff",
//                        "invalidJson": true, "delayMs": 20000, "redirect": "http://..."}}
// It records every request (method, path, body, contentType, host) as a JSON line in $OLLAMA_MODELS/fake-requests.jsonl and each
// launch (pid, grandchild pid, arguments, environment) in $OLLAMA_MODELS/fake-launches.jsonl.
// With OLLAMA_HOST port 0 it writes the port it got to $OLLAMA_MODELS/fake-port.

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path gModels;
json gEnvironmentConfig = json::object();
std::mutex gMutex;
std::set<std::string> gLoaded;
std::atomic<int> gAnswered{0};

json config()
{
    json merged = gEnvironmentConfig;
    std::ifstream file(gModels / "fake-control.json");
    if (file) {
        try {
            const json overrides = json::parse(file);
            for (const auto& [key, value] : overrides.items()) {
                merged[key] = value;
            }
        } catch (const std::exception&) {
            // A half-written control file is read again on the next request.
        }
    }
    return merged;
}

void appendLine(const fs::path& path, const json& line)
{
    std::lock_guard lock(gMutex);
    std::ofstream out(path, std::ios::app);
    out << line.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

fs::path manifestPath(const std::string& model) { return gModels / "manifests" / model; }

bool installed(const std::string& model) { return fs::exists(manifestPath(model)); }

std::string hexDecode(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Recorded before the answer, so a client that saw the answer finds its request logged.
void record(const httplib::Request& req)
{
    appendLine(gModels / "fake-requests.jsonl",
        {{"method", req.method}, {"path", req.path}, {"body", req.body},
            {"contentType", req.has_header("Content-Type") ? json(req.get_header_value("Content-Type")) : json()},
            {"host", req.get_header_value("Host")}});
}

void error(httplib::Response& res, int status, const std::string& message)
{
    res.status = status;
    res.set_content(json{{"error", message}}.dump(), "application/json");
}

// Applies a configured misbehaviour for this path; true when the answer is settled.
bool misbehave(const json& cfg, const std::string& path, httplib::Response& res)
{
    if (!cfg.contains("routes") || !cfg["routes"].contains(path)) {
        return false;
    }
    const json& route = cfg["routes"][path];
    if (route.contains("delayMs")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(route["delayMs"].get<int>()));
    }
    if (route.contains("redirect")) {
        res.status = 302;
        res.set_header("Location", route["redirect"].get<std::string>());
        res.set_content("redirected", "text/plain");
        return true;
    }
    const int status = route.value("status", 200);
    if (route.contains("bodyHex")) {
        res.status = status;
        res.set_content(hexDecode(route["bodyHex"].get<std::string>()), "application/json");
        return true;
    }
    if (route.value("invalidJson", false)) {
        res.status = status;
        res.set_content("{\"message\": {\"role\": \"assistant\", \"content\": ", "application/json");
        return true;
    }
    if (route.contains("body")) {
        res.status = status;
        res.set_content(route["body"].get<std::string>(), "application/json");
        return true;
    }
    return false;
}

std::string tidy(const std::string& user)
{
    const std::string open = "<transcript>\n";
    const std::string close = "\n</transcript>";
    const auto start = user.find(open);
    const auto end = user.rfind(close);
    std::string text = start == std::string::npos || end == std::string::npos || end < start + open.size()
        ? user
        : user.substr(start + open.size(), end - start - open.size());
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    }
    if (!text.empty() && text.back() != '.' && text.back() != '!' && text.back() != '?') {
        text += '.';
    }
    return text;
}

json modelEntry(const std::string& name)
{
    return {{"name", name}, {"model", name}, {"size", 1234}, {"digest", "0123abcd"},
        {"details", {{"format", "gguf"}, {"family", "gemma"}, {"parameter_size", "2B"},
                        {"quantization_level", "Q4_K_M"}}}};
}

void registerRoutes(httplib::Server& server)
{
    server.Get("/api/version", [](const httplib::Request& req, httplib::Response& res) {
        record(req);
        const json cfg = config();
        if (misbehave(cfg, "api/version", res)) {
            return;
        }
        if (cfg.value("neverHealthy", false)) {
            error(res, 503, "still starting");
            return;
        }
        res.set_content(json{{"version", "0.12.0"}}.dump(), "application/json");
    });
    server.Get("/api/tags", [](const httplib::Request& req, httplib::Response& res) {
        record(req);
        if (misbehave(config(), "api/tags", res)) {
            return;
        }
        json models = json::array();
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(gModels / "manifests", ignored)) {
            models.push_back(modelEntry(entry.path().filename().string()));
        }
        res.set_content(json{{"models", models}}.dump(), "application/json");
    });
    server.Get("/api/ps", [](const httplib::Request& req, httplib::Response& res) {
        record(req);
        if (misbehave(config(), "api/ps", res)) {
            return;
        }
        json models = json::array();
        std::lock_guard lock(gMutex);
        for (const auto& name : gLoaded) {
            models.push_back(modelEntry(name));
        }
        res.set_content(json{{"models", models}}.dump(), "application/json");
    });
    server.Post("/api/pull", [](const httplib::Request& req, httplib::Response& res) {
        record(req);
        const json cfg = config();
        if (misbehave(cfg, "api/pull", res)) {
            return;
        }
        const std::string model = json::parse(req.body).value("model", "");
        if (cfg.value("pullInstalls", true)) {
            fs::create_directories(gModels / "manifests");
            std::ofstream(manifestPath(model)) << "{}";
        }
        res.set_content(json{{"status", "success"}}.dump(), "application/json");
    });
    server.Post("/api/generate", [](const httplib::Request& req, httplib::Response& res) {
        record(req);
        if (misbehave(config(), "api/generate", res)) {
            return;
        }
        const std::string model = json::parse(req.body).value("model", "");
        if (!installed(model)) {
            error(res, 404, "model '" + model + "' not found");
            return;
        }
        {
            std::lock_guard lock(gMutex);
            gLoaded.insert(model);
        }
        res.set_content(
            json{{"model", model}, {"response", ""}, {"done", true}, {"done_reason", "load"}}.dump(), "application/json");
    });
    server.Post("/api/chat", [](const httplib::Request& req, httplib::Response& res) {
        record(req);
        const json cfg = config();
        if (misbehave(cfg, "api/chat", res)) {
            return;
        }
        const json body = json::parse(req.body);
        const std::string model = body.value("model", "");
        if (!installed(model)) {
            error(res, 404, "model '" + model + "' not found");
            return;
        }
        std::string answer;
        if (cfg.contains("chatContent")) {
            answer = cfg["chatContent"].get<std::string>();
        } else {
            answer = tidy(body.at("messages").at(1).at("content").get<std::string>());
        }
        res.set_content(json{{"model", model}, {"message", {{"role", "assistant"}, {"content", answer}}},
                            {"done", true}, {"done_reason", "stop"}}
                            .dump(),
            "application/json");
    });
}

pid_t spawnGrandchild()
{
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::string(argv[1]) != "serve") {
        std::cerr << "usage: fake-ollama serve\n";
        return 64;
    }
    const char* models = std::getenv("OLLAMA_MODELS");
    gModels = models ? models : ".";
    fs::create_directories(gModels);
    if (const char* text = std::getenv("FAKE_OLLAMA_CONFIG")) {
        gEnvironmentConfig = json::parse(text);
    }
    const json cfg = config();
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    json environment = json::object();
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        environment[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
    }
    json arguments = json::array();
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(argv[i]);
    }
    pid_t grandchild = 0;
    if (cfg.value("spawnGrandchild", false)) {
        grandchild = spawnGrandchild();
    }
    appendLine(gModels / "fake-launches.jsonl",
        {{"pid", getpid()}, {"grandchild", grandchild}, {"arguments", arguments}, {"environment", environment}});

    if (cfg.contains("printLines")) {
        for (const auto& line : cfg["printLines"]) {
            std::printf("%s\n", line.get<std::string>().c_str());
        }
    }
    if (cfg.contains("printCharacters")) {
        const std::string text(cfg["printCharacters"].get<std::size_t>(), 'x');
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    if (cfg.value("printInvalidUTF8", false)) {
        std::fwrite("\xff\xfe broken \xc3\n", 1, 12, stdout);
    }
    if (cfg.value("exitImmediately", false)) {
        std::printf("fake-ollama: exiting at once\n");
        return 2;
    }
    if (cfg.contains("startDelayMs")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(cfg["startDelayMs"].get<int>()));
    }
    for (const auto& name : cfg.value("loadedModels", json::array())) {
        gLoaded.insert(name.get<std::string>());
    }

    std::string host = "127.0.0.1";
    int port = 11434;
    if (const char* address = std::getenv("OLLAMA_HOST")) {
        const std::string text(address);
        const auto colon = text.rfind(':');
        host = text.substr(0, colon);
        port = std::stoi(text.substr(colon + 1));
    }

    httplib::Server server;
    registerRoutes(server);
    const int crashAfter = cfg.value("crashAfterRequests", 0);
    server.set_tcp_nodelay(true);
    // One request per connection, as curl's connection reuse would otherwise race the
    // server's closing of idle connections.
    server.set_keep_alive_max_count(1);
    server.set_logger([crashAfter](const httplib::Request& req, const httplib::Response& res) {
        if (!config().value("quiet", false)) {
            std::printf("fake-ollama: %s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
        }
        if (crashAfter > 0 && ++gAnswered >= crashAfter) {
            std::printf("fake-ollama: crashing after %d requests\n", crashAfter);
            _exit(3);
        }
    });
    if (port == 0) {
        port = server.bind_to_any_port(host);
        std::ofstream(gModels / "fake-port.tmp") << port;
        fs::rename(gModels / "fake-port.tmp", gModels / "fake-port");
    } else if (!server.bind_to_port(host, port)) {
        std::printf("fake-ollama: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    if (port <= 0) {
        std::printf("fake-ollama: cannot listen on %s\n", host.c_str());
        return 1;
    }
    std::printf("fake-ollama: Listening on %s:%d (version 0.12.0)\n", host.c_str(), port);
    server.listen_after_bind();
    if (grandchild > 0) {
        kill(grandchild, SIGTERM);
        waitpid(grandchild, nullptr, 0);
    }
    return 0;
}
