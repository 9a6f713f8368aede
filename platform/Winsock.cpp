// Winsock 1.1 over non-blocking POSIX sockets. Readiness comes from Qt socket
// notifiers; each occasion Winsock would report becomes one posted message.
#include "platform/Dispatcher.h"
#include "platform/Windows.h"

// The POSIX headers below define macros with the same names as some Winsock
// constants; take our values first.
namespace {
constexpr int kWinAfInet = Win::AF_INET;
constexpr int kWinSockStream = Win::SOCK_STREAM;
constexpr int kWinIpprotoTcp = Win::IPPROTO_TCP;
constexpr int kWinSolSocket = Win::SOL_SOCKET;
constexpr int kWinSoLinger = Win::SO_LINGER;
constexpr std::uint32_t kWinInaddrNone = Win::INADDR_NONE;
}  // namespace

#include <QSocketNotifier>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

#undef htons
#undef ntohs

namespace Win {
namespace {

thread_local int lastError = 0;
int startupCount = 0;
std::uint64_t nextToken = 1;

enum class State { Fresh, Connecting, Connected, PeerClosed, Listening };

struct Socket {
    int Fd = -1;
    std::uint64_t Token = 0;
    HWND Hwnd = 0;
    UINT Msg = 0;
    long Events = 0;
    State Phase = State::Fresh;
    std::unique_ptr<QSocketNotifier> Reader;
    std::unique_ptr<QSocketNotifier> Writer;
    bool WantWrite = false;  // a send would have blocked: report FD_WRITE when writable
};

std::unordered_map<SOCKET, std::unique_ptr<Socket>>& Sockets() {
    static std::unordered_map<SOCKET, std::unique_ptr<Socket>> sockets;
    return sockets;
}

std::mutex resolverMutex;
HostResolver resolverOverride;

int Fail(int error) {
    lastError = error;
    return SOCKET_ERROR;
}

int WinsockErrorFromErrno(int e) {
    switch (e) {
        case EINTR: return WSAEINTR;
        case EBADF: return WSAENOTSOCK;
        case EACCES: case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE: case ENFILE: return WSAEMFILE;
        case EAGAIN: case EINPROGRESS: return WSAEWOULDBLOCK;
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET: case EPIPE: return WSAECONNRESET;
        case ENOBUFS: case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        default: return WSAEINVAL;
    }
}

Socket* Find(SOCKET s) {
    const auto it = Sockets().find(s);
    return it == Sockets().end() ? nullptr : it->second.get();
}

void Notify(Socket& sock, long event, int error) {
    if (sock.Hwnd == 0 || (sock.Events & event) == 0) return;
    detail::PostMessageFor(sock.Hwnd, sock.Msg, static_cast<WPARAM>(sock.Fd),
                           MAKELPARAM(static_cast<WORD>(event), static_cast<WORD>(error)), sock.Token);
}

void ArmReader(Socket& sock, bool on) {
    if (sock.Reader) sock.Reader->setEnabled(on && sock.Hwnd != 0);
}

void ArmWriter(Socket& sock, bool on) {
    if (sock.Writer) sock.Writer->setEnabled(on && sock.Hwnd != 0);
}

void OnReadable(SOCKET s) {
    Socket* sock = Find(s);
    if (sock == nullptr) return;
    ArmReader(*sock, false);  // re-armed by recv or accept, as Winsock re-enables FD_READ/FD_ACCEPT
    if (sock->Phase == State::Listening) {
        Notify(*sock, FD_ACCEPT, 0);
        return;
    }
    if (sock->Phase != State::Connected) return;
    char probe;
    const ssize_t n = ::recv(sock->Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        Notify(*sock, FD_READ, 0);
    } else if (n == 0) {
        sock->Phase = State::PeerClosed;
        Notify(*sock, FD_CLOSE, 0);
    } else if (errno == EAGAIN || errno == EINTR) {
        ArmReader(*sock, true);
    } else {
        sock->Phase = State::PeerClosed;
        Notify(*sock, FD_CLOSE, WinsockErrorFromErrno(errno));
    }
}

void OnWritable(SOCKET s) {
    Socket* sock = Find(s);
    if (sock == nullptr) return;
    ArmWriter(*sock, false);
    if (sock->Phase == State::Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(sock->Fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0) {
            sock->Phase = State::Connected;
            Notify(*sock, FD_CONNECT, 0);
            Notify(*sock, FD_WRITE, 0);
            ArmReader(*sock, true);
        } else {
            sock->Phase = State::Fresh;
            Notify(*sock, FD_CONNECT, WinsockErrorFromErrno(err));
        }
        return;
    }
    if (sock->WantWrite) {
        sock->WantWrite = false;
        Notify(*sock, FD_WRITE, 0);
    }
}

// Makes the notifiers for a socket that has been registered with a window.
void EnsureNotifiers(SOCKET s, Socket& sock) {
    if (sock.Reader) return;
    auto& owner = detail::TheDispatcher();
    sock.Reader = std::make_unique<QSocketNotifier>(sock.Fd, QSocketNotifier::Read, &owner);
    sock.Writer = std::make_unique<QSocketNotifier>(sock.Fd, QSocketNotifier::Write, &owner);
    sock.Reader->setEnabled(false);
    sock.Writer->setEnabled(false);
    QObject::connect(sock.Reader.get(), &QSocketNotifier::activated, [s] { OnReadable(s); });
    QObject::connect(sock.Writer.get(), &QSocketNotifier::activated, [s] { OnWritable(s); });
}

SOCKET Adopt(int fd, State phase) {
    auto sock = std::make_unique<Socket>();
    sock->Fd = fd;
    sock->Token = nextToken++;
    sock->Phase = phase;
    const auto handle = static_cast<SOCKET>(fd);
    Sockets()[handle] = std::move(sock);
    return handle;
}

::sockaddr_in ToPosix(const sockaddr_in* name) {
    ::sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = name->sin_port;
    a.sin_addr.s_addr = name->sin_addr.s_addr;
    return a;
}

int ResolveWithGetaddrinfo(const std::string& name, std::vector<std::uint32_t>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0) {
        switch (rc) {
            case EAI_NONAME: return WSAHOST_NOT_FOUND;
            case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
            case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
            case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
            default: return WSANO_RECOVERY;
        }
    }
    for (const addrinfo* p = result; p != nullptr; p = p->ai_next)
        if (p->ai_family == AF_INET) {
            const std::uint32_t addr = reinterpret_cast<const ::sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            if (std::find(addresses.begin(), addresses.end(), addr) == addresses.end()) addresses.push_back(addr);
        }
    ::freeaddrinfo(result);
    return addresses.empty() ? WSANO_DATA : 0;
}

// Lays out a host entry in the caller's area the way Winsock does: the
// structure first, then the pointer arrays, the addresses and the name.
int FillHostEntry(char* buf, int buflen, const std::string& name, const std::vector<std::uint32_t>& addresses) {
    const std::size_t count = std::min<std::size_t>(addresses.size(), 35);
    const std::size_t need = sizeof(hostent) + sizeof(char*) + sizeof(char*) * (count + 1) + 4 * count + name.size() + 1;
    if (buf == nullptr || buflen < 0 || need > static_cast<std::size_t>(buflen)) return WSAENOBUFS;
    std::memset(buf, 0, static_cast<std::size_t>(buflen));
    auto* entry = reinterpret_cast<hostent*>(buf);
    auto** aliases = reinterpret_cast<char**>(buf + sizeof(hostent));
    auto** list = aliases + 1;
    char* addrArea = reinterpret_cast<char*>(list + count + 1);
    char* nameArea = addrArea + 4 * count;
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(addrArea + 4 * i, &addresses[i], 4);
        list[i] = addrArea + 4 * i;
    }
    std::memcpy(nameArea, name.c_str(), name.size() + 1);
    entry->h_name = nameArea;
    entry->h_aliases = aliases;
    entry->h_addrtype = kWinAfInet;
    entry->h_length = 4;
    entry->h_addr_list = list;
    return 0;
}

}  // namespace

bool detail::IsLiveSocketToken(std::uint64_t token) {
    for (const auto& [handle, sock] : Sockets())
        if (sock->Token == token) return true;
    return false;
}

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (data == nullptr) return WSAEFAULT;
    const int major = versionRequested & 0xFF, minor = versionRequested >> 8;
    if (major < 1 || (major == 1 && minor < 1)) return 10092;
    std::memset(data, 0, sizeof *data);
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strncpy(data->szDescription, "FaxMail Winsock 1.1 layer on POSIX sockets and the Qt event loop", WSADESCRIPTION_LEN);
    std::strncpy(data->szSystemStatus, "Running", WSASYS_STATUS_LEN);
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    data->iMaxSockets = static_cast<unsigned short>(std::min<rlim_t>(lim.rlim_cur, 32767));
    data->iMaxUdpDg = 65467;
    ++startupCount;
    return 0;
}

int WSACleanup() {
    if (startupCount == 0) return Fail(10093);
    --startupCount;
    return 0;
}

int WSAGetLastError() { return lastError; }
void WSASetLastError(int error) { lastError = error; }

SOCKET socket(int af, int type, int protocol) {
    if (startupCount == 0) return Fail(10093), INVALID_SOCKET;
    if (af != kWinAfInet) return Fail(10047), INVALID_SOCKET;
    if (type != kWinSockStream) return Fail(10044), INVALID_SOCKET;
    const int fd = ::socket(PF_INET, ::SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol == kWinIpprotoTcp ? ::IPPROTO_TCP : 0);
    if (fd < 0) return Fail(WinsockErrorFromErrno(errno)), INVALID_SOCKET;
    return Adopt(fd, State::Fresh);
}

int closesocket(SOCKET s) {
    auto it = Sockets().find(s);
    if (it == Sockets().end()) return Fail(WSAENOTSOCK);
    std::unique_ptr<Socket> sock = std::move(it->second);
    Sockets().erase(it);  // its pending notifications die with its token
    sock->Reader.reset();
    sock->Writer.reset();
    if (::close(sock->Fd) != 0 && errno != EINTR) return Fail(WinsockErrorFromErrno(errno));
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK);
    if (level != kWinSolSocket || optname != kWinSoLinger) return Fail(10042);
    if (optval == nullptr || optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
    const auto* l = static_cast<const linger*>(optval);
    const ::linger posix{l->l_onoff ? 1 : 0, static_cast<int>(l->l_linger)};
    if (::setsockopt(sock->Fd, SOL_SOCKET, SO_LINGER, &posix, sizeof posix) != 0)
        return Fail(WinsockErrorFromErrno(errno));
    return 0;
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK);
    if (events != 0 && !IsWindow(hwnd)) return Fail(WSAEINVAL);
    EnsureNotifiers(s, *sock);
    sock->Hwnd = events != 0 ? hwnd : 0;
    sock->Msg = msg;
    sock->Events = events;
    ArmReader(*sock, sock->Phase == State::Connected || sock->Phase == State::Listening);
    ArmWriter(*sock, sock->Phase == State::Connecting || sock->WantWrite);
    if (sock->Phase == State::Connected) Notify(*sock, FD_WRITE, 0);  // Winsock reports a writable socket at once
    return 0;
}

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
    if (name == nullptr || buf == nullptr) return Fail(WSAEFAULT), 0;
    static HANDLE nextRequest = 1;
    const HANDLE request = nextRequest++;
    std::string host(name);
    HostResolver resolver;
    {
        std::lock_guard lock(resolverMutex);
        resolver = resolverOverride;
    }
    detail::TheDispatcher();  // made on this thread before the worker needs it
    std::thread([=] {
        std::vector<std::uint32_t> addresses;
        const int error = resolver ? resolver(host, addresses) : ResolveWithGetaddrinfo(host, addresses);
        detail::RunOnUiThread([=] {
            // The result area belongs to the window's owner: write it only while the window lives.
            if (!IsWindow(hwnd)) return;
            int result = error;
            if (result == 0) result = addresses.empty() ? WSANO_DATA : FillHostEntry(buf, buflen, host, addresses);
            PostMessage(hwnd, msg, request, MAKELPARAM(0, static_cast<WORD>(result)));
        });
    }).detach();
    return request;
}

std::uint32_t inet_addr(const char* cp) {
    if (cp == nullptr) return kWinInaddrNone;
    return ::inet_addr(cp);
}

std::uint16_t htons(std::uint16_t hostshort) { return ::htons(hostshort); }
std::uint16_t ntohs(std::uint16_t netshort) { return ::ntohs(netshort); }

int connect(SOCKET s, const sockaddr_in* name, int namelen) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK);
    if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    if (name->sin_family != kWinAfInet) return Fail(10047);
    if (sock->Phase == State::Connecting) return Fail(WSAEALREADY);
    if (sock->Phase == State::Connected || sock->Phase == State::PeerClosed) return Fail(WSAEISCONN);
    const ::sockaddr_in a = ToPosix(name);
    const int rc = ::connect(sock->Fd, reinterpret_cast<const ::sockaddr*>(&a), sizeof a);
    if (rc == 0 || errno == EINPROGRESS) {
        // Winsock never completes a non-blocking connect at once: the outcome
        // always arrives as FD_CONNECT.
        sock->Phase = State::Connecting;
        ArmWriter(*sock, true);
        return Fail(WSAEWOULDBLOCK);
    }
    const int e = errno;
    if (e == ECONNREFUSED || e == ENETUNREACH || e == EHOSTUNREACH || e == ETIMEDOUT) {
        // An outcome of the attempt, which Winsock reports asynchronously too.
        const int error = WinsockErrorFromErrno(e);
        Notify(*sock, FD_CONNECT, error);
        return Fail(WSAEWOULDBLOCK);
    }
    return Fail(WinsockErrorFromErrno(e));
}

int send(SOCKET s, const void* buf, int len, int) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK);
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (sock->Phase != State::Connected && sock->Phase != State::PeerClosed) return Fail(WSAENOTCONN);
    const ssize_t n = ::send(sock->Fd, buf, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    const int e = errno;
    if (e == EAGAIN) {
        sock->WantWrite = true;
        ArmWriter(*sock, true);
    }
    return Fail(WinsockErrorFromErrno(e));
}

int recv(SOCKET s, void* buf, int len, int) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK);
    if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
    if (sock->Phase == State::Fresh || sock->Phase == State::Connecting) return Fail(WSAENOTCONN);
    const ssize_t n = ::recv(sock->Fd, buf, static_cast<std::size_t>(len), MSG_DONTWAIT);
    const int e = errno;
    if (sock->Phase == State::Connected) ArmReader(*sock, true);
    if (n >= 0) return static_cast<int>(n);
    return Fail(WinsockErrorFromErrno(e));
}

SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK), INVALID_SOCKET;
    if (sock->Phase != State::Listening) return Fail(WSAEINVAL), INVALID_SOCKET;
    ::sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(sock->Fd, reinterpret_cast<::sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int e = errno;
    ArmReader(*sock, true);
    if (fd < 0) return Fail(WinsockErrorFromErrno(e)), INVALID_SOCKET;
    if (addr != nullptr && addrlen != nullptr && *addrlen >= static_cast<int>(sizeof(sockaddr_in))) {
        addr->sin_family = kWinAfInet;
        addr->sin_port = peer.sin_port;
        addr->sin_addr.s_addr = peer.sin_addr.s_addr;
        std::memset(addr->sin_zero, 0, sizeof addr->sin_zero);
        *addrlen = sizeof(sockaddr_in);
    }
    const SOCKET handle = Adopt(fd, State::Connected);
    // The accepted socket inherits the listener's registration, as in Winsock.
    if (sock->Hwnd != 0) WSAAsyncSelect(handle, sock->Hwnd, sock->Msg, sock->Events);
    return handle;
}

int bind(SOCKET s, const sockaddr_in* name, int namelen) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK);
    if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    const ::sockaddr_in a = ToPosix(name);
    const int one = 1;
    ::setsockopt(sock->Fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(sock->Fd, reinterpret_cast<const ::sockaddr*>(&a), sizeof a) != 0) return Fail(WinsockErrorFromErrno(errno));
    return 0;
}

int listen(SOCKET s, int backlog) {
    Socket* sock = Find(s);
    if (sock == nullptr) return Fail(WSAENOTSOCK);
    if (::listen(sock->Fd, backlog) != 0) return Fail(WinsockErrorFromErrno(errno));
    sock->Phase = State::Listening;
    ArmReader(*sock, true);
    return 0;
}

void SetHostResolverForTests(HostResolver resolver) {
    std::lock_guard lock(resolverMutex);
    resolverOverride = std::move(resolver);
}

int OpenSocketCount() { return static_cast<int>(Sockets().size()); }

}  // namespace Win
