#include "HushnoteCore/RemoteAssetManifestError.h"

namespace hushnote {

std::string RemoteAssetManifestError::description() const
{
    switch (kind_) {
    case Kind::unsafeInstallPath: return "Asset manifest names an install path outside the models directory: " + value_;
    case Kind::unsafeArtifactName: return "Asset manifest names an artifact that cannot be part of a file name: " + value_;
    case Kind::signatureMissing: return "Asset manifest signature is missing";
    case Kind::signatureInvalid: return "Asset manifest signature is not valid";
    case Kind::publicKeyInvalid: return "HushnoteAssetPublicKey is not a valid Ed25519 public key";
    }
    return "Asset manifest is not usable";
}

} // namespace hushnote
