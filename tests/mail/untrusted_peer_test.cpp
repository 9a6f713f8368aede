// The mail client against servers, files and fields it cannot trust: replies
// that are no SMTP, that never end or come out of turn, an end mark left
// unanswered, a stop during lookup, connect and composition, fields the wire
// would cut, and an allocation that fails.
#include "session_fixture.h"

#include "mail/SendJob.h"
#include "tests/net/NetTest.h"
#include "tests/support/TempFiles.h"

#include <functional>
#include <new>
#include <optional>
#include <thread>

namespace sessiontest {
namespace {

using testsupport::ScriptedPeer;
using testsupport::TempFile;
using Kind = rtl::TErrorKind;

// How an operation ended, by the rtl::Exception it raised.
struct Ended {
    std::string Message;
    Kind What = Kind::Other;
    bool operator==(const Ended&) const = default;
};

void PrintTo(const Ended& e, std::ostream* os) { *os << "kind " << static_cast<int>(e.What) << " \"" << e.Message << "\""; }

template <typename Fn>
Ended EndOf(Fn&& fn) {
    try {
        fn();
    } catch (const rtl::Exception& e) {
        return {e.Message, e.Kind};
    }
    return {"<no exception>", Kind::Other};
}

// Replies the client must not take: each ends Connect with a protocol error,
// drops the connection and sends nothing, not even QUIT.
TEST_F(SessionTest, RepliesThatAreNoSmtpEndTheDialogueAndDropTheConnection) {
    std::string manyLines;
    for (int i = 0; i < mail::kMaxReplyLines; ++i) manyLines += "220-more\r\n";
    const std::string notSmtp = mail::kMsgNotSmtp;
    const struct {
        const char* Name;
        std::string Greeting, Message;
    } cases[] = {
        {"binary", "\x01\x02\xff\xfe junk\r\n", notSmtp},
        {"empty line", "\r\n", notSmtp},
        {"negative", "-1 x\r\n", notSmtp},
        {"two digits", "25 x\r\n", notSmtp},
        {"beyond 32 bits", "4294967296 x\r\n", notSmtp},
        {"code 1xx", "199 x\r\n", notSmtp},
        {"no separator", "220x\r\n", notSmtp},
        {"endless line", "220 " + std::string(5000, 'x') + "\r\n",
         rtl::FormatMessage(net::kMsgLineTooLong, rtl::IntToStr(mail::kMaxReplyLineBytes))},
        {"endless reply", manyLines + "220 end\r\n",
         rtl::FormatMessage(mail::kMsgTooManyReplyLines, rtl::IntToStr(mail::kMaxReplyLines))},
    };
    SetReplyLimits(500);  // the old client waited for a HELO reply here
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedPeer peer;
        peer.Send(c.Greeting).ReadUntilClose().Start();
        Smtp.Port = peer.Port();
        EXPECT_EQ(EndOf([&] { Smtp.Connect(); }), (Ended{c.Message, Kind::Protocol}));
        EXPECT_FALSE(Smtp.Connected);
        EXPECT_FALSE(Smtp.Busy());
        EXPECT_TRUE(peer.WaitDone(kBound));
        EXPECT_EQ(peer.Received(), "");
    }
}

// One line too many before the greeting puts every reply one step behind:
// the reply waiting before HELO shows it, and nothing goes out.
TEST_F(SessionTest, ReplyWaitingBeforeACommandEndsTheDialogue) {
    Peer.Send("220 first\r\n220 second\r\n").ReadUntilClose();
    Peer.Start();
    EXPECT_EQ(EndOf([&] { Smtp.Connect(); }), (Ended{mail::kMsgOutOfStep, Kind::Protocol}));
    EXPECT_FALSE(Smtp.Connected);
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "");
}

// Once the end mark is out, the server may hold the message whatever ends the
// wait for its reply: the user is told so, in place of a plain failure.
TEST_F(SessionTest, AnEndMarkLeftUnansweredSaysTheFaxMayHaveGone) {
    enum class End { Stop, TimeLimit, Close };
    const struct {
        const char* Name;
        End How;
        std::uint32_t LimitMs;
        Kind Expected;
    } cases[] = {{"stop", End::Stop, kReplyLimitMs, Kind::Stopped},
                 {"time limit", End::TimeLimit, 300, Kind::TimedOut},
                 {"close", End::Close, kReplyLimitMs, Kind::ClosedByPeer}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedPeer peer;
        peer.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n");
        peer.Expect("RSET").Send("250 ok\r\n").Expect("MAIL FROM:<fax@sender.test>").Send("250 ok\r\n");
        peer.Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
        peer.ExpectData(SimpleData());
        if (c.How == End::Close)
            peer.Close();
        else
            peer.ReadUntilClose();
        peer.Start();
        Smtp.Port = peer.Port();
        Smtp.TimeLimits.EndMark = c.LimitMs;
        Smtp.PostMessage().ToAddress.Clear();
        Smtp.PostMessage().Body.Clear();
        FillSimple();
        Smtp.Connect();
        std::optional<Later> stop;
        if (c.How == End::Stop) stop.emplace(150, [&] { Smtp.Abort(); });
        EXPECT_EQ(EndOf([&] { Smtp.SubmitMessage(); }), (Ended{mail::kMsgMaybeDelivered, c.Expected}));
        EXPECT_FALSE(Smtp.Connected);
        EXPECT_TRUE(peer.WaitDone(kBound));
        EXPECT_THAT(peer.Failures(), ::testing::IsEmpty());
    }
}

// A stop while the host is looked up or the TCP connection opens ends the
// wait at once; without a socket time-out the client's own limit ends it.
TEST_F(SessionTest, StopAndTheConnectLimitEndALookupOrConnectInProgress) {
    const struct {
        const char* Name;
        bool SlowLookup, Stop;
        std::int32_t TimeOut;
        Kind Expected;
        long AtLeastMs, AtMostMs;
    } cases[] = {
        {"stop during the lookup", true, true, 5000, Kind::Stopped, 80, 700},
        {"stop during the connect", false, true, 5000, Kind::Stopped, 80, 700},
        {"client's connect limit", false, false, 0, Kind::TimedOut, 280, 2000},
    };
    nettest::TFakeResolver resolver([](const std::string&, std::vector<std::uint32_t>& addresses) {
        std::this_thread::sleep_for(1000ms);
        addresses = {nettest::TFakeResolver::Loopback()};
        return 0;
    });
    testsupport::StalledListener stalled;
    Smtp.Port = stalled.Port();
    Smtp.TimeLimits.Connect = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Smtp.Host = c.SlowLookup ? "slow.example.test" : "127.0.0.1";
        Smtp.TimeOut = c.TimeOut;
        std::optional<Later> stop;
        if (c.Stop) stop.emplace(100, [&] { Smtp.Abort(); });
        const auto start = Clock::now();
        EXPECT_EQ(EndOf([&] { Smtp.Connect(); }).What, c.Expected);
        EXPECT_GE(MsSince(start), c.AtLeastMs);
        EXPECT_LT(MsSince(start), c.AtMostMs);
        EXPECT_FALSE(Smtp.Busy());
        EXPECT_EQ(Smtp.TimeOut, c.TimeOut);
    }
}

// Composing a large attachment runs the message loop: a stop pressed then
// ends the send before its first command, and the composed text is let go.
TEST_F(SessionTest, StopWhileComposingEndsTheSendBeforeAnyCommand) {
    const TempFile scan("scan.bin", testsupport::RandomBytes(1 << 20, 3));
    FillSimple();
    Smtp.PostMessage().Attachments.Add(scan.Path());
    Greeted();
    Peer.ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    Smtp.OnEncodeStart = [](const std::string&) { std::this_thread::sleep_for(30ms); };  // the stop falls due
    Later stop(1, [&] { Smtp.Abort(); });
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), (Raised{"EAbortError", "Socket send aborted"}));
    EXPECT_EQ(stop.Fired, 1);
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_EQ(Smtp.MessageStream.Size(), 0);
    EXPECT_EQ(Peer.Received(), "HELO fax\r\n");
}

// What the socket's Write would cut (at a zero byte, or after 16384
// characters, or a line the server may refuse past 512 octets) is refused
// before its command, naming the field.
TEST_F(SessionTest, FieldsTheWireWouldCutAreRefusedBeforeTheirCommand) {
    const std::string longBox(520, 'a');
    const struct {
        const char* Name;
        std::function<void(mail::TZelSMTP&)> Spoil;
        std::string Message;
        bool AtConnect;
    } cases[] = {
        {"long HELO", [&](auto& s) { s.UserID = longBox; }, rtl::FormatMessage(mail::kMsgCommandTooLong, "UserID"), true},
        {"zero in HELO", [](auto& s) { s.UserID = std::string("f\0x", 3); }, rtl::FormatMessage(mail::kMsgZeroByte, "UserID"), true},
        {"long sender", [&](auto& s) { s.PostMessage().FromAddress = longBox + "@x"; },
         rtl::FormatMessage(mail::kMsgCommandTooLong, "FromAddress"), false},
        {"zero in sender", [](auto& s) { s.PostMessage().FromAddress = std::string("fax@x\0y", 7); },
         rtl::FormatMessage(mail::kMsgZeroByte, "FromAddress"), false},
        {"long recipient", [&](auto& s) { s.PostMessage().ToAddress.Add("Name <" + longBox + ">"); },
         rtl::FormatMessage(mail::kMsgCommandTooLong, "recipient"), false},
        {"zero in subject", [](auto& s) { s.PostMessage().Subject = std::string("a\0b", 3); },
         rtl::FormatMessage(mail::kMsgZeroByte, "Subject"), false},
    };
    SetReplyLimits(500);  // the old client waited for a reply to a line without its end
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedPeer peer;
        if (c.AtConnect)
            peer.SetStepTimeout(300ms);  // no connection is awaited
        else
            peer.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n").ReadUntilClose();
        peer.Start();
        Smtp.Port = peer.Port();
        Smtp.UserID = "fax";
        Smtp.PostMessage().ToAddress.Clear();
        Smtp.PostMessage().Subject.clear();
        FillSimple();
        c.Spoil(Smtp);
        const Ended ended = EndOf([&] {
            Smtp.Connect();
            Smtp.SubmitMessage();
        });
        EXPECT_EQ(ended, (Ended{c.Message, Kind::Invalid}));
        Smtp.DropConnection();
        EXPECT_TRUE(peer.WaitDone(kBound));
        EXPECT_EQ(peer.ConnectionsAccepted(), c.AtConnect ? 0 : 1);
        EXPECT_EQ(peer.Received(), c.AtConnect ? "" : "HELO fax\r\n");
    }
}

TEST_F(SessionTest, AnAllocationFailureEndsTheSendWithAClearMessage) {
    Greeted();
    Peer.ReadUntilClose();
    Peer.Start();
    mail::TSendJob job(Smtp);
    EXPECT_EQ(EndOf([&] { job.Run("127.0.0.1", "fax", [](mail::TPostMessage&) { throw std::bad_alloc(); }); }),
              (Ended{mail::kMsgOutOfMemory, Kind::OutOfMemory}));
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(job.Running());
    ExpectScriptPlayed();
}

}  // namespace
}  // namespace sessiontest
