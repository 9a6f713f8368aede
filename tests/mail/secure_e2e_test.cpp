// The mail client's protected dialogue against aiosmtpd with throwaway
// certificates: what arrives, and what the server was told when a send must
// end before any credential or message byte goes out.
#include "codec/ZelUUE.h"
#include "mail/Zelsmtp.h"
#include "platform/CodePage.h"
#include "tests/support/FailureOf.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

using namespace std::chrono_literals;
using mail::TSmtpSecurity;
using testsupport::RealSmtpServer;
using testsupport::SmtpServerOptions;

namespace {

using testsupport::FailureOf;
using testsupport::TFailure;

const testsupport::TestCertificates& Certs() { return testsupport::Certificates(); }

SmtpServerOptions Server(bool startTls, bool implicit, const testsupport::CertificateFiles& files = Certs().Server) {
    SmtpServerOptions options;
    options.CertFile = files.Cert;
    options.KeyFile = files.Key;
    options.OfferStartTls = options.RequireStartTls = startTls;
    options.ImplicitTls = implicit;
    options.User = "tester";
    options.Password = "s3cret";
    return options;
}

// Connects, submits one message with the attachment and says QUIT.
void Send(mail::TZelSMTP& client, std::uint16_t port, TSmtpSecurity security, const std::string& login,
          const std::string& password, const std::string& attachment) {
    client.TimeLimits.Handshake = client.TimeLimits.Helo = 10000;
    client.Connect({"localhost", port, security, {rtl::TUtf8Text(login), rtl::TUtf8Text(password)},
                    rtl::TFilePath(Certs().Authority), "me", {}});
    auto& m = client.PostMessage();
    m.FromAddress = "me@example.com";
    m.ToAddress.Add("fax@example.com");
    m.Body.Add("over TLS");
    m.Attachments.Add(attachment);
    client.SubmitMessage();
    client.Disconnect();
}

// Every line after the plain opening came encrypted.
bool NothingInTheClearAfter(const std::vector<std::string>& commands, std::size_t plainLines) {
    return std::all_of(commands.begin() + static_cast<std::ptrdiff_t>(std::min(plainLines, commands.size())), commands.end(),
                       [](const std::string& line) { return line.rfind("clear ", 0) != 0; });
}

TEST(SecureEndToEnd, LoginAndMessageGoOnlyOverTlsAndArriveIntact) {
    struct Case {
        const char* Name;
        SmtpServerOptions Options;
        TSmtpSecurity Security;
        std::size_t Size;
        std::size_t PlainLines;  // the opening before the handshake
    };
    auto loginOnly = Server(true, false);
    loginOnly.OnlyAuthLogin = true;
    const Case cases[] = {
        {"STARTTLS, AUTH PLAIN, 10 MB", Server(true, false), TSmtpSecurity::StartTls, 10 * 1024 * 1024, 2},
        {"STARTTLS, AUTH LOGIN", loginOnly, TSmtpSecurity::StartTls, 5000, 2},
        {"TLS from the start", Server(false, true), TSmtpSecurity::ImplicitTls, 70000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        RealSmtpServer server(c.Options);
        testsupport::TempFile file("scan.tif", testsupport::RandomBytes(c.Size, 5));
        mail::TZelSMTP client(nullptr);
        Send(client, server.Port(), c.Security, "tester", "s3cret", file.Path());
        ASSERT_TRUE(server.WaitForMessages(1, 20s));
        testsupport::WriteTextFile(server.Folder() + "/expect.json",
                                   "{\"rcpt\": [\"fax@example.com\"], \"attachments\": [{\"name\": \"scan.tif\", \"path\": \"" +
                                       file.Path() + "\"}]}");
        std::string output;
        EXPECT_EQ(testsupport::RunPython(testsupport::SourceRoot() + "/tests/e2e/check_message.py " + server.Message(1) + " " +
                                             server.Folder() + "/expect.json",
                                         output),
                  0)
            << output;
        const auto commands = server.Commands();
        EXPECT_NE(std::find(commands.begin(), commands.end(), "login ok tester"), commands.end());
        EXPECT_TRUE(NothingInTheClearAfter(commands, c.PlainLines)) << ::testing::PrintToString(commands);
    }
}

// SASL carries the UTF-8 of what was typed, with PLAIN and with LOGIN alike.
TEST(SecureEndToEnd, ACredentialLogsInAsTypedWithEitherMethod) {
    const std::string user = "jos\xC3\xA9\xE7\x94\xA8\xE6\x88\xB7";      // josé用户
    const std::string password = "caf\xC3\xA9\xE5\xAF\x86\xE7\xA0\x81";  // café密码
    for (const bool onlyLogin : {false, true}) {
        SCOPED_TRACE(onlyLogin ? "AUTH LOGIN" : "AUTH PLAIN");
        auto options = Server(true, false);
        options.User = user;
        options.Password = password;
        options.OnlyAuthLogin = onlyLogin;
        RealSmtpServer server(options);
        testsupport::TempFile file("page.tif", "data");
        mail::TZelSMTP client(nullptr);
        Send(client, server.Port(), TSmtpSecurity::StartTls, user, password, file.Path());
        ASSERT_TRUE(server.WaitForMessages(1, 10s));
        const auto commands = server.Commands();
        EXPECT_NE(std::find(commands.begin(), commands.end(), "login ok " + user), commands.end())
            << ::testing::PrintToString(commands);
    }
}

// A server that repeats the credentials in every reply after the login
// (MAIL, RCPT, DATA, the end mark, QUIT): none reaches the dialogue trace, a
// status text or the end mark's reply, which the history stores.
TEST(SecureEndToEnd, CredentialsAServerEchoesAfterTheLoginAreMaskedInEveryReply) {
    const std::string password = "Echo-Me-7f3a";
    const std::vector<std::string> secrets = {password, codec::Base64(password),
                                              codec::Base64(std::string(1, '\0') + "tester" + '\0' + password)};
    for (const bool onlyLogin : {false, true}) {
        SCOPED_TRACE(onlyLogin ? "AUTH LOGIN" : "AUTH PLAIN");
        auto options = Server(true, false);
        options.Password = password;
        options.OnlyAuthLogin = onlyLogin;
        options.EchoCredentials = true;
        RealSmtpServer server(options);
        testsupport::TempFile file("page.tif", "data");
        mail::TZelSMTP client(nullptr);
        std::string shown;
        client.OnDialogue = [&](bool sent, const std::string& line) {
            if (!sent) shown += line;
        };
        client.OnStatus = [&](rtl::TComponent*, const std::string& text) { shown += text + "\n"; };
        Send(client, server.Port(), TSmtpSecurity::StartTls, "tester", password, file.Path());
        EXPECT_EQ(client.EndMarkReply.rfind("250 ", 0), 0u) << client.EndMarkReply;
        EXPECT_NE(client.EndMarkReply.find("**** **** ****"), std::string::npos) << client.EndMarkReply;
        for (const std::string& secret : secrets)
            for (const std::string& text : {shown, client.EndMarkReply, client.LastReply})
                EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
    }
}

TEST(SecureEndToEnd, ASendThatCannotBeProtectedEndsBeforeAnyCredential) {
    const std::string nameMismatch = "服务器证书与服务器名称不符";
    auto noStartTls = Server(false, false);
    noStartTls.User.clear();
    const std::vector<std::string> refusedAtHandshake{"clear EHLO me", "clear STARTTLS"};
    struct Case {
        const char* Name;
        SmtpServerOptions Options;
        TSmtpSecurity Security;
        std::string Password;
        rtl::TErrorKind Kind;
        std::string Text;
        std::vector<std::string> Commands;  // empty: checked only for no credential and no message
    };
    const Case cases[] = {
        {"no STARTTLS offered", noStartTls, TSmtpSecurity::StartTls, "s3cret", rtl::TErrorKind::Tls,
         "服务器 localhost 没有提供 STARTTLS 加密", {"clear EHLO me"}},
        {"another name", Server(true, false, Certs().OtherName), TSmtpSecurity::StartTls, "s3cret", rtl::TErrorKind::TlsNameMismatch,
         nameMismatch, refusedAtHandshake},
        {"unknown authority", Server(true, false, Certs().Unknown), TSmtpSecurity::StartTls, "s3cret",
         rtl::TErrorKind::TlsUntrusted, "服务器证书由未知的颁发机构签发", refusedAtHandshake},
        {"expired", Server(false, true, Certs().Expired), TSmtpSecurity::ImplicitTls, "s3cret", rtl::TErrorKind::Tls,
         "服务器证书已过期", {}},
        {"login in the clear", noStartTls, TSmtpSecurity::None, "s3cret", rtl::TErrorKind::Invalid,
         "登录必须使用加密连接", {}},
        {"wrong password", Server(true, false), TSmtpSecurity::StartTls, "wrong", rtl::TErrorKind::LoginRefused,
         "服务器 localhost 拒绝了登录，请检查用户名和密码 (535", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        RealSmtpServer server(c.Options);
        testsupport::TempFile file("page.tif", "data");
        mail::TZelSMTP client(nullptr);
        const TFailure failure =
            FailureOf([&] { Send(client, server.Port(), c.Security, "tester", c.Password, file.Path()); });
        EXPECT_EQ(failure.Kind, c.Kind);
        EXPECT_NE(failure.Text.find(c.Text), std::string::npos) << failure.Text;
        EXPECT_EQ(failure.Text.find(c.Password), std::string::npos);
        EXPECT_FALSE(client.Connected);
        testsupport::PumpFor(100ms);  // what the server still had to record
        const auto commands = server.Commands();
        if (!c.Commands.empty()) {
            EXPECT_EQ(commands, c.Commands);
        }
        for (const auto& line : commands) {
            EXPECT_EQ(line.find("MAIL"), std::string::npos) << line;
            if (c.Password != "wrong") {
                EXPECT_EQ(line.find("AUTH"), std::string::npos) << line;
            }
        }
        EXPECT_EQ(server.MessageCount(), 0);
    }
}

TEST(SecureEndToEnd, AServerThatDemandsALoginNoneWasSetForIsExplained) {
    RealSmtpServer server(Server(false, true));
    testsupport::TempFile file("page.tif", "data");
    mail::TZelSMTP client(nullptr);
    const TFailure failure = FailureOf([&] { Send(client, server.Port(), TSmtpSecurity::ImplicitTls, "", "", file.Path()); });
    EXPECT_EQ(failure.Kind, rtl::TErrorKind::LoginRequired);
    EXPECT_NE(failure.Text.find("服务器 localhost 要求登录，请设置用户名和密码 (530"), std::string::npos) << failure.Text;
    EXPECT_EQ(server.MessageCount(), 0);
}

TEST(SecureEndToEnd, TheStopButtonEndsAHandshakeThatGetsNoAnswer) {
    for (const TSmtpSecurity security : {TSmtpSecurity::ImplicitTls, TSmtpSecurity::StartTls}) {
        SCOPED_TRACE(security == TSmtpSecurity::ImplicitTls ? "TLS from the start" : "STARTTLS");
        testsupport::ScriptedPeer peer;
        if (security == TSmtpSecurity::StartTls)
            peer.Send("220 hi\r\n").Expect("EHLO me").Send("250-hi\r\n250 STARTTLS\r\n").Expect("STARTTLS").Send("220 go\r\n");
        peer.Pause(10000ms).Start();
        mail::TZelSMTP client(nullptr);
        client.Host = "127.0.0.1";
        client.Port = peer.Port();
        client.UserID = "me";
        client.Security = security;
        net::TThreadTimer stop(nullptr);
        stop.SetInterval(300);
        stop.SetOnTimer([&](rtl::TObject*) {
            stop.SetEnabled(false);
            if (client.Phase() == mail::TSmtpPhase::Handshake) client.Abort();
        });
        const auto start = std::chrono::steady_clock::now();
        const TFailure failure = FailureOf([&] { client.Connect(); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        EXPECT_EQ(failure.Kind, rtl::TErrorKind::Stopped) << failure.Text;
        EXPECT_EQ(client.Phase(), mail::TSmtpPhase::Idle);
        EXPECT_FALSE(client.Connected);
    }
}

}  // namespace
