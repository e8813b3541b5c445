#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/MultiArray.h"

#include <gtest/gtest.h>

namespace auralis::runtime {
namespace {

TEST(MultiArray, HasRowMajorStridesAndStartsAtItsInitialValue)
{
    const MultiArray cache({ 1, 6, 1, 4 }, MultiArrayDataType::float16, -10000);
    EXPECT_EQ(cache.strides(), (std::vector<std::int64_t> { 24, 4, 4, 1 }));
    EXPECT_EQ(cache.count(), 24u);
    EXPECT_EQ(cache.byteCount(), 48u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(cache.dataPointer()) % 64, 0u);
    for (std::size_t i = 0; i < cache.count(); ++i) {
        EXPECT_EQ(cache.value(i), -10000.0);
    }
    const MultiArray ids({ 3 }, MultiArrayDataType::int32, 7.9);
    EXPECT_EQ(ids.int32Values()[2], 7);
    const MultiArray zeros({ 2, 2 }, MultiArrayDataType::float32);
    EXPECT_EQ(zeros.float32Values()[3], 0.0f);
}

TEST(MultiArray, ReadsAndWritesElementsOfEveryType)
{
    for (const auto type : kAllMultiArrayDataTypes) {
        SCOPED_TRACE(toString(type));
        MultiArray array({ 2, 3 }, type);
        array.setValue(4, 5);
        const std::int64_t index[] = { 1, 1 };
        EXPECT_EQ(array.value(index), 5.0);
        array.setValue(index, -2);
        EXPECT_EQ(array.value(4), -2.0);
        EXPECT_EQ(array.bytes().size(), 6 * elementSize(type));
    }
    MultiArray half({ 1 }, MultiArrayDataType::float16);
    half.setValue(0, 0.1);
    EXPECT_EQ(half.float16Bits()[0], 0x2E66);
}

TEST(MultiArray, CopiesShareStorageAndClonesDoNot)
{
    MultiArray array({ 4 }, MultiArrayDataType::float32);
    MultiArray shared = array;
    MultiArray cloned = array.clone();
    shared.setValue(1, 3);
    EXPECT_EQ(array.value(1), 3.0);
    EXPECT_EQ(cloned.value(1), 0.0);
    EXPECT_TRUE(array.sharesStorageWith(shared));
    EXPECT_FALSE(array.sharesStorageWith(cloned));
    EXPECT_EQ(array.handleCount(), 2);
}

TEST(MultiArray, RefusesInvalidShapesIndicesAndTypes)
{
    const auto expectInvalid = [](auto&& action, const char* what) {
        try {
            action();
            ADD_FAILURE() << what;
        } catch (const ModelError& error) {
            EXPECT_EQ(error.kind(), ModelError::Kind::invalidArray) << what;
        }
    };
    expectInvalid([] { MultiArray({}, MultiArrayDataType::float32); }, "no dimensions");
    expectInvalid([] { MultiArray({ 3, 0 }, MultiArrayDataType::float32); }, "zero dimension");
    expectInvalid([] { MultiArray({ 1LL << 30, 1LL << 30 }, MultiArrayDataType::float32); }, "too large");
    MultiArray array({ 2, 2 }, MultiArrayDataType::int32);
    expectInvalid([&] { array.value(4); }, "linear index past the end");
    const std::int64_t outside[] = { 0, 2 };
    expectInvalid([&] { array.setValue(outside, 1); }, "index outside a dimension");
    const std::int64_t shortIndex[] = { 1 };
    expectInvalid([&] { array.value(shortIndex); }, "index of the wrong rank");
    expectInvalid([&] { array.float32Values(); }, "typed view of another type");
    const MultiArray empty;
    EXPECT_TRUE(empty.empty());
    expectInvalid([&] { empty.value(0); }, "element of an empty array");
}

} // namespace
} // namespace auralis::runtime
