#include "Auralis/Utilities/Progress.h"

#include <algorithm>

namespace auralis {

std::int64_t Progress::totalUnitCount() const
{
    std::lock_guard lock(mutex_);
    return total_;
}

void Progress::setTotalUnitCount(std::int64_t count)
{
    std::lock_guard lock(mutex_);
    total_ = count;
}

std::int64_t Progress::completedUnitCount() const
{
    std::lock_guard lock(mutex_);
    return completed_;
}

void Progress::setCompletedUnitCount(std::int64_t count)
{
    std::lock_guard lock(mutex_);
    completed_ = count;
}

void Progress::addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount)
{
    std::lock_guard lock(mutex_);
    children_.push_back({std::move(child), pendingUnitCount});
}

double Progress::fractionCompleted() const
{
    std::vector<Child> children;
    double completed = 0;
    double total = 0;
    {
        std::lock_guard lock(mutex_);
        children = children_;
        completed = static_cast<double>(completed_);
        total = static_cast<double>(total_);
    }
    if (total <= 0) {
        return 0;
    }
    // A finished child's units count as completed; a running one adds its share.
    for (const auto& child : children) {
        completed += std::clamp(child.progress->fractionCompleted(), 0.0, 1.0) * static_cast<double>(child.pendingUnitCount);
    }
    return std::min(completed / total, 1.0);
}

bool Progress::isFinished() const
{
    return totalUnitCount() > 0 && fractionCompleted() >= 1.0;
}

} // namespace auralis
