#include "HushnoteApp/FunctionKeyMonitor.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace hushnote {
namespace {

// Counts how often it runs, and lets the test report through it.
class ScriptedKeySource final : public KeySource {
public:
    explicit ScriptedKeySource(int& running, bool failing = false) : running_(running), failing_(failing) {}
    ~ScriptedKeySource() override { stop(); }

    void start(KeyReports reports) override
    {
        stop();
        if (failing_) {
            throw std::runtime_error("no such device");
        }
        reports_ = std::move(reports);
        started_ = true;
        ++running_;
    }
    void stop() override
    {
        if (started_) {
            started_ = false;
            --running_;
            reports_ = {};
        }
    }

    void key(bool pressed)
    {
        if (reports_.dictationKey) {
            reports_.dictationKey(pressed);
        }
    }
    void other()
    {
        if (reports_.otherKeyPressed) {
            reports_.otherKeyPressed();
        }
    }

private:
    int& running_;
    bool failing_;
    bool started_ = false;
    KeyReports reports_;
};

struct MonitorHarness {
    MonitorHarness()
    {
        auto a = std::make_unique<ScriptedKeySource>(runningA);
        auto b = std::make_unique<ScriptedKeySource>(runningB);
        first = a.get();
        second = b.get();
        monitor.addSource(std::move(a));
        monitor.addSource(std::move(b));
        monitor.onEdge = [this](FunctionKeyEdge edge) { edges.push_back(edge); };
        monitor.start();
    }

    int runningA = 0;
    int runningB = 0;
    ScriptedKeySource* first = nullptr;
    ScriptedKeySource* second = nullptr;
    FunctionKeyMonitor monitor;
    std::vector<FunctionKeyEdge> edges;
};

TEST(FunctionKeyMonitor, ObservationsFromAllSourcesBecomeSingleEdges)
{
    MonitorHarness h;
    h.first->key(true);
    h.second->key(true); // the same hold seen twice
    h.first->key(true);  // auto-repeat
    h.first->other();    // a modifier pressed during the hold changes nothing about the edges
    h.second->key(false);
    h.first->key(false);
    EXPECT_EQ(h.edges, (std::vector{FunctionKeyEdge::pressed, FunctionKeyEdge::released}));
}

TEST(FunctionKeyMonitor, AnotherKeyDuringTheHoldMakesItAKeyCombination)
{
    MonitorHarness h;
    h.first->other(); // before the hold: not part of it
    h.first->key(true);
    EXPECT_FALSE(h.monitor.holdIsKeyCombination());
    h.first->other();
    h.first->key(false);
    EXPECT_TRUE(h.monitor.holdIsKeyCombination()) << "still readable at the released edge";

    h.first->key(true);
    EXPECT_FALSE(h.monitor.holdIsKeyCombination()) << "a new hold starts clean";
    h.first->key(false);
    EXPECT_FALSE(h.monitor.holdIsKeyCombination());
}

TEST(FunctionKeyMonitor, ResetWhileHeldMakesTheNextDownAFreshPress)
{
    MonitorHarness h;
    h.first->key(true);
    h.monitor.resetEdgeTracker();
    h.first->key(true);
    EXPECT_EQ(h.edges, (std::vector{FunctionKeyEdge::pressed, FunctionKeyEdge::pressed}));
}

TEST(FunctionKeyMonitor, StartingTwiceLeavesOneOfEachSourceAndStopEndsThem)
{
    MonitorHarness h;
    h.monitor.start();
    EXPECT_EQ(h.runningA, 1);
    EXPECT_EQ(h.runningB, 1);
    h.monitor.stop();
    EXPECT_EQ(h.runningA, 0);
    EXPECT_EQ(h.runningB, 0);
    h.first->key(true);
    EXPECT_TRUE(h.edges.empty());
}

TEST(FunctionKeyMonitor, WithoutAnEdgeReceiverObservationsStillUpdateTheTracker)
{
    MonitorHarness h;
    h.monitor.onEdge = nullptr;
    h.first->key(true);
    EXPECT_TRUE(h.monitor.isPressed());
}

TEST(FunctionKeyMonitor, ASourceThatCannotStartIsReportedAndTheOthersRun)
{
    int runningGood = 0;
    int runningBad = 0;
    FunctionKeyMonitor monitor;
    monitor.addSource(std::make_unique<ScriptedKeySource>(runningBad, true));
    monitor.addSource(std::make_unique<ScriptedKeySource>(runningGood));
    std::vector<std::string> failures;
    monitor.onSourceFailure = [&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            failures.push_back(e.what());
        }
    };
    monitor.start();
    EXPECT_EQ(failures, std::vector<std::string>{"no such device"});
    EXPECT_EQ(runningGood, 1);
}

} // namespace
} // namespace hushnote
