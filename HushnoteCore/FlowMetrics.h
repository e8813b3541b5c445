#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace hushnote {

enum class FlowStage {
    audioFinalization,
    whisperModelLoad,
    whisperTranscription,
    cleanupModelLoad,
    cleanup,
    insertion,
    total,
};

inline constexpr std::array kAllFlowStages{
    FlowStage::audioFinalization,
    FlowStage::whisperModelLoad,
    FlowStage::whisperTranscription,
    FlowStage::cleanupModelLoad,
    FlowStage::cleanup,
    FlowStage::insertion,
    FlowStage::total,
};

std::string_view toString(FlowStage stage);
std::optional<FlowStage> flowStageFromString(std::string_view text);

struct MetricSummary {
    int count = 0;
    double averageMilliseconds = 0;
    double p50Milliseconds = 0;
    double p95Milliseconds = 0;
    double latestMilliseconds = 0;

    bool operator==(const MetricSummary&) const = default;
};

// The most recent latency samples per stage, in milliseconds, oldest first. A plain value.
class FlowMetrics {
public:
    // Capacities below 1 become 1.
    explicit FlowMetrics(int capacity = 20);

    int capacity() const { return capacity_; }
    const std::map<FlowStage, std::vector<double>>& samples() const { return samples_; }

    // Drops NaN, infinities and negative values; keeps at most capacity() per stage.
    void record(double milliseconds, FlowStage stage);
    std::optional<MetricSummary> summary(FlowStage stage) const;
    std::map<FlowStage, MetricSummary> allSummaries() const;

    bool operator==(const FlowMetrics&) const = default;

    // "metrics.json" format: {"capacity": n, "samples": [stage, [ms...], stage, [ms...]]}.
    // fromJson throws nlohmann::json::exception (or std::invalid_argument) on any other shape.
    nlohmann::json toJson() const;
    static FlowMetrics fromJson(const nlohmann::json& json);

private:
    int capacity_;
    std::map<FlowStage, std::vector<double>> samples_;
};

// FlowMetrics behind a lock, saved atomically to a JSON file after every record. Thread-safe;
// never throws from record() or snapshot(); the lock is never held during file I/O.
class FlowMetricsStore {
public:
    FlowMetricsStore(std::filesystem::path url, int capacity);

    void record(double milliseconds, FlowStage stage);
    FlowMetrics snapshot() const;

    const std::filesystem::path& url() const { return url_; }

private:
    std::filesystem::path url_;
    mutable std::mutex mutex_;
    FlowMetrics metrics_;
};

} // namespace hushnote
