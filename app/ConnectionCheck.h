// The connection test both front ends run (the settings page's 测试连接 and
// `faxmail check`): connect, start TLS, check the certificate, log in, read
// the server's limits and say QUIT, sending nothing. When the settings fail
// in a way another port or protection could mend, it tries the usual ones
// and keeps the first that works as a proposal; nothing is changed here.
#pragma once

#include "app/Settings.h"
#include "mail/Smtp.h"
#include "mail/SmtpConnection.h"

#include <QString>

#include <functional>
#include <optional>

namespace mail {
class TZelSMTP;
}

namespace app {

class TConnectionCheck {
public:
    bool CommandLine = false;  // failures name the options too
    // Each step as it passes, and the status of the one under way.
    std::function<void(const QString& Line)> OnReport;
    std::function<void(const QString& Status)> OnStatus;
    // Runs before each connection with what it will ask for and the client
    // that will connect (the window's limits, a trace of the dialogue).
    std::function<void(mail::TSmtpConnection& Connection, mail::TZelSMTP& Client)> Prepare;

    // True when every step passed with these settings. Otherwise Failure
    // explains, Status is the command line's exit status, and Alternative
    // holds settings that worked, if any did.
    bool Run(const TSendSettings& Settings, const QString& Password);
    // The stop: ends the attempt under way and tries nothing more.
    void Abort();
    bool Running() const { return Current != nullptr; }

    QString Failure;
    int Status = 0;
    std::optional<TSendSettings> Alternative;
    bool AlternativesTried = false;

private:
    // One connection with these settings; reports its steps when Report.
    bool Attempt(const TSendSettings& Settings, const QString& Password, bool Report);

    mail::TZelSMTP* Current = nullptr;
    bool Stopped = false;
    rtl::TErrorKind LastKind = rtl::TErrorKind::Other;
};

// The protection as the settings page shows it ("无", "STARTTLS", "SSL/TLS"),
// and as --security takes it.
QString SecurityLabel(mail::TSmtpSecurity Security);
QString SecurityOption(mail::TSmtpSecurity Security);

}  // namespace app
