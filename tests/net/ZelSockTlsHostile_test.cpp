// TLS against what the user or the server may hand it: trust files that are
// no small regular file, a certificate that names the host only in its CN,
// and a server that ends the session in the middle of the dialogue.
#include "net/ZelSockTls.h"
#include "tests/net/NetTest.h"
#include "tests/support/FailureOf.h"
#include "tests/support/PythonServer.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestCertificates.h"

#include <atomic>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace nettest {
namespace {

using testsupport::FailureOf;
using testsupport::TFailure;

std::unique_ptr<testsupport::PythonServer> TlsServer(const testsupport::CertificateFiles& files,
                                                     std::vector<std::string> extra = {}) {
    std::vector<std::string> args{files.Cert, files.Key};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<testsupport::PythonServer>(testsupport::SourceRoot() + "/tests/support/tls_peer.py", args);
}

// Writes to a FIFO for as long as it lives, once a reader has opened it.
class EndlessWriter {
public:
    explicit EndlessWriter(const std::string& path)
        : Thread([this, path] {
              int fd = -1;
              while (!Stop && (fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0) std::this_thread::sleep_for(5ms);
              const std::string chunk(4096, 'A');
              while (!Stop)
                  if (::write(fd, chunk.data(), chunk.size()) < 0) std::this_thread::sleep_for(1ms);
              if (fd >= 0) ::close(fd);
          }) {}
    ~EndlessWriter() {
        Stop = true;
        Thread.join();
    }

private:
    std::atomic<bool> Stop{false};
    std::thread Thread;
};

// Opens the write end once, so a reader blocked in its open goes on (and meets the end).
void ReleaseReader(const std::string& fifo) {
    for (int i = 0; i < 100; ++i) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// The session is made on a thread of its own, so a loader that blocks or
// spins fails the case instead of hanging the test; it is then left behind.
TFailure SessionFailure(const std::string& trustFile, const std::function<void()>& release) {
    auto result = std::make_shared<std::promise<TFailure>>();
    std::future<TFailure> outcome = result->get_future();
    std::thread([result, trustFile] {
        result->set_value(FailureOf([&] { net::TTlsSession session("localhost", trustFile); }));
    }).detach();
    if (outcome.wait_for(3s) == std::future_status::ready) return outcome.get();
    if (release) release();
    return {true, rtl::TErrorKind::Other, "still reading the trust file after 3 s"};
}

TEST(TrustFile, OnlyASmallRegularFileOfCertificatesIsReadAndEachRefusalSaysWhichAndWhy) {
    testsupport::TempFile notPem("notes.txt", "no certificate here\n");
    testsupport::TempFile large("bundle.pem", std::string(5 * 1024 * 1024, 'A'));
    const std::string folder = ::testing::TempDir() + "trust-folder";
    ::mkdir(folder.c_str(), 0700);
    const std::string silentFifo = ::testing::TempDir() + "trust-fifo-silent";
    const std::string busyFifo = ::testing::TempDir() + "trust-fifo-busy";
    for (const std::string& fifo : {silentFifo, busyFifo}) {
        ::unlink(fifo.c_str());
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    }
    EndlessWriter writer(busyFifo);
    const std::string notRegular = "：它不是普通文件（可能是文件夹、管道或设备）";
    const struct {
        std::string Path;
        std::string Reason;  // empty: accepted
        std::function<void()> Release;
    } cases[] = {
        {testsupport::Certificates().Authority, "", nullptr},
        {"/nonexistent/ca.pem", "：文件不存在", nullptr},
        {folder, notRegular, nullptr},
        {silentFifo, notRegular, [&] { ReleaseReader(silentFifo); }},
        {busyFifo, notRegular, nullptr},
        {"/dev/zero", notRegular, nullptr},
        {large.Path(), "：文件超过了 4 MB，不是证书文件", nullptr},
        {notPem.Path(), "：文件中没有 PEM 格式的证书", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        const TFailure failure = SessionFailure(c.Path, c.Release);
        if (c.Reason.empty()) {
            EXPECT_FALSE(failure.Raised) << failure.Text;
            continue;
        }
        EXPECT_EQ(failure.Kind, rtl::TErrorKind::Tls);
        EXPECT_EQ(failure.Text, "与服务器 localhost 的加密连接失败：无法读取受信任的证书文件 " + c.Path + c.Reason);
    }
    for (const std::string& path : {silentFifo, busyFifo, folder}) ::remove(path.c_str());
}

class ZelSockTlsHostile : public SockTest {
protected:
    void StartTlsWith(const testsupport::CertificateFiles& files, std::vector<std::string> options = {}) {
        Server = TlsServer(files, std::move(options));
        Sock->TrustFile = rtl::TFilePath(testsupport::Certificates().Authority);
        Sock->Host = "localhost";
        Sock->Port = Server->Port();
        Sock->Connect();
        Failure = FailureOf([this] { Sock->StartTls(); });
    }
    std::unique_ptr<testsupport::PythonServer> Server;
    TFailure Failure;
};

TEST_F(ZelSockTlsHostile, ACertificateThatNamesTheHostOnlyInItsCommonNameIsRefused) {
    StartTlsWith(testsupport::Certificates().NoAltName);
    EXPECT_EQ(Failure.Kind, rtl::TErrorKind::TlsNameMismatch);
    EXPECT_NE(Failure.Text.find("与服务器 localhost 的加密连接失败：服务器证书与服务器名称不符"), std::string::npos)
        << Failure.Text;
    EXPECT_FALSE(Sock->Connected);
}

TEST_F(ZelSockTlsHostile, AServerThatEndsTheSessionMidDialogueEndsTheWaitAtOnce) {
    for (const char* mode : {"whole", "partial"}) {
        SCOPED_TRACE(mode);
        StartTlsWith(testsupport::Certificates().Server, {"--close-notify", mode});
        ASSERT_FALSE(Failure.Raised) << Failure.Text;
        EXPECT_EQ(Sock->ReadLn(), "220 tls ready\r\n");
        Sock->Writeln("EHLO me");
        const auto start = Clock::now();
        const TFailure failure = FailureOf([this] { Sock->ReadLn(); });
        EXPECT_LT(ElapsedMs(start), 2000);
        EXPECT_EQ(failure.Kind, rtl::TErrorKind::ClosedByPeer);
        EXPECT_EQ(failure.Text, "服务器结束了加密连接，连接已断开");
        EXPECT_FALSE(Sock->Connected);
        Sock->Disconnect();
    }
}

}  // namespace
}  // namespace nettest
