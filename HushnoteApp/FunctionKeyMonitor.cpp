#include "HushnoteApp/FunctionKeyMonitor.h"

namespace hushnote {

KeyReports FunctionKeyMonitor::reports()
{
    return KeyReports{[this](bool pressed) { observe(pressed); }, [this] { observeOtherKeyPress(); }};
}

void FunctionKeyMonitor::addSource(std::unique_ptr<KeySource> source)
{
    auto& added = *sources_.emplace_back(std::move(source));
    if (started_) {
        startSource(added);
    }
}

void FunctionKeyMonitor::startSource(KeySource& source)
{
    try {
        source.start(reports());
    } catch (...) {
        if (onSourceFailure) {
            onSourceFailure(std::current_exception());
        }
    }
}

void FunctionKeyMonitor::start()
{
    stop();
    started_ = true;
    for (auto& source : sources_) {
        startSource(*source);
    }
}

void FunctionKeyMonitor::stop()
{
    started_ = false;
    for (auto& source : sources_) {
        source->stop();
    }
}

void FunctionKeyMonitor::observe(bool isPressed)
{
    const auto edge = tracker_.update(isPressed);
    if (!edge) {
        return;
    }
    if (*edge == FunctionKeyEdge::pressed) {
        holdIsKeyCombination_ = false;
    }
    if (onEdge) {
        onEdge(*edge);
    }
}

void FunctionKeyMonitor::observeOtherKeyPress()
{
    if (tracker_.isPressed) {
        holdIsKeyCombination_ = true;
    }
}

} // namespace hushnote
