#include "HushnoteCore/FlowMetrics.h"

#include "Foundation/FileIO.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>


namespace hushnote {

namespace {

    // A stored capacity is untrusted input; bounding it keeps a hostile file from making every
    // later record keep an unbounded history.
    constexpr std::int64_t kMaxStoredCapacity = 10'000;

    bool isRecordable(double milliseconds)
    {
        return std::isfinite(milliseconds) && milliseconds >= 0;
    }

    double percentile(const std::vector<double>& sorted, double fraction)
    {
        if (sorted.size() == 1) {
            return sorted.front();
        }
        const double position = fraction * static_cast<double>(sorted.size() - 1);
        const auto lo = static_cast<std::size_t>(std::floor(position));
        const auto hi = static_cast<std::size_t>(std::ceil(position));
        if (lo == hi) {
            return sorted[lo];
        }
        return sorted[lo] + (position - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
    }

    int decodeCapacity(const nlohmann::json& value)
    {
        std::int64_t capacity = 0;
        if (value.is_number_unsigned()) {
            const auto raw = value.get<std::uint64_t>();
            capacity = raw > static_cast<std::uint64_t>(kMaxStoredCapacity)
                ? kMaxStoredCapacity
                : static_cast<std::int64_t>(raw);
        } else if (value.is_number_integer()) {
            capacity = value.get<std::int64_t>();
        } else {
            throw std::invalid_argument("metrics capacity is not an integer");
        }
        return static_cast<int>(std::clamp<std::int64_t>(capacity, 1, kMaxStoredCapacity));
    }

    std::optional<FlowMetrics> loadMetrics(const std::filesystem::path& url)
    {
        const auto content = readWholeFile(url);
        if (!content) {
            return std::nullopt;
        }
        try {
            return FlowMetrics::fromJson(nlohmann::json::parse(*content));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    void saveMetrics(const std::filesystem::path& url, const FlowMetrics& metrics)
    {
        try {
            std::error_code ignored;
            std::filesystem::create_directories(url.parent_path(), ignored);
            // Saves are not serialised with each other; the atomic write gives each its own
            // temporary file.
            writeFileAtomically(url, metrics.toJson().dump());
        } catch (const std::exception&) {
            // The samples stay in memory; the next record tries again.
        }
    }

} // namespace

std::string_view toString(FlowStage stage)
{
    switch (stage) {
    case FlowStage::audioFinalization:
        return "audioFinalization";
    case FlowStage::whisperModelLoad:
        return "whisperModelLoad";
    case FlowStage::whisperTranscription:
        return "whisperTranscription";
    case FlowStage::cleanupModelLoad:
        return "cleanupModelLoad";
    case FlowStage::cleanup:
        return "cleanup";
    case FlowStage::insertion:
        return "insertion";
    case FlowStage::total:
        return "total";
    }
    return "total";
}

std::optional<FlowStage> flowStageFromString(std::string_view text)
{
    for (const auto stage : kAllFlowStages) {
        if (toString(stage) == text) {
            return stage;
        }
    }
    return std::nullopt;
}

FlowMetrics::FlowMetrics(int capacity)
    : capacity_(std::max(capacity, 1))
{
}

void FlowMetrics::record(double milliseconds, FlowStage stage)
{
    if (!isRecordable(milliseconds)) {
        return;
    }
    auto& list = samples_[stage];
    list.push_back(milliseconds);
    // A loaded list may already be longer than the capacity, so trim to it rather than by one.
    const auto limit = static_cast<std::size_t>(capacity_);
    if (list.size() > limit) {
        list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() - limit));
    }
}

std::optional<MetricSummary> FlowMetrics::summary(FlowStage stage) const
{
    const auto found = samples_.find(stage);
    if (found == samples_.end() || found->second.empty()) {
        return std::nullopt;
    }
    const auto& list = found->second;

    double sum = 0;
    for (const double value : list) {
        sum += value;
    }
    std::vector<double> sorted = list;
    std::sort(sorted.begin(), sorted.end());

    MetricSummary result;
    result.count = static_cast<int>(list.size());
    result.averageMilliseconds = sum / static_cast<double>(list.size());
    result.p50Milliseconds = percentile(sorted, 0.5);
    result.p95Milliseconds = percentile(sorted, 0.95);
    result.latestMilliseconds = list.back();
    return result;
}

std::map<FlowStage, MetricSummary> FlowMetrics::allSummaries() const
{
    std::map<FlowStage, MetricSummary> result;
    for (const auto stage : kAllFlowStages) {
        if (auto stageSummary = summary(stage)) {
            result.emplace(stage, *stageSummary);
        }
    }
    return result;
}

nlohmann::json FlowMetrics::toJson() const
{
    auto flat = nlohmann::json::array();
    for (const auto& [stage, list] : samples_) {
        flat.push_back(std::string(toString(stage)));
        flat.push_back(list);
    }
    return nlohmann::json { { "capacity", capacity_ }, { "samples", std::move(flat) } };
}

FlowMetrics FlowMetrics::fromJson(const nlohmann::json& json)
{
    FlowMetrics metrics(decodeCapacity(json.at("capacity")));

    const auto& flat = json.at("samples");
    if (!flat.is_array()) {
        throw std::invalid_argument("metrics samples is not an array");
    }
    if (flat.size() % 2 != 0) {
        throw std::invalid_argument("metrics samples has a stage without a list");
    }
    for (std::size_t i = 0; i < flat.size(); i += 2) {
        const auto stage = flowStageFromString(flat[i].get<std::string>());
        if (!stage) {
            throw std::invalid_argument("metrics samples names an unknown stage");
        }
        if (metrics.samples_.contains(*stage)) {
            throw std::invalid_argument("metrics samples lists a stage twice");
        }
        const auto& values = flat[i + 1];
        if (!values.is_array()) {
            throw std::invalid_argument("metrics samples has a list that is not an array");
        }
        std::vector<double> list;
        list.reserve(values.size());
        for (const auto& value : values) {
            if (!value.is_number()) {
                throw std::invalid_argument("metrics samples has a value that is not a number");
            }
            // record never produces a negative value; dropping one keeps a hand-edited file
            // from poisoning the summaries without discarding the rest.
            const double milliseconds = value.get<double>();
            if (isRecordable(milliseconds)) {
                list.push_back(milliseconds);
            }
        }
        // Lists longer than the capacity are kept as stored; the next record trims them.
        if (!list.empty()) {
            metrics.samples_.emplace(*stage, std::move(list));
        }
    }
    return metrics;
}

FlowMetricsStore::FlowMetricsStore(std::filesystem::path url, int capacity)
    : url_(std::move(url))
    , metrics_(loadMetrics(url_).value_or(FlowMetrics(capacity)))
{
}

void FlowMetricsStore::record(double milliseconds, FlowStage stage)
{
    try {
        FlowMetrics copy;
        {
            const std::lock_guard lock(mutex_);
            metrics_.record(milliseconds, stage);
            copy = metrics_;
        }
        saveMetrics(url_, copy);
    } catch (const std::exception&) {
        // Only allocation or lock failures land here; dropping one sample beats failing a
        // dictation over a latency figure.
    }
}

FlowMetrics FlowMetricsStore::snapshot() const
{
    const std::lock_guard lock(mutex_);
    return metrics_;
}

} // namespace hushnote
