#pragma once

#include "Auralis/Runtime/ComputeUnits.h"
#include "Auralis/Runtime/FeatureProvider.h"
#include "Auralis/Runtime/ModelDescription.h"
#include "Auralis/Runtime/StageManifest.h"

#include <array>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

namespace auralis::runtime {

class Stage;
class ThreadPool;

struct ModelConfiguration {
    // Where the model may run; every choice runs on the CPU here.
    ComputeUnits computeUnits = ComputeUnits::all;
    // Threads a prediction uses, the calling thread included; 0 means one per hardware thread.
    int threadCount = 0;
};

// One loaded stage of a model folder (a "*.mlmodelc" directory holding model.json and
// weights.safetensors). Loading reads and converts every weight once; predictions then only
// compute.
//
// Thread-safe: predictions may come from any thread and run one at a time.
class Model {
public:
    // Loads the stage directory. Throws ModelError::loadFailed naming the file at fault when the
    // directory, its model.json or its weights are missing or malformed.
    static std::shared_ptr<Model> load(const std::filesystem::path& directory, const ModelConfiguration& configuration);

    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    const ModelDescription& modelDescription() const noexcept { return manifest_.description; }
    const StageManifest& manifest() const noexcept { return manifest_; }
    const ModelConfiguration& configuration() const noexcept { return configuration_; }
    const std::filesystem::path& url() const noexcept { return directory_; }

    // Runs the model on the named inputs and returns the named outputs. Inputs are read in
    // place. Throws ModelError::predictionFailed when an input is missing or does not match its
    // description, or when the stage rejects a value (a token id out of range, for example).
    //
    // Output arrays are reused between predictions once every handle to them has been
    // released, so a caller that drops its outputs before the next prediction causes no
    // allocation of output storage.
    DictionaryFeatureProvider prediction(const FeatureProvider& input);

private:
    Model() = default;
    MultiArray outputArray(std::size_t index);

    std::filesystem::path directory_;
    ModelConfiguration configuration_;
    StageManifest manifest_;
    std::unique_ptr<ThreadPool> pool_;
    std::unique_ptr<Stage> stage_;
    std::mutex mutex_;
    std::vector<MultiArray> inputs_;
    std::vector<MultiArray> outputs_;
    // Two sets of output arrays, so holding the previous outputs while predicting the next
    // ones still reuses storage.
    std::vector<std::array<MultiArray, 2>> outputPool_;
};

} // namespace auralis::runtime
