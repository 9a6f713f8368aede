// Shared pieces of the socket component's tests.
#pragma once

#include "net/ZelSock.h"
#include "platform/Application.h"
#include "platform/Windows.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/Ports.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

using namespace std::chrono_literals;

// The Winsock constants under names that POSIX headers (macros) cannot spoil.
inline constexpr int WinAfInet = Win::AF_INET;
inline constexpr int WinSockStream = Win::SOCK_STREAM;
using Clock = std::chrono::steady_clock;

inline long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Reaches the protected parts and counts the time-out's Abort calls.
class TProbeSock : public net::TZelSock {
public:
    using TZelSock::TZelSock;
    using TZelSock::InHandler;
    using TZelSock::LookupDone;
    using TZelSock::NotifyWindow;
    using TZelSock::ReadToStream;
    using TZelSock::TimedOut;
    void Abort() override { ++AbortCalls; }
    int AbortCalls = 0;
};

// Runs fn from the message loop every interval (once when once is true),
// that is, inside whatever wait is running then.
class TLater {
public:
    TLater(std::chrono::milliseconds interval, std::function<void()> fn, bool once = true) : Fn(std::move(fn)) {
        Timer.SetInterval(static_cast<std::uint32_t>(interval.count()));
        Timer.SetOnTimer([this, once](rtl::TObject*) {
            if (once) Timer.SetEnabled(false);
            Fn();
        });
    }

private:
    std::function<void()> Fn;
    net::TThreadTimer Timer{nullptr};
};

// Replaces the host resolver for one test. The answer runs on the lookup's
// worker thread. The destructor waits (bounded) for lookups still running,
// then restores the real resolver.
class TFakeResolver {
public:
    explicit TFakeResolver(std::function<int(const std::string&, std::vector<std::uint32_t>&)> answer)
        : State(std::make_shared<TState>()) {
        auto state = State;
        Win::SetHostResolverForTests([state, answer](const std::string& name, std::vector<std::uint32_t>& addresses) {
            {
                std::lock_guard lock(state->Lock);
                state->Names.push_back(name);
            }
            ++state->Running;
            const int result = answer(name, addresses);
            --state->Running;
            return result;
        });
    }
    ~TFakeResolver() {
        testsupport::PumpUntil([this] { return State->Running == 0; }, 5000ms);
        Win::SetHostResolverForTests({});
    }
    TFakeResolver(const TFakeResolver&) = delete;
    TFakeResolver& operator=(const TFakeResolver&) = delete;

    std::vector<std::string> Names() const {
        std::lock_guard lock(State->Lock);
        return State->Names;
    }

    static std::uint32_t Loopback(std::uint8_t last = 1) {
        const std::uint8_t bytes[4] = {127, 0, 0, last};
        std::uint32_t address;
        std::memcpy(&address, bytes, 4);
        return address;
    }

private:
    struct TState {
        std::mutex Lock;
        std::vector<std::string> Names;
        std::atomic<int> Running{0};
    };
    std::shared_ptr<TState> State;
};

// One component per test, a watchdog that cancels any wait that goes on far
// too long (so a fault fails instead of hanging), and leak checks at the end.
class SockTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(net::TZelSock::WinsockUsers(), 0);
        Sock = std::make_unique<TProbeSock>(nullptr);
        Watchdog = std::make_unique<TLater>(20000ms, [this] {
            WatchdogFired = true;
            Sock->Cancel();
        }, false);
    }
    void TearDown() override {
        Watchdog.reset();
        Sock.reset();
        EXPECT_FALSE(WatchdogFired) << "a wait had to be cancelled by the watchdog";
        EXPECT_EQ(net::TZelSock::WinsockUsers(), 0);
        EXPECT_EQ(Win::OpenSocketCount(), 0);
    }

    void ConnectTo(const testsupport::ScriptedPeer& peer) {
        Sock->Host = "127.0.0.1";
        Sock->Port = peer.Port();
        Sock->Connect();
        ASSERT_TRUE(Sock->Connected);
    }

    // Waits for the peer's script, running the message loop so the component
    // can answer (for instance close after the peer closed), and checks that
    // the script went as written.
    static void ExpectScriptDone(const testsupport::ScriptedPeer& peer) {
        EXPECT_TRUE(testsupport::PumpUntil([&] { return peer.Done(); }, 10000ms));
        EXPECT_EQ(peer.Failures(), std::vector<std::string>{});
    }

    std::unique_ptr<TProbeSock> Sock;
    std::unique_ptr<TLater> Watchdog;
    bool WatchdogFired = false;
};

using testsupport::UnusedPort;

}  // namespace nettest
