#include "HushnoteApp/UI/QtLoopBackend.h"

#include <QMetaObject>

#include <cstdio>
#include <exception>

namespace hushnote::ui {

QtLoopBackend::QtLoopBackend() : receiver_(std::make_unique<QObject>()) {}

QtLoopBackend::~QtLoopBackend()
{
    close();
}

void QtLoopBackend::post(std::function<void()> task)
{
    std::unique_lock lock(mutex_);
    if (!receiver_) {
        lock.unlock();
        return;
    }
    QMetaObject::invokeMethod(
        receiver_.get(),
        [task = std::move(task)] {
            // Asio handlers report their own failures; nothing may unwind through Qt.
            try {
                task();
            } catch (const std::exception& error) {
                std::fprintf(stderr, "hushnote: main-loop task failed: %s\n", error.what());
            } catch (...) {
                std::fprintf(stderr, "hushnote: main-loop task failed\n");
            }
        },
        Qt::QueuedConnection);
}

void QtLoopBackend::close()
{
    std::unique_ptr<QObject> receiver;
    {
        std::lock_guard lock(mutex_);
        receiver = std::move(receiver_);
    }
    // Deleting the receiver deletes the events queued for it, and the tasks with them.
}

} // namespace hushnote::ui
