#include "app/MailboxSettings.h"

#include "app/GbText.h"

#include <QDateTime>
#include <QSettings>

#include <algorithm>

namespace app {
namespace {

QString Utf8(const char* text) { return QString::fromUtf8(text); }

QStringList Words(const std::vector<std::string>& words) {
    QStringList list;
    for (const std::string& w : words) list << QString::fromStdString(w);
    return list;
}

std::vector<std::string> Words(const QStringList& list) {
    std::vector<std::string> words;
    for (const QString& w : list)
        if (!w.trimmed().isEmpty()) words.push_back(w.trimmed().toStdString());
    return words;
}

}  // namespace

QStringList DefaultDeliveredWords() { return Words(watch::TOutcomeWords{}.Delivered); }
QStringList DefaultFailedWords() { return Words(watch::TOutcomeWords{}.Failed); }

int UsualImapPort(watch::TImapSecurity security) { return security == watch::TImapSecurity::ImplicitTls ? 993 : 143; }

TMailboxSettings ReadMailboxSettings() {
    const auto file = OpenSettings();
    TMailboxSettings s;
    s.Server = file->value("imap/server").toString().trimmed();
    // Anything but "tls" is STARTTLS: the mailbox is never read in the clear.
    s.Security = file->value("imap/security").toString() == QLatin1String("tls") ? watch::TImapSecurity::ImplicitTls
                                                                                  : watch::TImapSecurity::StartTls;
    bool isNumber = false;
    const int port = file->value("imap/port").toInt(&isNumber);
    s.Port = isNumber && port >= 1 && port <= 65535 ? port : UsualImapPort(s.Security);
    s.LoginName = file->value("imap/login").toString();
    const QString folder = file->value("imap/folder").toString().trimmed();
    if (!folder.isEmpty()) s.Folder = folder;
    s.SenderPattern = file->value("imap/senderPattern").toString().trimmed();
    s.DeliveredWords = file->contains("imap/deliveredWords") ? file->value("imap/deliveredWords").toStringList() : DefaultDeliveredWords();
    s.FailedWords = file->contains("imap/failedWords") ? file->value("imap/failedWords").toStringList() : DefaultFailedWords();
    const int hours = file->value("imap/answerWithinHours").toInt(&isNumber);
    if (isNumber && hours >= 0) s.AnswerWithinHours = hours;
    if (!s.Server.isEmpty() && !file->contains("imap/watchedSince")) file->setValue("imap/watchedSince", QDateTime::currentSecsSinceEpoch());
    s.WatchedSince = s.Server.isEmpty() ? 0 : file->value("imap/watchedSince").toLongLong();
    return s;
}

void WriteMailboxSettings(const TMailboxSettings& s) {
    const auto file = OpenSettings();
    file->setValue("imap/server", s.Server);
    file->setValue("imap/port", s.Port);
    file->setValue("imap/security", QLatin1String(s.Security == watch::TImapSecurity::ImplicitTls ? "tls" : "starttls"));
    file->setValue("imap/login", s.LoginName);
    file->setValue("imap/folder", s.Folder);
    file->setValue("imap/senderPattern", s.SenderPattern);
    file->setValue("imap/deliveredWords", s.DeliveredWords);
    file->setValue("imap/failedWords", s.FailedWords);
    file->setValue("imap/answerWithinHours", s.AnswerWithinHours);
    if (s.Server.isEmpty()) file->remove("imap/watchedSince");
    else if (!file->contains("imap/watchedSince")) file->setValue("imap/watchedSince", QDateTime::currentSecsSinceEpoch());
}

QString MailboxLogin(const TMailboxSettings& mailbox, const TSendSettings& send) {
    return mailbox.LoginName.isEmpty() ? send.LoginName : mailbox.LoginName;
}

watch::TImapSettings ImapSettingsOf(const TMailboxSettings& mailbox, const TSendSettings& send, const QString& password) {
    watch::TImapSettings s;
    s.Server = mailbox.Server.toStdString();
    s.Port = mailbox.Port;
    s.Security = mailbox.Security;
    s.Login = MailboxLogin(mailbox, send).toStdString();
    s.Password = password.toStdString();
    s.Folder = mailbox.Folder.toStdString();
    s.TrustFile = send.TrustFile.toLocal8Bit().toStdString();
    return s;
}

watch::TMatchRules MatchRulesOf(const TMailboxSettings& mailbox) {
    watch::TMatchRules rules;
    rules.Words.Delivered = Words(mailbox.DeliveredWords);
    rules.Words.Failed = Words(mailbox.FailedWords);
    rules.SenderPattern = mailbox.SenderPattern.toStdString();
    rules.MailServer = mailbox.Server.toStdString();
    rules.AnswerWithinSeconds = static_cast<std::int64_t>(mailbox.AnswerWithinHours) * 3600;
    return rules;
}

namespace {

bool HasControl(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

}  // namespace

QString MailboxSettingsProblem(const TMailboxSettings& mailbox, const TSendSettings& send, const QString& password) {
    const QString where = Utf8("，请在发送设置中改正。");
    if (HasControl(MailboxLogin(mailbox, send))) return Utf8("邮箱登录名含有控制字符（如换行），不能使用") + where;
    if (HasControl(mailbox.Folder)) return Utf8("邮箱文件夹含有控制字符（如换行），不能使用") + where;
    if (HasControl(password)) return Utf8("邮箱密码含有控制字符（如换行），不能使用。");
    return QString();
}

QString MailboxProblemText(const watch::EImapError& error, const TMailboxSettings& mailbox) {
    const QString where = mailbox.Server + ":" + QString::number(mailbox.Port);
    const QString detail = error.Message.empty() ? QString() : Utf8("（") + FromGb(error.Message) + Utf8("）");
    using rtl::TErrorKind;
    // Past a bound of what we read, at any stage: the server is broken (or hostile).
    if (error.Kind == TErrorKind::TooLarge)
        return Utf8("邮箱服务器 ") + where + Utf8(" 发来的回应超出了限度，已断开连接：这是服务器的问题，请联系它的管理者。") + detail;
    switch (error.Stage) {
        case watch::TImapStage::Connect:
            if (error.Kind == TErrorKind::LookupFailed)
                return Utf8("找不到邮箱服务器 ") + mailbox.Server + Utf8("，请检查发送设置中的“邮箱服务器”。") + detail;
            return Utf8("无法连接邮箱服务器 ") + where + Utf8("，请检查发送设置中的“邮箱服务器”和“端口”。") + detail;
        case watch::TImapStage::Secure:
            if (error.Kind == TErrorKind::Tls)
                return FromGb(error.Message) + Utf8("。请检查发送设置中的“邮箱保护”和“信任的证书”。");
            if (error.Kind == TErrorKind::TimedOut) break;
            return Utf8("邮箱服务器 ") + where + Utf8(" 不接受加密连接，请检查发送设置中的“邮箱保护”。") + detail;
        case watch::TImapStage::Login:
            if (error.Kind == TErrorKind::Refused)
                return Utf8("邮箱服务器拒绝了登录，请检查发送设置中的“邮箱登录名”和密码。") + detail;
            break;
        case watch::TImapStage::Folder:
            if (error.Kind == TErrorKind::Refused)
                return Utf8("邮箱中没有文件夹 ") + mailbox.Folder + Utf8("，请检查发送设置中的“邮箱文件夹”。") + detail;
            break;
        case watch::TImapStage::Read: break;
    }
    if (error.Kind == TErrorKind::Invalid)
        return Utf8("邮箱登录名、密码或文件夹含有控制字符（如换行），不能使用，请检查发送设置。");
    if (error.Kind == TErrorKind::Protocol)
        return Utf8("邮箱服务器 ") + where + Utf8(" 的回应不合 IMAP 协议，已断开连接：这是服务器的问题，请联系它的管理者。") + detail;
    if (error.Kind == TErrorKind::TimedOut)
        return Utf8("邮箱服务器 ") + where + Utf8(" 没有及时回应，请检查发送设置中的“邮箱服务器”。");
    return Utf8("读取邮箱 ") + where + Utf8(" 时出错，请检查发送设置中的“邮箱服务器”。") + detail;
}

}  // namespace app
