#include "app/CommandLine.h"

#include "app/Constants.h"
#include "app/DamagedSettings.h"
#include "app/Forms.h"
#include "app/HistoryCommand.h"
#include "app/SecretStore.h"
#include "app/SendRequest.h"
#include "app/WatchCommand.h"
#include "app/Settings.h"
#include "fax/Coverage.h"
#include "fax/Dispatch.h"
#include "history/SendRecorder.h"
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
#include <new>
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
    "  faxmail coverage [号码]          列出传真范围；给出号码时说明能否发送及网关地址\n"
    "  faxmail history [--limit N] [--json]\n"
    "                                   发送记录，最新的在前（默认 20 条，0：全部；--json：每行一个JSON对象）\n"
    "  faxmail watch [--once] [--timeout 秒] [邮箱选项]\n"
    "                                   读取邮箱中传真网关的回复，记在发送记录上\n"
    "  faxmail --help | --version\n"
    "\n"
    "send 的选项（未给出的取自保存的设置）：\n"
    "  -n, --number 号码                对方传真号码，如 001-212-1234567（必填）\n"
    "  --server 主机                    SMTP邮件服务器\n"
    "  --from 地址                      您的电子邮件\n"
    "  --port 端口                      服务器端口（1 到 65535）\n"
    "  --security none|starttls|tls     连接的保护方式\n"
    "  --user 名字                      登录名（空：不登录）\n"
    "  --gateway 格式                   传真网关地址的格式，{number} 代表完整号码\n"
    "  --ca-file 文件                   另外信任的证书颁发机构文件\n"
    "\n"
    "watch 的选项（未给出的取自保存的设置；邮箱只读，不改变邮件的标记）：\n"
    "  --once                           读取一次后退出（否则一直读取，直到 Ctrl+C）\n"
    "  --timeout 秒                     最多读取这么多秒\n"
    "  --imap-server 主机               邮箱服务器（IMAP）\n"
    "  --imap-port 端口                 邮箱端口（STARTTLS 通常为 143，TLS 为 993）\n"
    "  --imap-security starttls|tls     邮箱连接的保护方式（从不明文）\n"
    "  --imap-user 名字                 邮箱登录名（默认同 SMTP 登录名）\n"
    "邮箱密码依次取自环境变量 FAXMAIL_IMAP_PASSWORD、FAXMAIL_PASSWORD、系统的密码存储；\n"
    "找到的回复写在标准输出上，每行一份：记录号、结果（delivered、failed、answered）、时间、主题。\n"
    "\n"
    "密码不从选项读取：依次取自环境变量 FAXMAIL_PASSWORD、系统的密码存储（设置中勾选了“记住密码”时），\n"
    "或在终端上输入（不回显）。\n"
    "\n"
    "发送过程显示在标准错误上；发送成功后，标准输出上写两行：第一行是传真所发往的网关地址，\n"
    "第二行是邮件的 Message-ID、一个空格和服务器对邮件结尾的应答（通常含有服务器的队列号）。\n"
    "退出状态：0 已发送；1 被拒绝或失败；2 用法错误；130 被 Ctrl+C 中断。\n";

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

extern "C" void OnInterrupt(int) {
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

// The password from the environment; the variable is wiped and removed at
// once, so neither child processes nor /proc/<pid>/environ see it later.
QString TakePasswordVariable() {
    const char* variable = std::getenv(kPasswordVariable);
    const QString value = variable != nullptr ? FromLocale(variable) : QString();
    const std::size_t nameLength = std::strlen(kPasswordVariable);
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, kPasswordVariable, nameLength) == 0 && (*entry)[nameLength] == '=')
            std::memset(*entry + nameLength + 1, 0, std::strlen(*entry + nameLength + 1));
    ::unsetenv(kPasswordVariable);
    return value;
}

// The remembered password, when the desktop's store answers within a few seconds.
QString StoredPassword() {
    QString secret;
    bool answered = false;
    QEventLoop loop;
    SecretStore().Read(kPasswordKey, [&](TSecretStore::TOutcome outcome, const QString& value) {
        if (outcome == TSecretStore::TOutcome::Done) secret = value;
        answered = true;
        loop.quit();
    });
    if (!answered) {
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return secret;
}

// ---- the commands ----

int Coverage(const QStringList& args) {
    if (args.size() > 1) return UsageError(Utf8("coverage 最多接受一个号码。"));
    const rtl::TStringList lines = fax::CoverageList();
    if (args.isEmpty()) {
        for (const auto& line : lines) Say(FromGb(line));
        return kExitSent;
    }
    fax::FaxParseResult parsed;
    try {
        parsed = fax::ParseFaxNumber(ToGb(args[0]));
    } catch (const rtl::EConvertError& e) {
        Complain(Utf8("传真号码的国家号和区号必须是数字（") + FromGb(e.what()) + Utf8("）。"));
        return kExitFailed;
    }
    if (!parsed.Ok) {
        Complain(FromGb(parsed.Failure));
        return kExitFailed;
    }
    const std::string gateway = fax::GatewayAddress(parsed.Number, ReadSendSettings().GatewayPattern.toStdString());
    if (!fax::IsCovered(lines, parsed.Number)) {
        Complain(FromGb(fax::kMsgNotCovered));
        return kExitFailed;
    }
    Say(Utf8("可以发送，网关地址：") + FromGb(gateway));
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
    QList<QCommandLineOption> All() const { return {Number, Server, From, Port, Security, User, Gateway, CaFile}; }
};

int Send(const QCommandLineParser& parser, const TSendOptions& o, const QStringList& files,
         std::vector<rtl::TFilePath> paths) {
    const QString fromEnvironment = TakePasswordVariable();
    if (!parser.isSet(o.Number)) return UsageError(Utf8("send 需要 --number 号码。"));
    if (files.isEmpty()) return UsageError(Utf8("send 需要至少一个文件。"));

    TSendSettings settings = ReadSendSettings();
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
        return kExitFailed;
    }
    // Blanks first, as the send button checks them, and before a password is asked for.
    if (settings.Server.isEmpty() || settings.Email.isEmpty()) {
        Complain(FromGb(fax::kMsgBlankFields));
        return kExitFailed;
    }

    QString password;
    if (!settings.LoginName.isEmpty()) {
        password = fromEnvironment;
        if (password.isEmpty() && settings.RememberPassword) password = StoredPassword();
        if (password.isEmpty()) {
            switch (AskPassword(settings.LoginName, password)) {
                case TPrompt::NoTerminal:
                    Complain(Utf8("需要登录密码：请设置环境变量 FAXMAIL_PASSWORD，或在终端上运行。"));
                    return kExitFailed;
                case TPrompt::Interrupted:
                    Complain(Utf8("已中断，传真没有发送。"));
                    return kExitInterrupted;
                case TPrompt::Answered:
                    if (password.isEmpty()) {
                        Complain(Utf8("密码不能为空，传真没有发送。"));
                        return kExitFailed;
                    }
                    break;
            }
        }
    }

    // The send button's checks, in its order and with its texts.
    fax::TSendRequest request;
    const char* refusedField = nullptr;
    if (!MakeSendRequest(settings, parser.value(o.Number), password, std::move(paths), request, refusedField)) {
        Complain(UnrepresentableFieldText(refusedField));
        return kExitFailed;
    }

    std::unique_ptr<mail::TZelSMTP> client = MakeWindowMailClient();
    fax::ApplyConnection(request, *client);
    TProgress progress(*client);
    client->OnConnect = [&](rtl::TObject*) { progress.Stage(Utf8("已与传真服务器连接上")); };
    client->OnPacketSent = [&](rtl::TObject*) { progress.Sent(); };
    client->OnSuccess = [&](rtl::TObject*) {
        progress.Stage(Utf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
    };

    bool interrupted = false;
    QSocketNotifier interrupt(InterruptPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupt, &QSocketNotifier::activated, [&] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(InterruptPipe[0], &byte, 1);
        interrupted = true;
        client->Abort();
        Win::Application().Terminate();
    });

    fax::TFaxDispatch dispatch(*client);
    history::THistory store;
    store.OnNotice = [&](const QString& text) {
        progress.EndBar();
        Complain(text);
    };
    history::TSendRecorder recorder(dispatch, *client, history::kCommandLine);
    recorder.Store = &store;
    progress.Stage(Utf8("正在连接") + settings.Server + ":" + QString::number(settings.Port));
    try {
        const std::string refusal = recorder.Send(request);
        progress.EndBar();
        if (!refusal.empty()) {
            Complain(FromGb(refusal));
            return kExitFailed;
        }
    } catch (const mail::EMaybeDelivered& e) {
        // Whatever ended the wait, the user must learn that the fax may have gone.
        progress.EndBar();
        Complain(MessageForDisplay(e.what()));
        return interrupted ? kExitInterrupted : kExitFailed;
    } catch (const std::exception& e) {
        progress.EndBar();
        if (interrupted) {
            Complain(Utf8("已中断，传真没有发送。"));
            return kExitInterrupted;
        }
        Complain(MessageForDisplay(e.what()));
        return kExitFailed;
    }
    Say(FromGb(dispatch.LastGatewayAddress()));
    Say(SentLine(recorder.Last()));
    return kExitSent;
}

// The command the arguments name; what it does not report itself reaches
// RunCommandLine's handlers.
int RunCommand(int argc, char** argv) {
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
    parser.addOption(help);
    parser.addOption(version);
    parser.addOptions(send.All());
    // Decoded from the locale here, not by Qt (which takes every argument for UTF-8).
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << FromLocale(argv[i]);
    // The watch has options of its own; its help is the program's.
    if (arguments.value(1) == QLatin1String("watch") && !arguments.contains("--help") && !arguments.contains("-h"))
        return WatchCommand(arguments);
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
    for (const QCommandLineOption& option : historyOptions.All())
        if (parser.isSet(option)) return UsageError(Utf8("只有 history 接受选项 --") + option.names().last() + Utf8("。"));
    const int commandAt = static_cast<int>(arguments.indexOf(command));
    if (command == "coverage") {
        for (const QCommandLineOption& option : send.All())
            if (parser.isSet(option)) return UsageError(Utf8("coverage 不接受选项 --") + option.names().last() + Utf8("。"));
        return Coverage(args);
    }
    if (command != "send") return UsageError(Utf8("未知的命令：") + command);
    // "faxmail -n N send f": the command comes first, its options after it.
    if (arguments.value(1).startsWith('-')) return UsageError(Utf8("选项要写在命令之后：faxmail send --number 号码 [选项] 文件..."));

    if (::pipe(InterruptPipe) != 0) {
        Complain(Utf8("无法准备中断处理。"));
        return kExitFailed;
    }
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
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
    static const QStringList commands = {"send", "coverage", "history", "watch"};
    return commands.contains(word);
}

bool IsCommandLine(int argc, char** argv) {
    if (argc < 2) return false;
    const QString first = FromLocale(argv[1]);
    // -n is send's: before the command it is a usage error, not a window.
    if (first.startsWith("--") || first == "-h" || first == "-v" || first == "-?" || first == "-n") return true;
    if (first.startsWith('-')) return false;  // Qt's own options
    // Documents to fax, as the file manager's "Open with" passes them: the
    // windows, with the files in the list. A word that is neither is a
    // mistyped command, which the command line names.
    return IsCommandName(first) || rtl::RegularFileSize(argv[1]) < 0;  // by its own bytes
}

int RunCommandLine(int argc, char** argv) {
    // A reader that went away (| head -1) must not end a send half way: a
    // failed write to standard output or error is ignored, and the exit
    // status alone tells what became of the fax.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return RunCommand(argc, argv);
    } catch (const std::bad_alloc&) {
        Complain(FromGb(mail::kMsgOutOfMemory));
    } catch (const std::exception& e) {
        Complain(MessageForDisplay(e.what()));
    } catch (...) {
        Complain(Utf8("发生了意外的错误，命令没有完成。"));
    }
    return kExitFailed;
}

}  // namespace app
