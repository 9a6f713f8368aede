#include "app/ConnectionCheck.h"

#include "app/FailureText.h"
#include "app/GbText.h"
#include "app/MailClient.h"
#include "app/Messages.h"
#include "app/SendRequest.h"
#include "fax/Dispatch.h"

#include <QStringList>

#include <algorithm>

#include <utility>
#include <vector>

namespace app {
namespace {

using Kind = rtl::TErrorKind;
using mail::TSmtpSecurity;

// Failures another port or protection may mend; a wrong name or password is
// the same on every port.
bool AnotherPortMayHelp(Kind kind) {
    switch (kind) {
        case Kind::ConnectionRefused:
        case Kind::Unreachable:
        case Kind::TimedOut:
        case Kind::ClosedByPeer:
        case Kind::ServerSpeaksTls:
        case Kind::TlsNotTls:
        case Kind::Tls:
        case Kind::StartTlsRefused:
        case Kind::Protocol:
        case Kind::EncryptionRequired:
        case Kind::MechanismTooWeak:
        case Kind::Other: return true;
        default: return false;
    }
}

// A failure of the protection itself: a certificate, a handshake, a STARTTLS
// the server no longer offers or refuses. Someone on the path may cause it to
// make the client fall back, so nothing weaker is tried after it.
bool TlsReason(Kind kind) { return rtl::IsTlsKind(kind) || kind == Kind::StartTlsRefused; }

// Either TLS protects the whole dialogue (the client never goes on without
// STARTTLS): only plain text is weaker.
int Strength(TSmtpSecurity security) { return security == TSmtpSecurity::None ? 0 : 1; }

QString Megabytes(std::int64_t bytes) { return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1); }

}  // namespace

QString SecurityLabel(TSmtpSecurity security) {
    switch (security) {
        case TSmtpSecurity::StartTls: return QStringLiteral("STARTTLS");
        case TSmtpSecurity::ImplicitTls: return QStringLiteral("SSL/TLS");
        case TSmtpSecurity::None: break;
    }
    return QString::fromUtf8("无");
}

QString SecurityOption(TSmtpSecurity security) {
    switch (security) {
        case TSmtpSecurity::StartTls: return QStringLiteral("starttls");
        case TSmtpSecurity::ImplicitTls: return QStringLiteral("tls");
        case TSmtpSecurity::None: break;
    }
    return QStringLiteral("none");
}

void TConnectionCheck::Abort() {
    Stopped = true;
    if (Current != nullptr) Current->Abort();
}

bool TConnectionCheck::Attempt(const TSendSettings& settings, const QString& password, bool report) {
    std::unique_ptr<mail::TZelSMTP> client = MakeWindowMailClient();
    fax::TSendRequest request = ConnectionOf(settings, password);
    request.Server = rtl::TGbText(ToGb(settings.Server));
    request.Email = rtl::TGbText(ToGb(settings.Email));
    mail::TSmtpConnection connection = fax::SmtpConnectionOf(request);
    if (connection.UserID.empty()) connection.UserID = "faxmail";
    const TServerTarget target{settings.Server, settings.Port, CommandLine};
    client->OnStep = [&](mail::TSmtpPhase phase) {
        const QString text = StepText(phase, target, client->TimeLimits.Greeting);
        if (!text.isEmpty() && OnStatus) OnStatus(text);
    };
    if (Prepare) Prepare(connection, *client);
    Current = client.get();
    struct Done {
        mail::TZelSMTP*& Current;
        ~Done() { Current = nullptr; }
    } done{Current};
    const auto say = [&](const QString& line) {
        if (report && OnReport) OnReport(line);
    };
    try {
        client->Connect(connection);
        say(Msg(TMsg::CheckConnected, {settings.Server, QString::number(settings.Port)}));
        if (settings.Security != TSmtpSecurity::None) {
            say(Msg(TMsg::CheckTls, {SecurityLabel(settings.Security)}));
            say(Msg(TMsg::CheckCertificate));
        }
        say(settings.LoginName.isEmpty() ? Msg(TMsg::CheckNoLogin) : Msg(TMsg::CheckLogin, {settings.LoginName}));
        if (settings.Security != TSmtpSecurity::None) {
            say(client->ServerSizeLimit > 0 ? Msg(TMsg::CheckSize, {Megabytes(client->ServerSizeLimit)})
                                            : Msg(TMsg::CheckNoSize));
            QStringList methods;
            for (const auto& method : client->ServerAuthMethods) methods << QString::fromStdString(method);
            if (!methods.isEmpty()) say(Msg(TMsg::CheckAuth, {methods.join(' ')}));
        }
        client->Disconnect();
        say(Msg(TMsg::CheckPassed));
        return true;
    } catch (const rtl::EAbort&) {
        throw;
    } catch (const std::exception& e) {
        client->DropConnection();
        const auto* failure = dynamic_cast<const rtl::Exception*>(&e);
        LastKind = failure != nullptr ? failure->Kind : Kind::Other;
        if (report) {
            Failure = ExplainFailure(e, target);
            Status = ExitStatusOf(e);
        }
        return false;
    }
}

bool TConnectionCheck::Run(const TSendSettings& settings, const QString& password) {
    Stopped = false;
    Failure.clear();
    Status = kExitSent;
    Alternative.reset();
    AlternativesTried = false;
    if (Attempt(settings, password, true)) return true;
    if (Stopped || !AnotherPortMayHelp(LastKind)) return false;
    // The weakest protection still worth a try: none below one that failed for a TLS reason.
    int floor = TlsReason(LastKind) ? Strength(settings.Security) : 0;
    // The other protections on the same port first (the usual mix-up), then
    // the usual pairs, as mail programs try them when an account is set up.
    std::vector<std::pair<int, TSmtpSecurity>> candidates;
    for (const TSmtpSecurity security : {TSmtpSecurity::StartTls, TSmtpSecurity::ImplicitTls, TSmtpSecurity::None})
        candidates.emplace_back(settings.Port, security);
    candidates.insert(candidates.end(),
                      {{587, TSmtpSecurity::StartTls}, {465, TSmtpSecurity::ImplicitTls}, {25, TSmtpSecurity::None}});
    std::vector<std::pair<int, TSmtpSecurity>> tried{{settings.Port, settings.Security}};
    for (const auto& candidate : candidates) {
        if (std::find(tried.begin(), tried.end(), candidate) != tried.end()) continue;
        tried.push_back(candidate);
        // A login never goes out in the clear.
        if (candidate.second == TSmtpSecurity::None && !settings.LoginName.isEmpty()) continue;
        if (Strength(candidate.second) < floor) continue;
        TSendSettings other = settings;
        other.Port = candidate.first;
        other.Security = candidate.second;
        if (OnReport) OnReport(Msg(TMsg::CheckTrying, {QString::number(other.Port), SecurityLabel(other.Security)}));
        AlternativesTried = true;
        const auto outer = Prepare;
        // A guess need not wait as long as the user's own settings.
        Prepare = [&](mail::TSmtpConnection& connection, mail::TZelSMTP& client) {
            if (outer) outer(connection, client);
            mail::TSmtpTimeLimits limits = connection.Limits.value_or(client.TimeLimits);
            limits.Connect = std::min<std::uint32_t>(limits.Connect, 5000);
            limits.Greeting = std::min<std::uint32_t>(limits.Greeting, 10000);
            limits.GreetingProbe = 0;
            limits.Handshake = std::min<std::uint32_t>(limits.Handshake, 10000);
            limits.Helo = std::min<std::uint32_t>(limits.Helo, 10000);
            connection.Limits = limits;
        };
        const bool works = Attempt(other, password, false);
        Prepare = outer;
        if (works) {
            Alternative = other;
            return false;
        }
        if (Stopped) return false;
        if (TlsReason(LastKind)) floor = std::max(floor, Strength(other.Security));
    }
    return false;
}

}  // namespace app
