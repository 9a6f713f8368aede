// The application object: the message loop shared by windows, timers and sockets.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace Win {

class TApplication {
public:
    // Runs the loop until Terminate.
    void Run();
    // One pass: handles every pending message, including those posted while the
    // pass runs, until none is left; returns without waiting for new ones.
    void ProcessMessages();
    // Waits until a message or event arrives, at most ms milliseconds; returns
    // at once when one is already pending. The waits of the socket component
    // use it in place of a plain 2 ms sleep, so that a reply arriving meanwhile
    // is handled without sitting out the rest of the sleep.
    void WaitForMessage(unsigned ms);
    // Asks the loop to end. The program is ending from then on: every wait of
    // the socket component ends at its next cycle. Inside a window handler the
    // loop ends only once the outermost one has returned: what it still has to
    // show (the fax may have gone) needs a modal loop that stays.
    void Terminate();
    // Brackets a window handler, its outer exception handling included.
    void EnterHandler() { ++HandlerDepth; }
    void LeaveHandler();
    bool Terminated() const { return TerminateRequested; }
    // Forgets an earlier Terminate, for a host that runs the loop again (tests).
    void ClearTerminate() { TerminateRequested = false; }

    std::string Title;

    // The outer exception handler; the application installs one that shows a
    // message box. Without one, exceptions are written to stderr.
    using ExceptionHandler = std::function<void(std::exception_ptr)>;
    void SetExceptionHandler(ExceptionHandler handler) { Handler = std::move(handler); }
    // Passes the current exception (or the given one) to the outer handler; never throws.
    void HandleException(std::exception_ptr error) noexcept;

private:
    bool TerminateRequested = false;
    int HandlerDepth = 0;
    ExceptionHandler Handler;
};

// The one application object of the process.
TApplication& Application();

}  // namespace Win
