#include "AppFixture.h"

#include "cli/CommandLine.h"
#include "gui/StartUp.h"

#include "tests/support/MessageLoop.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempFiles.h"

#include <QAccessible>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::ScriptedPeer;
using testsupport::TempFile;

namespace {

const char* kGateway = "remote-printer.the_following_address@12125551234.iddd.faxgateway.example";

// The dialogue of one fax from me@example.com, up to and including QUIT.
void FaxDialogue(ScriptedPeer& peer) {
    peer.Send("220 test server\r\n")
        .Expect("HELO me")
        .Send("250 hello\r\n")
        .Expect("RSET")
        .Send("250 ok\r\n")
        .Expect("MAIL FROM:<me@example.com>")
        .Send("250 ok\r\n")
        .Expect(std::string("RCPT TO:<") + kGateway + ">")
        .Send("250 ok\r\n")
        .Expect("DATA")
        .Send("354 go ahead\r\n")
        .ExpectUntil("\r\n.\r\n")
        .Send("250 queued\r\n")
        .Expect("QUIT")
        .Send("221 bye\r\n")
        .Close();
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(WindowsTest, TheWindowsOpenAsDesigned) {
    EXPECT_EQ(Form1->windowTitle(), QString::fromUtf8("Morvane 2.0——用E-mail发送免费国际传真。"));
    EXPECT_EQ(Form1->size(), QSize(490, 327));
    EXPECT_EQ(Form1->TabbedNotebook1->currentIndex(), 0);
    EXPECT_EQ(Form1->TabbedNotebook1->tabText(1), QString::fromUtf8("传真范围列表"));
    EXPECT_EQ(Form1->CoverageLines().Count(), 171);
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("发送传真"));
    EXPECT_EQ(Form4->TabbedNotebook1->currentIndex(), 0);
    EXPECT_EQ(Form4->Memo3->toPlainText(), QString::fromUtf8("您的批评或建议:"));
    // Tab order: the three fields, the attachments, then stop before send.
    std::vector<QWidget*> chain;
    for (QWidget* w = Form1->Edit1; chain.size() < 40; w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
        if (w->nextInFocusChain() == Form1->Edit1) break;
    }
    const auto at = [&](QWidget* w) { return std::find(chain.begin(), chain.end(), w) - chain.begin(); };
    EXPECT_LT(at(Form1->Edit1), at(Form1->Edit2));
    EXPECT_LT(at(Form1->Edit2), at(Form1->Edit3));
    EXPECT_LT(at(Form1->Edit3), at(Form1->ListBox1));
    EXPECT_LT(at(Form1->ListBox1), at(Form1->Button3));
    EXPECT_EQ(at(Form1->Button3) + 1, at(Form1->Button4));
}

// A field the code page cannot hold exactly is refused, naming it: converted,
// "jöhn.ŝmith" would go out as another mailbox.
TEST_F(WindowsTest, AFieldTheCodePageCannotHoldIsRefusedNamingIt) {
    Fill("no..such.host", "jöhn.ŝmith@example.com", "001-212-5551234");
    Form1->Button4->click();
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QString::fromUtf8("“您的电子邮件”中有无法用GB2312表示的字符，请修改后再发送。")});
    EXPECT_EQ(Form1->ZelSMTP1->Host, "");
}

TEST_F(WindowsTest, BlankFieldsAreRefusedBeforeTheNumberIsLookedAt) {
    Fill("", "me@example.com", "not a number");
    Form1->Button4->click();
    Fill("smtp.example.com", "", "");
    Form1->Button4->click();
    Fill("", "ŝ@example.com", "001-212-ŝ");  // blanks come before the code page too
    Form1->Button4->click();
    ASSERT_EQ(Boxes.size(), 3u);
    EXPECT_EQ(Boxes[0].Text, QString::fromUtf8("邮件服务器或电子邮件不能为空白"));
    EXPECT_EQ(Boxes[0].Caption, QString("Morvane 2.0"));
    EXPECT_EQ(Boxes[0].Icon, app::TMsgIcon::None);
    EXPECT_EQ(Boxes[1].Text, Boxes[0].Text);
    EXPECT_EQ(Boxes[2].Text, Boxes[0].Text);
}

TEST_F(WindowsTest, NumberAndCoverageRefusalsConnectToNothing) {
    // No server listens at this name: a connection attempt would show as a
    // status text and a "Null Remote Address." box, which must not appear.
    const std::vector<std::pair<const char*, const char*>> cases{
        {"", "请输入对方传真号码。"},
        {"number-1-2", "传真号码的形式必须为：001-212-1234567，在城市区号前您没有输入\"-\"."},
        {"000001-1-2", "传真号码的形式必须为：001-212-1234567，在城市区号前您没有输入\"-\"."},
        {"fax", "传真号码的形式必须为：001-212-1234567，您没有输入\"-\"."},
        {"tel-2125551234", "传真号码的形式必须为：001-212-1234567，在用户号码前您没有输入\"-\"."},
        {"+1 212 555 CALL", "传真号码的形式必须为：001-212-1234567，号码中只能有数字、空格和 + - . ( ) /，不能有字母或其它符号。"},
        {"0086-10-12345678", "对不起，您所输入的号码，目前不能发送免费传真，请查看传真范围列表。"},
    };
    for (const auto& [number, message] : cases) {
        Boxes.clear();
        Fill("no..such.host", "me@example.com", number);
        Form1->Button4->click();
        ASSERT_EQ(Boxes.size(), 1u) << number;
        EXPECT_EQ(Boxes[0].Text, QString::fromUtf8(message)) << number;
    }
    EXPECT_TRUE(Statuses1.isEmpty());
}

TEST_F(WindowsTest, AConversionErrorIsShownByTheOuterHandler) {
    Fill("no..such.host", "me@example.com", "x-y-1");
    Form1->Button4->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QString("'y' is not a valid integer value."));  // "'" sorts before ".": no full stop... but "e" does
    EXPECT_EQ(Boxes[0].Icon, app::TMsgIcon::Error);
    EXPECT_EQ(Boxes[0].Caption, QString("Morvane 2.0"));
    Boxes.clear();
    Fill("no..such.host", "me@example.com", "001--1234567");
    Form1->Button4->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QString("'' is not a valid integer value."));
}

TEST_F(WindowsTest, TheFullStopRuleOfTheOuterHandler) {
    EXPECT_EQ(app::MessageForDisplay("Null Remote Address"), QString("Null Remote Address."));
    EXPECT_EQ(app::MessageForDisplay("Ends with a stop."), QString("Ends with a stop."));
    EXPECT_EQ(app::MessageForDisplay("550 no such user\r\n"), QString("550 no such user\r\n"));
    EXPECT_EQ(app::MessageForDisplay("Ends in a dash -"), QString("Ends in a dash -"));
    EXPECT_EQ(app::MessageForDisplay(""), QString(""));
}

TEST_F(WindowsTest, AttachmentListAddDeleteAndCancel) {
    AddFile("/tmp/a.doc");
    AddFile("/tmp/a.doc");
    AddFile("");  // a cancelled dialog
    ASSERT_EQ(Form1->ListBox1->count(), 2);
    Form1->ListBox1->clearSelection();
    Form1->ListBox1->setCurrentRow(-1);
    Form1->Button2->click();
    EXPECT_EQ(Form1->ListBox1->count(), 2);
    Form1->ListBox1->setCurrentRow(0);
    Form1->Button2->click();
    EXPECT_EQ(Form1->ListBox1->count(), 1);
    EXPECT_TRUE(Boxes.empty());
}

// Files reach the list from the program's arguments, a drop and a dialog
// choosing several at once, each in its order.
TEST_F(WindowsTest, FilesFromOutsideJoinTheListInOrder) {
    const testsupport::TempFile argument("argument.pdf", "%PDF");
    app::OpenDocuments(*Form4, *Form1, {QString::fromStdString(argument.Path())});
    EXPECT_TRUE(Form1->isVisible());
    EXPECT_FALSE(Form4->isVisible());

    QMimeData dragged;
    dragged.setUrls({QUrl::fromLocalFile("/tmp/dropped.tif")});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    // Straight to the window: the application delivers drops only during a real drag.
    static_cast<QObject*>(Form1.get())->event(&drop);
    QMimeData remote;  // a web address is no file to fax
    remote.setUrls({QUrl("https://example.com/x.pdf")});
    QDropEvent ignored(QPointF(10, 10), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
    static_cast<QObject*>(Form1.get())->event(&ignored);

    NextFiles = {"/tmp/b.doc", "/tmp/a.doc"};
    Form1->Button1->click();

    QStringList listed;
    for (int i = 0; i < Form1->ListBox1->count(); ++i) listed << Form1->ListBox1->item(i)->text();
    EXPECT_EQ(listed, QStringList({QString::fromStdString(argument.Path()), "/tmp/dropped.tif", "/tmp/b.doc", "/tmp/a.doc"}));
}

// Started with documents, whatever their names: one called "-platform" or
// given after "--" opens the windows and never reaches Qt as its option; a
// folder, a FIFO or a missing file is named in a box, which someone started
// from the desktop sees, where standard error they would not.
TEST_F(WindowsTest, ArgumentsThatNameDocumentsOpenTheWindowsAndTheUnusableAreNamedInABox) {
    QTemporaryDir folder;
    const QString dash = folder.filePath("-platform");
    const QString fifo = folder.filePath("pipe");
    const auto write = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write("%PDF") == 4;
    };
    ASSERT_TRUE(write(dash));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    const struct {
        std::vector<std::string> Args;
        bool CommandLine;
        int QtArgs;  // of the window
    } cases[] = {
        {{"-platform"}, false, 1},
        {{"--", "send"}, false, 1},
        {{folder.path().toStdString()}, false, 1},
        {{fifo.toStdString()}, false, 1},
        {{"/no/such/scan.pdf"}, false, 1},
        {{"-platform", "offscreen"}, false, 3},  // no such file now: Qt's own option
        {{"send", "-n", "1"}, true, 0},
        {{"sedn"}, true, 0},
        {{"--help"}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args[0]);
        std::vector<std::string> storage = {"faxmail"};
        storage.insert(storage.end(), c.Args.begin(), c.Args.end());
        if (c.QtArgs == 3) {
            ASSERT_EQ(::unlink("-platform"), 0);
        }
        std::vector<char*> argv;
        for (std::string& a : storage) argv.push_back(a.data());
        const int argc = static_cast<int>(argv.size());
        EXPECT_EQ(app::IsCommandLine(argc, argv.data()), c.CommandLine);
        if (!c.CommandLine) {
            EXPECT_EQ(app::QtArgumentCount(argc, argv.data()), c.QtArgs);
        }
    }
    ASSERT_TRUE(QDir::setCurrent(saved));
    ASSERT_TRUE(write(dash));
    app::OpenDocuments(*Form4, *Form1, {dash, folder.path(), fifo, "/no/such/scan.pdf"});
    ASSERT_EQ(Boxes.size(), 1u);
    for (const QString& named : {folder.path(), fifo, QString("/no/such/scan.pdf")})
        EXPECT_TRUE(Boxes[0].Text.contains(named)) << Boxes[0].Text.toStdString();
    EXPECT_FALSE(Boxes[0].Text.contains(dash));
    ASSERT_EQ(Form1->ListBox1->count(), 1);
    EXPECT_EQ(Form1->ListBox1->item(0)->text(), dash);
    EXPECT_TRUE(Form1->isVisible());
}

TEST_F(WindowsTest, FocusOnTheNumberShowsTheFormatHint) {
    Form1->show();
    Form1->activateWindow();
    Form1->Edit1->setFocus();
    QApplication::processEvents();
    app::SetStatusText(Form1->StatusBar1, "earlier text");
    Form1->Edit3->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(app::StatusText(Form1->StatusBar1), QString::fromUtf8("传真号码的形式必须为：001-212-1234567"));
}

TEST_F(WindowsTest, DeleteTakesTheSelectedItemAndLeavesNoneSelected) {
    for (const char* path : {"/tmp/0", "/tmp/1", "/tmp/2"}) AddFile(path);
    Form1->ListBox1->setCurrentRow(0);
    // A screen reader selects through the accessibility interface; the current row stays on 0.
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(Form1->ListBox1);
    ASSERT_TRUE(list != nullptr && list->tableInterface() != nullptr);
    ASSERT_TRUE(list->tableInterface()->selectRow(1));
    ASSERT_EQ(Form1->ListBox1->currentRow(), 0);
    Form1->Button2->click();
    Form1->Button2->click();  // nothing is selected any more
    std::vector<std::string> left;
    for (int i = 0; i < Form1->ListBox1->count(); ++i) left.push_back(Form1->ListBox1->item(i)->text().toStdString());
    EXPECT_EQ(left, (std::vector<std::string>{"/tmp/0", "/tmp/2"}));
    EXPECT_TRUE(Form1->ListBox1->selectedItems().isEmpty());
}

TEST_F(WindowsTest, ListItemsAreTwelvePixelsHigh) {
    AddFile("/tmp/a.doc");
    AddFile("/tmp/b.doc");
    Form1->show();
    ASSERT_TRUE(testsupport::PumpUntil([this] { return Form1->ListBox1->visualItemRect(Form1->ListBox1->item(1)).isValid(); }, 2000ms));
    const QRect first = Form1->ListBox1->visualItemRect(Form1->ListBox1->item(0));
    const QRect second = Form1->ListBox1->visualItemRect(Form1->ListBox1->item(1));
    EXPECT_EQ(first.height(), 12);
    EXPECT_EQ(second.top() - first.top(), 12);
}

TEST_F(WindowsTest, SwitchingWindowsKeepsTheStatusText) {
    const auto activate = [](QWidget* window) {
        window->activateWindow();
        return testsupport::PumpUntil([window] { return QApplication::activeWindow() == window; }, 2000ms);
    };
    Form1->show();
    ASSERT_TRUE(activate(Form1.get()));
    Form1->Edit3->setFocus();
    QApplication::processEvents();
    app::SetStatusText(Form1->StatusBar1, "sent");
    Form4->show();
    ASSERT_TRUE(activate(Form4.get()));
    ASSERT_TRUE(activate(Form1.get()));
    ASSERT_EQ(QApplication::focusWidget(), Form1->Edit3);
    EXPECT_EQ(app::StatusText(Form1->StatusBar1).toStdString(), "sent");
}

TEST_F(WindowsTest, TheProgressBarFollowsTheMessageWhileASendRuns) {
    const TempFile doc("letter.doc", testsupport::RandomBytes(40000, 3));
    AddFile(doc.Path());
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    // Each send ends its own way: accepted and closed, or refused after its text.
    for (const char* finalReply : {"250 queued\r\n", "554 refused\r\n"}) {
        ScriptedPeer peer;
        UsePort(peer.Port());
        peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
        peer.Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n").Expect(std::string("RCPT TO:<") + kGateway + ">");
        peer.Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").Send(finalReply);
        if (finalReply[0] == '2') peer.Expect("QUIT").Send("221 bye\r\n").Close();
        peer.Start();
        std::vector<int> seen;
        const auto connection = QObject::connect(Form1->ProgressBar1, &QProgressBar::valueChanged, [&](int value) {
            EXPECT_FALSE(Form1->ProgressBar1->isHidden()) << value;
            seen.push_back(value);
        });
        Form1->Button4->click();
        QObject::disconnect(connection);
        ASSERT_TRUE(peer.WaitDone(5000ms)) << finalReply;
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();

        ASSERT_GE(seen.size(), 3u) << finalReply;
        EXPECT_EQ(seen.front(), 0) << finalReply;
        EXPECT_EQ(seen.back(), 100) << finalReply;
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << finalReply;
        EXPECT_TRUE(Form1->ProgressBar1->isHidden()) << finalReply;
    }
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_TRUE(BoxTexts()[0].endsWith(QString::fromUtf8("（554 refused）"))) << BoxTexts()[0].toStdString();
}

TEST_F(WindowsTest, AFaxGoesOutToTheGatewayWithProgress) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    FaxDialogue(peer);
    peer.Start();
    const TempFile doc("letter.doc", testsupport::RandomBytes(40000, 7));
    AddFile(doc.Path());
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts().front().toStdString();
    EXPECT_EQ(Form1->LastGatewayAddress(), kGateway);

    ASSERT_FALSE(Statuses1.isEmpty());
    // Where the send stands, from the connect on.
    EXPECT_EQ(Statuses1.front(), QString::fromUtf8("正在连接 127.0.0.1:%1 …").arg(peer.Port()));
    EXPECT_TRUE(Statuses1.contains(QString::fromUtf8("已与传真服务器连接上")));
    EXPECT_TRUE(Statuses1.contains(QString::fromUtf8("正在发送 …")));
    EXPECT_EQ(Statuses1.back(), QString::fromUtf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
    const QRegularExpression progress(QString::fromUtf8("^(\\d+)字节的(\\d+)正在发送$"));
    int progressTexts = 0;
    QString last;
    for (const auto& s : Statuses1)
        if (progress.match(s).hasMatch()) {
            ++progressTexts;
            last = s;
        }
    EXPECT_GE(progressTexts, 3);  // 40000 bytes of document are over 50000 bytes of message text
    const auto m = progress.match(last);
    EXPECT_EQ(m.captured(1), m.captured(2));

    const std::string wire = peer.Received();
    EXPECT_EQ(Count(wire, "RCPT TO:"), 1);
    EXPECT_EQ(Count(wire, "\r\nTo: "), 1);
    EXPECT_EQ(Count(wire, "\r\nTo: undisclosed-recipients:;\r\n"), 1);
    EXPECT_EQ(Count(wire, "\r\nCC: "), 0);
    EXPECT_EQ(Count(wire, "\r\nSubject: me@example.comSend a Fax\r\n"), 1);
    EXPECT_EQ(Count(wire, "filename=\"letter.doc\""), 1);
    EXPECT_EQ(Form1->ListBox1->count(), 1);  // the window's list is never cleared by a send
}

TEST_F(WindowsTest, TwoSendsInARowCarryOneBodyLineEach) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    FaxDialogue(peer);
    peer.AcceptNext();
    FaxDialogue(peer);
    peer.Start();
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    Form1->Button4->click();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_TRUE(Boxes.empty());
    const std::string wire = peer.Received();
    EXPECT_EQ(Count(wire, "\r\nme@example.comSend a Fax\r\n"), 2);  // one per message
    EXPECT_EQ(Count(wire, "RCPT TO:"), 2);
}

TEST_F(WindowsTest, AFailedSendLeavesNoConnectionAndTheNextPressSendsEachDocumentOnce) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
    peer.Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n").Expect(std::string("RCPT TO:<") + kGateway + ">");
    peer.Send("250 ok\r\n").Expect("DATA").Send("554 no thanks\r\n");
    peer.AcceptNext();
    FaxDialogue(peer);
    peer.Start();
    const TempFile doc("page.tif", "tiff bytes");
    AddFile(doc.Path());
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].Text.endsWith(QString::fromUtf8("（554 no thanks）"))) << Boxes[0].Text.toStdString();
    EXPECT_FALSE(Form1->ZelSMTP1->Connected);
    Form1->Button4->click();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_EQ(Boxes.size(), 1u);
    const std::string wire = peer.Received();
    const std::string second = wire.substr(wire.rfind("HELO"));
    EXPECT_EQ(Count(second, "RCPT TO:"), 1);
    EXPECT_EQ(Count(second, "filename=\"page.tif\""), 1);
}

TEST_F(WindowsTest, AnUnresolvableServerShowsTheInvalidHostTextAndNullRemoteAddress) {
    Form1->OutboxPage->QueueOnFailureBox->setChecked(false);  // shown as it is, not queued
    Fill("no..such.host", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QString::fromUtf8("找不到邮件服务器 no..such.host：查不到这个名称的地址。"
                                               "请检查“SMTP邮件服务器”的拼写。（Null Remote Address）"));
    EXPECT_EQ(app::StatusText(Form1->StatusBar1), QString::fromUtf8("您的邮件服务器(SMTP)设置不正确，请重新设置。"));
}

TEST_F(WindowsTest, StopDuringASendEndsItAndTheNextPressWorks) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Pause(3000ms);
    peer.AcceptNext();
    FaxDialogue(peer);
    peer.Start();
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    QTimer::singleShot(300, Form1->Button3, [this] { Form1->Button3->click(); });
    const auto start = std::chrono::steady_clock::now();
    Form1->Button4->click();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    // The stop was asked for: a word in the status bar, no error box.
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    EXPECT_EQ(app::StatusText(Form1->StatusBar1), QString::fromUtf8("发送已停止，传真没有发送。"));
    Form1->Button4->click();
    ASSERT_TRUE(peer.WaitDone(8000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Statuses1.back(), QString::fromUtf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
}

TEST_F(WindowsTest, ASecondPressDuringASendIsRefusedWithoutDisturbingIt) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    peer.Send("220 hi\r\n").Expect("HELO me").Pause(500ms).Send("250 ok\r\n");
    peer.Expect("RSET").Send("250 ok\r\n").Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n");
    peer.Expect(std::string("RCPT TO:<") + kGateway + ">").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    peer.ExpectUntil("\r\n.\r\n").Send("250 ok\r\n").Expect("QUIT").Send("221 bye\r\n").Close();
    peer.Start();
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    QTimer::singleShot(200, Form1->Button4, [this] {
        Form1->Edit3->setText("001-212-5559999");
        Form1->Button4->click();
    });
    Form1->Button4->click();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QString("Already connected."));
    EXPECT_EQ(Statuses1.back(), QString::fromUtf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
    // The tool tip names where the fax went, not the refused press's number.
    EXPECT_EQ(Form1->StatusBar1->toolTip(), QString::fromUtf8("传真已发往网关：") + kGateway);
}
