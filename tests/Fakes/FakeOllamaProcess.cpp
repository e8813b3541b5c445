#include "tests/Fakes/FakeOllamaProcess.h"

#include "tests/Support/AsyncTesting.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace hushnote::testing {

namespace {

std::vector<nlohmann::json> readLines(const std::filesystem::path& path)
{
    std::vector<nlohmann::json> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            out.push_back(nlohmann::json::parse(line));
        }
    }
    return out;
}

} // namespace

std::filesystem::path fakeOllamaExecutable()
{
    return ChildProcess::guardExecutable().parent_path() / "fake-ollama";
}

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool processGone(pid_t pid)
{
    if (::kill(pid, 0) != 0) {
        return errno == ESRCH;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

std::vector<nlohmann::json> FakeOllamaRecords::requests() const { return readLines(models / "fake-requests.jsonl"); }

std::vector<nlohmann::json> FakeOllamaRecords::requestsTo(const std::string& path) const
{
    std::vector<nlohmann::json> out;
    for (auto& request : requests()) {
        if (request.at("path") == path) {
            out.push_back(std::move(request));
        }
    }
    return out;
}

std::vector<nlohmann::json> FakeOllamaRecords::launches() const { return readLines(models / "fake-launches.jsonl"); }

void FakeOllamaRecords::control(const nlohmann::json& settings) const
{
    std::filesystem::create_directories(models);
    const auto staging = models / "fake-control.json.tmp";
    std::ofstream(staging) << settings.dump();
    std::filesystem::rename(staging, models / "fake-control.json");
}

void FakeOllamaRecords::install(const std::string& model) const
{
    std::filesystem::create_directories(models / "manifests");
    std::ofstream(models / "manifests" / model) << "{}";
}

FakeOllamaProcess::FakeOllamaProcess(nlohmann::json settings, std::map<std::string, std::string> extraEnvironment)
    : records_(directory_.path() / "models")
{
    std::filesystem::create_directories(records_.models);
    ChildProcess::Options options;
    options.executable = fakeOllamaExecutable();
    options.arguments = {"serve"};
    options.environment = std::move(extraEnvironment);
    options.environment.try_emplace("OLLAMA_HOST", "127.0.0.1:0");
    host_ = options.environment["OLLAMA_HOST"].substr(0, options.environment["OLLAMA_HOST"].rfind(':'));
    options.environment["OLLAMA_MODELS"] = records_.models.string();
    options.environment["FAKE_OLLAMA_CONFIG"] = settings.dump();
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    options.outputDescriptor = quiet;
    process_ = ChildProcess::launch(options);
    ::close(quiet);
    const auto portFile = records_.models / "fake-port";
    if (!eventually([&] { return std::filesystem::exists(portFile); })) {
        throw std::runtime_error("fake-ollama did not start");
    }
    std::ifstream(portFile) >> port_;
}

FakeOllamaProcess::~FakeOllamaProcess()
{
    if (process_) {
        process_->terminate();
    }
}

} // namespace hushnote::testing
