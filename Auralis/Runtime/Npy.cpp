#include "Auralis/Runtime/Npy.h"

#include "Auralis/Runtime/Float16.h"
#include "Auralis/Runtime/ModelError.h"

#include "Foundation/FileIO.h"

#include <cstring>
#include <fstream>

namespace auralis::runtime {

namespace {

[[noreturn]] void fail(const std::string& source, const std::string& problem)
{
    throw ModelError(ModelError::Kind::loadFailed, source + ": " + problem);
}

std::size_t itemSize(const std::string& descr)
{
    if (descr == "<f4" || descr == "<i4") {
        return 4;
    }
    if (descr == "<f2") {
        return 2;
    }
    if (descr == "<i8") {
        return 8;
    }
    return 0;
}

// The value text of `key` in NumPy's header dict, up to the next top-level comma.
std::string dictValue(const std::string& header, const std::string& key, const std::string& source)
{
    const std::string quoted = "'" + key + "'";
    const auto at = header.find(quoted);
    if (at == std::string::npos) {
        fail(source, "header has no " + key);
    }
    auto pos = header.find(':', at + quoted.size());
    if (pos == std::string::npos) {
        fail(source, "header entry " + key + " has no value");
    }
    ++pos;
    while (pos < header.size() && header[pos] == ' ') {
        ++pos;
    }
    std::size_t end = pos;
    if (pos < header.size() && header[pos] == '(') {
        end = header.find(')', pos);
        if (end == std::string::npos) {
            fail(source, "header shape is not closed");
        }
        return header.substr(pos, end - pos + 1);
    }
    while (end < header.size() && header[end] != ',' && header[end] != '}') {
        ++end;
    }
    return header.substr(pos, end - pos);
}

} // namespace

std::size_t NpyArray::count() const
{
    std::size_t n = 1;
    for (const auto d : shape) {
        n *= static_cast<std::size_t>(d);
    }
    return n;
}

std::vector<float> NpyArray::toFloat() const
{
    const std::size_t n = count();
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (descr == "<f4") {
            std::memcpy(&values[i], data.data() + 4 * i, 4);
        } else if (descr == "<f2") {
            std::uint16_t bits;
            std::memcpy(&bits, data.data() + 2 * i, 2);
            values[i] = halfBitsToFloat(bits);
        } else if (descr == "<i4") {
            std::int32_t v;
            std::memcpy(&v, data.data() + 4 * i, 4);
            values[i] = static_cast<float>(v);
        } else {
            std::int64_t v;
            std::memcpy(&v, data.data() + 8 * i, 8);
            values[i] = static_cast<float>(v);
        }
    }
    return values;
}

std::vector<std::int64_t> NpyArray::toInt64() const
{
    const std::size_t n = count();
    std::vector<std::int64_t> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (descr == "<i8") {
            std::memcpy(&values[i], data.data() + 8 * i, 8);
        } else if (descr == "<i4") {
            std::int32_t v;
            std::memcpy(&v, data.data() + 4 * i, 4);
            values[i] = v;
        } else {
            fail("array", "holds floats, not integers");
        }
    }
    return values;
}

NpyArray parseNpy(std::span<const std::byte> bytes, const std::string& sourceName)
{
    static constexpr char kMagic[] = "\x93NUMPY";
    if (bytes.size() < 10 || std::memcmp(bytes.data(), kMagic, 6) != 0) {
        fail(sourceName, "not a NumPy .npy file");
    }
    const auto major = static_cast<std::uint8_t>(bytes[6]);
    std::size_t headerLength = 0;
    std::size_t headerStart = 0;
    if (major == 1) {
        headerLength = static_cast<std::uint8_t>(bytes[8]) | static_cast<std::size_t>(static_cast<std::uint8_t>(bytes[9])) << 8;
        headerStart = 10;
    } else if (major == 2 || major == 3) {
        if (bytes.size() < 12) {
            fail(sourceName, "truncated header");
        }
        for (int i = 3; i >= 0; --i) {
            headerLength = (headerLength << 8) | static_cast<std::uint8_t>(bytes[8 + i]);
        }
        headerStart = 12;
    } else {
        fail(sourceName, "unsupported .npy version " + std::to_string(major));
    }
    if (headerLength > bytes.size() - headerStart) {
        fail(sourceName, "header runs past the end of the file");
    }
    const std::string header(reinterpret_cast<const char*>(bytes.data() + headerStart), headerLength);
    NpyArray array;
    std::string descr = dictValue(header, "descr", sourceName);
    if (descr.size() < 2 || descr.front() != '\'' || descr.back() != '\'') {
        fail(sourceName, "descr is not a string");
    }
    array.descr = descr.substr(1, descr.size() - 2);
    if (itemSize(array.descr) == 0) {
        fail(sourceName, "unsupported element type " + array.descr);
    }
    if (dictValue(header, "fortran_order", sourceName) != "False") {
        fail(sourceName, "Fortran-ordered arrays are not supported");
    }
    const std::string shape = dictValue(header, "shape", sourceName);
    if (shape.size() < 2 || shape.front() != '(') {
        fail(sourceName, "shape is not a tuple");
    }
    std::size_t count = 1;
    std::size_t pos = 1;
    while (pos < shape.size() - 1) {
        while (pos < shape.size() && (shape[pos] == ' ' || shape[pos] == ',')) {
            ++pos;
        }
        if (pos >= shape.size() - 1) {
            break;
        }
        std::size_t end = pos;
        while (end < shape.size() && shape[end] >= '0' && shape[end] <= '9') {
            ++end;
        }
        if (end == pos || end - pos > 12) {
            fail(sourceName, "shape holds something other than dimensions");
        }
        const auto dimension = std::stoll(shape.substr(pos, end - pos));
        array.shape.push_back(dimension);
        count *= static_cast<std::size_t>(dimension);
        if (count > bytes.size()) {
            fail(sourceName, "shape needs more data than the file holds");
        }
        pos = end;
    }
    const std::size_t dataStart = headerStart + headerLength;
    const std::size_t needed = count * itemSize(array.descr);
    if (bytes.size() - dataStart != needed) {
        fail(sourceName, "data holds " + std::to_string(bytes.size() - dataStart) + " bytes, shape needs " + std::to_string(needed));
    }
    array.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(dataStart), bytes.end());
    return array;
}

NpyArray readNpy(const std::filesystem::path& path)
{
    const auto content = hushnote::readWholeFile(path);
    if (!content) {
        fail(path.string(), "cannot read the file");
    }
    return parseNpy(std::as_bytes(std::span<const char>(content->data(), content->size())), path.string());
}

std::string serializeNpy(const std::string& descr, std::span<const std::int64_t> shape, std::span<const std::byte> data)
{
    std::string header = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        header += (i > 0 ? ", " : "") + std::to_string(shape[i]);
    }
    if (shape.size() == 1) {
        header += ",";
    }
    header += "), }";
    // Pad so the data starts on a 64-byte boundary, ending the header with a newline.
    const std::size_t total = 10 + header.size() + 1;
    header.append((64 - total % 64) % 64, ' ');
    header += '\n';
    std::string bytes = "\x93NUMPY";
    bytes += '\x01';
    bytes += '\x00';
    bytes += static_cast<char>(header.size() & 0xFF);
    bytes += static_cast<char>((header.size() >> 8) & 0xFF);
    bytes += header;
    bytes.append(reinterpret_cast<const char*>(data.data()), data.size());
    return bytes;
}

void writeNpy(const std::filesystem::path& path, std::span<const std::int64_t> shape, std::span<const float> values)
{
    const std::string bytes = serializeNpy("<f4", shape, std::as_bytes(values));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw ModelError(ModelError::Kind::importFailed, path.string() + ": cannot write the file");
    }
}

} // namespace auralis::runtime
