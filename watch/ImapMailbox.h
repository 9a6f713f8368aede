// The confirmation watch's view of the user's mailbox: one small interface,
// so the IMAP library behind it can change without touching the watch. The
// mailbox is only ever read: opened with EXAMINE, messages fetched with
// BODY.PEEK, so no flag of the user's mail changes.
#pragma once

#include "rtl/SysUtils.h"
#include "watch/DeliveryReport.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace watch {

enum class TImapSecurity { StartTls, ImplicitTls };  // never in the clear

struct TImapSettings {
    std::string Server;
    int Port = 143;
    TImapSecurity Security = TImapSecurity::StartTls;
    std::string Login;     // UTF-8
    std::string Password;  // UTF-8; never written anywhere
    std::string Folder = "INBOX";
    std::string TrustFile;  // extra authorities (PEM), as for the SMTP server
    int WaitSeconds = 30;   // the limit of every single wait on the server
    std::chrono::steady_clock::time_point Deadline{};  // the end of the whole run, if any: no wait goes past it
};

// One message of the mailbox as the matching reads it.
struct TAnswer {
    std::uint32_t Uid = 0;
    std::int64_t Arrived = 0;  // the server's arrival time (INTERNALDATE), seconds since 1970 UTC
    std::string From;          // the sender's address (local@domain)
    std::string Subject;       // decoded, UTF-8
    std::string MessageId;     // without angle brackets
    std::string InReplyTo;     // without angle brackets
    std::vector<std::string> References;
    std::string AuthenticationResults;  // the topmost such header: the one the last server (the user's own) added
    std::string Text;  // the beginning of the text, decoded, UTF-8
    std::string ContentType;  // the header's value
    std::optional<TDeliveryReport> Report;  // a bounce: what it says
};

// Where a mailbox operation failed; the kind says how, the message holds the
// server's own words or the TLS failure (GB2312), never the password.
enum class TImapStage { Connect, Secure, Login, Folder, Read };

class EImapError : public rtl::Exception {
public:
    EImapError(TImapStage Stage, rtl::TErrorKind Kind, std::string Detail)
        : rtl::Exception(std::move(Detail), Kind), Stage(Stage) {}
    TImapStage Stage;
};

class TImapMailbox {
public:
    virtual ~TImapMailbox() = default;

    // Connects, protects the connection, logs in and examines the folder.
    // Raises EImapError; of kind Invalid, before connecting, when the login,
    // the password or the folder holds a control character (it could end
    // the command and start another).
    virtual void Open(const TImapSettings& Settings) = 0;
    // The next page (a few hundred at most) of the messages that arrived on
    // or after the day of Since (UTC) with a UID above AfterUid, in the order
    // of their UIDs; empty when there are no more. Call again with the
    // highest UID returned. Raises EImapError; of kind Protocol when the
    // server's FETCH data lacks what was asked for.
    virtual std::vector<TAnswer> Fetch(std::int64_t Since, std::uint32_t AfterUid) = 0;
    // Identifies the folder's UIDs: they change meaning when it changes.
    virtual std::uint32_t UidValidity() const = 0;
    // The server tells of new mail at once (IDLE).
    virtual bool OffersIdle() const = 0;
    // Waits at most Seconds for news: IDLE where the server offers it, else
    // simply the time. False when stopped. Raises EImapError.
    virtual bool WaitForNews(int Seconds) = 0;
    // Any thread: every wait ends soon, and Open, Fetch and WaitForNews raise
    // (kind Stopped) from then on.
    virtual void Stop() = 0;
    // Logs out politely (bounded) and disconnects.
    virtual void Close() = 0;
};

// The libetpan client over our own TLS session.
std::unique_ptr<TImapMailbox> MakeImapMailbox();

}  // namespace watch
