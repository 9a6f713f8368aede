#include "Recorder.h"

#include "platform/Application.h"
#include "platform/Windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

using namespace std::chrono_literals;

TEST(WindowClasses, RegisterOnceAndCreateOnlyKnownClasses) {
    Win::WNDCLASS wc;
    wc.lpszClassName = "OnceOnlyClass";
    wc.lpfnWndProc = [](Win::HWND, Win::UINT, Win::WPARAM, Win::LPARAM) -> Win::LRESULT { return 0; };
    EXPECT_TRUE(Win::RegisterClass(wc));
    EXPECT_FALSE(Win::RegisterClass(wc));
    EXPECT_TRUE(Win::GetClassInfo("OnceOnlyClass", nullptr));
    EXPECT_EQ(Win::CreateWindow("NoSuchClass"), 0u);
    const Win::HWND a = Win::CreateWindow("OnceOnlyClass");
    const Win::HWND b = Win::CreateWindow("OnceOnlyClass");
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(Win::SetWindowLongPtr(a, 0, 1234), 0);
    EXPECT_EQ(Win::GetWindowLongPtr(a, 0), 1234);
    EXPECT_EQ(Win::GetWindowLongPtr(b, 0), 0);
    EXPECT_TRUE(Win::DestroyWindow(a));
    EXPECT_FALSE(Win::DestroyWindow(a));
    EXPECT_FALSE(Win::IsWindow(a));
    EXPECT_TRUE(Win::DestroyWindow(b));
}

TEST(PostedMessages, ReachTheRightWindowInPostingOrder) {
    RecorderWindow one, two;
    Win::PostMessage(one.Handle(), 1200, 1, 10);
    Win::PostMessage(two.Handle(), 1200, 2, 20);
    Win::PostMessage(one.Handle(), 1201, 3, 30);
    EXPECT_TRUE(one.Messages.empty());  // nothing runs before a pass of the loop
    Win::Application().ProcessMessages();
    ASSERT_EQ(one.Messages.size(), 2u);
    ASSERT_EQ(two.Messages.size(), 1u);
    EXPECT_EQ(one.Messages[0].WParam, 1u);
    EXPECT_EQ(one.Messages[0].LParam, 10);
    EXPECT_EQ(one.Messages[1].Msg, 1201u);
    EXPECT_EQ(two.Messages[0].Hwnd, two.Handle());
    EXPECT_EQ(Win::PendingMessageCount(), 0);
}

TEST(PostedMessages, PostedFromAProcedureRunAfterTheEarlierOnesInTheSamePass) {
    RecorderWindow w;
    w.OnMessage = [&](const Received& m) {
        if (m.Msg == 1300) Win::PostMessage(w.Handle(), 1302, 0, 0);
    };
    Win::PostMessage(w.Handle(), 1300, 0, 0);
    Win::PostMessage(w.Handle(), 1301, 0, 0);
    Win::Application().ProcessMessages();
    ASSERT_EQ(w.Messages.size(), 3u);
    EXPECT_EQ(w.Messages[0].Msg, 1300u);
    EXPECT_EQ(w.Messages[1].Msg, 1301u);
    EXPECT_EQ(w.Messages[2].Msg, 1302u);
}

TEST(PostedMessages, AChainOfTenThousandCompletesInOnePass) {
    RecorderWindow w;
    w.OnMessage = [&](const Received& m) {
        if (m.WParam < 9999) Win::PostMessage(w.Handle(), 1400, m.WParam + 1, 0);
    };
    Win::PostMessage(w.Handle(), 1400, 0, 0);
    Win::Application().ProcessMessages();
    ASSERT_EQ(w.Messages.size(), 10000u);
    EXPECT_EQ(w.Messages.back().WParam, 9999u);
}

TEST(PostedMessages, ANestedPassInsideAProcedureReturns) {
    // A procedure that waits (as the socket component does) runs passes of its own.
    RecorderWindow w;
    int nested = 0;
    w.OnMessage = [&](const Received& m) {
        if (m.Msg != 1450) return;
        Win::PostMessage(w.Handle(), 1451, 0, 0);
        for (int i = 0; i < 3; ++i) Win::Application().ProcessMessages();
        ++nested;
    };
    Win::PostMessage(w.Handle(), 1450, 0, 0);
    Win::Application().ProcessMessages();
    EXPECT_EQ(nested, 1);
    ASSERT_EQ(w.Messages.size(), 2u);
    EXPECT_EQ(w.Messages[1].Msg, 1451u);
    EXPECT_EQ(Win::PendingMessageCount(), 0);
}

TEST(PostedMessages, ADestroyedWindowGetsNoMore) {
    auto* w = new RecorderWindow;
    const Win::HWND h = w->Handle();
    Win::PostMessage(h, 1500, 0, 0);
    Win::PostMessage(h, 1501, 0, 0);
    delete w;  // destroys the window with two messages pending; delivering them would touch freed memory
    EXPECT_FALSE(Win::PostMessage(h, 1502, 0, 0));
    Win::Application().ProcessMessages();
    EXPECT_EQ(Win::PendingMessageCount(), 0);
}

TEST(PostedMessages, AWindowDestroyedByItsOwnProcedureGetsNoMore) {
    int delivered = 0;
    Win::WNDCLASS wc;
    wc.lpszClassName = "SelfDestroyingClass";
    wc.lpfnWndProc = [](Win::HWND h, Win::UINT, Win::WPARAM, Win::LPARAM) -> Win::LRESULT {
        ++*reinterpret_cast<int*>(Win::GetWindowLongPtr(h, 0));
        Win::DestroyWindow(h);
        return 0;
    };
    Win::RegisterClass(wc);
    const Win::HWND h = Win::CreateWindow("SelfDestroyingClass");
    Win::SetWindowLongPtr(h, 0, reinterpret_cast<Win::LONG_PTR>(&delivered));
    Win::PostMessage(h, 1, 0, 0);
    Win::PostMessage(h, 2, 0, 0);
    Win::Application().ProcessMessages();
    EXPECT_EQ(delivered, 1);
}

TEST(PostedMessages, AnExceptionFromAProcedureGoesToTheOuterHandler) {
    std::string seen;
    Win::Application().SetExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            seen = x.what();
        }
    });
    RecorderWindow w;
    w.OnMessage = [](const Received&) { throw std::runtime_error("from the procedure"); };
    Win::PostMessage(w.Handle(), 1600, 0, 0);
    Win::PostMessage(w.Handle(), 1601, 0, 0);
    Win::Application().ProcessMessages();
    Win::Application().SetExceptionHandler(nullptr);
    EXPECT_EQ(seen, "from the procedure");
    EXPECT_EQ(w.Messages.size(), 2u);  // the loop carries on
}

TEST(WindowTimers, FireRepeatedlyAtAboutThePeriodUntilKilled) {
    RecorderWindow w;
    ASSERT_TRUE(Win::SetTimer(w.Handle(), 1, 20));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(PumpUntil([&] { return w.Messages.size() >= 5; }, 3s));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 80ms);  // five periods of 20 ms, with slack for timer coalescing
    EXPECT_LT(elapsed, 1000ms);
    for (const auto& m : w.Messages) {
        EXPECT_EQ(m.Msg, Win::WM_TIMER);
        EXPECT_EQ(m.WParam, 1u);
    }
    EXPECT_TRUE(Win::KillTimer(w.Handle(), 1));
    EXPECT_FALSE(Win::KillTimer(w.Handle(), 1));
    const auto count = w.Messages.size();
    PumpFor(100ms);
    EXPECT_EQ(w.Messages.size(), count);
}

TEST(WindowTimers, StopWithTheirWindow) {
    auto* w = new RecorderWindow;
    const Win::HWND h = w->Handle();
    ASSERT_TRUE(Win::SetTimer(h, 1, 5));
    delete w;
    PumpFor(50ms);  // a timer message for the freed recorder would crash under the sanitizer
    EXPECT_FALSE(Win::SetTimer(h, 1, 5));
}

TEST(Application, TerminateEndsRun) {
    RecorderWindow w;
    Win::PostMessage(w.Handle(), 1700, 0, 0);
    w.OnMessage = [](const Received&) { Win::Application().Terminate(); };
    Win::Application().Run();
    EXPECT_TRUE(Win::Application().Terminated());
    EXPECT_EQ(w.Messages.size(), 1u);
}

TEST(Application, WaitForMessageReturnsEarlyForAMessageAndOtherwiseAfterItsLimit) {
    RecorderWindow w;
    Win::PostMessage(w.Handle(), 1800, 0, 0);
    auto start = std::chrono::steady_clock::now();
    Win::Application().WaitForMessage(500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);  // a message was already waiting
    Win::Application().ProcessMessages();
    ASSERT_EQ(w.Messages.size(), 1u);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) Win::Application().WaitForMessage(20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms);  // nothing arrives: each wait lasts its limit
}
