// TThreadTimer: window-system timer messages on a hidden window of its own.
#include "net/ZelSock.h"
#include "net/ZelSockEvents.h"
#include "platform/Application.h"

namespace net {

namespace {
constexpr const char* kTimerWindowClass = "TmrWindowClass";
constexpr Win::UINT kTimerId = 1;
}  // namespace

TThreadTimer::TThreadTimer(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {
    if (!Win::GetClassInfo(kTimerWindowClass, nullptr)) {
        Win::WNDCLASS wc;
        wc.lpszClassName = kTimerWindowClass;
        wc.lpfnWndProc = &TThreadTimer::WndProc;
        wc.cbWndExtra = sizeof(Win::LONG_PTR);
        Win::RegisterClass(wc);
    }
    FWindowHandle = Win::CreateWindow(kTimerWindowClass);
    if (FWindowHandle != 0) Win::SetWindowLongPtr(FWindowHandle, 0, reinterpret_cast<Win::LONG_PTR>(this));
}

TThreadTimer::~TThreadTimer() {
    FEnabled = false;
    try {
        UpdateTimer();
    } catch (...) {
        // Switching a timer off cannot fail in a way that matters here.
    }
    if (FWindowHandle != 0) Win::DestroyWindow(FWindowHandle);
}

void TThreadTimer::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(std::uint32_t Value) {
    if (Value == FInterval) return;
    FInterval = Value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(rtl::TNotifyEvent Value) {
    FOnTimer = std::move(Value);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    Win::KillTimer(FWindowHandle, kTimerId);
    if (FInterval != 0 && FEnabled && FOnTimer) {
        if (!Win::SetTimer(FWindowHandle, kTimerId, FInterval)) throw rtl::Exception("No Timer");
    }
}

void TThreadTimer::DoTimer() { detail::Fire(FOnTimer, this); }

Win::LRESULT TThreadTimer::WndProc(Win::HWND Wnd, Win::UINT Msg, Win::WPARAM WParam, Win::LPARAM LParam) {
    auto* timer = reinterpret_cast<TThreadTimer*>(Win::GetWindowLongPtr(Wnd, 0));
    if (timer == nullptr || Msg != Win::WM_TIMER) return Win::DefWindowProc(Wnd, Msg, WParam, LParam);
    try {
        timer->DoTimer();
    } catch (...) {
        Win::Application().HandleException(std::current_exception());
    }
    return 0;
}

}  // namespace net
