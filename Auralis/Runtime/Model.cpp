#include "Auralis/Runtime/Model.h"

#include "Auralis/Runtime/AudioEncoderStage.h"
#include "Auralis/Runtime/Kernels.h"
#include "Auralis/Runtime/MelSpectrogramStage.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/SafeTensors.h"
#include "Auralis/Runtime/Stage.h"
#include "Auralis/Runtime/TextDecoderStage.h"
#include "Auralis/Runtime/ThreadPool.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace auralis::runtime {

namespace {

[[noreturn]] void loadFailure(const std::string& message) { throw ModelError(ModelError::Kind::loadFailed, message); }

// The stage checks the description in model.json against what it computes for its parameters,
// so an edited or mismatched description is refused rather than trusted.
void requireDescription(const StageManifest& manifest, const ModelDescription& expected, const std::string& source)
{
    const auto mismatch = [&](const std::vector<FeatureDescription>& actual, const std::vector<FeatureDescription>& wanted,
                              const char* what) {
        if (actual.size() != wanted.size()) {
            loadFailure(source + ": lists " + std::to_string(actual.size()) + " " + what + "s, the "
                + manifest.stage + " stage has " + std::to_string(wanted.size()));
        }
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            const auto& a = actual[i];
            const auto& w = wanted[i];
            if (a.name != w.name) {
                loadFailure(source + ": " + what + " " + std::to_string(i) + " is \"" + a.name + "\", expected \"" + w.name + "\"");
            }
            if (a.multiArrayConstraint != w.multiArrayConstraint) {
                loadFailure(source + ": " + what + " \"" + a.name + "\" is described as "
                    + MultiArray::shapeString(a.multiArrayConstraint->shape) + " " + toString(a.multiArrayConstraint->dataType)
                    + ", the stage computes " + MultiArray::shapeString(w.multiArrayConstraint->shape) + " "
                    + toString(w.multiArrayConstraint->dataType));
            }
        }
    };
    mismatch(manifest.description.inputs, expected.inputs, "input");
    mismatch(manifest.description.outputs, expected.outputs, "output");
}

} // namespace

std::shared_ptr<Model> Model::load(const std::filesystem::path& directory, const ModelConfiguration& configuration)
{
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) {
        loadFailure(directory.string() + ": model directory not found");
    }
    const auto manifestPath = directory / kStageManifestFile;
    const auto weightsPath = directory / kStageWeightsFile;
    std::shared_ptr<Model> model(new Model());
    model->directory_ = directory;
    model->configuration_ = configuration;
    model->manifest_ = readStageManifest(manifestPath);
    const std::string source = manifestPath.string();

    int threads = configuration.threadCount;
    if (threads <= 0) {
        threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    kernels::useSingleThreadedBlas();
    model->pool_ = std::make_unique<ThreadPool>(threads);

    const auto& stage = model->manifest_.stage;
    if (stage == kMelSpectrogramStage) {
        const auto parameters = melSpectrogramParameters(model->manifest_.parameters, source);
        requireDescription(model->manifest_, describeStage(parameters), source);
        const auto weights = SafeTensorsFile::open(weightsPath);
        model->stage_ = std::make_unique<MelSpectrogramStage>(parameters, weights, *model->pool_);
    } else if (stage == kAudioEncoderStage) {
        const auto parameters = audioEncoderParameters(model->manifest_.parameters, source);
        requireDescription(model->manifest_, describeStage(parameters), source);
        const auto weights = SafeTensorsFile::open(weightsPath);
        model->stage_ = std::make_unique<AudioEncoderStage>(parameters, weights, *model->pool_);
    } else if (stage == kTextDecoderStage) {
        const auto parameters = textDecoderParameters(model->manifest_.parameters, source);
        requireDescription(model->manifest_, describeStage(parameters), source);
        const auto weights = SafeTensorsFile::open(weightsPath);
        model->stage_ = std::make_unique<TextDecoderStage>(parameters, weights, *model->pool_);
    } else {
        loadFailure(source + ": unknown stage \"" + stage + "\"");
    }

    const auto& description = model->manifest_.description;
    model->inputs_.resize(description.inputs.size());
    model->outputs_.resize(description.outputs.size());
    model->outputPool_.resize(description.outputs.size());
    return model;
}

Model::~Model() = default;

MultiArray Model::outputArray(std::size_t index)
{
    for (auto& candidate : outputPool_[index]) {
        if (!candidate.empty() && candidate.handleCount() == 1) {
            return candidate;
        }
    }
    const auto& constraint = *manifest_.description.outputs[index].multiArrayConstraint;
    MultiArray fresh(constraint.shape, constraint.dataType);
    auto& slots = outputPool_[index];
    // Keep the new array in a free slot (or replace the older one, which a caller still holds).
    auto& slot = slots[0].empty() || slots[0].handleCount() == 1 ? slots[0] : slots[1];
    slot = fresh;
    return fresh;
}

DictionaryFeatureProvider Model::prediction(const FeatureProvider& input)
{
    std::lock_guard lock(mutex_);
    const auto& description = manifest_.description;
    const std::string stageName = directory_.filename().string();
    for (std::size_t i = 0; i < description.inputs.size(); ++i) {
        const auto& feature = description.inputs[i];
        const auto& constraint = *feature.multiArrayConstraint;
        auto value = input.featureValue(feature.name);
        std::optional<MultiArray> array;
        if (value) {
            array = value->multiArrayValue();
        }
        if (!array) {
            throw ModelError(ModelError::Kind::predictionFailed, stageName + ": input \"" + feature.name + "\" is missing");
        }
        if (array->dataType() != constraint.dataType || array->shape() != constraint.shape) {
            throw ModelError(ModelError::Kind::predictionFailed,
                stageName + ": input \"" + feature.name + "\" is " + MultiArray::shapeString(array->shape()) + " "
                    + toString(array->dataType()) + ", expected " + MultiArray::shapeString(constraint.shape) + " "
                    + toString(constraint.dataType));
        }
        inputs_[i] = std::move(*array);
    }
    for (std::size_t i = 0; i < description.outputs.size(); ++i) {
        outputs_[i] = outputArray(i);
    }
    try {
        stage_->predict(inputs_, outputs_);
    } catch (const ModelError& error) {
        for (auto& array : inputs_) {
            array = {};
        }
        throw ModelError(ModelError::Kind::predictionFailed, stageName + ": " + error.description());
    }
    DictionaryFeatureProvider result;
    for (std::size_t i = 0; i < description.outputs.size(); ++i) {
        result.set(description.outputs[i].name, std::move(outputs_[i]));
    }
    // Drop the input handles so the caller's arrays are not kept alive by the model.
    for (auto& array : inputs_) {
        array = {};
    }
    return result;
}

} // namespace auralis::runtime
