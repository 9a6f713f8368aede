#include "platform/Application.h"

#include "platform/Windows.h"

#include <QCoreApplication>

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

void TApplication::Terminate() {
    TerminateRequested = true;
    QCoreApplication::quit();
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
