// TZelSock: construction, Winsock start-up, the notification window and its
// dispatcher, host resolution, connect, close, accept, the time-out and the
// status channel.
#include "net/ZelSock.h"

#include <limits>
#include "net/ZelSockEvents.h"
#include "net/ZelSockTls.h"
#include "platform/Application.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace net {

using detail::Fire;

namespace {

constexpr const char* kNotifyWindowClass = "ZelSockWindowClass";
constexpr long kAllEvents = Win::FD_READ | Win::FD_WRITE | Win::FD_OOB | Win::FD_ACCEPT | Win::FD_CONNECT | Win::FD_CLOSE;
// Longest name handed to the resolver; a longer one is never cut to another name.
constexpr std::size_t kMaxHostName = 127;

// Process-wide: components that hold Winsock started. User-interface thread only.
std::int32_t WinsockUserCount = 0;

std::string VersionText(Win::WORD version) {
    return rtl::IntToStr(version & 0xFF) + "." + rtl::IntToStr(version >> 8);
}

}  // namespace

std::int32_t TZelSock::WinsockUsers() { return WinsockUserCount; }

// ---- construction and destruction ----

TZelSock::TZelSock(rtl::TComponent* AOwner) : rtl::TComponent(AOwner), LineBuffer(16385, '\0') {
    StatusMessage(8, "Create");
    MakeNotifyWindow();
    TimeoutTimer = std::make_unique<TThreadTimer>(this);
    TimeoutTimer->SetEnabled(false);
    TimeoutTimer->SetOnTimer([this](rtl::TObject* Sender) { TimerExpired(Sender); });
    try {
        InitWinsock();
    } catch (...) {
        TimeoutTimer.reset();
        if (NotifyWindow != 0) Win::DestroyWindow(NotifyWindow);
        NotifyWindow = 0;
        throw;
    }
}

TZelSock::~TZelSock() {
    Destroying = true;
    StatusMessage(8, "Destroy");
    try {
        Abort();
        Cancel();
    } catch (...) {
        // A destructor must not throw; the component goes regardless.
    }
    TimeoutTimer.reset();
    // Pending notifications die with the window, so no handler runs on a half-destroyed component.
    if (NotifyWindow != 0) Win::DestroyWindow(NotifyWindow);
    NotifyWindow = 0;
    FinalClose = true;
    try {
        RequestCloseSocket();
    } catch (...) {
        // A close the system refuses leaves nothing to do: the component is going.
    }
    if (--WinsockUserCount == 0) Win::WSACleanup();
}

void TZelSock::MakeNotifyWindow() {
    if (!Win::GetClassInfo(kNotifyWindowClass, nullptr)) {
        Win::WNDCLASS wc;
        wc.lpszClassName = kNotifyWindowClass;
        wc.lpfnWndProc = &TZelSock::WndProc;
        wc.cbWndExtra = sizeof(Win::LONG_PTR);
        // Without the class there is no window: notifications never arrive,
        // and waits end only through the time-out or a cancel.
        if (!Win::RegisterClass(wc)) return;
    }
    NotifyWindow = Win::CreateWindow(kNotifyWindowClass);
    if (NotifyWindow != 0) Win::SetWindowLongPtr(NotifyWindow, 0, reinterpret_cast<Win::LONG_PTR>(this));
}

void TZelSock::InitWinsock() {
    StatusMessage(8, "Initializing Winsock");
    bool counted = false;
    try {
        ++WinsockUserCount;
        counted = true;
        if (WinsockUserCount == 1) {
            Win::WSAStartup(0x0101, &WinsockData);
            WinsockInfo.Add("Version= " + VersionText(WinsockData.wVersion));
            WinsockInfo.Add("High Version= " + VersionText(WinsockData.wHighVersion));
            WinsockInfo.Add(std::string("Description= ") + WinsockData.szDescription);
            WinsockInfo.Add(std::string("System= ") + WinsockData.szSystemStatus);
            WinsockInfo.Add("Max Sockets= " + rtl::IntToStr(WinsockData.iMaxSockets));
            WinsockInfo.Add("Max Udp pack size= " + rtl::IntToStr(WinsockData.iMaxUdpDg));
        }
        OpenSocket(Win::IPPROTO_TCP);
        // The first socket resets its connection on close and drops unsent data.
        const Win::linger noLinger{1, 0};
        Win::setsockopt(SocketHandle, Win::SOL_SOCKET, Win::SO_LINGER, &noLinger, sizeof noLinger);
        Win::WSAAsyncSelect(SocketHandle, NotifyWindow, WM_SOCKETEVENT, kAllEvents);
    } catch (...) {
        if (SocketHandle != NoSocket) Win::closesocket(SocketHandle);
        SocketHandle = NoSocket;
        if (counted && --WinsockUserCount == 0) Win::WSACleanup();
        throw ESockError("Initializaton of windows sockets failed");
    }
}

void TZelSock::OpenSocket(int Protocol) {
    const Win::SOCKET socket = Win::socket(Win::AF_INET, Win::SOCK_STREAM, Protocol);
    if (socket != Win::INVALID_SOCKET && socket >= NoSocket) {
        // Does not fit the 16-bit handle; 65535 itself means "none".
        Win::closesocket(socket);
        throw rtl::ERangeError();
    }
    SocketHandle = rtl::RangeChecked<std::uint16_t>(socket);
}

// ---- the notification window ----

Win::LRESULT TZelSock::WndProc(Win::HWND Wnd, Win::UINT Msg, Win::WPARAM WParam, Win::LPARAM LParam) {
    auto* sock = reinterpret_cast<TZelSock*>(Win::GetWindowLongPtr(Wnd, 0));
    if (sock == nullptr) return Win::DefWindowProc(Wnd, Msg, WParam, LParam);
    if (Msg >= WM_SOCKETEVENT && Msg <= WM_READMORE) sock->HandleSocketMessage(Msg, WParam, LParam);
    return 0;
}

void TZelSock::HandleSocketMessage(Win::UINT Msg, Win::WPARAM WParam, Win::LPARAM LParam) {
    try {
        const Win::WORD event = Win::LOWORD(LParam);
        const Win::WORD error = Win::HIWORD(LParam);
        // A lookup that timed out or was cancelled may still complete; its
        // answer belongs to no one and must not end a later lookup's wait.
        if (Msg == WM_LOOKUPDONE && event != Win::FD_ACCEPT && (LookupRequest == 0 || WParam != LookupRequest)) return;
        if (Msg == WM_SOCKETEVENT || Msg == WM_LOOKUPDONE) LastEventOk = error == 0;
        switch (Msg) {
            case WM_SOCKETEVENT:
                switch (event) {
                    case Win::FD_READ: ReadToStream(); break;
                    case Win::FD_WRITE: WriteFromStream(); break;
                    case Win::FD_ACCEPT:
                        Connected = true;
                        Fire(OnAccept, this);
                        break;
                    case Win::FD_CONNECT:
                        if (LastEventOk) {
                            Connected = true;
                            Fire(OnConnect, this);
                        } else {
                            LastError = error;  // tells a refusal from an unreachable host
                        }
                        break;
                    case Win::FD_CLOSE: CloseFromPeer(); break;
                    default: break;
                }
                break;
            case WM_LOOKUPDONE:
                LookupDone = true;
                if (event == Win::FD_ACCEPT) {
                    // A listening socket registered on this message: let a waiting Accept go on.
                    Connected = true;
                    Fire(OnAccept, this);
                } else if (LastEventOk) {
                    // Taken at once: a stale lookup may reuse the result area later.
                    const auto* entry = reinterpret_cast<const Win::hostent*>(HostEntryBuffer.data());
                    if (entry->h_addr_list != nullptr && entry->h_addr_list[0] != nullptr)
                        std::memcpy(&LookupAddress, entry->h_addr_list[0], sizeof LookupAddress);
                    else
                        LastEventOk = false;
                }
                break;
            case WM_WRITEMORE: WriteFromStream(); break;
            case WM_READMORE: ReadToStream(); break;
            default: break;
        }
    } catch (...) {
        // A notification counts as handled whatever its handlers raised.
    }
}

// The peer has closed: take what it sent last, then go back to idle.
void TZelSock::CloseFromPeer() {
    if (Tls) {
        DrainTlsAfterClose();
    } else {
        std::array<char, 16384> area;
        int n = 0;
        do {
            n = Win::recv(SocketHandle, area.data(), 16383, 0);
            if (n > 0) {
                ReceiveStream.Seek(0, rtl::TSeekOrigin::soEnd);
                ReceiveStream.WriteBuffer(area.data(), n);
            }
        } while (n > 0 && !Canceled);
    }
    Connected = false;
    RequestCloseSocket();
}

void TZelSock::PostToSelf(Win::UINT Msg) {
    Win::PostMessage(NotifyWindow, Msg, 0, reinterpret_cast<Win::LPARAM>(this));
}

// ---- status and waiting ----

void TZelSock::StatusMessage(std::uint8_t Level, const std::string& Text) {
    if (Level > ReportLevel) return;
    StatusText = Text;
    if (!Destroying) Fire(OnStatus, this, std::string(StatusText));
}

void TZelSock::WaitCycle() {
    Win::Application().WaitForMessage(2);
    Win::Application().ProcessMessages();
    // A program that is ending (its last window closed, a signal, a logout)
    // runs no more network waits: each ends as a stop ends it.
    if (Win::Application().Terminated() && !Canceled) Cancel();
    LastPassAt = std::chrono::steady_clock::now().time_since_epoch().count();
}

void TZelSock::PassNowAndThen() {
    constexpr std::int64_t kEvery = 10'000'000;  // ns: well inside the 100 ms a stop may wait
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    if (now - LastPassAt < kEvery) return;
    Win::Application().ProcessMessages();
    LastPassAt = now;
    if (Win::Application().Terminated() && !Canceled) Cancel();
}

void TZelSock::Cancel() {
    // Reported, then set. A status handler that stops again meanwhile would
    // come back here without end: the stop is already being made.
    if (CancelReporting) return;
    CancelReporting = true;
    struct Reset {
        bool& Flag;
        ~Reset() { Flag = false; }
    } reset{CancelReporting};
    StatusMessage(8, "Canceling");
    Canceled = true;
}

void TZelSock::Abort() {}

// ---- the time-out ----

void TZelSock::TimerOn() {
    StatusMessage(8, "Timer On");
    TimedOut = false;
    TimeoutTimer->SetInterval(rtl::RangeChecked<std::uint32_t>(TimeOut));
    TimeoutTimer->SetEnabled(true);
}

void TZelSock::TimerOff() {
    StatusMessage(8, "Timer Off");
    TimeoutTimer->SetEnabled(false);
}

void TZelSock::TimerExpired(rtl::TObject*) {
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    Abort();
}

// ---- host resolution and connect ----

void TZelSock::ResolveHost() {
    StatusMessage(8, "Resolve Host");
    const std::string& name = Proxy.empty() ? Host : Proxy;
    RemoteAddress.sin_addr.s_addr = 0;
    // Cutting the name would look up a different host.
    if (name.size() > kMaxHostName || name.find('\0') != std::string::npos) throw ESockError("Host Lookup Failed", rtl::TErrorKind::LookupFailed);
    const std::uint32_t address = Win::inet_addr(name.c_str());
    if (address != Win::INADDR_NONE) {
        RemoteAddress.sin_addr.s_addr = address;
        return;
    }
    TimerOn();
    LookupDone = false;
    LookupAddress = 0;
    LookupRequest = Win::WSAAsyncGetHostByName(NotifyWindow, WM_LOOKUPDONE, name.c_str(), HostEntryBuffer.data(),
                                               static_cast<int>(HostEntryBuffer.size()));
    if (LookupRequest == 0) {
        // No request, so no answer will come.
        TimerOff();
        throw ESockError("Host Lookup Failed", rtl::TErrorKind::LookupFailed);
    }
    do {
        WaitCycle();
    } while (!LookupDone && !TimedOut && !Canceled);
    LookupRequest = 0;
    TimerOff();
    if (TimedOut) throw ESockError("Host Lookup Timed Out", rtl::TErrorKind::TimedOut);
    if (Canceled) throw ESockError("Host Lookup Canceled", rtl::TErrorKind::Stopped);
    if (!LastEventOk) throw ESockError("Host Lookup Failed", rtl::TErrorKind::LookupFailed);
    RemoteAddress.sin_addr.s_addr = LookupAddress;
    Fire(OnHostResolved, this);
}

void TZelSock::Connect() {
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected", rtl::TErrorKind::Busy);
    TlsEndedByPeer = false;
    for (int attempts = 0;; ++attempts) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            if (e.Kind == rtl::TErrorKind::TimedOut || e.Kind == rtl::TErrorKind::Stopped) throw;
            RemoteAddress.sin_addr.s_addr = 0;
        }
        if (RemoteAddress.sin_addr.s_addr != 0) break;
        if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address", rtl::TErrorKind::LookupFailed);
        bool handled = false;
        Fire(OnInvalidHost, handled);
        if (!handled) throw ESockError("Null Remote Address", rtl::TErrorKind::LookupFailed);
    }
    RemoteAddress.sin_family = Win::AF_INET;
    RemoteAddress.sin_port = Win::htons(Proxy.empty() ? static_cast<std::uint16_t>(Port & 0xFFFF) : ProxyPort);
    std::memset(RemoteAddress.sin_zero, 0, sizeof RemoteAddress.sin_zero);
    // A time-out the timer cannot take fails before the attempt starts, not
    // while a connection is already under way.
    rtl::RangeChecked<std::uint32_t>(TimeOut);
    LookupDone = false;
    LastEventOk = true;
    if (Win::connect(SocketHandle, &RemoteAddress, sizeof RemoteAddress) == Win::SOCKET_ERROR)
        CheckSocketError(Win::WSAEWOULDBLOCK);
    TimerOn();
    do {
        WaitCycle();
    } while (!Connected && !TimedOut && !Canceled && LastEventOk);
    TimerOff();
    if (!TimedOut && !Canceled && LastEventOk) return;
    // A socket whose attempt failed cannot try again (the system refuses a
    // second connect, or the first is still under way and would complete
    // behind the caller's back): the next Connect gets a fresh one.
    try {
        ReplaceSocket();
    } catch (...) {
        // Without a socket the next Connect fails with the system's error.
    }
    Fire(OnConnectionFailed, this);
    if (TimedOut) throw ESockError("Connection Timed out", rtl::TErrorKind::Unreachable);
    if (Canceled) throw ESockError("Connection Canceled", rtl::TErrorKind::Stopped);
    switch (LastError) {
        case Win::WSAECONNREFUSED: throw ESockError("Connection Failed", rtl::TErrorKind::ConnectionRefused);
        case Win::WSAENETUNREACH:
        case Win::WSAEHOSTUNREACH:
        case Win::WSAEHOSTDOWN:
        case Win::WSAETIMEDOUT: throw ESockError("Connection Failed", rtl::TErrorKind::Unreachable);
        default: throw ESockError("Connection Failed");
    }
}

// ---- closing ----

void TZelSock::Disconnect() {
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TZelSock::RequestCloseSocket() {
    StatusMessage(4, "Request Close Socket");
    DropTls();  // the next connection starts plain
    Connected = false;
    if (SocketHandle == NoSocket) return;
    if (Win::closesocket(SocketHandle) == Win::SOCKET_ERROR) {
        CheckSocketError(Win::WSAEWOULDBLOCK);
        return;
    }
    SocketHandle = NoSocket;
    // What was queued for the closed connection must not reach the next one.
    ResetSendQueue();
    ReadPassHeld = false;
    auto reopen = [this] {
        if (FinalClose) return;
        OpenSocket(0);
        Win::WSAAsyncSelect(SocketHandle, NotifyWindow, WM_SOCKETEVENT, kAllEvents);
    };
    try {
        if (!Destroying) Fire(OnDisconnect, this);
    } catch (...) {
        reopen();  // the component needs its next socket whatever the handler did
        throw;
    }
    reopen();
}

void TZelSock::ReplaceSocket() {
    DropTls();
    Connected = false;
    if (SocketHandle != NoSocket) Win::closesocket(SocketHandle);
    SocketHandle = NoSocket;
    ResetSendQueue();
    ReadPassHeld = false;
    OpenSocket(0);
    Win::WSAAsyncSelect(SocketHandle, NotifyWindow, WM_SOCKETEVENT, kAllEvents);
}

// ---- accept ----

std::uint16_t TZelSock::Accept() {
    do {
        WaitCycle();
    } while (!LookupDone && !Canceled);
    if (Canceled) throw ESockError("Accepting Canceled", rtl::TErrorKind::Stopped);
    if (!LastEventOk) throw ESockError("Error creating Data Connection");
    StatusMessage(4, "Accepting");
    Win::sockaddr_in peer{};
    int length = sizeof peer;
    const Win::SOCKET accepted = Win::accept(SocketHandle, &peer, &length);
    if (accepted == Win::INVALID_SOCKET) CheckSocketError(0);
    if (accepted >= NoSocket || Canceled) {
        Win::closesocket(accepted);
        if (accepted >= NoSocket) throw rtl::ERangeError();
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
    RemoteAddress = peer;
    return static_cast<std::uint16_t>(accepted);
}

// ---- the connection check and fields ----

void TZelSock::EnsureConnected() {
    int attempts = 0;
    while (!Connected) {
        if (attempts > 0 || !OnConnectionRequired) throw rtl::Exception("Not Connected");
        bool handled = false;
        Fire(OnConnectionRequired, handled);
        if (!handled) throw rtl::Exception("Not Connected");
        ++attempts;
    }
}

std::int16_t ReplyCodeOf(const std::string& Line) {
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (digits < Line.size() && digits < 10 && Line[digits] >= '0' && Line[digits] <= '9')
        value = value * 10 + (Line[digits++] - '0');
    if (digits == 0 || value > std::numeric_limits<std::int32_t>::max()) return 0;
    return rtl::RangeChecked<std::int16_t>(value);
}

std::string ExtractField(const std::string& Text, char Delimiter, int N) {
    std::string field;
    int count = 0;
    for (const char c : Text) {
        if (c == Delimiter) {
            if (++count >= N) break;
        } else if (count == N - 1) {
            field += c;
        }
    }
    return field;
}

}  // namespace net
