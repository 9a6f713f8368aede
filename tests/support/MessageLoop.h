// Bounded waits that keep the message loop running, the way the components
// wait: a 2 ms sleep, then one pass of the loop. Header-only, for tests that
// link the platform layer.
#pragma once

#include "platform/Application.h"
#include "platform/Windows.h"

#include <chrono>

namespace testsupport {

// Runs the loop until done() holds or timeout passes; returns done().
template <typename Predicate>
bool PumpUntil(Predicate done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        Win::Sleep(2);
        Win::Application().ProcessMessages();
    }
    return true;
}

inline void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

}  // namespace testsupport
