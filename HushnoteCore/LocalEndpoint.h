#pragma once

#include <functional>
#include <string>

namespace hushnote {

// A base URL that passed the loopback check: scheme http, host 127.0.0.1, localhost or
// [::1] (both compared lower-cased). The URL is kept exactly as given.
class LocalEndpoint {
public:
    // Throws LocalEndpointError.
    explicit LocalEndpoint(std::string url);

    const std::string& url() const { return url_; }

    // `url` with `path` appended as path components, after stripping "/" from both ends of
    // `path`; the base URL's own path stays in front.
    std::string appending(std::string path) const;

    bool operator==(const LocalEndpoint&) const = default;

private:
    std::string url_;
};

} // namespace hushnote

template <>
struct std::hash<hushnote::LocalEndpoint> {
    std::size_t operator()(const hushnote::LocalEndpoint& endpoint) const noexcept
    {
        return std::hash<std::string>()(endpoint.url());
    }
};
