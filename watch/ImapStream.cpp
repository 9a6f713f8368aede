#include "watch/ImapStream.h"

#include "net/ZelSock.h"
#include "net/ZelSockTls.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace watch {

using rtl::TErrorKind;

TImapStream::TImapStream() {
    if (::pipe2(StopPipe, O_CLOEXEC | O_NONBLOCK) != 0) StopPipe[0] = StopPipe[1] = -1;
}

TImapStream::~TImapStream() {
    Close();
    for (int fd : StopPipe)
        if (fd >= 0) ::close(fd);
}

void TImapStream::Stop() {
    StopFlag = true;
    if (StopPipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(StopPipe[1], &byte, 1);
    }
}

bool TImapStream::Sleep(int Seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(Seconds);
    while (!StopFlag && Clock::now() < deadline) {
        pollfd stop = {StopPipe[0], POLLIN, 0};
        ::poll(&stop, StopPipe[0] >= 0 ? 1 : 0, 1000);
    }
    return !StopFlag;
}

void TImapStream::Close() {
    Tls.reset();
    Peeked.clear();
    if (Socket >= 0) ::close(Socket);
    Socket = -1;
}

long TImapStream::Fail(TErrorKind Kind, std::string Text) {
    LastFailure = rtl::Exception(std::move(Text), Kind);
    return -1;
}

TImapStream::TWait TImapStream::WaitFor(short Events, int Milliseconds) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(Milliseconds);
    if (Deadline != Clock::time_point{}) deadline = std::min(deadline, Deadline);
    for (;;) {
        if (StopFlag) return TWait::Stopped;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return TWait::TimedOut;
        pollfd fds[2] = {{Socket, Events, 0}, {StopPipe[0], POLLIN, 0}};
        const int n = ::poll(fds, StopPipe[0] >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno != EINTR) return TWait::Failed;
        if (n > 0 && fds[1].revents != 0) return TWait::Stopped;
        if (n > 0 && fds[0].revents != 0) return TWait::Ready;
    }
}

void TImapStream::Connect(const std::string& Host, int Port, int Seconds) {
    Close();
    Guard.Reset();
    WaitSeconds = Seconds;
    if (StopFlag) throw rtl::Exception("", TErrorKind::Stopped);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(Port);
    const int looked = ::getaddrinfo(Host.c_str(), service.c_str(), &hints, &found);
    if (looked != 0 || found == nullptr) throw rtl::Exception(::gai_strerror(looked), TErrorKind::LookupFailed);
    std::string reason = "no address";
    TErrorKind kind = TErrorKind::Other;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        Socket = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (Socket < 0) continue;
        int result = ::connect(Socket, a->ai_addr, a->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            const TWait wait = WaitFor(POLLOUT, WaitSeconds * 1000);
            if (wait == TWait::Stopped) {
                ::freeaddrinfo(found);
                Close();
                throw rtl::Exception("", TErrorKind::Stopped);
            }
            int error = 0;
            socklen_t size = sizeof error;
            if (wait == TWait::TimedOut) {
                error = ETIMEDOUT;
            } else if (::getsockopt(Socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
            errno = error;
            result = error == 0 ? 0 : -1;
        }
        if (result == 0) {
            ::freeaddrinfo(found);
            const int one = 1;
            ::setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return;
        }
        kind = errno == ETIMEDOUT ? TErrorKind::TimedOut : TErrorKind::Other;
        reason = std::strerror(errno);
        Close();
    }
    ::freeaddrinfo(found);
    throw rtl::Exception(reason, kind);
}

bool TImapStream::FlushCipher() {
    const char* data = nullptr;
    while (int count = Tls->Outgoing(data)) {
        const ssize_t sent = ::send(Socket, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
        if (sent > 0) {
            Tls->OutgoingSent(static_cast<int>(sent));
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            const TWait wait = WaitFor(POLLOUT, WaitSeconds * 1000);
            if (wait == TWait::Ready) continue;
            Fail(wait == TWait::Stopped ? TErrorKind::Stopped : TErrorKind::TimedOut, "");
            return false;
        }
        Fail(TErrorKind::ClosedByPeer, std::strerror(errno));
        return false;
    }
    return true;
}

bool TImapStream::PumpCipherIn() {
    const TWait wait = WaitFor(POLLIN, WaitSeconds * 1000);
    if (wait != TWait::Ready) {
        Fail(wait == TWait::Stopped ? TErrorKind::Stopped : TErrorKind::TimedOut, "");
        return false;
    }
    char* area = nullptr;
    const int room = Tls->IncomingRoom(area);
    if (room == 0) return true;  // the session has all it can hold: let it decrypt first
    const ssize_t got = ::recv(Socket, area, static_cast<std::size_t>(room), 0);
    if (got > 0) {
        Tls->IncomingReceived(static_cast<int>(got));
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    Fail(TErrorKind::ClosedByPeer, got == 0 ? "" : std::strerror(errno));
    return false;
}

void TImapStream::StartTls(const std::string& ServerName, const std::string& TrustFile) {
    try {
        Tls = std::make_unique<net::TTlsSession>(ServerName, TrustFile);
    } catch (const rtl::Exception& e) {
        throw rtl::Exception(e.Message, TErrorKind::Tls);
    }
    for (;;) {
        const auto status = Tls->Handshake();
        if (status == net::TTlsSession::TStatus::Ok) break;
        if (status == net::TTlsSession::TStatus::Failed || status == net::TTlsSession::TStatus::Closed) {
            const std::string text = Tls->FailureText();
            FlushCipher();  // the alert, so the server learns why
            Close();
            throw rtl::Exception(text, TErrorKind::Tls);
        }
        if (!FlushCipher() || (status == net::TTlsSession::TStatus::WantRead && !PumpCipherIn())) {
            const rtl::Exception failure = LastFailure;
            Close();
            throw failure;
        }
    }
    if (!FlushCipher()) throw LastFailure;
}

long TImapStream::Read(void* Buffer, std::size_t Length) {
    if (!Guard.Broken().empty()) return Fail(TErrorKind::TooLarge, Guard.Broken());
    const long got = ReadSome(Buffer, Length);
    if (got > 0 && !Guard.Pass(static_cast<const char*>(Buffer), static_cast<std::size_t>(got))) {
        Close();
        return Fail(TErrorKind::TooLarge, Guard.Broken());
    }
    return got;
}

long TImapStream::ReadSome(void* Buffer, std::size_t Length) {
    if (Socket < 0) return Fail(TErrorKind::ClosedByPeer, "");
    const int length = static_cast<int>(std::min<std::size_t>(Length, 1 << 20));
    if (!Peeked.empty()) {
        const std::size_t count = std::min<std::size_t>(Peeked.size(), Length);
        std::memcpy(Buffer, Peeked.data(), count);
        Peeked.erase(0, count);
        return static_cast<long>(count);
    }
    if (!Tls) {
        for (;;) {
            const ssize_t got = ::recv(Socket, Buffer, static_cast<std::size_t>(length), 0);
            if (got >= 0) return got;
            if (errno != EAGAIN && errno != EINTR) return Fail(TErrorKind::ClosedByPeer, std::strerror(errno));
            const TWait wait = WaitFor(POLLIN, WaitSeconds * 1000);
            if (wait != TWait::Ready) return Fail(wait == TWait::Stopped ? TErrorKind::Stopped : TErrorKind::TimedOut, "");
        }
    }
    for (;;) {
        auto status = net::TTlsSession::TStatus::Ok;
        const int got = Tls->Decrypt(Buffer, length, status);
        if (got > 0) return got;
        switch (status) {
            case net::TTlsSession::TStatus::Closed: return 0;
            case net::TTlsSession::TStatus::Failed: return Fail(TErrorKind::Tls, Tls->FailureText());
            case net::TTlsSession::TStatus::WantWrite:
                if (!FlushCipher()) return -1;
                break;
            default:
                if (!FlushCipher() || !PumpCipherIn()) return -1;
        }
    }
}

long TImapStream::Write(const void* Data, std::size_t Length) {
    if (Socket < 0) return Fail(TErrorKind::ClosedByPeer, "");
    const char* bytes = static_cast<const char*>(Data);
    std::size_t done = 0;
    while (done < Length) {
        if (!Tls) {
            const ssize_t sent = ::send(Socket, bytes + done, Length - done, MSG_NOSIGNAL);
            if (sent > 0) {
                done += static_cast<std::size_t>(sent);
                continue;
            }
            if (errno != EAGAIN && errno != EINTR) return Fail(TErrorKind::ClosedByPeer, std::strerror(errno));
            const TWait wait = WaitFor(POLLOUT, WaitSeconds * 1000);
            if (wait != TWait::Ready) return Fail(wait == TWait::Stopped ? TErrorKind::Stopped : TErrorKind::TimedOut, "");
            continue;
        }
        auto status = net::TTlsSession::TStatus::Ok;
        const int piece = static_cast<int>(std::min<std::size_t>(Length - done, 16384));
        const int taken = Tls->Encrypt(bytes + done, piece, status);
        if (taken > 0) {
            done += static_cast<std::size_t>(taken);
        } else if (status == net::TTlsSession::TStatus::Failed || status == net::TTlsSession::TStatus::Closed) {
            return Fail(TErrorKind::Tls, Tls->FailureText());
        } else if (status == net::TTlsSession::TStatus::WantRead && !PumpCipherIn()) {
            return -1;
        }
        if (!FlushCipher()) return -1;
    }
    return static_cast<long>(Length);
}

bool TImapStream::WaitReadable(int Seconds) {
    if (Socket < 0 || StopFlag) return false;
    if (!Peeked.empty()) return true;
    if (Tls) {
        // A whole record may already wait in the session, with nothing left
        // on the socket: decrypt it now and serve it to the next Read.
        char buffer[4096];
        auto status = net::TTlsSession::TStatus::Ok;
        const int got = Tls->Decrypt(buffer, sizeof buffer, status);
        if (got > 0) {
            Peeked.assign(buffer, static_cast<std::size_t>(got));
            return true;
        }
        if (status != net::TTlsSession::TStatus::WantRead) return true;  // let Read report it
    }
    return WaitFor(POLLIN, Seconds * 1000) == TWait::Ready;
}

}  // namespace watch
