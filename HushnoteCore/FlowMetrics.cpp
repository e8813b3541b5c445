#include "HushnoteCore/FlowMetrics.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace hushnote {

namespace {

// A stored file may claim any capacity; more than this is never meaningful for display and
// must not make us keep (or reserve) unbounded samples.
constexpr long long kMaximumCapacity = 10'000;

int clampCapacity(long long capacity)
{
    return static_cast<int>(std::clamp<long long>(capacity, 1, kMaximumCapacity));
}

double percentile(const std::vector<double>& sorted, double q)
{
    if (sorted.size() == 1) {
        return sorted.front();
    }
    const double position = q * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(position));
    const auto hi = static_cast<std::size_t>(std::ceil(position));
    if (lo == hi) {
        return sorted[lo];
    }
    return sorted[lo] + (position - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

} // namespace

std::string_view toString(FlowStage stage)
{
    switch (stage) {
    case FlowStage::audioFinalization: return "audioFinalization";
    case FlowStage::whisperModelLoad: return "whisperModelLoad";
    case FlowStage::whisperTranscription: return "whisperTranscription";
    case FlowStage::cleanupModelLoad: return "cleanupModelLoad";
    case FlowStage::cleanup: return "cleanup";
    case FlowStage::insertion: return "insertion";
    case FlowStage::total: return "total";
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

FlowMetrics::FlowMetrics(int capacity) : capacity_(clampCapacity(capacity)) {}

void FlowMetrics::record(double milliseconds, FlowStage stage)
{
    if (!std::isfinite(milliseconds) || milliseconds < 0) {
        return;
    }
    auto& list = samples_[stage];
    list.push_back(milliseconds);
    if (list.size() > static_cast<std::size_t>(capacity_)) {
        list.erase(list.begin(), list.end() - capacity_);
    }
}

std::optional<MetricSummary> FlowMetrics::summary(FlowStage stage) const
{
    const auto it = samples_.find(stage);
    if (it == samples_.end() || it->second.empty()) {
        return std::nullopt;
    }
    const auto& list = it->second;
    MetricSummary summary;
    summary.count = static_cast<int>(list.size());
    double sum = 0;
    for (const double value : list) {
        sum += value;
    }
    summary.averageMilliseconds = sum / static_cast<double>(list.size());
    auto sorted = list;
    std::sort(sorted.begin(), sorted.end());
    summary.p50Milliseconds = percentile(sorted, 0.5);
    summary.p95Milliseconds = percentile(sorted, 0.95);
    summary.latestMilliseconds = list.back();
    return summary;
}

std::map<FlowStage, MetricSummary> FlowMetrics::allSummaries() const
{
    std::map<FlowStage, MetricSummary> out;
    for (const auto stage : kAllFlowStages) {
        if (auto s = summary(stage)) {
            out.emplace(stage, *s);
        }
    }
    return out;
}

nlohmann::json FlowMetrics::toJson() const
{
    auto flat = nlohmann::json::array();
    for (const auto& [stage, list] : samples_) {
        flat.push_back(std::string(toString(stage)));
        flat.push_back(list);
    }
    return nlohmann::json{{"capacity", capacity_}, {"samples", flat}};
}

FlowMetrics FlowMetrics::fromJson(const nlohmann::json& json)
{
    if (!json.is_object()) {
        throw std::invalid_argument("metrics must be an object");
    }
    const auto& capacity = json.at("capacity");
    if (!capacity.is_number_integer()) {
        throw std::invalid_argument("capacity must be an integer");
    }
    // Unsigned values beyond the signed range read as "huge", which clamps to the maximum.
    const long long storedCapacity = capacity.is_number_unsigned()
        ? static_cast<long long>(std::min<std::uint64_t>(capacity.get<std::uint64_t>(), kMaximumCapacity))
        : capacity.get<long long>();
    FlowMetrics metrics(clampCapacity(storedCapacity));

    const auto& flat = json.at("samples");
    if (!flat.is_array() || flat.size() % 2 != 0) {
        throw std::invalid_argument("samples must alternate stage names and lists");
    }
    for (std::size_t i = 0; i < flat.size(); i += 2) {
        if (!flat[i].is_string() || !flat[i + 1].is_array()) {
            throw std::invalid_argument("malformed samples entry");
        }
        const auto stage = flowStageFromString(flat[i].get<std::string>());
        if (!stage) {
            throw std::invalid_argument("unknown stage");
        }
        std::vector<double> list;
        for (const auto& value : flat[i + 1]) {
            if (!value.is_number()) {
                throw std::invalid_argument("sample must be a number");
            }
            const double ms = value.get<double>();
            if (std::isfinite(ms) && ms >= 0) {
                list.push_back(ms);
            }
        }
        // Keep the newest when a file holds more than any capacity we would ever use.
        if (list.size() > static_cast<std::size_t>(kMaximumCapacity)) {
            list.erase(list.begin(), list.end() - kMaximumCapacity);
        }
        metrics.samples_[*stage] = std::move(list);
    }
    return metrics;
}

FlowMetricsStore::FlowMetricsStore(std::filesystem::path url, int capacity)
    : url_(std::move(url))
    , metrics_(capacity)
{
    std::ifstream in(url_, std::ios::binary);
    if (!in) {
        return;
    }
    try {
        metrics_ = FlowMetrics::fromJson(nlohmann::json::parse(in));
    } catch (const std::exception&) {
        metrics_ = FlowMetrics(capacity);
    }
}

void FlowMetricsStore::record(double milliseconds, FlowStage stage)
{
    FlowMetrics copy;
    {
        std::lock_guard lock(mutex_);
        metrics_.record(milliseconds, stage);
        copy = metrics_;
    }
    try {
        const auto data = copy.toJson().dump();
        std::error_code ignored;
        std::filesystem::create_directories(url_.parent_path(), ignored);
        auto temporary = url_;
        temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out << data;
            out.close();
            if (!out) {
                std::filesystem::remove(temporary, ignored);
                return;
            }
        }
        std::filesystem::rename(temporary, url_, ignored);
        if (ignored) {
            std::filesystem::remove(temporary, ignored);
        }
    } catch (const std::exception&) {
        // The samples stay in memory; the previous file stays in place.
    }
}

FlowMetrics FlowMetricsStore::snapshot() const
{
    std::lock_guard lock(mutex_);
    return metrics_;
}

} // namespace hushnote
