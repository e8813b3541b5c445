#include "HushnoteCore/FlowMetrics.h"

#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace hushnote {

// Readable failure messages instead of a byte dump.
void PrintTo(const FlowMetrics& metrics, std::ostream* out) { *out << metrics.toJson().dump(); }

namespace {

    using hushnote::testing::readFile;
    using hushnote::testing::TemporaryDirectory;
    using hushnote::testing::writeFile;

    TEST(FlowStage, StringFormsRoundTripInCaseOrder)
    {
        const std::vector<std::string> expected { "audioFinalization", "whisperModelLoad",
            "whisperTranscription", "cleanupModelLoad", "cleanup", "insertion", "total" };
        ASSERT_EQ(kAllFlowStages.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(toString(kAllFlowStages[i]), expected[i]);
            EXPECT_EQ(flowStageFromString(expected[i]), kAllFlowStages[i]);
        }
        EXPECT_EQ(flowStageFromString("Total"), std::nullopt);
        EXPECT_EQ(flowStageFromString(""), std::nullopt);
    }

    TEST(FlowMetrics, KeepsOnlyTheNewestSamplesUpToCapacity)
    {
        FlowMetrics metrics(20);
        std::vector<double> expected;
        for (int i = 1; i <= 21; ++i) {
            metrics.record(i * 10.0, FlowStage::total);
            if (i > 1) {
                expected.push_back(i * 10.0);
            }
        }
        EXPECT_EQ(metrics.samples().at(FlowStage::total), expected);
        const auto summary = metrics.summary(FlowStage::total);
        ASSERT_TRUE(summary.has_value());
        EXPECT_EQ(summary->count, 20);
        EXPECT_EQ(summary->latestMilliseconds, 210.0);
    }

    TEST(FlowMetrics, DropsNonFiniteAndNegativeValuesButKeepsZero)
    {
        FlowMetrics metrics;
        for (const double bad :
            { std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                -std::numeric_limits<double>::infinity(), -1.0, -0.001 }) {
            metrics.record(bad, FlowStage::cleanup);
        }
        EXPECT_EQ(metrics, FlowMetrics());
        EXPECT_EQ(metrics.summary(FlowStage::cleanup), std::nullopt);

        metrics.record(0, FlowStage::cleanup);
        EXPECT_EQ(metrics.samples().at(FlowStage::cleanup), std::vector<double> { 0.0 });
    }

    TEST(FlowMetrics, CapacityBelowOneBecomesOne)
    {
        for (const int given : { 0, -1, -100 }) {
            SCOPED_TRACE(given);
            FlowMetrics metrics(given);
            EXPECT_EQ(metrics.capacity(), 1);
            metrics.record(5, FlowStage::insertion);
            metrics.record(7, FlowStage::insertion);
            EXPECT_EQ(metrics.samples().at(FlowStage::insertion), std::vector<double> { 7.0 });
        }
    }

    TEST(FlowMetrics, SummariesInterpolateBetweenClosestRanks)
    {
        struct Case {
            const char* name;
            std::vector<double> recorded;
            MetricSummary expected;
        };
        const std::vector<Case> cases {
            { "single sample", { 120 }, { 1, 120, 120, 120, 120 } },
            { "two samples", { 100, 300 }, { 2, 200, 200, 290, 300 } },
            // Recorded out of order: percentiles use the sorted values, latest the newest one.
            { "four samples", { 400, 100, 300, 200 }, { 4, 250, 250, 385, 200 } },
            { "exact rank", { 30, 10, 20 }, { 3, 20, 20, 29, 20 } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            FlowMetrics metrics;
            for (const double value : c.recorded) {
                metrics.record(value, FlowStage::whisperTranscription);
            }
            const auto summary = metrics.summary(FlowStage::whisperTranscription);
            ASSERT_TRUE(summary.has_value());
            EXPECT_EQ(summary->count, c.expected.count);
            EXPECT_NEAR(summary->averageMilliseconds, c.expected.averageMilliseconds, 1e-9);
            EXPECT_NEAR(summary->p50Milliseconds, c.expected.p50Milliseconds, 1e-9);
            EXPECT_NEAR(summary->p95Milliseconds, c.expected.p95Milliseconds, 1e-9);
            EXPECT_EQ(summary->latestMilliseconds, c.expected.latestMilliseconds);
        }
    }

    TEST(FlowMetrics, AllSummariesHoldOnlyRecordedStages)
    {
        FlowMetrics metrics;
        metrics.record(900, FlowStage::total);
        metrics.record(40, FlowStage::audioFinalization);
        metrics.record(60, FlowStage::audioFinalization);

        const auto all = metrics.allSummaries();
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(all.at(FlowStage::total), metrics.summary(FlowStage::total).value());
        EXPECT_EQ(all.at(FlowStage::audioFinalization).count, 2);
        EXPECT_FALSE(all.contains(FlowStage::whisperModelLoad));
        EXPECT_EQ(metrics.summary(FlowStage::whisperModelLoad), std::nullopt);
    }

    TEST(FlowMetrics, DecodingRejectsAnOddLengthSampleList)
    {
        const auto json
            = nlohmann::json::parse(R"({"capacity":20,"samples":["total",[1],"cleanup"]})");
        EXPECT_ANY_THROW(FlowMetrics::fromJson(json));
    }

    TEST(FlowMetricsStore, ANewStoreReadsWhatTheLastOneWrote)
    {
        TemporaryDirectory directory;
        // The parent directory does not exist yet: saving creates it.
        const auto url = directory.path() / "support" / "metrics.json";
        FlowMetrics written;
        {
            FlowMetricsStore store(url, 20);
            store.record(120.5, FlowStage::total);
            store.record(0, FlowStage::total);
            store.record(33, FlowStage::insertion);
            written = store.snapshot();
        }
        EXPECT_EQ(FlowMetricsStore(url, 5).snapshot(), written);

        const std::string text = readFile(url);
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        const auto json = nlohmann::json::parse(text);
        EXPECT_EQ(json.at("capacity"), 20);
        const auto& flat = json.at("samples");
        ASSERT_TRUE(flat.is_array());
        ASSERT_EQ(flat.size(), 4u);
        std::map<FlowStage, std::vector<double>> decoded;
        for (std::size_t i = 0; i < flat.size(); i += 2) {
            const auto stage = flowStageFromString(flat[i].get<std::string>());
            ASSERT_TRUE(stage.has_value()) << flat[i];
            decoded[*stage] = flat[i + 1].get<std::vector<double>>();
        }
        EXPECT_EQ(decoded, written.samples());

        // The temporary file of each save is renamed over the target, never left behind.
        std::vector<std::filesystem::path> entries;
        for (const auto& entry : std::filesystem::directory_iterator(url.parent_path())) {
            entries.push_back(entry.path().filename());
        }
        EXPECT_EQ(entries, std::vector<std::filesystem::path> { "metrics.json" });
    }

    FlowMetrics metricsWith(int capacity, std::map<FlowStage, std::vector<double>> samples)
    {
        FlowMetrics metrics(capacity);
        for (const auto& [stage, list] : samples) {
            for (const double value : list) {
                metrics.record(value, stage);
            }
        }
        return metrics;
    }

    TEST(FlowMetricsStore, LoadsDamagedOrHostileFilesWithoutFailing)
    {
        constexpr int kGiven = 7;
        const FlowMetrics empty(kGiven);
        struct Case {
            const char* name;
            std::optional<std::string> content; // nullopt: no file at all
            FlowMetrics expected;
        };
        const std::vector<Case> cases {
            { "missing file", std::nullopt, empty },
            { "empty file", "", empty },
            { "truncated", R"({"capacity":3,"samples":["total",[1,)", empty },
            { "not an object", R"([3,["total",[1]]])", empty },
            { "odd-length samples", R"({"capacity":3,"samples":["total",[1],"cleanup"]})", empty },
            { "unknown stage", R"({"capacity":3,"samples":["lunch",[1]]})", empty },
            { "stage listed twice", R"({"capacity":3,"samples":["total",[1],"total",[2]]})",
                empty },
            { "stage not a string", R"({"capacity":3,"samples":[4,[1]]})", empty },
            { "list not an array", R"({"capacity":3,"samples":["total",1]})", empty },
            { "samples not an array", R"({"capacity":3,"samples":{"total":[1]}})", empty },
            { "missing samples", R"({"capacity":3})", empty },
            { "non-number sample", R"({"capacity":3,"samples":["total",[1,"2"]]})", empty },
            { "capacity as string", R"({"capacity":"3","samples":[]})", empty },
            { "fractional capacity", R"({"capacity":2.5,"samples":[]})", empty },
            { "capacity beyond any integer", R"({"capacity":1e30,"samples":[]})", empty },
            { "valid file wins over the given capacity",
                R"({"capacity":3,"samples":["total",[1,2]]})",
                metricsWith(3, { { FlowStage::total, { 1, 2 } } }) },
            { "negative capacity", R"({"capacity":-4,"samples":["cleanup",[5]]})",
                metricsWith(1, { { FlowStage::cleanup, { 5 } } }) },
            { "enormous capacity", R"({"capacity":1000000000000,"samples":[]})",
                FlowMetrics(10'000) },
            { "capacity beyond 64 bits signed", R"({"capacity":18446744073709551615,"samples":[]})",
                FlowMetrics(10'000) },
            { "sample beyond double range", R"({"capacity":3,"samples":["total",[1e400]]})",
                empty },
            { "huge and negative samples", R"({"capacity":3,"samples":["total",[1e308,-2,4]]})",
                metricsWith(3, { { FlowStage::total, { 1e308, 4 } } }) },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            TemporaryDirectory directory;
            const auto url = directory.path() / "metrics.json";
            if (c.content) {
                writeFile(url, *c.content);
            }
            const FlowMetricsStore store(url, kGiven);
            EXPECT_EQ(store.snapshot(), c.expected);
        }
    }

    TEST(FlowMetricsStore, StoredListsLongerThanCapacityAreTrimmedByTheNextRecord)
    {
        TemporaryDirectory directory;
        const auto url = directory.path() / "metrics.json";
        writeFile(url, R"({"capacity":2,"samples":["total",[1,2,3,4],"cleanup",[9,8,7]]})");
        FlowMetricsStore store(url, 20);
        EXPECT_EQ(store.snapshot().samples().at(FlowStage::total).size(), 4u);

        store.record(5, FlowStage::total);
        const auto samples = store.snapshot().samples();
        EXPECT_EQ(samples.at(FlowStage::total), (std::vector<double> { 4, 5 }));
        EXPECT_EQ(samples.at(FlowStage::cleanup), (std::vector<double> { 9, 8, 7 }));
    }

    TEST(FlowMetricsStore, AFailedSaveKeepsTheSamplesInMemory)
    {
        TemporaryDirectory directory;
        writeFile(directory.path() / "blocker", "a file where a directory should be");
        FlowMetricsStore store(directory.path() / "blocker" / "metrics.json", 20);

        EXPECT_NO_THROW(store.record(250, FlowStage::total));
        EXPECT_NO_THROW(store.record(260, FlowStage::total));
        EXPECT_EQ(
            store.snapshot().samples().at(FlowStage::total), (std::vector<double> { 250, 260 }));
        EXPECT_FALSE(std::filesystem::exists(directory.path() / "blocker" / "metrics.json"));
    }

    TEST(FlowMetricsStore, ConcurrentRecordsAreAllCounted)
    {
        TemporaryDirectory directory;
        const auto url = directory.path() / "metrics.json";
        constexpr int kThreads = 4;
        constexpr int kPerThread = 50;
        FlowMetricsStore store(url, 1000);
        {
            std::vector<std::jthread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&store, t] {
                    const auto stage = t % 2 == 0 ? FlowStage::cleanup : FlowStage::insertion;
                    for (int i = 0; i < kPerThread; ++i) {
                        store.record(i, stage);
                        store.record(i, FlowStage::total);
                    }
                });
            }
        }
        const auto summaries = store.snapshot().allSummaries();
        EXPECT_EQ(summaries.at(FlowStage::total).count, kThreads * kPerThread);
        EXPECT_EQ(summaries.at(FlowStage::cleanup).count, kThreads / 2 * kPerThread);
        EXPECT_EQ(summaries.at(FlowStage::insertion).count, kThreads / 2 * kPerThread);

        // Racing saves each replace the whole file, so whichever landed last is still readable.
        const FlowMetricsStore reloaded(url, 5);
        EXPECT_EQ(reloaded.snapshot().capacity(), 1000);
        EXPECT_FALSE(reloaded.snapshot().samples().empty());
    }

} // namespace
} // namespace hushnote
