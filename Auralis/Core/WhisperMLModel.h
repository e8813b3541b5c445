#pragma once

#include "Auralis/Core/ModelComputeOptions.h"
#include "Auralis/Core/ModelLoadState.h"
#include "Auralis/Runtime/Model.h"

#include <asio/awaitable.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace auralis {

// What every model wrapper (feature extractor, audio encoder, text decoder) shares: the loaded
// model, loading with a compute-unit choice, unloading, and the state derived from them.
//
// Not synchronised: the engine facade loads, unloads and runs the wrappers one operation at a
// time.
class WhisperMLModel {
public:
    virtual ~WhisperMLModel() = default;

    const std::shared_ptr<runtime::Model>& model() const noexcept { return model_; }
    void setModel(std::shared_ptr<runtime::Model> model) { model_ = std::move(model); }

    // Loads the stage directory `at`. With `prewarmMode` the model is loaded (so every weight
    // is read and converted once) and dropped, leaving model() unchanged; otherwise it becomes
    // model(). A failure (runtime::ModelError) propagates and leaves model() as it was. The
    // load blocks the executor the coroutine runs on for its duration.
    virtual asio::awaitable<void> loadModel(std::filesystem::path at, MLComputeUnits computeUnits, bool prewarmMode);
    virtual void unloadModel() { model_.reset(); }

    ModelLoadState modelState() const noexcept { return model_ ? ModelLoadState::loaded : ModelLoadState::unloaded; }

    // Threads each prediction of a model loaded from now on may use; 0 means one per hardware
    // thread.
    void setThreadCount(int threadCount) noexcept { threadCount_ = threadCount; }

private:
    std::shared_ptr<runtime::Model> model_;
    int threadCount_ = 0;
};

// Dimension `index` of the named input or output of `model`, read from its description; absent
// without a model, when the feature is missing or not a multi-array, or when its shape has no
// such dimension.
std::optional<int> inputDimension(const runtime::Model* model, std::string_view feature, std::size_t index);
std::optional<int> outputDimension(const runtime::Model* model, std::string_view feature, std::size_t index);

// Throws the platform's cancellation error (asio::error::operation_aborted) when the awaiting
// operation has been cancelled.
asio::awaitable<void> throwIfCancelled();

} // namespace auralis
