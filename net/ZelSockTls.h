// One TLS client session on OpenSSL that never touches a socket: ciphertext
// goes in and out through a pair of memory BIOs, and the socket component
// moves it between them and its socket from its own notifications. So TLS
// needs no second socket path, no blocking call and no thread.
#pragma once

#include "rtl/SysUtils.h"

#include <memory>
#include <string>

namespace net {

class TTlsSession {
public:
    enum class TStatus {
        Ok,
        WantRead,   // waits for ciphertext from the server
        WantWrite,  // the outgoing buffer is full: hand it to the socket first
        Closed,     // the server ended the session (close_notify)
        Failed,     // see FailureText()
    };

    // A client for ServerName: SNI and host-name verification, or an IP check
    // when the name is an address literal; TLS 1.2 at least; the chain checked
    // against the system's authorities plus TrustFile (PEM) when it is set.
    // Raises ESockError of kind Tls when TrustFile cannot be loaded.
    TTlsSession(const std::string& ServerName, const std::string& TrustFile);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // One step of the handshake: Ok once it is complete.
    TStatus Handshake();
    bool Established() const;

    // Plaintext in and out: the bytes taken or delivered, or 0 and Status.
    int Encrypt(const void* Data, int Length, TStatus& Status);
    int Decrypt(void* Buffer, int Length, TStatus& Status);

    // Ciphertext for the socket, without copying: the next contiguous piece
    // (0 when none), then how much of it the socket took.
    int Outgoing(const char*& Data);
    void OutgoingSent(int Count);
    // Room for ciphertext from the socket: the next contiguous area (0 when
    // full), then how much of it the socket filled.
    int IncomingRoom(char*& Area);
    void IncomingReceived(int Count);

    // Queues close_notify (an established session only).
    void Close();

    // Why Handshake, Encrypt or Decrypt failed: the server's name and the
    // reason in Chinese (GB2312), OpenSSL's own reason in parentheses.
    const std::string& FailureText() const { return Failure; }
    // The failure's cause, so a front end can name the setting to change.
    rtl::TErrorKind FailureKind() const { return Kind; }

private:
    struct TState;
    TStatus StatusOf(int Result);
    void Fail(const std::string& Reason, const std::string& Detail);
    std::unique_ptr<TState> State;
    std::string ServerName;
    std::string Failure;
    rtl::TErrorKind Kind = rtl::TErrorKind::Tls;
};

}  // namespace net
