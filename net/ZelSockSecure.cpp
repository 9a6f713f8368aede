// TZelSock over TLS: starting the session on the open connection, the
// encrypted halves of the send and receive passes, and the session's end.
//
// Every OpenSSL call runs inside a send or receive pass (or the close that
// ends the connection), so TLS follows the same notifications as plain data.
// Events fire last in a pass: a handler that runs the message loop may close
// the connection, and with it the session.
#include "net/ZelSock.h"
#include "net/ZelSockEvents.h"
#include "net/ZelSockTls.h"

#include <algorithm>
#include <array>

namespace net {

using detail::Fire;
using TStatus = TTlsSession::TStatus;

namespace {

constexpr int kRecvChunk = 16383;   // ciphertext bytes per recv call, as on the plain path
constexpr int kRecordChunk = 16384;  // plaintext per SSL_read: one full record
constexpr int kSendChunk = 16383;    // plaintext per SSL_write, as the plain path sends: the same OnPacketSent counts

}  // namespace

bool TZelSock::TlsActive() const { return Tls && Tls->Established(); }

void TZelSock::StartTls() {
    StatusMessage(8, "StartTls");
    if (Tls) throw ESockError("TLS already started", rtl::TErrorKind::Busy);
    if (!Connected) throw ESockError(ConnectionClosedText, rtl::TErrorKind::ClosedByPeer);
    ReceiveStream.Clear();
    TlsFailure.clear();
    TlsEndedByPeer = false;
    TlsReadNeedsWrite = TlsWriteNeedsRead = false;
    SendBroken = false;
    try {
        Tls = std::make_unique<TTlsSession>(Host, TrustFile.Bytes());
    } catch (const ESockError&) {
        RequestCloseSocket();
        throw;
    }
    PostToSelf(WM_WRITEMORE);  // the first step runs in a send pass
    while (Connected && Tls && !Tls->Established() && TlsFailure.empty() && !Canceled && !SendBroken) WaitCycle();
    // A failure that came with the server's close still says why.
    if (!TlsFailure.empty()) {
        const std::string text = TlsFailure;
        const rtl::TErrorKind kind = Tls ? Tls->FailureKind() : rtl::TErrorKind::Tls;
        RequestCloseSocket();
        throw ESockError(text, kind);
    }
    if (Canceled) {
        RequestCloseSocket();
        throw EAbortError("TLS handshake aborted");
    }
    if (!Connected || !Tls || SendBroken) {
        RequestCloseSocket();
        throw ESockError(ConnectionClosedText, rtl::TErrorKind::ClosedByPeer);
    }
    StatusMessage(4, "TLS Active");
}

// ---- the passes ----

bool TZelSock::FlushTlsOutput() {
    const char* data = nullptr;
    for (int pending = Tls->Outgoing(data); pending > 0; pending = Tls->Outgoing(data)) {
        const int n = Win::send(SocketHandle, data, pending, 0);
        if (n == Win::SOCKET_ERROR) {
            // Would block: the socket's next write notification resumes.
            LastError = Win::WSAGetLastError();
            if (LastError != Win::WSAEWOULDBLOCK) SendBroken = true;
            return false;
        }
        Tls->OutgoingSent(n);
    }
    if (TlsReadNeedsWrite) {
        TlsReadNeedsWrite = false;
        PostToSelf(WM_READMORE);
    }
    return true;
}

void TZelSock::StepTlsHandshake() {
    const TStatus status = Tls->Handshake();
    if (status == TStatus::Failed) TlsFailure = Tls->FailureText();
    // Also carries the alert of a failure to the server, as far as it goes.
    const bool flushed = FlushTlsOutput();
    if (status == TStatus::WantWrite && flushed) PostToSelf(WM_WRITEMORE);
    if (status == TStatus::Ok && SendQueue.Position() < SendQueue.Size()) PostToSelf(WM_WRITEMORE);
}

void TZelSock::WriteTlsPass() {
    if (!FlushTlsOutput()) return;
    if (!Tls->Established()) {
        if (!TlsFailure.empty()) return;
        StepTlsHandshake();
        // Completed here rather than in a receive pass: what the server sent
        // behind its last handshake message is still to be decrypted.
        if (Tls->Established()) PostToSelf(WM_READMORE);
        return;
    }
    RefillSendQueue(kSendChunk);
    if (SendSourceFailure) return;
    const std::int64_t size = SendQueue.Size();
    std::int64_t sent = SendQueue.Position();
    int taken = 0;
    if (sent < size && !Canceled) {
        TStatus status = TStatus::Ok;
        const auto length = static_cast<int>(std::min<std::int64_t>(size - sent, kSendChunk));
        taken = Tls->Encrypt(SendQueue.Memory() + sent, length, status);
        if (taken == 0) {
            if (status == TStatus::WantRead) {
                TlsWriteNeedsRead = true;
                return;
            }
            if (status != TStatus::WantWrite) {  // the session is over: nothing more goes out
                TlsFailure = Tls->FailureText();
                SendBroken = true;
                return;
            }
            // WantWrite: the flush below makes room.
        }
        sent += taken;
        SendQueue.SetPosition(sent);
    }
    // Complete only once the ciphertext, too, is in the socket's hands.
    if (FlushTlsOutput()) {
        if (sent >= size && SendSourceDone()) {
            if (SendFromOffset)
                SendQueue.SetPosition(size);
            else
                SendQueue.Clear();
            SendComplete = true;
        } else if (!Canceled) {
            PostToSelf(WM_WRITEMORE);
        }
    }
    if (taken > 0) {
        BytesSent = rtl::RangeChecked<std::int32_t>(std::int64_t{BytesSent} + taken);
        if (TransferActive) Fire(OnPacketSent, this);
    }
}

bool TZelSock::TakeTlsInput() {
    if (!Tls->Established()) {
        if (!TlsFailure.empty()) return false;
        StepTlsHandshake();
        if (!Tls->Established()) return false;
    }
    bool stored = false;
    std::array<char, kRecordChunk> area;
    for (;;) {
        TStatus status = TStatus::Ok;
        const int n = Tls->Decrypt(area.data(), static_cast<int>(area.size()), status);
        if (n > 0) {
            ReceiveStream.Seek(0, rtl::TSeekOrigin::soEnd);
            ReceiveStream.WriteBuffer(area.data(), n);
            stored = true;
            continue;
        }
        if (status == TStatus::WantWrite) TlsReadNeedsWrite = true;
        if (status == TStatus::Failed) TlsFailure = Tls->FailureText();
        if (status == TStatus::Closed) TlsEndedByPeer = true;
        break;  // WantRead: the rest of a record is still on its way; Closed: nothing more comes
    }
    FlushTlsOutput();  // what reading produced: alerts, key update answers
    return stored;
}

bool TZelSock::ReadTlsPass() {
    char* room = nullptr;
    const int wanted = std::min(Tls->IncomingRoom(room), kRecvChunk);
    int received = 0;
    int error = 0;
    if (wanted > 0) {
        received = Win::recv(SocketHandle, room, wanted, 0);
        if (received == Win::SOCKET_ERROR) {
            error = LastError = Win::WSAGetLastError();
            received = 0;
        } else {
            Tls->IncomingReceived(received);
        }
    }
    if (received > 0 && TlsWriteNeedsRead) {
        TlsWriteNeedsRead = false;
        PostToSelf(WM_WRITEMORE);
    }
    const std::int64_t before = ReceiveStream.Size();
    const bool established = Tls->Established();
    const bool stored = TakeTlsInput();
    const std::int64_t plain = ReceiveStream.Size() - before;
    if (established && (!TlsFailure.empty() || TlsEndedByPeer)) {
        // A record that fails its check: the stream cannot be trusted past it.
        // A close_notify: the server sends nothing more, even if it keeps the
        // connection open, so waiting for a reply would last the whole limit.
        Connected = false;
        RequestCloseSocket();
        return stored;
    }
    // A full read may have left more in the socket, and no notification
    // comes for it; a full buffer is read again once decrypting made room.
    if ((wanted > 0 && received == wanted) || (wanted == 0 && !TlsReadNeedsWrite && TlsFailure.empty()))
        PostToSelf(WM_READMORE);
    if (error != 0 && error != Win::WSAEWOULDBLOCK) {
        const auto code = rtl::RangeChecked<std::uint16_t>(error);
        const std::string text = SocketErrorText(code);
        Fire(OnError, this, code, text);
    }
    if (plain > 0 && TransferActive) {
        BytesReceived = rtl::RangeChecked<std::int32_t>(std::int64_t{BytesReceived} + plain);
        Fire(OnPacketReceived, this);
    }
    return stored;
}

// ---- the end ----

void TZelSock::DrainTlsAfterClose() {
    int received = 0;
    do {
        char* room = nullptr;
        const int wanted = std::min(Tls->IncomingRoom(room), kRecvChunk);
        received = wanted > 0 ? Win::recv(SocketHandle, room, wanted, 0) : 0;
        if (received > 0) Tls->IncomingReceived(received);
        TakeTlsInput();
    } while (received > 0 && !Canceled);
}

void TZelSock::DropTls() {
    if (!Tls) return;
    Tls->Close();
    const char* data = nullptr;
    const int pending = Tls->Outgoing(data);
    // Best effort and no waiting: whatever the socket takes now, the rest is dropped.
    if (pending > 0 && SocketHandle != NoSocket) Win::send(SocketHandle, data, pending, 0);
    Tls.reset();
    TlsReadNeedsWrite = TlsWriteNeedsRead = false;
}

}  // namespace net
