// A hidden window that records what it receives, and a bounded pump.
#pragma once

#include "platform/Windows.h"
#include "tests/support/MessageLoop.h"

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

using testsupport::PumpFor;

// The bounded wait of these tests: five seconds unless told otherwise.
template <typename Predicate>
bool PumpUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    return testsupport::PumpUntil(done, limit);
}
