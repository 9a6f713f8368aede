#include "mail/Zelsmtp.h"

#include "mail/ReplyError.h"
#include "platform/Application.h"
#include "rtl/SysUtils.h"

#include <string_view>

namespace mail {
namespace {

std::string Duration(std::uint32_t ms) {
    if (ms % 1000 != 0) return std::to_string(ms) + " ms";
    return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// The socket's Write ends a line at a zero byte, so its line end would never go out.
void RefuseZeroByte(const char* field, std::string_view text) {
    if (text.find('\0') != std::string_view::npos)
        throw rtl::Exception(rtl::FormatMessage(kMsgZeroByte, field), rtl::TErrorKind::Invalid);
}

void RefuseLineBreak(const char* field, std::string_view text) {
    if (HasLineBreak(text))
        throw rtl::Exception(std::string("The ") + field + " field holds a line break", rtl::TErrorKind::Invalid);
    RefuseZeroByte(field, text);
}

// RFC 5321, 4.5.3.1.4: a command line holds at most 512 octets with its CR LF.
// A longer one would be cut by the socket's Write and sent without a line end.
void RefuseLongCommand(const char* field, const std::string& command) {
    if (command.size() + 2 > 512) throw rtl::Exception(rtl::FormatMessage(kMsgCommandTooLong, field), rtl::TErrorKind::Invalid);
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
    MaxLineLength = kMaxReplyLineBytes;
    OnLine = [this](bool sent, const std::string& line) { TraceLine(sent, line); };
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
    composer.OnEncodeData = OnEncodeData;
    composer.OnAttachmentNotFound = OnAttachmentNotFound;
    composer.EncoderOwner = this;
    composer.Clock = Clock;
    composer.OnProgress = [this] { ComposeProgress(); };
    return composer;
}

void TZelSMTP::ComposeMessage() { Composer().Compose(*FPostMessage, FinalHeader, MessageStream, Boundary); }

std::unique_ptr<TMessageSource> TZelSMTP::OpenMessage() { return Composer().Open(*FPostMessage, FinalHeader, Boundary); }

std::string TZelSMTP::MessageId() const {
    const int at = FinalHeader.IndexOfHeaderName("Message-ID");
    if (at < 0) return std::string();
    const std::string line = FinalHeader[at];
    const auto value = line.find_first_not_of(' ', line.find(':') + 1);
    return value == std::string::npos ? std::string() : line.substr(value);
}

void TZelSMTP::ComposeProgress() {
    // A large attachment takes seconds to encode: the windows, the stop
    // button and the timers get their passes meanwhile.
    PassNowAndThen();
    if (!Canceled) return;
    Canceled = false;
    throw net::EAbortError("Socket send aborted");
}

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
    if (!Busy()) Step(TSmtpPhase::Idle);
}

std::string TZelSMTP::ExtractAddress(const std::string& Entry) {
    if (Entry.find('<') != std::string::npos) return net::ExtractField(net::ExtractField(Entry, '<', 2), '>', 1);
    if (Entry.find(':') != std::string::npos) return net::ExtractField(Entry, ':', 2);
    return Entry;
}

std::string TZelSMTP::FinalReplyLine(std::string Reply, const std::function<std::string()>& NextLine) {
    for (int lines = 1; IsContinuation(Reply); ++lines) {
        if (lines >= kMaxReplyLines)
            throw rtl::Exception(rtl::FormatMessage(kMsgTooManyReplyLines, rtl::IntToStr(kMaxReplyLines)),
                                 rtl::TErrorKind::Protocol);
        Reply = NextLine();
    }
    return Reply;
}

bool TZelSMTP::IsReplyStart(const std::string& Line) {
    const auto digit = [&](std::size_t i, char low, char high) { return Line[i] >= low && Line[i] <= high; };
    if (Line.size() < 3 || !digit(0, '2', '5') || !digit(1, '0', '9') || !digit(2, '0', '9')) return false;
    const std::string_view rest = std::string_view(Line).substr(3);
    return rest.empty() || rest[0] == ' ' || rest[0] == '-' || rest == "\r\n" || rest == "\n";
}

std::string TZelSMTP::ReadReply(std::vector<std::string>* Lines) {
    ReplyCode = 0;
    ReplyLines.clear();
    const std::string first = Masked(ReadLn());
    // Taken as a reply, junk would count as code 0 and pass every refusal test.
    if (!IsReplyStart(first)) throw rtl::Exception(kMsgNotSmtp, rtl::TErrorKind::Protocol);
    LastReply = first;
    // A server may echo the credentials in its answer to a login step.
    if (FPhase != TSmtpPhase::Auth) StatusMessage(1, LastReply);
    ReplyCode = net::ReplyCodeOf(first);
    ReplyLines.push_back(first);
    const std::string last = FinalReplyLine(first, [&] {
        ReplyLines.push_back(Masked(ReadLn()));
        return ReplyLines.back();
    });
    if (Lines != nullptr) *Lines = ReplyLines;
    return last;
}

void TZelSMTP::RefuseReply(const std::string& Message, rtl::TErrorKind Kind, const std::string& Line) const {
    throw ESmtpReplyError(Message, Kind, PhaseName(FPhase), ReplyCodeOfLine(Line), EnhancedStatusOf(Line), ReplyLines);
}

void TZelSMTP::RefuseOutOfStep() {
    // Take what has arrived by now, then judge: bytes before the command
    // would be read as its reply, one step behind the dialogue.
    Win::Application().ProcessMessages();
    if (ReceiveStream.Size() > 0) throw rtl::Exception(kMsgOutOfStep, rtl::TErrorKind::Protocol);
}

std::string TZelSMTP::ReadFinalReplyLine(std::string Reply) {
    return FinalReplyLine(std::move(Reply), [this] { return Masked(ReadLn()); });
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
    } catch (const rtl::Exception& e) {
        // A server that broke the protocol says nothing more of use, QUIT included.
        if (e.Kind == rtl::TErrorKind::Protocol) DropConnection();
        throw;
    }
}

void TZelSMTP::WithinReplyLimit(std::uint32_t LimitMs, const char* What, const std::function<void()>& Wait) {
    WithinLimit(LimitMs, What, false, Wait);
}

std::string TZelSMTP::Command(const std::string& Line, std::uint32_t LimitMs, const char* What,
                              std::vector<std::string>* Lines) {
    // Every reply is read whole: the lines of a multi-line reply left unread
    // would be taken as the replies to the commands that follow. The end mark
    // is no command: an answer that came during the text answers it.
    return WithinLimit(LimitMs, What, false, [&] {
        StatusMessage(8, "Transaction");
        if (FPhase != TSmtpPhase::EndMark) RefuseOutOfStep();
        Writeln(Line);
        return ReadReply(Lines);
    });
}

// ---- session ----

void TZelSMTP::Connect() { Open(TSmtpLogin{}); }

void TZelSMTP::Connect(const TSmtpConnection& Connection) {
    // A press during a send must not change the connection under it; the
    // dialogue refuses the second connect itself.
    if (!Busy() && !Connected) {
        Host = Connection.Host;
        Port = Connection.Port;
        Security = Connection.Security;
        TrustFile = Connection.TrustFile;
        UserID = Connection.UserID;
        if (Connection.Limits) TimeLimits = *Connection.Limits;
    }
    Open(Connection.Login);
}

void TZelSMTP::Open(const TSmtpLogin& Login) {
    WithLogin = !Login.Empty();
    // Connect also runs inside a submit that found no connection; it then
    // hands the phase back to that submit.
    const TSmtpPhase outer = FPhase;
    const bool nested = Busy();
    const auto settle = [&] { Step(nested ? outer : (Connected ? TSmtpPhase::Ready : TSmtpPhase::Idle)); };
    Step(TSmtpPhase::Connecting);
    ServerSizeLimit = 0;  // a HELO dialogue announces nothing
    ServerAuthMethods.clear();
    // The socket's TimeOut, when set, bounds the lookup and the connect each
    // on its own (up to twice it in all); else the client's own limit does.
    struct RestoreTimeOut {
        std::int32_t& Field;
        const std::int32_t Value;
        ~RestoreTimeOut() { Field = Value; }
    } restore{TimeOut, TimeOut};
    try {
        RefuseLineBreak("UserID", UserID);
        RefuseLoginInTheClear(Login);
        RefuseLongLogin(Login);
        RefuseLongCommand("UserID", "HELO " + UserID);
        if (TimeOut == 0) TimeOut = rtl::RangeChecked<std::int32_t>(TimeLimits.Connect);
        net::TZelSock::Connect();
    } catch (...) {
        settle();
        throw;
    }
    try {
        if (Security == TSmtpSecurity::ImplicitTls) Handshake();
        Step(TSmtpPhase::Greeting);
        const std::uint32_t waited = AwaitGreetingOrProbe();
        const std::uint32_t rest = TimeLimits.Greeting == 0 ? 0 : std::max<std::uint32_t>(TimeLimits.Greeting - waited, 1);
        const std::string greeting = WithinLimit(rest, "the greeting", false, [&] { return ReadReply(); });
        if (ReplyCode >= 400) RefuseReply(greeting, rtl::TErrorKind::Refused, greeting);
        if (Security != TSmtpSecurity::None)
            SecureHello(Login);
        else
            Step(TSmtpPhase::Helo);
        for (int attempts = 0; Security == TSmtpSecurity::None; ++attempts) {
            // Again: the authentication-failed handler may have changed it.
            RefuseLineBreak("UserID", UserID);
            RefuseLongCommand("UserID", "HELO " + UserID);
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

void TZelSMTP::CheckFields() {
    // A line break in any of these would put extra commands or header lines on the wire.
    const TPostMessage& m = *FPostMessage;
    RefuseLineBreak("FromAddress", m.FromAddress);
    RefuseLongCommand("FromAddress", "MAIL FROM:<" + m.FromAddress + ">");
    RefuseLineBreak("FromName", m.FromName);
    RefuseLineBreak("Subject", m.Subject);
    RefuseLineBreak("ReplyTo", m.ReplyTo);
    RefuseLineBreak("Date", m.Date);
    RefuseLineBreak("LocalProgram", m.LocalProgram);
    for (const auto* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy})
        for (const auto& entry : *list) {
            RefuseLineBreak("recipient", entry);
            const std::string address = ExtractAddress(entry);
            if (!address.empty()) RefuseLongCommand("recipient", "RCPT TO:<" + address + ">");
        }
    for (const auto& entry : m.Attachments) {
        RefuseLineBreak("attachment name", AttachmentName(entry));
        RefuseZeroByte("attachment", entry);  // the file opened would be another one, named by the text before it
    }
}

void TZelSMTP::SubmitMessage(TRefusedRecipient Refused) {
    if (Busy()) return;
    Step(TSmtpPhase::Composing);
    // However the submit ends, the phase follows the connection, and the
    // composed text (as large as the attachments and more) is let go.
    struct Settle {
        TZelSMTP& Client;
        ~Settle() {
            Client.MessageStream.Clear();
            Client.Step(Client.Connected ? TSmtpPhase::Ready : TSmtpPhase::Idle);
        }
    } settle{*this};
    TPostMessage& m = *FPostMessage;
    EndMarkReply.clear();
    CheckFields();
    // The text is composed while it goes out; its size and its files are settled now.
    const std::unique_ptr<TMessageSource> text = Composer().Open(*FPostMessage, FinalHeader, Boundary);
    MessageSize = static_cast<std::int64_t>(FinalHeader.Text().size() + 4) + text->Size();
    ComposeProgress();  // a stop before the first command
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
    CheckFields();  // the handler may have changed the envelope
    if (OnSendStart) OnSendStart(this);

    const auto refuseAbove = [this](std::int16_t limit, const std::string& reply) {
        if (ReplyCode >= limit) RefuseReply(reply, rtl::TErrorKind::Refused, reply);
    };
    Step(TSmtpPhase::Rset);
    const std::string rset = Command("RSET", TimeLimits.Rset, "RSET");
    RefuseUnprotected(rset);
    refuseAbove(400, rset);
    RefuseAboveServerSize(text->Size());
    Step(TSmtpPhase::MailFrom);
    RefuseMailFrom(Command("MAIL FROM:<" + m.FromAddress + ">", TimeLimits.MailFrom, "MAIL FROM"));
    Step(TSmtpPhase::RcptTo);
    for (rtl::TStringList* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy}) {
        const int count = list->Count();
        for (int i = 0; i < count && i < list->Count(); ++i) {
            const std::string entry = (*list)[i];
            const std::string address = ExtractAddress(entry);
            if (address.empty()) continue;
            Command("RCPT TO:<" + address + ">", TimeLimits.RcptTo, "RCPT TO");
            if (ReplyCode <= 300) continue;
            if (OnRecipientNotFound) OnRecipientNotFound(entry);
            if (Refused == TRefusedRecipient::Stop) {
                // Before DATA: its "503 need RCPT" would hide the cause.
                ESmtpReplyError refusal(LastReply, rtl::TErrorKind::RecipientRefused, PhaseName(FPhase),
                                        ReplyCodeOfLine(LastReply), EnhancedStatusOf(LastReply), ReplyLines);
                refusal.Subject = entry;
                throw refusal;
            }
        }
    }
    Step(TSmtpPhase::Data);
    refuseAbove(400, Command("DATA", TimeLimits.Data, "DATA"));
    Step(TSmtpPhase::Text);
    try {
        WithinLimit(TimeLimits.Transfer, "the header", true, [&] { SendHeaderBlock(); });
        WithinLimit(TimeLimits.Transfer, "the message text", true, [&] { SendStream(*text); });
    } catch (...) {
        // A text cut off in the middle leaves the server inside DATA: any
        // further command would become part of the message. The connection
        // is of no more use.
        DropConnection();
        throw;
    }
    Step(TSmtpPhase::EndMark);
    std::string reply;
    try {
        reply = Command(".", TimeLimits.EndMark, "the end of the message");
    } catch (const rtl::Exception& e) {
        // The whole message and its end mark went out: the server may hold
        // it already. Reported as a plain failure, it would be sent twice.
        DropConnection();
        throw EMaybeDelivered(kMsgMaybeDelivered, e.Kind);
    }
    EndMarkReply = reply.substr(0, reply.find_last_not_of("\r\n") + 1);
    if (ReplyCode >= 400) {
        if (OnFailure) OnFailure(this);
        RefuseReply(reply, ReplyCode == 552 ? rtl::TErrorKind::TooLarge : rtl::TErrorKind::Refused, reply);
    }
    if (ClearParams) ClearMessageLists();
    Step(TSmtpPhase::Ready);
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
        Step(TSmtpPhase::Idle);
        return;
    }
    Step(TSmtpPhase::Quit);
    std::string reply;
    try {
        reply = Command("QUIT", TimeLimits.Quit, "QUIT");
    } catch (const rtl::Exception& e) {
        net::TZelSock::Disconnect();
        Step(TSmtpPhase::Idle);
        // Stopped by the user (the stop drops the connection) or by the
        // program's end, closed by the server before it answered, or answered
        // with junk: the message was already handed over, so there is nothing
        // to report.
        if (e.Kind == rtl::TErrorKind::ClosedByPeer || e.Kind == rtl::TErrorKind::Stopped ||
            e.Kind == rtl::TErrorKind::Protocol)
            return;
        throw;
    } catch (...) {
        net::TZelSock::Disconnect();
        Step(TSmtpPhase::Idle);
        throw;
    }
    net::TZelSock::Disconnect();
    Step(TSmtpPhase::Idle);
    if (ReplyCode > 339)
        throw ESmtpReplyError(reply, rtl::TErrorKind::Refused, PhaseName(TSmtpPhase::Quit), ReplyCodeOfLine(reply),
                              EnhancedStatusOf(reply), ReplyLines);
}

void TZelSMTP::Abort() {
    if (FPhase == TSmtpPhase::Quit) {
        // Waiting for the reply to QUIT: close at once.
        if (Connected) DropConnection();
        return;
    }
    // A lookup, connect or composition under way has no connection to drop
    // (or none in use yet): its wait ends at the stop.
    if (FPhase == TSmtpPhase::Connecting || FPhase == TSmtpPhase::Composing) {
        if (!Canceled) Cancel();
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
