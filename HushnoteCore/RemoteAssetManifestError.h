#pragma once

#include "Foundation/Error.h"

#include <string>

namespace hushnote {

// A manifest that must not be acted on although it decodes: unsafe names, or a signature
// that does not hold.
class RemoteAssetManifestError : public Error {
public:
    enum class Kind { unsafeInstallPath, unsafeArtifactName, signatureMissing, signatureInvalid, publicKeyInvalid };

    static RemoteAssetManifestError unsafeInstallPath(std::string path)
    {
        return RemoteAssetManifestError(Kind::unsafeInstallPath, std::move(path));
    }
    static RemoteAssetManifestError unsafeArtifactName(std::string name)
    {
        return RemoteAssetManifestError(Kind::unsafeArtifactName, std::move(name));
    }
    static RemoteAssetManifestError signatureMissing() { return RemoteAssetManifestError(Kind::signatureMissing); }
    static RemoteAssetManifestError signatureInvalid() { return RemoteAssetManifestError(Kind::signatureInvalid); }
    static RemoteAssetManifestError publicKeyInvalid() { return RemoteAssetManifestError(Kind::publicKeyInvalid); }

    Kind kind() const noexcept { return kind_; }
    const std::string& value() const noexcept { return value_; }

    std::string description() const override;
    std::string typeName() const override { return "HushnoteCore.RemoteAssetManifestError"; }
    int code() const override { return static_cast<int>(kind_); }

private:
    explicit RemoteAssetManifestError(Kind kind, std::string value = {}) : kind_(kind), value_(std::move(value)) {}

    Kind kind_;
    std::string value_;
};

} // namespace hushnote
