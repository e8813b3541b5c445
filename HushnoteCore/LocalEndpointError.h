#pragma once

#include "Foundation/Error.h"

#include <optional>
#include <string>

namespace hushnote {

class LocalEndpointError : public Error {
public:
    enum class Kind { remoteHost, unsupportedScheme };

    static LocalEndpointError remoteHost(std::optional<std::string> host)
    {
        return LocalEndpointError(Kind::remoteHost, std::move(host));
    }
    static LocalEndpointError unsupportedScheme() { return LocalEndpointError(Kind::unsupportedScheme, std::nullopt); }

    Kind kind() const noexcept { return kind_; }
    // The refused host as written, for remoteHost; absent when the URL had none.
    const std::optional<std::string>& host() const noexcept { return host_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.LocalEndpointError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const LocalEndpointError& other) const { return kind_ == other.kind_ && host_ == other.host_; }

private:
    LocalEndpointError(Kind kind, std::optional<std::string> host) : kind_(kind), host_(std::move(host)) {}

    Kind kind_;
    std::optional<std::string> host_;
};

} // namespace hushnote
