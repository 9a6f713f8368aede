// The watch against a hostile IMAP server: a scripted peer that answers the
// client's STARTTLS with what a broken or malicious server might send. Each
// case must end soon, with a clear failure, and without the memory growing.
#include "watch/ImapMailbox.h"

#include "tests/support/ProcessMemory.h"
#include "tests/support/PythonServer.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <string>

namespace watch {
namespace {

using testsupport::ScriptedPeer;
using Ms = std::chrono::milliseconds;

using testsupport::ResetPeak;
using testsupport::StatusKb;

struct TResult {
    bool Ended = false;
    bool Raised = false;
    EImapError Error{TImapStage::Connect, rtl::TErrorKind::Other, ""};
    long GrowthKb = 0;
};

// Opens the mailbox against the peer, which plays its script once the
// client asked for STARTTLS; waits (bounded) for the end.
TResult OpenAgainst(ScriptedPeer& peer, std::chrono::seconds runLimit = std::chrono::seconds(0)) {
    peer.SetStepTimeout(Ms(20000));
    peer.Start();
    TImapSettings settings;
    settings.Server = "127.0.0.1";
    settings.Port = peer.Port();
    settings.Login = "fax";
    settings.Password = "secret";
    settings.WaitSeconds = 10;
    if (runLimit.count() > 0) settings.Deadline = std::chrono::steady_clock::now() + runLimit;
    auto mailbox = MakeImapMailbox();
    ResetPeak();
    const long before = StatusKb("VmRSS");
    TResult result;
    auto opened = std::async(std::launch::async, [&] {
        try {
            mailbox->Open(settings);
        } catch (const EImapError& e) {
            result.Raised = true;
            result.Error = e;
        }
    });
    result.Ended = opened.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!result.Ended) mailbox->Stop();
    opened.wait();
    result.GrowthKb = StatusKb("VmHWM") - before;
    mailbox->Close();
    return result;
}

ScriptedPeer& Greeted(ScriptedPeer& peer) {
    return peer.Send("* OK [CAPABILITY IMAP4rev1 STARTTLS] ready\r\n").ExpectUntil("STARTTLS\r\n");
}

TEST(HostileMailbox, EndsEachFloodAndDeepNestingWithinTheBounds) {
    const std::string line = "* OK " + std::string(100, 'x') + "\r\n";
    const std::string block(4096, 'a');
    const std::string literal = "* 1 FETCH (BODY[TEXT] {60000}\r\n" + std::string(60000, 'b') + ")\r\n";
    const struct {
        const char* Name;
        std::function<void(ScriptedPeer&)> Script;
    } cases[] = {
        {"a BODYSTRUCTURE 20 000 levels deep",
         [](ScriptedPeer& p) {
             p.Send("* 1 FETCH (BODYSTRUCTURE " + std::string(20000, '(') + std::string(20000, ')') + ")\r\n1 OK go\r\n");
         }},
        {"200 MB of untagged lines", [&](ScriptedPeer& p) { p.SendRepeated(line, 2000000); }},
        {"a line of 200 MB", [&](ScriptedPeer& p) { p.Send("* OK ").SendRepeated(block, 50000); }},
        {"a literal of 4 000 000 000 bytes", [&](ScriptedPeer& p) { p.Send("* 1 FETCH (BODY[] {4000000000}\r\n").SendRepeated(block, 50000); }},
        {"200 MB of literals in one response", [&](ScriptedPeer& p) { p.SendRepeated(literal, 3500); }},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer;
        c.Script(Greeted(peer));
        const TResult r = OpenAgainst(peer);
        EXPECT_TRUE(r.Ended) << c.Name;
        ASSERT_TRUE(r.Raised) << c.Name;
        EXPECT_EQ(r.Error.Kind, rtl::TErrorKind::TooLarge) << c.Name << ": " << r.Error.Message;
        EXPECT_FALSE(r.Error.Message.empty()) << c.Name;
        EXPECT_LT(r.GrowthKb, 64 * 1024) << c.Name;
    }
}

TEST(HostileMailbox, ADrippingServerEndsAtTheRunsLimit) {
    ScriptedPeer peer;
    // A byte every half second: every single wait is short, the whole never ends.
    Greeted(peer).SendPieces("* OK " + std::string(1000, 'x') + "\r\n", 1, Ms(500));
    const TResult r = OpenAgainst(peer, std::chrono::seconds(2));
    EXPECT_TRUE(r.Ended);
    ASSERT_TRUE(r.Raised);
    EXPECT_EQ(r.Error.Kind, rtl::TErrorKind::TimedOut);
}

std::string Literal(const std::string& bytes) { return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes; }

// FETCH data that lacks what was asked for is the server's failure, never "no answers".
TEST(HostileMailbox, MalformedFetchDataIsAFailure) {
    const std::string header = Literal("From: noreply@faxgateway.example\r\nSubject: Fax to +1 212 1234567 delivered\r\n\r\n");
    const std::string uid = "UID 5 ";
    const std::string date = "INTERNALDATE \"10-Dec-2026 10:00:00 +0000\" ";
    const std::string head = "BODY[HEADER.FIELDS (FROM SUBJECT)] " + header;
    const std::string text = " BODY[TEXT]<0> " + Literal("Fax report.\r\n");
    const struct {
        const char* Name;
        std::string Reply;
        bool Gone;  // the server no longer has the message when asked again
        bool Whole;
    } cases[] = {
        {"whole", "* 1 FETCH (" + uid + date + head + text + ")\r\n", false, true},
        {"a flag update besides", "* 1 FETCH (FLAGS (\\Seen))\r\n* 1 FETCH (" + uid + date + head + text + ")\r\n", false, true},
        {"deleted meanwhile", "", true, true},
        {"no UID", "* 1 FETCH (" + date + head + text + ")\r\n", false, false},
        {"no arrival time", "* 1 FETCH (" + uid + head + text + ")\r\n", false, false},
        {"no header", "* 1 FETCH (" + uid + date + "BODY[TEXT]<0> " + Literal("x") + ")\r\n", false, false},
        {"a UID not asked for", "* 1 FETCH (UID 9 " + date + head + text + ")\r\n", false, false},
        {"nothing", "", false, false},
        {"garbage", "* 1 FETCH (UID 5 INTERNALDATE \"the day after\" " + head + ")\r\n", false, false},
    };
    for (const auto& c : cases) {
        testsupport::TempFile reply("fetch", c.Reply);
        std::vector<std::string> args{testsupport::Certificates().Server.Cert, testsupport::Certificates().Server.Key, reply.Path()};
        if (c.Gone) args.push_back("gone");
        testsupport::PythonServer server(testsupport::SourceRoot() + "/tests/support/imap_peer.py", args);
        TImapSettings settings;
        settings.Server = "localhost";
        settings.Port = server.Port();
        settings.Security = TImapSecurity::ImplicitTls;
        settings.Login = "fax";
        settings.Password = "secret";
        settings.TrustFile = testsupport::Certificates().Authority;
        settings.WaitSeconds = 10;
        auto mailbox = MakeImapMailbox();
        mailbox->Open(settings);
        try {
            const std::vector<TAnswer> answers = mailbox->Fetch(0, 0);
            EXPECT_TRUE(c.Whole) << c.Name << ": no failure";
            ASSERT_EQ(answers.size(), c.Gone ? 0u : 1u) << c.Name;
            if (!c.Gone) {
                EXPECT_EQ(answers[0].Uid, 5u);
                EXPECT_EQ(answers[0].Subject, "Fax to +1 212 1234567 delivered");
                EXPECT_TRUE(mailbox->Fetch(0, 5).empty()) << c.Name;
            }
        } catch (const EImapError& e) {
            EXPECT_FALSE(c.Whole) << c.Name << ": " << e.Message;
            EXPECT_EQ(e.Stage, TImapStage::Read) << c.Name;
            EXPECT_EQ(e.Kind, rtl::TErrorKind::Protocol) << c.Name;
        }
        mailbox->Close();
    }
}

}  // namespace
}  // namespace watch
