// The mailbox the confirmation watch reads: server, port, protection,
// login, folder, and the words and sender pattern that tell a gateway's
// answer. Kept in the settings file beside the send settings; the password
// is the SMTP one from the secret store (or an environment variable on the
// command line), never the file.
#pragma once

#include "app/Settings.h"
#include "watch/ConfirmationWatch.h"

#include <QString>
#include <QStringList>

namespace app {

struct TMailboxSettings {
    QString Server;  // empty: no watch
    int Port = 143;
    watch::TImapSecurity Security = watch::TImapSecurity::StartTls;
    QString LoginName;  // empty: the SMTP login
    QString Folder = QStringLiteral("INBOX");
    QString SenderPattern;  // empty: the gateway address's domain
    QStringList DeliveredWords;
    QStringList FailedWords;
    // A fax with no answer this long is unanswered; 0: never.
    int AnswerWithinHours = 4;
    // Since when a mailbox has been set (seconds since 1970 UTC): only the
    // faxes sent since are waited for. Kept by the settings themselves.
    qint64 WatchedSince = 0;

    bool operator==(const TMailboxSettings&) const = default;
};

// The defaults of the outcome words.
QStringList DefaultDeliveredWords();
QStringList DefaultFailedWords();

// A mailbox set before its start was kept counts from now on.
TMailboxSettings ReadMailboxSettings();
// The start is kept while a server is set, from when it was first set.
void WriteMailboxSettings(const TMailboxSettings& settings);

// 143 for STARTTLS, 993 for TLS from the start.
int UsualImapPort(watch::TImapSecurity security);

// The login the mailbox uses: its own, else the SMTP login.
QString MailboxLogin(const TMailboxSettings& mailbox, const TSendSettings& send);

// What the watch takes: the IMAP settings (the trust file is the SMTP one)
// and the matching rules.
watch::TImapSettings ImapSettingsOf(const TMailboxSettings& mailbox, const TSendSettings& send, const QString& password);
watch::TMatchRules MatchRulesOf(const TMailboxSettings& mailbox);

// Why the mailbox cannot be used as set (a control character in the login,
// the folder or the password could end an IMAP command): empty when it can.
QString MailboxSettingsProblem(const TMailboxSettings& mailbox, const TSendSettings& send, const QString& password);

// What went wrong with the mailbox, in Chinese, naming the setting to check.
QString MailboxProblemText(const watch::EImapError& error, const TMailboxSettings& mailbox);

}  // namespace app
