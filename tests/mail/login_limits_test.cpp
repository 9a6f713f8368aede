// The login against what a server cannot take or should not repeat: a login
// line past RFC 4954's limit, a refusal that echoes the credentials, and a
// user ID changed by the retry handler.
#include "session_fixture.h"

#include "tests/support/FailureOf.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestCertificates.h"

#include "codec/ZelUUE.h"

namespace sessiontest {
namespace {

using testsupport::FailureOf;
using Kind = rtl::TErrorKind;

// "AUTH PLAIN " + base64("\0tester\0" + password) + CR LF: 9196 octets of
// password make it exactly 12288 octets.
TEST(LoginLimits, ALoginLineAServerNeedNotTakeIsRefusedBeforeConnecting) {
    const struct {
        std::size_t PasswordLength;
        Kind Expected;
    } cases[] = {
        {9196, Kind::LookupFailed},  // fits: the send goes on to look up the server
        {9197, Kind::Invalid},
        {16 * 1024, Kind::Invalid},
        {100 * 1024, Kind::Invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.PasswordLength);
        mail::TZelSMTP client(nullptr);
        mail::TSmtpConnection connection;
        connection.Host = "no..such.host";  // refused by the resolver library, never asked
        connection.UserID = "me";
        connection.Security = mail::TSmtpSecurity::StartTls;
        connection.Login = {rtl::TUtf8Text("tester"), rtl::TUtf8Text(std::string(c.PasswordLength, 'p'))};
        const auto failure = FailureOf([&] { client.Connect(connection); });
        EXPECT_EQ(failure.Kind, c.Expected) << failure.Text;
        if (c.Expected == Kind::Invalid) {
            EXPECT_EQ(failure.Text, "登录名和密码太长：SMTP登录命令最多只能有12288个字节，没有发送");
        }
        EXPECT_EQ(client.Phase(), mail::TSmtpPhase::Idle);
    }
}

TEST(LoginLimits, ARefusalThatEchoesTheCredentialsShowsItsCodeAlone) {
    const std::string password = "Echo-Me-7f3a";
    for (const bool onlyLogin : {false, true}) {
        SCOPED_TRACE(onlyLogin ? "AUTH LOGIN" : "AUTH PLAIN");
        testsupport::SmtpServerOptions options;
        options.CertFile = testsupport::Certificates().Server.Cert;
        options.KeyFile = testsupport::Certificates().Server.Key;
        options.OfferStartTls = options.RequireStartTls = true;
        options.User = "tester";
        options.Password = "right";
        options.OnlyAuthLogin = onlyLogin;
        options.EchoFailedLogin = true;
        testsupport::RealSmtpServer server(options);
        mail::TZelSMTP client(nullptr);
        client.TimeLimits.Handshake = client.TimeLimits.Helo = 10000;
        std::string statuses;
        client.OnStatus = [&](rtl::TComponent*, const std::string& text) { statuses += text + "\n"; };
        const mail::TSmtpConnection connection{"localhost", server.Port(), mail::TSmtpSecurity::StartTls,
                                               {rtl::TUtf8Text("tester"), rtl::TUtf8Text(password)},
                                               rtl::TFilePath(testsupport::Certificates().Authority), "me", {}};
        const auto failure = FailureOf([&] { client.Connect(connection); });
        client.OnStatus = nullptr;
        EXPECT_EQ(failure.Text, "服务器 localhost 拒绝了登录，请检查用户名和密码 (535)");
        for (const std::string& secret : {password, codec::Base64(password), codec::Base64(std::string(1, '\0') + "tester" + '\0' + password)})
            for (const std::string& shown : {failure.Text, statuses}) EXPECT_EQ(shown.find(secret), std::string::npos) << secret;
    }
}

TEST_F(SessionTest, AUserIdFromTheRetryHandlerIsLengthCheckedLikeTheFirst) {
    Smtp.OnAuthenticationFailed = [&](bool& handled) {
        Smtp.UserID = std::string(600, 'u');
        handled = true;
    };
    Peer.Send("220 ready\r\n").Expect("HELO fax").Send("501 bad\r\n").Expect("QUIT").Send("221 bye\r\n").ReadUntilClose();
    Peer.Start();
    const auto failure = FailureOf([&] { Smtp.Connect(); });
    EXPECT_EQ(failure.Kind, Kind::Invalid);
    EXPECT_EQ(failure.Text, "UserID 字段太长：SMTP命令行最多只能有512个字节");
    ExpectScriptPlayed();
    EXPECT_EQ(Peer.Received(), "HELO fax\r\nQUIT\r\n");
}

}  // namespace
}  // namespace sessiontest
