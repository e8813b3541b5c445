#include "HushnoteCore/AssetTransfer.h"
#include "HushnoteCore/AssetTransferError.h"
#include "tests/Support/AssetServer.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hushnote {
namespace {

namespace fs = std::filesystem;

TEST(AssetURL, ParsesResolvesAndAllowsOnlyHTTPSOrLoopbackHTTP)
{
    EXPECT_EQ(AssetURL::parse("https://assets.example/a/manifest.json"), "https://assets.example/a/manifest.json");
    EXPECT_EQ(AssetURL::parse("http://127.0.0.1:8080"), "http://127.0.0.1:8080/");
    EXPECT_EQ(AssetURL::parse("not a url"), std::nullopt);
    EXPECT_EQ(AssetURL::parse(""), std::nullopt);

    const std::string base = "https://assets.example/assets/manifest.json";
    struct Resolution {
        const char* reference;
        std::optional<std::string> expected;
    };
    for (const auto& [reference, expected] : std::vector<Resolution>{
             {"files/model.zip", "https://assets.example/assets/files/model.zip"},
             {"../other/model.zip", "https://assets.example/other/model.zip"},
             {"/root.zip", "https://assets.example/root.zip"},
             {"https://cdn.example/model.zip", "https://cdn.example/model.zip"},
             {"//mirror.example/model.zip", "https://mirror.example/model.zip"},
             {"", std::nullopt},
         }) {
        SCOPED_TRACE(reference);
        EXPECT_EQ(AssetURL::resolve(reference, base), expected);
    }

    struct Permission {
        const char* url;
        bool allowed;
    };
    for (const auto& [url, allowed] : std::vector<Permission>{
             {"https://assets.example/model.zip", true},
             {"http://127.0.0.1:9000/model.zip", true},
             {"http://127.255.0.9/model.zip", true},
             {"http://localhost/model.zip", true},
             {"http://[::1]:80/model.zip", true},
             {"http://assets.example/model.zip", false},
             {"http://127.0.0.1.example/model.zip", false},
             {"http://128.0.0.1/model.zip", false},
             {"ftp://127.0.0.1/model.zip", false},
             {"file:///etc/passwd", false},
             {"not a url", false},
         }) {
        SCOPED_TRACE(url);
        EXPECT_EQ(AssetURL::isAllowedForAssets(url), allowed);
    }
}

TEST(AssetTransfer, FetchesBoundedBodiesAndReportsTheStatus)
{
    testing::AssetServer server;
    server.serve("/manifest.json", "{\"a\":1}");
    ModelDownloadSession session;
    const auto [response, body] = AssetTransfer::fetch(server.url("/manifest.json"), 1024, session);
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(body, "{\"a\":1}");
    EXPECT_EQ(response.expectedContentLength, 7);

    EXPECT_EQ(AssetTransfer::fetch(server.url("/missing"), 1024, session).first.statusCode, 404);
    try {
        AssetTransfer::fetch(server.url("/manifest.json"), 6, session);
        FAIL() << "a body over the bound was accepted";
    } catch (const AssetTransferError& error) {
        EXPECT_EQ(error.kind(), AssetTransferError::Kind::bodyTooLarge);
    }
}

TEST(AssetTransfer, ThePrivateDirectoryBelongsToThisUserAlone)
{
    testing::TemporaryDirectory directory;
    ModelDownloadSession session;
    session.temporaryDirectory = directory.path();
    const auto first = AssetTransfer::privateTemporaryDirectory(session);
    EXPECT_EQ(first, directory.path() / ("hushnote-" + std::to_string(::geteuid())));
    struct stat info {};
    ASSERT_EQ(::lstat(first.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // Too open: tightened. A link planted in its place: refused.
    fs::permissions(first, fs::perms::all);
    EXPECT_EQ(AssetTransfer::privateTemporaryDirectory(session), first);
    ASSERT_EQ(::lstat(first.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    fs::remove(first);
    fs::create_directory(directory.path() / "elsewhere");
    fs::create_directory_symlink(directory.path() / "elsewhere", first);
    EXPECT_THROW(AssetTransfer::privateTemporaryDirectory(session), fs::filesystem_error);
}

} // namespace
} // namespace hushnote
