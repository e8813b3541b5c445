#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace auralis {

// Work done out of a total, in units the owner chooses (samples for a transcription). A
// child progress stands for `pendingUnitCount` units of its parent: its completed fraction
// counts toward the parent's. Thread-safe.
class Progress {
public:
    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t count);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);

    void addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount);

    // Completed over total, children included; 0 for an empty total.
    double fractionCompleted() const;
    // Completed at least the total, with a total above 0.
    bool isFinished() const;

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };

    mutable std::mutex mutex_;
    std::int64_t total_ = 0;
    std::int64_t completed_ = 0;
    std::vector<Child> children_;
};

} // namespace auralis
