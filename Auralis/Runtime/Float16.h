#pragma once

#include <cstddef>
#include <cstdint>

namespace auralis::runtime {

// IEEE 754 binary16, stored as its bit pattern. Arithmetic happens in float; this type only
// carries values across array and file boundaries.
struct Float16 {
    std::uint16_t bits = 0;

    static Float16 fromFloat(float value);
    float toFloat() const;

    bool operator==(const Float16&) const = default;
};

// Round-to-nearest-even conversion, with subnormals, infinities and NaN preserved.
std::uint16_t floatToHalfBits(float value);
float halfBitsToFloat(std::uint16_t bits);

// Bulk conversions; they use the processor's F16C instructions where it has them.
void convertHalfToFloat(const std::uint16_t* input, float* output, std::size_t count);
void convertFloatToHalf(const float* input, std::uint16_t* output, std::size_t count);

// bfloat16 is the upper half of a float32.
float bfloat16BitsToFloat(std::uint16_t bits);

} // namespace auralis::runtime
