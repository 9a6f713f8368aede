// What the mail client finds out for the person waiting: a port that speaks
// TLS where plain text was chosen, a greeting that is only slow, and a
// message larger than the server's SIZE.
#include "mail/Zelsmtp.h"
#include "tests/support/FailureOf.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

using namespace std::chrono_literals;
using mail::TSmtpPhase;
using mail::TSmtpSecurity;
using testsupport::FailureOf;
using testsupport::RealSmtpServer;
using testsupport::SmtpServerOptions;

namespace {

using Clock = std::chrono::steady_clock;

SmtpServerOptions TlsServer(bool implicit) {
    const auto& certs = testsupport::Certificates();
    SmtpServerOptions options;
    options.CertFile = certs.Server.Cert;
    options.KeyFile = certs.Server.Key;
    options.ImplicitTls = implicit;
    options.OfferStartTls = !implicit;
    return options;
}

void Aim(mail::TZelSMTP& client, std::uint16_t port, TSmtpSecurity security) {
    client.Host = "localhost";
    client.Port = port;
    client.UserID = "me";
    client.TrustFile = rtl::TFilePath(testsupport::Certificates().Authority);
    client.Security = security;
    client.TimeLimits.Handshake = client.TimeLimits.Helo = client.TimeLimits.Greeting = 10000;
}

}  // namespace

TEST(Diagnosis, APlainOpeningOnATlsOnlyPortEndsInSecondsSayingSo) {
    RealSmtpServer server(TlsServer(true));
    for (const TSmtpSecurity security : {TSmtpSecurity::None, TSmtpSecurity::StartTls}) {
        SCOPED_TRACE(static_cast<int>(security));
        mail::TZelSMTP client(nullptr);
        Aim(client, server.Port(), security);
        client.TimeLimits.GreetingProbe = 300;
        client.TimeLimits.TlsProbe = 3000;
        const auto start = Clock::now();
        EXPECT_EQ(FailureOf([&] { client.Connect(); }).Kind, rtl::TErrorKind::ServerSpeaksTls);
        EXPECT_LT(Clock::now() - start, 4s);
        EXPECT_FALSE(client.Connected);
    }
}

TEST(Diagnosis, ASlowPlainGreetingIsWaitedForAndTheWaitIsReported) {
    testsupport::ScriptedPeer peer;
    peer.Pause(900ms).Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("QUIT").Send("221 bye\r\n").Close();
    peer.Start();
    mail::TZelSMTP client(nullptr);
    Aim(client, peer.Port(), TSmtpSecurity::None);
    client.Host = "127.0.0.1";
    client.TimeLimits.GreetingProbe = 200;
    client.TimeLimits.TlsProbe = 300;  // the peer never answers the second connection
    std::vector<TSmtpPhase> steps;
    client.OnStep = [&](TSmtpPhase phase) { steps.push_back(phase); };
    client.Connect();
    client.Disconnect();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_EQ(steps, (std::vector<TSmtpPhase>{TSmtpPhase::Connecting, TSmtpPhase::Greeting}));
}

TEST(Diagnosis, AMessageAboveTheServersSizeIsRefusedBeforeMailFrom) {
    SmtpServerOptions options = TlsServer(false);
    options.SizeLimit = 50000;
    RealSmtpServer server(options);
    const testsupport::TempFile page("page.tif", testsupport::RandomBytes(100000, 5));
    mail::TZelSMTP client(nullptr);
    Aim(client, server.Port(), TSmtpSecurity::StartTls);
    client.Connect();
    EXPECT_EQ(client.ServerSizeLimit, 50000);
    auto& m = client.PostMessage();
    m.FromAddress = "me@example.com";
    m.ToAddress.Add("fax@example.com");
    m.Attachments.Add(page.Path());
    try {
        client.SubmitMessage();
        FAIL() << "sent above the limit";
    } catch (const rtl::Exception& e) {
        EXPECT_EQ(e.Kind, rtl::TErrorKind::TooLarge);
        EXPECT_EQ(e.Limit, 50000);
        EXPECT_GT(e.Size, 133000);  // base64 of 100000 bytes
    }
    client.DropConnection();
    const auto commands = server.Commands();
    EXPECT_TRUE(std::none_of(commands.begin(), commands.end(),
                             [](const std::string& line) { return line.find("MAIL FROM") != std::string::npos; }))
        << ::testing::PrintToString(commands);
}
