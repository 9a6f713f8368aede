// TZelSock data transfer: the send and receive passes, line writing and
// reading, transactions, stream sending and cancellation.
#include "net/ZelSock.h"
#include "net/ZelSockEvents.h"

#include <algorithm>
#include <cstring>

namespace net {

using detail::Fire;

namespace {

constexpr int kChunk = 16383;            // bytes per send or recv call
constexpr std::size_t kLineLimit = 16384;  // characters Write takes
// Bytes of a sent stream queued at a time: a few chunks, so the queue stays
// small whatever the stream's size and a piece costs a small part of a pass.
constexpr std::int64_t kSourcePiece = 4 * 16384;

}  // namespace

// ---- the send queue ----
//
// The queue's position marks how much of it the socket has taken, so a
// transfer of any size costs one pass over its bytes. Outside a transfer the
// queue holds only unsent bytes, from offset 0.

void TZelSock::AppendToSendQueue(const void* Data, std::int64_t Count) {
    const std::int64_t sent = SendQueue.Position();
    SendQueue.Seek(0, rtl::TSeekOrigin::soEnd);
    SendQueue.WriteBuffer(Data, Count);
    SendQueue.SetPosition(sent);
}

void TZelSock::CompactSendQueue() {
    if (SendFromOffset) return;
    const std::int64_t sent = SendQueue.Position();
    if (sent == 0) return;
    const std::int64_t rest = SendQueue.Size() - sent;
    SendSpare.Clear();
    if (rest > 0) SendSpare.WriteBuffer(SendQueue.Memory() + sent, rest);
    SendQueue.Swap(SendSpare);
    SendQueue.SetPosition(0);
    SendSpare.Clear();
}

void TZelSock::ResetSendQueue() {
    SendQueue.Clear();
    SendSpare.Clear();
}

void TZelSock::WaitForSendQueue() {
    SendComplete = false;
    SendBroken = false;
    PostToSelf(WM_WRITEMORE);
    do {
        WaitCycle();
    } while (!SendComplete && !Canceled && Connected && !SendBroken);
}

void TZelSock::RefillSendQueue(std::int64_t Chunk) {
    if (SendSourceDone() || SendSourceFailure || Canceled) return;
    const std::int64_t sent = SendQueue.Position();
    if (SendQueue.Size() - sent >= Chunk) return;
    try {
        // The sent bytes go; their room is reused.
        if (!SendFromOffset) SendQueue.DiscardFront(sent);
        const std::int64_t want = std::min(SendSourceLeft, kSourcePiece);
        SendSourcePiece.resize(static_cast<std::size_t>(kSourcePiece));
        if (SendSource->Read(SendSourcePiece.data(), want) != want) throw rtl::EReadError();
        AppendToSendQueue(SendSourcePiece.data(), want);
        SendSourceLeft -= want;
    } catch (...) {
        SendSourceFailure = std::current_exception();
        SendBroken = true;
    }
}

// ---- the passes ----

namespace {

// Clears the shared pass guard however a pass ends, and requests the passes
// that found it set meanwhile: their notification would otherwise be lost.
class TPassScope {
public:
    TPassScope(bool& inHandler, bool& writeSkipped, bool& readSkipped, std::function<void(Win::UINT)> post)
        : InHandler(inHandler), WriteSkipped(writeSkipped), ReadSkipped(readSkipped), Post(std::move(post)) {
        InHandler = true;
    }
    ~TPassScope() {
        InHandler = false;
        if (WriteSkipped) {
            WriteSkipped = false;
            Post(WM_WRITEMORE);
        }
        if (ReadSkipped) {
            ReadSkipped = false;
            Post(WM_READMORE);
        }
    }
    TPassScope(const TPassScope&) = delete;
    TPassScope& operator=(const TPassScope&) = delete;

private:
    bool& InHandler;
    bool& WriteSkipped;
    bool& ReadSkipped;
    std::function<void(Win::UINT)> Post;
};

}  // namespace

void TZelSock::WriteFromStream() {
    if (InHandler) {
        WritePassSkipped = true;
        return;
    }
    TPassScope scope(InHandler, WritePassSkipped, ReadPassSkipped, [this](Win::UINT msg) { PostToSelf(msg); });
    StatusMessage(8, "WriteFromStream");
    if (Tls) {
        WriteTlsPass();
        return;
    }
    RefillSendQueue(kChunk);
    if (SendSourceFailure) return;
    const std::int64_t size = SendQueue.Size();
    const std::int64_t sent = SendQueue.Position();
    if (sent >= size) {
        SendComplete = SendSourceDone();
        return;
    }
    if (Canceled) return;
    const int length = static_cast<int>(std::min<std::int64_t>(size - sent, kChunk));
    const int n = Win::send(SocketHandle, SendQueue.Memory() + sent, length, 0);
    if (n == Win::SOCKET_ERROR) {
        // Would block: the socket's next write notification resumes. Any other
        // error means this connection takes no more data.
        LastError = Win::WSAGetLastError();
        if (LastError != Win::WSAEWOULDBLOCK) SendBroken = true;
        return;
    }
    if (sent + n >= size && SendSourceDone()) {
        if (SendFromOffset)
            SendQueue.SetPosition(size);
        else
            SendQueue.Clear();
        SendComplete = true;
    } else {
        SendQueue.SetPosition(sent + n);
        PostToSelf(WM_WRITEMORE);
    }
    BytesSent = rtl::RangeChecked<std::int32_t>(std::int64_t{BytesSent} + n);
    if (TransferActive) Fire(OnPacketSent, this);
}

void TZelSock::ReadToStream() {
    if (Canceled) {
        Win::WSAAsyncSelect(SocketHandle, NotifyWindow, 0, 0);
        Fire(AbortHook, this);
    }
    if (InHandler) {
        ReadPassSkipped = true;
        return;
    }
    // Enough unread for the longest line: the bytes wait in the socket until ReadLn takes some.
    if (MaxLineLength > 0 && ReceiveStream.Size() >= MaxLineLength) {
        ReadPassHeld = true;
        return;
    }
    bool stored = false;
    try {
        TPassScope scope(InHandler, WritePassSkipped, ReadPassSkipped, [this](Win::UINT msg) { PostToSelf(msg); });
        StatusMessage(8, "ReadToStream");
        if (Tls) {
            stored = ReadTlsPass();
        } else {
            ReceiveStream.Seek(0, rtl::TSeekOrigin::soEnd);
            std::array<char, kChunk + 1> area;
            const int n = Win::recv(SocketHandle, area.data(), kChunk, 0);
            if (n == Win::SOCKET_ERROR) {
                LastError = Win::WSAGetLastError();
                const auto code = rtl::RangeChecked<std::uint16_t>(LastError);
                const std::string text = SocketErrorText(code);
                Fire(OnError, this, code, text);
            } else {
                ReceiveStream.WriteBuffer(area.data(), n);
                stored = true;
                if (n == kChunk) PostToSelf(WM_READMORE);
                if (TransferActive) {
                    BytesReceived = rtl::RangeChecked<std::int32_t>(std::int64_t{BytesReceived} + n);
                    Fire(OnPacketReceived, this);
                }
            }
        }
    } catch (...) {
        if (stored) Fire(OnDataReceived, this);
        throw;
    }
    if (stored) Fire(OnDataReceived, this);
}

// ---- sending ----

void TZelSock::SendBuffer(const void* Data, std::uint16_t Length) {
    StatusMessage(4, "Sending Buffer");
    if (Canceled) return;
    std::int64_t count = Data == nullptr ? 0 : Length;
    if (count == 0 && Data != nullptr) count = rtl::RangeChecked<std::uint16_t>(std::strlen(static_cast<const char*>(Data)));
    AppendToSendQueue(Data, count);
    WaitForSendQueue();
    if (Canceled) {
        Canceled = false;
        CompactSendQueue();
        throw EAbortError("Socket send aborted");
    }
    if (!SendComplete) {
        ResetSendQueue();  // undeliverable; kept, it would open the next connection
        throw ESockError(ConnectionClosedText, rtl::TErrorKind::ClosedByPeer);
    }
}

void TZelSock::Write(const std::string& Text) {
    StatusMessage(8, "Write");
    const std::size_t length = std::min(Text.size(), kLineLimit);
    std::memcpy(LineBuffer.data(), Text.data(), length);
    LineBuffer[length] = '\0';
    SendBuffer(LineBuffer.data(), 0);
}

void TZelSock::Writeln(const std::string& Text) {
    StatusMessage(8, "Writeln");
    if (OnLine) OnLine(true, Text);
    Write(Text + "\r\n");
}

void TZelSock::SendStream(rtl::TStream& Stream) {
    TransferActive = true;
    auto abortIfCanceled = [this] {
        if (!Canceled) return;
        Canceled = false;
        CompactSendQueue();
        throw EAbortError("Socket send aborted");
    };
    // The stream is read by the send passes only while this runs.
    struct TDetach {
        TZelSock& Sock;
        ~TDetach() {
            Sock.SendSource = nullptr;
            Sock.SendSourceLeft = 0;
            Sock.SendSourceFailure = nullptr;
            Sock.SendSourcePiece = {};
        }
    } detach{*this};
    try {
        StatusMessage(8, "SendStream");
        if (!Canceled) {
            Stream.SetPosition(0);
            StatusMessage(8, "SendFile");
            BytesSent = 0;
            const std::int64_t size = Stream.Size();
            BytesTotal = rtl::RangeChecked<std::int32_t>(size);
            if (dynamic_cast<rtl::TMemoryStream*>(&Stream) != nullptr) {
                // Already in memory: queued whole, sharing its bytes, so a
                // cancel keeps the unsent rest for the socket to resume.
                const std::int64_t sent = SendQueue.Position();
                SendQueue.Seek(0, rtl::TSeekOrigin::soEnd);
                SendQueue.CopyFrom(Stream, 0);
                SendQueue.SetPosition(sent);
            } else {
                SendSource = &Stream;
                SendSourceLeft = size;
            }
            WaitForSendQueue();
            if (SendSourceFailure) {
                ResetSendQueue();  // a message cut short: nothing of it may follow
                std::rethrow_exception(SendSourceFailure);
            }
            if (!SendComplete && !Canceled) {
                ResetSendQueue();
                throw ESockError(ConnectionClosedText, rtl::TErrorKind::ClosedByPeer);
            }
        }
    } catch (...) {
        TransferActive = false;
        abortIfCanceled();  // a cancel takes the place of any other failure
        throw;
    }
    TransferActive = false;
    abortIfCanceled();
}

// ---- receiving ----

std::int64_t TZelSock::FindLineFeed(std::int64_t& Scanned) {
    const std::int64_t size = ReceiveStream.Size();
    if (Scanned > size) Scanned = 0;  // the buffer was emptied or replaced meanwhile
    if (size > Scanned) {
        const std::uint8_t* data = ReceiveStream.Memory();
        const void* hit = std::memchr(data + Scanned, '\n', static_cast<std::size_t>(size - Scanned));
        if (hit != nullptr) return static_cast<const std::uint8_t*>(hit) - data;
    }
    Scanned = size;
    return -1;
}

std::string TZelSock::ReadLn() {
    StatusMessage(8, "ReadLn");
    const auto tooLong = [this] {
        return ESockError(rtl::FormatMessage(kMsgLineTooLong, rtl::IntToStr(MaxLineLength)), rtl::TErrorKind::Protocol);
    };
    std::int64_t scanned = 0;
    // A line is waiting, and many more may: the stop button and the timers
    // must not wait until all of them are taken. The pass may empty the
    // buffer (a stop drops the connection), so the line is looked for again.
    if (FindLineFeed(scanned) >= 0) {
        PassNowAndThen();
        scanned = 0;
    }
    std::int64_t lineFeed = FindLineFeed(scanned);
    while (lineFeed < 0) {
        if (MaxLineLength > 0 && ReceiveStream.Size() >= MaxLineLength) throw tooLong();
        WaitCycle();
        lineFeed = FindLineFeed(scanned);
        if (Canceled) break;
        // A closed connection brings no more bytes; what came with the close is
        // already in the buffer.
        if (lineFeed < 0 && !Connected) break;
    }
    if (Canceled) throw EAbortError("Socket readln aborted");
    if (lineFeed < 0) throw ESockError(TlsEndedByPeer ? kMsgTlsClosed : ConnectionClosedText, rtl::TErrorKind::ClosedByPeer);
    if (MaxLineLength > 0 && lineFeed + 1 > MaxLineLength) throw tooLong();

    std::string line(reinterpret_cast<const char*>(ReceiveStream.Memory()), static_cast<std::size_t>(lineFeed + 1));
    if (lineFeed + 1 == ReceiveStream.Size())
        ReceiveStream.Clear();
    else
        ReceiveStream.DiscardFront(lineFeed + 1);  // constant time: no copy of the rest per line
    ReceiveStream.Seek(0, rtl::TSeekOrigin::soEnd);
    if (ReadPassHeld) {
        ReadPassHeld = false;
        PostToSelf(WM_READMORE);
    }
    if (OnLine) OnLine(false, line);
    return line;
}

std::string TZelSock::Transaction(const std::string& Command) {
    StatusMessage(8, "Transaction");
    ReplyCode = 0;
    Writeln(Command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        StatusMessage(1, LastReply);
        ReplyCode = ReplyCodeOf(LastReply);
    }
    return LastReply;
}

}  // namespace net
