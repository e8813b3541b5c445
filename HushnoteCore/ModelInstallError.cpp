#include "HushnoteCore/ModelInstallError.h"

namespace hushnote {

std::string ModelInstallError::description() const
{
    switch (kind_) {
    case Kind::executableCodeInModelArchive: return "Downloaded model archive contains executable code: " + path_;
    case Kind::missingDownloadURL: return "Model download URL is not configured";
    case Kind::checksumMismatch: return "Downloaded model checksum does not match the manifest";
    case Kind::invalidArchive: return "Downloaded model archive could not be extracted";
    case Kind::modelPayloadMissing: return "Imported model directory does not contain Whisper Core ML files";
    }
    return "Model install failed";
}

} // namespace hushnote
