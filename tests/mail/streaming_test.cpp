// The message composed while it is sent: its size is exact before the first
// byte, its attachment lines are the encoder's, and a 1 GB attachment goes out
// in bounded memory and stops within a second.
#include "session_fixture.h"

#include "mail/Composer.h"
#include "tests/support/TempFiles.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace sessiontest {
namespace {

using testsupport::TempFile;

std::string ReadAll(rtl::TStream& source) {
    std::string text;
    char piece[7000];  // not a multiple of any piece size inside
    for (std::int64_t n; (n = source.Read(piece, sizeof piece)) > 0;) text.append(piece, static_cast<std::size_t>(n));
    return text;
}

// The lines the whole-stream encoder writes for the bytes, stuffed where a line starts with ".".
std::string EncoderLines(const std::string& bytes, codec::UUMethods method) {
    rtl::TMemoryStream in, out;
    in.WriteString(bytes);
    codec::TZelUUProcessor processor(nullptr);
    processor.Method = method;
    processor.InputStream = &in;
    processor.OutputStream = &out;
    processor.Encode();
    const std::string text = out.ToString();
    std::string stuffed;
    for (std::size_t at = 0, end; at < text.size(); at = end) {
        end = text.find("\r\n", at) + 2;
        if (text[at] == '.') stuffed += '.';
        stuffed += text.substr(at, end - at);
    }
    return stuffed;
}

TEST(MessageSource, SizeIsExactAndLinesAreTheEncodersAcrossPieces) {
    for (const auto method : {codec::uuMime, codec::uuCode}) {
        for (const std::size_t size : {0, 1, 14, 44, 45, 59, 46079, 46080, 46081, 2 * 46080 + 14}) {
            SCOPED_TRACE(testing::Message() << "method " << method << ", " << size << " bytes");
            const std::string bytes = testsupport::RandomBytes(size, static_cast<unsigned>(size));
            const TempFile file("a.bin", bytes);
            mail::TPostMessage message;
            message.FromAddress = "me@x";
            message.Attachments.Add(file.Path());
            mail::TMessageComposer composer;
            composer.EncodeType = method;
            codec::TExStringList header;
            std::string boundary;
            const auto source = composer.Open(message, header, boundary);
            const std::int64_t announced = source->Size();
            const std::string text = ReadAll(*source);
            EXPECT_EQ(static_cast<std::int64_t>(text.size()), announced);
            const std::string lines = EncoderLines(bytes, method);
            EXPECT_NE(text.find("\r\n\r\n" + lines + "--" + boundary + "--\r\n"), std::string::npos);
        }
    }
}

TEST(MessageSource, AnAttachmentThatShrinksAfterItWasOpenedIsAReadError) {
    const TempFile file("a.bin", testsupport::RandomBytes(200000, 1));
    mail::TPostMessage message;
    message.Attachments.Add(file.Path());
    codec::TExStringList header;
    std::string boundary;
    const auto source = mail::TMessageComposer().Open(message, header, boundary);
    ASSERT_EQ(::truncate(file.Path().c_str(), 100000), 0);
    EXPECT_THROW(ReadAll(*source), rtl::EReadError);
}

// An SMTP server that accepts one message and throws its text away as it
// comes, so that only the client's memory is measured.
class DiscardingServer {
public:
    DiscardingServer() {
        Listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (Listener < 0 || ::bind(Listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(Listener, 1) != 0 || ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        Port = ntohs(address.sin_port);
        Worker = std::thread([this] { Run(); });
    }
    ~DiscardingServer() {
        Stop = true;
        Worker.join();
        ::close(Listener);
    }
    std::uint16_t Port = 0;
    std::atomic<std::int64_t> TextBytes{0};
    std::atomic<bool> EndMarkSeen{false};

private:
    // Waits for the socket to be readable, at most 50 ms; false when stopped.
    bool Ready(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!Stop)
            if (::poll(&p, 1, 50) > 0) return true;
        return false;
    }
    void Say(int fd, std::string_view line) { (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL); }
    void Run() {
        if (!Ready(Listener)) return;
        const int fd = ::accept(Listener, nullptr, nullptr);
        Say(fd, "220 ready\r\n");
        std::string pending;
        bool inText = false;
        std::vector<char> area(1 << 16);
        while (Ready(fd)) {
            const ssize_t n = ::recv(fd, area.data(), area.size(), 0);
            if (n <= 0) break;
            pending.append(area.data(), static_cast<std::size_t>(n));
            for (bool more = true; more;) {
                more = false;
                if (inText) {
                    const std::size_t end = pending.find("\r\n.\r\n");
                    const std::size_t keep = end == std::string::npos ? std::min<std::size_t>(pending.size(), 4) : 0;
                    TextBytes += static_cast<std::int64_t>(end == std::string::npos ? pending.size() - keep : end);
                    if (end == std::string::npos) {
                        pending.erase(0, pending.size() - keep);
                        break;
                    }
                    pending.erase(0, end + 5);
                    inText = false;
                    EndMarkSeen = true;
                    Say(fd, "250 ok\r\n");
                }
                const std::size_t eol = pending.find("\r\n");
                if (eol == std::string::npos) break;
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                more = true;
                if (line == "DATA") {
                    inText = true;
                    pending.insert(0, "\r\n");  // the text may end at once
                    Say(fd, "354 go\r\n");
                } else {
                    Say(fd, line == "QUIT" ? "221 bye\r\n" : "250 ok\r\n");
                }
            }
        }
        ::close(fd);
    }
    int Listener = -1;
    std::atomic<bool> Stop{false};
    std::thread Worker;
};

std::int64_t StatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name, 0) == 0) return std::stoll(line.substr(std::strlen(name))) * 1024;
    return -1;
}

class GigabyteSend : public ::testing::Test {
protected:
    GigabyteSend() {
        EXPECT_EQ(::truncate(Attachment.Path().c_str(), std::int64_t{1} << 30), 0);
        Smtp.Host = "127.0.0.1";
        Smtp.Port = Server.Port;
        Smtp.UserID = "fax";
        auto& m = Smtp.PostMessage();
        m.FromAddress = "fax@sender.test";
        m.ToAddress.Add("you@rcpt.test");
        m.Attachments.Add(Attachment.Path());
    }
    TempFile Attachment{"scan.bin", ""};  // sparse: 1 GB that takes no disk
    DiscardingServer Server;
    mail::TZelSMTP Smtp{nullptr};
};

TEST_F(GigabyteSend, GoesOutWithThePeakMemoryGrowingByLessThan32MB) {
    Smtp.Connect();
    // The peak is reset to the present size: only this send's growth counts.
    std::ofstream("/proc/self/clear_refs") << "5";
    const std::int64_t before = StatusField("VmRSS:");
    Smtp.SubmitMessage();
    const std::int64_t growth = StatusField("VmHWM:") - before;
    Smtp.Disconnect();
    EXPECT_TRUE(Server.EndMarkSeen);
    EXPECT_EQ(Server.TextBytes, Smtp.BytesTotal + static_cast<std::int64_t>(Smtp.FinalHeader.Text().size()) + 4);
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peak growth " << growth << " bytes: the sanitizer holds freed memory in its quarantine";
#endif
    EXPECT_GT(before, 0);
    EXPECT_LT(growth, 32 << 20);
}

TEST_F(GigabyteSend, AStopDuringCompositionEndsTheSendWithinASecond) {
    Smtp.Connect();
    Clock::time_point stopped{};
    std::int32_t sentAtStop = 0;
    // The stop button, pressed while the text is composed and goes out.
    Later stop(300, [&] {
        stopped = Clock::now();
        sentAtStop = Smtp.BytesSent;
        Smtp.Abort();
    });
    EXPECT_EQ(Catch([&] { Smtp.SubmitMessage(); }), (Raised{"EAbortError", "Socket send aborted"}));
    ASSERT_EQ(stop.Fired, 1);
    EXPECT_LT(Clock::now() - stopped, 1s);
    EXPECT_GT(sentAtStop, 0) << "stopped before the text went out";
    EXPECT_LT(sentAtStop, Smtp.BytesTotal);
    EXPECT_FALSE(Smtp.Connected);
    EXPECT_FALSE(Server.EndMarkSeen);
}

}  // namespace
}  // namespace sessiontest
