#include "HushnoteCore/LocalEndpoint.h"

#include "HushnoteCore/LocalEndpointError.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>

namespace hushnote {

namespace {

std::string asciiLower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    });
    return text;
}

std::optional<std::string> schemeOf(const std::string& url)
{
    const auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!isAlpha(url[0])) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = url[i];
        if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
            return std::nullopt;
        }
    }
    return url.substr(0, colon);
}

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// The host exactly as the transfer layer will read it, so the check and the connection agree.
std::optional<std::string> parsedHost(const std::string& url)
{
    UrlHandle handle(curl_url(), &curl_url_cleanup);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    char* host = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || !host) {
        return std::nullopt;
    }
    std::string text(host);
    curl_free(host);
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

} // namespace

LocalEndpoint::LocalEndpoint(std::string url) : url_(std::move(url))
{
    const auto scheme = schemeOf(url_);
    if (!scheme || asciiLower(*scheme) != "http") {
        throw LocalEndpointError::unsupportedScheme();
    }
    // "http:/x" and "http:///x" have no authority, whatever a lenient parser makes of them.
    const auto rest = std::string_view(url_).substr(scheme->size() + 1);
    const bool hasAuthority = rest.size() > 2 && rest.substr(0, 2) == "//" && rest[2] != '/';
    const auto host = hasAuthority ? parsedHost(url_) : std::nullopt;
    if (!host) {
        throw LocalEndpointError::remoteHost(std::nullopt);
    }
    const auto lower = asciiLower(*host);
    if (lower != "127.0.0.1" && lower != "localhost" && lower != "::1") {
        throw LocalEndpointError::remoteHost(*host);
    }
}

std::string LocalEndpoint::appending(std::string path) const
{
    const auto first = path.find_first_not_of('/');
    path = first == std::string::npos ? std::string() : path.substr(first, path.find_last_not_of('/') - first + 1);

    UrlHandle handle(curl_url(), &curl_url_cleanup);
    char* current = nullptr;
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url_.c_str(), 0) != CURLUE_OK
        || curl_url_get(handle.get(), CURLUPART_PATH, &current, 0) != CURLUE_OK) {
        return url_ + "/" + path;
    }
    std::string joined(current ? current : "");
    curl_free(current);
    if (joined.empty() || joined.back() != '/') {
        joined += '/';
    }
    joined += path;
    char* result = nullptr;
    if (curl_url_set(handle.get(), CURLUPART_PATH, joined.c_str(), 0) != CURLUE_OK
        || curl_url_get(handle.get(), CURLUPART_URL, &result, 0) != CURLUE_OK) {
        return url_ + "/" + path;
    }
    std::string out(result);
    curl_free(result);
    return out;
}

} // namespace hushnote
