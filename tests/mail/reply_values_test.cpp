// A refusal as values (the command, the reply code, the enhanced status, the
// server's lines), and the phases a send goes through, told and untold.
#include "session_fixture.h"

#include "mail/ReplyError.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TestCertificates.h"

namespace sessiontest {
namespace {

using mail::TSmtpPhase;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class ReplyValues;

struct RefusalCase {
    const char* Name;
    std::function<void(ReplyValues&)> Script;  // the server's side
    std::function<void(mail::TZelSMTP&)> Run;  // what the client does
    rtl::TErrorKind Kind;
    const char* Command;
    int Code;
    const char* Status;
    std::vector<std::string> Lines;
    const char* Subject;
    friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.Name; }
};

class ReplyValues : public SessionTest, public ::testing::WithParamInterface<RefusalCase> {
public:
    using SessionTest::Envelope;
    using SessionTest::Greeted;
    using SessionTest::Peer;
};

void Connected(mail::TZelSMTP& client) { client.Connect(); }
void Submit(mail::TZelSMTP& client, mail::TZelSMTP::TRefusedRecipient refused = mail::TZelSMTP::TRefusedRecipient::GoOn) {
    client.Connect();
    client.SubmitMessage(refused);
}

TEST_P(ReplyValues, ARefusalCarriesItsCommandCodeStatusAndLines) {
    const RefusalCase& c = GetParam();
    FillSimple();
    c.Script(*this);
    Peer.Start();
    try {
        c.Run(Smtp);
        FAIL() << "nothing was refused";
    } catch (const mail::ESmtpReplyError& e) {
        EXPECT_EQ(e.Kind, c.Kind);
        EXPECT_EQ(e.Command, c.Command);
        EXPECT_EQ(e.Code, c.Code);
        EXPECT_EQ(e.Status, c.Status);
        EXPECT_EQ(e.Lines, c.Lines);
        EXPECT_EQ(e.Subject, c.Subject);
    }
    ExpectScriptPlayed();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyValues,
    ::testing::Values(
        RefusalCase{"Greeting",
                    [](ReplyValues& t) {
                        t.Peer.Send("421-mx.test busy\r\n421 4.3.2 try later\r\n").Expect("QUIT").Send(
                            "221 bye\r\n");
                    },
                    Connected, rtl::TErrorKind::Refused, "greeting", 421, "4.3.2",
                    {"421-mx.test busy\r\n", "421 4.3.2 try later\r\n"}, ""},
        RefusalCase{"RsetAsksForTls",
                    [](ReplyValues& t) {
                        t.Greeted().Expect("RSET").Send(
                            "530 5.7.0 Must issue a STARTTLS command first\r\n");
                    },
                    [](mail::TZelSMTP& client) { Submit(client); }, rtl::TErrorKind::EncryptionRequired, "RSET", 530,
                    "5.7.0", {"530 5.7.0 Must issue a STARTTLS command first\r\n"}, ""},
        RefusalCase{"MailFrom",
                    [](ReplyValues& t) {
                        t.Greeted().Expect("RSET").Send("250 ok\r\n").Expect(
                            "MAIL FROM:<fax@sender.test>").Send("550-5.7.1 sender\r\n550 5.7.1 refused by policy\r\n");
                    },
                    [](mail::TZelSMTP& client) { Submit(client); }, rtl::TErrorKind::SenderRefused, "MAIL FROM", 550,
                    "5.7.1", {"550-5.7.1 sender\r\n", "550 5.7.1 refused by policy\r\n"}, ""},
        RefusalCase{"RcptToStopping",
                    [](ReplyValues& t) {
                        t.Greeted();
                        t.Envelope().Expect("RCPT TO:<you@rcpt.test>").Send(
                            "550 5.1.1 no such user\r\n");
                    },
                    [](mail::TZelSMTP& client) { Submit(client, mail::TZelSMTP::TRefusedRecipient::Stop); },
                    rtl::TErrorKind::RecipientRefused, "RCPT TO", 550, "5.1.1", {"550 5.1.1 no such user\r\n"},
                    "you@rcpt.test"},
        RefusalCase{"DataWithoutStatus",
                    [](ReplyValues& t) {
                        t.Greeted();
                        t.Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect(
                            "DATA").Send("554 no valid recipients\r\n");
                    },
                    [](mail::TZelSMTP& client) { Submit(client); }, rtl::TErrorKind::Refused, "DATA", 554, "",
                    {"554 no valid recipients\r\n"}, ""},
        RefusalCase{"EndMark",
                    [](ReplyValues& t) {
                        t.Greeted();
                        t
                            .Envelope()
                            .Expect("RCPT TO:<you@rcpt.test>")
                            .Send("250 ok\r\n")
                            .Expect("DATA")
                            .Send("354 go\r\n")
                            .ExpectUntil("\r\n.\r\n")
                            .Send("552 5.3.4 message too big\r\n");
                    },
                    [](mail::TZelSMTP& client) { Submit(client); }, rtl::TErrorKind::TooLarge, ".", 552, "5.3.4",
                    {"552 5.3.4 message too big\r\n"}, ""},
        RefusalCase{"Quit",
                    [](ReplyValues& t) {
                        t.Greeted().Expect("QUIT").Send("500 5.5.1 unrecognised\r\n");
                    },
                    [](mail::TZelSMTP& client) {
                        client.Connect();
                        client.Disconnect();
                    },
                    rtl::TErrorKind::Refused, "QUIT", 500, "5.5.1", {"500 5.5.1 unrecognised\r\n"}, ""}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(EnhancedStatus, IsReadOnlyWhereRfc3463PutsIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"250 2.0.0 ok\r\n", "2.0.0"},         {"550-5.1.1 no\r\n", "5.1.1"},  {"452 4.3.123\r\n", "4.3.123"},
        {"550 5.1.1x no\r\n", ""},             {"550 5.1 no\r\n", ""},         {"550 6.1.1 no\r\n", ""},
        {"550 no 5.1.1\r\n", ""},              {"550 5.1.1234 no\r\n", ""},   {"5505.1.1\r\n", ""},
        {"550", ""},
    };
    for (const auto& [line, status] : cases) EXPECT_EQ(mail::EnhancedStatusOf(line), status) << line;
}

std::vector<std::string> Names(const std::vector<TSmtpPhase>& phases) {
    std::vector<std::string> names;
    for (const TSmtpPhase phase : phases) names.emplace_back(mail::PhaseName(phase));
    return names;
}

TEST_F(SessionTest, ASendTellsConnectingAndTheTextAndRunsEachCommandInItsOwnPhase) {
    FillSimple();
    Greeted();
    Envelope().Expect("RCPT TO:<you@rcpt.test>").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    Peer.ExpectData(SimpleData()).Send("250 queued\r\n").Expect("QUIT").Send("221 bye\r\n");
    Peer.Start();
    std::vector<TSmtpPhase> told, commands;
    Smtp.OnStep = [&](TSmtpPhase phase) { told.push_back(phase); };
    Smtp.OnDialogue = [&](bool sent, const std::string&) {
        if (sent) commands.push_back(Smtp.Phase());
    };
    Smtp.Connect();
    Smtp.SubmitMessage();
    Smtp.Disconnect();
    Smtp.OnDialogue = nullptr;
    Smtp.OnStep = nullptr;
    ExpectScriptPlayed();
    EXPECT_THAT(Names(told), ElementsAre("connecting", "message text"));
    EXPECT_THAT(Names(commands), ElementsAre("HELO", "RSET", "MAIL FROM", "RCPT TO", "DATA", ".", "QUIT"));
    EXPECT_EQ(Smtp.Phase(), TSmtpPhase::Idle);
}

TEST(PhaseSteps, AProtectedSendWithALoginTellsEachStepOnceInOrder) {
    for (const bool implicit : {false, true}) {
        SCOPED_TRACE(implicit ? "TLS from the start" : "STARTTLS");
        const auto& certs = testsupport::Certificates();
        testsupport::SmtpServerOptions options;
        options.CertFile = certs.Server.Cert;
        options.KeyFile = certs.Server.Key;
        options.ImplicitTls = implicit;
        options.OfferStartTls = !implicit;
        options.User = "tester";
        options.Password = "s3cret";
        testsupport::RealSmtpServer server(options);
        mail::TZelSMTP client(nullptr);
        const mail::TSmtpConnection connection{"localhost", server.Port(),
                                               implicit ? mail::TSmtpSecurity::ImplicitTls : mail::TSmtpSecurity::StartTls,
                                               {rtl::TUtf8Text("tester"), rtl::TUtf8Text("s3cret")},
                                               rtl::TFilePath(certs.Authority), "me", {}};
        std::vector<TSmtpPhase> told;
        client.OnStep = [&](TSmtpPhase phase) { told.push_back(phase); };
        auto& m = client.PostMessage();
        m.FromAddress = "me@example.com";
        m.ToAddress.Add("fax@example.com");
        m.Body.Add("Hello");
        client.Connect(connection);
        client.SubmitMessage();
        client.Disconnect();
        EXPECT_THAT(Names(told), ElementsAreArray({"connecting", "TLS handshake", "AUTH", "message text"}));
    }
}

}  // namespace
}  // namespace sessiontest
