// The mail client against what it cannot trust: replies that are no SMTP or
// come out of turn, an end mark left unanswered, a stop during lookup,
// connect and composition, fields the wire would cut, a failed allocation.
#include "session_fixture.h"

#include "mail/SendJob.h"
#include "tests/net/NetTest.h"
#include "tests/support/TempFiles.h"

#include <memory>
#include <new>
#include <optional>
#include <thread>

namespace sessiontest {
namespace {

using testsupport::ScriptedPeer;
using Kind = rtl::TErrorKind;

struct Ended {
    std::string Message;
    Kind What;
    bool operator==(const Ended&) const = default;
};
void PrintTo(const Ended& e, std::ostream* os) { *os << "kind " << static_cast<int>(e.What) << " " << e.Message; }

template <typename Fn>
Ended EndOf(Fn&& fn) {
    try {
        fn();
    } catch (const rtl::Exception& e) {
        return {e.Message, e.Kind};
    }
    return {"<none>", Kind::Other};
}

// Each ends Connect with a protocol error and drops the connection; nothing
// more goes out, no QUIT. A row at EHLO is that command's reply.
TEST_F(SessionTest, RepliesThatAreNoSmtpOrComeOutOfTurnEndTheDialogue) {
    std::string endless;
    for (int i = 0; i < mail::kMaxReplyLines; ++i) endless += "220-more\r\n";
    const struct {
        std::string Reply, Message;
        bool AtEhlo = false;
    } cases[] = {
        {"\x01\xff junk\r\n", mail::kMsgNotSmtp}, {"\r\n", mail::kMsgNotSmtp}, {"-1 x\r\n", mail::kMsgNotSmtp},
        {"25 x\r\n", mail::kMsgNotSmtp}, {"4294967296 x\r\n", mail::kMsgNotSmtp}, {"199 x\r\n", mail::kMsgNotSmtp},
        {"220 " + std::string(5000, 'x') + "\r\n", rtl::FormatMessage(net::kMsgLineTooLong, "4096")},
        {endless + "220 end\r\n", rtl::FormatMessage(mail::kMsgTooManyReplyLines, "1000")},
        {"220 one too many\r\n220 ready\r\n", mail::kMsgOutOfStep},
        {"99999 x\r\n", mail::kMsgNotSmtp, true},
    };
    SetReplyLimits(500);  // the old client waited here for a reply to HELO
    for (const auto& c : cases) {
        ScriptedPeer peer;
        if (c.AtEhlo) peer.Send("220 ready\r\n").Expect("EHLO fax");
        peer.Send(c.Reply).ReadUntilClose().Start();
        Smtp.Port = peer.Port();
        Smtp.Security = c.AtEhlo ? mail::TSmtpSecurity::StartTls : mail::TSmtpSecurity::None;
        EXPECT_EQ(EndOf([&] { Smtp.Connect(); }), (Ended{c.Message, Kind::Protocol})) << c.Reply.substr(0, 20);
        EXPECT_FALSE(Smtp.Connected);
        EXPECT_TRUE(peer.WaitDone(kBound));
        EXPECT_EQ(peer.Received(), c.AtEhlo ? "EHLO fax\r\n" : "");
    }
}

// After the end mark the server may hold the message, whatever ends the wait.
TEST_F(SessionTest, AnEndMarkLeftUnansweredSaysTheFaxMayHaveGone) {
    for (const Kind cause : {Kind::Stopped, Kind::TimedOut, Kind::ClosedByPeer}) {
        ScriptedPeer peer;
        peer.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n");
        for (const char* command : {"RSET", "MAIL FROM:<fax@sender.test>", "RCPT TO:<you@rcpt.test>", "DATA"})
            peer.Expect(command).Send(command[0] == 'D' ? "354 go\r\n" : "250 ok\r\n");
        peer.ExpectUntil("\r\n.\r\n");
        cause == Kind::ClosedByPeer ? peer.Close() : peer.ReadUntilClose();
        peer.Start();
        Smtp.Port = peer.Port();
        Smtp.TimeLimits.EndMark = cause == Kind::TimedOut ? 300 : kReplyLimitMs;
        Smtp.PostMessage().ToAddress.Clear();
        FillSimple();
        Smtp.Connect();
        std::optional<Later> stop;
        if (cause == Kind::Stopped) stop.emplace(150, [&] { Smtp.Abort(); });
        EXPECT_EQ(EndOf([&] { Smtp.SubmitMessage(); }), (Ended{mail::kMsgMaybeDelivered, cause}));
        EXPECT_FALSE(Smtp.Connected);
        EXPECT_TRUE(peer.WaitDone(kBound));
        EXPECT_THAT(peer.Failures(), ::testing::IsEmpty());
    }
}

// A stop ends a lookup or a TCP connect at once; without the socket's own
// time-out the client's connect limit ends it.
TEST_F(SessionTest, StopAndTheConnectLimitEndALookupOrConnectInProgress) {
    nettest::TFakeResolver slowLookup([](const std::string&, std::vector<std::uint32_t>& addresses) {
        std::this_thread::sleep_for(1000ms);
        addresses = {nettest::TFakeResolver::Loopback()};
        return 0;
    });
    testsupport::StalledListener stalled;
    Smtp.Port = stalled.Port();
    Smtp.TimeLimits.Connect = 300;
    const struct {
        const char* Host;
        std::int32_t TimeOut;
        Kind Expected;
        long FromMs, ToMs;
    } cases[] = {{"slow.example.test", 5000, Kind::Stopped, 80, 700},
                 {"127.0.0.1", 5000, Kind::Stopped, 80, 700},
                 {"127.0.0.1", 0, Kind::Unreachable, 280, 2000}};
    for (const auto& c : cases) {
        Smtp.Host = c.Host;
        Smtp.TimeOut = c.TimeOut;
        std::optional<Later> stop;
        if (c.Expected == Kind::Stopped) stop.emplace(100, [&] { Smtp.Abort(); });
        const auto start = Clock::now();
        EXPECT_EQ(EndOf([&] { Smtp.Connect(); }).What, c.Expected) << c.Host;
        EXPECT_GE(MsSince(start), c.FromMs);
        EXPECT_LT(MsSince(start), c.ToMs);
        EXPECT_EQ(Smtp.TimeOut, c.TimeOut);
    }
}

// Composition runs while the text goes out: a stop then ends the send, and
// neither the rest of the text nor the end mark follows.
TEST_F(SessionTest, StopWhileComposingEndsTheSendWithoutTheEndMark) {
    const testsupport::TempFile scan("scan.bin", testsupport::RandomBytes(1 << 20, 3));
    FillSimple();
    Smtp.PostMessage().Attachments.Add(scan.Path());
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n").ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    std::unique_ptr<Later> stop;
    Smtp.OnEncodeStart = [&](const std::string&) {
        stop = std::make_unique<Later>(1, [&] { Smtp.Abort(); });
        std::this_thread::sleep_for(30ms);  // the stop falls due
    };
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), (Raised{"EAbortError", "Socket send aborted"}));
    EXPECT_EQ(Smtp.MessageStream.Size(), 0);
    EXPECT_FALSE(Smtp.Connected);
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received().find("\r\n.\r\n"), std::string::npos);
    EXPECT_LT(Peer.Received().size(), std::size_t{1} << 20);
}

// A zero byte or a line past 512 octets, which Write would cut or a server
// refuse, is refused before its command, naming the field.
TEST_F(SessionTest, FieldsTheWireWouldCutAreRefusedBeforeTheirCommand) {
    const std::string box(520, 'a');
    const struct {
        std::function<void()> Spoil;
        std::string Message;
        const char* Sent;
    } cases[] = {
        {[&] { Smtp.UserID = box; }, rtl::FormatMessage(mail::kMsgCommandTooLong, "UserID"), ""},
        {[&] { Smtp.PostMessage().FromAddress = std::string("a@x\0y", 5); }, rtl::FormatMessage(mail::kMsgZeroByte, "FromAddress"), "HELO fax\r\n"},
        {[&] { Smtp.PostMessage().ToAddress.Add("N <" + box + ">"); }, rtl::FormatMessage(mail::kMsgCommandTooLong, "recipient"), "HELO fax\r\n"},
    };
    SetReplyLimits(500);  // the old client waited for a reply to a line without its end
    for (const auto& c : cases) {
        ScriptedPeer peer;
        peer.SetStepTimeout(500ms);
        peer.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n").ReadUntilClose().Start();
        Smtp.Port = peer.Port();
        Smtp.UserID = "fax";
        Smtp.PostMessage().ToAddress.Clear();
        FillSimple();
        c.Spoil();
        EXPECT_EQ(EndOf([&] { Smtp.Connect(); Smtp.SubmitMessage(); }), (Ended{c.Message, Kind::Invalid}));
        Smtp.DropConnection();
        peer.WaitDone(kBound);
        EXPECT_EQ(peer.Received(), c.Sent);
    }
}

TEST_F(SessionTest, AnAllocationFailureEndsTheSendWithAClearMessage) {
    Greeted().ReadUntilClose();
    Peer.Start();
    mail::TSendJob job(Smtp);
    EXPECT_EQ(EndOf([&] { job.Run({"127.0.0.1", Smtp.Port, {}, {}, {}, "fax", {}}, [](mail::TPostMessage&) { throw std::bad_alloc(); }); }),
              (Ended{mail::kMsgOutOfMemory, Kind::OutOfMemory}));
    EXPECT_FALSE(Smtp.Connected);
    ExpectScriptPlayed();
}

}  // namespace
}  // namespace sessiontest
