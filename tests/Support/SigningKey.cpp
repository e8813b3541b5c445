#include "tests/Support/SigningKey.h"

#include "HushnoteCore/ManifestSignature.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace hushnote::testing {

struct SigningKey::Key {
    EVP_PKEY* pkey = nullptr;
    ~Key() { EVP_PKEY_free(pkey); }
};

SigningKey::SigningKey() : key_(std::make_unique<Key>())
{
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    if (context == nullptr || EVP_PKEY_keygen_init(context) != 1 || EVP_PKEY_keygen(context, &key_->pkey) != 1) {
        EVP_PKEY_CTX_free(context);
        throw std::runtime_error("cannot create an Ed25519 key");
    }
    EVP_PKEY_CTX_free(context);
}

SigningKey::~SigningKey() = default;

std::string SigningKey::publicKeyBase64() const
{
    std::string raw(32, '\0');
    std::size_t length = raw.size();
    EVP_PKEY_get_raw_public_key(key_->pkey, reinterpret_cast<unsigned char*>(raw.data()), &length);
    raw.resize(length);
    return ManifestSignature::encodeBase64(raw);
}

std::string SigningKey::sign(const std::string& message) const
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    const bool ok = context != nullptr && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_->pkey) == 1
        && EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
               reinterpret_cast<const unsigned char*>(message.data()), message.size())
            == 1;
    EVP_MD_CTX_free(context);
    if (!ok) {
        throw std::runtime_error("cannot sign");
    }
    signature.resize(length);
    return ManifestSignature::encodeBase64(signature);
}

} // namespace hushnote::testing
