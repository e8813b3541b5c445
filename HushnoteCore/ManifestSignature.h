#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace hushnote {

// Detached Ed25519 signatures over a manifest's exact bytes, exchanged as Base64 text.
struct ManifestSignature {
    static constexpr std::size_t kPublicKeyBytes = 32;
    static constexpr std::size_t kSignatureBytes = 64;

    // Throws RemoteAssetManifestError::publicKeyInvalid unless `publicKeyBase64` is Base64 of
    // 32 bytes, and signatureInvalid unless `signatureBase64` (surrounding white space
    // allowed) is Base64 of 64 bytes forming a valid signature of `message` under that key.
    static void verify(std::string_view message, std::string_view signatureBase64, std::string_view publicKeyBase64);

    // Standard Base64 with padding; surrounding white space is ignored. nullopt for anything
    // else.
    static std::optional<std::string> decodeBase64(std::string_view text);
    static std::string encodeBase64(std::string_view bytes);
};

} // namespace hushnote
