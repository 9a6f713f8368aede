// Shared set-up of the SMTP session tests: a mail client pointed at a scripted
// loopback server, an event log, and helpers to catch and compare failures.
#pragma once

#include "mail/ReplyError.h"
#include "mail/Zelsmtp.h"
#include "net/ZelSock.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/ScriptedPeer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <typeinfo>
#include <vector>

namespace sessiontest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Long enough for any step on a loaded machine, short enough that a fault
// ends the test instead of hanging it.
inline constexpr auto kBound = 5s;
inline constexpr std::uint32_t kReplyLimitMs = 5000;

// How an operation ended: which exception class, and its message.
struct Raised {
    std::string Kind;
    std::string Message;
    bool operator==(const Raised&) const = default;
};

inline void PrintTo(const Raised& r, std::ostream* os) { *os << r.Kind << "(\"" << r.Message << "\")"; }

inline Raised None() { return {"none", ""}; }
inline Raised Plain(const std::string& message) { return {"Exception", message}; }

template <typename Fn>
Raised Catch(Fn&& fn) {
    try {
        fn();
        return None();
    } catch (const net::EAbortError& e) {
        return {"EAbortError", e.Message};
    } catch (const net::ESockError& e) {
        return {"ESockError", e.Message};
    } catch (const rtl::EFOpenError& e) {
        return {"EFOpenError", e.Message};
    } catch (const rtl::Exception& e) {
        // A refusal is the plain class itself or the reply error, not some other descendant.
        const bool refusal = typeid(e) == typeid(rtl::Exception) || typeid(e) == typeid(mail::ESmtpReplyError);
        return {refusal ? "Exception" : typeid(e).name(), e.Message};
    } catch (const std::exception& e) {
        return {"std::exception", e.what()};
    }
}

inline long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Runs fn once, delay ms from now, from the message loop: the way a window
// handler (the stop button) runs while the client waits.
class Later {
public:
    Later(std::uint32_t delayMs, std::function<void()> fn) : Fn(std::move(fn)) {
        Timer.SetEnabled(false);
        Timer.SetInterval(delayMs);
        Timer.SetOnTimer([this](rtl::TObject*) {
            Timer.SetEnabled(false);
            ++Fired;
            Fn();
        });
        Timer.SetEnabled(true);
    }
    int Fired = 0;

private:
    std::function<void()> Fn;
    net::TThreadTimer Timer{nullptr};
};

// What SessionTest::FillSimple puts after DATA, end mark included.
inline std::string SimpleData() {
    return "From: <fax@sender.test>\r\n"
           "To: you@rcpt.test\r\n"
           "Mime-Version: 1.0\r\n"
           "Content-Type: text/plain;                        charset=us-ascii\r\n"
           "\r\n\r\n"
           "Hello\r\n"
           ".\r\n";
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        Smtp.Host = "127.0.0.1";
        Smtp.Port = Peer.Port();
        Smtp.TimeOut = 5000;
        Smtp.ReportLevel = 0;
        Smtp.UserID = "fax";
        SetReplyLimits(kReplyLimitMs);
    }

    // Handlers capture the test's locals, which are gone by now; the client's
    // destruction may still fire some (OnDisconnect, OnStatus).
    void TearDown() override {
        Smtp.OnConnect = nullptr;
        Smtp.OnSendStart = Smtp.OnSuccess = Smtp.OnFailure = Smtp.OnPacketSent = nullptr;
        Smtp.OnRecipientNotFound = nullptr;
        Smtp.OnHeaderIncomplete = nullptr;
        Smtp.OnEncodeStart = Smtp.OnEncodeEnd = Smtp.OnAttachmentNotFound = nullptr;
        Smtp.OnAuthenticationFailed = Smtp.OnConnectionRequired = Smtp.OnInvalidHost = nullptr;
        Smtp.OnMailListReturn = nullptr;
        Smtp.OnStatus = nullptr;
        Smtp.OnHostResolved = nullptr;
        Smtp.OnError = nullptr;
        Smtp.OnDisconnect = Smtp.OnConnectionFailed = Smtp.OnDataReceived = Smtp.OnPacketReceived = nullptr;
        Smtp.net::TZelSock::OnConnect = nullptr;
    }

    void SetReplyLimits(std::uint32_t ms) {
        auto& l = Smtp.TimeLimits;
        l.Greeting = l.Helo = l.Rset = l.MailFrom = l.RcptTo = l.Data = l.Transfer = l.EndMark = l.Quit = ms;
    }

    // The server's side of Connect: greeting, then HELO accepted.
    testsupport::ScriptedPeer& Greeted() {
        return Peer.Send("220 mx.test ESMTP ready\r\n").Expect("HELO fax").Send("250 mx.test\r\n");
    }
    // RSET and MAIL FROM accepted.
    testsupport::ScriptedPeer& Envelope(const std::string& from = "fax@sender.test") {
        return Peer.Expect("RSET").Send("250 flushed\r\n").Expect("MAIL FROM:<" + from + ">").Send("250 sender ok\r\n");
    }

    // A message the server will accept: one sender, one recipient, one body line.
    void FillSimple() {
        auto& m = Smtp.PostMessage();
        m.FromAddress = "fax@sender.test";
        m.ToAddress.Add("you@rcpt.test");
        m.Body.Add("Hello");
    }
    // Records the client's events, in order, in Log.
    void LogEvents() {
        Smtp.OnConnect = [this](rtl::TObject*) { Log.push_back("Connect"); };
        Smtp.OnSendStart = [this](rtl::TObject*) { Log.push_back("SendStart"); };
        Smtp.OnSuccess = [this](rtl::TObject*) { Log.push_back("Success"); };
        Smtp.OnFailure = [this](rtl::TObject*) { Log.push_back("Failure"); };
        Smtp.OnRecipientNotFound = [this](const std::string& r) { Log.push_back("RecipientNotFound " + r); };
        Smtp.OnEncodeStart = [this](const std::string& f) { Log.push_back("EncodeStart " + f); };
        Smtp.OnEncodeEnd = [this](const std::string& f) { Log.push_back("EncodeEnd " + f); };
        Smtp.OnAttachmentNotFound = [this](const std::string& f) { Log.push_back("AttachmentNotFound " + f); };
    }

    // The script must have run to its end as written.
    void ExpectScriptPlayed() {
        EXPECT_TRUE(Peer.WaitDone(kBound)) << "the server's script did not end";
        EXPECT_THAT(Peer.Failures(), ::testing::IsEmpty());
    }

    // Lets late bytes arrive, then tells whether the client left any unread.
    bool UnreadAfterSettling() {
        testsupport::PumpFor(100ms);
        return Smtp.ReceiveStream.Size() > 0;
    }

    // Declared first: the client goes (dropping its connection) before the server.
    testsupport::ScriptedPeer Peer;
    std::vector<std::string> Log;
    mail::TZelSMTP Smtp{nullptr};
};

}  // namespace sessiontest
