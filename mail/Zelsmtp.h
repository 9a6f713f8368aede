// The SMTP mail client: a socket component holding one mail message, which it
// composes in memory (MIME, base64 attachments) and sends in one dialogue:
// Connect, SubmitMessage, Disconnect. Progress and outcome reach the
// application through events; failures are raised as exceptions.
#pragma once

#include "codec/ZelExtstr.h"
#include "codec/ZelUUE.h"
#include "mail/Composer.h"
#include "mail/PostMessage.h"
#include "net/ZelSock.h"
#include "rtl/Classes.h"

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

// How long each wait for the server may last, in milliseconds (0: no limit).
// The defaults are the SMTP client time-outs of RFC 5321, 4.5.3.2.
struct TSmtpTimeLimits {
    std::uint32_t Greeting = 300000;
    std::uint32_t Helo = 300000;
    std::uint32_t Rset = 300000;
    std::uint32_t MailFrom = 300000;
    std::uint32_t RcptTo = 300000;
    std::uint32_t Data = 120000;
    std::uint32_t Transfer = 180000;  // without any progress while the message text goes out
    std::uint32_t EndMark = 600000;
    std::uint32_t Quit = 300000;
    std::uint32_t Handshake = 300000;  // the TLS handshake
};

// The SMTP port a new mail client uses until it is told another.
inline constexpr std::int32_t kDefaultSmtpPort = 25;

// How the connection to the server is protected.
enum class TSmtpSecurity {
    None,         // plain text, as on port 25
    StartTls,     // plain connect, then STARTTLS before anything else (port 587)
    ImplicitTls,  // TLS from the first byte (port 465)
};

// Where the dialogue stands. Abort, the reply time limits and Disconnect
// decide from it; nothing else keeps a copy.
enum class TSmtpPhase {
    Idle,        // no connection
    Connecting,  // host lookup and TCP connect
    Greeting,
    Helo,
    Handshake,  // TLS, from the start or after STARTTLS
    Ehlo,
    StartTls,
    Auth,
    Ready,       // connected, between sends
    Composing,   // building the message text, before the first command
    Rset,
    MailFrom,
    RcptTo,
    Data,
    Text,     // the header block and the message text going out
    EndMark,  // "." sent, its reply awaited
    Quit,
};

class TZelSMTP : public net::TZelSock {
public:
    explicit TZelSMTP(rtl::TComponent* AOwner);
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
    TMailListReturn OnMailListReturn;  // nothing fires it
    TFileItem OnAttachmentNotFound;
    rtl::THandlerEvent OnAuthenticationFailed;

    // Protection and login. The defaults (none, no login name) give the plain
    // HELO dialogue. The extra trusted certificates are the socket's TrustFile.
    TSmtpSecurity Security = TSmtpSecurity::None;
    std::string LoginName;  // empty: no login
    std::string Password;

    // Time limits of the reply waits; tests shorten them.
    TSmtpTimeLimits TimeLimits;

    // ---- operations ----
    // Opens the connection and completes greeting and HELO.
    void Connect() override;
    // Sends PostMessage over the open connection.
    void SubmitMessage();
    // QUIT, then the socket-level disconnect.
    void Disconnect() override;
    // The stop button: cancels a running operation, or drops an idle connection without QUIT.
    void Abort() override;
    // Drops the connection at once, without QUIT, and forgets what was received.
    void DropConnection();

    // A connect or a submit is under way (the QUIT exchange does not count).
    bool Busy() const;
    TSmtpPhase Phase() const { return FPhase; }
    // The composed message text after the header block, and its boundary.
    rtl::TMemoryStream MessageStream;
    std::string Boundary;

    // The mailbox of a recipient entry: "Name <box>", "prefix:box" or "box".
    static std::string ExtractAddress(const std::string& Entry);
    // Follows continuation lines ("250-...", or a leading blank) to the final line.
    std::string ReadFinalReplyLine(std::string Reply);
    // The same over any source of further lines.
    static std::string FinalReplyLine(std::string Reply, const std::function<std::string()>& NextLine);
    // The attachment name of an entry: the text after its last "/", "\" or ":".
    static std::string AttachmentName(const std::string& Entry) { return TMessageComposer::AttachmentName(Entry); }

    // Rebuilds FinalHeader, MessageStream and Boundary from PostMessage; the
    // first step of every send, public so the text can be inspected.
    void ComposeMessage();

private:
    void ClearMessageLists();
    // The composer, set up with this client's encoding and events.
    TMessageComposer Composer();
    void WriteAttachment(int Index);
    // One command and its whole reply, within a time limit.
    std::string Command(const std::string& Line, std::uint32_t LimitMs, const char* What);
    // Runs Wait with a time limit; expiry drops the connection and raises ESockError.
    template <typename Fn>
    auto WithinLimit(std::uint32_t LimitMs, const char* What, bool ProgressCounts, Fn&& Wait);
    void LimitExpired();
    // WithinLimit for the other files of this class.
    void WithinReplyLimit(std::uint32_t LimitMs, const char* What, const std::function<void()>& Wait);
    void SendHeaderBlock();
    // The protected opening (ZelsmtpSecure.cpp).
    void RefuseLoginInTheClear() const;
    void Handshake();
    // The whole EHLO reply, one line each.
    std::vector<std::string> Ehlo();
    // EHLO, then STARTTLS and EHLO again when chosen, then the login when set.
    void SecureHello();
    void Login(const std::vector<std::vector<std::string>>& Keywords);
    // The reply to MAIL FROM: a refusal raises; 530 without a login says what to set.
    void RefuseMailFrom(const std::string& Reply) const;
    void CheckNoLineBreaks();

    std::unique_ptr<TPostMessage> FPostMessage;
    TSmtpPhase FPhase = TSmtpPhase::Idle;

    std::unique_ptr<net::TThreadTimer> LimitTimer;
    // The running wait was cancelled by its time limit, not by a stop.
    bool LimitExpiredFlag = false;
    bool LimitCountsProgress = false;
    std::int32_t LimitLastBytes = 0;
};

}  // namespace mail
