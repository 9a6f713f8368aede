#include "net/TlsProbe.h"

#include "net/ZelSockTls.h"

#include <chrono>

namespace net {

bool TTlsProbe::SpeaksTls(const std::string& AHost, std::uint16_t APort, std::uint32_t LimitMs,
                          const std::function<bool()>& Stopped) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
    try {
        // The session only writes the ClientHello; nothing it would check is reached.
        TTlsSession hello(AHost, std::string());
        hello.Handshake();
        const char* data = nullptr;
        const int size = hello.Outgoing(data);
        if (size <= 0 || size > 65535) return false;
        const std::string clientHello(data, static_cast<std::size_t>(size));

        Host = AHost;
        Port = APort;
        TimeOut = static_cast<std::int32_t>(LimitMs);
        Connect();
        SendBuffer(clientHello.data(), static_cast<std::uint16_t>(clientHello.size()));
        while (ReceiveStream.Size() < 2 && Connected && std::chrono::steady_clock::now() < deadline &&
               !(Stopped && Stopped()))
            WaitCycle();
        bool tls = false;
        if (ReceiveStream.Size() >= 2) {
            const std::uint8_t* bytes = ReceiveStream.Memory();
            // ContentType handshake (22) or alert (21), then major version 3.
            tls = (bytes[0] == 22 || bytes[0] == 21) && bytes[1] == 3;
        }
        Disconnect();
        return tls;
    } catch (const rtl::Exception&) {
        Disconnect();
        return false;
    }
}

}  // namespace net
