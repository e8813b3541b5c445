#include "HushnoteApp/FunctionKeyMonitor.h"

namespace hushnote {

void FunctionKeyMonitor::addSource(std::unique_ptr<KeySource> source)
{
    if (started_) {
        source->start([this](bool pressed) { observe(pressed); });
    }
    sources_.push_back(std::move(source));
}

void FunctionKeyMonitor::start()
{
    if (started_) {
        return;
    }
    started_ = true;
    for (auto& source : sources_) {
        source->start([this](bool pressed) { observe(pressed); });
    }
}

void FunctionKeyMonitor::stop()
{
    if (!started_) {
        return;
    }
    started_ = false;
    for (auto& source : sources_) {
        source->stop();
    }
}

void FunctionKeyMonitor::observe(bool isPressed)
{
    if (const auto edge = tracker_.update(isPressed); edge && onEdge) {
        onEdge(*edge);
    }
}

} // namespace hushnote
