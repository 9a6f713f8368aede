// A hidden window that records what it receives, and a bounded pump.
#pragma once

#include "platform/Application.h"
#include "platform/Windows.h"

#include <chrono>
#include <functional>
#include <vector>

struct Received {
    Win::HWND Hwnd;
    Win::UINT Msg;
    Win::WPARAM WParam;
    Win::LPARAM LParam;
};

class RecorderWindow {
public:
    RecorderWindow();
    ~RecorderWindow();
    Win::HWND Handle() const { return Hwnd; }
    std::vector<Received> Messages;
    // Runs inside the window procedure for every message, after recording it.
    std::function<void(const Received&)> OnMessage;

private:
    static Win::LRESULT Proc(Win::HWND, Win::UINT, Win::WPARAM, Win::LPARAM);
    Win::HWND Hwnd = 0;
};

// Runs the design's wait cycle (2 ms sleep, one pass) until done() or the time limit.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Win::Sleep(2);
        Win::Application().ProcessMessages();
    }
    return true;
}

inline void PumpFor(std::chrono::milliseconds span) {
    PumpUntil([] { return false; }, span);
}
