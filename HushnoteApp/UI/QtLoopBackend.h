#pragma once

#include "Foundation/MainLoop.h"

#include <QObject>

#include <memory>
#include <mutex>

namespace hushnote::ui {

// Runs posted work on the Qt GUI thread through its event queue, so the core's coroutines
// run there (MainLoopContext). Create it on the GUI thread; post() is thread-safe.
class QtLoopBackend final : public LoopBackend {
public:
    QtLoopBackend();
    ~QtLoopBackend() override;

    void post(std::function<void()> task) override;
    void close() override;

private:
    std::mutex mutex_;
    std::unique_ptr<QObject> receiver_;
};

} // namespace hushnote::ui
