#include "HushnoteCore/AssetTransferError.h"
#include "HushnoteCore/ModelInstallError.h"
#include "HushnoteCore/ModelInstallManager.h"
#include "HushnoteCore/WhisperModelDescriptor.h"
#include "tests/Support/AssetServer.h"
#include "tests/Support/RunAwaitable.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/TreeListing.h"
#include "tests/Support/ZipFixture.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <mutex>
#include <random>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using testing::AssetServer;
using testing::buildZip;
using testing::modelEntries;
using testing::runAwaitable;
using testing::ZipEntry;

constexpr const char* kModelID = "openai_whisper-small";
constexpr const char* kInstallPath = "whisper/openai_whisper-small";

std::string randomBytes(std::size_t count)
{
    std::mt19937 generator(42);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::vector<ZipEntry> plus(std::vector<ZipEntry> entries, const std::vector<ZipEntry>& more)
{
    entries.insert(entries.end(), more.begin(), more.end());
    return entries;
}

// Progress values arrive on the transfer thread.
struct ProgressLog {
    std::mutex mutex;
    std::vector<ModelDownloadProgress> values;

    ModelDownloadProgressHandler handler()
    {
        return [this](const ModelDownloadProgress& progress) {
            std::lock_guard lock(mutex);
            values.push_back(progress);
        };
    }
};

class ModelInstallManagerTest : public ::testing::Test {
protected:
    ModelInstallManagerTest()
    {
        session.temporaryDirectory = directory.path() / "tmp";
        session.connectTimeout = std::chrono::seconds(10);
    }

    ModelArtifact artifact(const std::string& path, std::optional<std::string> sha256 = std::nullopt,
        std::optional<std::int64_t> size = std::nullopt)
    {
        return ModelArtifact{kModelID, server.url(path), std::move(sha256), kInstallPath, size};
    }

    fs::path installDirectory() const { return modelsRoot / kInstallPath; }
    fs::path privateTemporary() { return AssetTransfer::privateTemporaryDirectory(session); }

    void install(ModelInstallManager& manager, ModelDownloadProgressHandler progress = {})
    {
        runAwaitable(manager.downloadAndInstall(session, std::move(progress)));
    }

    ModelInstallSnapshot snapshotOf(ModelInstallManager& manager) { return runAwaitable(manager.snapshot()); }

    // Installs a previous model whose tag the tests can check afterwards.
    void installPrevious() { testing::writeModelFolder(installDirectory(), "previous"); }

    void expectPreviousInstallIntact()
    {
        EXPECT_TRUE((WhisperModelDescriptor{kModelID, installDirectory()}.isValid()));
        EXPECT_EQ(testing::readFile(installDirectory() / "tag.txt"), "previous");
        // No staging copy or set-aside directory next to the install.
        std::vector<std::string> siblings;
        for (const auto& entry : fs::directory_iterator(modelsRoot / "whisper")) {
            siblings.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(siblings, std::vector<std::string>{"openai_whisper-small"});
        EXPECT_TRUE(fs::is_empty(privateTemporary()));
    }

    testing::TemporaryDirectory directory;
    fs::path modelsRoot = directory.path() / "models";
    ModelDownloadSession session;
    AssetServer server;
};

TEST_F(ModelInstallManagerTest, StartsReadyOnlyOverAValidInstall)
{
    ModelInstallManager empty(modelsRoot, artifact("/model.zip"));
    EXPECT_TRUE(fs::is_directory(modelsRoot));
    EXPECT_EQ(snapshotOf(empty), (ModelInstallSnapshot{artifact("/model.zip"), ModelInstallStatus::notInstalled, {}}));
    EXPECT_EQ(empty.installDirectory(), modelsRoot / "whisper" / "openai_whisper-small");

    installPrevious();
    ModelInstallManager ready(modelsRoot, artifact("/model.zip"));
    EXPECT_EQ(snapshotOf(ready).status, ModelInstallStatus::ready);

    fs::remove_all(installDirectory() / "TextDecoder.mlmodelc");
    runAwaitable(ready.refresh());
    EXPECT_EQ(snapshotOf(ready), (ModelInstallSnapshot{artifact("/model.zip"), ModelInstallStatus::notInstalled, {}}));
}

TEST_F(ModelInstallManagerTest, WithoutADownloadURLFailsAndStaysNotInstalled)
{
    auto withoutURL = artifact("/model.zip");
    withoutURL.downloadURL.reset();
    ModelInstallManager manager(modelsRoot, withoutURL);
    try {
        install(manager);
        FAIL() << "expected missingDownloadURL";
    } catch (const ModelInstallError& error) {
        EXPECT_EQ(error.kind(), ModelInstallError::Kind::missingDownloadURL);
        EXPECT_EQ(error.description(), "Model download URL is not configured");
    }
    EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::notInstalled);
    EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(ModelInstallManagerTest, InstallsReplacesThePreviousModelAndLeavesNoTemporaryFiles)
{
    installPrevious();
    const auto zip = buildZip(plus(modelEntries("bundle/openai_whisper-small/"), {{"bundle/openai_whisper-small/tag.txt", "new"}}));
    server.serve("/model.zip", zip);
    // Upper-case digests match.
    auto digest = ModelInstallManager::sha256(zip);
    std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
    ModelInstallManager manager(modelsRoot, artifact("/model.zip", digest, static_cast<std::int64_t>(zip.size())));

    install(manager);

    EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::ready);
    EXPECT_EQ(snapshotOf(manager).detail, std::nullopt);
    EXPECT_EQ(testing::readFile(installDirectory() / "tag.txt"), "new");
    EXPECT_EQ(testing::readFile(installDirectory() / "TextDecoder.mlmodelc" / "model.json"), "{\"stage\":\"decoder\"}");
    EXPECT_TRUE(fs::is_empty(privateTemporary()));
    EXPECT_EQ(std::distance(fs::directory_iterator(modelsRoot / "whisper"), fs::directory_iterator()), 1);
}

TEST_F(ModelInstallManagerTest, FindsTheModelTwoLevelsDownAndRefusesArchivesWithoutOne)
{
    server.serve("/deep.zip", buildZip(modelEntries("one/two/")));
    server.serve("/none.zip", buildZip({{"one/two/AudioEncoder.mlmodelc/model.json", "{}"}, {"readme.txt", "hi"}}));

    ModelInstallManager deep(modelsRoot, artifact("/deep.zip"));
    install(deep);
    EXPECT_EQ(snapshotOf(deep).status, ModelInstallStatus::ready);

    fs::remove_all(installDirectory());
    ModelInstallManager none(modelsRoot, artifact("/none.zip"));
    try {
        install(none);
        FAIL() << "expected modelPayloadMissing";
    } catch (const ModelInstallError& error) {
        EXPECT_EQ(error.kind(), ModelInstallError::Kind::modelPayloadMissing);
    }
    EXPECT_EQ(snapshotOf(none),
        (ModelInstallSnapshot{artifact("/none.zip"), ModelInstallStatus::failed,
            "Imported model directory does not contain Whisper Core ML files"}));
    EXPECT_FALSE(fs::exists(installDirectory()));
    EXPECT_TRUE(fs::is_empty(privateTemporary()));
}

TEST_F(ModelInstallManagerTest, AHiddenModelFolderIsNotThePayloadButThreeByteFilesPass)
{
    server.serve("/hidden.zip", buildZip(modelEntries(".cache/")));
    ModelInstallManager hidden(modelsRoot, artifact("/hidden.zip"));
    EXPECT_THROW(install(hidden), ModelInstallError);

    // Three bytes of a Mach-O magic are not a magic.
    server.serve("/short.zip", buildZip(plus(modelEntries(), {{"short.bin", std::string("\xCF\xFA\xED", 3)}})));
    ModelInstallManager shortFile(modelsRoot, artifact("/short.zip"));
    install(shortFile);
    EXPECT_EQ(testing::readFile(installDirectory() / "short.bin"), std::string("\xCF\xFA\xED", 3));
}

TEST_F(ModelInstallManagerTest, ResponsesAndDigestsThatDoNotMatchFailAndKeepThePreviousInstall)
{
    installPrevious();
    const auto zip = buildZip(modelEntries());
    const auto digest = ModelInstallManager::sha256(zip);
    server.serve("/model.zip", zip);
    server.serve("/error-page.zip", "<html><body>Service unavailable</body></html>", 200, "text/html");
    auto oneOff = digest;
    oneOff.back() = oneOff.back() == '0' ? '1' : '0';

    struct Case {
        const char* name;
        std::string path;
        std::optional<std::string> sha256;
        ModelInstallError::Kind kind;
        const char* description;
    };
    const std::vector<Case> cases = {
        {"missing on the server", "/absent.zip", digest, ModelInstallError::Kind::invalidArchive,
            "Downloaded model archive could not be extracted"},
        {"one digit off", "/model.zip", oneOff, ModelInstallError::Kind::checksumMismatch,
            "Downloaded model checksum does not match the manifest"},
        {"digest with a space", "/model.zip", digest + " ", ModelInstallError::Kind::checksumMismatch,
            "Downloaded model checksum does not match the manifest"},
        {"HTML error page with status 200", "/error-page.zip", digest, ModelInstallError::Kind::checksumMismatch,
            "Downloaded model checksum does not match the manifest"},
        {"HTML error page without a digest", "/error-page.zip", std::nullopt, ModelInstallError::Kind::invalidArchive,
            "Downloaded model archive could not be extracted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelInstallManager manager(modelsRoot, artifact(c.path, c.sha256));
        try {
            install(manager);
            ADD_FAILURE() << "expected a failure";
        } catch (const ModelInstallError& error) {
            EXPECT_EQ(error.kind(), c.kind);
        }
        EXPECT_EQ(snapshotOf(manager),
            (ModelInstallSnapshot{artifact(c.path, c.sha256), ModelInstallStatus::failed, std::string(c.description)}));
        expectPreviousInstallIntact();
    }
}

TEST_F(ModelInstallManagerTest, ProgressCarriesTheDeclaredSizeElseTheAnnouncedLengthElseNoTotal)
{
    const auto zip = buildZip(plus(modelEntries(), {{"weights.bin", randomBytes(300 * 1024), ZipEntry::Type::file, 0644, true}}));
    const auto size = static_cast<std::int64_t>(zip.size());
    server.serve("/announced.zip", zip);
    server.serveChunked("/chunked.zip", zip);

    struct Case {
        const char* name;
        std::string path;
        std::optional<std::int64_t> compressedSizeBytes;
        std::optional<std::int64_t> expectedTotal;
    };
    const std::vector<Case> cases = {
        {"declared size wins over the announced length", "/announced.zip", size + 1000, size + 1000},
        {"announced length", "/announced.zip", std::nullopt, size},
        {"declared size without an announced length", "/chunked.zip", size, size},
        {"neither", "/chunked.zip", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(installDirectory());
        ProgressLog progress;
        ModelInstallManager manager(modelsRoot, artifact(c.path, std::nullopt, c.compressedSizeBytes));
        install(manager, progress.handler());
        ASSERT_GE(progress.values.size(), 2u);
        for (const auto& value : progress.values) {
            EXPECT_EQ(value.totalBytesExpected, c.expectedTotal);
            if (!c.expectedTotal) {
                EXPECT_EQ(value.fractionCompleted(), std::nullopt);
            }
        }
        EXPECT_TRUE(std::is_sorted(progress.values.begin(), progress.values.end(),
            [](const auto& a, const auto& b) { return a.bytesReceived < b.bytesReceived; }));
        EXPECT_EQ(progress.values.back().bytesReceived, size);
        EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::ready);
    }
}

// Every archive below carries a valid model besides its hostile part, so only the rule under
// test can refuse it.
TEST_F(ModelInstallManagerTest, HostileAndBrokenArchivesAreRefusedAndLeaveTheDiskAsItWas)
{
    const auto outside = directory.path() / "outside";
    fs::create_directories(outside);
    installPrevious();
    session.extractionLimits.byteAllowance = 1 << 20;
    session.extractionLimits.maxEntries = 50;
    privateTemporary();

    const auto valid = modelEntries();
    const auto wellFormed = buildZip(valid);
    std::vector<ZipEntry> manyEntries = valid;
    for (int i = 0; i < 50; ++i) {
        manyEntries.push_back({"many/" + std::to_string(i) + ".txt", "x"});
    }
    // A stored file that says it is 5 bytes long but holds 11.
    const auto lyingSize = testing::withDeclaredSize(
        buildZip(plus(valid, {{"weights.bin", "hello world", ZipEntry::Type::file, 0644, true}})), valid.size(), 5);
    const auto lyingSizeLarger = testing::withDeclaredSize(
        buildZip(plus(valid, {{"weights.bin", "hello world", ZipEntry::Type::file, 0644, true}})), valid.size(), 4096);

    using Kind = ModelInstallError::Kind;
    struct Case {
        const char* name;
        std::string archive;
        Kind kind;
        // For invalidArchive: part of the refusal reason; for executable code: the file name.
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"parent component", buildZip(plus(valid, {{"../x", "escaped"}})), Kind::invalidArchive, "parent-directory"},
        {"parent component inside", buildZip(plus(valid, {{"a/../../x", "escaped"}})), Kind::invalidArchive, "parent-directory"},
        {"absolute path", buildZip(plus(valid, {{(outside / "absolute.txt").string(), "escaped"}})), Kind::invalidArchive, "absolute"},
        {"symbolic link to /etc", buildZip(plus(valid, {{"etc", "/etc", ZipEntry::Type::symlink, 0777}})), Kind::invalidArchive, "symbolic link"},
        {"symbolic link to ..", buildZip(plus(valid, {{"up", "..", ZipEntry::Type::symlink, 0777}})), Kind::invalidArchive, "symbolic link"},
        {"internal symbolic link", buildZip(plus(valid, {{"copy.json", "tokenizer.json", ZipEntry::Type::symlink, 0777}})),
            Kind::invalidArchive, "symbolic link"},
        {"write through a link",
            buildZip(plus(valid, {{"escape", outside.string(), ZipEntry::Type::symlink, 0777}, {"escape/planted.txt", "escaped"}})),
            Kind::invalidArchive, "symbolic link"},
        {"hard link (a tar: zip has none)", testing::buildTarWithHardLink(), Kind::invalidArchive, "not a zip"},
        {"FIFO", buildZip(plus(valid, {{"pipe", "", ZipEntry::Type::fifo}})), Kind::invalidArchive, "special file"},
        {"character device", buildZip(plus(valid, {{"null", "", ZipEntry::Type::characterDevice}})), Kind::invalidArchive, "special file"},
        {"socket", buildZip(plus(valid, {{"socket", "", ZipEntry::Type::socket}})), Kind::invalidArchive, "special file"},
        {"setuid program", buildZip(plus(valid, {{"setuid-tool", "data", ZipEntry::Type::file, 04755}})),
            Kind::executableCodeInModelArchive, "setuid-tool"},
        {"mode 0777", buildZip(plus(valid, {{"open.bin", "data", ZipEntry::Type::file, 0777}})),
            Kind::executableCodeInModelArchive, "open.bin"},
        {"same name twice", buildZip(plus(valid, {{"tokenizer.json", "second"}})), Kind::invalidArchive, "name used twice"},
        {"same name twice, spelled differently", buildZip(plus(valid, {{"./tokenizer.json", "second"}})),
            Kind::invalidArchive, "name used twice"},
        {"file where a directory is needed", buildZip(plus(valid, {{"AudioEncoder.mlmodelc", "file"}})),
            Kind::invalidArchive, "a file where a directory is needed"},
        {"control character in a name", buildZip(plus(valid, {{"bad\x01name", "x"}})), Kind::invalidArchive, "control character"},
        {"declared size smaller than the data", lyingSize, Kind::invalidArchive, "weights.bin"},
        {"declared size larger than the data", lyingSizeLarger, Kind::invalidArchive, "weights.bin"},
        {"ratio bomb", buildZip(plus(valid, {{"zeros.bin", std::string(8 << 20, '\0')}})), Kind::invalidArchive, "limit"},
        {"too many entries", buildZip(manyEntries), Kind::invalidArchive, "more than 50 entries"},
        {"truncated zip", wellFormed.substr(0, wellFormed.size() / 2), Kind::invalidArchive, "not a zip"},
        {"not a zip", "<html>Not Found</html>", Kind::invalidArchive, "not a zip"},
        {"ELF program", buildZip(plus(valid, {{"libhelper.so", std::string("\x7F" "ELF\x02\x01\x01", 7) + "code"}})),
            Kind::executableCodeInModelArchive, "libhelper.so"},
        {"script", buildZip(plus(valid, {{"setup.sh", "#!/bin/sh\nrm -rf ~\n"}})), Kind::executableCodeInModelArchive, "setup.sh"},
        {"Mach-O program", buildZip(plus(valid, {{"helper", std::string("\xCF\xFA\xED\xFE\x07\x00", 6)}})),
            Kind::executableCodeInModelArchive, "helper"},
        {"executable in a hidden directory", buildZip(plus(valid, {{".hidden/run", "data", ZipEntry::Type::file, 0700}})),
            Kind::executableCodeInModelArchive, ".hidden/run"},
    };
    const auto before = testing::treeListing(directory.path());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const auto path = "/hostile/" + std::to_string(i) + ".zip";
        server.serve(path, c.archive);
        ModelInstallManager manager(modelsRoot, artifact(path));
        try {
            install(manager);
            ADD_FAILURE() << "the archive was accepted";
        } catch (const ModelInstallError& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.description() << " / " << error.reason();
            if (c.kind == Kind::invalidArchive) {
                EXPECT_NE(error.reason().find(c.expected), std::string::npos) << error.reason();
            } else {
                EXPECT_EQ(error.path().substr(error.path().size() - c.expected.size()), c.expected) << error.path();
                EXPECT_EQ(error.description(), "Downloaded model archive contains executable code: " + error.path());
            }
        }
        EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::failed);
        EXPECT_EQ(testing::treeListing(directory.path()), before);
        EXPECT_FALSE(fs::exists("/etc/planted.txt"));
    }
    expectPreviousInstallIntact();
}

TEST_F(ModelInstallManagerTest, TransferFaultsFailCleanlyAndKeepThePreviousInstall)
{
    installPrevious();
    const auto zip = buildZip(plus(modelEntries(), {{"weights.bin", randomBytes(256 * 1024), ZipEntry::Type::file, 0644, true}}));
    const auto size = static_cast<std::int64_t>(zip.size());
    server.serve("/model.zip", zip);
    server.serveCut("/cut.zip", zip.substr(0, zip.size() / 2), zip.size());
    server.serveStalling("/stall.zip", zip.substr(0, 1000));
    server.redirect("/to-plain-http.zip", server.url("/model.zip"));

    using Kind = AssetTransferError::Kind;
    struct Case {
        const char* name;
        std::string url;
        std::optional<std::int64_t> compressedSizeBytes;
        Kind kind;
    };
    const std::vector<Case> cases = {
        {"connection cut half-way", server.url("/cut.zip"), size, Kind::transferFailed},
        {"server stalls", server.url("/stall.zip"), size, Kind::timedOut},
        {"redirect to plain HTTP", server.url("/to-plain-http.zip"), size, Kind::insecureURL},
        {"body longer than declared", server.url("/model.zip"), size - 100, Kind::bodyTooLarge},
        {"plain HTTP to another host", "http://192.0.2.1/model.zip", size, Kind::insecureURL},
        {"another scheme", "ftp://127.0.0.1/model.zip", size, Kind::insecureURL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Short only where the stall is the point: loaded test machines answer slowly.
        session.stallTimeout = std::chrono::seconds(c.kind == Kind::timedOut ? 1 : 60);
        ModelInstallManager manager(modelsRoot, ModelArtifact{kModelID, c.url, std::nullopt, kInstallPath, c.compressedSizeBytes});
        try {
            install(manager);
            ADD_FAILURE() << "expected a transfer failure";
        } catch (const AssetTransferError& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.description();
            EXPECT_EQ(snapshotOf(manager).detail, error.description());
        }
        EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::failed);
        expectPreviousInstallIntact();
    }
    EXPECT_EQ(server.requests("/model.zip"), 1) << "only the over-long body is fetched; the redirect is not followed";
}

// No small file system can be mounted here, so the disk fills through the file-size limit:
// past it, write() fails with EFBIG as it fails with ENOSPC on a full disk.
TEST_F(ModelInstallManagerTest, ADiskThatFillsDuringTheDownloadFailsCleanly)
{
    installPrevious();
    const auto zip = buildZip(plus(modelEntries(), {{"weights.bin", randomBytes(512 * 1024), ZipEntry::Type::file, 0644, true}}));
    server.serve("/model.zip", zip);
    ModelInstallManager manager(modelsRoot, artifact("/model.zip"));

    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = original;
    limited.rlim_cur = 128 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::optional<AssetTransferError> failure;
    try {
        install(manager);
    } catch (const AssetTransferError& error) {
        failure = error;
    }
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind(), AssetTransferError::Kind::diskWriteFailed);
    EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::failed);
    expectPreviousInstallIntact();
}

TEST_F(ModelInstallManagerTest, HTTPSIsVerifiedAndRedirectsToHTTPSAreFollowed)
{
    const testing::TestCertificate certificate(directory.path() / "tls");
    AssetServer tlsServer(certificate);
    const auto zip = buildZip(modelEntries());
    tlsServer.serve("/model.zip", zip);
    server.redirect("/to-https.zip", tlsServer.url("/model.zip"));

    // An unknown certificate authority is an error, never a reason to fall back.
    ModelInstallManager untrusted(modelsRoot, ModelArtifact{kModelID, tlsServer.url("/model.zip"), {}, kInstallPath, {}});
    try {
        install(untrusted);
        FAIL() << "an untrusted certificate was accepted";
    } catch (const AssetTransferError& error) {
        EXPECT_EQ(error.kind(), AssetTransferError::Kind::transferFailed);
        EXPECT_NE(error.description().find("certificate"), std::string::npos) << error.description();
    }
    EXPECT_FALSE(fs::exists(installDirectory()));

    session.certificateAuthorityFile = certificate.certificateFile;
    ModelInstallManager trusted(modelsRoot, artifact("/to-https.zip", ModelInstallManager::sha256(zip)));
    install(trusted);
    EXPECT_EQ(snapshotOf(trusted).status, ModelInstallStatus::ready);
    EXPECT_EQ(tlsServer.requests("/model.zip"), 1);
}

TEST_F(ModelInstallManagerTest, ImportsALocalFolderWithoutTheNetwork)
{
    testing::writeModelFolder(directory.path() / "local" / "nested" / "model", "local");
    testing::writeModelFolder(directory.path() / "local" / ".hidden" / "model", "hidden");
    ModelInstallManager manager(modelsRoot, artifact("/unused.zip"));
    runAwaitable(manager.importDirectory(directory.path() / "local"));
    EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::ready);
    EXPECT_EQ(testing::readFile(installDirectory() / "tag.txt"), "local");

    fs::create_directories(directory.path() / "empty");
    EXPECT_THROW(runAwaitable(manager.importDirectory(directory.path() / "empty")), ModelInstallError);
    EXPECT_EQ(snapshotOf(manager).status, ModelInstallStatus::verifying);
    EXPECT_EQ(server.totalRequests(), 0);
}

TEST(ModelInstallManagerDigest, IsLowerCaseHexOfSHA256InChunksLargerThanOneMebibyte)
{
    EXPECT_EQ(ModelInstallManager::sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(ModelInstallManager::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    testing::TemporaryDirectory directory;
    // Spans three chunks, the last one partial.
    const auto content = randomBytes(2 * 1'048'576 + 17);
    testing::writeFile(directory.path() / "big.bin", content);
    EXPECT_EQ(ModelInstallManager::sha256File(directory.path() / "big.bin"), ModelInstallManager::sha256(content));
    EXPECT_THROW(ModelInstallManager::sha256File(directory.path() / "missing.bin"), fs::filesystem_error);
}

TEST(ModelInstallManagerScan, PassesPlainFilesLinksAndAMissingDirectory)
{
    testing::TemporaryDirectory directory;
    testing::writeModelFolder(directory.path() / "model");
    testing::writeFile(directory.path() / "model" / ".hidden" / "notes.txt", "#not a script");
    fs::create_symlink("/bin/sh", directory.path() / "model" / "shell");
    EXPECT_NO_THROW(ModelInstallManager::rejectExecutableCode(directory.path() / "model"));
    EXPECT_NO_THROW(ModelInstallManager::rejectExecutableCode(directory.path() / "absent"));
}

} // namespace
} // namespace hushnote
