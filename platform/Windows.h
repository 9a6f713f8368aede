// The small layer in place of Windows: window classes, hidden windows with
// per-window storage, posted messages, window timers, Sleep, and the
// Winsock 1.1 calls with Winsock's numbers and notification semantics.
// Everything here runs on the user-interface thread, except that a host
// lookup resolves on a worker thread and reports back as a posted message.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Win {

using UINT = std::uint32_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
// A window handle; 0 is no window. Handles are never reused within a process.
using HWND = std::uintptr_t;
using HANDLE = std::uintptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr WORD LOWORD(LPARAM l) { return static_cast<WORD>(static_cast<std::uintptr_t>(l) & 0xFFFF); }
inline constexpr WORD HIWORD(LPARAM l) { return static_cast<WORD>((static_cast<std::uintptr_t>(l) >> 16) & 0xFFFF); }
inline constexpr LPARAM MAKELPARAM(WORD low, WORD high) { return static_cast<LPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16)); }

// ---- windows ----

struct WNDCLASS {
    std::string lpszClassName;
    WNDPROC lpfnWndProc = nullptr;
    int cbWndExtra = 0;  // bytes of per-window storage (room for one pointer)
};

// Registers a class once per process; false when the name is taken or the class is unusable.
bool RegisterClass(const WNDCLASS& wc);
// True (and the class filled in) when a class of that name is registered.
bool GetClassInfo(const std::string& className, WNDCLASS* wc);
void UnregisterClassForTests(const std::string& className);

// A hidden top-level window of a registered class; 0 when the class is unknown.
HWND CreateWindow(const std::string& className);
// Drops every message still pending for the window; none is ever delivered after this.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);

// Per-window storage: index 0 holds one pointer-sized value.
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtr(HWND hwnd, int index);

// Queues a message for the window; delivered in posting order during a pass of the message loop.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// A WM_TIMER (wParam = id) every elapseMs milliseconds until killed; setting an existing id restarts it.
bool SetTimer(HWND hwnd, UINT id, UINT elapseMs);
bool KillTimer(HWND hwnd, UINT id);

void Sleep(DWORD ms);

// Messages posted and not yet delivered or dropped (all windows).
int PendingMessageCount();

// ---- Winsock 1.1 ----

using SOCKET = std::uintptr_t;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
inline constexpr int SOCKET_ERROR = -1;

inline constexpr int AF_INET = 2;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_LINGER = 0x0080;
inline constexpr std::uint32_t INADDR_NONE = 0xFFFFFFFF;

inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

inline constexpr int WSADESCRIPTION_LEN = 256;
inline constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

struct in_addr {
    std::uint32_t s_addr;  // network order
};

struct sockaddr_in {
    std::int16_t sin_family;
    std::uint16_t sin_port;  // network order
    in_addr sin_addr;
    char sin_zero[8];
};

struct linger {
    std::uint16_t l_onoff;
    std::uint16_t l_linger;
};

// The host entry a lookup writes into the caller's result area.
struct hostent {
    char* h_name;
    char** h_aliases;
    std::int16_t h_addrtype;
    std::int16_t h_length;
    char** h_addr_list;
};
inline constexpr int MAXGETHOSTSTRUCT = 1024;

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen);
// Makes the socket non-blocking and posts msg to hwnd for the chosen events,
// once per occasion as Winsock does; events 0 switches notifications off.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);
// Resolves an IPv4 name off the user-interface thread; the result lands in buf
// and msg is posted to hwnd with the error number (0 for success) in the high word.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
std::uint32_t inet_addr(const char* cp);
std::uint16_t htons(std::uint16_t hostshort);
std::uint16_t ntohs(std::uint16_t netshort);
int connect(SOCKET s, const sockaddr_in* name, int namelen);
int send(SOCKET s, const void* buf, int len, int flags);
int recv(SOCKET s, void* buf, int len, int flags);
SOCKET accept(SOCKET s, sockaddr_in* addr, int* addrlen);
// Not in the component's use, but needed to test a listening socket.
int bind(SOCKET s, const sockaddr_in* name, int namelen);
int listen(SOCKET s, int backlog);

// Test seam: replaces the resolver used by WSAAsyncGetHostByName (on the
// worker thread). It returns a Winsock error (0 on success) and the IPv4
// addresses in network order. An empty function restores getaddrinfo.
using HostResolver = std::function<int(const std::string& name, std::vector<std::uint32_t>& addresses)>;
void SetHostResolverForTests(HostResolver resolver);

// Open socket count, for leak checks.
int OpenSocketCount();

}  // namespace Win
