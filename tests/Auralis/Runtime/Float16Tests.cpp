#include "Auralis/Runtime/Float16.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace auralis::runtime {
namespace {

TEST(Float16, ConvertsFloatsWithRoundToNearestEven)
{
    struct Case {
        float value;
        std::uint16_t bits;
    };
    const Case cases[] = {
        { 0.0f, 0x0000 },
        { -0.0f, 0x8000 },
        { 1.0f, 0x3C00 },
        { -2.0f, 0xC000 },
        { 0.333333343f, 0x3555 },
        { 65504.0f, 0x7BFF },
        { 65519.99f, 0x7BFF },
        { 65520.0f, 0x7C00 },
        { -1e10f, 0xFC00 },
        { std::numeric_limits<float>::infinity(), 0x7C00 },
        { 6.103515625e-05f, 0x0400 },
        { 5.9604644775390625e-08f, 0x0001 },
        { 2.98023223876953125e-08f, 0x0000 },
        { 8.94069671630859375e-08f, 0x0002 },
        { 1.0009765625f, 0x3C01 },
        { 1.00048828125f, 0x3C00 },
        { 1.00146484375f, 0x3C02 },
        { -10000.0f, 0xF0E2 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(floatToHalfBits(c.value), c.bits);
    }
    EXPECT_TRUE(std::isnan(halfBitsToFloat(floatToHalfBits(std::numeric_limits<float>::quiet_NaN()))));
}

TEST(Float16, EveryHalfSurvivesARoundTripAndBulkConversionAgrees)
{
    std::vector<std::uint16_t> all(65536);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint16_t>(i);
    }
    std::vector<float> floats(all.size());
    convertHalfToFloat(all.data(), floats.data(), all.size());
    std::vector<std::uint16_t> back(all.size());
    convertFloatToHalf(floats.data(), back.data(), floats.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const float scalar = halfBitsToFloat(all[i]);
        if (std::isnan(scalar)) {
            ASSERT_TRUE(std::isnan(floats[i])) << i;
            ASSERT_EQ(back[i] & 0x7C00, 0x7C00) << i;
            continue;
        }
        ASSERT_EQ(floats[i], scalar) << "bits " << i;
        ASSERT_EQ(back[i], all[i]) << "bits " << i;
        ASSERT_EQ(floatToHalfBits(scalar), all[i]) << "bits " << i;
    }
}

TEST(Float16, BulkRoundingMatchesScalarRounding)
{
    std::vector<float> values;
    for (float v = -70000.0f; v < 70000.0f; v += 0.7331f * (1.0f + std::fabs(v) / 100.0f)) {
        values.push_back(v);
    }
    for (float v = -1e-4f; v < 1e-4f; v += 1.37e-8f) {
        values.push_back(v);
    }
    std::vector<std::uint16_t> bulk(values.size());
    convertFloatToHalf(values.data(), bulk.data(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(bulk[i], floatToHalfBits(values[i])) << values[i];
    }
}

TEST(Float16, BFloat16IsTheUpperHalfOfAFloat)
{
    EXPECT_EQ(bfloat16BitsToFloat(0x3F80), 1.0f);
    EXPECT_EQ(bfloat16BitsToFloat(0xC040), -3.0f);
}

} // namespace
} // namespace auralis::runtime
