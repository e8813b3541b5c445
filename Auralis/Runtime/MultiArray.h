#pragma once

#include "Auralis/Runtime/Float16.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace auralis::runtime {

enum class MultiArrayDataType {
    float16,
    float32,
    int32,
};

inline constexpr std::array kAllMultiArrayDataTypes {
    MultiArrayDataType::float16,
    MultiArrayDataType::float32,
    MultiArrayDataType::int32,
};

// "float16", "float32", "int32": the names model descriptions use.
const char* toString(MultiArrayDataType type);
std::optional<MultiArrayDataType> multiArrayDataTypeFromString(std::string_view name);
std::size_t elementSize(MultiArrayDataType type);

// An n-dimensional array of one element type with contiguous row-major storage (the last
// dimension is contiguous), aligned to 64 bytes.
//
// Like the platform array it stands in for, a MultiArray is a handle: copies share the same
// storage, so a cache handed to a prediction is read in place, and writes through any copy are
// seen by all of them. clone() makes an independent copy. A default-constructed MultiArray
// holds no array (empty() is true); every element accessor throws ModelError::invalidArray on
// it.
//
// Not synchronised: one thread writes an array at a time.
class MultiArray {
public:
    MultiArray() = default;

    // Every dimension must be at least 1 and the element count must fit in memory; otherwise
    // throws ModelError::invalidArray. Elements start at `initialValue` (converted to the
    // element type; int32 truncates toward zero).
    MultiArray(std::vector<std::int64_t> shape, MultiArrayDataType dataType, double initialValue = 0);

    bool empty() const noexcept { return storage_ == nullptr; }

    const std::vector<std::int64_t>& shape() const noexcept { return shape_; }
    // Element strides per dimension (not bytes).
    const std::vector<std::int64_t>& strides() const noexcept { return strides_; }
    MultiArrayDataType dataType() const noexcept { return dataType_; }
    std::size_t count() const noexcept { return count_; }
    std::size_t byteCount() const noexcept { return count_ * elementSize(dataType_); }

    // Raw storage; null when empty.
    void* dataPointer() noexcept { return storage_.get(); }
    const void* dataPointer() const noexcept { return storage_.get(); }
    std::span<std::byte> bytes() noexcept;
    std::span<const std::byte> bytes() const noexcept;

    // Typed views; throw ModelError::invalidArray when the element type differs.
    std::span<std::uint16_t> float16Bits();
    std::span<const std::uint16_t> float16Bits() const;
    std::span<float> float32Values();
    std::span<const float> float32Values() const;
    std::span<std::int32_t> int32Values();
    std::span<const std::int32_t> int32Values() const;

    // Element access by linear index, converting to and from double like the platform's
    // number boxing. Throws ModelError::invalidArray when the index is out of range.
    double value(std::size_t linearIndex) const;
    void setValue(std::size_t linearIndex, double value);
    // The same for a multi-dimensional index, one entry per dimension.
    double value(std::span<const std::int64_t> index) const;
    void setValue(std::span<const std::int64_t> index, double value);

    void fill(double value);
    MultiArray clone() const;

    bool sharesStorageWith(const MultiArray& other) const noexcept
    {
        return storage_ != nullptr && storage_ == other.storage_;
    }
    // How many handles share this storage (0 when empty).
    long handleCount() const noexcept { return storage_.use_count(); }

    // "[1, 80, 1, 3000]".
    static std::string shapeString(std::span<const std::int64_t> shape);

private:
    std::size_t offsetOf(std::span<const std::int64_t> index) const;

    std::vector<std::int64_t> shape_;
    std::vector<std::int64_t> strides_;
    MultiArrayDataType dataType_ = MultiArrayDataType::float32;
    std::size_t count_ = 0;
    std::shared_ptr<std::byte[]> storage_;
};

} // namespace auralis::runtime
