// Counts heap allocations made through operator new while a decoder step runs. The
// replacement operators below apply to this whole test executable; they only count while a
// test asks them to.
#include "Auralis/Runtime/ModelFolder.h"
#include "Auralis/Runtime/SafeTensors.h"
#include "Auralis/Runtime/StageManifest.h"
#include "Auralis/Runtime/TextDecoderStage.h"
#include "Auralis/Runtime/ThreadPool.h"

#include "tests/Support/ImportedWhisperModel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting { false };
std::atomic<long> allocations { 0 };

void* allocate(std::size_t size, std::size_t alignment)
{
    if (counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size == 0 ? 1 : size);
    } else if (::posix_memalign(&p, alignment, size == 0 ? alignment : size) != 0) {
        p = nullptr;
    }
    return p;
}

void* allocateOrThrow(std::size_t size, std::size_t alignment)
{
    void* p = allocate(size, alignment);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

} // namespace

void* operator new(std::size_t size) { return allocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return allocateOrThrow(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return allocateOrThrow(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateOrThrow(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace auralis::runtime {
namespace {

TEST(TextDecoderStage, StepsAllocateNothing)
{
    const hushnote::testing::ImportedWhisperModel model;
    const auto directory = model.modelFolder() / kTextDecoderDirectory;
    const auto manifest = readStageManifest(directory / kStageManifestFile);
    const auto parameters = textDecoderParameters(manifest.parameters, "model.json");
    const auto weights = SafeTensorsFile::open(directory / kStageWeightsFile);
    ThreadPool pool(2);
    TextDecoderStage stage(parameters, weights, pool);

    const auto& description = manifest.description;
    std::vector<MultiArray> inputs;
    for (const auto& feature : description.inputs) {
        inputs.emplace_back(feature.multiArrayConstraint->shape, feature.multiArrayConstraint->dataType);
    }
    std::vector<MultiArray> outputs;
    for (const auto& feature : description.outputs) {
        outputs.emplace_back(feature.multiArrayConstraint->shape, feature.multiArrayConstraint->dataType);
    }
    inputs[0].setValue(0, 50258);
    inputs[4].setValue(0, 1);
    inputs[6].fill(-10000);
    inputs[6].setValue(0, 0);
    // The first step computes the cross-attention cache; later steps only decode.
    stage.predict(inputs, outputs);
    for (int step = 1; step < 4; ++step) {
        inputs[1].setValue(0, step);
        inputs[4].setValue(static_cast<std::size_t>(step - 1), 0);
        inputs[4].setValue(static_cast<std::size_t>(step), 1);
        inputs[6].setValue(static_cast<std::size_t>(step), 0);
        allocations = 0;
        counting = true;
        stage.predict(inputs, outputs);
        counting = false;
        EXPECT_EQ(allocations.load(), 0) << "step " << step;
    }
}

} // namespace
} // namespace auralis::runtime
