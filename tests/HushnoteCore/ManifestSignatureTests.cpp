#include "HushnoteCore/ManifestSignature.h"
#include "HushnoteCore/RemoteAssetManifestError.h"
#include "tests/Support/SigningKey.h"

#include <gtest/gtest.h>

namespace hushnote {
namespace {

using Kind = RemoteAssetManifestError::Kind;

TEST(ManifestSignatureBase64, DecodesOnlyPaddedStandardBase64)
{
    struct Case {
        const char* text;
        std::optional<std::string> bytes;
    };
    const std::vector<Case> cases = {
        {"aGk=", std::string("hi")},
        {"aGVsbG8=\n", std::string("hello")},
        {"  AAEC  ", std::string("\x00\x01\x02", 3)},
        {"", std::nullopt},
        {"aGk", std::nullopt},
        {"aG=k", std::nullopt},
        {"a===", std::nullopt},
        {"aGk*", std::nullopt},
        {"aG k=", std::nullopt},
        {"aGVsbG8-", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ManifestSignature::decodeBase64(c.text), c.bytes);
    }
    EXPECT_EQ(ManifestSignature::encodeBase64("hello"), "aGVsbG8=");
}

TEST(ManifestSignature, AcceptsOnlyAValidSignatureOfTheExactBytesUnderTheKey)
{
    const testing::SigningKey key;
    const testing::SigningKey otherKey;
    const std::string manifest = R"({"manifestVersion":"1","artifacts":[],"latest":{}})";
    const auto signature = key.sign(manifest);
    EXPECT_NO_THROW(ManifestSignature::verify(manifest, signature + "\n", key.publicKeyBase64()));

    struct Case {
        const char* name;
        std::string message;
        std::string signature;
        std::string publicKey;
        Kind kind;
    };
    const std::vector<Case> cases = {
        {"manifest changed after signing", manifest + " ", signature, key.publicKeyBase64(), Kind::signatureInvalid},
        {"signed by another key", manifest, otherKey.sign(manifest), key.publicKeyBase64(), Kind::signatureInvalid},
        {"not Base64", manifest, "not base64!", key.publicKeyBase64(), Kind::signatureInvalid},
        {"wrong length", manifest, ManifestSignature::encodeBase64(std::string(63, 'x')), key.publicKeyBase64(),
            Kind::signatureInvalid},
        {"empty signature", manifest, "", key.publicKeyBase64(), Kind::signatureInvalid},
        {"key not Base64", manifest, signature, "%%%", Kind::publicKeyInvalid},
        {"key of the wrong length", manifest, signature, ManifestSignature::encodeBase64(std::string(31, 'k')),
            Kind::publicKeyInvalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            ManifestSignature::verify(c.message, c.signature, c.publicKey);
            ADD_FAILURE() << "accepted";
        } catch (const RemoteAssetManifestError& error) {
            EXPECT_EQ(error.kind(), c.kind);
        }
    }
}

} // namespace
} // namespace hushnote
