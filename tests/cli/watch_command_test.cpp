// `faxmail watch` as a script runs it: faxes sent with `faxmail send` through
// a real SMTP server, the gateway's answers placed in a real IMAP server's
// Maildir, and the records read back with `faxmail history --json`.
#include "platform/LocaleText.h"
#include "tests/support/DovecotServer.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TestCertificates.h"
#include "tests/watch/delivery_reports.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using testsupport::DovecotServer;

struct TRun {
    int Status = -1;
    QString Out;
    QString OutText;  // standard output read as text in the locale's character set
    QString Err;
};

class WatchCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        QSettings settings(Home.path() + "/config/Morvane/faxmail.conf", QSettings::IniFormat);
        settings.setValue("main/server", "127.0.0.1");
        settings.setValue("main/email", "me@example.org");
        settings.setValue("smtp/port", Smtp.Port());
        settings.setValue("smtp/trustFile", QString::fromStdString(testsupport::Certificates().Authority));
        settings.setValue("imap/server", "localhost");
        settings.setValue("imap/port", Imap.StartTlsPort());
        settings.setValue("imap/login", DovecotServer::kUser);
    }

    QProcessEnvironment Environment(const QString& password = DovecotServer::kPassword) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", Home.path() + "/config");
        env.insert("XDG_DATA_HOME", Home.path() + "/data");
        env.insert("FAXMAIL_IMAP_PASSWORD", password);
        env.remove("FAXMAIL_PASSWORD");
        // A failed fax is told to the desktop: never the real one's.
        if (SessionBus.isEmpty()) env.remove("DBUS_SESSION_BUS_ADDRESS");
        else env.insert("DBUS_SESSION_BUS_ADDRESS", SessionBus);
        return env;
    }

    // Program "faketime": the clock moved by Clock ("+5h") for the run.
    void Start(QProcess& process, const QStringList& args, const QString& password = DovecotServer::kPassword) const {
        process.setProcessEnvironment(Environment(password));
        if (Clock.isEmpty()) process.start(FAXMAIL_BINARY, args);
        else process.start("faketime", QStringList{"-f", Clock, FAXMAIL_BINARY} + args);
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    TRun Run(const QStringList& args, const QString& password = DovecotServer::kPassword) const {
        QProcess process;
        Start(process, args, password);
        TRun run;
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(5000);
            return run;
        }
        run.Status = process.exitCode();
        const QByteArray out = process.readAllStandardOutput();
        run.Out = QString::fromUtf8(out);  // JSON: UTF-8 in every locale
        run.OutText = QString::fromStdString(Win::LocaleTextToUtf8(out.toStdString()).Bytes());
        // Messages come in the locale's character set, as a terminal shows them.
        run.Err = QString::fromStdString(Win::LocaleTextToUtf8(process.readAllStandardError().toStdString()).Bytes());
        return run;
    }

    // Sends a fax; returns the Message-ID the send reports.
    QString Send(const QString& number) {
        const QString file = Home.path() + "/page.txt";
        testsupport::WriteTextFile(file.toStdString(), "one page\n");
        const TRun run = Run({"send", "--number", number, file});
        EXPECT_EQ(run.Status, 0) << run.Err.toStdString();
        return run.Out.section('\n', 1, 1).section(' ', 0, 0);
    }

    // The records, keyed by the number as typed.
    std::map<QString, QJsonObject> Records() const {
        const TRun run = Run({"history", "--json"});
        std::map<QString, QJsonObject> records;
        for (const QString& line : run.Out.split('\n', Qt::SkipEmptyParts)) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            records[o.value("number_typed").toString()] = o;
        }
        return records;
    }

    // A gateway's answer as the user's server ("localhost") passes it on, with its
    // Authentication-Results.
    std::string Answer(const std::string& subject, const std::string& extra = "") {
        return Spoofed(subject, "Authentication-Results: localhost; dkim=pass header.d=faxgateway.example\r\n" + extra);
    }
    std::string Spoofed(const std::string& subject, const std::string& extra = "") {
        return "From: Fax Service <noreply@faxgateway.example>\r\nTo: me@example.org\r\nSubject: " + subject +
               "\r\nMessage-ID: <" + std::to_string(++Answers) + ".answer@faxgateway.example>\r\n" + extra + "\r\nFax report.\r\n";
    }

    QString SessionBus;  // the private session bus the runs use; empty: none
    QString Clock;       // the faked clock's offset; empty: the real one
    QTemporaryDir Home;
    testsupport::RealSmtpServer Smtp;
    DovecotServer Imap;
    int Answers = 0;
};

TEST_F(WatchCommand, PutsTheAnswersOnTheRecordsOnceAndWhileRunning) {
    Send("001-212-1234567");
    const QString second = Send("0044-20-71234567");
    ASSERT_FALSE(second.isEmpty());
    const std::time_t now = ::time(nullptr);
    Imap.Deliver(Answer("Fax to +1 212 1234567 delivered"), now + 1);
    Imap.Deliver(Answer("Re: your fax", "In-Reply-To: " + second.toStdString() + "\r\n"), now + 2);

    const TRun once = Run({"watch", "--once"});
    ASSERT_EQ(once.Status, 0) << once.Err.toStdString();
    EXPECT_EQ(once.Out.count('\n'), 2) << once.Out.toStdString();
    auto records = Records();
    EXPECT_EQ(records["001-212-1234567"].value("confirmation").toString(), "delivered");
    EXPECT_EQ(records["001-212-1234567"].value("confirmation_subject").toString(), "Fax to +1 212 1234567 delivered");
    EXPECT_FALSE(records["001-212-1234567"].value("confirmation_time").toString().isEmpty());
    EXPECT_EQ(records["0044-20-71234567"].value("confirmation").toString(), "answered");

    // While `watch` runs, an answer reaches its record within 10 s.
    Send("0061-2-98765432");
    EXPECT_TRUE(Records()["0061-2-98765432"].value("confirmation").isNull());
    QProcess watching;
    Start(watching, {"watch", "--imap-security", "tls", "--imap-port", QString::number(Imap.TlsPort())});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    Imap.Deliver(Answer("Fax an +61 2 9876 5432: failed, no answer"), ::time(nullptr));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    QJsonValue confirmation;
    while (std::chrono::steady_clock::now() < deadline && confirmation.toString().isEmpty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        confirmation = Records()["0061-2-98765432"].value("confirmation");
    }
    EXPECT_EQ(confirmation.toString(), "failed");
    watching.terminate();
    ASSERT_TRUE(watching.waitForFinished(5000));
    EXPECT_EQ(watching.exitCode(), 130);
    EXPECT_TRUE(Records()["001-212-1234567"].value("confirmation").isString());
}

// A process of ours for the test's length: killed and reaped when it ends.
struct TChild {
    QProcess Process;
    ~TChild() {
        Process.kill();
        Process.waitForFinished(5000);
    }
};

// One fax to two numbers: the gateway's success for one, a bounce for the
// other; the desktop told of the failure. Then a fax without an answer: past
// the answer period it is unanswered, and a later answer still counts.
TEST_F(WatchCommand, TellsOfAFailedAndOfAnUnansweredFax) {
    TChild bus;
    bus.Process.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(bus.Process.waitForReadyRead(10000));
    SessionBus = QString::fromUtf8(bus.Process.readLine()).trimmed();
    TChild monitor;
    monitor.Process.start("dbus-monitor", {"--address", SessionBus, "interface='org.freedesktop.Notifications'"});
    ASSERT_TRUE(monitor.Process.waitForReadyRead(10000));  // it announces itself once it listens
    QByteArray monitored = monitor.Process.readAll();
    QSettings(Home.path() + "/config/Morvane/faxmail.conf", QSettings::IniFormat)
        .setValue("imap/watchedSince", QDateTime::currentSecsSinceEpoch() - 60);

    const QString file = Home.path() + "/page.txt";
    testsupport::WriteTextFile(file.toStdString(), "one page\n");
    const TRun sent = Run({"send", "--number", "001-212-1234567", "--number", "0044-20-71234567", file});
    ASSERT_EQ(sent.Status, 0) << sent.Err.toStdString();
    const QStringList lines = sent.Out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    const std::string messageId = lines[2].section(' ', 0, 0).toStdString();
    const std::time_t now = ::time(nullptr);
    Imap.Deliver(Answer("Fax to +1 212 1234567 delivered, Pages: 1"), now + 1);
    Imap.Deliver(watch::testing::Bounce(watch::testing::TBounceShape::Postfix, messageId, lines[1].toStdString()).Whole(), now + 2);

    const TRun failed = Run({"watch", "--once"});
    EXPECT_EQ(failed.Status, 6) << failed.Err.toStdString();
    EXPECT_EQ(failed.Out.count('\n'), 2) << failed.Out.toStdString();
    QJsonObject record = Records()["001-212-1234567; 0044-20-71234567"];
    EXPECT_EQ(record.value("confirmation").toString(), "failed");
    const QJsonArray confirmations = record.value("confirmations").toArray();
    ASSERT_EQ(confirmations.size(), 2);
    EXPECT_EQ(confirmations[0].toObject().value("outcome").toString(), "delivered");
    EXPECT_EQ(confirmations[0].toObject().value("pages").toInt(), 1);
    const QJsonObject bounced = confirmations[1].toObject();
    EXPECT_EQ(bounced.value("outcome").toString(), "failed");
    EXPECT_TRUE(bounced.value("reason").toString().startsWith("5.1.1 ")) << bounced.value("reason").toString().toStdString();
    const QString number = bounced.value("number").toString();
    ASSERT_FALSE(number.isEmpty());
    // The notification, with the number in its text, on the private bus.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!monitored.contains(number.toUtf8()) && std::chrono::steady_clock::now() < deadline)
        if (monitor.Process.waitForReadyRead(500)) monitored += monitor.Process.readAll();
    EXPECT_TRUE(monitored.contains("member=Notify")) << monitored.toStdString();
    EXPECT_TRUE(monitored.contains(number.toUtf8())) << monitored.toStdString();
    EXPECT_TRUE(monitored.contains("5.1.1")) << monitored.toStdString();

    // Past the answer period, the silent fax is unanswered.
    Send("0061-2-98765432");
    EXPECT_EQ(Run({"watch", "--once"}).Status, 0);  // still within it
    Clock = "+5h";
    const TRun late = Run({"watch", "--once"});
    EXPECT_EQ(late.Status, 6) << late.Err.toStdString();
    EXPECT_TRUE(late.Out.contains("\tunanswered\t")) << late.Out.toStdString();
    EXPECT_EQ(late.Out.count('\n'), 1) << late.Out.toStdString();
    EXPECT_EQ(Records()["0061-2-98765432"].value("confirmation").toString(), "unanswered");
    EXPECT_TRUE(Run({"history"}).OutText.contains(QString::fromUtf8("没有回复"))) << "history";
    // An answer that comes later still replaces it.
    Imap.Deliver(Answer("Fax to +61 2 9876 5432 delivered"), ::time(nullptr) + 3);
    const TRun answered = Run({"watch", "--once"});
    EXPECT_EQ(answered.Status, 0) << answered.Err.toStdString();
    EXPECT_EQ(Records()["0061-2-98765432"].value("confirmation").toString(), "delivered");
}

TEST_F(WatchCommand, SaysWhichSettingToCheck) {
    QSettings(Home.path() + "/config/Morvane/faxmail.conf", QSettings::IniFormat).remove("smtp/trustFile");
    const TRun untrusted = Run({"watch", "--once"});
    EXPECT_EQ(untrusted.Status, 4);
    EXPECT_TRUE(untrusted.Err.contains(QString::fromUtf8("未知的颁发机构"))) << untrusted.Err.toStdString();
    EXPECT_TRUE(untrusted.Err.contains(QString::fromUtf8("信任的证书"))) << untrusted.Err.toStdString();
    // The authority given for this run only.
    const TRun trusted = Run({"watch", "--once", "--ca-file", QString::fromStdString(testsupport::Certificates().Authority)});
    EXPECT_EQ(trusted.Status, 0) << trusted.Err.toStdString();

    QSettings(Home.path() + "/config/Morvane/faxmail.conf", QSettings::IniFormat)
        .setValue("smtp/trustFile", QString::fromStdString(testsupport::Certificates().Authority));
    const TRun refused = Run({"watch", "--once"}, "wrong-password");
    EXPECT_EQ(refused.Status, 4);
    EXPECT_TRUE(refused.Err.contains(QString::fromUtf8("拒绝了登录"))) << refused.Err.toStdString();
    EXPECT_TRUE(refused.Err.contains(QString::fromUtf8("邮箱登录名"))) << refused.Err.toStdString();
    EXPECT_FALSE(refused.Err.contains("wrong-password"));
}

TEST_F(WatchCommand, ASpoofedAnswerIsUnverifiedAndItsSubjectShownEscaped) {
    Send("001-212-1234567");
    // "delivered" CR LF, a forged result line and a terminal escape, as an encoded word can carry them.
    const std::string subject = "Fax to +1 212 1234567 delivered\r\n9\tdelivered\x1b[2J";
    const QByteArray encoded = QByteArray::fromStdString(subject).toBase64();
    Imap.Deliver(Spoofed("=?UTF-8?B?" + encoded.toStdString() + "?="), ::time(nullptr) + 1);

    const TRun spoofed = Run({"watch", "--once"});
    ASSERT_EQ(spoofed.Status, 0) << spoofed.Err.toStdString();
    EXPECT_EQ(spoofed.Out.count('\n'), 1) << spoofed.Out.toStdString();
    EXPECT_TRUE(spoofed.Out.contains("\tunverified\t")) << spoofed.Out.toStdString();
    EXPECT_TRUE(spoofed.Out.contains("delivered\\r\\n9\\tdelivered\\x1b[2J")) << spoofed.Out.toStdString();
    EXPECT_FALSE(spoofed.Out.contains('\x1b'));
    auto records = Records();
    EXPECT_EQ(records["001-212-1234567"].value("confirmation").toString(), "unverified");
    EXPECT_EQ(records["001-212-1234567"].value("confirmation_subject").toString().toStdString(), subject);  // JSON as it was
    const TRun listed = Run({"history"});
    EXPECT_TRUE(listed.OutText.contains(QString::fromUtf8("回复未经验证"))) << listed.OutText.toStdString();

    // The genuine answer, passed by the user's server, still reaches the record.
    Imap.Deliver(Answer("Fax to +1 212 1234567 failed: busy"), ::time(nullptr) + 2);
    const TRun genuine = Run({"watch", "--once"});
    ASSERT_EQ(genuine.Status, 6) << genuine.Err.toStdString();  // a fax failed during the run
    EXPECT_EQ(Records()["001-212-1234567"].value("confirmation").toString(), "failed");
}

TEST_F(WatchCommand, RefusesAControlCharacterInTheMailboxSettingsBeforeConnecting) {
    QSettings settings(Home.path() + "/config/Morvane/faxmail.conf", QSettings::IniFormat);
    settings.setValue("imap/folder", "INBOX\r\nA1 DELETE INBOX");
    settings.sync();
    const TRun folder = Run({"watch", "--once"});
    EXPECT_EQ(folder.Status, 1);
    EXPECT_TRUE(folder.Err.contains(QString::fromUtf8("邮箱文件夹含有控制字符"))) << folder.Err.toStdString();
    EXPECT_FALSE(folder.Err.contains(QString::fromUtf8("正在读取邮箱"))) << folder.Err.toStdString();
    settings.setValue("imap/folder", "INBOX");
    settings.sync();
    const TRun password = Run({"watch", "--once"}, QString(DovecotServer::kPassword) + "\r\nA1 NOOP");
    EXPECT_EQ(password.Status, 1);
    EXPECT_TRUE(password.Err.contains(QString::fromUtf8("邮箱密码含有控制字符"))) << password.Err.toStdString();
    const TRun user = Run({"watch", "--once", "--imap-user", "me\nA1 NOOP"});
    EXPECT_EQ(user.Status, 1);
    EXPECT_TRUE(user.Err.contains(QString::fromUtf8("邮箱登录名含有控制字符"))) << user.Err.toStdString();
}

// A broken server ends the run with 3 and a text naming it; --timeout bounds --once.
TEST_F(WatchCommand, EndsOnABrokenOrDrippingServer) {
    testsupport::ScriptedPeer deep;
    deep.Send("* OK ready\r\n").ExpectUntil("STARTTLS\r\n").Send("* 1 FETCH (BODYSTRUCTURE " + std::string(20000, '(') + "\r\n");
    deep.Start();
    const QString port = QString::number(deep.Port());
    const TRun broken = Run({"watch", "--once", "--imap-server", "127.0.0.1", "--imap-port", port});
    EXPECT_EQ(broken.Status, 3) << broken.Err.toStdString();
    EXPECT_TRUE(broken.Err.contains(QString::fromUtf8("邮箱服务器 127.0.0.1:") + port + QString::fromUtf8(" 发来的回应超出了限度")))
        << broken.Err.toStdString();

    testsupport::ScriptedPeer drip;
    drip.SetStepTimeout(std::chrono::milliseconds(20000));
    drip.Send("* OK ready\r\n").ExpectUntil("STARTTLS\r\n").SendPieces("* OK " + std::string(100, 'x') + "\r\n", 1, std::chrono::milliseconds(500));
    drip.Start();
    const TRun dripping = Run({"watch", "--once", "--timeout", "2", "--imap-server", "127.0.0.1", "--imap-port", QString::number(drip.Port())});
    EXPECT_EQ(dripping.Status, 3) << dripping.Err.toStdString();
    EXPECT_TRUE(dripping.Err.contains(QString::fromUtf8("没有及时回应"))) << dripping.Err.toStdString();
}

}  // namespace

