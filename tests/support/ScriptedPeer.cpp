#include "tests/support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr ScriptedPeer::Ms kSlice{20};  // how often a blocked step looks at the stop flag

std::string Printable(const std::string& bytes, std::size_t limit = 80) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 32 || c > 126) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
    return "\"" + out + "\"";
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int ListenOn(std::uint16_t port, int backlog, std::uint16_t& boundPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        const int e = errno;
        ::close(fd);
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") + std::strerror(e));
    }
    boundPort = ntohs(a.sin_port);
    return fd;
}

}  // namespace

struct ScriptedPeer::Step {
    enum Kind { Expect, ExpectData, ExpectBytes, ExpectUntil, ReadUntilClose, Send, SendRepeated, Pause, Close, Reset, AcceptNext, Call };
    Kind What = Expect;
    std::string Text;
    std::size_t Size = 0;
    Ms Wait{0};
    std::function<void()> Fn;

    std::string Describe() const {
        switch (What) {
            case Expect: return "Expect(" + Printable(Text) + ")";
            case ExpectData: return "ExpectData(" + Printable(Text) + ")";
            case ExpectBytes: return "ExpectBytes(" + std::to_string(Size) + ")";
            case ExpectUntil: return "ExpectUntil(" + Printable(Text) + ")";
            case ReadUntilClose: return "ReadUntilClose()";
            case Send: return "Send(" + Printable(Text) + ")";
            case SendRepeated: return "SendRepeated(" + Printable(Text) + ", " + std::to_string(Size) + ")";
            case Pause: return "Pause(" + std::to_string(Wait.count()) + " ms)";
            case Close: return "Close()";
            case Reset: return "Reset()";
            case AcceptNext: return "AcceptNext()";
            case Call: return "Call()";
        }
        return "?";
    }
};

ScriptedPeer::ScriptedPeer(std::uint16_t port, int backlog) { ListenFd = ListenOn(port, backlog, ListenPort); }

ScriptedPeer::~ScriptedPeer() { Finish(); }

ScriptedPeer& ScriptedPeer::Add(int kind, std::string text, std::size_t size, Ms wait, std::function<void()> fn) {
    Step step;
    step.What = static_cast<Step::Kind>(kind);
    step.Text = std::move(text);
    step.Size = size;
    step.Wait = wait;
    step.Fn = std::move(fn);
    Steps.push_back(std::move(step));
    return *this;
}

ScriptedPeer& ScriptedPeer::Expect(const std::string& line) { return Add(Step::Expect, line + "\r\n"); }
ScriptedPeer& ScriptedPeer::ExpectData(const std::string& bytes) { return Add(Step::ExpectData, bytes); }
ScriptedPeer& ScriptedPeer::ExpectBytes(std::size_t count) { return Add(Step::ExpectBytes, {}, count); }
ScriptedPeer& ScriptedPeer::ExpectUntil(const std::string& terminator) { return Add(Step::ExpectUntil, terminator); }
ScriptedPeer& ScriptedPeer::ReadUntilClose() { return Add(Step::ReadUntilClose); }
ScriptedPeer& ScriptedPeer::Send(const std::string& bytes) { return SendPieces(bytes, 0, Ms(0)); }
ScriptedPeer& ScriptedPeer::SendPieces(const std::string& bytes, std::size_t pieceSize, Ms pause) {
    return Add(Step::Send, bytes, pieceSize, pause);
}
ScriptedPeer& ScriptedPeer::SendRepeated(const std::string& piece, std::size_t times) {
    return Add(Step::SendRepeated, piece, times);
}
ScriptedPeer& ScriptedPeer::Pause(Ms duration) { return Add(Step::Pause, {}, 0, duration); }
ScriptedPeer& ScriptedPeer::Close() { return Add(Step::Close); }
ScriptedPeer& ScriptedPeer::Reset() { return Add(Step::Reset); }
ScriptedPeer& ScriptedPeer::AcceptNext() { return Add(Step::AcceptNext); }
ScriptedPeer& ScriptedPeer::Call(std::function<void()> fn) { return Add(Step::Call, {}, 0, Ms(0), std::move(fn)); }

void ScriptedPeer::Start() {
    if (Worker.joinable() || StopRequested) throw std::logic_error("ScriptedPeer started twice");
    Worker = std::thread([this] { Run(); });
}

void ScriptedPeer::Finish() {
    StopRequested = true;
    if (Worker.joinable()) Worker.join();
    if (ConnFd >= 0) CloseConnection(false);
    if (ListenFd >= 0) ::close(ListenFd);
    ListenFd = -1;
    std::lock_guard lock(Lock);
    ScriptDone = true;
    DoneSignal.notify_all();
}

std::string ScriptedPeer::Received() const {
    std::lock_guard lock(Lock);
    return Record;
}

std::vector<std::string> ScriptedPeer::Failures() const {
    std::lock_guard lock(Lock);
    return FailureTexts;
}

bool ScriptedPeer::Done() const {
    std::lock_guard lock(Lock);
    return ScriptDone;
}

bool ScriptedPeer::WaitDone(Ms timeout) const {
    std::unique_lock lock(Lock);
    return DoneSignal.wait_for(lock, timeout, [this] { return ScriptDone; });
}

void ScriptedPeer::Fail(std::size_t index, const std::string& text) {
    std::lock_guard lock(Lock);
    FailureTexts.push_back("step " + std::to_string(index + 1) + " " + Steps[index].Describe() + ": " + text);
}

void ScriptedPeer::Run() {
    bool ok = AcceptConnection();
    if (!ok && !StopRequested) {
        std::lock_guard lock(Lock);
        FailureTexts.push_back("no connection within the step time-out");
    }
    for (std::size_t i = 0; ok && i < Steps.size() && !StopRequested; ++i) ok = Play(i, Steps[i]);
    if (!ok && ConnFd >= 0) CloseConnection(false);
    {
        std::lock_guard lock(Lock);
        ScriptDone = true;
    }
    DoneSignal.notify_all();
    // Keep taking what the client sends, so its writes never stall on us.
    while (!StopRequested && ConnFd >= 0) {
        const Io io = ReadSome(kSlice);
        if (io == Io::Closed || io == Io::Failed) break;
        Pending.clear();
    }
}

bool ScriptedPeer::AcceptConnection() {
    const auto deadline = std::chrono::steady_clock::now() + StepTimeout;
    while (!StopRequested && std::chrono::steady_clock::now() < deadline) {
        pollfd p{ListenFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kSlice.count())) <= 0) continue;
        const int fd = ::accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ConnFd = fd;
        Pending.clear();
        ++Accepted;
        return true;
    }
    return false;
}

void ScriptedPeer::CloseConnection(bool reset) {
    if (ConnFd < 0) return;
    if (reset) {
        const linger l{1, 0};
        ::setsockopt(ConnFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(ConnFd);
    ConnFd = -1;
}

ScriptedPeer::Io ScriptedPeer::ReadSome(Ms slice) {
    if (ConnFd < 0) return Io::Closed;
    pollfd p{ConnFd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(slice.count()));
    if (r == 0) return Io::TimedOut;
    if (r < 0) return errno == EINTR ? Io::TimedOut : Io::Failed;
    char buf[65536];
    const ssize_t n = ::recv(ConnFd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return Io::Closed;
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return Io::TimedOut;
        return errno == ECONNRESET ? Io::Closed : Io::Failed;
    }
    Pending.append(buf, static_cast<std::size_t>(n));
    std::lock_guard lock(Lock);
    Record.append(buf, static_cast<std::size_t>(n));
    return Io::Ok;
}

ScriptedPeer::Io ScriptedPeer::ReadUntil(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + StepTimeout;
    while (!pred()) {
        if (StopRequested) return Io::Stopped;
        if (std::chrono::steady_clock::now() >= deadline) return Io::TimedOut;
        const Io io = ReadSome(kSlice);
        if (io == Io::Closed || io == Io::Failed) return pred() ? Io::Ok : io;
    }
    return Io::Ok;
}

ScriptedPeer::Io ScriptedPeer::SendAll(const char* data, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + StepTimeout;
    while (size > 0) {
        if (StopRequested) return Io::Stopped;
        if (std::chrono::steady_clock::now() >= deadline) return Io::TimedOut;
        pollfd p{ConnFd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(kSlice.count())) <= 0) continue;
        const ssize_t n = ::send(ConnFd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return Io::Closed;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return Io::Ok;
}

bool ScriptedPeer::SleepFor(Ms duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!StopRequested) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kSlice));
    }
    return false;
}

bool ScriptedPeer::Play(std::size_t index, const Step& step) {
    auto explain = [](Io io) {
        switch (io) {
            case Io::Closed: return std::string("the client closed the connection");
            case Io::TimedOut: return std::string("timed out");
            case Io::Stopped: return std::string("stopped");
            case Io::Failed: return std::string("socket error");
            case Io::Ok: break;
        }
        return std::string();
    };
    auto take = [this](std::size_t n) {
        std::string head = Pending.substr(0, n);
        Pending.erase(0, n);
        return head;
    };
    if (ConnFd < 0 && step.What != Step::AcceptNext && step.What != Step::Pause && step.What != Step::Call) {
        Fail(index, "no open connection");
        return false;
    }
    switch (step.What) {
        case Step::Expect: {
            const Io io = ReadUntil([this] { return Pending.find('\n') != std::string::npos; });
            if (io != Io::Ok) {
                Fail(index, explain(io) + "; pending " + Printable(Pending));
                return false;
            }
            const std::string line = take(Pending.find('\n') + 1);
            if (line != step.Text) {
                Fail(index, "got " + Printable(line));
                return false;
            }
            return true;
        }
        case Step::ExpectData:
        case Step::ExpectBytes: {
            const std::size_t n = step.What == Step::ExpectData ? step.Text.size() : step.Size;
            const Io io = ReadUntil([this, n] { return Pending.size() >= n; });
            if (io != Io::Ok) {
                Fail(index, explain(io) + " after " + std::to_string(Pending.size()) + " bytes");
                return false;
            }
            const std::string got = take(n);
            if (step.What == Step::ExpectData && got != step.Text) {
                Fail(index, "got " + Printable(got));
                return false;
            }
            return true;
        }
        case Step::ExpectUntil: {
            const Io io = ReadUntil([this, &step] { return Pending.find(step.Text) != std::string::npos; });
            if (io != Io::Ok) {
                Fail(index, explain(io) + " after " + std::to_string(Pending.size()) + " bytes");
                return false;
            }
            take(Pending.find(step.Text) + step.Text.size());
            return true;
        }
        case Step::ReadUntilClose: {
            const auto deadline = std::chrono::steady_clock::now() + StepTimeout;
            for (;;) {
                if (StopRequested) return false;
                if (std::chrono::steady_clock::now() >= deadline) {
                    Fail(index, "the client did not close");
                    return false;
                }
                const Io io = ReadSome(kSlice);
                Pending.clear();
                if (io == Io::Closed || io == Io::Failed) break;
            }
            CloseConnection(false);
            return true;
        }
        case Step::Send: {
            const std::size_t piece = step.Size == 0 ? step.Text.size() : step.Size;
            for (std::size_t at = 0; at < step.Text.size(); at += piece) {
                if (at > 0 && !SleepFor(step.Wait)) return false;
                const Io io = SendAll(step.Text.data() + at, std::min(piece, step.Text.size() - at));
                if (io != Io::Ok) {
                    Fail(index, explain(io) + " at byte " + std::to_string(at));
                    return false;
                }
            }
            return true;
        }
        case Step::SendRepeated:
            for (std::size_t n = 0; n < step.Size; ++n) {
                const Io io = SendAll(step.Text.data(), step.Text.size());
                if (io != Io::Ok) {
                    Fail(index, explain(io) + " at piece " + std::to_string(n));
                    return false;
                }
            }
            return true;
        case Step::Pause: return SleepFor(step.Wait);
        case Step::Close: {
            ::shutdown(ConnFd, SHUT_WR);
            // Take what the client still sends until it closes too (bounded),
            // so unread input does not turn our close into a reset.
            const auto deadline = std::chrono::steady_clock::now() + StepTimeout;
            while (!StopRequested && std::chrono::steady_clock::now() < deadline) {
                const Io io = ReadSome(kSlice);
                Pending.clear();
                if (io == Io::Closed || io == Io::Failed) break;
            }
            CloseConnection(false);
            return true;
        }
        case Step::Reset: CloseConnection(true); return true;
        case Step::AcceptNext:
            CloseConnection(false);
            if (!AcceptConnection()) {
                if (!StopRequested) Fail(index, "no further connection");
                return false;
            }
            return true;
        case Step::Call: step.Fn(); return true;
    }
    return false;
}

// ---- StalledListener ----

StalledListener::StalledListener() {
    // Backlog 0 holds one completed connection; once it is taken by a filler,
    // the kernel drops every further SYN.
    ListenFd = ListenOn(0, 0, ListenPort);
    for (int i = 0; i < 2; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) break;
        Fillers.push_back(fd);
        const sockaddr_in a = Loopback(ListenPort);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // The first filler must complete its handshake, otherwise the queue is not full.
    pollfd p{Fillers.empty() ? -1 : Fillers[0], POLLOUT, 0};
    if (Fillers.empty() || ::poll(&p, 1, 2000) != 1) {
        Release();
        throw std::runtime_error("cannot fill the accept queue");
    }
}

StalledListener::~StalledListener() { Release(); }

void StalledListener::Release() {
    for (const int fd : Fillers) ::close(fd);
    Fillers.clear();
    if (ListenFd >= 0) ::close(ListenFd);
    ListenFd = -1;
}

}  // namespace testsupport
