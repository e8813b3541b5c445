#include "HushnoteCore/ClipboardRestorePolicy.h"

#include <algorithm>

namespace hushnote {

bool ClipboardRestorePolicy::shouldRestore(std::int64_t appWriteChangeCount, std::int64_t currentChangeCount)
{
    return appWriteChangeCount == currentChangeCount;
}

MonotonicTime ClipboardRestorePolicy::restoreTime(
    MonotonicTime pastedAt, std::optional<MonotonicTime> lastReadAt, bool readsReported)
{
    const auto earliest = pastedAt + kMinimumDelay;
    if (!readsReported) {
        return earliest;
    }
    const auto latest = pastedAt + kLongestDelay;
    if (!lastReadAt) {
        return latest;
    }
    return std::min(std::max(earliest, *lastReadAt + kQuietPeriodAfterRead), latest);
}

} // namespace hushnote
