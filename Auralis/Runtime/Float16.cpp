#include "Auralis/Runtime/Float16.h"

#include <bit>
#include <immintrin.h>

namespace auralis::runtime {

Float16 Float16::fromFloat(float value) { return Float16 { floatToHalfBits(value) }; }

float Float16::toFloat() const { return halfBitsToFloat(bits); }

std::uint16_t floatToHalfBits(float value)
{
    const std::uint32_t f = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t sign = (f >> 16) & 0x8000u;
    const std::uint32_t absolute = f & 0x7FFFFFFFu;
    if (absolute >= 0x7F800000u) {
        // Infinity stays infinity; NaN keeps a quiet payload bit so it stays NaN.
        const std::uint32_t nanBits = absolute > 0x7F800000u ? (0x0200u | ((absolute >> 13) & 0x03FFu)) : 0;
        return static_cast<std::uint16_t>(sign | 0x7C00u | nanBits);
    }
    if (absolute >= 0x477FF000u) {
        // At or above 65520 the value rounds to infinity.
        return static_cast<std::uint16_t>(sign | 0x7C00u);
    }
    if (absolute < 0x38800000u) {
        // Subnormal half (or zero): shift the mantissa with its implicit bit into place and
        // round to nearest even on the bits shifted out.
        if (absolute < 0x33000000u) {
            return static_cast<std::uint16_t>(sign);
        }
        const std::uint32_t exponent = absolute >> 23;
        const std::uint32_t mantissa = (absolute & 0x007FFFFFu) | 0x00800000u;
        const std::uint32_t shift = 126 - exponent;
        std::uint32_t half = mantissa >> shift;
        const std::uint32_t remainder = mantissa & ((1u << shift) - 1);
        const std::uint32_t halfway = 1u << (shift - 1);
        if (remainder > halfway || (remainder == halfway && (half & 1u))) {
            ++half;
        }
        return static_cast<std::uint16_t>(sign | half);
    }
    // Normal: rebias the exponent and round the 13 dropped mantissa bits to nearest even;
    // a carry out of the mantissa correctly bumps the exponent.
    std::uint32_t half = ((absolute - 0x38000000u) >> 13);
    const std::uint32_t remainder = absolute & 0x1FFFu;
    if (remainder > 0x1000u || (remainder == 0x1000u && (half & 1u))) {
        ++half;
    }
    return static_cast<std::uint16_t>(sign | half);
}

float halfBitsToFloat(std::uint16_t bits)
{
    const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
    const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
    std::uint32_t mantissa = bits & 0x03FFu;
    std::uint32_t f;
    if (exponent == 0) {
        if (mantissa == 0) {
            f = sign;
        } else {
            // Subnormal: normalise into a float exponent.
            int e = -1;
            do {
                ++e;
                mantissa <<= 1;
            } while ((mantissa & 0x0400u) == 0);
            f = sign | static_cast<std::uint32_t>(127 - 15 - e) << 23 | (mantissa & 0x03FFu) << 13;
        }
    } else if (exponent == 0x1F) {
        f = sign | 0x7F800000u | mantissa << 13;
    } else {
        f = sign | (exponent + (127 - 15)) << 23 | mantissa << 13;
    }
    return std::bit_cast<float>(f);
}

namespace {

__attribute__((target("avx,f16c"))) void halfToFloatF16C(
    const std::uint16_t* input, float* output, std::size_t count)
{
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + i));
        _mm256_storeu_ps(output + i, _mm256_cvtph_ps(h));
    }
    for (; i < count; ++i) {
        output[i] = halfBitsToFloat(input[i]);
    }
}

__attribute__((target("avx,f16c"))) void floatToHalfF16C(
    const float* input, std::uint16_t* output, std::size_t count)
{
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 f = _mm256_loadu_ps(input + i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output + i),
            _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }
    for (; i < count; ++i) {
        output[i] = floatToHalfBits(input[i]);
    }
}

bool hasF16C()
{
    static const bool supported = __builtin_cpu_supports("f16c") && __builtin_cpu_supports("avx");
    return supported;
}

} // namespace

void convertHalfToFloat(const std::uint16_t* input, float* output, std::size_t count)
{
    if (hasF16C()) {
        halfToFloatF16C(input, output, count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        output[i] = halfBitsToFloat(input[i]);
    }
}

void convertFloatToHalf(const float* input, std::uint16_t* output, std::size_t count)
{
    if (hasF16C()) {
        floatToHalfF16C(input, output, count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        output[i] = floatToHalfBits(input[i]);
    }
}

float bfloat16BitsToFloat(std::uint16_t bits)
{
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
}

} // namespace auralis::runtime
