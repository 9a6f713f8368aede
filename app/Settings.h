// What the program remembers between runs: the two fields of the main page
// and the send settings. Kept with QSettings in the user's configuration
// folder; the password never goes there (see SecretStore.h).
#pragma once

#include "app/HomeCountry.h"
#include "mail/Smtp.h"

#include <QList>
#include <QString>

#include <memory>

class QSettings;

namespace app {

inline constexpr char kOrganisationName[] = "Morvane";
inline constexpr char kSettingsApplicationName[] = "faxmail";

// The built-in gateway pattern as the settings page shows it.
QString DefaultGatewayPattern();

// A saved value the program cannot use, as the file holds it. It is reported
// and kept in the file, never replaced by a default (DamagedSettings.h).
struct TDamagedSetting {
    QString Key;  // "smtp/security", ...
    QString Value;
    bool operator==(const TDamagedSetting&) const = default;
};

struct TSendSettings {
    QString Server;
    QString Email;
    int Port = mail::kDefaultSmtpPort;
    mail::TSmtpSecurity Security = mail::TSmtpSecurity::None;
    QString LoginName;  // empty: no login
    bool RememberPassword = false;
    QString GatewayPattern = DefaultGatewayPattern();
    QString TrustFile;       // empty: the system's certificates only
    int HomeCountry = DefaultHomeCountry();  // 本国国家代码; 0: none
    // Values in the file that could not be read; their fields above hold the
    // defaults, which no send may use. Writing leaves these keys alone.
    QList<TDamagedSetting> Damaged;

    bool operator==(const TSendSettings&) const = default;
};

// The user's settings file (the location tests redirect with QSettings::setPath).
std::unique_ptr<QSettings> OpenSettings();

// What was saved; a missing value reads as its default, an unusable one (a
// port out of range, an unknown mode, a gateway pattern that would be
// refused) as its default and an entry in Damaged.
TSendSettings ReadSendSettings();
void WriteSendSettings(const TSendSettings& settings);

// The secret store's key of the remembered password.
inline constexpr char kPasswordKey[] = "smtp-password";

// The port each protection mode usually has: 25, 587, 465.
int UsualPort(mail::TSmtpSecurity security);
// The port to show after the mode changes from one to another: the new
// mode's usual port while the field still holds the old mode's usual port,
// otherwise the port the user typed.
int ProposedPort(mail::TSmtpSecurity from, mail::TSmtpSecurity to, int port);

}  // namespace app
