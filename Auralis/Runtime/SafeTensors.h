#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace auralis::runtime {

// One tensor entry of a safetensors header. Offsets are relative to the data buffer.
struct SafeTensorInfo {
    std::string name;
    std::string dtype;
    std::vector<std::int64_t> shape;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;

    std::uint64_t elementCount() const;
};

// Bits per element of a safetensors dtype string ("F32" -> 32), or nullopt when unknown.
std::optional<int> safeTensorsDtypeBits(std::string_view dtype);

// A validated safetensors file, memory-mapped (or held in memory). Every check of the format is
// made when it is opened: header length and JSON, dtypes, shapes against byte counts,
// contiguous non-overlapping offsets covering the buffer exactly, no duplicate names. Any
// violation throws ModelError::loadFailed with a message that starts with the file's name.
// Immutable once opened; safe to read from several threads.
class SafeTensorsFile {
public:
    static SafeTensorsFile open(const std::filesystem::path& path);
    // `sourceName` stands in for the path in error messages.
    static SafeTensorsFile fromBytes(std::string bytes, std::string sourceName);

    const std::string& sourceName() const noexcept { return sourceName_; }
    // Ordered by data offset.
    const std::vector<SafeTensorInfo>& tensors() const noexcept { return tensors_; }
    const SafeTensorInfo* find(std::string_view name) const;
    const std::map<std::string, std::string>& metadata() const noexcept { return metadata_; }
    std::span<const std::byte> tensorBytes(const SafeTensorInfo& tensor) const;

    // The tensor `name` converted to float32 from F32, F16 or BF16. Throws ModelError::loadFailed
    // naming the file and tensor when it is missing, has another shape, or another dtype.
    std::vector<float> floatTensor(std::string_view name, std::span<const std::int64_t> shape) const;
    void readFloatTensor(std::string_view name, std::span<const std::int64_t> shape, float* output) const;
    // The tensor's entry after checking that it exists with this shape and a float dtype.
    const SafeTensorInfo& requireFloatTensor(std::string_view name, std::span<const std::int64_t> shape) const;

private:
    SafeTensorsFile() = default;
    void parse();

    std::string sourceName_;
    std::shared_ptr<const void> keepAlive_;
    const std::byte* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t dataStart_ = 0;
    std::vector<SafeTensorInfo> tensors_;
    std::map<std::string, std::size_t, std::less<>> byName_;
    std::map<std::string, std::string> metadata_;
};

// Builds a safetensors file the way the reference writer does: tensors ordered by element size
// (largest first) then name, compact JSON header with __metadata__ first, padded with spaces to
// a multiple of 8 bytes.
class SafeTensorsWriter {
public:
    void setMetadata(std::string key, std::string value);
    // Copies `data`.
    void add(std::string name, std::string dtype, std::vector<std::int64_t> shape, std::span<const std::byte> data);
    // Refers to `data` without copying; it must stay alive until write() or serialize() returns.
    void addView(std::string name, std::string dtype, std::vector<std::int64_t> shape, std::span<const std::byte> data);
    void addFloat32(std::string name, std::vector<std::int64_t> shape, std::span<const float> values);
    // Stores the values rounded to float16.
    void addFloat16(std::string name, std::vector<std::int64_t> shape, std::span<const float> values);

    std::string serialize() const;
    // Streams the file to `path`; throws ModelError::importFailed naming the path on failure.
    void write(const std::filesystem::path& path) const;

private:
    struct Entry {
        std::string name;
        std::string dtype;
        std::vector<std::int64_t> shape;
        std::vector<std::byte> owned;
        std::span<const std::byte> view;
    };
    std::string header(std::vector<const Entry*>& ordered) const;

    std::map<std::string, std::string> metadata_;
    std::vector<Entry> entries_;
};

} // namespace auralis::runtime
