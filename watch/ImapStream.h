// The byte stream under the IMAP client: a socket of our own with TLS from
// net/'s session, so certificates are checked exactly as for the SMTP server
// (system authorities plus the trust file). Every wait is bounded and ends
// at once when Stop is called from any thread. It runs on the watch's own
// thread and blocks only that thread.
#pragma once

#include "rtl/SysUtils.h"
#include "watch/ImapGuard.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace net {
class TTlsSession;
}

namespace watch {

class TImapStream {
public:
    TImapStream();
    ~TImapStream();
    TImapStream(const TImapStream&) = delete;
    TImapStream& operator=(const TImapStream&) = delete;

    // Raises rtl::Exception: LookupFailed, TimedOut, Stopped, or Other with
    // the system's reason.
    void Connect(const std::string& Host, int Port, int WaitSeconds);
    // The TLS handshake over the connection (at once, or after STARTTLS).
    // Raises rtl::Exception of kind Tls with the reason, or as Connect.
    void StartTls(const std::string& ServerName, const std::string& TrustFile);

    // Blocking with limits: Read returns at least one byte, 0 at the end of
    // the stream, -1 on failure, time-out or stop (Failure() says which).
    // What it returns has passed the guard's bounds: past one, the
    // connection is closed and the failure is of kind TooLarge.
    long Read(void* Buffer, std::size_t Length);
    long Write(const void* Data, std::size_t Length);
    // Waits at most Seconds until something can be read: true then; false
    // when the time ran out or Stop was called.
    bool WaitReadable(int Seconds);

    // Waits Seconds, or less when stopped: false then.
    bool Sleep(int Seconds);
    void Stop();
    bool Stopped() const { return StopFlag.load(); }
    void Close();
    const rtl::Exception& Failure() const { return LastFailure; }
    void SetWaitSeconds(int Seconds) { WaitSeconds = Seconds; }
    // The end of the whole run: no wait goes past it (the default: none).
    void SetDeadline(std::chrono::steady_clock::time_point At) { Deadline = At; }

private:
    enum class TWait { Ready, TimedOut, Stopped, Failed };
    TWait WaitFor(short Events, int Milliseconds);
    bool FlushCipher();
    bool PumpCipherIn();
    long Fail(rtl::TErrorKind Kind, std::string Text);
    long ReadSome(void* Buffer, std::size_t Length);

    int Socket = -1;
    int StopPipe[2] = {-1, -1};
    std::atomic<bool> StopFlag{false};
    std::unique_ptr<net::TTlsSession> Tls;
    std::string Peeked;  // plaintext decrypted while waiting, for the next Read
    int WaitSeconds = 30;
    std::chrono::steady_clock::time_point Deadline{};
    TImapGuard Guard;
    rtl::Exception LastFailure{""};
};

}  // namespace watch
