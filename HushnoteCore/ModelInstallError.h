#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

class ModelInstallError : public Error {
public:
    enum class Kind { executableCodeInModelArchive, missingDownloadURL, checksumMismatch, invalidArchive, modelPayloadMissing };

    static ModelInstallError executableCodeInModelArchive(std::string path)
    {
        return ModelInstallError(Kind::executableCodeInModelArchive, std::move(path));
    }
    static ModelInstallError missingDownloadURL() { return ModelInstallError(Kind::missingDownloadURL); }
    static ModelInstallError checksumMismatch() { return ModelInstallError(Kind::checksumMismatch); }
    // `reason` says which rule refused the archive; it is for logs and tests and never
    // changes the description.
    static ModelInstallError invalidArchive(std::string reason = {})
    {
        return ModelInstallError(Kind::invalidArchive, {}, std::move(reason));
    }
    static ModelInstallError modelPayloadMissing() { return ModelInstallError(Kind::modelPayloadMissing); }

    Kind kind() const noexcept { return kind_; }
    // The offending file for executableCodeInModelArchive, empty otherwise.
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.ModelInstallError"; }
    int code() const override { return static_cast<int>(kind_); }

    bool operator==(const ModelInstallError& other) const
    {
        return kind_ == other.kind_ && path_ == other.path_;
    }

private:
    ModelInstallError(Kind kind, std::string path = {}, std::string reason = {})
        : kind_(kind), path_(std::move(path)), reason_(std::move(reason))
    {
    }

    Kind kind_;
    std::string path_;
    std::string reason_;
};

} // namespace hushnote
