// The SMTP dialogue on the wire: every byte the server receives, reply codes
// and their thresholds, events and what a send leaves in the message.
#include "session_fixture.h"

#include "tests/support/TempFiles.h"

#include <algorithm>
#include <regex>

namespace sessiontest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testsupport::TempFile;

constexpr char kTextPart[] = "Content-Type: text/plain;                        charset=us-ascii\r\n";

std::string PartHeader(const std::string& boundary, const std::string& name, const std::string& encoding,
                       const std::string& type = "text/plain") {
    const std::string lead = "Content-Type: " + type + ";";
    return "--" + boundary + "\r\n" + lead + std::string(49 - lead.size(), ' ') + "name=\"" + name + "\"\r\n" +
           "Content-Transfer-Encoding: " + encoding + "\r\n" +
           "Content-Disposition: attachment;                 filename=\"" + name + "\"\r\n" + "\r\n";
}

// The bytes from the DATA command's line end to the end mark, end mark included.
std::string DataText(const std::string& received) {
    const auto at = received.find("DATA\r\n");
    const auto end = received.find("\r\n.\r\n");
    if (at == std::string::npos || end == std::string::npos) return "<no data>";
    return received.substr(at + 6, end + 5 - (at + 6));
}

// ---- the whole dialogue ----

TEST_F(SessionTest, TwoAttachmentsWholeDialogueByteForByte) {
    std::string bytes46;
    for (int i = 0; i < 46; ++i) bytes46 += static_cast<char>(i);
    TempFile note("note.txt", "Hello, fax!\r\n");
    TempFile scan("scan.bin", bytes46);

    auto& m = Smtp.PostMessage();
    m.FromName = "Fax User";
    m.FromAddress = "fax@sender.test";
    m.ToAddress.Add("Gateway <remote-printer.Ann@12121234567.gw.test>");
    m.ToCarbonCopy.Add("copy@cc.test");
    m.ToBlindCarbonCopy.Add("bcc:hidden@bcc.test");
    m.Subject = "A fax";
    m.LocalProgram = "FaxMail 1.0";
    m.ReplyTo = "replies@sender.test";
    m.Date = "Mon, 8 Dec 2025 10:00:00 +0800";
    struct : mail::TMessageClock {
        std::string UniqueId() const override { return "id.7"; }
    } clock;
    Smtp.Clock = &clock;
    m.Body.Add("First line");
    m.Body.Add(".starts with a dot");
    m.Body.Add("");
    m.Body.Add(" .blank, then a dot");
    m.Attachments.Add(note.Path());
    m.Attachments.Add(scan.Path());

    LogEvents();
    std::vector<std::pair<std::int32_t, std::int32_t>> progress;
    Smtp.OnPacketSent = [&](rtl::TObject*) { progress.emplace_back(Smtp.BytesSent, Smtp.BytesTotal); };

    Greeted();
    Envelope()
        .Expect("RCPT TO:<remote-printer.Ann@12121234567.gw.test>").Send("250 ok\r\n")
        .Expect("RCPT TO:<copy@cc.test>").Send("250 ok\r\n")
        .Expect("RCPT TO:<hidden@bcc.test>").Send("250 ok\r\n")
        .Expect("DATA").Send("354 end with <CRLF>.<CRLF>\r\n")
        .ExpectUntil("\r\n.\r\n").Send("250 queued\r\n")
        .Expect("QUIT").Send("221 bye\r\n")
        .ReadUntilClose();
    Peer.Start();

    Smtp.Connect();
    Smtp.SubmitMessage();
    Smtp.Disconnect();
    ExpectScriptPlayed();
    EXPECT_FALSE(Smtp.Connected);

    // The boundary carries the time of day, so it is taken from the client,
    // but its shape is checked here.
    const std::string b = Smtp.Boundary;
    ASSERT_GT(b.size(), 29u);
    EXPECT_EQ(b.substr(0, 25), "====================54535");
    EXPECT_EQ(b.substr(b.size() - 4), "====");
    EXPECT_TRUE(std::regex_search(b.substr(25, b.size() - 29), std::regex(R"(\d{1,2}\D\d{2}\D\d{2})"))) << b;

    const std::string header =
        "From: Fax User <fax@sender.test>\r\n"
        "To: Gateway <remote-printer.Ann@12121234567.gw.test>\r\n"
        "CC: copy@cc.test\r\n"
        "Subject: A fax\r\n"
        "X-Mailer: FaxMail 1.0\r\n"
        "Reply-To: replies@sender.test\r\n"
        "Date: Mon, 8 Dec 2025 10:00:00 +0800\r\n"
        "Message-ID: <id.7@sender.test>\r\n"
        "Mime-Version: 1.0\r\n"
        "Content-Type: multipart/mixed;                   boundary=\"" + b + "\"\r\n";
    const std::string text = "--" + b + "\r\n" + kTextPart + "\r\n" +
                             "First line\r\n"
                             "..starts with a dot\r\n"
                             "\r\n"
                             " .blank, then a dot\r\n" +
                             PartHeader(b, "note.txt", "base64") + "SGVsbG8sIGZheCENCg==\r\n" +
                             PartHeader(b, "scan.bin", "base64", "application/octet-stream") +
                             "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\n"
                             "LQ==\r\n" +
                             "--" + b + "--\r\n";
    EXPECT_EQ(Peer.Received(),
              "HELO fax\r\n"
              "RSET\r\n"
              "MAIL FROM:<fax@sender.test>\r\n"
              "RCPT TO:<remote-printer.Ann@12121234567.gw.test>\r\n"
              "RCPT TO:<copy@cc.test>\r\n"
              "RCPT TO:<hidden@bcc.test>\r\n"
              "DATA\r\n" +
                  header + "\r\n\r\n" + text + ".\r\n" +
                  "QUIT\r\n");
    // What was composed is what went out; the text is let go once it has.
    EXPECT_EQ(Smtp.FinalHeader.Text(), header);
    EXPECT_EQ(Smtp.MessageStream.Size(), 0);

    // Each attachment is encoded while the text goes out.
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart", "EncodeStart " + note.Path(), "EncodeEnd " + note.Path(),
                                 "EncodeStart " + scan.Path(), "EncodeEnd " + scan.Path(), "Success"));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().first, static_cast<std::int32_t>(text.size()));
    EXPECT_EQ(progress.back().second, static_cast<std::int32_t>(text.size()));
}

TEST_F(SessionTest, BodyLinesAreDotStuffedAndEntriesWithLineBreaksSplit) {
    auto& m = Smtp.PostMessage();
    m.FromAddress = "fax@sender.test";
    m.ToAddress.Add("you@rcpt.test");
    m.Body.Add(".");
    m.Body.Add("one\r\n.two\nthree\r.four");
    m.Body.Add("a\r\n.\r\nb");
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_EQ(DataText(Peer.Received()),
              "From: <fax@sender.test>\r\n"
              "To: you@rcpt.test\r\n"
              "Mime-Version: 1.0\r\n" +
                  std::string(kTextPart) + "\r\n\r\n" +
                  "..\r\n"
                  "one\r\n..two\r\nthree\r\n..four\r\n"
                  "a\r\n..\r\nb\r\n"
                  ".\r\n");
}

// uuencoded lines are labelled as such, and the line of 14 bytes, whose length
// character is ".", is stuffed so that the server does not eat it.
TEST_F(SessionTest, UuencodedAttachmentIsLabelledAndStuffed) {
    TempFile file("f.txt", "abcdefghijklmn");
    FillSimple();
    Smtp.PostMessage().Attachments.Add(file.Path());
    Smtp.EncodeType = codec::uuCode;
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    const std::string b = Smtp.Boundary;
    const std::string data = DataText(Peer.Received());
    const std::string text = "--" + b + "\r\n" + kTextPart + "\r\nHello\r\n" + PartHeader(b, "f.txt", "x-uuencode") +
                             "..86)C9&5F9VAI:FML;6X\r\n`\r\n" + "--" + b + "--\r\n";
    EXPECT_THAT(data, ::testing::EndsWith("\r\n\r\n\r\n" + text + ".\r\n"));
}

// The name of an attachment is what follows the last "/", "\" or ":" of its entry.
TEST_F(SessionTest, AttachmentNameFollowsLastSeparator) {
    TempFile colon("c:colon.txt", "x");
    TempFile backslash("d\\dir\\back.txt", "y");
    FillSimple();
    Smtp.PostMessage().Attachments.Add(colon.Path());
    Smtp.PostMessage().Attachments.Add(backslash.Path());
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    const std::string data = DataText(Peer.Received());
    EXPECT_THAT(data, HasSubstr(PartHeader(Smtp.Boundary, "colon.txt", "base64") + "eA==\r\n"));
    EXPECT_THAT(data, HasSubstr(PartHeader(Smtp.Boundary, "back.txt", "base64") + "eQ==\r\n"));
}

// ---- Connect: greeting and HELO ----

TEST_F(SessionTest, ContinuationLinesOfGreetingAndHeloAreConsumed) {
    LogEvents();
    // Continuation lines are marked by a hyphen after the code or by a leading blank.
    Peer.SendPieces("220-mx.test first\r\n 554 only a continuation\r\n220-third\r\n220 ready\r\n", 7, 5ms)
        .Expect("HELO fax")
        .SendPieces("250-mx.test\r\n250-SIZE 1000\r\n250 HELP\r\n", 9, 5ms)
        .Expect("QUIT")
        .Send("221 bye\r\n")
        .ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    EXPECT_THAT(Log, ElementsAre("Connect"));
    EXPECT_FALSE(UnreadAfterSettling());
    EXPECT_EQ(Catch([&] { Smtp.Disconnect(); }), None());
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nQUIT\r\n");
}

// Each command reports its transaction at level 8, as the socket's own does.
TEST_F(SessionTest, EachCommandReportsItsTransaction) {
    std::vector<std::string> seen;
    Smtp.ReportLevel = 8;
    Smtp.OnStatus = [&](rtl::TComponent*, const std::string& text) { seen.push_back(text); };
    Peer.Send("220 ready\r\n").Expect("HELO fax").Send("250 ok\r\n").Expect("QUIT").Send("221 bye\r\n").ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    Smtp.Disconnect();
    ExpectScriptPlayed();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Transaction"), 2);  // HELO, QUIT
}

TEST_F(SessionTest, GreetingRefusedSendsQuitAndFailsWithFinalLine) {
    LogEvents();
    Peer.Send("421-mx.test busy\r\n421 try later\r\n").Expect("QUIT").Send("221 bye\r\n").ReadUntilClose();
    Peer.Start();
    EXPECT_EQ(Catch([&] { Smtp.Connect(); }), Plain("421 try later\r\n"));
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "QUIT\r\n");
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_THAT(Log, IsEmpty());
}

TEST_F(SessionTest, GreetingRefusedByServerThatHangsUpStillReportsGreeting) {
    LogEvents();
    Peer.Send("421 mx.test closing\r\n").Close();
    Peer.Start();
    const auto start = Clock::now();
    EXPECT_EQ(Catch([&] { Smtp.Connect(); }), Plain("421 mx.test closing\r\n"));
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_THAT(Log, IsEmpty());
}

TEST_F(SessionTest, HeloRefusedWithoutHandlerFailsAndQuits) {
    LogEvents();
    Peer.Send("220 ready\r\n").Expect("HELO fax").Send("501 bad name\r\n").Expect("QUIT").Send("221 bye\r\n")
        .ReadUntilClose();
    Peer.Start();
    EXPECT_EQ(Catch([&] { Smtp.Connect(); }), Plain("Authentication failed"));
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nQUIT\r\n");
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_THAT(Log, IsEmpty());
}

TEST_F(SessionTest, HeloRefusedHandlerRetriesOnceWithNewUserId) {
    LogEvents();
    int asked = 0;
    Smtp.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        Smtp.UserID = "other";
        handled = true;
    };
    Peer.Send("220 ready\r\n")
        .Expect("HELO fax").Send("501 bad name\r\n")
        .Expect("HELO other").Send("501-still bad\r\n501 really\r\n")
        .Expect("QUIT").Send("221 bye\r\n")
        .ReadUntilClose();
    Peer.Start();
    EXPECT_EQ(Catch([&] { Smtp.Connect(); }), Plain("Authentication failed"));
    ExpectScriptPlayed();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nHELO other\r\nQUIT\r\n");
    EXPECT_THAT(Log, IsEmpty());
}

TEST_F(SessionTest, HeloRetryAcceptedConnects) {
    bool busyAtConnect = true;
    Smtp.OnConnect = [&](rtl::TObject* sender) {
        EXPECT_EQ(sender, &Smtp);
        busyAtConnect = Smtp.Busy();
        Log.push_back("Connect");
    };
    Smtp.OnAuthenticationFailed = [&](bool& handled) {
        Smtp.UserID = "other";
        handled = true;
    };
    Peer.Send("220 ready\r\n").Expect("HELO fax").Send("501 bad\r\n").Expect("HELO other").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    ExpectScriptPlayed();
    EXPECT_TRUE(Smtp.Connected);
    EXPECT_THAT(Log, ElementsAre("Connect"));
    // A handler of OnConnect may start a send at once.
    EXPECT_FALSE(busyAtConnect);
}

TEST_F(SessionTest, HandlerThatDeclinesEndsWithAuthenticationFailed) {
    int asked = 0;
    Smtp.OnAuthenticationFailed = [&](bool&) { ++asked; };
    Peer.Send("220 ready\r\n").Expect("HELO fax").Send("550 no\r\n").Expect("QUIT").Send("221 bye\r\n");
    Peer.Start();
    EXPECT_EQ(Catch([&] { Smtp.Connect(); }), Plain("Authentication failed"));
    ExpectScriptPlayed();
    EXPECT_EQ(asked, 1);
}

TEST_F(SessionTest, EmptyUserIdSendsHeloWithTrailingBlank) {
    Smtp.UserID = "";
    Peer.Send("220 ready\r\n").Expect("HELO ").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO \r\n");
}

// ---- SubmitMessage: refusals before DATA ----

TEST_F(SessionTest, IncompleteHeaderIsRefusedAfterCompositionBeforeAnyCommand) {
    TempFile file("a.txt", "abc");
    LogEvents();
    std::vector<int> types;
    Smtp.PostMessage().ToAddress.Add("you@rcpt.test");
    Smtp.PostMessage().Attachments.Add(file.Path());
    Greeted();
    Peer.Start();
    Smtp.Connect();

    // No sender and no handler.
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), Plain("Incomplete Header"));
    // No recipient, and a handler that does not supply one: asked once.
    Smtp.PostMessage().FromAddress = "fax@sender.test";
    Smtp.PostMessage().ToAddress.Clear();
    Smtp.OnHeaderIncomplete = [&](bool&, int hiType) { types.push_back(hiType); };
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), Plain("Incomplete Header"));
    // No sender again: hiType 1.
    Smtp.PostMessage().FromAddress = "";
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), Plain("Incomplete Header"));

    EXPECT_THAT(types, ElementsAre(2, 1));
    // Every attempt stopped before any command, and before any attachment was encoded.
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "EncodeStart " + file.Path()), 0);
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "SendStart"), 0);
    EXPECT_FALSE(UnreadAfterSettling());
    EXPECT_EQ(Peer.Received(), "HELO fax\r\n");
    EXPECT_TRUE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
}

// Entries supplied by the handler reach the envelope but not the header,
// which was composed before it ran.
TEST_F(SessionTest, HeaderIncompleteHandlerSuppliesRecipient) {
    Smtp.PostMessage().FromAddress = "fax@sender.test";
    Smtp.PostMessage().Body.Add("Hello");
    Smtp.OnHeaderIncomplete = [&](bool& handled, int) {
        Smtp.PostMessage().ToAddress.Add("late@rcpt.test");
        handled = true;
    };
    Greeted();
    Envelope().Expect("RCPT TO:<late@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_EQ(DataText(Peer.Received()), "From: <fax@sender.test>\r\nMime-Version: 1.0\r\n" + std::string(kTextPart) +
                                             "\r\n\r\nHello\r\n.\r\n");
}

TEST_F(SessionTest, MissingAttachmentFailsBeforeAnyCommand) {
    TempFile present("present.txt", "here");
    const std::string missing = present.Path() + ".d/sub/missing.pdf";
    LogEvents();
    FillSimple();
    Smtp.PostMessage().Attachments.Add(present.Path());
    Smtp.PostMessage().Attachments.Add(missing);
    Greeted();
    Peer.Expect("QUIT").Send("221 bye\r\n");
    Peer.Start();
    Smtp.Connect();
    Log.clear();
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), (Raised{"EFOpenError", "Cannot open file " + missing}));
    // Every attachment is opened before the first command, none encoded yet.
    EXPECT_THAT(Log, ElementsAre("AttachmentNotFound " + missing));
    EXPECT_TRUE(Smtp.Connected);
    EXPECT_EQ(Smtp.PostMessage().Attachments.Count(), 2);
    Smtp.Disconnect();
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nQUIT\r\n");
}

TEST_F(SessionTest, NoConnectionAsksHandlerWhichMayConnect) {
    LogEvents();
    FillSimple();
    // Without a handler: "Not Connected", after composition.
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), Plain("Not Connected"));
    EXPECT_FALSE(Smtp.Busy());

    Smtp.OnConnectionRequired = [&](bool& handled) {
        Smtp.Connect();
        handled = true;
    };
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectData(SimpleData()).Send("250 ok\r\n");
    Peer.Start();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart", "Success"));
}

struct CommandRefusal {
    const char* Name;
    const char* RefusedCommand;  // the last line the server receives
    std::function<void(testsupport::ScriptedPeer&)> Script;
    const char* Reply;
    friend void PrintTo(const CommandRefusal& c, std::ostream* os) { *os << c.Name; }
};

class SessionRefusal : public SessionTest, public ::testing::WithParamInterface<CommandRefusal> {};

TEST_P(SessionRefusal, FailsWithReplyLineAndSendsNothingMore) {
    const CommandRefusal& c = GetParam();
    LogEvents();
    FillSimple();
    Greeted();
    c.Script(Peer);
    Peer.Start();
    Smtp.Connect();
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), Plain(c.Reply));
    EXPECT_FALSE(UnreadAfterSettling());
    ExpectScriptPlayed();
    EXPECT_THAT(Peer.Received(), ::testing::EndsWith(std::string(c.RefusedCommand) + "\r\n"));
    EXPECT_TRUE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart"));
    EXPECT_EQ(Smtp.PostMessage().ToAddress.Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SessionRefusal,
    ::testing::Values(
        CommandRefusal{"Rset", "RSET", [](auto& p) { p.Expect("RSET").Send("421 shutting down\r\n"); },
                       "421 shutting down\r\n"},
        CommandRefusal{"MailFrom", "MAIL FROM:<fax@sender.test>",
                       [](auto& p) {
                           p.Expect("RSET").Send("250 ok\r\n").Expect("MAIL FROM:<fax@sender.test>").Send(
                               "550 sender rejected\r\n");
                       },
                       "550 sender rejected\r\n"},
        CommandRefusal{"Data", "DATA",
                       [](auto& p) {
                           p.Expect("RSET").Send("250 ok\r\n").Expect("MAIL FROM:<fax@sender.test>").Send("250 ok\r\n");
                           p.Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send(
                               "554 no valid recipients\r\n");
                       },
                       "554 no valid recipients\r\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- recipients ----

TEST_F(SessionTest, RecipientShapesGiveSameMailboxAndEmptyOnesAreSkipped) {
    LogEvents();
    auto& m = Smtp.PostMessage();
    m.FromAddress = "fax@sender.test";
    m.ToAddress.Add("Ann Lee <ann@x.test>");
    m.ToAddress.Add("<>");
    m.ToCarbonCopy.Add("ann@x.test");
    m.ToBlindCarbonCopy.Add("smtp:ann@x.test");
    Greeted();
    Envelope()
        .Expect("RCPT TO:<ann@x.test>").Send("250 ok\r\n")
        .Expect("RCPT TO:<ann@x.test>").Send("250 ok\r\n")
        .Expect("RCPT TO:<ann@x.test>").Send("250 ok\r\n")
        .Expect("DATA").Send("354 go\r\n")
        .ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart", "Success"));
    // The header lists the entries as they are, the empty one included.
    EXPECT_THAT(Peer.Received(), HasSubstr("\r\nTo: Ann Lee <ann@x.test>,<>\r\nCC: ann@x.test\r\nMime-Version"));
}

TEST_F(SessionTest, RefusedRecipientFiresEventWithEntryAndSendGoesOn) {
    LogEvents();
    auto& m = Smtp.PostMessage();
    m.FromAddress = "fax@sender.test";
    m.ToAddress.Add("Ann <ann@x.test>");
    m.ToAddress.Add("bob@x.test");
    m.ToCarbonCopy.Add("Carl <carl@x.test>");
    m.ToBlindCarbonCopy.Add("smtp:dee@x.test");
    m.ToBlindCarbonCopy.Add("eve@x.test");
    Greeted();
    Envelope()
        .Expect("RCPT TO:<ann@x.test>").Send("550 no such user\r\n")
        .Expect("RCPT TO:<bob@x.test>").Send("251 user not local; will forward\r\n")
        .Expect("RCPT TO:<carl@x.test>").Send("301 odd but refused\r\n")
        .Expect("RCPT TO:<dee@x.test>").Send("553 mailbox name not allowed\r\n")
        .Expect("RCPT TO:<eve@x.test>").Send("300 odd but accepted\r\n")
        .Expect("DATA").Send("354 go\r\n")
        .ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart", "RecipientNotFound Ann <ann@x.test>",
                                 "RecipientNotFound Carl <carl@x.test>", "RecipientNotFound smtp:dee@x.test",
                                 "Success"));
}

// A multi-line reply left half read would be taken as the reply to the next
// command: here the second recipient would be reported refused.
TEST_F(SessionTest, MultiLineRepliesToMailRcptAndDataKeepDialogueInStep) {
    LogEvents();
    auto& m = Smtp.PostMessage();
    m.FromAddress = "fax@sender.test";
    m.ToAddress.Add("ann@x.test");
    m.ToAddress.Add("bob@x.test");
    m.Body.Add("Hello");
    Greeted();
    Peer.Expect("RSET").Send("250-flushing\r\n250 flushed\r\n")
        .Expect("MAIL FROM:<fax@sender.test>").Send("250-sender\r\n250 ok\r\n")
        .Expect("RCPT TO:<ann@x.test>").Send("550-no such\r\n550 user\r\n")
        .Expect("RCPT TO:<bob@x.test>").Send("250-recipient\r\n250 ok\r\n")
        .Expect("DATA").Send("354-go\r\n354 ahead\r\n")
        .ExpectUntil("\r\n.\r\n").Send("250-queued\r\n250 as 42\r\n")
        .Expect("QUIT").Send("500-what\r\n500 unknown\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    EXPECT_FALSE(UnreadAfterSettling());
    EXPECT_EQ(Catch([&] { Smtp.Disconnect(); }), Plain("500 unknown\r\n"));
    ExpectScriptPlayed();
    EXPECT_THAT(Log, ElementsAre("Connect", "SendStart", "RecipientNotFound ann@x.test", "Success"));
}

// ---- the end mark and what a send leaves behind ----

TEST_F(SessionTest, EndMarkRefusedFiresFailureThenRaisesAndKeepsLists) {
    TempFile file("a.txt", "abc");
    LogEvents();
    FillSimple();
    Smtp.PostMessage().ToBlindCarbonCopy.Add("bcc@x.test");
    Smtp.PostMessage().Attachments.Add(file.Path());
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("RCPT TO:<bcc@x.test>").Send("250 ok\r\n");
    Peer.Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").Send("552 too much mail data\r\n");
    Peer.Start();
    Smtp.Connect();
    Log.clear();
    const Raised raised = Catch([&] { Smtp.SubmitMessage(); });
    Log.push_back("raised " + raised.Message);
    ExpectScriptPlayed();
    EXPECT_EQ(raised, Plain("552 too much mail data\r\n"));
    EXPECT_THAT(Log, ElementsAre("SendStart", "EncodeStart " + file.Path(), "EncodeEnd " + file.Path(), "Failure",
                                 "raised 552 too much mail data\r\n"));
    const auto& m = Smtp.PostMessage();
    EXPECT_EQ(m.ToAddress.Count(), 1);
    EXPECT_EQ(m.ToBlindCarbonCopy.Count(), 1);
    EXPECT_EQ(m.Attachments.Count(), 1);
    EXPECT_TRUE(Smtp.Connected);
    EXPECT_FALSE(Smtp.Busy());
}

TEST_F(SessionTest, EndMarkAcceptedEmptiesListsBeforeSuccess) {
    TempFile file("a.txt", "abc");
    auto& m = Smtp.PostMessage();
    FillSimple();
    m.FromName = "Fax";
    m.Subject = "Subject";
    m.ToCarbonCopy.Add("cc@x.test");
    m.ToBlindCarbonCopy.Add("bcc@x.test");
    m.Attachments.Add(file.Path());
    std::vector<int> countsAtSuccess;
    Smtp.OnSuccess = [&](rtl::TObject* sender) {
        EXPECT_EQ(sender, &Smtp);
        countsAtSuccess = {m.ToAddress.Count(), m.ToCarbonCopy.Count(), m.ToBlindCarbonCopy.Count(),
                           m.Attachments.Count(), m.Body.Count()};
    };
    Greeted();
    Envelope()
        .Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n")
        .Expect("RCPT TO:<cc@x.test>").Send("250 ok\r\n")
        .Expect("RCPT TO:<bcc@x.test>").Send("250 ok\r\n")
        .Expect("DATA").Send("354 go\r\n")
        .ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_THAT(countsAtSuccess, ElementsAre(0, 0, 0, 0, 1));
    EXPECT_EQ(m.FromAddress, "fax@sender.test");
    EXPECT_EQ(m.FromName, "Fax");
    EXPECT_EQ(m.Subject, "Subject");
    EXPECT_TRUE(Smtp.Connected);
}

// Each send starts with RSET; the body accumulates while the recipients are
// cleared after each success.
TEST_F(SessionTest, TwoSendsOnOneConnectionEachStartWithRset) {
    FillSimple();
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectUntil("\r\n.\r\n").Send("250 first\r\n");
    Envelope().Expect("RCPT TO:<again@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectUntil("\r\n.\r\n").Send("250 second\r\n");
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    Smtp.PostMessage().ToAddress.Add("again@rcpt.test");
    Smtp.PostMessage().Body.Add("Again");
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    const std::string header2 = "From: <fax@sender.test>\r\nTo: again@rcpt.test\r\nMime-Version: 1.0\r\n" +
                                std::string(kTextPart) + "\r\n\r\n";
    EXPECT_EQ(Peer.Received(), "HELO fax\r\n"
                               "RSET\r\nMAIL FROM:<fax@sender.test>\r\nRCPT TO:<you@rcpt.test>\r\nDATA\r\n" +
                                   SimpleData() +
                                   "RSET\r\nMAIL FROM:<fax@sender.test>\r\nRCPT TO:<again@rcpt.test>\r\nDATA\r\n" +
                                   header2 + "Hello\r\nAgain\r\n.\r\n");
}

TEST_F(SessionTest, ClearParamsOffKeepsListsForNextSend) {
    TempFile file("a.txt", "abc");
    Smtp.ClearParams = false;
    FillSimple();
    Smtp.PostMessage().ToBlindCarbonCopy.Add("bcc@x.test");
    Smtp.PostMessage().Attachments.Add(file.Path());
    Greeted();
    for (int i = 0; i < 2; ++i) {
        Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("RCPT TO:<bcc@x.test>").Send("250 ok\r\n");
        Peer.Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    }
    Peer.Start();
    Smtp.Connect();
    Smtp.SubmitMessage();
    const auto& m = Smtp.PostMessage();
    EXPECT_EQ(m.ToAddress.Count(), 1);
    EXPECT_EQ(m.ToBlindCarbonCopy.Count(), 1);
    EXPECT_EQ(m.Attachments.Count(), 1);
    Smtp.SubmitMessage();
    ExpectScriptPlayed();
    EXPECT_EQ(m.ToAddress.Count(), 1);
    EXPECT_EQ(m.Attachments.Count(), 1);
}

// ---- QUIT ----

// QUIT is refused from 340 up; either way the connection closes.
class SessionQuit : public SessionTest, public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(SessionQuit, ClosesAndFailsOnlyAbove339) {
    const auto& [reply, refused] = GetParam();
    Greeted();
    Peer.Expect("QUIT").Send(reply).ReadUntilClose();
    Peer.Start();
    Smtp.Connect();
    EXPECT_EQ(Catch([&] { Smtp.Disconnect(); }), refused ? Plain(reply) : None());
    ExpectScriptPlayed();
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nQUIT\r\n");
}

INSTANTIATE_TEST_SUITE_P(Replies, SessionQuit,
                         ::testing::Values(std::pair{"221 closing\r\n", false}, std::pair{"339 odd\r\n", false},
                                           std::pair{"340 odd\r\n", true}, std::pair{"500 unrecognised\r\n", true}),
                         [](const auto& info) { return std::string(info.param.first).substr(0, 3); });

TEST_F(SessionTest, DisconnectAfterServerClosedSendsNothingAndRaisesNothing) {
    Greeted();
    Peer.Close();
    Peer.Start();
    Smtp.Connect();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !Smtp.Connected; }, kBound));
    EXPECT_EQ(Catch([&] { Smtp.Disconnect(); }), None());
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\n");
}

}  // namespace
}  // namespace sessiontest
