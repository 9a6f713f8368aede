#include "app/Settings.h"

#include "app/Forms.h"
#include "app/SendRequest.h"
#include "fax/FaxNumber.h"

#include <QSettings>

#include <array>
#include <utility>

namespace app {
namespace {

// Names in the file rather than numbers, so the file reads for itself.
constexpr std::array<std::pair<mail::TSmtpSecurity, const char*>, 3> kSecurityNames{{
    {mail::TSmtpSecurity::None, "none"},
    {mail::TSmtpSecurity::StartTls, "starttls"},
    {mail::TSmtpSecurity::ImplicitTls, "tls"},
}};

mail::TSmtpSecurity SecurityFromName(const QString& name) {
    for (const auto& [security, text] : kSecurityNames)
        if (name == QLatin1String(text)) return security;
    return mail::TSmtpSecurity::None;
}

const char* SecurityName(mail::TSmtpSecurity security) {
    for (const auto& [value, text] : kSecurityNames)
        if (value == security) return text;
    return kSecurityNames[0].second;
}

}  // namespace

std::unique_ptr<QSettings> OpenSettings() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, kOrganisationName,
                                       kSettingsApplicationName);
}

QString DefaultGatewayPattern() { return QString::fromLatin1(fax::kDefaultGatewayPattern); }

TSendSettings ReadSendSettings() {
    const auto file = OpenSettings();
    TSendSettings s;
    s.Server = file->value("main/server").toString();
    s.Email = file->value("main/email").toString();
    bool isNumber = false;
    const int port = file->value("smtp/port").toInt(&isNumber);
    if (isNumber && port >= 1 && port <= 65535) s.Port = port;
    s.Security = SecurityFromName(file->value("smtp/security").toString());
    s.LoginName = file->value("smtp/login").toString();
    s.RememberPassword = file->value("smtp/rememberPassword", false).toBool();
    s.TrustFile = file->value("smtp/trustFile").toString();
    const QString pattern = file->value("fax/gatewayPattern").toString();
    if (fax::GatewayPatternFailure(ToGb(pattern)).empty()) s.GatewayPattern = pattern;
    return s;
}

void WriteSendSettings(const TSendSettings& s) {
    const auto file = OpenSettings();
    file->setValue("main/server", s.Server);
    file->setValue("main/email", s.Email);
    file->setValue("smtp/port", s.Port);
    file->setValue("smtp/security", QLatin1String(SecurityName(s.Security)));
    file->setValue("smtp/login", s.LoginName);
    file->setValue("smtp/rememberPassword", s.RememberPassword);
    file->setValue("smtp/trustFile", s.TrustFile);
    // The built-in pattern is not written out, so a later build's default applies.
    if (s.GatewayPattern == DefaultGatewayPattern())
        file->remove("fax/gatewayPattern");
    else
        file->setValue("fax/gatewayPattern", s.GatewayPattern);
}

int UsualPort(mail::TSmtpSecurity security) {
    switch (security) {
        case mail::TSmtpSecurity::StartTls:
            return 587;
        case mail::TSmtpSecurity::ImplicitTls:
            return 465;
        case mail::TSmtpSecurity::None:
            break;
    }
    return mail::kDefaultSmtpPort;
}

int ProposedPort(mail::TSmtpSecurity from, mail::TSmtpSecurity to, int port) {
    return port == UsualPort(from) ? UsualPort(to) : port;
}

void ApplySendSettings(mail::TZelSMTP& client, const TSendSettings& settings, const QString& password) {
    fax::ApplyConnection(ConnectionOf(settings, password), client);
}

}  // namespace app
