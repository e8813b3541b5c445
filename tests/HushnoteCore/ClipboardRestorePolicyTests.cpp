#include "HushnoteCore/ClipboardRestorePolicy.h"

#include <gtest/gtest.h>

namespace hushnote {
namespace {

using namespace std::chrono_literals;

TEST(ClipboardRestorePolicy, RestoresOnlyWhileTheChangeCountIsTheInsertersOwn)
{
    EXPECT_TRUE(ClipboardRestorePolicy::shouldRestore(5, 5));
    EXPECT_FALSE(ClipboardRestorePolicy::shouldRestore(5, 6));
    EXPECT_FALSE(ClipboardRestorePolicy::shouldRestore(6, 5));
}

TEST(ClipboardRestorePolicy, WaitsForTheTargetsReadThenAQuietPeriodWithinBounds)
{
    const MonotonicTime pasted(100s);
    struct Case {
        const char* name;
        std::optional<std::chrono::milliseconds> readAfterPaste;
        bool readsReported;
        std::chrono::milliseconds expectedDelay;
    };
    const Case cases[] = {
        {"no read reporting: fixed minimum", std::nullopt, false, 250ms},
        {"no read reporting ignores reads", 900ms, false, 250ms},
        {"no read yet: longest delay", std::nullopt, true, 5000ms},
        {"early read: minimum still holds", 10ms, true, 250ms},
        {"read at 50 ms: quiet period ends at 250 ms", 50ms, true, 250ms},
        {"late read: quiet period after it", 1000ms, true, 1200ms},
        {"very late read: capped", 4900ms, true, 5000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<MonotonicTime> lastRead;
        if (c.readAfterPaste) {
            lastRead = pasted + *c.readAfterPaste;
        }
        EXPECT_EQ(ClipboardRestorePolicy::restoreTime(pasted, lastRead, c.readsReported), pasted + c.expectedDelay);
    }
}

} // namespace
} // namespace hushnote
