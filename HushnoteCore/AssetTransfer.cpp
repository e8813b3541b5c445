#include "HushnoteCore/AssetTransfer.h"

#include "HushnoteCore/AssetTransferError.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

namespace hushnote {

namespace {

struct CurlURLDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlURL = std::unique_ptr<CURLU, CurlURLDeleter>;

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

std::optional<std::string> urlPart(CURLU* handle, CURLUPart part)
{
    char* text = nullptr;
    if (curl_url_get(handle, part, &text, 0) != CURLUE_OK || text == nullptr) {
        return std::nullopt;
    }
    std::string result(text);
    curl_free(text);
    return result;
}

// Any scheme parses, as a URL type would accept it; whether it may be fetched is decided
// separately.
constexpr unsigned kParseFlags = CURLU_NON_SUPPORT_SCHEME;

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isLoopbackHost(std::string host)
{
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    if (host == "localhost" || host == "[::1]") {
        return true;
    }
    // 127.0.0.0/8 in dotted-quad form only.
    if (host.rfind("127.", 0) != 0) {
        return false;
    }
    int parts = 0;
    std::size_t start = 0;
    while (start <= host.size()) {
        const auto end = std::min(host.find('.', start), host.size());
        const auto part = host.substr(start, end - start);
        if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), ::isdigit)
            || std::stoi(part) > 255) {
            return false;
        }
        ++parts;
        start = end + 1;
    }
    return parts == 4;
}

void requireAllowed(const std::string& url)
{
    if (!AssetURL::isAllowedForAssets(url)) {
        throw AssetTransferError::insecureURL(url);
    }
}

// What the write callback shares with the transfer; lives on the transferring thread's stack.
struct TransferSink {
    int fd = -1;
    std::string* memory = nullptr;
    std::optional<std::int64_t> maxBytes;
    std::optional<std::int64_t> progressTotal;
    const ModelDownloadProgressHandler* progress = nullptr;
    CURL* handle = nullptr;

    std::int64_t received = 0;
    std::int64_t lastReported = -1;
    bool tooLarge = false;
    bool stalled = false;
    int writeErrno = 0;
    std::chrono::steady_clock::duration stallTimeout{};
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();

    static constexpr std::int64_t kReportEvery = 64 * 1024;

    void report(bool final)
    {
        if (progress == nullptr || !*progress) {
            return;
        }
        if (received == lastReported || (!final && lastReported >= 0 && received - lastReported < kReportEvery)) {
            return;
        }
        std::optional<std::int64_t> total = progressTotal;
        if (!total) {
            curl_off_t announced = -1;
            if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK && announced > 0) {
                total = static_cast<std::int64_t>(announced);
            }
        }
        lastReported = received;
        try {
            (*progress)(ModelDownloadProgress{received, total});
        } catch (...) {
            // A reporting failure must not end the transfer.
        }
    }
};

size_t writeBody(char* data, size_t size, size_t count, void* context)
{
    auto& sink = *static_cast<TransferSink*>(context);
    const auto length = static_cast<std::int64_t>(size * count);
    if (sink.maxBytes && sink.received + length > *sink.maxBytes) {
        sink.tooLarge = true;
        return 0;
    }
    if (sink.memory != nullptr) {
        sink.memory->append(data, static_cast<std::size_t>(length));
    } else {
        std::size_t written = 0;
        while (written < static_cast<std::size_t>(length)) {
            const auto n = ::write(sink.fd, data + written, static_cast<std::size_t>(length) - written);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                sink.writeErrno = errno;
                return 0;
            }
            written += static_cast<std::size_t>(n);
        }
    }
    sink.received += length;
    sink.lastActivity = std::chrono::steady_clock::now();
    sink.report(false);
    return size * count;
}

// libcurl calls this at least once a second, also while nothing arrives. Its own low-speed
// check averages over several seconds; this one counts from the last byte.
int checkStall(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto& sink = *static_cast<TransferSink*>(context);
    if (std::chrono::steady_clock::now() - sink.lastActivity > sink.stallTimeout) {
        sink.stalled = true;
        return 1;
    }
    return 0;
}

HTTPResponse perform(const std::string& url, TransferSink& sink, const ModelDownloadSession& session)
{
    requireAllowed(url);
    initialiseCurlOnce();
    CurlHandle handle(curl_easy_init());
    if (!handle) {
        throw AssetTransferError::transferFailed("could not create a transfer");
    }
    CURL* curl = handle.get();
    sink.handle = curl;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (session.certificateAuthorityFile) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, session.certificateAuthorityFile->c_str());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(session.connectTimeout.count()));
    // The stall clock starts with the request, so a server that never answers also times out.
    sink.stallTimeout = session.stallTimeout;
    sink.lastActivity = std::chrono::steady_clock::now();
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, checkStall);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &sink);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Hushnote");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

    const CURLcode result = curl_easy_perform(curl);
    if (sink.tooLarge) {
        throw AssetTransferError::bodyTooLarge();
    }
    if (sink.stalled) {
        throw AssetTransferError::timedOut();
    }
    if (sink.writeErrno != 0) {
        throw AssetTransferError::diskWriteFailed(std::strerror(sink.writeErrno));
    }
    if (result != CURLE_OK) {
        const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        switch (result) {
        case CURLE_OPERATION_TIMEDOUT: throw AssetTransferError::timedOut();
        case CURLE_UNSUPPORTED_PROTOCOL: {
            // The first address was checked above, so this is a redirect that left HTTPS.
            char* target = nullptr;
            curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &target);
            char* effective = nullptr;
            curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
            throw AssetTransferError::insecureURL(target ? target : (effective ? effective : url));
        }
        default: throw AssetTransferError::transferFailed(detail);
        }
    }
    sink.report(true);

    HTTPResponse response;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.statusCode);
    char* effective = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
        response.url = effective;
    }
    curl_off_t announced = -1;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK && announced >= 0) {
        response.expectedContentLength = static_cast<std::int64_t>(announced);
    }
    return response;
}

} // namespace

std::filesystem::path ModelDownloadSession::defaultTemporaryDirectory()
{
    const char* value = std::getenv("TMPDIR");
    return value != nullptr && *value != '\0' ? std::filesystem::path(value) : std::filesystem::path("/tmp");
}

std::optional<std::string> AssetURL::parse(const std::string& text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    CurlURL handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), kParseFlags) != CURLUE_OK) {
        return std::nullopt;
    }
    return urlPart(handle.get(), CURLUPART_URL);
}

std::optional<std::string> AssetURL::resolve(const std::string& reference, const std::string& base)
{
    if (reference.empty()) {
        return std::nullopt;
    }
    CurlURL handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), kParseFlags) != CURLUE_OK) {
        return std::nullopt;
    }
    // Setting a URL on a handle that holds one resolves it as a reference relative to it.
    if (curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), kParseFlags) != CURLUE_OK) {
        return std::nullopt;
    }
    return urlPart(handle.get(), CURLUPART_URL);
}

bool AssetURL::isAllowedForAssets(const std::string& url)
{
    CurlURL handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), kParseFlags) != CURLUE_OK) {
        return false;
    }
    const auto scheme = urlPart(handle.get(), CURLUPART_SCHEME);
    if (!scheme) {
        return false;
    }
    if (*scheme == "https") {
        return true;
    }
    const auto host = urlPart(handle.get(), CURLUPART_HOST);
    return *scheme == "http" && host && isLoopbackHost(*host);
}

HTTPResponse AssetTransfer::downloadToFile(const std::string& url, const std::filesystem::path& file,
    std::optional<std::int64_t> maxBytes, std::optional<std::int64_t> progressTotal,
    const ModelDownloadSession& session, const ModelDownloadProgressHandler& progress)
{
    requireAllowed(url);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        throw AssetTransferError::diskWriteFailed(std::strerror(errno));
    }
    TransferSink sink;
    sink.fd = fd;
    sink.maxBytes = maxBytes;
    sink.progressTotal = progressTotal;
    sink.progress = &progress;
    try {
        auto response = perform(url, sink, session);
        if (::close(fd) != 0) {
            throw AssetTransferError::diskWriteFailed(std::strerror(errno));
        }
        return response;
    } catch (...) {
        ::close(fd);
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        throw;
    }
}

std::pair<HTTPResponse, std::string> AssetTransfer::fetch(
    const std::string& url, std::size_t maxBytes, const ModelDownloadSession& session)
{
    std::string body;
    TransferSink sink;
    sink.memory = &body;
    sink.maxBytes = static_cast<std::int64_t>(maxBytes);
    auto response = perform(url, sink, session);
    return {std::move(response), std::move(body)};
}

std::filesystem::path AssetTransfer::privateTemporaryDirectory(const ModelDownloadSession& session)
{
    std::error_code error;
    std::filesystem::create_directories(session.temporaryDirectory, error);
    const auto directory = session.temporaryDirectory / ("hushnote-" + std::to_string(::geteuid()));
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::filesystem::filesystem_error(
            "Cannot create the private download directory", directory, std::error_code(errno, std::generic_category()));
    }
    struct stat info {};
    // Someone else's directory (or a link planted in a shared /tmp) must never receive archives.
    if (::lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        throw std::filesystem::filesystem_error("The private download directory is not owned by this user",
            directory, std::make_error_code(std::errc::permission_denied));
    }
    if ((info.st_mode & 077) != 0 && ::chmod(directory.c_str(), 0700) != 0) {
        throw std::filesystem::filesystem_error(
            "Cannot make the download directory private", directory, std::error_code(errno, std::generic_category()));
    }
    return directory;
}

} // namespace hushnote
