#include "ui/common/wait_off_thread.h"

#include <QApplication>
#include <QEventLoop>
#include <QPointer>
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
    QEventLoop loop;
    std::atomic<bool> done{false};
    // The quit is posted to the loop, so it is seen even when the call ends before exec starts.
    auto body = [&] {
        call();
        done.store(true);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
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
    while (!done.load()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (gui) QApplication::restoreOverrideCursor();
    --g_waiting;
}

int CallsWaitedFor() { return g_waiting; }

}  // namespace velmora::ui
