// The three stages of an imported generated checkpoint against outputs that an independent
// float64 NumPy implementation of the published architecture computed for the same
// checkpoint and signal (tests/Fixtures/whisper-reference/make_reference.py).
#include "Auralis/Runtime/ModelFolder.h"
#include "Auralis/Runtime/Npy.h"

#include "tests/Support/ImportedWhisperModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace auralis::runtime {
namespace {

using hushnote::testing::fixturesDirectory;
using hushnote::testing::ImportedWhisperModel;
using hushnote::testing::referenceSignal;
using hushnote::testing::WhisperCheckpointLayout;

NpyArray fixture(const char* name) { return readNpy(fixturesDirectory() / "whisper-reference" / name); }

// Largest absolute difference, reported with the index where it occurs.
void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, float tolerance, const char* what)
{
    ASSERT_EQ(actual.size(), expected.size()) << what;
    std::size_t worst = 0;
    float worstError = 0;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        const float error = std::fabs(actual[i] - expected[i]);
        if (!(error <= worstError)) {
            worstError = error;
            worst = i;
        }
    }
    EXPECT_LE(worstError, tolerance) << what << ": index " << worst << " is " << actual[worst] << ", reference " << expected[worst];
}

struct Outputs {
    std::vector<float> melFrames;
    std::vector<float> melSummary;
    std::vector<float> encoderColumns;
    std::vector<float> encoderSummary;
    std::vector<std::vector<float>> logits;
    std::vector<std::vector<float>> alignment;
};

Outputs run(const std::filesystem::path& folder, int threads)
{
    const auto tokens = fixture("tokens.npy").toInt64();
    const std::vector<std::int32_t> ids(tokens.begin(), tokens.end());
    const auto result = probeModelFolder(folder, referenceSignal(), ids, ModelConfiguration { ComputeUnits::cpuOnly, threads });

    Outputs out;
    const auto mel = result.melFeatures.float32Values();
    const std::size_t frames = 3000;
    const std::size_t mels = mel.size() / frames;
    double sum = 0;
    for (std::size_t m = 0; m < mels; ++m) {
        for (std::size_t t = 0; t < 160; ++t) {
            out.melFrames.push_back(mel[m * frames + t]);
        }
    }
    for (const float v : mel) {
        sum += v;
    }
    out.melSummary = { *std::max_element(mel.begin(), mel.end()), *std::min_element(mel.begin(), mel.end()),
        static_cast<float>(sum / static_cast<double>(mel.size())) };

    const auto encoder = result.encoderOutput.float32Values();
    const std::size_t positions = 1500;
    const std::size_t d = encoder.size() / positions;
    double squares = 0;
    sum = 0;
    for (std::size_t c = 0; c < d; ++c) {
        for (std::size_t t = 0; t < positions; t += 15) {
            out.encoderColumns.push_back(encoder[c * positions + t]);
        }
    }
    for (const float v : encoder) {
        sum += v;
        squares += static_cast<double>(v) * v;
    }
    out.encoderSummary = { static_cast<float>(sum / static_cast<double>(encoder.size())),
        static_cast<float>(squares / static_cast<double>(encoder.size())) };

    for (const auto& logits : result.logits) {
        std::vector<float> values(logits.count());
        convertHalfToFloat(logits.float16Bits().data(), values.data(), values.size());
        out.logits.push_back(std::move(values));
    }
    for (const auto& weights : result.alignmentWeights) {
        std::vector<float> columns;
        for (std::size_t t = 0; t < positions; t += 15) {
            columns.push_back(static_cast<float>(weights.value(t)));
        }
        out.alignment.push_back(std::move(columns));
    }
    return out;
}

std::size_t argmax(const std::vector<float>& values)
{
    return static_cast<std::size_t>(std::max_element(values.begin(), values.end()) - values.begin());
}

float logSumExp(const std::vector<float>& values)
{
    const float maximum = *std::max_element(values.begin(), values.end());
    double sum = 0;
    for (const float v : values) {
        sum += std::exp(static_cast<double>(v - maximum));
    }
    return maximum + static_cast<float>(std::log(sum));
}

void expectDecoderMatchesReference(const Outputs& out, float logitTolerance)
{
    const auto ids = fixture("logit_ids.npy").toInt64();
    const auto subset = fixture("logits_subset.npy").toFloat();
    const auto top = fixture("logits_top.npy").toInt64();
    const auto lse = fixture("logits_logsumexp.npy").toFloat();
    const auto alignment = fixture("alignment_columns.npy").toFloat();
    const std::size_t steps = lse.size();
    ASSERT_EQ(out.logits.size(), steps);
    ASSERT_EQ(out.alignment.size(), steps);
    for (std::size_t step = 0; step < steps; ++step) {
        SCOPED_TRACE("decoder step " + std::to_string(step));
        const auto& logits = out.logits[step];
        EXPECT_EQ(argmax(logits), static_cast<std::size_t>(top[step * 5]));
        std::vector<float> picked;
        for (const auto id : ids) {
            picked.push_back(logits[static_cast<std::size_t>(id)]);
        }
        expectClose(picked, std::vector<float>(subset.begin() + step * ids.size(), subset.begin() + (step + 1) * ids.size()),
            logitTolerance, "logits");
        EXPECT_NEAR(logSumExp(logits), lse[step], logitTolerance);
        expectClose(out.alignment[step], std::vector<float>(alignment.begin() + step * 100, alignment.begin() + (step + 1) * 100),
            5e-6f, "alignment weights");
    }
}

// float16 logits of magnitude up to 64 carry a rounding error of up to 0.016.
constexpr float kFloat16LogitTolerance = 0.03f;

TEST(WhisperReference, StagesOfAFloat32CheckpointMatchTheReference)
{
    const ImportedWhisperModel model;
    const Outputs out = run(model.modelFolder(), 2);
    expectClose(out.melFrames, fixture("mel_frames.npy").toFloat(), 1e-4f, "log-mel frames");
    expectClose(out.melSummary, fixture("mel_summary.npy").toFloat(), 1e-4f, "log-mel max, min, mean");
    expectClose(out.encoderColumns, fixture("encoder_columns.npy").toFloat(), 1e-4f, "encoder output");
    expectClose(out.encoderSummary, fixture("encoder_summary.npy").toFloat(), 1e-4f, "encoder mean, mean square");
    expectDecoderMatchesReference(out, kFloat16LogitTolerance);
}

TEST(WhisperReference, ResultsDoNotDependOnTheThreadCount)
{
    const ImportedWhisperModel model;
    const Outputs one = run(model.modelFolder(), 1);
    const Outputs three = run(model.modelFolder(), 3);
    expectClose(three.melFrames, one.melFrames, 1e-6f, "log-mel frames");
    expectClose(three.encoderColumns, one.encoderColumns, 1e-5f, "encoder output");
    for (std::size_t step = 0; step < one.logits.size(); ++step) {
        expectClose(three.logits[step], one.logits[step], 0.016f, "logits");
    }
}

// A checkpoint published in float16 holds the same model with rounded weights: the runtime
// converts them once at load and still follows the float64 reference of the float32 original.
TEST(WhisperReference, Float16CheckpointStaysCloseToTheReference)
{
    WhisperCheckpointLayout layout;
    layout.dtype = "F16";
    const ImportedWhisperModel model(layout);
    const Outputs out = run(model.modelFolder(), 2);
    expectClose(out.encoderColumns, fixture("encoder_columns.npy").toFloat(), 0.05f, "encoder output");
    const auto top = fixture("logits_top.npy").toInt64();
    for (std::size_t step = 0; step < out.logits.size(); ++step) {
        EXPECT_EQ(argmax(out.logits[step]), static_cast<std::size_t>(top[step * 5])) << "decoder step " << step;
    }
}

} // namespace
} // namespace auralis::runtime
