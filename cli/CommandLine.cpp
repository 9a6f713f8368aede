#include "cli/CommandLine.h"

#include "app/ConnectionCheck.h"
#include "app/Constants.h"
#include "app/DamagedSettings.h"
#include "app/FailureText.h"
#include "app/GbText.h"
#include "app/MailClient.h"
#include "app/Messages.h"
#include "app/NumberEcho.h"
#include "app/OutboxSettings.h"
#include "app/SecretStore.h"
#include "app/SendRequest.h"
#include "app/Settings.h"
#include "cli/CommandPasswords.h"
#include "cli/HistoryCommand.h"
#include "cli/OutboxCommand.h"
#include "fax/Coverage.h"
#include "fax/Dispatch.h"
#include "fax/NumberFront.h"
#include "history/SendRecorder.h"
#include "outbox/Outbox.h"
#include "platform/Application.h"
#include "platform/CodePage.h"
#include "platform/LocaleText.h"
#include "rtl/SysUtils.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace app {
namespace {

constexpr char kPasswordVariable[] = "FAXMAIL_PASSWORD";

const char kHelp[] =
    "用法：\n"
    "  faxmail [文件...]                打开窗口；给出的文件已在附件列表中\n"
    "  faxmail send --number 号码 [选项] 文件...\n"
    "                                   发送一份传真，文件作为附件\n"
    "  faxmail check [选项]             测试与邮件服务器的连接（连接、加密、证书、登录、大小上限），\n"
    "                                   不发送任何邮件；失败时试一试常用的端口和安全连接\n"
    "  faxmail coverage [号码]          列出传真范围；给出号码时说明能否发送及网关地址\n"
    "  faxmail history [--limit N] [--json]\n"
    "                                   发送记录，最新的在前（默认 20 条，0：全部；--json：每行一个JSON对象）\n"
    "  faxmail watch [--once] [--timeout 秒] [邮箱选项]\n"
    "                                   读取邮箱中传真网关的回复，记在发送记录上\n"
    "  faxmail outbox [--json] | --flush | --delete 编号\n"
    "                                   发件箱：列出等待发送的传真（--json：每行一个JSON对象）、\n"
    "                                   发送已到时间的传真（--flush），或删除一份（--delete）\n"
    "  faxmail --help | --version\n"
    "\n"
    "send 的选项（未给出的取自保存的设置）：\n"
    "  -n, --number 号码                对方传真号码，如 001-212-1234567 或 +1 212 123 4567（必填；\n"
    "                                   可以给出多个，同一封邮件发给每个号码）\n"
    "  --server 主机                    SMTP邮件服务器\n"
    "  --from 地址                      您的电子邮件\n"
    "  --port 端口                      服务器端口（1 到 65535）\n"
    "  --security none|starttls|tls     连接的保护方式\n"
    "  --user 名字                      登录名（空：不登录）\n"
    "  --gateway 格式                   传真网关地址的格式，{number}、{e164} 或 {national} 代表号码\n"
    "  --ca-file 文件                   另外信任的证书颁发机构文件\n"
    "  --subject 主题                   邮件的主题（默认：您的电子邮件加上 Send a Fax）\n"
    "  --timeout 秒数                   整个发送最多用多少秒\n"
    "  --verbose                        在标准错误上显示与服务器的对话（登录的内容被遮住）\n"
    "  --dry-run                        不连接服务器，把组成的邮件写到标准输出\n"
    "  --queue                          连接失败、超时或服务器暂时拒绝（4xx）时放入发件箱，稍后重试\n"
    "  --at 时间                        稍后发送：\"YYYY-MM-DD HH:MM\"（本地时间）或 +分钟数；传真放入发件箱\n"
    "check 接受 --server、--from、--port、--security、--user、--ca-file、--verbose 和 --timeout（整个测试最多用多少秒）。\n"
    "只接受一个值的选项不能重复给出。\n"
    "\n"
    "watch 的选项（未给出的取自保存的设置；邮箱只读，不改变邮件的标记）：\n"
    "  --once                           读取一次后退出（否则一直读取，直到 Ctrl+C）\n"
    "  --timeout 秒                     最多读取这么多秒（--once 也是）\n"
    "  --imap-server 主机               邮箱服务器（IMAP）\n"
    "  --imap-port 端口                 邮箱端口（STARTTLS 通常为 143，TLS 为 993）\n"
    "  --imap-security starttls|tls     邮箱连接的保护方式（从不明文）\n"
    "  --imap-user 名字                 邮箱登录名（默认同 SMTP 登录名）\n"
    "  --ca-file 文件                   另外信任的证书颁发机构文件（默认同发送设置）\n"
    "  --answer-within 小时             这么久没有回复的传真记为 unanswered（默认 4；0：不限）\n"
    "邮箱密码依次取自环境变量 FAXMAIL_IMAP_PASSWORD、FAXMAIL_PASSWORD、系统的密码存储；\n"
    "每个号码的变化写在标准输出上，每行一个：记录号、结果（delivered、failed、answered、unverified、\n"
    "delayed、unanswered）、时间、主题、号码、原因（控制字符写成 \\r、\\n、\\x1b 这样的转义）。\n"
    "退信（投递状态通知）使传真失败；失败或没有回复的传真还会显示桌面通知。\n"
    "\n"
    "发件箱的传真失败后过 1、5、15、30 分钟重试，以后每小时一次，直到设置 outbox/giveUpHours（默认 24）小时后放弃；\n"
    "outbox --flush 没有失败时以 0 结束，否则以其中最严重的发送的状态结束。\n"
    "\n"
    "密码不从选项读取：依次取自环境变量 FAXMAIL_PASSWORD、系统的密码存储（设置中勾选了“记住密码”时），\n"
    "或在终端上输入（不回显）。\n"
    "\n"
    "发送过程显示在标准错误上；发送成功后，传真所发往的网关地址写在标准输出上（每个号码一行），\n"
    "最后一行是邮件的 Message-ID、一个空格和服务器对邮件结尾的应答（通常含有服务器的队列号）。\n"
    "文件和号码在连接服务器之前就检查。\n"
    "\n"
    "退出状态：\n"
    "  0    已发送（check：连接测试成功）\n"
    "  1    连接之前就被拒绝：输入、文件、号码或设置有误\n"
    "  2    用法错误\n"
    "  3    网络或服务器的问题，传真没有发出，可以稍后重试\n"
    "  4    加密（TLS）或登录失败：请修改设置\n"
    "  5    传真可能已经发出：重新发送之前请先检查邮箱\n"
    "  6    watch：有传真失败或没有回复\n"
    "  7    传真已放入发件箱（send --queue 或 --at），编号写在标准输出上\n"
    "  130  被 Ctrl+C 中断\n"
    "  143  被 SIGTERM 终止（如 timeout 命令）\n";

// ---- output in the terminal's encoding ----

// UTF-8 where the locale's character set cannot hold the text (C, POSIX):
// readable on today's terminals, never question marks.
void Write(std::FILE* to, const QString& text) {
    const std::string bytes = Win::Utf8ToTerminal(rtl::TUtf8Text(text.toStdString()));
    std::fwrite(bytes.data(), 1, bytes.size(), to);
    std::fflush(to);
}

void Say(const QString& text) { Write(stdout, text + '\n'); }
void Complain(const QString& text) { Write(stderr, text + '\n'); }
QString Utf8(const char* text) { return QString::fromUtf8(text); }

int UsageError(const QString& text) {
    Complain(text);
    Complain(Utf8("用 faxmail --help 查看用法。"));
    return kExitUsage;
}

// Text of the terminal, an argument or the environment: the locale's character set.
QString FromLocale(const std::string& bytes) { return QString::fromStdString(Win::LocaleTextToUtf8(bytes).Bytes()); }

// ---- Ctrl+C ----
//
// The handler only writes a byte to a pipe; the loop reads it and stops the
// send as the stop button does.

int InterruptPipe[2] = {-1, -1};
volatile std::sig_atomic_t InterruptSignal = 0;

extern "C" void OnInterrupt(int signal) {
    InterruptSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(InterruptPipe[1], &byte, 1);
}

// ---- progress on standard error ----

class TProgress {
public:
    explicit TProgress(mail::TZelSMTP& Client) : Client(Client), Terminal(::isatty(STDERR_FILENO) == 1) {}

    void Stage(const QString& text) {
        EndBar();
        Complain(text);
    }
    void Sent() {
        if (!Terminal) {
            // One line per stage: the first piece of the text says it is going out.
            if (!TextAnnounced) Complain(Utf8("正在发送") + QString::number(Client.BytesTotal) + Utf8("字节"));
            TextAnnounced = true;
            return;
        }
        const qint64 total = std::max<qint64>(Client.BytesTotal, 1);
        const int percent = static_cast<int>(100 * qint64{Client.BytesSent} / total);
        if (BarShown && percent == LastPercent) return;  // redraw only when the bar moves
        LastPercent = percent;
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        Write(stderr, QString("\r[%1%2] %3% %4/%5").arg(QString(filled, '#'), QString(kWidth - filled, '-'))
                          .arg(percent, 3).arg(Client.BytesSent).arg(Client.BytesTotal) + Utf8(" 字节"));
        BarShown = true;
    }
    void EndBar() {
        if (BarShown) Write(stderr, "\n");
        BarShown = false;
    }

private:
    mail::TZelSMTP& Client;
    const bool Terminal;
    bool BarShown = false;
    int LastPercent = -1;
    bool TextAnnounced = false;
};

// ---- the password ----

enum class TPrompt { Answered, NoTerminal, Interrupted };

// The exit status of a command the signal ended, as the shells count it.
int InterruptedStatus() { return InterruptSignal == SIGTERM ? kExitTerminated : kExitInterrupted; }

// Asks on the controlling terminal with echo off; Ctrl+C (or SIGTERM) ends the wait.
TPrompt AskPassword(const QString& user, QString& password) {
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
    if (tty < 0) return TPrompt::NoTerminal;
    termios saved{};
    const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    // Echo is off before the prompt shows: what is typed after it is neither
    // shown nor flushed away.
    const std::string prompt = Win::Utf8ToTerminal(rtl::TUtf8Text((Utf8("登录名 ") + user + Utf8(" 的密码：")).toStdString()));
    [[maybe_unused]] ssize_t n = ::write(tty, prompt.data(), prompt.size());
    // The interrupt pipe is watched too: a Ctrl+C that comes before the
    // read starts does not interrupt the read.
    std::string line;
    bool interrupted = false;
    for (;;) {
        pollfd watched[2] = {{tty, POLLIN, 0}, {InterruptPipe[0], POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents != 0) {
            interrupted = true;
            break;
        }
        char c = 0;
        if (::read(tty, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    if (isTerminal) ::tcsetattr(tty, TCSAFLUSH, &saved);
    n = ::write(tty, "\n", 1);
    ::close(tty);
    if (interrupted) return TPrompt::Interrupted;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    password = FromLocale(line);
    return TPrompt::Answered;
}

// ---- the commands ----

int Coverage(const QStringList& args) {
    if (args.size() > 1) return UsageError(Utf8("coverage 最多接受一个号码。"));
    const rtl::TStringList lines = fax::CoverageList();
    if (args.isEmpty()) {
        for (const auto& line : lines) Say(FromGb(line));
        return kExitSent;
    }
    fax::LoadPlacesAhead();
    // What the window shows beside the number field, then the answer.
    const TSendSettings settings = ReadSendSettings();
    const TNumberEcho echo = EchoNumber(args[0], settings.HomeCountry, lines, ToGb(settings.GatewayPattern));
    if (!echo.Understood) {
        Complain(echo.Failure.isEmpty() ? FromGb(fax::kMsgEmptyNumber) : echo.Failure);
        return kExitRefused;
    }
    if (!echo.Covered) {
        Complain(echo.Number + "\n" + FromGb(fax::kMsgNotCovered));
        return kExitRefused;
    }
    Say(echo.Number + Utf8("\n可以发送，网关地址：") + echo.Gateway);
    return kExitSent;
}

struct TSendOptions {
    QCommandLineOption Number{{"n", "number"}, "", "number"};
    QCommandLineOption Server{"server", "", "host"};
    QCommandLineOption From{"from", "", "address"};
    QCommandLineOption Port{"port", "", "port"};
    QCommandLineOption Security{"security", "", "mode"};
    QCommandLineOption User{"user", "", "name"};
    QCommandLineOption Gateway{"gateway", "", "pattern"};
    QCommandLineOption CaFile{"ca-file", "", "file"};
    QCommandLineOption Subject{"subject", "", "text"};
    QCommandLineOption Timeout{"timeout", "", "seconds"};
    QCommandLineOption Verbose{"verbose", ""};
    QCommandLineOption DryRun{"dry-run", ""};
    QCommandLineOption Queue{"queue", ""};
    QCommandLineOption At{"at", "", "time"};
    QList<QCommandLineOption> All() const {
        return {Number, Server, From, Port, Security, User, Gateway, CaFile, Subject, Timeout, Verbose, DryRun, Queue, At};
    }
    // What check takes besides the connection settings: nothing of a fax.
    QList<QCommandLineOption> SendOnly() const { return {Number, Gateway, Subject, DryRun, Queue, At}; }
};

// Saved settings with the options over them; the status to exit with, or 0.
int SettingsFromOptions(const QCommandLineParser& parser, const TSendOptions& o, TSendSettings& settings) {
    // One value each: a second would silently replace the first.
    for (const QCommandLineOption& option : o.All())
        if (option.names() != o.Number.names() && parser.values(option).size() > 1)
            return UsageError(Utf8("选项 --") + option.names().last() + Utf8(" 只能给出一次。"));
    settings = ReadSendSettings();
    if (parser.isSet(o.Server)) settings.Server = parser.value(o.Server);
    if (parser.isSet(o.From)) settings.Email = parser.value(o.From);
    if (parser.isSet(o.Port)) {
        bool ok = false;
        const int port = parser.value(o.Port).toInt(&ok);
        if (!ok || port < 1 || port > 65535) return UsageError(Utf8("--port 必须是 1 到 65535 之间的数。"));
        settings.Port = port;
    }
    if (parser.isSet(o.Security)) {
        const QString mode = parser.value(o.Security);
        if (mode == "none")
            settings.Security = mail::TSmtpSecurity::None;
        else if (mode == "starttls")
            settings.Security = mail::TSmtpSecurity::StartTls;
        else if (mode == "tls")
            settings.Security = mail::TSmtpSecurity::ImplicitTls;
        else
            return UsageError(Utf8("--security 只能是 none、starttls 或 tls。"));
    }
    if (parser.isSet(o.User)) settings.LoginName = parser.value(o.User);
    if (parser.isSet(o.Gateway)) settings.GatewayPattern = parser.value(o.Gateway);
    if (parser.isSet(o.CaFile)) settings.TrustFile = parser.value(o.CaFile);
    // A value the file holds but the program cannot read stops the send,
    // unless an option gives it.
    for (const auto& [option, key] : {std::pair{&o.Port, "smtp/port"}, {&o.Security, "smtp/security"}, {&o.Gateway, "fax/gatewayPattern"}})
        if (parser.isSet(*option)) Repaired(settings.Damaged, QLatin1String(key));
    if (!settings.Damaged.isEmpty()) {
        Complain(DamagedSettingsMessage(settings.Damaged));
        return kExitRefused;
    }
    return 0;
}

// --timeout in seconds (0: not given); the status to exit with, or 0.
int TimeLimitFromOption(const QCommandLineParser& parser, const TSendOptions& o, int& seconds) {
    seconds = 0;
    if (!parser.isSet(o.Timeout)) return 0;
    bool ok = false;
    seconds = parser.value(o.Timeout).toInt(&ok);
    if (!ok || seconds < 1 || seconds > 86400) return UsageError(Utf8("--timeout 必须是 1 到 86400 之间的秒数。"));
    return 0;
}

// The login's password: 0 with it, or the exit status after saying why there is none.
int PasswordFor(const TSendSettings& settings, const QString& fromEnvironment, QString& password) {
    if (settings.LoginName.isEmpty()) return 0;
    password = fromEnvironment;
    if (password.isEmpty() && settings.RememberPassword) password = StoredPassword();
    if (!password.isEmpty()) return 0;
    switch (AskPassword(settings.LoginName, password)) {
        case TPrompt::NoTerminal:
            Complain(Utf8("需要登录密码：请设置环境变量 FAXMAIL_PASSWORD，或在终端上运行。"));
            return kExitRefused;
        case TPrompt::Interrupted:
            Complain(Utf8("已中断，传真没有发送。"));
            return InterruptedStatus();
        case TPrompt::Answered: break;
    }
    if (!password.isEmpty()) return 0;
    Complain(Utf8("密码不能为空，传真没有发送。"));
    return kExitRefused;
}

// Ctrl+C stops the client's wait as the stop button does.
class TInterrupt {
public:
    explicit TInterrupt(mail::TZelSMTP& Client) : Notifier(InterruptPipe[0], QSocketNotifier::Read) {
        QObject::connect(&Notifier, &QSocketNotifier::activated, [this, &Client] {
            char byte = 0;
            [[maybe_unused]] const ssize_t n = ::read(InterruptPipe[0], &byte, 1);
            Interrupted = true;
            Client.Abort();
            Win::Application().Terminate();
        });
    }
    bool Interrupted = false;

private:
    QSocketNotifier Notifier;
};

// --verbose: the dialogue on standard error, "C:" for the client, "S:" for the server.
void TraceDialogue(mail::TZelSMTP& client) {
    client.OnDialogue = [](bool sent, const std::string& line) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        Complain((sent ? QStringLiteral("C: ") : QStringLiteral("S: ")) + FromGb(text));
    };
}

// What became of one send: its exit status, and for a failure what the user
// was told and whether the outbox may take it.
struct TDelivery {
    int Status = kExitSent;
    bool Retry = false;
    bool MaybeSent = false;
    QString Failure;
};

// Sends a checked request with the password on it, with progress, Ctrl+C and
// the time limit; a sent fax's lines go to standard output. EndMarkGoing,
// when set, hears of the end mark before it goes out.
TDelivery Deliver(fax::TSendRequest& request, const TServerTarget& target, mail::TZelSMTP& clientRef,
                  fax::TFaxDispatch& dispatch, history::TSendRecorder& recorder, history::THistory& store, bool verbose,
                  int timeLimit, const std::function<void()>& endMarkGoing) {
    mail::TZelSMTP* client = &clientRef;
    recorder.FailureText = [&target](const std::exception& e) { return ExplainFailure(e, target); };
    TProgress progress(*client);
    store.OnNotice = [&progress](const QString& text) {
        progress.EndBar();
        Complain(text);
    };
    client->OnConnect = [&](rtl::TObject*) { progress.Stage(Utf8("已与传真服务器连接上")); };
    client->OnPacketSent = [&](rtl::TObject*) { progress.Sent(); };
    client->OnSuccess = [&](rtl::TObject*) {
        progress.Stage(Utf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
    };
    client->OnStep = [&](mail::TSmtpPhase phase) {
        const QString text = StepText(phase, target, client->TimeLimits.Greeting);
        if (!text.isEmpty()) progress.Stage(text);
    };
    if (verbose) TraceDialogue(*client);
    if (endMarkGoing) {
        // Every line is heard as it goes out: the end mark's is the last moment
        // a resend is still safe.
        client->OnDialogue = [client, endMarkGoing, trace = client->OnDialogue](bool sent, const std::string& line) {
            if (sent && client->Phase() == mail::TSmtpPhase::EndMark) endMarkGoing();
            if (trace) trace(sent, line);
        };
    }

    TInterrupt interrupt(*client);
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] {
        timedOut = true;
        client->Abort();
    });
    if (timeLimit > 0) limit.start(timeLimit * 1000);
    TDelivery result;
    const auto fail = [&](int status, const QString& text, bool retry) {
        Complain(text);
        result = {status, retry, false, text};
        return result;
    };
    try {
        const std::string late = recorder.Send(request);
        progress.EndBar();
        if (!late.empty()) return fail(kExitRefused, FromGb(late), false);
    } catch (const std::exception& e) {
        progress.EndBar();
        // Whatever ended the wait, the user must learn that the fax may have gone.
        if (dynamic_cast<const mail::EMaybeDelivered*>(&e) != nullptr) {
            fail(interrupt.Interrupted ? InterruptedStatus() : kExitMaybeSent, ExplainFailure(e, target), false);
            result.MaybeSent = true;
            return result;
        }
        if (interrupt.Interrupted) return fail(InterruptedStatus(), Utf8("已中断，传真没有发送。"), false);
        if (timedOut) return fail(kExitServer, Msg(TMsg::TimeLimitReached, {QString::number(timeLimit)}), true);
        return fail(ExitStatusOf(e), ExplainFailure(e, target), outbox::SafeToRetry(e));
    }
    for (const std::string& address : dispatch.GatewayAddresses()) Say(FromGb(address));
    Say(SentLine(recorder.Last()));
    return result;
}

// --at: "YYYY-MM-DD HH:MM" in local time, or +MINUTES from now; invalid when neither.
QDateTime DueTimeOf(const QString& text) {
    if (text.startsWith('+')) {
        bool ok = false;
        const int minutes = text.mid(1).toInt(&ok);
        return ok && minutes >= 0 && minutes <= 525600 ? QDateTime::currentDateTimeUtc().addSecs(qint64{minutes} * 60) : QDateTime();
    }
    QDateTime local = QDateTime::fromString(text.simplified(), "yyyy-MM-dd HH:mm");
    return local.isValid() ? local.toUTC() : QDateTime();
}

qint64 LastQueuedId = 0;

// Puts the request (its password dropped) into the outbox; kExitQueued with
// the fax's number and due time said, else kExitRefused.
int Queued(fax::TSendRequest request, const QDateTime& due, int tries, const QString& failure) {
    request.Password = rtl::TUtf8Text();
    outbox::TOutbox box;
    box.GiveUpHours = OutboxGiveUpHours();
    QString error;
    LastQueuedId = box.Add(request, history::kCommandLine, due, tries, failure, error);
    if (LastQueuedId == 0) {
        Complain(error + Utf8("传真没有放入发件箱。"));
        return kExitRefused;
    }
    Complain(Utf8("传真已放入发件箱（编号 %1），将在 %2 发送。").arg(LastQueuedId).arg(due.toLocalTime().toString("yyyy-MM-dd HH:mm")));
    Say(QString::number(LastQueuedId));
    return kExitQueued;
}

int Send(const QCommandLineParser& parser, const TSendOptions& o, const QStringList& files,
         std::vector<rtl::TFilePath> paths) {
    const QString fromEnvironment = TakeSecretVariable(kPasswordVariable);
    if (!parser.isSet(o.Number)) return UsageError(Utf8("send 需要 --number 号码。"));
    if (files.isEmpty()) return UsageError(Utf8("send 需要至少一个文件。"));
    fax::LoadPlacesAhead();  // the record names the numbers' places
    TSendSettings settings;
    if (const int usage = SettingsFromOptions(parser, o, settings)) return usage;
    int timeLimit = 0;
    if (const int usage = TimeLimitFromOption(parser, o, timeLimit)) return usage;
    const bool dryRun = parser.isSet(o.DryRun);
    // Blanks first, as the send button checks them, and before a password is asked for.
    if (settings.Server.isEmpty() || settings.Email.isEmpty()) {
        Complain(FromGb(fax::kMsgBlankFields));
        return kExitRefused;
    }

    std::unique_ptr<mail::TZelSMTP> client = MakeWindowMailClient();
    fax::TFaxDispatch dispatch(*client);
    // The send button's checks, in its order and with its texts; more numbers
    // and the subject are held to the same code page.
    const QStringList numbers = parser.values(o.Number);
    TMadeRequest made = MakeSendRequest(settings, numbers.first(), QString(), std::move(paths));
    if (made.Refused()) {
        Complain(UnrepresentableFieldText(made.RefusedField));
        return kExitRefused;
    }
    fax::TSendRequest& request = made.Request;
    request.MoreNumbers.resize(static_cast<std::size_t>(numbers.size() - 1));
    std::vector<std::pair<QString, std::pair<const char*, rtl::TGbText*>>> fields = {{parser.value(o.Subject), {"--subject", &request.Subject}}};
    for (qsizetype i = 1; i < numbers.size(); ++i)
        fields.push_back({numbers[i], {"对方传真号码", &request.MoreNumbers[static_cast<std::size_t>(i - 1)]}});
    for (const auto& [text, field] : fields) {
        if (!Win::Utf8ToGbExactly(rtl::TUtf8Text(text.toStdString()), *field.second)) {
            Complain(UnrepresentableFieldText(field.first));
            return kExitRefused;
        }
    }
    history::THistory store;
    store.OnNotice = [](const QString& text) { Complain(text); };
    history::TSendRecorder recorder(dispatch, *client, history::kCommandLine);
    recorder.Store = &store;
    // Everything that can be refused without the server is refused now; a
    // refused send is recorded, a dry run is no send.
    const std::string refusal = dryRun ? dispatch.Check(request) : recorder.Check(request);
    if (!refusal.empty()) {
        Complain(FromGb(refusal));
        return kExitRefused;
    }
    if (dryRun) {
        // The message exactly as it would go out after DATA, nothing connected.
        // Read as it is composed: the attachments are never held whole.
        dispatch.Fill(request, client->PostMessage());
        const std::unique_ptr<mail::TMessageSource> text = client->OpenMessage();
        const std::string header = client->FinalHeader.Text() + "\r\n\r\n";
        std::fwrite(header.data(), 1, header.size(), stdout);
        std::vector<char> piece(64 * 1024);
        for (std::int64_t n; (n = text->Read(piece.data(), static_cast<std::int64_t>(piece.size()))) > 0;) {
            if (InterruptSignal != 0) return InterruptedStatus();  // no loop runs here to stop it
            std::fwrite(piece.data(), 1, static_cast<std::size_t>(n), stdout);
        }
        std::fflush(stdout);
        return kExitSent;
    }
    if (parser.isSet(o.At)) {
        // Sent later: into the outbox as it stands, no password asked now.
        const QDateTime due = DueTimeOf(parser.value(o.At));
        if (!due.isValid()) return UsageError(Utf8("--at 必须是 \"YYYY-MM-DD HH:MM\"（本地时间）或 +分钟数。"));
        return Queued(request, due, 0, QString());
    }
    QString password;
    if (const int status = PasswordFor(settings, fromEnvironment, password)) return status;
    request.Password = rtl::TUtf8Text(password.toStdString());

    const TServerTarget target{settings.Server, settings.Port, true};
    const TDelivery delivery = Deliver(request, target, *client, dispatch, recorder, store, parser.isSet(o.Verbose), timeLimit, {});
    if (delivery.Status == kExitSent || !parser.isSet(o.Queue) || !delivery.Retry) return delivery.Status;
    // A temporary failure the user asked to queue: the try stays in the
    // history, linked to the fax it now is in the outbox.
    const QDateTime due = QDateTime::currentDateTimeUtc().addSecs(qint64{outbox::RetryDelayMinutes(1)} * 60);
    const int status = Queued(request, due, 1, delivery.Failure);
    if (status == kExitQueued && recorder.Last().Id != 0) {
        history::TRecord record = recorder.Last();
        record.OutboxId = LastQueuedId;
        store.Update(record);
    }
    return status;
}

// One fax taken from the outbox, sent as `send` sends it; its entry follows
// the outcome. Passwords are asked once per login and flush.
int FlushOne(const outbox::TEntry& entry, outbox::TOutbox& box, const TSendSettings& settings, const QString& fromEnvironment,
             std::map<std::string, QString>& passwords) {
    Complain(Utf8("发送发件箱第 %1 号传真（%2，第 %3 次）").arg(entry.Id).arg(entry.Numbers).arg(entry.Tries));
    fax::TSendRequest request = entry.Request;
    std::unique_ptr<mail::TZelSMTP> client = MakeWindowMailClient();
    fax::TFaxDispatch dispatch(*client);
    history::THistory store;
    store.OnNotice = [](const QString& text) { Complain(text); };
    history::TSendRecorder recorder(dispatch, *client, history::kCommandLine);
    recorder.Store = &store;
    recorder.OutboxId = entry.Id;
    const std::string refusal = recorder.Check(request);
    if (!refusal.empty()) {
        Complain(FromGb(refusal));
        box.Failed(entry.Id, FromGb(refusal), false);
        return kExitRefused;
    }
    if (!request.LoginName.IsEmpty()) {
        QString& password = passwords[request.LoginName.Bytes()];
        if (password.isEmpty()) {
            TSendSettings login = settings;
            login.LoginName = QString::fromStdString(request.LoginName.Bytes());
            if (const int status = PasswordFor(login, fromEnvironment, password)) {
                // Nothing was tried: due again after the back-off, until given up.
                box.Failed(entry.Id, Utf8("没有登录密码，传真没有发送。"), true);
                return status;
            }
        }
        request.Password = rtl::TUtf8Text(password.toStdString());
    }
    const TServerTarget target{FromGb(request.Server.Bytes()), request.Port, true};
    const TDelivery delivery =
        Deliver(request, target, *client, dispatch, recorder, store, false, 0, [&] { box.EndMarkGoing(entry.Id); });
    if (delivery.Status == kExitSent)
        box.Sent(entry.Id);
    else if (delivery.MaybeSent)
        box.MaybeSent(entry.Id, delivery.Failure);
    else  // a stop leaves it due as well
        box.Failed(entry.Id, delivery.Failure, delivery.Retry || delivery.Status == kExitInterrupted || delivery.Status == kExitTerminated);
    return delivery.Status;
}

// `faxmail outbox --flush`: every fax that is due, each claimed before it is
// sent; 0 when none failed, else the worst status of its sends.
int Flush() {
    const QString fromEnvironment = TakeSecretVariable(kPasswordVariable);
    const TSendSettings settings = ReadSendSettings();
    outbox::TOutbox box;
    box.GiveUpHours = OutboxGiveUpHours();
    box.OnGivenUp = [](const outbox::TEntry& entry) {
        Complain(Utf8("发件箱第 %1 号传真（%2）已放弃，不再重试：%3").arg(entry.Id).arg(entry.Numbers, entry.LastFailure));
        TellGivenUp(entry);
    };
    std::map<std::string, QString> passwords;
    int worst = kExitSent;
    while (const std::optional<outbox::TEntry> entry = box.Claim()) {
        const int status = FlushOne(*entry, box, settings, fromEnvironment, passwords);
        worst = std::max(worst, status);
        if (status == kExitInterrupted || status == kExitTerminated) break;
    }
    if (!box.Problem().isEmpty()) {
        Complain(box.Problem());
        worst = std::max(worst, kExitRefused);
    }
    return worst;
}

int Check(const QCommandLineParser& parser, const TSendOptions& o, const QStringList& args) {
    const QString fromEnvironment = TakeSecretVariable(kPasswordVariable);
    if (!args.isEmpty()) return UsageError(Utf8("check 不接受参数：") + args.first());
    for (const QCommandLineOption& option : o.SendOnly())
        if (parser.isSet(option)) return UsageError(Utf8("check 不接受选项 --") + option.names().last() + Utf8("。"));
    TSendSettings settings;
    if (const int usage = SettingsFromOptions(parser, o, settings)) return usage;
    int timeLimit = 0;
    if (const int usage = TimeLimitFromOption(parser, o, timeLimit)) return usage;
    if (settings.Server.isEmpty()) {
        Complain(FromGb(fax::kMsgBlankFields));
        return kExitRefused;
    }
    QString password;
    if (const int status = PasswordFor(settings, fromEnvironment, password)) return status;
    TConnectionCheck check;
    check.CommandLine = true;
    check.OnReport = [](const QString& line) { Say(line); };
    check.Prepare = [&](mail::TSmtpConnection&, mail::TZelSMTP& client) {
        if (parser.isSet(o.Verbose)) TraceDialogue(client);
    };
    // The limit holds the whole test, the other ports' tries included.
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] {
        timedOut = true;
        check.Abort();
    });
    if (timeLimit > 0) limit.start(timeLimit * 1000);
    if (check.Run(settings, password)) return kExitSent;
    if (timedOut) {
        Complain(Msg(TMsg::CheckTimeLimitReached, {QString::number(timeLimit)}));
        return kExitServer;
    }
    Complain(check.Failure);
    if (check.Alternative) {
        const TSendSettings& better = *check.Alternative;
        Say(Msg(TMsg::CheckProposal, {QString::number(better.Port), SecurityLabel(better.Security)}));
        Say(QStringLiteral("  --port %1 --security %2").arg(better.Port).arg(SecurityOption(better.Security)));
    } else if (check.AlternativesTried) {
        Say(Msg(TMsg::CheckNoAlternative));
    }
    return check.Status;
}

// The command the arguments name; what it does not report itself reaches
// RunCommandLine's handlers.
int RunCommand(int argc, char** argv, TWatchCommand watch) {
    std::setlocale(LC_ALL, "");
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(kSettingsApplicationName);
    QCoreApplication::setOrganizationName(kOrganisationName);
    Win::Application().Title = kApplicationTitle;
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, "");
    const QCommandLineOption version({"v", "version"}, "");
    const TSendOptions send;
    const THistoryOptions historyOptions;
    parser.addOptions(historyOptions.All());
    const TOutboxOptions outboxOptions;
    parser.addOptions(outboxOptions.All());
    parser.addOption(help);
    parser.addOption(version);
    parser.addOptions(send.All());
    // Decoded from the locale here, not by Qt (which takes every argument for UTF-8).
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << FromLocale(argv[i]);
    // The watch has options of its own; its help is the program's.
    if (arguments.value(1) == QLatin1String("watch") && !arguments.contains("--help") && !arguments.contains("-h")) {
        if (watch == nullptr) throw std::logic_error("the watch is its own program's");
        return watch(arguments);
    }
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) return UsageError(Utf8("未知的选项：") + (unknown.first().size() > 1 ? "--" : "-") + unknown.first());
        return UsageError(Utf8("选项有误：") + parser.errorText());
    }
    if (parser.isSet(help)) {
        Write(stdout, Utf8(kHelp));
        return kExitSent;
    }
    if (parser.isSet(version)) {
        Say(Utf8(kApplicationTitle));
        return kExitSent;
    }
    QStringList args = parser.positionalArguments();
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    if (command == "history") {
        for (const QCommandLineOption& option : send.All())
            if (parser.isSet(option)) return UsageError(Utf8("history 不接受选项 --") + option.names().last() + Utf8("。"));
        return HistoryCommand(parser, historyOptions, args);
    }
    for (const QCommandLineOption& option : outboxOptions.All())
        if (parser.isSet(option) && command != "outbox")
            return UsageError(Utf8("只有 outbox 接受选项 --") + option.names().last() + Utf8("。"));
    for (const QCommandLineOption& option : historyOptions.All())
        if (parser.isSet(option) && !(command == "outbox" && option.names() == historyOptions.Json.names()))
            return UsageError(Utf8("只有 history 接受选项 --") + option.names().last() + Utf8("。"));
    const int commandAt = static_cast<int>(arguments.indexOf(command));
    if (command == "coverage") {
        for (const QCommandLineOption& option : send.All())
            if (parser.isSet(option)) return UsageError(Utf8("coverage 不接受选项 --") + option.names().last() + Utf8("。"));
        return Coverage(args);
    }
    if (command == "outbox") {
        for (const QCommandLineOption& option : send.All())
            if (parser.isSet(option)) return UsageError(Utf8("outbox 不接受选项 --") + option.names().last() + Utf8("。"));
        if (parser.isSet(outboxOptions.Flush) + parser.isSet(outboxOptions.Delete) + parser.isSet(historyOptions.Json) > 1)
            return UsageError(Utf8("--flush、--delete 和 --json 只能选一个。"));
        if (!parser.isSet(outboxOptions.Flush)) return OutboxListOrDelete(parser, outboxOptions, parser.isSet(historyOptions.Json), args);
        if (!args.isEmpty()) return UsageError(Utf8("outbox 不接受其它参数：") + args.first());
    } else if (command != "send" && command != "check") {
        return UsageError(Utf8("未知的命令：") + command);
    }
    // "faxmail -n N send f": the command comes first, its options after it.
    if (arguments.value(1).startsWith('-')) return UsageError(Utf8("选项要写在命令之后：faxmail ") + command + Utf8(" [选项] ..."));

    if (::pipe(InterruptPipe) != 0) {
        Complain(Utf8("无法准备中断处理。"));
        return kExitRefused;
    }
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    if (command == "check") return Check(parser, send, args);
    if (command == "outbox") return Flush();
    // Each file is opened by the bytes the shell passed, never by its decoded
    // name: the positional texts matched in order against the arguments.
    std::vector<rtl::TFilePath> paths;
    for (int i = 1, next = 0; next < args.size() && i < argc; ++i)
        if (arguments[i] == args[next] && i > commandAt) {
            paths.emplace_back(argv[i]);
            ++next;
        }
    return Send(parser, send, args, std::move(paths));
}

}  // namespace

bool IsCommandName(const QString& word) {
    static const QStringList commands = {"send", "check", "coverage", "history", "watch", "outbox"};
    return commands.contains(word);
}

bool IsCommandLine(int argc, char** argv) {
    if (argc < 2) return false;
    const QString first = FromLocale(argv[1]);
    if (IsCommandName(first)) return true;
    // Documents to fax, as the file manager's "Open with" passes them: the
    // windows, with the files in the list, whatever their names ("--" ends
    // the options). A path that names no regular file is explained there too.
    if (first == "--" || rtl::PathExists(argv[1]) || first.contains('/')) return false;  // by its own bytes
    // -n is send's: before the command it is a usage error, not a window.
    if (first.startsWith("--") || first == "-h" || first == "-v" || first == "-?" || first == "-n") return true;
    if (first.startsWith('-')) return false;  // Qt's own options
    // A word that is neither is a mistyped command, which the command line names.
    return true;
}

int RunCommandLine(int argc, char** argv, TWatchCommand watch) {
    // A reader that went away (| head -1) must not end a send half way: a
    // failed write to standard output or error is ignored, and the exit
    // status alone tells what became of the fax.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return RunCommand(argc, argv, watch);
    } catch (const std::bad_alloc&) {
        Complain(FromGb(mail::kMsgOutOfMemory));
    } catch (const std::exception& e) {
        Complain(MessageForDisplay(e.what()));
    } catch (...) {
        Complain(Utf8("发生了意外的错误，命令没有完成。"));
    }
    return kExitRefused;
}

}  // namespace app
