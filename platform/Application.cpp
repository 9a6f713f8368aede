#include "platform/Application.h"

#include "platform/Windows.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace Win {

void TApplication::Run() {
    if (TerminateRequested) return;
    QCoreApplication::exec();
}

void TApplication::ProcessMessages() {
    // Qt's pass handles only the events posted before it began; Windows'
    // pass goes on until the queue is empty, and the send pass relies on that
    // (each chunk posts the request for the next one).
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    } while (PendingMessageCount() > 0);
}

void TApplication::WaitForMessage(unsigned ms) {
    if (PendingMessageCount() > 0) return;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr) {
        Sleep(ms);
        return;
    }
    // The timer bounds the wait; any socket, timer or posted event ends it sooner.
    QTimer limit;
    limit.setTimerType(Qt::PreciseTimer);
    limit.setSingleShot(true);
    limit.start(static_cast<int>(ms));
    dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
}

void TApplication::Terminate() {
    TerminateRequested = true;
    // Qt's quit ends every modal loop, and every one started after it, at once.
    if (HandlerDepth == 0) QCoreApplication::quit();
}

void TApplication::LeaveHandler() {
    if (--HandlerDepth == 0 && TerminateRequested) QCoreApplication::quit();
}

void TApplication::HandleException(std::exception_ptr error) noexcept {
    if (!error) return;
    try {
        if (Handler) {
            Handler(error);
            return;
        }
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "unknown exception\n");
    }
}

TApplication& Application() {
    static TApplication application;
    return application;
}

}  // namespace Win
