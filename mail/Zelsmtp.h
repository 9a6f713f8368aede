// The SMTP mail client: a socket component holding one mail message, which it
// composes (MIME, base64 attachments) while it sends it in one dialogue:
// Connect, SubmitMessage, Disconnect. Progress and outcome reach the
// application through events; failures are raised as exceptions.
#pragma once

#include "codec/ZelExtstr.h"
#include "codec/ZelUUE.h"
#include "mail/Composer.h"
#include "mail/PostMessage.h"
#include "mail/Smtp.h"
#include "mail/SmtpConnection.h"
#include "net/ZelSock.h"
#include "rtl/Classes.h"
#include "rtl/Text.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mail {

enum TSubType { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

// hiType: 1 no sender, 2 no recipient.
using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;
using TMailListReturn = std::function<void(const std::string& MailAddress)>;

// Failures of the dialogue shown to the user (GB2312), raised as exceptions:
// no final full stop, the outer handler adds one.
// A reply that does not start with a reply code (kind Protocol).
// "服务器的应答不符合SMTP协议，连接已断开"
inline constexpr char kMsgNotSmtp[] =
    "\xb7\xfe\xce\xf1\xc6\xf7\xb5\xc4\xd3\xa6\xb4\xf0\xb2\xbb\xb7\xfb\xba\xcfSMTP\xd0\xad\xd2\xe9\xa3\xac"
    "\xc1\xac\xbd\xd3\xd2\xd1\xb6\xcf\xbf\xaa";
// A reply of more than kMaxReplyLines lines (kind Protocol); %s is the bound.
// "服务器的应答超过了 %s 行，不是正常的应答，连接已断开"
inline constexpr char kMsgTooManyReplyLines[] =
    "\xb7\xfe\xce\xf1\xc6\xf7\xb5\xc4\xd3\xa6\xb4\xf0\xb3\xac\xb9\xfd\xc1\xcb %s \xd0\xd0\xa3\xac\xb2\xbb\xca\xc7"
    "\xd5\xfd\xb3\xa3\xb5\xc4\xd3\xa6\xb4\xf0\xa3\xac\xc1\xac\xbd\xd3\xd2\xd1\xb6\xcf\xbf\xaa";
// Reply bytes already waiting when a command is to go out (kind Protocol).
// "服务器在本程序发出命令之前就发来了应答，对话已经错位，连接已断开"
inline constexpr char kMsgOutOfStep[] =
    "\xb7\xfe\xce\xf1\xc6\xf7\xd4\xda\xb1\xbe\xb3\xcc\xd0\xf2\xb7\xa2\xb3\xf6\xc3\xfc\xc1\xee\xd6\xae\xc7\xb0"
    "\xbe\xcd\xb7\xa2\xc0\xb4\xc1\xcb\xd3\xa6\xb4\xf0\xa3\xac\xb6\xd4\xbb\xb0\xd2\xd1\xbe\xad\xb4\xed\xce\xbb\xa3\xac"
    "\xc1\xac\xbd\xd3\xd2\xd1\xb6\xcf\xbf\xaa";
// The end mark went out and its reply did not come (stop, time limit, close,
// a broken reply); the kind is the cause's.
// "传真已全部发出，但没有收到服务器的确认：服务器可能已经收下了这份传真。重新发送之前，请先检查您的邮箱，以免重复发送"
inline constexpr char kMsgMaybeDelivered[] =
    "\xb4\xab\xd5\xe6\xd2\xd1\xc8\xab\xb2\xbf\xb7\xa2\xb3\xf6\xa3\xac\xb5\xab\xc3\xbb\xd3\xd0\xca\xd5\xb5\xbd"
    "\xb7\xfe\xce\xf1\xc6\xf7\xb5\xc4\xc8\xb7\xc8\xcf\xa3\xba\xb7\xfe\xce\xf1\xc6\xf7\xbf\xc9\xc4\xdc\xd2\xd1\xbe\xad"
    "\xca\xd5\xcf\xc2\xc1\xcb\xd5\xe2\xb7\xdd\xb4\xab\xd5\xe6\xa1\xa3\xd6\xd8\xd0\xc2\xb7\xa2\xcb\xcd\xd6\xae\xc7\xb0"
    "\xa3\xac\xc7\xeb\xcf\xc8\xbc\xec\xb2\xe9\xc4\xfa\xb5\xc4\xd3\xca\xcf\xe4\xa3\xac\xd2\xd4\xc3\xe2\xd6\xd8\xb8\xb4"
    "\xb7\xa2\xcb\xcd";
// A field holding a zero byte (kind Invalid); %s names the field.
// "%s 字段含有零字节，无法发送"
inline constexpr char kMsgZeroByte[] =
    "%s \xd7\xd6\xb6\xce\xba\xac\xd3\xd0\xc1\xe3\xd7\xd6\xbd\xda\xa3\xac\xce\xde\xb7\xa8\xb7\xa2\xcb\xcd";
// A field that makes its command line longer than 512 octets (kind Invalid); %s names the field.
// "%s 字段太长：SMTP命令行最多只能有512个字节"
inline constexpr char kMsgCommandTooLong[] =
    "%s \xd7\xd6\xb6\xce\xcc\xab\xb3\xa4\xa3\xbaSMTP\xc3\xfc\xc1\xee\xd0\xd0\xd7\xee\xb6\xe0\xd6\xbb\xc4\xdc\xd3\xd0"
    "512\xb8\xf6\xd7\xd6\xbd\xda";

class TZelSMTP : public net::TZelSock {
public:
    explicit TZelSMTP(rtl::TComponent* AOwner);
    // As a form holds it: its status reports from ReportLevel up only (0: none).
    TZelSMTP(rtl::TComponent* AOwner, std::int32_t AReportLevel) : TZelSMTP(AOwner) { ReportLevel = AReportLevel; }
    ~TZelSMTP() override;

    // ---- published ----
    // Inherited and published here: OnPacketSent (after each piece of the
    // message text) and OnConnectionRequired (asked when a send finds no connection).
    // Fires once Connect has completed with an accepted HELO; hides the socket's own.
    rtl::TNotifyEvent OnConnect;
    std::string UserID;
    TPostMessage& PostMessage() { return *FPostMessage; }
    // Adopts the given message; the one held before is freed.
    void SetPostMessage(std::unique_ptr<TPostMessage> Value);
    codec::TExStringList FinalHeader;
    codec::UUMethods EncodeType = codec::uuMime;
    // The date and Message-ID source of the messages sent through this client.
    const TMessageClock* Clock = &SystemClock();
    bool ClearParams = true;
    TSubType SubType = mtPlain;  // stored only: the text always goes out as text/plain
    TRecipientNotFound OnRecipientNotFound;
    THeaderInComplete OnHeaderIncomplete;
    rtl::TNotifyEvent OnSendStart;
    rtl::TNotifyEvent OnSuccess;
    rtl::TNotifyEvent OnFailure;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileData OnEncodeData;
    TMailListReturn OnMailListReturn;  // nothing fires it
    TFileItem OnAttachmentNotFound;
    rtl::THandlerEvent OnAuthenticationFailed;

    // The protection of the next connection. The default (none) with no
    // login gives the plain HELO dialogue. The extra trusted certificates are
    // the socket's TrustFile. Connect(Connection) sets both.
    TSmtpSecurity Security = TSmtpSecurity::None;

    // Time limits of the reply waits; tests shorten them.
    TSmtpTimeLimits TimeLimits;

    // What the last EHLO announced: the SIZE limit in bytes (0: none) and
    // the AUTH methods. A message larger than the limit is refused before
    // MAIL FROM (kind TooLarge, Size and Limit set).
    std::int64_t ServerSizeLimit = 0;
    std::vector<std::string> ServerAuthMethods;
    // Each line of the dialogue, as it goes out (Sent) or comes in; AUTH
    // commands and their replies arrive masked. For --verbose.
    std::function<void(bool Sent, const std::string& Line)> OnDialogue;
    // The dialogue reached a step a person waits for: connecting, the TLS
    // handshake, the login, the message going out; or the greeting is late.
    std::function<void(TSmtpPhase Phase)> OnStep;

    // ---- operations ----
    // Every failure is an rtl::Exception by its kind; a reply that refused a
    // command is an ESmtpReplyError (mail/ReplyError.h) with its values.
    // A stop is net::EAbortError (Stopped), an expired reply limit
    // net::ESockError (TimedOut).

    // Opens the connection and completes greeting and HELO (or EHLO, STARTTLS
    // and the login). Raises: Invalid (a field or the login unfit to send,
    // a login without protection), the socket's LookupFailed,
    // ConnectionRefused, Unreachable, ClosedByPeer; ServerSpeaksTls; the TLS
    // kinds; Protocol; reply errors Refused (greeting, EHLO), StartTlsRefused,
    // LoginRefused, LoginUnavailable, MechanismTooWeak, EncryptionRequired;
    // Refused "Authentication failed" (HELO, no reply values).
    void Connect() override;
    // The same with a whole connection: host, port, protection, trusted
    // certificates, HELO name and the time limits are put on the component,
    // the login is used for this connection only and never kept.
    void Connect(const TSmtpConnection& Connection);
    // What a refused RCPT TO does after OnRecipientNotFound: the dialogue
    // goes on, or the send ends with a reply error RecipientRefused whose
    // Subject is the recipient entry.
    enum class TRefusedRecipient { GoOn, Stop };
    // Sends PostMessage over the open connection (connecting through
    // OnConnectionRequired when there is none). Raises: Invalid (a field),
    // EFOpenError (an attachment), "Incomplete Header", "Not Connected", what
    // Connect raises; TooLarge (the server's SIZE, with Size and Limit);
    // reply errors Refused (RSET, DATA, the end mark), EncryptionRequired
    // (RSET, MAIL FROM), LoginRequired, TooLarge, SenderRefused (MAIL FROM),
    // RecipientRefused (RCPT TO, with Stop), TooLarge (the end mark);
    // EMaybeDelivered once the end mark went out without its reply.
    void SubmitMessage(TRefusedRecipient Refused = TRefusedRecipient::GoOn);
    // QUIT, then the socket-level disconnect. Raises a reply error Refused
    // (QUIT refused); TimedOut; nothing for a close, a stop or junk after QUIT.
    void Disconnect() override;
    // The stop button: cancels a running operation, or drops an idle connection without QUIT.
    // Raises nothing.
    void Abort() override;
    // Drops the connection at once, without QUIT, and forgets what was received.
    // Raises nothing.
    void DropConnection();

    // A connect or a submit is under way (the QUIT exchange does not count).
    bool Busy() const;
    TSmtpPhase Phase() const { return FPhase; }
    // The message text after the header block as ComposeMessage builds it
    // (a send composes it while it goes out, and leaves this empty), and its boundary.
    rtl::TMemoryStream MessageStream;
    std::string Boundary;
    // The Message-ID of the message last composed ("<...>"), empty without one.
    std::string MessageId() const;
    // Bytes after DATA of the message last composed (header block and text, without the end mark).
    std::int64_t MessageSize = 0;
    // The server's final reply line to the end of the last message, without its
    // line end ("" until one came): it usually names the server's queue id.
    std::string EndMarkReply;

    // The mailbox of a recipient entry: "Name <box>", "prefix:box" or "box".
    static std::string ExtractAddress(const std::string& Entry);
    // Follows continuation lines ("250-...", or a leading blank) to the final line.
    // Raises what FinalReplyLine and the socket's ReadLn raise.
    std::string ReadFinalReplyLine(std::string Reply);
    // The same over any source of further lines. A reply of more than
    // kMaxReplyLines lines raises rtl::Exception (kind Protocol).
    static std::string FinalReplyLine(std::string Reply, const std::function<std::string()>& NextLine);
    // The first line of a reply as SMTP has it: three digits, the first 2 to
    // 5, then a blank, a hyphen or the line end.
    static bool IsReplyStart(const std::string& Line);
    // The attachment name of an entry: the text after its last "/", "\" or ":".
    static std::string AttachmentName(const std::string& Entry) { return TMessageComposer::AttachmentName(Entry); }

    // Rebuilds FinalHeader, MessageStream and Boundary from PostMessage, the
    // text a send would compose, so that it can be inspected. Raises
    // EFOpenError (an attachment), TooLarge (a text beyond the composer's
    // bound), EAbortError (stopped).
    void ComposeMessage();
    // The same text composed as it is read, its size known and every
    // attachment opened now: what the send would put after the header block.
    // Raises EFOpenError (an attachment), TooLarge.
    std::unique_ptr<TMessageSource> OpenMessage();

private:
    void ClearMessageLists();
    // The composer, set up with this client's encoding and events.
    TMessageComposer Composer();
    // One command and its whole reply, within a time limit; Lines, when
    // given, receives every line of the reply.
    std::string Command(const std::string& Line, std::uint32_t LimitMs, const char* What,
                        std::vector<std::string>* Lines = nullptr);
    // One whole reply, its first line judged before anything is taken from
    // it; sets LastReply and ReplyCode from the first line, returns the final one.
    std::string ReadReply(std::vector<std::string>* Lines = nullptr);
    // Reply bytes waiting before a command: the server is out of step.
    void RefuseOutOfStep();
    // Between pieces of the composition: the loop's pass, and the stop.
    void ComposeProgress();
    // Runs Wait with a time limit; expiry drops the connection and raises ESockError.
    template <typename Fn>
    auto WithinLimit(std::uint32_t LimitMs, const char* What, bool ProgressCounts, Fn&& Wait);
    void LimitExpired();
    // WithinLimit for the other files of this class.
    void WithinReplyLimit(std::uint32_t LimitMs, const char* What, const std::function<void()>& Wait);
    void SendHeaderBlock();
    // The one writer of the phase. OnStep hears of the phases a person
    // waits through as they are entered, and of a greeting once it is late (Tell).
    void Step(TSmtpPhase Phase);
    void Step(TSmtpPhase Phase, bool Tell);
    // Raises the reply error of the current phase's command; Line is the
    // reply line Message shows (code and enhanced status are read from it).
    [[noreturn]] void RefuseReply(const std::string& Message, rtl::TErrorKind Kind, const std::string& Line) const;
    // OnDialogue with the login's lines masked.
    void TraceLine(bool Sent, const std::string& Line);
    // A reply line with the login's secrets (the password, its base64 forms
    // as PLAIN and LOGIN sent them) replaced by "****": a server may echo
    // them in any later reply, and replies are shown, raised and stored.
    std::string Masked(std::string Line) const;
    std::vector<std::string> Secrets;
    // The open connection logged in: a 530 to MAIL FROM then asks for nothing the user can set.
    bool WithLogin = false;
    // Waits up to GreetingProbe for the greeting's first byte; when none came,
    // asks whether the port speaks TLS and raises ServerSpeaksTls if it does.
    // Returns the ms waited.
    std::uint32_t AwaitGreetingOrProbe();
    // A message whose text after the header holds TextSize bytes, larger
    // than the server's SIZE: kind TooLarge.
    void RefuseAboveServerSize(std::int64_t TextSize);
    // Connect's dialogue, with the login of this connection (empty: none).
    void Open(const TSmtpLogin& Login);
    // The protected opening (ZelsmtpSecure.cpp).
    void RefuseLoginInTheClear(const TSmtpLogin& Login) const;
    // A login line longer than a server must take (RFC 4954), before connecting.
    void RefuseLongLogin(const TSmtpLogin& Login) const;
    void Handshake();
    // The whole EHLO reply, one line each.
    std::vector<std::string> Ehlo();
    // EHLO, then STARTTLS and EHLO again when chosen, then the login when set.
    void SecureHello(const TSmtpLogin& Login);
    void LogIn(const std::vector<std::vector<std::string>>& Keywords, const TSmtpLogin& Login);
    // The reply to MAIL FROM: a refusal raises; 530 without a login says what to set.
    void RefuseMailFrom(const std::string& Reply) const;
    // A 530 that asks for TLS on an unprotected connection (kind EncryptionRequired).
    void RefuseUnprotected(const std::string& Reply) const;
    // Refuses, before the first command, what would put extra lines on the
    // wire or be cut by the socket: line breaks, zero bytes, overlong commands.
    void CheckFields();

    std::unique_ptr<TPostMessage> FPostMessage;
    TSmtpPhase FPhase{TSmtpPhase::Idle};
    // Every line of the last reply, masked, for the reply errors.
    std::vector<std::string> ReplyLines;

    std::unique_ptr<net::TThreadTimer> LimitTimer;
    // The running wait was cancelled by its time limit, not by a stop.
    bool LimitExpiredFlag = false;
    bool LimitCountsProgress = false;
    std::int32_t LimitLastBytes = 0;
};

// The phase by name, as traces and tests print it: the command for the
// command phases ("MAIL FROM", "." for the end mark), else in words.
const char* PhaseName(TSmtpPhase Phase);

}  // namespace mail
