#include "Recorder.h"

#include "platform/Windows.h"

#include <gtest/gtest.h>

#include "PosixPeer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr Win::UINT kSocketMessage = 1125;
constexpr Win::UINT kLookupMessage = 1126;

Win::sockaddr_in Loopback(std::uint16_t port) {
    Win::sockaddr_in a{};
    a.sin_family = Win::AF_INET;
    a.sin_port = Win::htons(port);
    a.sin_addr.s_addr = Win::inet_addr("127.0.0.1");
    return a;
}

std::vector<Win::WORD> Events(const RecorderWindow& w, Win::UINT msg = kSocketMessage) {
    std::vector<Win::WORD> events;
    for (const auto& m : w.Messages)
        if (m.Msg == msg) events.push_back(Win::LOWORD(m.LParam));
    return events;
}

long Count(const std::vector<Win::WORD>& events, long event) {
    return std::count(events.begin(), events.end(), static_cast<Win::WORD>(event));
}

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Win::WSAStartup(0x0101, &Data), 0); }
    void TearDown() override {
        if (Sock != Win::INVALID_SOCKET) Win::closesocket(Sock);
        Win::WSACleanup();
    }
    // A registered socket connected to the listener, with its connect notifications handled.
    void ConnectTo(Listener& listener) {
        Sock = Win::socket(Win::AF_INET, Win::SOCK_STREAM, Win::IPPROTO_TCP);
        ASSERT_NE(Sock, Win::INVALID_SOCKET);
        ASSERT_EQ(Win::WSAAsyncSelect(Sock, Window.Handle(), kSocketMessage, 0x3F), 0);
        const auto addr = Loopback(listener.Port);
        ASSERT_EQ(Win::connect(Sock, &addr, sizeof addr), Win::SOCKET_ERROR);
        ASSERT_EQ(Win::WSAGetLastError(), Win::WSAEWOULDBLOCK);
        ASSERT_TRUE(PumpUntil([&] { return Count(Events(Window), Win::FD_WRITE) == 1; }));
        ASSERT_GE(listener.Accept(), 0);
    }
    Win::WSADATA Data{};
    RecorderWindow Window;
    Win::SOCKET Sock = Win::INVALID_SOCKET;
};

}  // namespace

TEST_F(WinsockTest, StartupRecordNamesThisLayer) {
    EXPECT_EQ(Data.wVersion, 0x0101);
    EXPECT_NE(std::string(Data.szDescription), "");
    EXPECT_NE(std::string(Data.szSystemStatus), "");
    EXPECT_GT(Data.iMaxSockets, 0);
}

TEST_F(WinsockTest, ConnectGivesOneConnectThenOneWrite) {
    Listener listener;
    ConnectTo(listener);
    PumpFor(50ms);
    const auto events = Events(Window);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], Win::FD_CONNECT);
    EXPECT_EQ(Win::HIWORD(Window.Messages[0].LParam), 0);
    EXPECT_EQ(events[1], Win::FD_WRITE);
    EXPECT_EQ(Window.Messages[0].WParam, Sock);
}

TEST_F(WinsockTest, RefusedPortGivesConnectNotificationWith10061) {
    int holder = -1;
    const auto port = ClosedPort(holder);
    Sock = Win::socket(Win::AF_INET, Win::SOCK_STREAM, Win::IPPROTO_TCP);
    Win::WSAAsyncSelect(Sock, Window.Handle(), kSocketMessage, 0x3F);
    const auto addr = Loopback(port);
    EXPECT_EQ(Win::connect(Sock, &addr, sizeof addr), Win::SOCKET_ERROR);
    EXPECT_EQ(Win::WSAGetLastError(), Win::WSAEWOULDBLOCK);
    ASSERT_TRUE(PumpUntil([&] { return !Window.Messages.empty(); }));
    PumpFor(30ms);
    ASSERT_EQ(Window.Messages.size(), 1u);
    EXPECT_EQ(Win::LOWORD(Window.Messages[0].LParam), Win::FD_CONNECT);
    EXPECT_EQ(Win::HIWORD(Window.Messages[0].LParam), Win::WSAECONNREFUSED);
    CloseFd(holder);
}

TEST_F(WinsockTest, DataGivesOneReadNotificationPerRecv) {
    Listener listener;
    ConnectTo(listener);
    ASSERT_EQ(listener.Send("hello world"), 11);
    ASSERT_TRUE(PumpUntil([&] { return Count(Events(Window), Win::FD_READ) == 1; }));
    ASSERT_EQ(listener.Send("more"), 4);
    PumpFor(50ms);
    EXPECT_EQ(Count(Events(Window), Win::FD_READ), 1);  // not again before recv
    char buf[64];
    EXPECT_EQ(Win::recv(Sock, buf, 5, 0), 5);
    ASSERT_TRUE(PumpUntil([&] { return Count(Events(Window), Win::FD_READ) == 2; }));  // data remains
    EXPECT_EQ(Win::recv(Sock, buf, sizeof buf, 0), 10);
    EXPECT_EQ(std::string(buf, 10), " worldmore");
    PumpFor(50ms);
    EXPECT_EQ(Count(Events(Window), Win::FD_READ), 2);
    EXPECT_EQ(Win::recv(Sock, buf, sizeof buf, 0), Win::SOCKET_ERROR);
    EXPECT_EQ(Win::WSAGetLastError(), Win::WSAEWOULDBLOCK);
}

TEST_F(WinsockTest, PeerCloseGivesOneCloseAndItsLastBytesStayReadable) {
    Listener listener;
    ConnectTo(listener);
    ASSERT_EQ(listener.Send("221 bye\r\n"), 9);
    listener.ClosePeer();
    char buf[64];
    ASSERT_TRUE(PumpUntil([&] {
        const auto events = Events(Window);
        if (Count(events, Win::FD_READ) > 0 && Window.Messages.back().Msg == kSocketMessage &&
            Win::LOWORD(Window.Messages.back().LParam) == Win::FD_READ)
            Win::recv(Sock, buf, 3, 0);  // take a little at a time, as a slow reader would
        return Count(events, Win::FD_CLOSE) == 1;
    }));
    PumpFor(50ms);
    EXPECT_EQ(Count(Events(Window), Win::FD_CLOSE), 1);
    // Whatever the reader has not taken is still there after the close.
    int total = 0, n;
    while ((n = Win::recv(Sock, buf, sizeof buf, 0)) > 0) total += n;
    EXPECT_EQ(n, 0);
    EXPECT_GE(total, 0);
}

TEST_F(WinsockTest, CloseNotificationLeavesUnreadDataReadable) {
    Listener listener;
    ConnectTo(listener);
    ASSERT_EQ(listener.Send("last words"), 10);
    listener.ClosePeer();
    // The reader takes nothing until the close arrives.
    ASSERT_TRUE(PumpUntil([&] { return Count(Events(Window), Win::FD_READ) == 1; }));
    char buf[64];
    ASSERT_EQ(Win::recv(Sock, buf, sizeof buf, 0), 10);
    ASSERT_TRUE(PumpUntil([&] { return Count(Events(Window), Win::FD_CLOSE) == 1; }));
    EXPECT_EQ(std::string(buf, 10), "last words");
    EXPECT_EQ(Win::recv(Sock, buf, sizeof buf, 0), 0);
}

TEST_F(WinsockTest, ASendThatFillsTheSocketGives10035ThenOneWrite) {
    Listener listener;
    ConnectTo(listener);
    const std::string chunk(16383, 'x');
    int sent = 0, n;
    while ((n = Win::send(Sock, chunk.data(), static_cast<int>(chunk.size()), 0)) > 0) {
        sent += n;
        ASSERT_LT(sent, 1 << 30);
    }
    EXPECT_EQ(Win::WSAGetLastError(), Win::WSAEWOULDBLOCK);
    const auto writesBefore = Count(Events(Window), Win::FD_WRITE);
    PumpFor(30ms);
    EXPECT_EQ(Count(Events(Window), Win::FD_WRITE), writesBefore);  // nobody has read yet
    listener.StartDraining();
    const bool gotWrite = PumpUntil([&] { return Count(Events(Window), Win::FD_WRITE) == writesBefore + 1; });
    PumpFor(30ms);
    listener.Stop();
    EXPECT_TRUE(gotWrite);
    EXPECT_EQ(Count(Events(Window), Win::FD_WRITE), writesBefore + 1);
}

TEST_F(WinsockTest, NotificationsStopWithTheSocketAndWhenSwitchedOff) {
    Listener listener;
    ConnectTo(listener);
    Win::WSAAsyncSelect(Sock, Window.Handle(), 0, 0);
    listener.Send("x");
    PumpFor(40ms);
    EXPECT_EQ(Count(Events(Window), Win::FD_READ), 0);
    // A notification already queued for a socket that is then closed is dropped.
    Win::WSAAsyncSelect(Sock, Window.Handle(), kSocketMessage, 0x3F);
    Win::closesocket(Sock);
    Sock = Win::INVALID_SOCKET;
    const auto before = Window.Messages.size();
    PumpFor(40ms);
    EXPECT_EQ(Window.Messages.size(), before);
}

TEST_F(WinsockTest, LookupOfLocalhostGivesLoopback) {
    char buffer[Win::MAXGETHOSTSTRUCT];
    ASSERT_NE(Win::WSAAsyncGetHostByName(Window.Handle(), kLookupMessage, "localhost", buffer, sizeof buffer), 0u);
    ASSERT_TRUE(PumpUntil([&] { return !Window.Messages.empty(); }));
    EXPECT_EQ(Window.Messages[0].Msg, kLookupMessage);
    ASSERT_EQ(Win::HIWORD(Window.Messages[0].LParam), 0);
    const auto* entry = reinterpret_cast<const Win::hostent*>(buffer);
    ASSERT_NE(entry->h_addr_list[0], nullptr);
    std::uint32_t addr;
    std::memcpy(&addr, entry->h_addr_list[0], 4);
    EXPECT_EQ(addr, Win::inet_addr("127.0.0.1"));
    EXPECT_EQ(entry->h_length, 4);
}

TEST_F(WinsockTest, LookupOfANameWithAnEmptyLabelFailsWith11001) {
    char buffer[Win::MAXGETHOSTSTRUCT];
    Win::WSAAsyncGetHostByName(Window.Handle(), kLookupMessage, "no..such.host", buffer, sizeof buffer);
    ASSERT_TRUE(PumpUntil([&] { return !Window.Messages.empty(); }));
    EXPECT_EQ(Win::HIWORD(Window.Messages[0].LParam), Win::WSAHOST_NOT_FOUND);
}

TEST_F(WinsockTest, ALookupForAWindowDestroyedMeanwhileIsDropped) {
    Win::SetHostResolverForTests([](const std::string&, std::vector<std::uint32_t>& out) {
        std::this_thread::sleep_for(50ms);
        out.push_back(0x0100007F);
        return 0;
    });
    auto* w = new RecorderWindow;
    auto* buffer = new char[Win::MAXGETHOSTSTRUCT];
    Win::WSAAsyncGetHostByName(w->Handle(), kLookupMessage, "slow.example", buffer, Win::MAXGETHOSTSTRUCT);
    delete w;
    delete[] buffer;  // writing the result now would be a use after free
    PumpFor(150ms);
    Win::SetHostResolverForTests(nullptr);
    SUCCEED();  // the sanitizer build checks that nothing touched the freed area
}

TEST(InetAddr, DottedAddressesAndNonAddresses) {
    EXPECT_EQ(Win::inet_addr("10.0.0.1"), 0x0100000Au);
    EXPECT_EQ(Win::inet_addr("0.0.0.0"), 0u);
    EXPECT_EQ(Win::inet_addr("255.255.255.255"), Win::INADDR_NONE);
    EXPECT_EQ(Win::inet_addr("abc"), Win::INADDR_NONE);
    EXPECT_EQ(Win::inet_addr("1.2.3.4.5"), Win::INADDR_NONE);
    EXPECT_EQ(Win::htons(25), 0x1900);
}

TEST(WinsockStartup, SocketsNeedAStartedLayer) {
    EXPECT_EQ(Win::socket(Win::AF_INET, Win::SOCK_STREAM, 0), Win::INVALID_SOCKET);
    EXPECT_EQ(Win::WSAGetLastError(), 10093);
    EXPECT_EQ(Win::WSACleanup(), Win::SOCKET_ERROR);
}
