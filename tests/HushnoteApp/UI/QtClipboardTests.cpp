#include "HushnoteApp/UI/QtClipboard.h"
#include "tests/HushnoteApp/UI/QtTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <gtest/gtest.h>

namespace hushnote {
namespace {

TEST(QtClipboard, OffersTheDictationMarkedSecretAndReportsEveryReadOfTheText)
{
    ui::QtClipboard clipboard;
    int reads = 0;
    ASSERT_TRUE(clipboard.offerTranscript("dictated words ", [&] { ++reads; }));
    const auto before = clipboard.changeCount();

    EXPECT_EQ(testing::clipboardAs("x-kde-passwordManagerHint"), "secret");
    EXPECT_EQ(reads, 0) << "reading the hint is no read of the text";
    EXPECT_EQ(testing::clipboardAs("UTF8_STRING"), "dictated words ");
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(testing::clipboardAs("text/plain"), "dictated words ");
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(clipboard.changeCount(), before) << "reads change nothing";
}

TEST(QtClipboard, SnapshotsAnotherOwnersTypesAndRestoresThemExactly)
{
    ui::QtClipboard clipboard;
    testing::PasteTarget owner({"--offer", "text/plain=before", "--offer", "text/html=<b>before</b>",
        "--offer", "application/x-custom=\x01\x02"});
    ASSERT_TRUE(owner.waitFor([](const std::string& line) { return line == "offered"; }));
    // Wait until this process has seen the new owner: until its selection event arrives, Qt's
    // view of the clipboard and its server timestamp are stale (a loaded machine shows it).
    ASSERT_TRUE(testing::spinUntil([] {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        return data != nullptr && data->hasFormat(QStringLiteral("application/x-custom"));
    }));

    const auto saved = clipboard.snapshot();
    EXPECT_EQ(saved, (ClipboardContents{{{"text/plain", "before"}, {"text/html", "<b>before</b>"},
                         {"application/x-custom", "\x01\x02"}}}));

    ASSERT_TRUE(clipboard.offerTranscript("dictation ", {}));
    const auto owned = clipboard.changeCount();
    clipboard.restore(saved);
    EXPECT_GT(clipboard.changeCount(), owned);
    EXPECT_EQ(testing::clipboardAs("text/html"), "<b>before</b>");
    EXPECT_EQ(testing::clipboardAs("text/plain"), "before");
    EXPECT_EQ(testing::clipboardAs("application/x-custom"), "\x01\x02");
    const auto targets = testing::clipboardAs("TARGETS");
    ASSERT_TRUE(targets);
    EXPECT_EQ(targets->find("x-kde-passwordManagerHint"), std::string::npos) << "the hint went with the dictation";
    EXPECT_NE(targets->find("text/html"), std::string::npos) << *targets;
}

TEST(QtClipboard, AnotherApplicationTakingTheClipboardChangesTheCount)
{
    ui::QtClipboard clipboard;
    ASSERT_TRUE(clipboard.offerTranscript("mine ", {}));
    const auto mine = clipboard.changeCount();
    testing::PasteTarget other({"--offer", "text/plain=theirs"});
    ASSERT_TRUE(other.waitFor([](const std::string& line) { return line == "offered"; }));
    ASSERT_TRUE(testing::spinUntil([&] { return clipboard.changeCount() != mine; }));
    EXPECT_EQ(clipboard.changeCount(), mine + 1);
    EXPECT_EQ(clipboard.changeCount(), mine + 1) << "counted once";
}

TEST(QtClipboard, RestoringAnEmptyCopyEmptiesTheClipboard)
{
    ui::QtClipboard clipboard;
    ASSERT_TRUE(clipboard.offerTranscript("gone soon ", {}));
    clipboard.restore({});
    EXPECT_TRUE(clipboard.snapshot().empty());
    EXPECT_FALSE(testing::clipboardAs("TARGETS"));
}

} // namespace
} // namespace hushnote
