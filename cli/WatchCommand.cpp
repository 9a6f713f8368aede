#include "cli/WatchCommand.h"

#include "app/ConfirmationStore.h"
#include "app/FailureText.h"
#include "app/HistoryText.h"
#include "app/MailboxSettings.h"
#include "app/Notifier.h"
#include "app/SecretStore.h"
#include "cli/CommandPasswords.h"
#include "platform/LocaleText.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <cstdio>
#include <unistd.h>

namespace app {
namespace {

QString Utf8(const char* text) { return QString::fromUtf8(text); }

void Write(std::FILE* to, const QString& text) {
    const std::string bytes = Win::Utf8ToTerminal(rtl::TUtf8Text((text + '\n').toStdString()));
    std::fwrite(bytes.data(), 1, bytes.size(), to);
    std::fflush(to);
}

int Usage(const QString& text) {
    Write(stderr, text);
    Write(stderr, Utf8("用 faxmail --help 查看用法。"));
    return kExitUsage;
}

// The exit status of a mailbox problem, as send counts its own: the
// protection or the login needs the settings changed (4), anything else may
// pass by itself (3).
int ExitStatusOf(const watch::EImapError& e) {
    using rtl::TErrorKind;
    if (e.Kind == TErrorKind::Invalid) return kExitRefused;
    // A broken server and the time limit are not the settings' fault.
    if (e.Kind == TErrorKind::TooLarge || e.Kind == TErrorKind::TimedOut) return kExitServer;
    return e.Stage == watch::TImapStage::Secure || e.Stage == watch::TImapStage::Login ? kExitTlsOrLogin : kExitServer;
}

// Ctrl+C and SIGTERM end the watch: the handler only writes to a pipe.
int StopPipe[2] = {-1, -1};
extern "C" void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(StopPipe[1], &byte, 1);
}

// One line per change: the record, the outcome, the time, the subject, the
// number and the reason (the last two added later, at the end, for the scripts).
QString Confirmed(const watch::TConfirmed& c) {
    const watch::TConfirmation& x = c.Confirmation;
    const QString when = QDateTime::fromSecsSinceEpoch(x.Time).toString(Qt::ISODate);
    return QString::number(c.Fax) + '\t' + watch::OutcomeName(x.Outcome) + '\t' + when + '\t' +
           VisibleText(QString::fromStdString(x.Subject)) + '\t' + VisibleText(QString::fromStdString(x.Number)) + '\t' +
           VisibleText(QString::fromStdString(x.Reason));
}

// A failed or unanswered fax: the desktop is told; true when it was one.
bool Told(const watch::TConfirmed& c) {
    const watch::TConfirmation& x = c.Confirmation;
    if (!watch::IsProblem(x)) return false;
    const QString outcome = QString::fromLatin1(watch::OutcomeName(x.Outcome));
    NotifyFaxProblem(QString::fromStdString(x.Number),
                     ProblemText(outcome, QString::fromStdString(x.Reason), QString::fromStdString(x.Subject)));
    return true;
}

}  // namespace

int WatchCommand(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption once("once");
    const QCommandLineOption timeout("timeout", "", "seconds");
    const QCommandLineOption server("imap-server", "", "host");
    const QCommandLineOption port("imap-port", "", "port");
    const QCommandLineOption security("imap-security", "", "mode");
    const QCommandLineOption user("imap-user", "", "name");
    const QCommandLineOption caFile("ca-file", "", "file");
    const QCommandLineOption answerWithin("answer-within", "", "hours");
    parser.addOptions({once, timeout, server, port, security, user, caFile, answerWithin});
    if (!parser.parse(arguments)) return Usage(Utf8("选项有误：") + parser.errorText());
    if (parser.positionalArguments().size() != 1) return Usage(Utf8("watch 不接受其他参数。"));

    TMailboxSettings mailbox = ReadMailboxSettings();
    TSendSettings send = ReadSendSettings();
    // A mailbox whose authority only this file holds, as for send and check.
    if (parser.isSet(caFile)) send.TrustFile = parser.value(caFile);
    if (parser.isSet(server)) mailbox.Server = parser.value(server).trimmed();
    if (parser.isSet(security)) {
        const QString mode = parser.value(security);
        if (mode != "starttls" && mode != "tls") return Usage(Utf8("--imap-security 只能是 starttls 或 tls。"));
        mailbox.Security = mode == "tls" ? watch::TImapSecurity::ImplicitTls : watch::TImapSecurity::StartTls;
        if (!parser.isSet(port)) mailbox.Port = UsualImapPort(mailbox.Security);
    }
    if (parser.isSet(port)) {
        bool ok = false;
        mailbox.Port = parser.value(port).toInt(&ok);
        if (!ok || mailbox.Port < 1 || mailbox.Port > 65535) return Usage(Utf8("--imap-port 必须是 1 到 65535 之间的数。"));
    }
    if (parser.isSet(user)) mailbox.LoginName = parser.value(user);
    if (parser.isSet(answerWithin)) {
        bool ok = false;
        mailbox.AnswerWithinHours = parser.value(answerWithin).toInt(&ok);
        if (!ok || mailbox.AnswerWithinHours < 0) return Usage(Utf8("--answer-within 必须是不小于 0 的整数（小时；0：不限）。"));
    }
    int limit = 0;
    if (parser.isSet(timeout)) {
        bool ok = false;
        limit = parser.value(timeout).toInt(&ok);
        if (!ok || limit < 1) return Usage(Utf8("--timeout 必须是正整数（秒）。"));
    }
    if (mailbox.Server.isEmpty()) return Usage(Utf8("没有设置邮箱服务器：请在发送设置中填写“邮箱服务器”，或用 --imap-server 给出。"));
    if (MailboxLogin(mailbox, send).isEmpty()) return Usage(Utf8("没有邮箱登录名：请在发送设置中填写登录名，或用 --imap-user 给出。"));

    QString password = TakeSecretVariable("FAXMAIL_IMAP_PASSWORD");
    const QString smtpPassword = TakeSecretVariable("FAXMAIL_PASSWORD");
    if (password.isEmpty()) password = smtpPassword;
    if (password.isEmpty()) password = StoredPassword();
    if (password.isEmpty()) {
        Write(stderr, Utf8("需要邮箱密码：请设置环境变量 FAXMAIL_IMAP_PASSWORD 或 FAXMAIL_PASSWORD，或在设置中勾选“记住密码”。"));
        return kExitRefused;
    }

    if (const QString problem = MailboxSettingsProblem(mailbox, send, password); !problem.isEmpty()) {
        Write(stderr, problem);
        return kExitRefused;
    }
    watch::TImapSettings imap = ImapSettingsOf(mailbox, send, password);
    const watch::TMatchRules rules = MatchRulesOf(mailbox);
    Write(stderr, Utf8("正在读取邮箱 ") + mailbox.Server + ":" + QString::number(mailbox.Port));

    if (parser.isSet(once)) {
        // --timeout bounds the whole pass, every wait on the server included.
        if (limit > 0) imap.Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
        auto reader = watch::MakeImapMailbox();
        try {
            std::unique_ptr<watch::TConfirmationStore> store = OpenConfirmationStore(mailbox.WatchedSince);
            reader->Open(imap);
            std::uint32_t lastUid = 0;
            const auto confirmed = watch::ReadAnswersOnce(*reader, *store, rules, watch::TWatchOptions{}.SinceSlack, lastUid);
            reader->Close();
            bool problem = false;
            for (const watch::TConfirmed& c : confirmed) {
                Write(stdout, Confirmed(c));
                problem = Told(c) || problem;
            }
            Write(stderr, Utf8("记下了 ") + QString::number(confirmed.size()) + Utf8(" 个回复或没有回复的号码。"));
            return problem ? kExitFaxProblem : kExitSent;
        } catch (const watch::EImapError& e) {
            Write(stderr, MailboxProblemText(e, mailbox));
            return ExitStatusOf(e);
        }
    }

    // Until stopped (or the time limit): the watch on its thread, the signals
    // and the limit on this one.
    if (::pipe(StopPipe) != 0) return kExitRefused;
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    watch::TWatchOptions options;
    options.Rules = rules;
    options.RetrySeconds = 60;
    const qint64 awaitedSince = mailbox.WatchedSince;
    watch::TConfirmationWatch watcher(
        watch::MakeImapMailbox(), [awaitedSince] { return OpenConfirmationStore(awaitedSince); }, imap, options);
    std::mutex outputLock;
    int unreachable = kExitSent;  // the status of the problem not yet overcome
    std::atomic<bool> problem{false};  // a fax failed or went unanswered during the run
    watcher.OnConfirmed = [&](const watch::TConfirmed& c) {
        {
            std::lock_guard<std::mutex> guard(outputLock);
            Write(stdout, Confirmed(c));
        }
        if (Told(c)) problem = true;
    };
    watcher.OnUnreachable = [&](const watch::EImapError& e) {
        std::lock_guard<std::mutex> guard(outputLock);
        unreachable = ExitStatusOf(e);
        Write(stderr, MailboxProblemText(e, mailbox) + Utf8(" 稍后再试。"));
    };
    watcher.OnReachable = [&] {
        std::lock_guard<std::mutex> guard(outputLock);
        unreachable = kExitSent;
        Write(stderr, Utf8("邮箱又可以读取了。"));
    };
    watcher.Start();
    bool interrupted = false;
    const qint64 deadline = limit > 0 ? QDateTime::currentSecsSinceEpoch() + limit : 0;
    for (;;) {
        pollfd stop = {StopPipe[0], POLLIN, 0};
        if (::poll(&stop, 1, 200) > 0) {
            interrupted = true;
            break;
        }
        if (deadline != 0 && QDateTime::currentSecsSinceEpoch() >= deadline) break;
    }
    watcher.Stop();
    watcher.Join();
    if (interrupted) return kExitInterrupted;
    if (unreachable != kExitSent) return unreachable;
    return problem ? kExitFaxProblem : kExitSent;
}

}  // namespace app
