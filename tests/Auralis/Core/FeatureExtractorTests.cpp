#include "Auralis/Core/AudioEncoder.h"
#include "Auralis/Core/FeatureExtractor.h"
#include "Auralis/Core/ModelComputeOptions.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Utilities/WhisperError.h"

#include "tests/Support/ImportedWhisperModel.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <gtest/gtest.h>

namespace auralis {
namespace {

using hushnote::testing::ImportedWhisperModel;
using runtime::MultiArray;
using runtime::MultiArrayDataType;

template <typename T>
T runOnLoop(asio::awaitable<T> operation)
{
    asio::io_context loop;
    auto future = asio::co_spawn(loop, std::move(operation), asio::use_future);
    loop.run();
    return future.get();
}

void expectWhisperError(const std::function<void()>& action, WhisperError::Kind kind, const std::string& message)
{
    try {
        action();
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.description(), message);
    }
}

class ModelWrapperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { model_ = new ImportedWhisperModel(); }
    static void TearDownTestSuite() { delete model_; }
    static std::filesystem::path stage(const char* name) { return model_->modelFolder() / name; }
    static inline ImportedWhisperModel* model_ = nullptr;
};

TEST(ModelComputeOptions, DefaultsGiveTheEncoderAndDecoderTheNeuralEngine)
{
    const ModelComputeOptions defaults;
    EXPECT_EQ(defaults.melCompute, MLComputeUnits::cpuAndGPU);
    EXPECT_EQ(defaults.audioEncoderCompute, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(defaults.textDecoderCompute, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(ModelComputeOptions(MLComputeUnits::cpuOnly).audioEncoderCompute, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(ModelComputeOptions(MLComputeUnits::all, MLComputeUnits::cpuOnly, MLComputeUnits::all).audioEncoderCompute,
        MLComputeUnits::cpuOnly);
}

TEST_F(ModelWrapperTest, WithoutAModelSizesAreAbsentAndStagesRefuseToRun)
{
    FeatureExtractor extractor;
    AudioEncoder encoder;
    EXPECT_EQ(extractor.modelState(), ModelLoadState::unloaded);
    EXPECT_FALSE(extractor.melCount());
    EXPECT_FALSE(extractor.windowSamples());
    EXPECT_FALSE(encoder.embedSize());
    EXPECT_FALSE(encoder.sequenceLength());
    const MultiArray window({ 480000 }, MultiArrayDataType::float32);
    expectWhisperError([&] { runOnLoop(extractor.logMelSpectrogram(window)); }, WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    expectWhisperError([&] { runOnLoop(encoder.encodeFeatures(window)); }, WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    expectWhisperError([&] { runOnLoop(extractor.logMelSpectrogram(MultiArray())); }, WhisperError::Kind::audioProcessingFailed,
        "FeatureExtractor input must be MLMultiArray");
    expectWhisperError([&] { runOnLoop(encoder.encodeFeatures(MultiArray())); }, WhisperError::Kind::audioProcessingFailed,
        "AudioEncoder input must be MLMultiArray");
}

TEST_F(ModelWrapperTest, PrewarmingLoadsButKeepsTheWrapperUnloaded)
{
    FeatureExtractor extractor;
    runOnLoop(extractor.loadModel(stage("MelSpectrogram.mlmodelc"), MLComputeUnits::cpuAndGPU, true));
    EXPECT_EQ(extractor.modelState(), ModelLoadState::unloaded);
    EXPECT_EQ(extractor.model(), nullptr);
    EXPECT_THROW(runOnLoop(extractor.loadModel(stage("Missing.mlmodelc"), MLComputeUnits::cpuAndGPU, true)), runtime::ModelError);
}

TEST_F(ModelWrapperTest, LoadedStagesReadTheirSizesAndRunOneWindow)
{
    FeatureExtractor extractor;
    AudioEncoder encoder;
    runOnLoop(extractor.loadModel(stage("MelSpectrogram.mlmodelc"), MLComputeUnits::cpuAndGPU, false));
    runOnLoop(encoder.loadModel(stage("AudioEncoder.mlmodelc"), MLComputeUnits::cpuAndNeuralEngine, false));
    EXPECT_EQ(extractor.modelState(), ModelLoadState::loaded);
    EXPECT_EQ(extractor.model()->configuration().computeUnits, MLComputeUnits::cpuAndGPU);
    EXPECT_EQ(extractor.windowSamples(), 480000);
    EXPECT_EQ(extractor.melCount(), 80);
    EXPECT_EQ(encoder.embedSize(), 64);
    EXPECT_EQ(encoder.sequenceLength(), 1500);

    MultiArray window({ 480000 }, MultiArrayDataType::float32);
    const auto signal = hushnote::testing::referenceSignal();
    std::copy(signal.begin(), signal.end(), window.float32Values().begin());
    const auto features = runOnLoop(extractor.logMelSpectrogram(window));
    ASSERT_TRUE(features);
    EXPECT_EQ(features->shape(), (std::vector<std::int64_t> { 1, 80, 1, 3000 }));
    const auto embeddings = runOnLoop(encoder.encodeFeatures(*features));
    ASSERT_TRUE(embeddings);
    EXPECT_EQ(embeddings->shape(), (std::vector<std::int64_t> { 1, 64, 1, 1500 }));

    // A failed load leaves the loaded model in place; unloading drops it.
    const auto before = extractor.model();
    EXPECT_THROW(runOnLoop(extractor.loadModel(stage("Missing.mlmodelc"), MLComputeUnits::cpuAndGPU, false)), runtime::ModelError);
    EXPECT_EQ(extractor.model(), before);
    extractor.unloadModel();
    EXPECT_EQ(extractor.modelState(), ModelLoadState::unloaded);
    EXPECT_FALSE(extractor.melCount());
}

TEST_F(ModelWrapperTest, AWindowOfTheWrongLengthFailsInThePrediction)
{
    FeatureExtractor extractor;
    runOnLoop(extractor.loadModel(stage("MelSpectrogram.mlmodelc"), MLComputeUnits::cpuAndGPU, false));
    try {
        runOnLoop(extractor.logMelSpectrogram(MultiArray({ 16000 }, MultiArrayDataType::float32)));
        ADD_FAILURE() << "no error";
    } catch (const runtime::ModelError& error) {
        EXPECT_NE(error.description().find("input \"audio\" is [16000] float32, expected [480000] float32"), std::string::npos)
            << error.description();
    }
}

TEST_F(ModelWrapperTest, ACancelledOperationStopsBeforePredicting)
{
    FeatureExtractor extractor;
    runOnLoop(extractor.loadModel(stage("MelSpectrogram.mlmodelc"), MLComputeUnits::cpuAndGPU, false));
    asio::io_context loop;
    asio::cancellation_signal cancel;
    auto future = asio::co_spawn(loop, extractor.logMelSpectrogram(MultiArray({ 480000 }, MultiArrayDataType::float32)),
        asio::bind_cancellation_slot(cancel.slot(), asio::use_future));
    cancel.emit(asio::cancellation_type::terminal);
    loop.run();
    try {
        future.get();
        ADD_FAILURE() << "the cancelled extraction ran";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), asio::error::operation_aborted);
    }
}

TEST(MelSpectrogramInput, ListsOnlyItsOwnFeature)
{
    const MelSpectrogramInput input(MultiArray({ 4 }, MultiArrayDataType::float32));
    EXPECT_EQ(input.featureNames(), std::vector<std::string> { "audio" });
    EXPECT_TRUE(input.featureValue("audio"));
    EXPECT_FALSE(input.featureValue("melspectrogram_features"));
    const AudioEncoderInput encoderInput(MultiArray({ 4 }, MultiArrayDataType::float32));
    EXPECT_EQ(encoderInput.featureNames(), std::vector<std::string> { "melspectrogram_features" });
    EXPECT_FALSE(encoderInput.featureValue("audio"));
}

} // namespace
} // namespace auralis
