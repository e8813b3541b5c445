#pragma once

#include "Foundation/Clock.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace hushnote {

// When the clipboard saved before a paste may be put back. Stateless.
struct ClipboardRestorePolicy {
    // Never restore earlier than this after the paste keystroke.
    static constexpr std::chrono::milliseconds kMinimumDelay{250};
    // After the last read of the pasted text, wait this long without another read.
    static constexpr std::chrono::milliseconds kQuietPeriodAfterRead{200};
    // Restore at the latest this long after the keystroke, read or not.
    static constexpr std::chrono::milliseconds kLongestDelay{5000};

    // True exactly when the clipboard's change count is still the one read right after the
    // inserter's own write: nobody has written since.
    static bool shouldRestore(std::int64_t appWriteChangeCount, std::int64_t currentChangeCount);

    // The earliest moment the restore may run, given the keystroke time and the last read of
    // the pasted text after it. Where the clipboard cannot report reads, the minimum delay is
    // all there is; where it can, the restore waits for the target's read (up to the longest
    // delay), because a slow target would otherwise paste the restored content.
    static MonotonicTime restoreTime(
        MonotonicTime pastedAt, std::optional<MonotonicTime> lastReadAt, bool readsReported);
};

} // namespace hushnote
