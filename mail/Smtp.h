// What the front ends and the layers above need of the SMTP client without
// the component itself: the protection modes, the time limits, the default port, the phases of
// the dialogue, the bounds of a reply, and the failure that may have delivered.
#pragma once

#include "rtl/SysUtils.h"

#include <cstdint>

namespace mail {

// How long each wait for the server may last, in milliseconds (0: no limit).
// The defaults are the SMTP client time-outs of RFC 5321, 4.5.3.2.
struct TSmtpTimeLimits {
    std::uint32_t Greeting = 300000;
    std::uint32_t Helo = 300000;
    std::uint32_t Rset = 300000;
    std::uint32_t MailFrom = 300000;
    std::uint32_t RcptTo = 300000;
    std::uint32_t Data = 120000;
    std::uint32_t Transfer = 180000;  // without any progress while the message text goes out
    std::uint32_t EndMark = 600000;
    std::uint32_t Quit = 300000;
    std::uint32_t Handshake = 300000;  // the TLS handshake
    // The host lookup, and then the TCP connect, each on its own (up to twice
    // this in all), when the socket's own TimeOut is 0.
    std::uint32_t Connect = 60000;
    // Without TLS from the start, a greeting this late makes the client ask
    // the port, on a second connection, whether it speaks TLS (0: never);
    // that question waits at most TlsProbe more.
    std::uint32_t GreetingProbe = 10000;
    std::uint32_t TlsProbe = 4000;
};

// The SMTP port a new mail client uses until it is told another.
inline constexpr std::int32_t kDefaultSmtpPort = 25;

// How the connection to the server is protected.
enum class TSmtpSecurity {
    None,         // plain text, as on port 25
    StartTls,     // plain connect, then STARTTLS before anything else (port 587)
    ImplicitTls,  // TLS from the first byte (port 465)
};

// Where the dialogue stands. Abort, the reply time limits and Disconnect
// decide from it; nothing else keeps a copy.
enum class TSmtpPhase {
    Idle,        // no connection
    Connecting,  // host lookup and TCP connect
    Greeting,
    Helo,
    Handshake,  // TLS, from the start or after STARTTLS
    Ehlo,
    StartTls,
    Auth,
    Ready,       // connected, between sends
    Composing,   // the header, the sizes and the attachments opened, before the first command
    Rset,
    MailFrom,
    RcptTo,
    Data,
    Text,     // the header block and the message text going out
    EndMark,  // "." sent, its reply awaited
    Quit,
};

// Bounds of what the client takes as one reply: RFC 5321 allows 512 octets a
// line; servers that say more are tolerated, servers that never stop are not.
inline constexpr std::int64_t kMaxReplyLineBytes = 4096;
inline constexpr int kMaxReplyLines = 1000;

// Raised with kMsgMaybeDelivered: the end mark went out and its reply did not
// come. Its kind says what ended the wait; a front end must show it even when
// the user stopped the send.
class EMaybeDelivered : public rtl::Exception {
public:
    using rtl::Exception::Exception;
};

}  // namespace mail
