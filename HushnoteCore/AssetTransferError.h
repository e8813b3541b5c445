#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

// Transport failures of manifest and archive downloads.
class AssetTransferError : public Error {
public:
    enum class Kind { insecureURL, transferFailed, diskWriteFailed, timedOut, bodyTooLarge };

    // The address is not HTTPS, nor plain HTTP to this machine, or a redirect left HTTPS.
    static AssetTransferError insecureURL(std::string url) { return AssetTransferError(Kind::insecureURL, std::move(url)); }
    // Connection, TLS or protocol failure; `detail` is libcurl's text.
    static AssetTransferError transferFailed(std::string detail)
    {
        return AssetTransferError(Kind::transferFailed, std::move(detail));
    }
    static AssetTransferError diskWriteFailed(std::string detail)
    {
        return AssetTransferError(Kind::diskWriteFailed, std::move(detail));
    }
    static AssetTransferError timedOut() { return AssetTransferError(Kind::timedOut); }
    static AssetTransferError bodyTooLarge() { return AssetTransferError(Kind::bodyTooLarge); }

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.AssetTransferError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    AssetTransferError(Kind kind, std::string detail = {}) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;
};

} // namespace hushnote
