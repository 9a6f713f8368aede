// The socket component over TLS, against a Python TLS server and aiosmtpd
// with throwaway certificates: transfer both ways, every kind of refused
// handshake, and a stop or a close while the handshake runs.
#include "platform/CodePage.h"
#include "tests/net/NetTest.h"
#include "tests/support/FailureOf.h"
#include "tests/support/PythonServer.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestCertificates.h"

#include <cstdlib>
#include <optional>
#include <vector>

namespace nettest {
namespace {

using testsupport::CertificateFiles;
using testsupport::PythonServer;
using testsupport::ScriptedPeer;

using testsupport::FailureOf;
using testsupport::TFailure;

std::unique_ptr<PythonServer> TlsServer(const CertificateFiles& files, const std::string& maxVersion = "") {
    std::vector<std::string> args{files.Cert, files.Key};
    if (!maxVersion.empty()) args.insert(args.end(), {"--max-version", maxVersion});
    return std::make_unique<PythonServer>(testsupport::SourceRoot() + "/tests/support/tls_peer.py", args);
}

class ZelSockTls : public SockTest {
protected:
    void SetUp() override {
        SockTest::SetUp();
        Sock->TrustFile = rtl::TFilePath(Certs.Authority);
    }
    void ConnectTo(const std::string& host, std::uint16_t port) {
        Sock->Host = host;
        Sock->Port = port;
        Sock->Connect();
        ASSERT_TRUE(Sock->Connected);
    }
    const testsupport::TestCertificates& Certs = testsupport::Certificates();
};

// Sets an environment variable for one scope.
class TEnvironment {
public:
    TEnvironment(const char* name, const std::string& value) : Name(name) {
        if (const char* old = std::getenv(name)) Old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~TEnvironment() {
        if (Old)
            ::setenv(Name, Old->c_str(), 1);
        else
            ::unsetenv(Name);
    }
    TEnvironment(const TEnvironment&) = delete;
    TEnvironment& operator=(const TEnvironment&) = delete;

private:
    const char* Name;
    std::optional<std::string> Old;
};

// With TLS 1.2 the greeting comes in one packet with the server's last
// handshake message, so it is already buffered when the handshake ends.
TEST_F(ZelSockTls, CarriesLinesAndLargeStreamsBothWaysThenTheNextConnectionIsPlain) {
    const std::string payload = testsupport::RandomBytes(6 * 1024 * 1024 + 77, 11);
    struct Case {
        const char* Host;
        const char* MaxVersion;
        bool SystemStore;  // the authority only in the system's place, no trust file
    };
    for (const Case& c : {Case{"localhost", "", false}, Case{"127.0.0.1", "1.2", false}, Case{"localhost", "", true}}) {
        SCOPED_TRACE(std::string(c.Host) + " max " + c.MaxVersion + (c.SystemStore ? " system store" : ""));
        std::unique_ptr<TEnvironment> store;
        if (c.SystemStore) store = std::make_unique<TEnvironment>("SSL_CERT_DIR", Certs.AuthorityStore);
        Sock->TrustFile = rtl::TFilePath(c.SystemStore ? "" : Certs.Authority);
        const auto server = TlsServer(Certs.Server, c.MaxVersion);
        ConnectTo(c.Host, server->Port());
        Sock->StartTls();
        EXPECT_TRUE(Sock->TlsActive());
        EXPECT_EQ(Sock->ReadLn(), "220 tls ready\r\n");
        EXPECT_EQ(Sock->Transaction("PING"), "PING\r\n");

        rtl::TMemoryStream stream;
        stream.WriteBuffer(payload.data(), static_cast<std::int64_t>(payload.size()));
        std::vector<std::int32_t> counts;
        Sock->OnPacketSent = [&](rtl::TObject*) { counts.push_back(Sock->BytesSent); };
        Sock->SendStream(stream);
        Sock->OnPacketSent = nullptr;
        ASSERT_FALSE(counts.empty());
        EXPECT_EQ(counts.front(), 16383);  // the chunks of the plain path
        EXPECT_EQ(Sock->BytesSent, static_cast<std::int32_t>(payload.size()));  // plaintext, not records
        EXPECT_EQ(Sock->BytesTotal, static_cast<std::int32_t>(payload.size()));
        EXPECT_TRUE(testsupport::PumpUntil(
            [&] { return Sock->ReceiveStream.Size() >= static_cast<std::int64_t>(payload.size()); }, 15000ms));
        EXPECT_TRUE(Sock->ReceiveStream.ToString() == payload) << "echo of " << Sock->ReceiveStream.Size() << " bytes differs";
        Sock->Disconnect();
        EXPECT_FALSE(Sock->TlsActive());
    }
    ScriptedPeer plain;
    plain.Expect("EHLO me").Close().Start();
    ConnectTo("127.0.0.1", plain.Port());
    Sock->Writeln("EHLO me");
    ExpectScriptDone(plain);
}

TEST_F(ZelSockTls, RefusedHandshakesNameTheServerAndTheReason) {
    const std::string unknownAuthority = "服务器证书由未知的颁发机构签发";
    const std::string nameMismatch = "服务器证书与服务器名称不符";
    struct Case {
        const char* Name;
        const CertificateFiles& Files;
        const char* Host;
        std::string TrustFile;
        const char* MaxVersion;
        std::string Reason;
    };
    const Case cases[] = {
        {"another name", Certs.OtherName, "localhost", Certs.Authority, "", nameMismatch},
        {"another address", Certs.OtherName, "127.0.0.1", Certs.Authority, "", nameMismatch},
        {"unknown authority", Certs.Unknown, "localhost", Certs.Authority, "", unknownAuthority},
        {"system authorities only", Certs.Server, "localhost", "", "", unknownAuthority},
        {"expired", Certs.Expired, "localhost", Certs.Authority, "", "服务器证书已过期"},
        {"protocol too old", Certs.Server, "localhost", Certs.Authority, "1.1", "服务器只支持过旧的协议版本"},
        {"unreadable trust file", Certs.Server, "localhost", "/nonexistent/ca.pem", "",
         "无法读取受信任的证书文件 /nonexistent/ca.pem"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto server = TlsServer(c.Files, c.MaxVersion);
        Sock->TrustFile = rtl::TFilePath(c.TrustFile);
        ConnectTo(c.Host, server->Port());
        const TFailure failure = FailureOf([this] { Sock->StartTls(); });
        EXPECT_EQ(failure.Kind, c.Reason == unknownAuthority ? rtl::TErrorKind::TlsUntrusted
                                : c.Reason == nameMismatch   ? rtl::TErrorKind::TlsNameMismatch
                                                             : rtl::TErrorKind::Tls);
        EXPECT_NE(failure.Text.find(std::string("与服务器 ") + c.Host + " 的加密连接失败：" + c.Reason), std::string::npos)
            << failure.Text;
        EXPECT_FALSE(Sock->Connected);
        EXPECT_FALSE(Sock->TlsActive());
    }
}

TEST_F(ZelSockTls, AHandshakeEndsWhenStoppedOrWhenThePeerClosesOrAnswersInPlainText) {
    struct Case {
        const char* Name;
        std::function<void(ScriptedPeer&)> Script;
        bool Stop;
        rtl::TErrorKind Kind;
        std::string Text;
    };
    const Case cases[] = {
        {"silent peer, stopped", [](ScriptedPeer& p) { p.Pause(10000ms); }, true, rtl::TErrorKind::Stopped, "TLS handshake aborted"},
        {"peer closes", [](ScriptedPeer& p) { p.ExpectBytes(1).Close(); }, false, rtl::TErrorKind::ClosedByPeer,
         net::ConnectionClosedText},
        {"plain text answer", [](ScriptedPeer& p) { p.ExpectBytes(1).Send("220 plain\r\n").Pause(5000ms); }, false,
         rtl::TErrorKind::TlsNotTls, "服务器的回应不是加密连接"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedPeer peer;
        c.Script(peer);
        peer.Start();
        ConnectTo("127.0.0.1", peer.Port());
        std::unique_ptr<TLater> stop;
        if (c.Stop) stop = std::make_unique<TLater>(200ms, [this] { Sock->Cancel(); });
        const auto start = Clock::now();
        const TFailure failure = FailureOf([this] { Sock->StartTls(); });
        EXPECT_LT(ElapsedMs(start), 3000);
        EXPECT_EQ(failure.Kind, c.Kind);
        EXPECT_NE(failure.Text.find(c.Text), std::string::npos) << failure.Text;
        EXPECT_FALSE(Sock->Connected);
    }
}

// aiosmtpd speaks TLS through Python's asyncio: STARTTLS in the dialogue and
// TLS from the first byte, with the login it offers only over TLS.
TEST_F(ZelSockTls, ARealSmtpServerTalksOverTlsAndRecordsWhatCameEncrypted) {
    for (const bool implicit : {false, true}) {
        SCOPED_TRACE(implicit ? "TLS from the start" : "STARTTLS");
        testsupport::SmtpServerOptions options;
        options.CertFile = Certs.Server.Cert;
        options.KeyFile = Certs.Server.Key;
        options.OfferStartTls = options.RequireStartTls = !implicit;
        options.ImplicitTls = implicit;
        options.User = "tester";
        options.Password = "secret";
        testsupport::RealSmtpServer server(options);
        ConnectTo("localhost", server.Port());
        if (implicit) Sock->StartTls();
        EXPECT_EQ(Sock->ReadLn().substr(0, 4), "220 ");
        auto ehlo = [this] {
            std::string line = Sock->Transaction("EHLO me");
            std::string reply = line;
            while (line.size() > 3 && line[3] == '-') reply += line = Sock->ReadLn();
            return reply;
        };
        if (!implicit) {
            EXPECT_EQ(ehlo().find("AUTH"), std::string::npos);
            EXPECT_EQ(Sock->Transaction("STARTTLS").substr(0, 4), "220 ");
            Sock->StartTls();
        }
        EXPECT_NE(ehlo().find("250-AUTH LOGIN PLAIN"), std::string::npos);
        EXPECT_EQ(Sock->Transaction("AUTH PLAIN AHRlc3RlcgBzZWNyZXQ=").substr(0, 4), "235 ");  // "\0tester\0secret"
        EXPECT_EQ(Sock->Transaction("QUIT").substr(0, 4), "221 ");
        Sock->Disconnect();
        std::vector<std::string> expected{"tls EHLO me", "tls AUTH PLAIN AHRlc3RlcgBzZWNyZXQ=", "login ok tester", "tls QUIT"};
        if (!implicit) expected.insert(expected.begin(), {"clear EHLO me", "clear STARTTLS"});
        EXPECT_EQ(server.Commands(), expected);
    }
}

}  // namespace
}  // namespace nettest
