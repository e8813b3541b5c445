#include "HushnoteApp/TextInserter.h"
#include "HushnoteApp/TextInserterError.h"
#include "tests/Fakes/FakePlatform.h"
#include "tests/Support/LoopWait.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

namespace hushnote {
namespace {

using namespace std::chrono_literals;

const ClipboardContents kRichText{{{"text/html", "<b>before</b>"}, {"text/plain", "before"}}};

struct InserterHarness {
    InserterHarness()
    {
        clipboard.current = kRichText;
        // The focused application pastes as soon as the keystroke arrives.
        keystrokes.onPaste = [this] { pasted.push_back(clipboard.read()); };
    }

    bool waitForRestore() { return testing::runLoopUntil(loop, [&] { return !inserter.restorePending(); }); }

    asio::io_context loop;
    testing::FakeClipboard clipboard;
    testing::FakeKeystrokeSender keystrokes;
    TextInserter inserter{loop.get_executor(), clipboard, keystrokes};
    std::vector<std::string> pasted;
};

TEST(TextInserter, PastesTheTextThenPutsEveryTypeOfThePreviousClipboardBack)
{
    InserterHarness h;
    h.inserter.insert("hello world ");
    EXPECT_EQ(h.pasted, std::vector<std::string>{"hello world "});
    EXPECT_EQ(h.clipboard.offered, std::vector<std::string>{"hello world "});
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_EQ(h.clipboard.current, kRichText);
}

TEST(TextInserter, AnEmptyClipboardIsLeftEmpty)
{
    InserterHarness h;
    h.clipboard.current = {};
    h.inserter.insert("text ");
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_TRUE(h.clipboard.current.empty());
    EXPECT_EQ(h.clipboard.restoreCount, 1);
}

TEST(TextInserter, ContentAnotherApplicationWroteMeanwhileStays)
{
    InserterHarness h;
    h.inserter.insert("text ");
    const ClipboardContents copied{{{"text/plain", "copied later"}}};
    h.clipboard.writeByOtherApplication(copied);
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_EQ(h.clipboard.current, copied);
    EXPECT_EQ(h.clipboard.restoreCount, 0);
}

TEST(TextInserter, ATargetThatReadsLateStillGetsTheDictation)
{
    InserterHarness h;
    h.keystrokes.onPaste = nullptr;
    h.inserter.insert("late text ");
    // A slow application reads a second after the keystroke: long past the old fixed 250 ms.
    asio::steady_timer slowTarget(h.loop, 1s);
    slowTarget.async_wait([&](std::error_code) { h.pasted.push_back(h.clipboard.read()); });
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_EQ(h.pasted, std::vector<std::string>{"late text "});
    EXPECT_EQ(h.clipboard.current, kRichText);
}

TEST(TextInserter, AQuickSecondDictationKeepsTheUsersClipboardNotTheFirstDictation)
{
    InserterHarness h;
    h.inserter.insert("first ");
    h.inserter.insert("second ");
    EXPECT_EQ(h.pasted, (std::vector<std::string>{"first ", "second "}));
    ASSERT_TRUE(h.waitForRestore());
    EXPECT_EQ(h.clipboard.current, kRichText);
    EXPECT_EQ(h.clipboard.restoreCount, 1);
}

TEST(TextInserter, FailuresPutTheClipboardBackBeforeReporting)
{
    struct Case {
        const char* name;
        bool refuseWrite;
        bool failKeystroke;
        TextInserterError::Kind expected;
    };
    const Case cases[] = {
        {"clipboard refuses the text", true, false, TextInserterError::Kind::pasteboardWriteFailed},
        {"keystroke cannot be sent", false, true, TextInserterError::Kind::eventCreationFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InserterHarness h;
        h.clipboard.refuseWrites = c.refuseWrite;
        if (c.failKeystroke) {
            h.keystrokes.error = std::make_exception_ptr(TextInserterError(TextInserterError::Kind::eventCreationFailed));
        }
        try {
            h.inserter.insert("lost? ");
            ADD_FAILURE() << "insert succeeded";
        } catch (const TextInserterError& error) {
            EXPECT_EQ(error.kind(), c.expected);
        }
        EXPECT_EQ(h.clipboard.current, kRichText);
        EXPECT_FALSE(h.inserter.restorePending());
        EXPECT_TRUE(h.pasted.empty());
    }
}

TEST(TextInserter, RestoreNowPutsTheClipboardBackAtOnce)
{
    InserterHarness h;
    h.keystrokes.onPaste = nullptr;
    h.inserter.insert("pending ");
    ASSERT_TRUE(h.inserter.restorePending());
    h.inserter.restoreNow();
    EXPECT_FALSE(h.inserter.restorePending());
    EXPECT_EQ(h.clipboard.current, kRichText);
    h.loop.run_for(10ms);
    EXPECT_EQ(h.clipboard.restoreCount, 1);
}

} // namespace
} // namespace hushnote
