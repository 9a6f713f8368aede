// TZelSMTP's reports to the person waiting: the steps of the dialogue, its
// lines for a trace, a port that speaks TLS where plain text was chosen, and
// the server's size limit.
#include "mail/Zelsmtp.h"

#include "net/TlsProbe.h"
#include "rtl/SysUtils.h"

#include <chrono>
#include <iterator>

namespace mail {

namespace {

struct TPhaseRow {
    TSmtpPhase Phase;
    const char* Name;
    bool Told;  // a step a person waits through: OnStep hears of it as it is entered
};

// The commands by what goes on the wire; the rest in words.
constexpr TPhaseRow kPhases[] = {
    {TSmtpPhase::Idle, "idle", false},
    {TSmtpPhase::Connecting, "connecting", true},
    {TSmtpPhase::Greeting, "greeting", false},  // told only when it is late
    {TSmtpPhase::Helo, "HELO", false},
    {TSmtpPhase::Handshake, "TLS handshake", true},
    {TSmtpPhase::Ehlo, "EHLO", false},
    {TSmtpPhase::StartTls, "STARTTLS", false},
    {TSmtpPhase::Auth, "AUTH", true},
    {TSmtpPhase::Ready, "ready", false},
    {TSmtpPhase::Composing, "composing", false},
    {TSmtpPhase::Rset, "RSET", false},
    {TSmtpPhase::MailFrom, "MAIL FROM", false},
    {TSmtpPhase::RcptTo, "RCPT TO", false},
    {TSmtpPhase::Data, "DATA", false},
    {TSmtpPhase::Text, "message text", true},
    {TSmtpPhase::EndMark, ".", false},
    {TSmtpPhase::Quit, "QUIT", false},
};

constexpr bool InOrder() {
    for (std::size_t i = 0; i < std::size(kPhases); ++i)
        if (static_cast<std::size_t>(kPhases[i].Phase) != i) return false;
    return true;
}
static_assert(InOrder() && std::size(kPhases) == static_cast<std::size_t>(TSmtpPhase::Quit) + 1,
              "one row per phase, in the enum's order");

const TPhaseRow& RowOf(TSmtpPhase Phase) {
    const auto at = static_cast<std::size_t>(Phase);
    return kPhases[at < std::size(kPhases) ? at : 0];
}

}  // namespace

const char* PhaseName(TSmtpPhase Phase) { return RowOf(Phase).Name; }

void TZelSMTP::Step(TSmtpPhase Phase) { Step(Phase, RowOf(Phase).Told); }

void TZelSMTP::Step(TSmtpPhase Phase, bool Tell) {
    // The only write of the phase: Abort, the time limits and the dialogue
    // all decide from it, and OnStep hears of nothing it was not set to.
    FPhase = Phase;
    // The masks hold the password: they last as long as the connection that logged in.
    if (Phase == TSmtpPhase::Idle) Secrets.clear();
    if (Tell && OnStep) OnStep(Phase);
}

void TZelSMTP::TraceLine(bool Sent, const std::string& Line) {
    if (!OnDialogue) return;
    if (FPhase != TSmtpPhase::Auth) {
        OnDialogue(Sent, Sent ? Line : Masked(Line));
        return;
    }
    // The login's lines carry the name and the password (base64 is no
    // protection): only the command word, the method and the reply code show.
    std::string shown;
    if (Sent && Line.rfind("AUTH ", 0) == 0) {
        const std::size_t methodEnd = Line.find(' ', 5);
        shown = Line.substr(0, methodEnd) + (methodEnd == std::string::npos ? "" : " ****");
    } else if (Sent) {
        shown = "****";
    } else {
        shown = Line.substr(0, 3) + " ****\r\n";
    }
    OnDialogue(Sent, shown);
}

std::string TZelSMTP::Masked(std::string Line) const {
    // The reply code stays: it is read after this, and a short password must not hide it.
    constexpr std::size_t kCodeEnd = 4;
    for (const std::string& secret : Secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = Line.find(secret, kCodeEnd); at != std::string::npos; at = Line.find(secret, at + 4))
            Line.replace(at, secret.size(), "****");
    }
    return Line;
}

std::uint32_t TZelSMTP::AwaitGreetingOrProbe() {
    if (Security == TSmtpSecurity::ImplicitTls || TimeLimits.GreetingProbe == 0 ||
        (TimeLimits.Greeting != 0 && TimeLimits.GreetingProbe >= TimeLimits.Greeting))
        return 0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto since = [&] {
        return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    while (ReceiveStream.Size() == 0 && Connected && !Canceled && since() < TimeLimits.GreetingProbe) WaitCycle();
    if (ReceiveStream.Size() > 0 || !Connected || Canceled) return since();
    // Silence so far: the usual cause is a port that waits for TLS.
    Step(TSmtpPhase::Greeting, true);
    net::TTlsProbe probe(this);
    probe.TrustFile = TrustFile;
    const bool tls = probe.SpeaksTls(Host, static_cast<std::uint16_t>(Port & 0xFFFF), TimeLimits.TlsProbe,
                                     [this] { return Canceled; });
    if (tls && !Canceled && ReceiveStream.Size() == 0) {
        DropConnection();
        throw rtl::Exception("No greeting; the port answers a TLS ClientHello", rtl::TErrorKind::ServerSpeaksTls);
    }
    return since();
}

void TZelSMTP::RefuseAboveServerSize(std::int64_t TextSize) {
    if (ServerSizeLimit <= 0) return;
    const std::int64_t size = static_cast<std::int64_t>(FinalHeader.Text().size()) + 4 + TextSize + 5;
    if (size <= ServerSizeLimit) return;
    rtl::Exception failure("SIZE " + std::to_string(ServerSizeLimit) + " < " + std::to_string(size),
                           rtl::TErrorKind::TooLarge);
    failure.Size = size;
    failure.Limit = ServerSizeLimit;
    throw failure;
}

}  // namespace mail
