#include "HushnoteApp/Platform/TerminalWindowClasses.h"
#include "HushnoteApp/Platform/XTestKeystrokeSender.h"
#include "HushnoteApp/TextInserter.h"
#include "HushnoteApp/UI/QtClipboard.h"
#include "HushnoteApp/UI/QtLoopBackend.h"
#include "tests/HushnoteApp/UI/QtTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>

namespace hushnote {
namespace {

bool isLine(const std::string& line, const char* expected)
{
    return line == expected;
}

// The application's inserter on the real X clipboard and XTest, pasting into another process.
struct X11InserterHarness {
    X11InserterHarness()
    {
        // Start every test from an empty clipboard, whatever an earlier test left.
        QGuiApplication::clipboard()->clear();
    }

    void ownPreviousClipboard()
    {
        previous = std::make_unique<testing::PasteTarget>(
            std::vector<std::string>{"--offer", "text/plain=before", "--offer", "text/html=<b>before</b>"});
        ASSERT_TRUE(previous->waitFor([](const std::string& l) { return isLine(l, "offered"); }));
        ASSERT_TRUE(testing::spinUntil([] { return !QGuiApplication::clipboard()->ownsClipboard(); }));
    }
    bool waitForRestore() { return testing::spinUntil([&] { return !inserter.restorePending(); }); }

    ui::QtLoopBackend backend;
    MainLoopContext context{backend};
    ui::QtClipboard clipboard;
    XTestKeystrokeSender keystrokes{TerminalWindowClasses::fromEnvironment()};
    TextInserter inserter{context.get_executor(), clipboard, keystrokes};
    std::unique_ptr<testing::PasteTarget> previous;
};

TEST(TextInserterOnX11, PastesIntoTheFocusedFieldAndPutsBothTypesBack)
{
    X11InserterHarness h;
    h.ownPreviousClipboard();
    testing::PasteTarget target;
    ASSERT_TRUE(target.waitFor([](const std::string& l) { return isLine(l, "ready"); }));
    h.inserter.insert("hello world ");
    EXPECT_TRUE(target.waitForText("hello world "));
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_EQ(testing::clipboardAs("text/plain"), "before");
    EXPECT_EQ(testing::clipboardAs("text/html"), "<b>before</b>");
}

TEST(TextInserterOnX11, ATargetThatReadsLateStillGetsTheDictation)
{
    X11InserterHarness h;
    h.ownPreviousClipboard();
    // Reads a second after the keystroke: an immediate or fixed 250 ms restore pastes "before".
    testing::PasteTarget target({"--read-delay-ms", "1000"});
    ASSERT_TRUE(target.waitFor([](const std::string& l) { return isLine(l, "ready"); }));
    h.inserter.insert("slow target ");
    EXPECT_TRUE(target.waitForText("slow target "));
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_EQ(testing::clipboardAs("text/plain"), "before");
}

TEST(TextInserterOnX11, AnotherProgramTakingTheClipboardMeanwhileWins)
{
    X11InserterHarness h;
    h.ownPreviousClipboard();
    testing::PasteTarget target({"--read-delay-ms", "1000"});
    ASSERT_TRUE(target.waitFor([](const std::string& l) { return isLine(l, "ready"); }));
    h.inserter.insert("overtaken ");
    const auto ours = h.clipboard.changeCount();
    testing::PasteTarget newer({"--offer", "text/plain=newer"});
    ASSERT_TRUE(newer.waitFor([](const std::string& l) { return isLine(l, "offered"); }));
    ASSERT_TRUE(testing::spinUntil([&] { return h.clipboard.changeCount() != ours; }));
    // Restoring now rather than at the latest moment: the rule is the same, the test quicker.
    ASSERT_TRUE(h.inserter.restorePending());
    h.inserter.restoreNow();
    EXPECT_EQ(testing::clipboardAs("text/plain"), "newer");
}

TEST(TextInserterOnX11, AnEmptyClipboardStaysEmpty)
{
    X11InserterHarness h;
    testing::PasteTarget target;
    ASSERT_TRUE(target.waitFor([](const std::string& l) { return isLine(l, "ready"); }));
    ASSERT_FALSE(testing::clipboardAs("TARGETS"));
    h.inserter.insert("nothing before ");
    EXPECT_TRUE(target.waitForText("nothing before "));
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_FALSE(testing::clipboardAs("TARGETS"));
}

TEST(TextInserterOnX11, ATerminalWindowGetsCtrlShiftV)
{
    X11InserterHarness h;
    // Qt names the window class after the program's -name; "xterm" is on the terminal list.
    testing::PasteTarget terminal({"--terminal", "-name", "xterm"});
    ASSERT_TRUE(terminal.waitFor([](const std::string& l) { return isLine(l, "ready"); }));
    const auto windowClass = h.keystrokes.focusedWindowClass();
    ASSERT_TRUE(windowClass);
    EXPECT_EQ(windowClass->first, "xterm");
    h.inserter.insert("ls -l ");
    EXPECT_TRUE(terminal.waitForText("ls -l "));
    EXPECT_EQ(std::count(terminal.lines.begin(), terminal.lines.end(), "key:ctrl+v"), 0);
}

} // namespace
} // namespace hushnote
