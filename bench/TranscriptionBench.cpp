// End-to-end transcription through the Auralis facade on random weights of
// openai/whisper-small's shape, with decoding capped at a fixed number of tokens per window
// (sample length 32, no temperature fallback). Reports where the decoding loop's time goes:
// model predictions against everything else the loop does per step (filters, sampling,
// key/value cache updates, bookkeeping), and that remainder as a share of a decoder step.
// Target: the non-prediction share stays under 5 % of a step.
//
// Run: build-bench/bin/hushnote_bench --benchmark_filter=Transcription
#include "Auralis/Core/Auralis.h"
#include "Auralis/Runtime/ModelImporter.h"

#include "tests/Support/WhisperCheckpoint.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>

namespace {

namespace fs = std::filesystem;

template <typename T>
T await(asio::awaitable<T> operation)
{
    asio::io_context context;
    auto future = asio::co_spawn(context, std::move(operation), asio::use_future);
    context.run();
    return future.get();
}

// The whisper-small-shaped engine, generated, imported and loaded once per run.
class SmallEngine {
public:
    static auralis::Auralis& instance()
    {
        static SmallEngine engine;
        return *engine.engine_;
    }

private:
    SmallEngine()
    {
        std::string pattern = (fs::temp_directory_path() / "hushnote-bench-engine-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        const fs::path root = pattern;
        hushnote::testing::WhisperCheckpointLayout layout;
        layout.dModel = 768;
        layout.encoderLayers = 12;
        layout.decoderLayers = 12;
        layout.heads = 12;
        layout.ffnDim = 3072;
        layout.alignmentHeads = { { 5, 3 }, { 5, 9 }, { 8, 0 }, { 8, 4 }, { 8, 7 }, { 8, 8 }, { 9, 0 }, { 9, 7 }, { 9, 9 }, { 10, 5 } };
        hushnote::testing::writeWhisperCheckpoint(root / "checkpoint", layout);
        auralis::runtime::importCheckpoint(root / "checkpoint", root / "model");
        fs::remove_all(root / "checkpoint");
        auralis::AuralisConfig config;
        config.modelFolder = (root / "model").string();
        engine_ = await(auralis::Auralis::create(config));
        fs::remove_all(root);
    }

    std::unique_ptr<auralis::Auralis> engine_;
};

std::vector<float> noise(double seconds)
{
    std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
    std::mt19937 random(11);
    std::normal_distribution<float> distribution(0.0f, 0.1f);
    for (auto& sample : samples) {
        sample = distribution(random);
    }
    return samples;
}

void BM_TranscriptionEndToEnd(benchmark::State& state)
{
    auto& engine = SmallEngine::instance();
    const auto audio = noise(static_cast<double>(state.range(0)));
    auralis::DecodingOptionsArguments arguments;
    arguments.sampleLength = 32;
    arguments.temperatureFallbackCount = 0;
    arguments.withoutTimestamps = false;
    const auralis::DecodingOptions options(arguments);

    auralis::TranscriptionTimings fastest;
    fastest.fullPipeline = 0;
    for (auto _ : state) {
        engine.clearState();
        const auto results = await(engine.transcribe(audio, options));
        const auto timings = results.at(0)->timings();
        if (fastest.fullPipeline == 0 || timings.fullPipeline < fastest.fullPipeline) {
            fastest = timings;
        }
    }
    const double steps = std::max(1.0, fastest.totalDecodingLoops);
    const double predictionPerStep = fastest.decodingPredictions / steps;
    const double nonPredictionPerStep = fastest.decodingNonPrediction / steps;
    state.counters["full_ms"] = fastest.fullPipeline * 1e3;
    state.counters["mel_ms"] = fastest.logmels * 1e3;
    state.counters["encoder_ms"] = fastest.encoding * 1e3;
    state.counters["steps"] = fastest.totalDecodingLoops;
    state.counters["prediction_ms_per_step"] = predictionPerStep * 1e3;
    state.counters["non_prediction_us_per_step"] = nonPredictionPerStep * 1e6;
    state.counters["filtering_us_per_step"] = fastest.decodingFiltering / steps * 1e6;
    state.counters["sampling_us_per_step"] = fastest.decodingSampling / steps * 1e6;
    state.counters["kv_caching_us_per_step"] = fastest.decodingKvCaching / steps * 1e6;
    state.counters["non_prediction_share_pct"] = predictionPerStep > 0 ? 100.0 * nonPredictionPerStep / predictionPerStep : 0;
}

} // namespace

BENCHMARK(BM_TranscriptionEndToEnd)->Arg(5)->Arg(30)->Unit(benchmark::kMillisecond)->Iterations(3);
