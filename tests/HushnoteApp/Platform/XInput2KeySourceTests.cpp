#include "HushnoteApp/Platform/KeySourceError.h"
#include "HushnoteApp/Platform/TerminalWindowClasses.h"
#include "HushnoteApp/Platform/XInput2KeySource.h"
#include "HushnoteApp/Platform/XTestKeystrokeSender.h"
#include "tests/Support/LoopWait.h"
#include "tests/Support/XvfbServer.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

namespace hushnote {
namespace {

constexpr int kRightControl = 105;
constexpr int kLeftControl = 37;
constexpr int kLetterC = 54;
constexpr int kLetterA = 38;

struct KeySourceHarness {
    explicit KeySourceHarness(int dictationKeycode = kRightControl)
    {
        auto owned = std::make_unique<XInput2KeySource>(loop.get_executor(), dictationKeycode, x.displayName());
        source = owned.get();
        monitor.addSource(std::move(owned));
        monitor.onEdge = [this](FunctionKeyEdge edge) { edges.push_back(edge); };
        monitor.start();
    }

    bool waitForEdges(std::size_t count)
    {
        return testing::runLoopUntil(loop, [&] { return edges.size() >= count; });
    }
    void tap(int keycode)
    {
        x.pressPhysicalKey(keycode);
        x.releasePhysicalKey(keycode);
    }

    testing::XvfbServer x;
    asio::io_context loop;
    FunctionKeyMonitor monitor;
    XInput2KeySource* source = nullptr;
    std::vector<FunctionKeyEdge> edges;
};

const std::vector<FunctionKeyEdge> kOneHold{FunctionKeyEdge::pressed, FunctionKeyEdge::released};

TEST(XInput2KeySource, TheDictationKeyGivesOneEdgeEachWayAndRepeatsAndOtherKeysNone)
{
    KeySourceHarness h;
    h.x.pressPhysicalKey(kRightControl);
    h.x.pressPhysicalKey(kRightControl); // what auto-repeat looks like to raw events
    h.x.pressPhysicalKey(kRightControl);
    h.x.releasePhysicalKey(kRightControl);
    ASSERT_TRUE(h.waitForEdges(2));
    EXPECT_EQ(h.edges, kOneHold);
    EXPECT_FALSE(h.monitor.holdIsKeyCombination());

    // Other keys alone produce nothing: the hold after them is the next thing seen.
    h.tap(kLetterA);
    h.tap(kLeftControl);
    h.tap(kRightControl);
    ASSERT_TRUE(h.waitForEdges(4));
    EXPECT_EQ(std::vector<FunctionKeyEdge>(h.edges.begin() + 2, h.edges.end()), kOneHold);
}

TEST(XInput2KeySource, AnotherKeyDuringTheHoldMarksAKeyCombination)
{
    KeySourceHarness h;
    h.x.pressPhysicalKey(kRightControl);
    h.tap(kLetterC);
    h.x.releasePhysicalKey(kRightControl);
    ASSERT_TRUE(h.waitForEdges(2));
    EXPECT_EQ(h.edges, kOneHold);
    EXPECT_TRUE(h.monitor.holdIsKeyCombination());
}

TEST(XInput2KeySource, OurOwnSyntheticPasteIsIgnored)
{
    // With Left Ctrl as the dictation key, the paste's own Ctrl would otherwise count.
    KeySourceHarness h(kLeftControl);
    XTestKeystrokeSender paste(TerminalWindowClasses({}), h.x.displayName());
    paste.sendPaste();
    h.tap(kLeftControl);
    ASSERT_TRUE(h.waitForEdges(2));
    EXPECT_EQ(h.edges, kOneHold);

    // Nor does it turn a physical hold into a key combination.
    h.x.pressPhysicalKey(kLeftControl);
    paste.sendPaste();
    h.x.releasePhysicalKey(kLeftControl);
    ASSERT_TRUE(h.waitForEdges(4));
    EXPECT_FALSE(h.monitor.holdIsKeyCombination());
}

TEST(XInput2KeySource, StartingTwiceListensOnceAndStopSilencesIt)
{
    testing::XvfbServer x;
    asio::io_context loop;
    XInput2KeySource source(loop.get_executor(), kRightControl, x.displayName());
    int reports = 0;
    source.start(KeyReports{[&](bool) { ++reports; }, {}});
    source.start(KeyReports{[&](bool) { ++reports; }, {}});

    // A second, independent source tells when the server's events have been handled.
    XInput2KeySource witness(loop.get_executor(), kRightControl, x.displayName());
    int witnessed = 0;
    witness.start(KeyReports{[&](bool) { ++witnessed; }, {}});

    x.pressPhysicalKey(kRightControl);
    ASSERT_TRUE(testing::runLoopUntil(loop, [&] { return witnessed == 1 && reports >= 1; }));
    x.releasePhysicalKey(kRightControl);
    ASSERT_TRUE(testing::runLoopUntil(loop, [&] { return witnessed == 2 && reports >= 2; }));

    // stop() joins the reader, so whatever it posted is queued before the witness's next report.
    source.stop();
    EXPECT_FALSE(source.isRunning());
    x.pressPhysicalKey(kRightControl);
    ASSERT_TRUE(testing::runLoopUntil(loop, [&] { return witnessed == 3; }));
    EXPECT_EQ(reports, 2) << "one report per edge while started, none after stop";
}

TEST(XInput2KeySource, UnusableSetupsAreReported)
{
    asio::io_context loop;
    struct Case {
        const char* name;
        int keycode;
        const char* display;
        KeySourceError::Kind expected;
    };
    const Case cases[] = {
        {"no such display", kRightControl, ":65000", KeySourceError::Kind::displayUnavailable},
        {"key beyond X11's range", 300, ":65000", KeySourceError::Kind::keyNotVisible},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        XInput2KeySource source(loop.get_executor(), c.keycode, std::string(c.display));
        try {
            source.start({});
            ADD_FAILURE() << "started";
        } catch (const KeySourceError& error) {
            EXPECT_EQ(error.kind(), c.expected);
        }
        EXPECT_FALSE(source.isRunning());
    }
}

} // namespace
} // namespace hushnote
