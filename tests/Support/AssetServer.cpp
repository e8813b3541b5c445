#include "tests/Support/AssetServer.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace hushnote::testing {

using namespace std::chrono_literals;

namespace {

void writePem(const std::filesystem::path& path, const std::function<int(FILE*)>& write)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || write(file) != 1) {
        if (file != nullptr) {
            std::fclose(file);
        }
        throw std::runtime_error("cannot write " + path.string());
    }
    std::fclose(file);
}

} // namespace

TestCertificate::TestCertificate(const std::filesystem::path& directory)
    : certificateFile(directory / "server.crt"), keyFile(directory / "server.key")
{
    std::filesystem::create_directories(directory);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    if (key == nullptr || certificate == nullptr) {
        throw std::runtime_error("cannot create a test certificate");
    }
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 7 * 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
             std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(certificate, key, EVP_sha256());
    writePem(certificateFile, [certificate](FILE* file) { return PEM_write_X509(file, certificate); });
    writePem(keyFile, [key](FILE* file) {
        return PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    });
    X509_free(certificate);
    EVP_PKEY_free(key);
}

AssetServer::AssetServer() : server_(std::make_unique<httplib::Server>()), scheme_("http")
{
    start();
}

AssetServer::AssetServer(const TestCertificate& certificate)
    : server_(std::make_unique<httplib::SSLServer>(certificate.certificateFile.c_str(), certificate.keyFile.c_str()))
    , scheme_("https")
{
    if (!server_->is_valid()) {
        throw std::runtime_error("cannot start the TLS test server");
    }
    start();
}

void AssetServer::start()
{
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            ++counts_[request.path];
            ++total_;
            const auto it = routes_.find(request.path);
            if (it != routes_.end()) {
                handler = it->second;
            }
        }
        if (!handler) {
            response.status = 404;
            response.set_content("not found", "text/plain");
            return;
        }
        handler(request, response);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("cannot bind the test server");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) {
        std::this_thread::sleep_for(1ms);
    }
}

AssetServer::~AssetServer()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string AssetServer::url(const std::string& path) const
{
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
}

void AssetServer::handle(const std::string& path, Handler handler)
{
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(handler);
}

void AssetServer::remove(const std::string& path)
{
    std::lock_guard lock(mutex_);
    routes_.erase(path);
}

void AssetServer::serve(const std::string& path, std::string body, int status, std::string contentType)
{
    handle(path, [body = std::move(body), status, contentType = std::move(contentType)](
                     const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, contentType.c_str());
    });
}

void AssetServer::serveChunked(const std::string& path, std::string body)
{
    handle(path, [body = std::move(body)](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/octet-stream",
            [body](size_t offset, httplib::DataSink& sink) {
                if (offset >= body.size()) {
                    sink.done();
                    return true;
                }
                const auto length = std::min<std::size_t>(16 * 1024, body.size() - offset);
                sink.write(body.data() + offset, length);
                return true;
            });
    });
}

void AssetServer::serveCut(const std::string& path, std::string body, std::size_t announcedLength)
{
    handle(path, [body = std::move(body), announcedLength](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(announcedLength, "application/octet-stream",
            [body](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset >= body.size()) {
                    return false; // drops the connection
                }
                sink.write(body.data() + offset, body.size() - offset);
                return true;
            });
    });
}

void AssetServer::serveStalling(const std::string& path, std::string prefix)
{
    handle(path, [this, prefix = std::move(prefix)](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(prefix.size() + 1024 * 1024, "application/octet-stream",
            [this, prefix](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset < prefix.size()) {
                    sink.write(prefix.data() + offset, prefix.size() - offset);
                    return true;
                }
                std::unique_lock lock(mutex_);
                stopping_.wait_for(lock, 30s, [this] { return stopped_; });
                return false;
            });
    });
}

void AssetServer::redirect(const std::string& path, std::string location)
{
    handle(path, [location = std::move(location)](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(location);
    });
}

int AssetServer::requests(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    const auto it = counts_.find(path);
    return it == counts_.end() ? 0 : it->second;
}

int AssetServer::totalRequests() const
{
    std::lock_guard lock(mutex_);
    return total_;
}

} // namespace hushnote::testing
