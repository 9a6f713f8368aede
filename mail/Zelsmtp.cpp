#include "mail/Zelsmtp.h"

#include "rtl/SysUtils.h"

#include <string_view>

namespace mail {
namespace {

std::string Duration(std::uint32_t ms) {
    if (ms % 1000 != 0) return std::to_string(ms) + " ms";
    return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void RefuseLineBreak(const char* field, std::string_view text) {
    if (HasLineBreak(text)) throw rtl::Exception(std::string("The ") + field + " field holds a line break");
}

// A line is a continuation line when it starts with a blank, or when its
// fourth character is "-" (a code followed by a hyphen).
bool IsContinuation(const std::string& line) {
    if (!line.empty() && line[0] == ' ') return true;
    return line.size() >= 4 && line[3] == '-';
}

}  // namespace

TZelSMTP::TZelSMTP(rtl::TComponent* AOwner) : net::TZelSock(AOwner) {
    Port = kDefaultSmtpPort;
    EncodeType = codec::uuMime;
    FPostMessage = std::make_unique<TPostMessage>();
    ClearParams = true;
    SubType = mtPlain;
    AbortHook = [this](rtl::TObject*) { DropConnection(); };
    LimitTimer = std::make_unique<net::TThreadTimer>(this);
    LimitTimer->SetEnabled(false);
    LimitTimer->SetOnTimer([this](rtl::TObject*) { LimitExpired(); });
}

TMessageComposer TZelSMTP::Composer() {
    TMessageComposer composer;
    composer.EncodeType = EncodeType;
    composer.OnEncodeStart = OnEncodeStart;
    composer.OnEncodeEnd = OnEncodeEnd;
    composer.OnAttachmentNotFound = OnAttachmentNotFound;
    composer.EncoderOwner = this;
    composer.Clock = Clock;
    return composer;
}

void TZelSMTP::ComposeMessage() { Composer().Compose(*FPostMessage, FinalHeader, MessageStream, Boundary); }

void TZelSMTP::WriteAttachment(int Index) { Composer().WriteAttachment(*FPostMessage, Index, Boundary, MessageStream); }

bool TZelSMTP::Busy() const {
    switch (FPhase) {
        case TSmtpPhase::Idle:
        case TSmtpPhase::Ready:
        case TSmtpPhase::Quit: return false;
        default: return true;
    }
}

TZelSMTP::~TZelSMTP() {
    // A mail client destroyed while connected and idle drops its connection without QUIT.
    try {
        Abort();
    } catch (...) {
        // A destructor must not throw; the connection goes with the socket regardless.
    }
}

void TZelSMTP::SetPostMessage(std::unique_ptr<TPostMessage> Value) {
    if (Value) FPostMessage = std::move(Value);
}

void TZelSMTP::DropConnection() {
    net::TZelSock::Disconnect();
    ReceiveStream.Clear();
    if (!Busy()) FPhase = TSmtpPhase::Idle;
}

std::string TZelSMTP::ExtractAddress(const std::string& Entry) {
    if (Entry.find('<') != std::string::npos) return net::ExtractField(net::ExtractField(Entry, '<', 2), '>', 1);
    if (Entry.find(':') != std::string::npos) return net::ExtractField(Entry, ':', 2);
    return Entry;
}

std::string TZelSMTP::FinalReplyLine(std::string Reply, const std::function<std::string()>& NextLine) {
    while (IsContinuation(Reply)) Reply = NextLine();
    return Reply;
}

std::string TZelSMTP::ReadFinalReplyLine(std::string Reply) {
    return FinalReplyLine(std::move(Reply), [this] { return ReadLn(); });
}

// ---- reply time limits ----

void TZelSMTP::LimitExpired() {
    if (LimitCountsProgress && BytesSent != LimitLastBytes) {
        LimitLastBytes = BytesSent;  // data moved during this period: the server is alive
        return;
    }
    LimitTimer->SetEnabled(false);
    LimitExpiredFlag = true;
    Cancel();
}

template <typename Fn>
auto TZelSMTP::WithinLimit(std::uint32_t LimitMs, const char* What, bool ProgressCounts, Fn&& Wait) {
    struct Disarm {
        net::TThreadTimer& Timer;
        ~Disarm() { Timer.SetEnabled(false); }
    } disarm{*LimitTimer};
    LimitExpiredFlag = false;
    LimitCountsProgress = ProgressCounts;
    LimitLastBytes = BytesSent;
    LimitTimer->SetInterval(LimitMs);
    LimitTimer->SetEnabled(LimitMs != 0);
    try {
        return Wait();
    } catch (const net::EAbortError&) {
        if (!LimitExpiredFlag) throw;
        // Nothing more can be expected on this connection: drop it.
        Canceled = false;
        DropConnection();
        throw net::ESockError(ProgressCounts ? "The server took no data for " + Duration(LimitMs) + " while sending " + What
                                             : "No reply from the server to " + std::string(What) + " within " + Duration(LimitMs),
                              rtl::TErrorKind::TimedOut);
    }
}

void TZelSMTP::WithinReplyLimit(std::uint32_t LimitMs, const char* What, const std::function<void()>& Wait) {
    WithinLimit(LimitMs, What, false, Wait);
}

std::string TZelSMTP::Command(const std::string& Line, std::uint32_t LimitMs, const char* What) {
    // Every reply is read whole: the lines of a multi-line reply left unread
    // would be taken as the replies to the commands that follow.
    return WithinLimit(LimitMs, What, false, [&] { return ReadFinalReplyLine(Transaction(Line)); });
}

// ---- session ----

void TZelSMTP::Connect() {
    // Connect also runs inside a submit that found no connection; it then
    // hands the phase back to that submit.
    const TSmtpPhase outer = FPhase;
    const bool nested = Busy();
    const auto settle = [&] { FPhase = nested ? outer : (Connected ? TSmtpPhase::Ready : TSmtpPhase::Idle); };
    FPhase = TSmtpPhase::Connecting;
    try {
        RefuseLineBreak("UserID", UserID);
        RefuseLoginInTheClear();
        net::TZelSock::Connect();
    } catch (...) {
        settle();
        throw;
    }
    try {
        if (Security == TSmtpSecurity::ImplicitTls) Handshake();
        FPhase = TSmtpPhase::Greeting;
        const std::string first = WithinLimit(TimeLimits.Greeting, "the greeting", false, [&] { return ReadLn(); });
        ReplyCode = net::ReplyCodeOf(first);
        const std::string greeting =
            WithinLimit(TimeLimits.Greeting, "the greeting", false, [&] { return ReadFinalReplyLine(first); });
        if (ReplyCode >= 400) throw rtl::Exception(greeting, rtl::TErrorKind::Refused);
        if (Security != TSmtpSecurity::None)
            SecureHello();
        else
            FPhase = TSmtpPhase::Helo;
        for (int attempts = 0; Security == TSmtpSecurity::None; ++attempts) {
            RefuseLineBreak("UserID", UserID);
            Command("HELO " + UserID, TimeLimits.Helo, "HELO");
            if (ReplyCode < 300) break;
            if (attempts > 0 || !OnAuthenticationFailed) throw rtl::Exception("Authentication failed", rtl::TErrorKind::Refused);
            bool handled = false;
            OnAuthenticationFailed(handled);
            if (!handled) throw rtl::Exception("Authentication failed", rtl::TErrorKind::Refused);
        }
    } catch (const net::EAbortError&) {
        // Stopped by the user: a server that has not answered yet would keep
        // the QUIT exchange waiting too, so the connection is dropped at once.
        DropConnection();
        settle();
        throw;
    } catch (...) {
        // Any other failure ends politely with QUIT; its own failure, if any,
        // is the one reported.
        const std::exception_ptr failure = std::current_exception();
        try {
            Disconnect();
        } catch (...) {
            settle();
            throw;
        }
        settle();
        std::rethrow_exception(failure);
    }
    settle();
    if (OnConnect) OnConnect(this);
}

void TZelSMTP::CheckNoLineBreaks() {
    // A line break in any of these would put extra commands or header lines on the wire.
    const TPostMessage& m = *FPostMessage;
    RefuseLineBreak("FromAddress", m.FromAddress);
    RefuseLineBreak("FromName", m.FromName);
    RefuseLineBreak("Subject", m.Subject);
    RefuseLineBreak("ReplyTo", m.ReplyTo);
    RefuseLineBreak("Date", m.Date);
    RefuseLineBreak("LocalProgram", m.LocalProgram);
    for (const auto* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy})
        for (const auto& entry : *list) RefuseLineBreak("recipient", entry);
    for (const auto& entry : m.Attachments) RefuseLineBreak("attachment name", AttachmentName(entry));
}

void TZelSMTP::SubmitMessage() {
    if (Busy()) return;
    FPhase = TSmtpPhase::Composing;
    // However the submit ends, the phase follows the connection.
    struct Settle {
        TZelSMTP& Client;
        ~Settle() { Client.FPhase = Client.Connected ? TSmtpPhase::Ready : TSmtpPhase::Idle; }
    } settle{*this};
    TPostMessage& m = *FPostMessage;
    CheckNoLineBreaks();
    ComposeMessage();
    EnsureConnected();
    for (int attempts = 0;; ++attempts) {
        const bool complete = !m.FromAddress.empty() &&
                              (m.ToAddress.Count() + m.ToCarbonCopy.Count() + m.ToBlindCarbonCopy.Count()) > 0;
        if (complete) break;
        if (attempts > 0 || !OnHeaderIncomplete) throw rtl::Exception("Incomplete Header");
        bool handled = false;
        OnHeaderIncomplete(handled, m.FromAddress.empty() ? 1 : 2);
        if (!handled) throw rtl::Exception("Incomplete Header");
    }
    CheckNoLineBreaks();  // the handler may have changed the envelope
    if (OnSendStart) OnSendStart(this);

    const auto refuseAbove = [this](std::int16_t limit, const std::string& reply) {
        if (ReplyCode >= limit) throw rtl::Exception(reply, rtl::TErrorKind::Refused);
    };
    FPhase = TSmtpPhase::Rset;
    refuseAbove(400, Command("RSET", TimeLimits.Rset, "RSET"));
    FPhase = TSmtpPhase::MailFrom;
    RefuseMailFrom(Command("MAIL FROM:<" + m.FromAddress + ">", TimeLimits.MailFrom, "MAIL FROM"));
    FPhase = TSmtpPhase::RcptTo;
    for (rtl::TStringList* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy}) {
        const int count = list->Count();
        for (int i = 0; i < count && i < list->Count(); ++i) {
            const std::string entry = (*list)[i];
            const std::string address = ExtractAddress(entry);
            if (address.empty()) continue;
            Command("RCPT TO:<" + address + ">", TimeLimits.RcptTo, "RCPT TO");
            if (ReplyCode > 300 && OnRecipientNotFound) OnRecipientNotFound(entry);
        }
    }
    FPhase = TSmtpPhase::Data;
    refuseAbove(400, Command("DATA", TimeLimits.Data, "DATA"));
    FPhase = TSmtpPhase::Text;
    try {
        WithinLimit(TimeLimits.Transfer, "the header", true, [&] { SendHeaderBlock(); });
        WithinLimit(TimeLimits.Transfer, "the message text", true, [&] { SendStream(MessageStream); });
    } catch (...) {
        // A text cut off in the middle leaves the server inside DATA: any
        // further command would become part of the message. The connection
        // is of no more use.
        DropConnection();
        throw;
    }
    FPhase = TSmtpPhase::EndMark;
    const std::string reply = Command(".", TimeLimits.EndMark, "the end of the message");
    if (ReplyCode >= 400) {
        if (OnFailure) OnFailure(this);
        throw rtl::Exception(reply, rtl::TErrorKind::Refused);
    }
    if (ClearParams) ClearMessageLists();
    FPhase = TSmtpPhase::Ready;
    if (OnSuccess) OnSuccess(this);
}

void TZelSMTP::SendHeaderBlock() {
    // One write of up to 16384 characters carries a normal header; a longer
    // one (very long To or CC lines) goes out in several, so none of it is lost.
    const std::string block = FinalHeader.Text() + "\r\n\r\n";
    constexpr std::size_t kPiece = 16384;
    for (std::size_t at = 0; at < block.size(); at += kPiece) {
        const std::size_t n = std::min(kPiece, block.size() - at);
        SendBuffer(block.data() + at, static_cast<std::uint16_t>(n));
    }
}

void TZelSMTP::Disconnect() {
    Canceled = false;
    if (!Connected) {
        // The server has closed already: QUIT can no longer be sent.
        net::TZelSock::Disconnect();
        FPhase = TSmtpPhase::Idle;
        return;
    }
    FPhase = TSmtpPhase::Quit;
    std::string reply;
    try {
        reply = Command("QUIT", TimeLimits.Quit, "QUIT");
    } catch (const net::ESockError& e) {
        net::TZelSock::Disconnect();
        FPhase = TSmtpPhase::Idle;
        // Stopped by the user (the stop drops the connection) or by the
        // program's end, or closed by the server before it answered: the
        // message was already handed over, so there is nothing to report.
        if (e.Kind == rtl::TErrorKind::ClosedByPeer || e.Kind == rtl::TErrorKind::Stopped) return;
        throw;
    } catch (...) {
        net::TZelSock::Disconnect();
        FPhase = TSmtpPhase::Idle;
        throw;
    }
    net::TZelSock::Disconnect();
    FPhase = TSmtpPhase::Idle;
    if (ReplyCode > 339) throw rtl::Exception(reply, rtl::TErrorKind::Refused);
}

void TZelSMTP::Abort() {
    if (FPhase == TSmtpPhase::Quit) {
        // Waiting for the reply to QUIT: close at once.
        if (Connected) DropConnection();
        return;
    }
    if (Canceled || !Connected) return;
    if (Busy())
        Cancel();
    else
        DropConnection();
}

void TZelSMTP::ClearMessageLists() {
    FPostMessage->ToAddress.Clear();
    FPostMessage->ToCarbonCopy.Clear();
    FPostMessage->ToBlindCarbonCopy.Clear();
    FPostMessage->Attachments.Clear();
}

}  // namespace mail
