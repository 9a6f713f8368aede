#include "PosixPeer.h"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

struct Listener::Drain {
    std::atomic<bool> Stop{false};
    std::thread Thread;
};

Listener::Listener(int backlog) {
    Fd = ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::sockaddr_in a{};
    a.sin_family = PF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<::sockaddr*>(&a), sizeof a);
    ::listen(Fd, backlog);
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<::sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
}

Listener::~Listener() {
    Stop();
    if (Peer >= 0) ::close(Peer);
    ::close(Fd);
}

int Listener::Accept() { return Peer = ::accept(Fd, nullptr, nullptr); }

int Listener::Send(const std::string& bytes) { return static_cast<int>(::send(Peer, bytes.data(), bytes.size(), MSG_NOSIGNAL)); }

void Listener::ClosePeer() {
    ::close(Peer);
    Peer = -1;
}

void Listener::StartDraining() {
    Drainer = new Drain;
    const int fd = Peer;
    Drainer->Thread = std::thread([fd, d = Drainer] {
        char buf[65536];
        timeval tv{0, 20000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        while (!d->Stop) ::recv(fd, buf, sizeof buf, 0);
    });
}

void Listener::Stop() {
    if (Drainer == nullptr) return;
    Drainer->Stop = true;
    Drainer->Thread.join();
    delete Drainer;
    Drainer = nullptr;
}

std::uint16_t ClosedPort(int& holder) {
    holder = ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::sockaddr_in a{};
    a.sin_family = PF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(holder, reinterpret_cast<::sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<::sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

void CloseFd(int fd) { ::close(fd); }
