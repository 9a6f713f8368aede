#include "app/FailureText.h"

#include "app/GbText.h"
#include "app/Messages.h"
#include "mail/ReplyError.h"

namespace app {
namespace {

using Kind = rtl::TErrorKind;

// The setting a failure names, with the command line's option beside it.
QString Setting(TMsg setting, const TServerTarget& target) {
    QString text = Msg(setting);
    if (!target.CommandLine) return text;
    switch (setting) {
        case TMsg::SettingServer: return text + "（--server）";
        case TMsg::SettingPort: return text + "（--port）";
        case TMsg::SettingSecurity: return text + "（--security）";
        case TMsg::SettingLogin: return text + "（--user 和 FAXMAIL_PASSWORD）";
        case TMsg::SettingTrustFile: return text + "（--ca-file）";
        case TMsg::SettingGateway: return text + "（--gateway）";
        case TMsg::SettingFrom: return text + "（--from）";
        default: return text;
    }
}

struct TExplanation {
    TMsg Text;
    TMsg Setting;
};

// Which text explains a kind, and which setting it names.
TExplanation ExplanationOf(Kind kind, int replyCode) {
    switch (kind) {
        case Kind::LookupFailed: return {TMsg::LookupFailed, TMsg::SettingServer};
        case Kind::ConnectionRefused: return {TMsg::ConnectionRefused, TMsg::SettingPort};
        case Kind::Unreachable: return {TMsg::Unreachable, TMsg::SettingServer};
        case Kind::TimedOut: return {TMsg::TimedOut, TMsg::SettingSecurity};
        case Kind::ClosedByPeer: return {TMsg::ClosedByPeer, TMsg::SettingSecurity};
        case Kind::ServerSpeaksTls: return {TMsg::ServerSpeaksTls, TMsg::SettingSecurity};
        case Kind::TlsUntrusted: return {TMsg::TlsUntrusted, TMsg::SettingTrustFile};
        case Kind::TlsNameMismatch: return {TMsg::TlsNameMismatch, TMsg::SettingServer};
        case Kind::TlsNotTls: return {TMsg::TlsNotTls, TMsg::SettingSecurity};
        case Kind::Tls: return {TMsg::TlsFailed, TMsg::SettingSecurity};
        case Kind::StartTlsRefused: return {TMsg::StartTlsRefused, TMsg::SettingSecurity};
        case Kind::LoginRefused: return {TMsg::LoginRefused, TMsg::SettingLogin};
        case Kind::LoginUnavailable: return {TMsg::LoginUnavailable, TMsg::SettingLogin};
        case Kind::MechanismTooWeak: return {TMsg::MechanismTooWeak, TMsg::SettingSecurity};
        case Kind::EncryptionRequired: return {TMsg::EncryptionRequired, TMsg::SettingSecurity};
        case Kind::LoginRequired: return {TMsg::LoginRequired, TMsg::SettingLogin};
        case Kind::SenderRefused: return {TMsg::SenderRefused, TMsg::SettingFrom};
        case Kind::RecipientRefused: return {TMsg::RecipientRefused, TMsg::SettingGateway};
        case Kind::TooLarge: return {TMsg::TooLarge, TMsg::SettingServer};
        case Kind::Protocol: return {TMsg::NotSmtp, TMsg::SettingPort};
        case Kind::Refused:
            return {replyCode >= 400 && replyCode < 500 ? TMsg::RefusedTemporarily : TMsg::RefusedPermanently,
                    TMsg::SettingServer};
        default: return {TMsg::NoDisplay, TMsg::NoDisplay};  // no explanation: the text speaks for itself
    }
}

QString Megabytes(std::int64_t bytes) { return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1); }

}  // namespace

QString ExplainFailure(const std::exception& failure, const TServerTarget& target) {
    const auto* e = dynamic_cast<const rtl::Exception*>(&failure);
    if (e == nullptr) return MessageForDisplay(failure.what());
    if (dynamic_cast<const mail::EMaybeDelivered*>(e) != nullptr) return MessageForDisplay(e->Message);
    if (e->Kind == Kind::Stopped) return Msg(TMsg::Stopped);
    const QString own = FromGb(e->Message).trimmed();
    const auto* reply = dynamic_cast<const mail::ESmtpReplyError*>(e);
    const int code = reply != nullptr ? reply->Code : 0;
    if (e->Kind == Kind::TooLarge && e->Limit > 0)
        return Msg(TMsg::TooLargeForServer,
                   {target.Host, QString::number(target.Port), QString(), Megabytes(e->Size), Megabytes(e->Limit)}) +
               "（" + own + "）";
    const TExplanation explanation = ExplanationOf(e->Kind, code);
    if (explanation.Text == TMsg::NoDisplay) return MessageForDisplay(e->Message);
    QString text = Msg(explanation.Text, {target.Host, QString::number(target.Port),
                                          Setting(explanation.Setting, target), FromGb(e->Subject)});
    // Refusals of the envelope: whether a retry can help.
    if (e->Kind == Kind::SenderRefused || e->Kind == Kind::RecipientRefused)
        text += Msg(code >= 400 && code < 500 ? TMsg::TemporaryHint : TMsg::PermanentHint);
    return text + "（" + own + "）";
}

int ExitStatusOf(const std::exception& failure) {
    const auto* e = dynamic_cast<const rtl::Exception*>(&failure);
    if (e == nullptr) return kExitServer;
    if (dynamic_cast<const mail::EMaybeDelivered*>(e) != nullptr) return kExitMaybeSent;
    switch (e->Kind) {
        case Kind::Stopped: return kExitInterrupted;
        case Kind::Invalid:
        case Kind::OutOfMemory: return kExitRefused;
        case Kind::ServerSpeaksTls:
        case Kind::Tls:
        case Kind::TlsUntrusted:
        case Kind::TlsNameMismatch:
        case Kind::TlsNotTls:
        case Kind::StartTlsRefused:
        case Kind::LoginRefused:
        case Kind::LoginUnavailable:
        case Kind::MechanismTooWeak:
        case Kind::EncryptionRequired:
        case Kind::LoginRequired: return kExitTlsOrLogin;
        default: return kExitServer;
    }
}

QString StepText(mail::TSmtpPhase phase, const TServerTarget& target, std::uint32_t greetingLimitMs) {
    switch (phase) {
        case mail::TSmtpPhase::Connecting: return Msg(TMsg::StatusConnecting, {target.Host, QString::number(target.Port)});
        case mail::TSmtpPhase::Handshake: return Msg(TMsg::StatusStartingTls);
        case mail::TSmtpPhase::Auth: return Msg(TMsg::StatusLoggingIn);
        case mail::TSmtpPhase::Text: return Msg(TMsg::StatusSending);
        case mail::TSmtpPhase::Greeting:
            return Msg(TMsg::StatusStillWaiting, {target.Host, QString::number(target.Port), QString::number(greetingLimitMs / 1000)});
        default: return QString();
    }
}

}  // namespace app
