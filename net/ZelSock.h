// The TCP client socket component: one stream socket driven by window-message
// notifications on a hidden window, with host resolution, connect and close,
// a time-out timer, a status channel, Winsock error texts, and chunked,
// line-oriented data transfer, in the clear or, after StartTls, over TLS.
//
// Everything runs on the user-interface thread. An operation that waits for
// the network waits at most 2 ms for the next event and runs one pass of the
// message loop, until a flag set by a notification handler, the time-out or a
// cancel ends the wait.
//
// For a derived protocol client (the mail client):
// - Connect, Disconnect and Abort are virtual; an override reaches the
//   socket-level operations as TZelSock::Connect() and TZelSock::Disconnect().
// - OnConnect is the socket-level event (the TCP connection is up). A derived
//   class that wants its own OnConnect declares a member of that name, which
//   hides this one for its users; the socket code keeps firing
//   TZelSock::OnConnect, so the two never mix.
// - C++ calls the base version of a virtual from a base destructor, so the
//   destructor here runs TZelSock::Abort; a derived class whose Abort must run
//   on destruction calls it from its own destructor.
#pragma once

#include "platform/Catalogue.h"
#include "platform/Windows.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"
#include "rtl/Text.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace net {

class TTlsSession;

class ESockError : public rtl::Exception {
public:
    using rtl::Exception::Exception;
};

// A wait ended by a cancel.
class EAbortError : public ESockError {
public:
    explicit EAbortError(std::string message) : ESockError(std::move(message), rtl::TErrorKind::Stopped) {}
};

using TOnHostResolved = std::function<void(rtl::TComponent* Sender)>;
using TOnStatus = std::function<void(rtl::TComponent* Sender, const std::string& Status)>;
using TOnError = std::function<void(rtl::TObject* Sender, std::uint16_t ErrorNo, const std::string& Message)>;

// Messages of the notification window.
inline constexpr Win::UINT WM_SOCKETEVENT = 1125;  // Winsock: low word event, high word error
inline constexpr Win::UINT WM_LOOKUPDONE = 1126;   // Winsock: host lookup finished, high word error
inline constexpr Win::UINT WM_WRITEMORE = 1127;    // ourselves: run the next send pass
inline constexpr Win::UINT WM_READMORE = 1128;     // ourselves: run the next receive pass

// SocketHandle value meaning "no socket".
inline constexpr std::uint16_t NoSocket = 65535;

// The text of a wait that ends because its connection is gone for good.
inline constexpr const char* ConnectionClosedText = "Connection Closed";

// A repeating timer driven by window-system timer messages on a hidden window
// of its own (no thread, despite the name).
class TThreadTimer : public rtl::TComponent {
public:
    explicit TThreadTimer(rtl::TComponent* AOwner);
    ~TThreadTimer() override;
    TThreadTimer(const TThreadTimer&) = delete;
    TThreadTimer& operator=(const TThreadTimer&) = delete;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    std::uint32_t Interval() const { return FInterval; }
    void SetInterval(std::uint32_t Value);
    const rtl::TNotifyEvent& OnTimer() const { return FOnTimer; }
    // Always restarts the period, even with the same handler.
    void SetOnTimer(rtl::TNotifyEvent Value);

protected:
    virtual void DoTimer();

private:
    static Win::LRESULT WndProc(Win::HWND Wnd, Win::UINT Msg, Win::WPARAM WParam, Win::LPARAM LParam);
    // Raises rtl::Exception "No Timer" when the window-system timer cannot be set.
    void UpdateTimer();

    bool FEnabled = true;
    std::uint32_t FInterval = 1000;
    rtl::TNotifyEvent FOnTimer;
    Win::HWND FWindowHandle = 0;
};

class TZelSock : public rtl::TComponent {
public:
    // Raises ESockError "Initializaton of windows sockets failed" when Winsock
    // start-up or the socket fails.
    explicit TZelSock(rtl::TComponent* AOwner);
    ~TZelSock() override;
    TZelSock(const TZelSock&) = delete;
    TZelSock& operator=(const TZelSock&) = delete;

    // ---- published ----
    std::string Host;
    std::int32_t Port = 0;  // the low 16 bits are used
    std::int32_t TimeOut = 0;  // ms, for the lookup and for the connect; 0: no limit
    std::int32_t ReportLevel = 1;
    // Extra trusted authorities for StartTls (PEM); empty: the system's only.
    rtl::TFilePath TrustFile;
    rtl::TNotifyEvent OnDisconnect;
    rtl::TNotifyEvent OnConnect;
    rtl::THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    rtl::TNotifyEvent OnConnectionFailed;

    // ---- other events ----
    rtl::TNotifyEvent OnDataReceived;
    rtl::TNotifyEvent OnAccept;
    TOnError OnError;
    rtl::THandlerEvent OnConnectionRequired;
    rtl::TNotifyEvent OnPacketReceived;
    rtl::TNotifyEvent OnPacketSent;
    // Run by a receive pass that finds Canceled set.
    rtl::TNotifyEvent AbortHook;
    // Each line Writeln sends (without its line end) and each line ReadLn
    // takes (with it): a trace of the dialogue.
    std::function<void(bool Sent, const std::string& Line)> OnLine;

    // ---- operations ----
    virtual std::uint16_t Accept();
    // Resolves Host (or Proxy) and opens the TCP connection; returns when Connected.
    virtual void Connect();
    virtual void Disconnect();
    // Writeln(Command), then ReadLn; sets LastReply and ReplyCode.
    virtual std::string Transaction(const std::string& Command);
    // Called by the time-out timer on expiry; nothing here.
    virtual void Abort();
    // Ends every running wait.
    void Cancel();

    // Runs the TLS handshake over the open connection, with Host as the
    // server's name, waiting like every other wait; from then on everything
    // sent and received through this component is encrypted, until the
    // connection closes. Anything received before it and not yet read is
    // discarded: it was never protected. Raises EAbortError on Canceled,
    // ESockError of kind ClosedByPeer when the connection goes, and of kind
    // Tls when the handshake or the certificate check fails; every failure
    // closes the connection, which can carry neither plain text nor TLS then.
    void StartTls();
    bool TlsActive() const;

    // Queues the bytes and waits until the whole queue is handed to the socket.
    // Length 0 means up to the first zero byte (Data must then be zero-terminated).
    void SendBuffer(const void* Data, std::uint16_t Length);
    // Sends Text up to its first zero character, at most 16384 characters.
    void Write(const std::string& Text);
    void Writeln(const std::string& Text);
    // The next received line, line feed included. Lines already received are
    // taken in time linear in their bytes; between them the message loop gets
    // a pass now and then, so a stop or a time limit acts amid a long reply.
    std::string ReadLn();
    // Longest line ReadLn takes, line feed included; 0: no limit. With a limit
    // a longer line raises ESockError (kind Protocol) as soon as it shows,
    // and the receive pass stops taking bytes while that many lie unread, so
    // a peer that never ends its line cannot fill the memory.
    std::int64_t MaxLineLength = 0;
    // Sends the stream's whole content with progress counters and OnPacketSent.
    // A memory stream is queued whole (its bytes shared, not copied); any
    // other stream is read a piece at a time as the connection takes the
    // bytes, so it may compose them as it goes and is never held whole: its
    // Size() must be its length from the start, what its Read raises ends the
    // transfer and is raised here, as is an end before its size, and a
    // cancel leaves only the piece already queued.
    void SendStream(rtl::TStream& Stream);
    // Returns when Connected; otherwise asks OnConnectionRequired once, then
    // raises rtl::Exception "Not Connected".
    void EnsureConnected();

    // "<number>:<text>" for a Winsock error, "" for 0, "Unknown Error No. <number>" otherwise.
    std::string SocketErrorText(std::uint16_t ErrorNo);
    // Raises ESockError (after OnError) unless the last Winsock error is Tolerated.
    std::string CheckSocketError(std::uint16_t Tolerated);
    void StatusMessage(std::uint8_t Level, const std::string& Text);

    // Components that currently hold Winsock started.
    static std::int32_t WinsockUsers();

    // ---- state ----
    bool TransferActive = false;
    rtl::TStringList WinsockInfo;
    std::int32_t BytesSent = 0;
    bool Canceled = false;
    std::int32_t LastError = 0;
    std::string StatusText;
    std::string Proxy;
    std::uint16_t ProxyPort = 0;
    // Outgoing bytes; its position marks how far they have been handed to the
    // socket. Outside a transfer it holds only unsent bytes, from 0 (unless
    // SendFromOffset). What is queued for a connection goes with it when it closes.
    rtl::TMemoryStream SendQueue;
    std::int32_t BytesTotal = 0;
    std::int32_t BytesReceived = 0;
    Win::sockaddr_in RemoteAddress{};
    std::string LastReply;
    std::int16_t ReplyCode = 0;
    // Keep the queue after sending it: the next transfer starts at its position,
    // which a sender may move back to send bytes again.
    bool SendFromOffset = false;
    std::uint16_t SocketHandle = NoSocket;
    // Received bytes not yet taken by ReadLn; its position stands at its end.
    rtl::TMemoryStream ReceiveStream;
    bool Connected = false;

protected:
    // Fills RemoteAddress's address from Proxy or Host; raises ESockError.
    void ResolveHost();
    // Closes the socket and, unless FinalClose, opens and registers a fresh one.
    void RequestCloseSocket();
    void TimerOn();
    void TimerOff();
    void TimerExpired(rtl::TObject* Sender);
    // One wait cycle: up to 2 ms waiting for a message, one pass of the message loop.
    void WaitCycle();
    // One pass of the message loop when none has run for a while (10 ms):
    // for work that runs long without waiting.
    void PassNowAndThen();

    // The send pass and the receive pass.
    void WriteFromStream();
    void ReadToStream();

    bool InHandler = false;
    bool FinalClose = false;
    std::vector<char> LineBuffer;
    std::unique_ptr<TThreadTimer> TimeoutTimer;
    rtl::TMemoryStream SendSpare;
    bool LastEventOk = false;
    bool TimedOut = false;
    bool LookupDone = false;
    Win::WSADATA WinsockData{};
    alignas(std::max_align_t) std::array<char, Win::MAXGETHOSTSTRUCT> HostEntryBuffer{};
    bool SendComplete = false;
    Win::HWND NotifyWindow = 0;

private:
    static Win::LRESULT WndProc(Win::HWND Wnd, Win::UINT Msg, Win::WPARAM WParam, Win::LPARAM LParam);
    void HandleSocketMessage(Win::UINT Msg, Win::WPARAM WParam, Win::LPARAM LParam);
    void MakeNotifyWindow();
    void InitWinsock();
    void OpenSocket(int Protocol);
    // Closes the socket without a disconnect event and opens a fresh one.
    void ReplaceSocket();
    void CloseFromPeer();
    void PostToSelf(Win::UINT Msg);
    void AppendToSendQueue(const void* Data, std::int64_t Count);
    // Ends a send wait: until SendComplete, Canceled, or the connection is gone.
    void WaitForSendQueue();
    // Tops the queue up from SendSource when less than a chunk of it is left
    // unsent; a failure of the source ends the transfer (SendSourceFailure).
    void RefillSendQueue(std::int64_t Chunk);
    bool SendSourceDone() const { return SendSource == nullptr || SendSourceLeft == 0; }
    // Moves the unsent rest to the front of SendQueue.
    void CompactSendQueue();
    void ResetSendQueue();
    std::int64_t FindLineFeed(std::int64_t& Scanned);

    // The encrypted halves of the passes, and the session's end.
    void WriteTlsPass();
    // Returns whether plaintext was stored.
    bool ReadTlsPass();
    void StepTlsHandshake();
    // Decrypts all that is buffered: no notification comes for bytes already read.
    bool TakeTlsInput();
    // Hands the pending ciphertext to the socket; false when it would block or failed.
    bool FlushTlsOutput();
    // The peer has closed: decrypt what it sent last.
    void DrainTlsAfterClose();
    // Best-effort close_notify, without waiting, and the session is gone.
    void DropTls();

    bool Destroying = false;
    bool SendBroken = false;        // a send failed other than "would block"
    bool WritePassSkipped = false;  // a send pass met the running pass: run it after
    bool ReadPassSkipped = false;   // likewise for a receive pass
    bool ReadPassHeld = false;      // a receive pass left the bytes in the socket: MaxLineLength lie unread
    bool CancelReporting = false;   // Cancel's status report runs: a handler's stop adds nothing
    std::int64_t LastPassAt = 0;    // steady clock, ns: the last pass of the message loop a wait ran
    Win::HANDLE LookupRequest = 0;  // the lookup the component waits for
    std::unique_ptr<TTlsSession> Tls;
    std::string TlsFailure;          // why the session cannot go on; empty while it can
    bool TlsEndedByPeer = false;     // the server's close_notify came: the connection is over
    bool TlsReadNeedsWrite = false;  // decrypting waits for room to write: the send pass resumes it
    bool TlsWriteNeedsRead = false;  // encrypting waits for the server: the receive pass resumes it
    std::uint32_t LookupAddress = 0;
    rtl::TStream* SendSource = nullptr;  // the stream SendStream is sending
    std::int64_t SendSourceLeft = 0;     // its bytes not yet queued
    std::exception_ptr SendSourceFailure;
    std::vector<char> SendSourcePiece;
};

// The reply code at the start of a line: up to ten leading digits; 0 without
// any, or when they exceed 32 bits; a value above 32767 raises rtl::ERangeError.
std::int16_t ReplyCodeOf(const std::string& Line);

// Field n (counted from 1) of Text split at Delimiter; "" when there is none.
std::string ExtractField(const std::string& Text, char Delimiter, int N);

}  // namespace net
