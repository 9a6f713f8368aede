// Does a port speak TLS from the first byte? A plain SMTP client that gets no
// greeting may be talking to a port that waits for a ClientHello: asked on a
// second connection, the answer turns a long silent wait into a clear advice.
#pragma once

#include "net/ZelSock.h"

#include <cstdint>
#include <functional>
#include <string>

namespace net {

class TTlsProbe : public TZelSock {
public:
    explicit TTlsProbe(rtl::TComponent* AOwner = nullptr) : TZelSock(AOwner) {}

    // Connects to Host:Port, sends a ClientHello and reads the first bytes of
    // the answer: true when they open a TLS record (a handshake or an alert).
    // Lookup, connect and answer together take at most LimitMs; Stopped is
    // asked between waits. Any failure answers false.
    bool SpeaksTls(const std::string& AHost, std::uint16_t APort, std::uint32_t LimitMs,
                   const std::function<bool()>& Stopped);
};

}  // namespace net
