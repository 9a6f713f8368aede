// The time-out timer and the scripted peer the socket tests rely on.
#include "tests/net/NetTest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {
namespace {

using testsupport::PumpFor;
using testsupport::PumpUntil;

class ThreadTimer : public ::testing::Test {
protected:
    std::vector<long> Ticks;  // ms since Start, one per tick
    Clock::time_point Start = Clock::now();
    rtl::TNotifyEvent Record = [this](rtl::TObject*) { Ticks.push_back(ElapsedMs(Start)); };
};

TEST_F(ThreadTimer, RunsOnlyWithIntervalEnabledAndHandler) {
    net::TThreadTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);

    timer.SetInterval(0);
    timer.SetOnTimer(Record);
    PumpFor(150ms);
    EXPECT_TRUE(Ticks.empty()) << "interval 0 runs no timer";

    timer.SetEnabled(false);
    timer.SetInterval(20);
    PumpFor(150ms);
    EXPECT_TRUE(Ticks.empty()) << "a disabled timer runs nothing";

    timer.SetOnTimer(nullptr);
    timer.SetEnabled(true);
    PumpFor(150ms);  // no handler: nothing to run, and nothing breaks

    timer.SetOnTimer(Record);
    EXPECT_TRUE(PumpUntil([&] { return Ticks.size() >= 3; }, 3000ms)) << "it repeats while enabled";
}

TEST_F(ThreadTimer, AssigningTheHandlerRestartsThePeriodButSameValuesDoNot) {
    // Ticks may come late under load, never early: a first tick before 840 ms
    // belongs to the period that began at 0, one after it to a period begun at 300.
    net::TThreadTimer timer(nullptr);
    timer.SetInterval(600);
    timer.SetOnTimer(Record);
    PumpFor(300ms);
    timer.SetEnabled(true);  // unchanged values leave the period running
    timer.SetInterval(600);
    ASSERT_TRUE(PumpUntil([&] { return !Ticks.empty(); }, 3000ms));
    EXPECT_LT(Ticks[0], 840);

    Ticks.clear();
    Start = Clock::now();
    PumpFor(300ms);
    timer.SetOnTimer(Record);  // same handler again: a fresh period from here
    ASSERT_TRUE(PumpUntil([&] { return !Ticks.empty(); }, 3000ms));
    EXPECT_GE(Ticks[0], 840);
}

TEST_F(ThreadTimer, HandlerExceptionsGoToTheApplicationAndTheTimerGoesOn) {
    std::vector<std::string> shown;
    Win::Application().SetExceptionHandler([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            shown.push_back(e.what());
        }
    });
    {
        net::TThreadTimer timer(nullptr);
        timer.SetInterval(20);
        timer.SetOnTimer([](rtl::TObject*) { throw rtl::Exception("tick failed"); });
        PumpUntil([&] { return shown.size() >= 2; }, 3000ms);
    }
    Win::Application().SetExceptionHandler(nullptr);
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[0], "tick failed");
}

TEST_F(ThreadTimer, DestroyedTimerNeverTicks) {
    auto count = std::make_shared<int>(0);
    {
        net::TThreadTimer timer(nullptr);
        timer.SetInterval(10);
        timer.SetOnTimer([count](rtl::TObject*) { ++*count; });
        Win::Sleep(30);  // the period has passed, but no loop pass ran yet
    }
    PumpFor(100ms);
    EXPECT_EQ(*count, 0);
}

// ---- the scripted peer ----

int ConnectPlain(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

std::string ReadAll(int fd) {
    std::string all;
    char buf[256];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) all.append(buf, static_cast<std::size_t>(n));
    return all;
}

TEST(ScriptedPeer, PlaysTwoConnectionsAndRecordsEverything) {
    testsupport::ScriptedPeer peer;
    peer.Send("hello\r\n").Expect("ONE").ExpectUntil("\r\n.\r\n").Close().AcceptNext().ExpectBytes(3).Send("bye").Close();
    peer.Start();
    int fd = ConnectPlain(peer.Port());
    const std::string first = "ONE\r\nbody\r\n.\r\n";
    ::send(fd, first.data(), first.size(), 0);
    EXPECT_EQ(ReadAll(fd), "hello\r\n");
    ::close(fd);
    fd = ConnectPlain(peer.Port());
    ::send(fd, "xyz", 3, 0);
    EXPECT_EQ(ReadAll(fd), "bye");
    ::close(fd);
    EXPECT_TRUE(peer.WaitDone(5s));
    EXPECT_EQ(peer.Failures(), std::vector<std::string>{});
    EXPECT_EQ(peer.Received(), first + "xyz");
    EXPECT_EQ(peer.ConnectionsAccepted(), 2);
}

TEST(ScriptedPeer, MismatchFailsTheStepAndClosesTheConnection) {
    testsupport::ScriptedPeer peer;
    peer.Expect("HELO a").Send("never sent").Start();
    const int fd = ConnectPlain(peer.Port());
    ::send(fd, "HELO b\r\n", 8, 0);
    EXPECT_EQ(ReadAll(fd), "");  // closed instead of answered
    ::close(fd);
    EXPECT_TRUE(peer.WaitDone(5s));
    ASSERT_EQ(peer.Failures().size(), 1u);
    EXPECT_NE(peer.Failures()[0].find("got \"HELO b\\r\\n\""), std::string::npos) << peer.Failures()[0];
}

TEST(ScriptedPeer, StepsAreBoundedInTime) {
    testsupport::ScriptedPeer peer;
    peer.SetStepTimeout(200ms);
    peer.Expect("NOTHING").Start();
    const int fd = ConnectPlain(peer.Port());
    const auto start = Clock::now();
    EXPECT_TRUE(peer.WaitDone(5s));
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_EQ(peer.Failures().size(), 1u);
    ::close(fd);
    peer.Finish();  // returns promptly with nothing left to do
}

}  // namespace
}  // namespace nettest
