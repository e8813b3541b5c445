#include "Auralis/Utilities/TextUtilities.h"

#include "Auralis/Core/Constants.h"
#include "Auralis/Utilities/Logging.h"

#include <zlib.h>

#include <limits>
#include <vector>

namespace auralis {

std::string trimmingSpecialTokenCharacters(std::string_view text)
{
    const auto first = text.find_first_not_of(Constants::specialTokenCharacters);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(Constants::specialTokenCharacters);
    return std::string(text.substr(first, last - first + 1));
}

namespace {

// Uncompressed over raw-DEFLATE length; positive infinity (logged) when zlib fails.
float ratioOfBytes(const unsigned char* data, std::size_t size)
{
    constexpr float infinity = std::numeric_limits<float>::infinity();
    z_stream stream{};
    // Negative window bits select a raw stream without zlib header or checksum.
    int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
        Logging::debug(std::string("Compression error: ") + (stream.msg ? stream.msg : zError(status)));
        return infinity;
    }
    std::vector<unsigned char> output(deflateBound(&stream, static_cast<uLong>(size)) + 16);
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    status = deflate(&stream, Z_FINISH);
    const auto compressed = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END || compressed == 0) {
        Logging::debug(std::string("Compression error: ") + zError(status));
        return infinity;
    }
    return static_cast<float>(size) / static_cast<float>(compressed);
}

} // namespace

float compressionRatio(std::span<const std::int64_t> tokens)
{
    std::vector<unsigned char> bytes(tokens.size() * 4);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const auto id = tokens[i];
        if (id < std::numeric_limits<std::int32_t>::min() || id > std::numeric_limits<std::int32_t>::max()) {
            Logging::debug("Compression error: token id " + std::to_string(id) + " does not fit in 32 bits");
            return std::numeric_limits<float>::infinity();
        }
        const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(id));
        bytes[i * 4] = static_cast<unsigned char>(value);
        bytes[i * 4 + 1] = static_cast<unsigned char>(value >> 8);
        bytes[i * 4 + 2] = static_cast<unsigned char>(value >> 16);
        bytes[i * 4 + 3] = static_cast<unsigned char>(value >> 24);
    }
    return ratioOfBytes(bytes.data(), bytes.size());
}

float compressionRatio(std::string_view text)
{
    if (text.empty()) {
        return std::numeric_limits<float>::infinity();
    }
    return ratioOfBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

} // namespace auralis
