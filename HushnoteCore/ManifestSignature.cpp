#include "HushnoteCore/ManifestSignature.h"

#include "HushnoteCore/RemoteAssetManifestError.h"

#include <openssl/evp.h>

#include <memory>

namespace hushnote {

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view kSpace = " \t\r\n";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

} // namespace

std::optional<std::string> ManifestSignature::decodeBase64(std::string_view text)
{
    text = trimmed(text);
    if (text.empty() || text.size() % 4 != 0) {
        return std::nullopt;
    }
    for (const char c : text) {
        const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+'
            || c == '/' || c == '=';
        if (!valid) {
            return std::nullopt;
        }
    }
    std::size_t padding = 0;
    while (padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    // Padding only at the very end, and at most two characters of it.
    if (padding > 2 || text.substr(0, text.size() - padding).find('=') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string bytes(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(length) - padding);
    return bytes;
}

std::string ManifestSignature::encodeBase64(std::string_view bytes)
{
    std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void ManifestSignature::verify(std::string_view message, std::string_view signatureBase64, std::string_view publicKeyBase64)
{
    const auto rawKey = decodeBase64(publicKeyBase64);
    if (!rawKey || rawKey->size() != kPublicKeyBytes) {
        throw RemoteAssetManifestError::publicKeyInvalid();
    }
    std::unique_ptr<EVP_PKEY, KeyDeleter> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(rawKey->data()), rawKey->size()));
    if (!key) {
        throw RemoteAssetManifestError::publicKeyInvalid();
    }
    const auto signature = decodeBase64(signatureBase64);
    if (!signature || signature->size() != kSignatureBytes) {
        throw RemoteAssetManifestError::signatureInvalid();
    }
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        throw RemoteAssetManifestError::signatureInvalid();
    }
    const int verified = EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature->data()),
        signature->size(), reinterpret_cast<const unsigned char*>(message.data()), message.size());
    if (verified != 1) {
        throw RemoteAssetManifestError::signatureInvalid();
    }
}

} // namespace hushnote
