#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace auralis::runtime {

// NumPy .npy files (format version 1.0 to 3.0, little-endian, C order), so runtime outputs
// can be compared with any other implementation and reference outputs read back.
struct NpyArray {
    // NumPy type descriptor: "<f4", "<f2", "<i4" or "<i8".
    std::string descr;
    std::vector<std::int64_t> shape;
    std::vector<std::byte> data;

    std::size_t count() const;
    // Values converted to float (from <f4, <f2, <i4, <i8).
    std::vector<float> toFloat() const;
    std::vector<std::int64_t> toInt64() const;
};

// Throws ModelError::loadFailed naming the file when it is unreadable or malformed.
NpyArray readNpy(const std::filesystem::path& path);
NpyArray parseNpy(std::span<const std::byte> bytes, const std::string& sourceName);

std::string serializeNpy(const std::string& descr, std::span<const std::int64_t> shape, std::span<const std::byte> data);
// Throws ModelError::importFailed naming the file when it cannot be written.
void writeNpy(const std::filesystem::path& path, std::span<const std::int64_t> shape, std::span<const float> values);

} // namespace auralis::runtime
