#include "HushnoteCore/ModelInstallManager.h"

#include "Foundation/Uuid.h"
#include "HushnoteCore/BackgroundWork.h"
#include "HushnoteCore/DirectoryReplacement.h"
#include "HushnoteCore/ModelArchiveExtractor.h"
#include "HushnoteCore/ModelInstallError.h"
#include "HushnoteCore/WhisperModelDescriptor.h"

#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

namespace hushnote {

namespace {

constexpr std::size_t kHashChunkBytes = 1'048'576;

struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

class Sha256 {
public:
    Sha256() : context_(EVP_MD_CTX_new())
    {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 is not available");
        }
    }
    void update(const void* data, std::size_t length) { EVP_DigestUpdate(context_.get(), data, length); }
    std::string hex()
    {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_.get(), digest.data(), &length);
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text;
        text.reserve(length * 2);
        for (unsigned int i = 0; i < length; ++i) {
            text += kHex[digest[i] >> 4];
            text += kHex[digest[i] & 0x0F];
        }
        return text;
    }

private:
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> context_;
};

[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& path)
{
    throw std::filesystem::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads up to `count` bytes from the start; fewer when the file is shorter.
std::string leadingBytes(const std::filesystem::path& file, std::size_t count)
{
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        throwFileError("Cannot read the start of a model file", file);
    }
    std::string bytes(count, '\0');
    std::size_t have = 0;
    while (have < count) {
        const auto n = ::read(fd.get(), bytes.data() + have, count - have);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwFileError("Cannot read the start of a model file", file);
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    bytes.resize(have);
    return bytes;
}

bool startsWithExecutableMagic(const std::string& head)
{
    static constexpr std::array<std::array<unsigned char, 4>, 8> kMachO{{
        {0xFE, 0xED, 0xFA, 0xCE},
        {0xFE, 0xED, 0xFA, 0xCF},
        {0xCE, 0xFA, 0xED, 0xFE},
        {0xCF, 0xFA, 0xED, 0xFE},
        {0xCA, 0xFE, 0xBA, 0xBE},
        {0xBE, 0xBA, 0xFE, 0xCA},
        {0xCA, 0xFE, 0xD0, 0x0D},
        {0x0D, 0xD0, 0xFE, 0xCA},
    }};
    static constexpr std::array<unsigned char, 4> kELF{0x7F, 'E', 'L', 'F'};
    if (head.size() >= 2 && head[0] == '#' && head[1] == '!') {
        return true;
    }
    if (head.size() < 4) {
        return false;
    }
    const auto matches = [&head](const std::array<unsigned char, 4>& magic) {
        return std::equal(magic.begin(), magic.end(), head.begin(),
            [](unsigned char m, char c) { return m == static_cast<unsigned char>(c); });
    };
    return matches(kELF) || std::any_of(kMachO.begin(), kMachO.end(), matches);
}

bool isHidden(const std::filesystem::path& path)
{
    const auto name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

// Sorted depth-first, parents before children, so the choice does not depend on the order
// the file system lists entries in.
std::optional<std::filesystem::path> findPayload(const std::filesystem::path& directory, const std::string& modelID)
{
    std::vector<std::filesystem::directory_entry> children;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(directory, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (!isHidden(it->path())) {
            children.push_back(*it);
        }
    }
    std::sort(children.begin(), children.end(),
        [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& child : children) {
        if (WhisperModelDescriptor{modelID, child.path()}.isValid()) {
            return child.path();
        }
        std::error_code statusError;
        if (child.is_directory(statusError) && !child.is_symlink(statusError)) {
            if (auto found = findPayload(child.path(), modelID)) {
                return found;
            }
        }
    }
    return std::nullopt;
}

std::string lowercased(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace

ModelInstallManager::ModelInstallManager(std::filesystem::path modelsRoot, ModelArtifact artifact)
    : modelsRoot_(std::move(modelsRoot))
    , artifact_(std::move(artifact))
    , strand_(asio::make_strand(Executor(thread_.get_executor())))
{
    std::error_code ignored;
    std::filesystem::create_directories(modelsRoot_, ignored);
    state_ = {artifact_, isInstalled() ? ModelInstallStatus::ready : ModelInstallStatus::notInstalled, std::nullopt};
}

ModelInstallManager::~ModelInstallManager()
{
    thread_.join();
}

std::filesystem::path ModelInstallManager::installDirectory() const
{
    return modelsRoot_ / artifact_.relativeInstallPath;
}

bool ModelInstallManager::isInstalled() const
{
    return WhisperModelDescriptor{artifact_.id, installDirectory()}.isValid();
}

asio::awaitable<ModelInstallSnapshot> ModelInstallManager::snapshot()
{
    co_return co_await asio::co_spawn(strand_, doSnapshot(), asio::use_awaitable);
}

asio::awaitable<ModelInstallSnapshot> ModelInstallManager::doSnapshot()
{
    co_return state_;
}

asio::awaitable<void> ModelInstallManager::refresh()
{
    co_await asio::co_spawn(strand_, doRefresh(), asio::use_awaitable);
}

asio::awaitable<void> ModelInstallManager::doRefresh()
{
    refreshNow();
    co_return;
}

void ModelInstallManager::refreshNow()
{
    state_ = {artifact_, isInstalled() ? ModelInstallStatus::ready : ModelInstallStatus::notInstalled, std::nullopt};
}

asio::awaitable<void> ModelInstallManager::importDirectory(std::filesystem::path directory)
{
    co_await asio::co_spawn(strand_, doImport(std::move(directory)), asio::use_awaitable);
}

asio::awaitable<void> ModelInstallManager::doImport(std::filesystem::path directory)
{
    importNow(directory);
    co_return;
}

void ModelInstallManager::importNow(const std::filesystem::path& directory)
{
    state_ = {artifact_, ModelInstallStatus::verifying, std::nullopt};
    std::optional<std::filesystem::path> payload;
    if (WhisperModelDescriptor{artifact_.id, directory}.isValid()) {
        payload = directory;
    } else {
        payload = findPayload(directory, artifact_.id);
    }
    if (!payload) {
        throw ModelInstallError::modelPayloadMissing();
    }
    DirectoryReplacement::replace(installDirectory(), *payload);
    refreshNow();
    if (state_.status != ModelInstallStatus::ready) {
        throw ModelInstallError::modelPayloadMissing();
    }
}

asio::awaitable<void> ModelInstallManager::downloadAndInstall(
    ModelDownloadSession session, ModelDownloadProgressHandler progress)
{
    co_await asio::co_spawn(strand_, doDownloadAndInstall(std::move(session), std::move(progress)), asio::use_awaitable);
}

asio::awaitable<void> ModelInstallManager::doDownloadAndInstall(
    ModelDownloadSession session, ModelDownloadProgressHandler progress)
{
    if (!artifact_.downloadURL) {
        throw ModelInstallError::missingDownloadURL();
    }
    state_ = {artifact_, ModelInstallStatus::downloading, std::nullopt};
    std::optional<DownloadedArchive> archive;
    std::exception_ptr failure;
    try {
        archive = co_await downloadArchive(*artifact_.downloadURL, artifact_.compressedSizeBytes, session, progress);
        checkDownloadedArchive(*archive, artifact_.sha256);
        state_ = {artifact_, ModelInstallStatus::verifying, std::nullopt};
        const auto extraction = extractAndScan(archive->file, session);
        // The archive is no longer needed; free its space before the copy.
        std::error_code ignored;
        std::filesystem::remove(archive->file, ignored);
        try {
            importNow(extraction);
        } catch (...) {
            std::filesystem::remove_all(extraction, ignored);
            throw;
        }
        std::filesystem::remove_all(extraction, ignored);
    } catch (...) {
        failure = std::current_exception();
    }
    if (archive) {
        std::error_code ignored;
        std::filesystem::remove(archive->file, ignored);
    }
    if (failure) {
        state_ = {artifact_, ModelInstallStatus::failed, describeError(failure).description};
        std::rethrow_exception(failure);
    }
}

asio::awaitable<ModelInstallManager::DownloadedArchive> ModelInstallManager::downloadArchive(std::string url,
    std::optional<std::int64_t> expectedBytes, ModelDownloadSession session, ModelDownloadProgressHandler progress)
{
    // A declared size of 0 says nothing about the body; only a positive one bounds it.
    std::optional<std::int64_t> maxBytes;
    if (expectedBytes && *expectedBytes > 0) {
        maxBytes = expectedBytes;
    }
    // A named callable: GCC 12 destroys some temporaries of a co_await expression twice.
    auto transfer = [url = std::move(url), expectedBytes, maxBytes, session = std::move(session),
                        progress = std::move(progress)]() -> DownloadedArchive {
        const auto file = AssetTransfer::privateTemporaryDirectory(session) / makeUuidString();
        auto response = AssetTransfer::downloadToFile(url, file, maxBytes, expectedBytes, session, progress);
        return DownloadedArchive{file, std::move(response)};
    };
    co_return co_await runOnOwnThread(std::move(transfer));
}

void ModelInstallManager::checkDownloadedArchive(
    const DownloadedArchive& archive, const std::optional<std::string>& expectedSHA256)
{
    if (!archive.response.isSuccess()) {
        throw ModelInstallError::invalidArchive("HTTP status " + std::to_string(archive.response.statusCode));
    }
    if (expectedSHA256 && sha256File(archive.file) != lowercased(*expectedSHA256)) {
        throw ModelInstallError::checksumMismatch();
    }
}

std::filesystem::path ModelInstallManager::extractAndScan(
    const std::filesystem::path& archive, const ModelDownloadSession& session)
{
    const auto directory = AssetTransfer::privateTemporaryDirectory(session) / makeUuidString();
    if (::mkdir(directory.c_str(), 0700) != 0) {
        throwFileError("Cannot create the extraction directory", directory);
    }
    try {
        ModelArchiveExtractor::extract(archive, directory, session.extractionLimits);
        rejectExecutableCode(directory);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
        throw;
    }
    return directory;
}

std::string ModelInstallManager::sha256File(const std::filesystem::path& file)
{
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        throwFileError("Cannot open the file to hash", file);
    }
    Sha256 hash;
    std::vector<char> chunk(kHashChunkBytes);
    while (true) {
        const auto n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwFileError("Cannot read the file to hash", file);
        }
        if (n == 0) {
            break;
        }
        hash.update(chunk.data(), static_cast<std::size_t>(n));
    }
    return hash.hex();
}

std::string ModelInstallManager::sha256(std::string_view data)
{
    Sha256 hash;
    hash.update(data.data(), data.size());
    return hash.hex();
}

void ModelInstallManager::rejectExecutableCode(const std::filesystem::path& directory)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::recursive_directory_iterator it(directory, error);
    if (error) {
        return;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            throw fs::filesystem_error("Cannot walk the extracted model", directory, error);
        }
        const auto status = it->symlink_status();
        if (!fs::is_regular_file(status)) {
            continue;
        }
        const auto executeBits = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
        if ((status.permissions() & executeBits) != fs::perms::none
            || startsWithExecutableMagic(leadingBytes(it->path(), 4))) {
            throw ModelInstallError::executableCodeInModelArchive(it->path().string());
        }
    }
    if (error) {
        throw fs::filesystem_error("Cannot walk the extracted model", directory, error);
    }
}

} // namespace hushnote
