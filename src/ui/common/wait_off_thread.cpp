#include "ui/common/wait_off_thread.h"

#include <QApplication>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <system_error>
#include <thread>

namespace velmora::ui {

namespace {

int g_waiting = 0;  // user-interface thread only

}  // namespace

void WaitOffUiThreadVoid(const std::function<void()>& call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        call();
        return;
    }
    // The worker posts an empty call to `waker` when it is done, which wakes the wait below even
    // when it ends before the wait starts.
    QObject waker;
    std::atomic<bool> done{false};
    auto body = [&] {
        call();
        done.store(true);
        QMetaObject::invokeMethod(&waker, [] {}, Qt::QueuedConnection);
    };
    std::thread worker;
    try {
        worker = std::thread(body);
    } catch (const std::system_error&) {
        call();  // no thread to be had: wait the old way rather than fail the call
        return;
    }
    ++g_waiting;
    const bool gui = qobject_cast<QApplication*>(app) != nullptr;
    if (gui) QApplication::setOverrideCursor(Qt::BusyCursor);
    // Events are processed by hand rather than by a nested QEventLoop::exec: once the application
    // has been told to quit, exec returns at once, and the wait would spin until the call ends.
    while (!done.load())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
    worker.join();
    if (gui) QApplication::restoreOverrideCursor();
    --g_waiting;
}

int CallsWaitedFor() { return g_waiting; }

}  // namespace velmora::ui
