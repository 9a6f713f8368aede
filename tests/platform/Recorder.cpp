#include "Recorder.h"

RecorderWindow::RecorderWindow() {
    static const bool registered = [] {
        Win::WNDCLASS wc;
        wc.lpszClassName = "RecorderWindowClass";
        wc.lpfnWndProc = &RecorderWindow::Proc;
        wc.cbWndExtra = sizeof(void*);
        return Win::RegisterClass(wc);
    }();
    (void)registered;
    Hwnd = Win::CreateWindow("RecorderWindowClass");
    Win::SetWindowLongPtr(Hwnd, 0, reinterpret_cast<Win::LONG_PTR>(this));
}

RecorderWindow::~RecorderWindow() { Win::DestroyWindow(Hwnd); }

Win::LRESULT RecorderWindow::Proc(Win::HWND hwnd, Win::UINT msg, Win::WPARAM w, Win::LPARAM l) {
    auto* self = reinterpret_cast<RecorderWindow*>(Win::GetWindowLongPtr(hwnd, 0));
    if (self == nullptr) return Win::DefWindowProc(hwnd, msg, w, l);
    self->Messages.push_back({hwnd, msg, w, l});
    if (self->OnMessage) self->OnMessage(self->Messages.back());
    return 0;
}
