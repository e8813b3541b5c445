#include "HushnoteCore/AssetTransferError.h"
#include "HushnoteCore/BundledModelSeederError.h"
#include "HushnoteCore/ModelInstallError.h"
#include "HushnoteCore/ModelInstallTypes.h"
#include "HushnoteCore/RemoteAssetManifestError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace hushnote {
namespace {

TEST(ModelArtifact, EncodesUnderItsFieldNamesAndLeavesOutAbsentFields)
{
    const ModelArtifact full{"openai_whisper-small", "https://a.example/m.zip", "ABCDEF", "whisper/openai_whisper-small", 1234};
    const auto json = nlohmann::json(full);
    EXPECT_EQ(json, nlohmann::json::parse(R"({"id":"openai_whisper-small","downloadURL":"https://a.example/m.zip",
        "sha256":"ABCDEF","relativeInstallPath":"whisper/openai_whisper-small","compressedSizeBytes":1234})"));
    EXPECT_EQ(json.get<ModelArtifact>(), full);

    const ModelArtifact minimal{"m", std::nullopt, std::nullopt, "x", std::nullopt};
    EXPECT_EQ(nlohmann::json(minimal), nlohmann::json::parse(R"({"id":"m","relativeInstallPath":"x"})"));
    EXPECT_EQ(nlohmann::json::parse(R"({"id":"m","relativeInstallPath":"x","sha256":null})").get<ModelArtifact>(), minimal);

    for (const char* broken : {R"({"relativeInstallPath":"x"})", R"({"id":"m"})", R"({"id":7,"relativeInstallPath":"x"})",
             R"({"id":"m","relativeInstallPath":"x","compressedSizeBytes":1.5})",
             R"({"id":"m","relativeInstallPath":"x","compressedSizeBytes":"12"})"}) {
        SCOPED_TRACE(broken);
        EXPECT_THROW(nlohmann::json::parse(broken).get<ModelArtifact>(), nlohmann::json::exception);
    }
}

TEST(ModelInstallStatus, IsStoredAsItsName)
{
    const std::vector<std::string> names{"notInstalled", "downloading", "verifying", "ready", "failed"};
    for (std::size_t i = 0; i < kAllModelInstallStatuses.size(); ++i) {
        const auto status = kAllModelInstallStatuses[i];
        EXPECT_EQ(toString(status), names[i]);
        EXPECT_EQ(nlohmann::json(status), names[i]);
        EXPECT_EQ(nlohmann::json(names[i]).get<ModelInstallStatus>(), status);
    }
    EXPECT_THROW(nlohmann::json("installed").get<ModelInstallStatus>(), nlohmann::json::exception);
}

TEST(ModelDownloadProgress, FractionNeedsAPositiveTotalAndIsClamped)
{
    struct Case {
        std::int64_t received;
        std::optional<std::int64_t> total;
        std::optional<double> fraction;
    };
    for (const auto& c : std::vector<Case>{
             {50, 100, 0.5}, {150, 100, 1.0}, {-5, 100, 0.0}, {10, std::nullopt, std::nullopt}, {10, 0, std::nullopt},
             {10, -1, std::nullopt}}) {
        EXPECT_EQ((ModelDownloadProgress{c.received, c.total}.fractionCompleted()), c.fraction);
    }
}

// Every case of the asset errors: text, type and code.
TEST(ModelAssetErrors, EveryCaseHasItsTextTypeAndCode)
{
    struct Case {
        const Error& error;
        std::string description;
        std::string typeName;
        int code;
    };
    const auto executable = ModelInstallError::executableCodeInModelArchive("/tmp/x/run.sh");
    const auto missingURL = ModelInstallError::missingDownloadURL();
    const auto checksum = ModelInstallError::checksumMismatch();
    const auto invalid = ModelInstallError::invalidArchive("symbolic link: a");
    const auto payload = ModelInstallError::modelPayloadMissing();
    const BundledModelSeederError whisper(BundledModelSeederError::Kind::invalidBundledWhisperModel);
    const BundledModelSeederError store(BundledModelSeederError::Kind::invalidBundledOllamaStore);
    const auto insecure = AssetTransferError::insecureURL("http://a.example/m.zip");
    const auto transfer = AssetTransferError::transferFailed("Connection refused");
    const auto disk = AssetTransferError::diskWriteFailed("No space left on device");
    const auto timedOut = AssetTransferError::timedOut();
    const auto tooLarge = AssetTransferError::bodyTooLarge();
    const auto unsafePath = RemoteAssetManifestError::unsafeInstallPath("../x");
    const auto unsafeName = RemoteAssetManifestError::unsafeArtifactName("a/b");
    const auto signatureMissing = RemoteAssetManifestError::signatureMissing();
    const auto signatureInvalid = RemoteAssetManifestError::signatureInvalid();
    const auto keyInvalid = RemoteAssetManifestError::publicKeyInvalid();
    const std::string installError = "HushnoteCore.ModelInstallError";
    const std::string seederError = "HushnoteCore.BundledModelSeederError";
    const std::string transferError = "HushnoteCore.AssetTransferError";
    const std::string manifestError = "HushnoteCore.RemoteAssetManifestError";
    const std::vector<Case> cases = {
        {executable, "Downloaded model archive contains executable code: /tmp/x/run.sh", installError, 0},
        {missingURL, "Model download URL is not configured", installError, 1},
        {checksum, "Downloaded model checksum does not match the manifest", installError, 2},
        {invalid, "Downloaded model archive could not be extracted", installError, 3},
        {payload, "Imported model directory does not contain Whisper Core ML files", installError, 4},
        {whisper, "Bundled Whisper model is missing required Core ML files", seederError, 0},
        {store, "Bundled Ollama model store is empty or invalid", seederError, 1},
        {insecure, "Asset downloads need HTTPS (plain HTTP only to this computer): http://a.example/m.zip", transferError, 0},
        {transfer, "Asset download failed: Connection refused", transferError, 1},
        {disk, "Asset download could not be written to disk: No space left on device", transferError, 2},
        {timedOut, "Asset server stopped sending data", transferError, 3},
        {tooLarge, "Asset server sent more data than the manifest declares", transferError, 4},
        {unsafePath, "Asset manifest names an install path outside the models directory: ../x", manifestError, 0},
        {unsafeName, "Asset manifest names an artifact that cannot be part of a file name: a/b", manifestError, 1},
        {signatureMissing, "Asset manifest signature is missing", manifestError, 2},
        {signatureInvalid, "Asset manifest signature is not valid", manifestError, 3},
        {keyInvalid, "HushnoteAssetPublicKey is not a valid Ed25519 public key", manifestError, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        EXPECT_EQ(c.error.description(), c.description);
        EXPECT_EQ(std::string(c.error.what()), c.description);
        EXPECT_EQ(c.error.typeName(), c.typeName);
        EXPECT_EQ(c.error.domain(), c.typeName);
        EXPECT_EQ(c.error.code(), c.code);
    }
    EXPECT_EQ(invalid.reason(), "symbolic link: a");
    EXPECT_TRUE(invalid == ModelInstallError::invalidArchive());
    EXPECT_EQ(whisper, BundledModelSeederError(BundledModelSeederError::Kind::invalidBundledWhisperModel));
}

} // namespace
} // namespace hushnote
