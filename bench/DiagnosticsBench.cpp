// The logger sits on every dictation's path (about twenty events each), and record() opens,
// appends and closes the file every time, so its cost per event is worth watching.
#include "HushnoteApp/DiagnosticsLogger.h"
#include "HushnoteCore/FlowMetrics.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

namespace {

std::filesystem::path scratchDirectory()
{
    std::string pattern = "/tmp/hushnote-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    return pattern;
}

void BM_DiagnosticsLoggerRecord(benchmark::State& state)
{
    const auto dir = scratchDirectory();
    {
        hushnote::DiagnosticsLogger logger(dir / "logs");
        for (auto _ : state) {
            logger.record(hushnote::DiagnosticsLogEvent::Level::info, "dictation.state", "Transcribing locally with Whisper",
                {{"dictationID", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"}, {"state", "transcribing"}});
        }
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_DiagnosticsLoggerRecord);

void BM_FlowMetricsStoreRecord(benchmark::State& state)
{
    const auto dir = scratchDirectory();
    {
        hushnote::FlowMetricsStore store(dir / "metrics.json", 20);
        double value = 0;
        for (auto _ : state) {
            store.record(value += 1.5, hushnote::FlowStage::total);
        }
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_FlowMetricsStoreRecord);

} // namespace
