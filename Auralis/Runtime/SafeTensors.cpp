#include "Auralis/Runtime/SafeTensors.h"

#include "Auralis/Runtime/Float16.h"
#include "Auralis/Runtime/ModelError.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace auralis::runtime {

namespace {

constexpr std::uint64_t kMaxHeaderLength = 100'000'000;
constexpr std::uint64_t kMaxDimension = (std::uint64_t { 1 } << 48) - 1;

struct DtypeBits {
    std::string_view name;
    int bits;
};

// The reference crate's dtype enum, in its order of increasing alignment.
constexpr DtypeBits kDtypes[] = {
    { "BOOL", 8 }, { "F4", 4 }, { "F6_E2M3", 6 }, { "F6_E3M2", 6 }, { "U8", 8 }, { "I8", 8 },
    { "F8_E5M2", 8 }, { "F8_E4M3", 8 }, { "F8_E8M0", 8 }, { "F8_E4M3FNUZ", 8 }, { "F8_E5M2FNUZ", 8 },
    { "I16", 16 }, { "U16", 16 }, { "F16", 16 }, { "BF16", 16 }, { "I32", 32 }, { "U32", 32 },
    { "F32", 32 }, { "C64", 64 }, { "F64", 64 }, { "I64", 64 }, { "U64", 64 },
};

[[noreturn]] void fail(const std::string& source, const std::string& problem)
{
    throw ModelError(ModelError::Kind::loadFailed, source + ": " + problem);
}

std::string shapeText(std::span<const std::int64_t> shape)
{
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(shape[i]);
    }
    return text + "]";
}

} // namespace

std::uint64_t SafeTensorInfo::elementCount() const
{
    std::uint64_t count = 1;
    for (const auto d : shape) {
        count *= static_cast<std::uint64_t>(d);
    }
    return count;
}

std::optional<int> safeTensorsDtypeBits(std::string_view dtype)
{
    for (const auto& entry : kDtypes) {
        if (entry.name == dtype) {
            return entry.bits;
        }
    }
    return std::nullopt;
}

SafeTensorsFile SafeTensorsFile::open(const std::filesystem::path& path)
{
    SafeTensorsFile file;
    file.sourceName_ = path.string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail(file.sourceName_, std::string("cannot open: ") + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        fail(file.sourceName_, "not a regular file");
    }
    file.size_ = static_cast<std::size_t>(info.st_size);
    if (file.size_ < 8) {
        ::close(fd);
        fail(file.sourceName_, "file is " + std::to_string(file.size_) + " bytes, too small for a header length");
    }
    void* mapping = ::mmap(nullptr, file.size_, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapping == MAP_FAILED) {
        fail(file.sourceName_, std::string("cannot map: ") + std::strerror(errno));
    }
    const std::size_t length = file.size_;
    file.keepAlive_ = std::shared_ptr<const void>(mapping, [length](const void* p) {
        ::munmap(const_cast<void*>(p), length);
    });
    file.base_ = static_cast<const std::byte*>(mapping);
    file.parse();
    return file;
}

SafeTensorsFile SafeTensorsFile::fromBytes(std::string bytes, std::string sourceName)
{
    SafeTensorsFile file;
    file.sourceName_ = std::move(sourceName);
    auto owned = std::make_shared<std::string>(std::move(bytes));
    file.base_ = reinterpret_cast<const std::byte*>(owned->data());
    file.size_ = owned->size();
    file.keepAlive_ = owned;
    file.parse();
    return file;
}

void SafeTensorsFile::parse()
{
    if (size_ < 8) {
        fail(sourceName_, "file is " + std::to_string(size_) + " bytes, too small for a header length");
    }
    std::uint64_t headerLength = 0;
    for (int i = 7; i >= 0; --i) {
        headerLength = (headerLength << 8) | static_cast<std::uint8_t>(base_[i]);
    }
    if (headerLength > kMaxHeaderLength) {
        fail(sourceName_, "header length " + std::to_string(headerLength) + " exceeds the 100 MB limit");
    }
    if (headerLength > size_ - 8) {
        fail(sourceName_, "header length " + std::to_string(headerLength) + " runs past the end of the "
                + std::to_string(size_) + "-byte file");
    }
    dataStart_ = 8 + static_cast<std::size_t>(headerLength);
    const char* headerBegin = reinterpret_cast<const char*>(base_ + 8);
    const char* headerEnd = headerBegin + headerLength;
    if (headerLength == 0 || *headerBegin != '{') {
        fail(sourceName_, "header does not start with '{'");
    }

    // nlohmann keeps the last of duplicate keys silently, so count the top-level keys while
    // parsing and compare.
    std::set<std::string> seenKeys;
    bool duplicate = false;
    std::string duplicateName;
    const nlohmann::json::parser_callback_t countKeys = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        if (event == nlohmann::json::parse_event_t::key && depth == 1) {
            if (!seenKeys.insert(parsed.get<std::string>()).second && !duplicate) {
                duplicate = true;
                duplicateName = parsed.get<std::string>();
            }
        }
        return true;
    };
    nlohmann::json header;
    try {
        header = nlohmann::json::parse(headerBegin, headerEnd, countKeys);
    } catch (const nlohmann::json::exception& error) {
        fail(sourceName_, std::string("header is not valid JSON: ") + error.what());
    }
    if (!header.is_object()) {
        fail(sourceName_, "header is not a JSON object");
    }
    if (duplicate) {
        fail(sourceName_, "tensor \"" + duplicateName + "\" appears twice in the header");
    }

    for (auto it = header.begin(); it != header.end(); ++it) {
        const std::string& name = it.key();
        const auto& entry = it.value();
        if (name == "__metadata__") {
            if (!entry.is_object()) {
                fail(sourceName_, "__metadata__ is not an object");
            }
            for (auto m = entry.begin(); m != entry.end(); ++m) {
                if (!m.value().is_string()) {
                    fail(sourceName_, "__metadata__ value of \"" + m.key() + "\" is not a string");
                }
                metadata_[m.key()] = m.value().get<std::string>();
            }
            continue;
        }
        const std::string where = "tensor \"" + name + "\"";
        if (!entry.is_object() || entry.size() != 3 || !entry.contains("dtype") || !entry.contains("shape")
            || !entry.contains("data_offsets")) {
            fail(sourceName_, where + " must have exactly dtype, shape and data_offsets");
        }
        const auto& dtype = entry["dtype"];
        const auto& shape = entry["shape"];
        const auto& offsets = entry["data_offsets"];
        if (!dtype.is_string()) {
            fail(sourceName_, where + " has a dtype that is not a string");
        }
        SafeTensorInfo info;
        info.name = name;
        info.dtype = dtype.get<std::string>();
        const auto bits = safeTensorsDtypeBits(info.dtype);
        if (!bits) {
            fail(sourceName_, where + " has unknown dtype \"" + info.dtype + "\"");
        }
        if (!shape.is_array()) {
            fail(sourceName_, where + " has a shape that is not a list");
        }
        // The element count saturates just above what the file could hold, so the product never
        // overflows and an oversized shape still fails the byte-count check below.
        const std::uint64_t cap = static_cast<std::uint64_t>(size_) * 8 + 8;
        std::uint64_t elements = 1;
        for (const auto& d : shape) {
            if (!d.is_number_unsigned() || d.get<std::uint64_t>() > kMaxDimension) {
                fail(sourceName_, where + " has a dimension that is not a non-negative integer below 2^48");
            }
            info.shape.push_back(static_cast<std::int64_t>(d.get<std::uint64_t>()));
            const std::uint64_t dimension = d.get<std::uint64_t>();
            if (elements != 0 && dimension != 0 && elements > cap / dimension) {
                elements = cap;
            } else {
                elements = std::min(cap, elements * dimension);
            }
        }
        if (!offsets.is_array() || offsets.size() != 2 || !offsets[0].is_number_unsigned()
            || !offsets[1].is_number_unsigned()) {
            fail(sourceName_, where + " needs data_offsets [begin, end] of non-negative integers");
        }
        info.begin = offsets[0].get<std::uint64_t>();
        info.end = offsets[1].get<std::uint64_t>();
        if (info.end < info.begin) {
            fail(sourceName_, where + " ends before it begins");
        }
        const std::uint64_t bitCount = elements * static_cast<unsigned>(*bits);
        if (bitCount % 8 != 0) {
            fail(sourceName_, where + " does not fill a whole number of bytes");
        }
        if (bitCount / 8 != info.end - info.begin) {
            fail(sourceName_, where + " of dtype " + info.dtype + " and shape " + shapeText(info.shape)
                    + " needs " + std::to_string(bitCount / 8) + " bytes but its offsets span "
                    + std::to_string(info.end - info.begin));
        }
        tensors_.push_back(std::move(info));
    }

    std::sort(tensors_.begin(), tensors_.end(), [](const SafeTensorInfo& a, const SafeTensorInfo& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    std::uint64_t expected = 0;
    for (const auto& tensor : tensors_) {
        if (tensor.begin != expected) {
            fail(sourceName_, "tensor \"" + tensor.name + "\" starts at " + std::to_string(tensor.begin)
                    + ", expected " + std::to_string(expected) + " (offsets must be contiguous)");
        }
        expected = tensor.end;
    }
    const std::uint64_t dataSize = size_ - dataStart_;
    if (expected != dataSize) {
        fail(sourceName_, "tensor data covers " + std::to_string(expected) + " bytes but the file holds "
                + std::to_string(dataSize) + (expected > dataSize ? " (truncated)" : " (trailing bytes)"));
    }
    for (std::size_t i = 0; i < tensors_.size(); ++i) {
        byName_.emplace(tensors_[i].name, i);
    }
}

const SafeTensorInfo* SafeTensorsFile::find(std::string_view name) const
{
    const auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : &tensors_[it->second];
}

std::span<const std::byte> SafeTensorsFile::tensorBytes(const SafeTensorInfo& tensor) const
{
    return { base_ + dataStart_ + tensor.begin, static_cast<std::size_t>(tensor.end - tensor.begin) };
}

const SafeTensorInfo& SafeTensorsFile::requireFloatTensor(std::string_view name, std::span<const std::int64_t> shape) const
{
    const SafeTensorInfo* tensor = find(name);
    const std::string where = "tensor \"" + std::string(name) + "\"";
    if (tensor == nullptr) {
        fail(sourceName_, where + " is missing");
    }
    if (!std::equal(tensor->shape.begin(), tensor->shape.end(), shape.begin(), shape.end())) {
        fail(sourceName_, where + " has shape " + shapeText(tensor->shape) + ", expected " + shapeText(shape));
    }
    if (tensor->dtype != "F32" && tensor->dtype != "F16" && tensor->dtype != "BF16") {
        fail(sourceName_, where + " has dtype " + tensor->dtype + ", expected F32, F16 or BF16");
    }
    return *tensor;
}

void SafeTensorsFile::readFloatTensor(std::string_view name, std::span<const std::int64_t> shape, float* output) const
{
    const SafeTensorInfo& tensor = requireFloatTensor(name, shape);
    const auto bytes = tensorBytes(tensor);
    const std::size_t count = static_cast<std::size_t>(tensor.elementCount());
    if (tensor.dtype == "F32") {
        std::memcpy(output, bytes.data(), count * sizeof(float));
        return;
    }
    // Data offsets need not be aligned, so 16-bit values are copied out before conversion.
    constexpr std::size_t kBlock = 4096;
    std::uint16_t block[kBlock];
    for (std::size_t start = 0; start < count; start += kBlock) {
        const std::size_t n = std::min(kBlock, count - start);
        std::memcpy(block, bytes.data() + start * 2, n * 2);
        if (tensor.dtype == "F16") {
            convertHalfToFloat(block, output + start, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                output[start + i] = bfloat16BitsToFloat(block[i]);
            }
        }
    }
}

std::vector<float> SafeTensorsFile::floatTensor(std::string_view name, std::span<const std::int64_t> shape) const
{
    const SafeTensorInfo& tensor = requireFloatTensor(name, shape);
    std::vector<float> values(static_cast<std::size_t>(tensor.elementCount()));
    readFloatTensor(name, shape, values.data());
    return values;
}

void SafeTensorsWriter::setMetadata(std::string key, std::string value) { metadata_[std::move(key)] = std::move(value); }

void SafeTensorsWriter::add(std::string name, std::string dtype, std::vector<std::int64_t> shape, std::span<const std::byte> data)
{
    Entry entry { std::move(name), std::move(dtype), std::move(shape), { data.begin(), data.end() }, {} };
    entry.view = entry.owned;
    entries_.push_back(std::move(entry));
}

void SafeTensorsWriter::addView(std::string name, std::string dtype, std::vector<std::int64_t> shape, std::span<const std::byte> data)
{
    entries_.push_back(Entry { std::move(name), std::move(dtype), std::move(shape), {}, data });
}

void SafeTensorsWriter::addFloat32(std::string name, std::vector<std::int64_t> shape, std::span<const float> values)
{
    add(std::move(name), "F32", std::move(shape), std::as_bytes(values));
}

void SafeTensorsWriter::addFloat16(std::string name, std::vector<std::int64_t> shape, std::span<const float> values)
{
    std::vector<std::uint16_t> half(values.size());
    convertFloatToHalf(values.data(), half.data(), values.size());
    add(std::move(name), "F16", std::move(shape), std::as_bytes(std::span<const std::uint16_t>(half)));
}

std::string SafeTensorsWriter::header(std::vector<const Entry*>& ordered) const
{
    ordered.clear();
    for (const auto& entry : entries_) {
        ordered.push_back(&entry);
    }
    const auto rank = [](const std::string& dtype) {
        for (std::size_t i = 0; i < std::size(kDtypes); ++i) {
            if (kDtypes[i].name == dtype) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    std::stable_sort(ordered.begin(), ordered.end(), [&](const Entry* a, const Entry* b) {
        const int ra = rank(a->dtype);
        const int rb = rank(b->dtype);
        return ra != rb ? ra > rb : a->name < b->name;
    });
    // Built by hand rather than with nlohmann so the order is exactly ours.
    std::string text = "{";
    bool first = true;
    if (!metadata_.empty()) {
        text += "\"__metadata__\":" + nlohmann::json(metadata_).dump();
        first = false;
    }
    std::uint64_t offset = 0;
    for (const Entry* entry : ordered) {
        const auto bits = safeTensorsDtypeBits(entry->dtype);
        if (!bits) {
            throw ModelError(ModelError::Kind::importFailed, "Unknown safetensors dtype \"" + entry->dtype + "\"");
        }
        std::uint64_t count = 1;
        for (const auto d : entry->shape) {
            count *= static_cast<std::uint64_t>(d);
        }
        if (count * static_cast<unsigned>(*bits) != entry->view.size() * 8) {
            throw ModelError(ModelError::Kind::importFailed,
                "Tensor \"" + entry->name + "\" has " + std::to_string(entry->view.size()) + " bytes for shape "
                    + shapeText(entry->shape));
        }
        nlohmann::json description = {
            { "dtype", entry->dtype },
            { "shape", entry->shape },
            { "data_offsets", { offset, offset + entry->view.size() } },
        };
        text += (first ? "" : ",") + nlohmann::json(entry->name).dump() + ":" + description.dump();
        first = false;
        offset += entry->view.size();
    }
    text += "}";
    while (text.size() % 8 != 0) {
        text += ' ';
    }
    std::string prefix(8, '\0');
    const std::uint64_t length = text.size();
    for (int i = 0; i < 8; ++i) {
        prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return prefix + text;
}

std::string SafeTensorsWriter::serialize() const
{
    std::vector<const Entry*> ordered;
    std::string bytes = header(ordered);
    for (const Entry* entry : ordered) {
        bytes.append(reinterpret_cast<const char*>(entry->view.data()), entry->view.size());
    }
    return bytes;
}

void SafeTensorsWriter::write(const std::filesystem::path& path) const
{
    std::vector<const Entry*> ordered;
    const std::string head = header(ordered);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    for (const Entry* entry : ordered) {
        out.write(reinterpret_cast<const char*>(entry->view.data()), static_cast<std::streamsize>(entry->view.size()));
    }
    out.close();
    if (!out) {
        throw ModelError(ModelError::Kind::importFailed, path.string() + ": cannot write the weights file");
    }
}

} // namespace auralis::runtime
