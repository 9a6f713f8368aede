// The SMTP session under stress: the stop button at every stage, re-entry
// from event handlers, silent and vanishing servers, line breaks smuggled in
// through message fields, and header lines longer than one write.
#include "session_fixture.h"

#include "tests/support/TempFiles.h"

namespace sessiontest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testsupport::TempFile;

// ---- Abort ----

TEST_F(SessionTest, AbortWithoutConnectionDoesNothing) {
    EXPECT_EQ(Catch([&] { Smtp.Abort(); }), None());
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Canceled);
}

TEST_F(SessionTest, AbortWhenIdleClosesWithoutQuit) {
    int disconnects = 0;
    Smtp.OnDisconnect = [&](rtl::TObject*) { ++disconnects; };
    Greeted();
    Peer.ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    EXPECT_EQ(Catch([&] { Smtp.Abort(); }), None());
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_EQ(disconnects, 1);
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\n");
    // A second press finds nothing to stop.
    EXPECT_EQ(Catch([&] { Smtp.Abort(); }), None());
    EXPECT_EQ(disconnects, 1);
}

// The stop button while the greeting is awaited must end Connect at once; a
// QUIT whose reply is then awaited would keep a silent server's user waiting
// for the whole QUIT time limit.
TEST_F(SessionTest, AbortWhileAwaitingGreetingEndsConnectAtOnce) {
    LogEvents();
    Peer.ReadUntilClose();
    Peer.Start();
    Later stop(100, [&] { Smtp.Abort(); });
    const auto start = Clock::now();
    EXPECT_EQ(Catch([&] { Smtp.Connect(); }).Kind, "EAbortError");
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(stop.Fired, 1);
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_THAT(Log, IsEmpty());
    ExpectScriptPlayed();
}

TEST_F(SessionTest, AbortWhileAwaitingReplyRaisesAndLateReplyDropsConnection) {
    LogEvents();
    FillSimple();
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Pause(1000ms).Send("250 late\r\n").ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    Later stop(100, [&] { Smtp.Abort(); });
    const auto start = Clock::now();
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), (Raised{"EAbortError", "Socket readln aborted"}));
    EXPECT_LT(MsSince(start), 800);
    EXPECT_EQ(stop.Fired, 1);
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart"));
    // The reply that comes after the stop is not taken for anything: the
    // connection goes.
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !Smtp.Connected; }, kBound));
    ExpectScriptPlayed();
    EXPECT_THAT(Peer.Received(), ::testing::EndsWith("RCPT TO:<you@rcpt.test>\r\n"));
}

TEST_F(SessionTest, AbortDuringTransferRaisesAndSendsNoEndMark) {
    TempFile big("big.bin", testsupport::RandomBytes(200000, 7));
    LogEvents();
    FillSimple();
    Smtp.PostMessage().Attachments.Add(big.Path());
    int packets = 0;
    Smtp.OnPacketSent = [&](rtl::TObject*) {
        if (++packets == 1) Smtp.Abort();
    };
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    Log.clear();
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), (Raised{"EAbortError", "Socket send aborted"}));
    EXPECT_EQ(packets, 1);
    EXPECT_FALSE(Smtp.Busy());
    // Stopped while its attachment was being encoded: the rest never was.
    EXPECT_THAT(Log, ElementsAre("SendStart", "EncodeStart " + big.Path()));
    EXPECT_EQ(Smtp.PostMessage().ToAddress.Count(), 1);
    EXPECT_EQ(Smtp.PostMessage().Attachments.Count(), 1);
    // A text cut off inside DATA leaves a connection no command can follow: it is dropped.
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_EQ(Smtp.SendQueue.Size(), 0);
    ExpectScriptPlayed();
    const std::string received = Peer.Received();
    EXPECT_EQ(received.find("\r\n.\r\n"), std::string::npos);
    EXPECT_LT(received.size(), 200000u);
    EXPECT_EQ(Smtp.MessageStream.Size(), 0);  // the composed text went with the send
}

TEST_F(SessionTest, AbortWhileAwaitingQuitReplyClosesAtOnce) {
    Greeted();
    Peer.Expect("QUIT").ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    Later stop(100, [&] { Smtp.Abort(); });
    const auto start = Clock::now();
    EXPECT_EQ(Catch([&] { Smtp.Disconnect(); }), None());
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(stop.Fired, 1);
    EXPECT_FALSE(Smtp.Connected);
    ExpectScriptPlayed();
}

// ---- re-entry ----

TEST_F(SessionTest, SubmitFromHandlerDuringSendReturnsAtOnce) {
    LogEvents();
    FillSimple();
    int nested = 0;
    Smtp.OnSendStart = [&](rtl::TObject*) {
        Log.push_back("SendStart");
        ++nested;
        Smtp.SubmitMessage();
    };
    Smtp.OnPacketSent = [&](rtl::TObject*) {
        ++nested;
        Smtp.SubmitMessage();
    };
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectData(SimpleData()).Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_GE(nested, 2);
    EXPECT_FALSE(UnreadAfterSettling());
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart", "Success"));
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nRSET\r\nMAIL FROM:<fax@sender.test>\r\nRCPT TO:<you@rcpt.test>\r\nDATA\r\n" +
                                   SimpleData());
}

TEST_F(SessionTest, SubmitFromTimerDuringConnectReturnsAtOnce) {
    TempFile file("a.txt", "abc");
    LogEvents();
    FillSimple();
    Smtp.PostMessage().Attachments.Add(file.Path());
    Peer.Pause(300ms);
    Greeted();
    Peer.Start();
    Raised nested{"not run", ""};
    Later submit(100, [&] { nested = Catch([&] { Smtp.SubmitMessage(); }); });
    Smtp.Connect();
    ExpectScriptPlayed();
    EXPECT_EQ(submit.Fired, 1);
    EXPECT_EQ(nested, None());
    // Nothing was composed and nothing was sent.
    EXPECT_THAT(Log, ElementsAre("Connect"));
    EXPECT_EQ(Smtp.FinalHeader.Count(), 0);
    EXPECT_FALSE(UnreadAfterSettling());
    EXPECT_EQ(Peer.Received(), "HELO fax\r\n");
}

// ---- servers that stop answering or go away ----

struct SilentStep {
    const char* Name;
    std::uint32_t mail::TSmtpTimeLimits::*Limit;
    const char* Named;  // the text names what was awaited
    std::function<void(testsupport::ScriptedPeer&)> ScriptUpToSilence;
    friend void PrintTo(const SilentStep& s, std::ostream* os) { *os << s.Name; }
};

class SessionSilentServer : public SessionTest, public ::testing::WithParamInterface<SilentStep> {};

TEST_P(SessionSilentServer, WaitEndsAtTimeLimitWithSockErrorAndDropsConnection) {
    const SilentStep& s = GetParam();
    FillSimple();
    Smtp.TimeLimits.*s.Limit = 300;
    s.ScriptUpToSilence(Peer);
    Peer.ReadUntilClose();
    Peer.Start();
    const auto start = Clock::now();
    const Raised raised = Catch([&] {
        Smtp.Connect();
        Smtp.SubmitMessage();
        Smtp.Disconnect();
    });
    const long elapsed = MsSince(start);
    EXPECT_EQ(raised.Kind, "ESockError");
    EXPECT_THAT(raised.Message, HasSubstr(s.Named));
    EXPECT_GE(elapsed, 280);
    EXPECT_LT(elapsed, 3000);
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
    ExpectScriptPlayed();
    EXPECT_THAT(Peer.Received(), ::testing::Not(HasSubstr("QUIT")));
}

void ToMail(testsupport::ScriptedPeer& p) {
    p.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SessionSilentServer,
    ::testing::Values(
        SilentStep{"Greeting", &mail::TSmtpTimeLimits::Greeting, "greeting", [](auto&) {}},
        SilentStep{"Helo", &mail::TSmtpTimeLimits::Helo, "HELO",
                   [](auto& p) { p.Send("220 ready\r\n").Expect("HELO fax"); }},
        SilentStep{"Rset", &mail::TSmtpTimeLimits::Rset, "RSET",
                   [](auto& p) { p.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n").Expect("RSET"); }},
        SilentStep{"MailFrom", &mail::TSmtpTimeLimits::MailFrom, "MAIL FROM",
                   [](auto& p) {
                       ToMail(p);
                       p.Expect("MAIL FROM:<fax@sender.test>");
                   }},
        SilentStep{"RcptTo", &mail::TSmtpTimeLimits::RcptTo, "RCPT TO",
                   [](auto& p) {
                       ToMail(p);
                       p.Expect("MAIL FROM:<fax@sender.test>").Send("250 ok\r\n").Expect("RCPT TO:<you@rcpt.test>");
                   }},
        SilentStep{"Data", &mail::TSmtpTimeLimits::Data, "DATA",
                   [](auto& p) {
                       ToMail(p);
                       p.Expect("MAIL FROM:<fax@sender.test>").Send("250 ok\r\n");
                       p.Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA");
                   }}),
    // The end mark's silence has a message of its own: untrusted_peer_test.cpp.
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SessionTest, SilentServerAfterQuitEndsDisconnectWithSockError) {
    Smtp.TimeLimits.Quit = 300;
    Greeted();
    Peer.Expect("QUIT").ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    const auto start = Clock::now();
    const Raised raised = Catch([&] { Smtp.Disconnect(); });
    EXPECT_EQ(raised.Kind, "ESockError");
    EXPECT_THAT(raised.Message, HasSubstr("QUIT"));
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_FALSE(Smtp.Connected);
    ExpectScriptPlayed();
}

// A server that stops taking data while the message text goes out.
TEST_F(SessionTest, StalledTransferEndsAtTransferLimit) {
    FillSimple();
    // More than the socket buffers of both ends hold.
    Smtp.PostMessage().Body.Add(std::string(8 * 1024 * 1024, 'x'));
    Smtp.TimeLimits.Transfer = 300;
    int packets = 0;
    Smtp.OnPacketSent = [&](rtl::TObject*) { ++packets; };
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.Pause(2500ms).ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    const auto start = Clock::now();
    const Raised raised = Catch([&] { Smtp.SubmitMessage(); });
    EXPECT_EQ(raised.Kind, "ESockError");
    EXPECT_THAT(raised.Message, HasSubstr("message text"));
    EXPECT_LT(MsSince(start), 2400);
    EXPECT_GT(packets, 0);
    EXPECT_LT(Smtp.BytesSent, Smtp.BytesTotal);
    EXPECT_FALSE(Smtp.Connected);
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received().find("\r\n.\r\n"), std::string::npos);
}

// A server that closes in the middle of a reply ends the wait at once, well
// before any time limit.
TEST_F(SessionTest, ServerClosingMidReplyEndsConnectWithError) {
    for (const std::string partial : {"250-partial\r\n", "250 no line end"}) {
        SCOPED_TRACE(partial);
        testsupport::ScriptedPeer peer;
        mail::TZelSMTP smtp(nullptr);
        smtp.Host = "127.0.0.1";
        smtp.Port = peer.Port();
        smtp.TimeOut = 5000;
        smtp.UserID = "fax";
        smtp.TimeLimits.Helo = smtp.TimeLimits.Quit = 4000;
        peer.Send("220 ready\r\n").Expect("HELO fax").Send(partial).Close();
        peer.Start();
        const auto start = Clock::now();
        const Raised raised = Catch([&] { smtp.Connect(); });
        EXPECT_EQ(raised.Kind, "ESockError");
        EXPECT_EQ(raised.Message, net::ConnectionClosedText);
        EXPECT_LT(MsSince(start), 2000);
        EXPECT_FALSE(smtp.Connected);
        EXPECT_FALSE(smtp.Busy());
        EXPECT_TRUE(peer.WaitDone(kBound));
        EXPECT_THAT(peer.Failures(), IsEmpty());
    }
}

TEST_F(SessionTest, ServerClosingMidReplyEndsSubmitWithError) {
    LogEvents();
    FillSimple();
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250-partial\r\n").Close();
    Peer.Start();
    Smtp.Connect();
    const auto start = Clock::now();
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), (Raised{"ESockError", net::ConnectionClosedText}));
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart"));
    ExpectScriptPlayed();
}

// ---- line breaks in message fields ----

struct InjectedField {
    const char* Name;
    const char* Field;  // what the refusal names
    std::function<void(mail::TPostMessage&)> Inject;
    friend void PrintTo(const InjectedField& f, std::ostream* os) { *os << f.Name; }
};

class SessionLineBreak : public SessionTest, public ::testing::WithParamInterface<InjectedField> {};

TEST_P(SessionLineBreak, RefusedBeforeAnyCommandNamingField) {
    const InjectedField& c = GetParam();
    LogEvents();
    FillSimple();
    c.Inject(Smtp.PostMessage());
    Greeted();
    Peer.Start();
    Smtp.Connect();
    const Raised raised = Catch([&] { Smtp.SubmitMessage(); });
    EXPECT_EQ(raised.Kind, "Exception");
    EXPECT_THAT(raised.Message, HasSubstr(c.Field));
    EXPECT_THAT(Log, ElementsAre("Connect"));
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_TRUE(Smtp.Connected);
    EXPECT_FALSE(UnreadAfterSettling());
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SessionLineBreak,
    ::testing::Values(
        InjectedField{"FromAddress", "FromAddress",
                      [](auto& m) { m.FromAddress = "fax@sender.test>\r\nRCPT TO:<evil@x.test"; }},
        InjectedField{"FromName", "FromName", [](auto& m) { m.FromName = "Fax\nBcc: evil@x.test"; }},
        InjectedField{"ToAddress", "recipient", [](auto& m) { m.ToAddress.Add("ok@x.test>\r\nDATA"); }},
        InjectedField{"ToCarbonCopy", "recipient", [](auto& m) { m.ToCarbonCopy.Add("cc@x.test\r"); }},
        InjectedField{"ToBlindCarbonCopy", "recipient", [](auto& m) { m.ToBlindCarbonCopy.Add("bcc@x.test\n"); }},
        InjectedField{"Subject", "Subject", [](auto& m) { m.Subject = "Hi\r\nBcc: evil@x.test"; }},
        InjectedField{"ReplyTo", "ReplyTo", [](auto& m) { m.ReplyTo = "r@x.test\n\n.\n"; }},
        InjectedField{"Date", "Date", [](auto& m) { m.Date = "today\r"; }},
        InjectedField{"LocalProgram", "LocalProgram", [](auto& m) { m.LocalProgram = "Mailer\r\nX-Evil: 1"; }},
        InjectedField{"AttachmentName", "attachment", [](auto& m) { m.Attachments.Add("/tmp/dir/evil\r\nname.pdf"); }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SessionTest, LineBreakInUserIdRefusedBeforeConnecting) {
    LogEvents();
    Smtp.UserID = "fax\r\nMAIL FROM:<evil@x.test>";
    Peer.SetStepTimeout(300ms);
    Peer.Start();
    const Raised raised = Catch([&] { Smtp.Connect(); });
    EXPECT_EQ(raised.Kind, "Exception");
    EXPECT_THAT(raised.Message, HasSubstr("UserID"));
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_TRUE(Peer.WaitDone(kBound));
    EXPECT_EQ(Peer.ConnectionsAccepted(), 0);
    EXPECT_THAT(Log, IsEmpty());
}

// A handler that retries may not smuggle a line break in either.
TEST_F(SessionTest, LineBreakSuppliedByRetryHandlersIsRefused) {
    Smtp.OnAuthenticationFailed = [&](bool& handled) {
        Smtp.UserID = "fax\r\nRSET";
        handled = true;
    };
    Peer.Send("220 ready\r\n").Expect("HELO fax").Send("501 bad\r\n").Expect("QUIT").Send("221 bye\r\n").ReadUntilClose();
    Peer.Start();
    Raised raised = Catch([&] { Smtp.Connect(); });
    EXPECT_EQ(raised.Kind, "Exception");
    EXPECT_THAT(raised.Message, HasSubstr("UserID"));
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nQUIT\r\n");

    testsupport::ScriptedPeer peer2;
    Smtp.Port = peer2.Port();
    Smtp.UserID = "fax";
    Smtp.OnAuthenticationFailed = nullptr;
    Smtp.PostMessage().FromAddress = "fax@sender.test";
    Smtp.OnHeaderIncomplete = [&](bool& handled, int) {
        Smtp.PostMessage().ToBlindCarbonCopy.Add("x@x.test\r\nDATA");
        handled = true;
    };
    peer2.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n");
    peer2.Start();
    Smtp.Connect();
    raised = Catch([&] { Smtp.SubmitMessage(); });
    EXPECT_EQ(raised.Kind, "Exception");
    EXPECT_THAT(raised.Message, HasSubstr("recipient"));
    EXPECT_TRUE(testsupport::PumpUntil([&] { return peer2.Done(); }, kBound));
    testsupport::PumpFor(50ms);
    EXPECT_EQ(peer2.Received(), "HELO fax\r\n");
    Smtp.Abort();
}

// ---- header lines longer than one write ----

TEST_F(SessionTest, HundredKilobyteToLineArrivesWhole) {
    auto& m = Smtp.PostMessage();
    m.FromAddress = "fax@sender.test";
    std::string toLine;
    for (int i = 0; i < 5; ++i) {
        const std::string entry = "Recipient " + std::to_string(i) + " " + std::string(20000, 'a' + i) + " <r" +
                                  std::to_string(i) + "@x.test>";
        m.ToAddress.Add(entry);
        toLine += (i ? "," : "") + entry;
    }
    const std::string ccEntry = std::string(30000, 'c') + ":cc@x.test";
    m.ToCarbonCopy.Add(ccEntry);
    m.Body.Add("Body");
    Greeted();
    Envelope();
    for (int i = 0; i < 5; ++i) Peer.Expect("RCPT TO:<r" + std::to_string(i) + "@x.test>").Send("250 ok\r\n");
    Peer.Expect("RCPT TO:<cc@x.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    ASSERT_GT(toLine.size(), 100000u);
    const std::string received = Peer.Received();
    const std::string data = received.substr(received.find("DATA\r\n") + 6);
    EXPECT_EQ(data, "From: <fax@sender.test>\r\n"
                    "To: " + toLine + "\r\n"
                    "CC: " + ccEntry + "\r\n"
                    "Mime-Version: 1.0\r\n"
                    "Content-Type: text/plain;                        charset=us-ascii\r\n"
                    "\r\n\r\n"
                    "Body\r\n"
                    ".\r\n");
}

}  // namespace
}  // namespace sessiontest
