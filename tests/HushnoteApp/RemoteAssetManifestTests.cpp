#include "HushnoteApp/RemoteAssetManifest.h"
#include "HushnoteCore/ModelInstallError.h"
#include "HushnoteCore/RemoteAssetManifestError.h"
#include "tests/Support/AssetServer.h"
#include "tests/Support/RunAwaitable.h"
#include "tests/Support/SigningKey.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace hushnote {
namespace {

nlohmann::json artifactJSON(const std::string& id, const std::string& kind, const std::string& version, bool published)
{
    return {{"id", id}, {"kind", kind}, {"version", version}, {"relativeInstallPath", "whisper/" + id},
        {"downloadPath", id + "-" + version + ".zip"}, {"published", published}};
}

TEST(RemoteAssetManifest, DecodesTheDocumentedKeysAndIgnoresOthers)
{
    const auto manifest = RemoteAssetManifest::decode(R"({
        "manifestVersion": "2024.1", "extra": true,
        "artifacts": [{"id": "w", "kind": "whisper-coreml", "version": "1", "relativeInstallPath": "whisper/w",
                       "downloadPath": "w.zip", "compressedSizeBytes": 42, "sha256": "AB", "published": true,
                       "notes": "ignored"}],
        "latest": {"whisper-coreml": "w@1"}})");
    EXPECT_EQ(manifest.manifestVersion, "2024.1");
    ASSERT_EQ(manifest.artifacts.size(), 1u);
    EXPECT_EQ(manifest.artifacts[0],
        (RemoteAssetArtifact{"w", "whisper-coreml", "1", "whisper/w", "w.zip", 42, "AB", true}));
    EXPECT_EQ(manifest.latest, (std::map<std::string, std::string>{{"whisper-coreml", "w@1"}}));
}

TEST(RemoteAssetManifest, MissingKeysOtherTypesAndUnsafeNamesFailToDecode)
{
    const std::string artifact = R"("id":"w","kind":"whisper-coreml","version":"1","downloadPath":"w.zip","published":true)";
    const auto manifestWith = [&](const std::string& fields) {
        return R"({"manifestVersion":"1","latest":{},"artifacts":[{)" + fields + "}]}";
    };
    struct Case {
        const char* name;
        std::string text;
    };
    const std::vector<Case> undecodable = {
        {"no latest", R"({"manifestVersion":"1","artifacts":[]})"},
        {"no artifacts", R"({"manifestVersion":"1","latest":{}})"},
        {"version is a number", R"({"manifestVersion":1,"artifacts":[],"latest":{}})"},
        {"latest maps to a number", R"({"manifestVersion":"1","artifacts":[],"latest":{"w":1}})"},
        {"not an object", R"([1,2])"},
        {"not JSON", "<html>"},
        {"published is a string", manifestWith(R"("id":"w","kind":"k","version":"1","relativeInstallPath":"w",
            "downloadPath":"w.zip","published":"yes")")},
        {"fractional size", manifestWith(artifact + R"(,"relativeInstallPath":"w","compressedSizeBytes":1.5)")},
        {"no download path", manifestWith(R"("id":"w","kind":"k","version":"1","relativeInstallPath":"w","published":true)")},
    };
    for (const auto& c : undecodable) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(RemoteAssetManifest::decode(c.text), nlohmann::json::exception);
    }

    for (const char* path : {"", "/home/user/.config/autostart", "../../x", "whisper/../../x", ".", "./", "a/./b", "a\nb"}) {
        SCOPED_TRACE(path);
        try {
            RemoteAssetManifest::decode(manifestWith(artifact + R"(,"relativeInstallPath":)" + nlohmann::json(path).dump()));
            ADD_FAILURE() << "accepted";
        } catch (const RemoteAssetManifestError& error) {
            EXPECT_EQ(error.kind(), RemoteAssetManifestError::Kind::unsafeInstallPath);
        }
    }
    EXPECT_NO_THROW(RemoteAssetManifest::decode(manifestWith(artifact + R"(,"relativeInstallPath":"whisper//w/")")));
    try {
        RemoteAssetManifest::decode(manifestWith(
            R"("id":"../../x","kind":"k","version":"1","relativeInstallPath":"w","downloadPath":"w.zip","published":true)"));
        FAIL() << "accepted";
    } catch (const RemoteAssetManifestError& error) {
        EXPECT_EQ(error.kind(), RemoteAssetManifestError::Kind::unsafeArtifactName);
    }
}

TEST(RemoteAssetManifest, PicksTheLatestNamedPublishedArtifactWithoutFallback)
{
    RemoteAssetManifest manifest;
    manifest.artifacts = {
        artifactJSON("w", "whisper-coreml", "1", true).get<RemoteAssetArtifact>(),
        artifactJSON("w", "whisper-coreml", "2", false).get<RemoteAssetArtifact>(),
        artifactJSON("w", "whisper-coreml", "3", true).get<RemoteAssetArtifact>(),
        artifactJSON("g", "ollama-model-store", "1", false).get<RemoteAssetArtifact>(),
        artifactJSON("g", "ollama-model-store", "2", true).get<RemoteAssetArtifact>(),
        artifactJSON("g", "ollama-model-store", "3", true).get<RemoteAssetArtifact>(),
        artifactJSON("x", "other-kind", "1", true).get<RemoteAssetArtifact>(),
    };
    const auto version = [&](const std::string& kind) -> std::optional<std::string> {
        const auto artifact = manifest.publishedArtifact(kind);
        return artifact ? std::optional(artifact->version) : std::nullopt;
    };
    // Without a latest entry: the first published of the kind, not the newest.
    EXPECT_EQ(version("whisper-coreml"), "1");
    EXPECT_EQ(version("ollama-model-store"), "2");
    EXPECT_EQ(version("Whisper-CoreML"), std::nullopt);

    manifest.latest = {{"whisper-coreml", "w@3"}, {"ollama-model-store", "g@1"}};
    EXPECT_EQ(version("whisper-coreml"), "3");
    EXPECT_EQ(version("ollama-model-store"), std::nullopt) << "latest names an unpublished artifact";
    manifest.latest = {{"whisper-coreml", "x@1"}};
    EXPECT_EQ(version("whisper-coreml"), std::nullopt) << "a name of another kind";
}

TEST(RemoteAssetManifest, ResolvesDownloadPathsAgainstTheManifest)
{
    auto artifact = artifactJSON("w", "whisper-coreml", "1", true).get<RemoteAssetArtifact>();
    artifact.downloadPath = "files/model.zip";
    EXPECT_EQ(RemoteAssetManifest::downloadURL(artifact, "https://cdn.example/assets/manifest.json"),
        "https://cdn.example/assets/files/model.zip");
    artifact.downloadPath = "https://other.example/model.zip";
    EXPECT_EQ(RemoteAssetManifest::downloadURL(artifact, "https://cdn.example/assets/manifest.json"),
        "https://other.example/model.zip");
    artifact.downloadPath = "";
    EXPECT_EQ(RemoteAssetManifest::downloadURL(artifact, "https://cdn.example/assets/manifest.json"), std::nullopt);
}

TEST(RemoteAssetManifest, LoadsOnlySuccessfulAndWhenKeyedCorrectlySignedManifests)
{
    testing::AssetServer server;
    const testing::SigningKey key;
    const testing::SigningKey otherKey;
    const std::string body = R"({"manifestVersion":"7","artifacts":[],"latest":{}})";
    server.serve("/manifest.json", body);
    server.serve("/missing.json", "gone", 404);

    ModelDownloadSession session;
    EXPECT_EQ(testing::runAwaitable(RemoteAssetManifest::load(server.url("/manifest.json"), session, std::nullopt))
                  .manifestVersion,
        "7");
    try {
        testing::runAwaitable(RemoteAssetManifest::load(server.url("/missing.json"), session, std::nullopt));
        FAIL() << "a 404 manifest loaded";
    } catch (const ModelInstallError& error) {
        EXPECT_EQ(error.kind(), ModelInstallError::Kind::invalidArchive);
    }

    using Kind = RemoteAssetManifestError::Kind;
    struct Case {
        const char* name;
        std::optional<std::string> signature; // served at manifest.json.sig; nullopt: 404
        std::optional<Kind> failure;
    };
    const std::vector<Case> cases = {
        {"valid signature", key.sign(body) + "\n", std::nullopt},
        {"missing signature", std::nullopt, Kind::signatureMissing},
        {"not Base64", "this is not base64", Kind::signatureInvalid},
        {"wrong length", key.sign(body).substr(0, 44), Kind::signatureInvalid},
        {"another key", otherKey.sign(body), Kind::signatureInvalid},
        {"manifest changed after signing", key.sign(body + " "), Kind::signatureInvalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.signature) {
            server.serve("/manifest.json.sig", *c.signature);
        } else {
            server.remove("/manifest.json.sig");
        }
        try {
            const auto manifest = testing::runAwaitable(
                RemoteAssetManifest::load(server.url("/manifest.json"), session, key.publicKeyBase64()));
            EXPECT_FALSE(c.failure.has_value()) << "accepted";
            EXPECT_EQ(manifest.manifestVersion, "7");
        } catch (const RemoteAssetManifestError& error) {
            ASSERT_TRUE(c.failure.has_value()) << error.description();
            EXPECT_EQ(error.kind(), *c.failure);
        }
    }
}

} // namespace
} // namespace hushnote
