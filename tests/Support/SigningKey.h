#pragma once

#include <memory>
#include <string>

namespace hushnote::testing {

// A fresh Ed25519 key pair for signing fixture manifests.
class SigningKey {
public:
    SigningKey();
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // The raw 32-byte public key, Base64.
    std::string publicKeyBase64() const;
    // The detached signature of `message`, Base64.
    std::string sign(const std::string& message) const;

private:
    struct Key;
    std::unique_ptr<Key> key_;
};

} // namespace hushnote::testing
