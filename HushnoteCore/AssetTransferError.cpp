#include "HushnoteCore/AssetTransferError.h"

namespace hushnote {

std::string AssetTransferError::description() const
{
    switch (kind_) {
    case Kind::insecureURL: return "Asset downloads need HTTPS (plain HTTP only to this computer): " + detail_;
    case Kind::transferFailed: return "Asset download failed: " + detail_;
    case Kind::diskWriteFailed: return "Asset download could not be written to disk: " + detail_;
    case Kind::timedOut: return "Asset server stopped sending data";
    case Kind::bodyTooLarge: return "Asset server sent more data than the manifest declares";
    }
    return "Asset download failed";
}

} // namespace hushnote
