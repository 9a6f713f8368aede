// The other end of the loopback tests, on plain POSIX sockets. Kept apart
// from the Winsock-shaped header: the system headers define macros with the
// same names as Winsock's constants.
#pragma once

#include <cstdint>
#include <string>

class Listener {
public:
    explicit Listener(int backlog = 4);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    // Accepts the pending connection (the kernel has done the handshake).
    int Accept();
    int Send(const std::string& bytes);
    void ClosePeer();
    // Reads from the accepted peer on a thread until Stop().
    void StartDraining();
    void Stop();
    std::uint16_t Port = 0;
    int Fd = -1;
    int Peer = -1;

private:
    struct Drain;
    Drain* Drainer = nullptr;
};

// A loopback port that nobody listens on; the holder keeps it bound until closed.
std::uint16_t ClosedPort(int& holder);
void CloseFd(int fd);
