// The front end against the published filterbank values and end-to-end log-mel check values
// (Whisper's log-mel recipe evaluated in float64).
#include "Auralis/Runtime/MelSpectrogramStage.h"
#include "Auralis/Runtime/Model.h"
#include "Auralis/Runtime/SafeTensors.h"

#include "tests/Support/TemporaryDirectory.h"

#include "Foundation/FileIO.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace auralis::runtime {
namespace {

namespace fs = std::filesystem;

TEST(MelSpectrogramStage, FilterbankHasTheSlaneyWeights)
{
    struct Case {
        int mels, row, bin;
        double weight;
    };
    const Case cases[] = {
        { 80, 0, 1, 0.0248625949 }, { 80, 10, 10, 0.0199082177 }, { 80, 10, 11, 0.00495437486 },
        { 80, 40, 42, 0.00541110476 }, { 80, 40, 43, 0.0147355665 }, { 80, 40, 44, 0.0065181898 },
        { 80, 79, 192, 0.00316471187 }, { 80, 79, 199, 0.000448759005 }, { 80, 79, 185, 0.0 },
        { 128, 0, 1, 0.0123739867 }, { 128, 10, 6, 0.011289184 }, { 128, 10, 7, 0.00108480197 },
        { 128, 40, 24, 0.0403763652 }, { 128, 127, 195, 0.0050416016 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.mels) + " mels, row " + std::to_string(c.row) + ", bin " + std::to_string(c.bin));
        const auto filters = melFilterbank(16000, 400, c.mels);
        EXPECT_NEAR(filters[static_cast<std::size_t>(c.row) * 201 + c.bin], c.weight, 2e-9);
    }
    for (const int mels : { 80, 128 }) {
        const auto filters = melFilterbank(16000, 400, mels);
        double total = 0;
        for (int m = 0; m < mels; ++m) {
            EXPECT_EQ(filters[static_cast<std::size_t>(m) * 201], 0.0f);
            EXPECT_EQ(filters[static_cast<std::size_t>(m) * 201 + 200], 0.0f);
            for (int k = 0; k < 201; ++k) {
                total += filters[static_cast<std::size_t>(m) * 201 + k];
            }
        }
        EXPECT_NEAR(total, mels == 80 ? 1.99902415 : 3.19098544, 1e-6);
    }
}

class MelSpectrogramStageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const MelSpectrogramParameters parameters;
        const auto stage = directory_.path() / "MelSpectrogram.mlmodelc";
        fs::create_directory(stage);
        ASSERT_TRUE(hushnote::writeFileAtomically(stage / "model.json", serializeStageManifest(makeStageManifest(parameters))));
        SafeTensorsWriter weights;
        weights.addFloat32("mel_filters", { 80, 201 }, melFilterbank(16000, 400, 80));
        weights.write(stage / "weights.safetensors");
        model_ = Model::load(stage, { ComputeUnits::cpuAndGPU, 2 });
    }

    // [80, 3000], band-major.
    std::vector<float> logMel(const std::vector<float>& samples)
    {
        MultiArray audio({ 480000 }, MultiArrayDataType::float32);
        std::copy(samples.begin(), samples.end(), audio.float32Values().begin());
        const auto out = model_->prediction(DictionaryFeatureProvider { { "audio", audio } }).array("melspectrogram_features");
        EXPECT_EQ(out.shape(), (std::vector<std::int64_t> { 1, 80, 1, 3000 }));
        return { out.float32Values().begin(), out.float32Values().end() };
    }

    static float at(const std::vector<float>& mel, int band, int frame) { return mel[static_cast<std::size_t>(band) * 3000 + frame]; }

    hushnote::testing::TemporaryDirectory directory_;
    std::shared_ptr<Model> model_;
};

TEST_F(MelSpectrogramStageTest, SilenceIsTheFloorOfMinusOnePointFive)
{
    const auto mel = logMel(std::vector<float>(480000, 0.0f));
    for (std::size_t i = 0; i < mel.size(); ++i) {
        ASSERT_EQ(mel[i], -1.5f) << "index " << i;
    }
}

// A unit impulse at sample 8000 lands in frame 50 with symmetric neighbours: frame t is
// centred on sample 160 t.
TEST_F(MelSpectrogramStageTest, FramesAreCentredOnTheirHop)
{
    std::vector<float> samples(480000, 0.0f);
    samples[8000] = 1.0f;
    const auto mel = logMel(samples);
    const float band0[] = { -1.392209f, 0.088869f, 0.598887f, 0.088869f, -1.392209f };
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(at(mel, 0, 48 + i), band0[i], 1e-5f) << "frame " << 48 + i;
    }
    EXPECT_NEAR(at(mel, 79, 50), 0.599160f, 1e-5f);
    EXPECT_NEAR(*std::max_element(mel.begin(), mel.end()), 0.607791f, 1e-5f);
    EXPECT_NEAR(*std::min_element(mel.begin(), mel.end()), -1.392209f, 1e-5f);
}

TEST_F(MelSpectrogramStageTest, ClampsEightDecadesBelowTheWindowMaximum)
{
    std::vector<float> samples(480000, 0.0f);
    for (std::size_t n = 0; n < 16000; ++n) {
        samples[n] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(n) / 16000));
    }
    const auto mel = logMel(samples);
    EXPECT_NEAR(*std::max_element(mel.begin(), mel.end()), 1.327279f, 1e-5f);
    EXPECT_NEAR(*std::min_element(mel.begin(), mel.end()), -0.672721f, 1e-5f);
    EXPECT_NEAR(at(mel, 11, 50), 1.327279f, 1e-5f);
    EXPECT_NEAR(at(mel, 10, 50), 1.237814f, 1e-4f);
    EXPECT_NEAR(at(mel, 9, 50), 1.048467f, 1e-4f);
    EXPECT_NEAR(at(mel, 10, 100), 1.156487f, 1e-4f);
    EXPECT_NEAR(at(mel, 10, 101), 0.245756f, 1e-4f);
    EXPECT_NEAR(at(mel, 0, 2999), -0.672721f, 1e-5f);
}

} // namespace
} // namespace auralis::runtime
