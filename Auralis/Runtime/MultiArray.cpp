#include "Auralis/Runtime/MultiArray.h"

#include "Auralis/Runtime/ModelError.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace auralis::runtime {

namespace {

constexpr std::size_t kAlignment = 64;
// No array the engine uses comes near this; it keeps byte counts far from overflow.
constexpr std::size_t kMaxElements = std::size_t { 1 } << 40;

[[noreturn]] void invalid(const std::string& message)
{
    throw ModelError(ModelError::Kind::invalidArray, message);
}

std::shared_ptr<std::byte[]> allocateStorage(std::size_t bytes)
{
    const std::size_t rounded = ((bytes + kAlignment - 1) / kAlignment) * kAlignment;
    auto* raw = static_cast<std::byte*>(::operator new[](rounded, std::align_val_t { kAlignment }));
    return std::shared_ptr<std::byte[]>(raw, [](std::byte* p) {
        ::operator delete[](p, std::align_val_t { kAlignment });
    });
}

std::int32_t toInt32(double value)
{
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 2147483647.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value <= -2147483648.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

const char* toString(MultiArrayDataType type)
{
    switch (type) {
    case MultiArrayDataType::float16: return "float16";
    case MultiArrayDataType::float32: return "float32";
    case MultiArrayDataType::int32: return "int32";
    }
    return "unknown";
}

std::optional<MultiArrayDataType> multiArrayDataTypeFromString(std::string_view name)
{
    for (const auto type : kAllMultiArrayDataTypes) {
        if (name == toString(type)) {
            return type;
        }
    }
    return std::nullopt;
}

std::size_t elementSize(MultiArrayDataType type)
{
    switch (type) {
    case MultiArrayDataType::float16: return 2;
    case MultiArrayDataType::float32: return 4;
    case MultiArrayDataType::int32: return 4;
    }
    return 0;
}

MultiArray::MultiArray(std::vector<std::int64_t> shape, MultiArrayDataType dataType, double initialValue)
    : shape_(std::move(shape))
    , dataType_(dataType)
{
    if (shape_.empty()) {
        invalid("A multi-array needs at least one dimension");
    }
    std::size_t count = 1;
    for (const auto dimension : shape_) {
        if (dimension < 1) {
            invalid("Multi-array dimensions must be positive, got " + shapeString(shape_));
        }
        if (static_cast<std::uint64_t>(dimension) > kMaxElements / count) {
            invalid("Multi-array shape " + shapeString(shape_) + " is too large");
        }
        count *= static_cast<std::size_t>(dimension);
    }
    count_ = count;
    strides_.assign(shape_.size(), 1);
    for (std::size_t i = shape_.size() - 1; i > 0; --i) {
        strides_[i - 1] = strides_[i] * shape_[i];
    }
    storage_ = allocateStorage(byteCount());
    fill(initialValue);
}

std::span<std::byte> MultiArray::bytes() noexcept { return { storage_.get(), storage_ ? byteCount() : 0 }; }

std::span<const std::byte> MultiArray::bytes() const noexcept
{
    return { storage_.get(), storage_ ? byteCount() : 0 };
}

namespace {

template <typename T, typename Storage>
std::span<T> typedView(Storage* storage, std::size_t count, MultiArrayDataType actual, MultiArrayDataType wanted)
{
    if (storage == nullptr || actual != wanted) {
        invalid(std::string("Multi-array is not ") + toString(wanted));
    }
    return { reinterpret_cast<T*>(storage), count };
}

} // namespace

std::span<std::uint16_t> MultiArray::float16Bits()
{
    return typedView<std::uint16_t>(storage_.get(), count_, dataType_, MultiArrayDataType::float16);
}
std::span<const std::uint16_t> MultiArray::float16Bits() const
{
    return typedView<const std::uint16_t>(
        static_cast<const std::byte*>(storage_.get()), count_, dataType_, MultiArrayDataType::float16);
}
std::span<float> MultiArray::float32Values()
{
    return typedView<float>(storage_.get(), count_, dataType_, MultiArrayDataType::float32);
}
std::span<const float> MultiArray::float32Values() const
{
    return typedView<const float>(
        static_cast<const std::byte*>(storage_.get()), count_, dataType_, MultiArrayDataType::float32);
}
std::span<std::int32_t> MultiArray::int32Values()
{
    return typedView<std::int32_t>(storage_.get(), count_, dataType_, MultiArrayDataType::int32);
}
std::span<const std::int32_t> MultiArray::int32Values() const
{
    return typedView<const std::int32_t>(
        static_cast<const std::byte*>(storage_.get()), count_, dataType_, MultiArrayDataType::int32);
}

double MultiArray::value(std::size_t linearIndex) const
{
    if (empty()) {
        invalid("Multi-array holds no array");
    }
    if (linearIndex >= count_) {
        invalid("Index " + std::to_string(linearIndex) + " is outside a multi-array of "
            + std::to_string(count_) + " elements");
    }
    const std::byte* p = storage_.get();
    switch (dataType_) {
    case MultiArrayDataType::float16: return halfBitsToFloat(reinterpret_cast<const std::uint16_t*>(p)[linearIndex]);
    case MultiArrayDataType::float32: return reinterpret_cast<const float*>(p)[linearIndex];
    case MultiArrayDataType::int32: return reinterpret_cast<const std::int32_t*>(p)[linearIndex];
    }
    return 0;
}

void MultiArray::setValue(std::size_t linearIndex, double value)
{
    if (empty()) {
        invalid("Multi-array holds no array");
    }
    if (linearIndex >= count_) {
        invalid("Index " + std::to_string(linearIndex) + " is outside a multi-array of "
            + std::to_string(count_) + " elements");
    }
    std::byte* p = storage_.get();
    switch (dataType_) {
    case MultiArrayDataType::float16:
        reinterpret_cast<std::uint16_t*>(p)[linearIndex] = floatToHalfBits(static_cast<float>(value));
        return;
    case MultiArrayDataType::float32: reinterpret_cast<float*>(p)[linearIndex] = static_cast<float>(value); return;
    case MultiArrayDataType::int32: reinterpret_cast<std::int32_t*>(p)[linearIndex] = toInt32(value); return;
    }
}

std::size_t MultiArray::offsetOf(std::span<const std::int64_t> index) const
{
    if (index.size() != shape_.size()) {
        invalid("Index has " + std::to_string(index.size()) + " dimensions, the multi-array "
            + std::to_string(shape_.size()));
    }
    std::size_t offset = 0;
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (index[i] < 0 || index[i] >= shape_[i]) {
            invalid("Index " + shapeString(index) + " is outside shape " + shapeString(shape_));
        }
        offset += static_cast<std::size_t>(index[i] * strides_[i]);
    }
    return offset;
}

double MultiArray::value(std::span<const std::int64_t> index) const { return value(offsetOf(index)); }

void MultiArray::setValue(std::span<const std::int64_t> index, double value)
{
    setValue(offsetOf(index), value);
}

void MultiArray::fill(double value)
{
    if (empty()) {
        invalid("Multi-array holds no array");
    }
    std::byte* p = storage_.get();
    switch (dataType_) {
    case MultiArrayDataType::float16: {
        const std::uint16_t bits = floatToHalfBits(static_cast<float>(value));
        auto* data = reinterpret_cast<std::uint16_t*>(p);
        std::fill(data, data + count_, bits);
        return;
    }
    case MultiArrayDataType::float32: {
        auto* data = reinterpret_cast<float*>(p);
        std::fill(data, data + count_, static_cast<float>(value));
        return;
    }
    case MultiArrayDataType::int32: {
        auto* data = reinterpret_cast<std::int32_t*>(p);
        std::fill(data, data + count_, toInt32(value));
        return;
    }
    }
}

MultiArray MultiArray::clone() const
{
    if (empty()) {
        return {};
    }
    MultiArray copy;
    copy.shape_ = shape_;
    copy.strides_ = strides_;
    copy.dataType_ = dataType_;
    copy.count_ = count_;
    copy.storage_ = allocateStorage(byteCount());
    std::memcpy(copy.storage_.get(), storage_.get(), byteCount());
    return copy;
}

std::string MultiArray::shapeString(std::span<const std::int64_t> shape)
{
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(shape[i]);
    }
    return text + "]";
}

} // namespace auralis::runtime
