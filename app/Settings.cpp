#include "app/Settings.h"

#include "app/GbText.h"
#include "fax/FaxNumber.h"
#include "fax/GatewayPattern.h"
#include "fax/SettingValues.h"

#include <QSettings>

#include <algorithm>
#include <optional>

namespace app {
namespace {

// A saved value through its parser: unset leaves the default, unusable leaves
// the default and records the damage.
template <typename T, typename Parse>
void ReadValue(const QSettings& file, const char* key, T& field, Parse&& parse, QList<TDamagedSetting>& damaged) {
    if (!file.contains(key)) return;
    const QVariant value = file.value(key);
    // A list ("a, b") is no text the parser knows; numbers and flags written
    // in this run are still typed values, read as their text.
    const auto parsed = value.typeId() != QMetaType::QStringList ? parse(value.toString().toStdString()) : std::nullopt;
    if (parsed)
        field = *parsed;
    else
        damaged.append({QString::fromLatin1(key), value.toString()});
}

void WriteValue(QSettings& file, const TSendSettings& s, const char* key, const QVariant& value) {
    for (const TDamagedSetting& d : s.Damaged)
        if (d.Key == QLatin1String(key)) return;
    file.setValue(key, value);
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
    ReadValue(*file, "smtp/port", s.Port, fax::PortSetting, s.Damaged);
    ReadValue(*file, "smtp/security", s.Security, fax::SecuritySetting, s.Damaged);
    s.LoginName = file->value("smtp/login").toString();
    ReadValue(*file, "smtp/rememberPassword", s.RememberPassword, fax::FlagSetting, s.Damaged);
    s.TrustFile = file->value("smtp/trustFile").toString();
    ReadValue(*file, "fax/gatewayPattern", s.GatewayPattern, [](const std::string& text) {
        const QString pattern = QString::fromStdString(text);
        return fax::GatewayPatternProblem(ToGb(pattern)).empty() ? std::optional<QString>(pattern) : std::nullopt;
    }, s.Damaged);
    // A damaged home country is not guessed at: none, so that a national
    // number asks for its country code rather than going to the locale's.
    s.HomeCountry = 0;
    ReadValue(*file, "fax/homeCountry", s.HomeCountry, fax::HomeCountrySetting, s.Damaged);
    if (!file->contains("fax/homeCountry")) s.HomeCountry = DefaultHomeCountry();
    return s;
}

void WriteSendSettings(const TSendSettings& s) {
    const auto file = OpenSettings();
    file->setValue("main/server", s.Server);
    file->setValue("main/email", s.Email);
    WriteValue(*file, s, "smtp/port", s.Port);
    WriteValue(*file, s, "smtp/security", QLatin1String(fax::SecuritySettingText(s.Security)));
    file->setValue("smtp/login", s.LoginName);
    WriteValue(*file, s, "smtp/rememberPassword", s.RememberPassword);
    file->setValue("smtp/trustFile", s.TrustFile);
    // The built-in pattern is not written out, so a later build's default applies.
    if (s.GatewayPattern != DefaultGatewayPattern())
        WriteValue(*file, s, "fax/gatewayPattern", s.GatewayPattern);
    else if (std::none_of(s.Damaged.begin(), s.Damaged.end(), [](const TDamagedSetting& d) { return d.Key == "fax/gatewayPattern"; }))
        file->remove("fax/gatewayPattern");
    // Likewise the locale's home country: it follows the locale until the user picks another.
    if (s.HomeCountry != DefaultHomeCountry())
        WriteValue(*file, s, "fax/homeCountry", s.HomeCountry);
    else if (std::none_of(s.Damaged.begin(), s.Damaged.end(), [](const TDamagedSetting& d) { return d.Key == "fax/homeCountry"; }))
        file->remove("fax/homeCountry");
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

}  // namespace app
