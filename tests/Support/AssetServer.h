#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace hushnote::testing {

// A self-signed certificate for 127.0.0.1 and localhost, written as PEM files.
struct TestCertificate {
    explicit TestCertificate(const std::filesystem::path& directory);
    std::filesystem::path certificateFile;
    std::filesystem::path keyFile;
};

// A real HTTP (or HTTPS) server on a random loopback port, running on its own thread, whose
// routes can be changed while it runs.
class AssetServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    AssetServer();
    // HTTPS with the given certificate.
    explicit AssetServer(const TestCertificate& certificate);
    ~AssetServer();

    AssetServer(const AssetServer&) = delete;
    AssetServer& operator=(const AssetServer&) = delete;

    // "http://127.0.0.1:<port><path>" (https for a TLS server).
    std::string url(const std::string& path) const;

    // Answers GET `path` with `body` and `status`, with a Content-Length.
    void serve(const std::string& path, std::string body, int status = 200,
        std::string contentType = "application/octet-stream");
    // Answers GET `path` with `body` streamed in chunks and no announced length.
    void serveChunked(const std::string& path, std::string body);
    // Announces `announcedLength` but sends only `body`, then drops the connection.
    void serveCut(const std::string& path, std::string body, std::size_t announcedLength);
    // Sends `prefix` and then nothing until the server is destroyed.
    void serveStalling(const std::string& path, std::string prefix);
    void redirect(const std::string& path, std::string location);
    void handle(const std::string& path, Handler handler);
    void remove(const std::string& path);

    // How many GET requests `path` has received.
    int requests(const std::string& path) const;
    int totalRequests() const;

private:
    void start();

    std::unique_ptr<httplib::Server> server_;
    std::string scheme_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Handler> routes_;
    std::map<std::string, int> counts_;
    int total_ = 0;
    std::condition_variable stopping_;
    bool stopped_ = false;
};

} // namespace hushnote::testing
