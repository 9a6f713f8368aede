// Internal: the one Qt object that carries posted messages, window timers and
// socket readiness for the Windows-shaped layer.
#pragma once

#include "platform/Windows.h"

#include <QObject>

#include <cstdint>
#include <functional>

namespace Win::detail {

class Dispatcher : public QObject {
public:
    Dispatcher();
    ~Dispatcher() override;

protected:
    bool event(QEvent* e) override;
    void timerEvent(QTimerEvent* e) override;
};

// The dispatcher, made on first use as a child of the Qt application object.
Dispatcher& TheDispatcher();

// Posts a message that is dropped instead of delivered once socketToken is no
// longer live (0: an ordinary message).
bool PostMessageFor(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, std::uint64_t socketToken);
// Implemented by the socket part: is the socket with this token still open?
bool IsLiveSocketToken(std::uint64_t token);
// Runs fn on the user-interface thread from any thread; dropped when the
// application object is gone.
void RunOnUiThread(std::function<void()> fn);
// Called when a window is destroyed: its timers stop.
void DropTimersOf(HWND hwnd);

}  // namespace Win::detail
