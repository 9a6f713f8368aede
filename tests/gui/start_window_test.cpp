#include "AppFixture.h"

#include "app/Constants.h"
#include "platform/Application.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/ScriptedPeer.h"

#include <QMessageBox>
#include <QTimer>

#include <chrono>

using namespace std::chrono_literals;
using testsupport::ScriptedPeer;

namespace {

void FeedbackDialogue(ScriptedPeer& peer) {
    peer.Send("220 hi\r\n")
        .Expect("HELO feedback")
        .Send("250 ok\r\n")
        .Expect("RSET")
        .Send("250 ok\r\n")
        .Expect("MAIL FROM:<feedback@morvane.example>")
        .Send("250 ok\r\n")
        .Expect("RCPT TO:<feedback@morvane.example>")
        .Send("250 ok\r\n")
        .Expect("DATA")
        .Send("354 go\r\n")
        .ExpectUntil("\r\n.\r\n")
        .Send("250 ok\r\n")
        .Expect("QUIT")
        .Send("221 bye\r\n")
        .Close();
}

}  // namespace

TEST_F(WindowsTest, ContinueHidesTheStartWindowAndShowsTheMainOne) {
    Form4->show();
    Form4->Button1->click();
    EXPECT_FALSE(Form4->isVisible());
    EXPECT_TRUE(Form1->isVisible());
}

TEST_F(WindowsTest, TheStartWindowsStatusBarFollowsItsBottomEdge) {
    Form4->show();
    for (const QSize size : {QSize(700, 400), QSize(400, 240)}) {
        Form4->resize(size);
        const QRect bottom(0, size.height() - 19, size.width(), 19);
        EXPECT_TRUE(testsupport::PumpUntil([&] { return Form4->StatusBar1->geometry() == bottom; }, 2000ms))
            << size.width() << "x" << size.height();
    }
}

// Runs the loop as start-up does; false when it was still running after 5 s.
static bool RunsUntilTheProgramEnds() {
    QTimer guard;
    guard.setSingleShot(true);
    bool guardFired = false;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        guardFired = true;
        QCoreApplication::exit(1);
    });
    guard.start(5000);
    Win::Application().Run();
    return !guardFired;
}

TEST_F(WindowsTest, ClosingTheMainWindowEndsTheProgram) {
    Form4->show();
    Form4->Button1->click();
    // Run the loop as start-up does; closing the main window must end it.
    QTimer::singleShot(50, Form1.get(), [this] { Form1->close(); });
    EXPECT_TRUE(RunsUntilTheProgramEnds());
    EXPECT_FALSE(Form4->isVisible());
    EXPECT_FALSE(Form1->isVisible());
}

TEST_F(WindowsTest, FeedbackWithAnEmptyAddressStillGoesOut) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    FeedbackDialogue(peer);
    peer.Start();
    Form4->FeedbackHost = "127.0.0.1";
    Form4->Memo3->setPlainText(QString::fromUtf8("您的批评或建议:\nvery good"));
    Form4->Button4->click();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_TRUE(Boxes.empty());
    const std::string wire = peer.Received();
    EXPECT_NE(wire.find("\r\nFrom: <feedback@morvane.example>\r\nTo: feedback@morvane.example\r\n"), std::string::npos);
    // "Morvane 2.0中文版建议" as one encoded word in GB2312.
    EXPECT_NE(wire.find("\r\nSubject: =?GB2312?B?TW9ydmFuZSAyLjDW0M7EsOa9qNLp?=\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\n\r\n\r\n\xc4\xfa\xb5\xc4\xc5\xfa\xc6\xc0\xbb\xf2\xbd\xa8\xd2\xe9:\r\nvery good\r\n.\r\n"),
              std::string::npos);
    ASSERT_FALSE(Statuses4.isEmpty());
    EXPECT_TRUE(Statuses4.contains(QString::fromUtf8("正在连接......")));
    EXPECT_TRUE(Statuses4.contains(QString::fromUtf8("正在发送......")));
    EXPECT_EQ(Statuses4.back(), QString::fromUtf8("感谢您的批判与建议，我们会及时与您联系。"));
}

TEST_F(WindowsTest, FeedbackWithAnEmptiedCommentBoxSendsAnEmptyBody) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    FeedbackDialogue(peer);
    peer.AcceptNext();
    FeedbackDialogue(peer);
    peer.Start();
    Form4->FeedbackHost = "127.0.0.1";
    Form4->Edit3->setText("me@example.com");
    Form4->Memo3->clear();
    Form4->Button4->click();
    Form4->Button4->click();  // a second feedback names the mailbox once too
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_TRUE(Boxes.empty());
    const std::string wire = peer.Received();
    EXPECT_NE(wire.find("From: \"me@example.com\" <feedback@morvane.example>\r\n"), std::string::npos);
    EXPECT_NE(wire.find("charset=us-ascii\r\n\r\n\r\n.\r\n"), std::string::npos);
}

TEST_F(WindowsTest, ARefusedFeedbackShowsTheFailureTextAndTheReply) {
    ScriptedPeer peer;
    UsePort(peer.Port());
    peer.Send("220 hi\r\n").Expect("HELO feedback").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
    peer.Expect("MAIL FROM:<feedback@morvane.example>").Send("250 ok\r\n").Expect("RCPT TO:<feedback@morvane.example>");
    peer.Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").Send("552 too big\r\n");
    peer.Start();
    Form4->FeedbackHost = "127.0.0.1";
    Form4->Button4->click();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, QString("552 too big\r\n"));
    EXPECT_EQ(app::StatusText(Form4->StatusBar1), QString::fromUtf8("发送失败，请等一会再发送"));
    EXPECT_FALSE(Form4->ZelSMTP1->Connected);
}

// Closing while a fax goes out to a server that has stopped answering: Yes
// stops the send and ends the loop at once; No leaves both as they were.
TEST_F(WindowsTest, ClosingDuringASendAsksFirst) {
    for (const bool yes : {true, false}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        Boxes.clear();
        Questions.clear();
        AnswerYes = yes;
        ScriptedPeer peer;
        UsePort(peer.Port());
        peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET");
        if (yes) {
            peer.ReadUntilClose();
        } else {
            peer.Pause(600ms).Send("250 ok\r\n").Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n");
            peer.ExpectUntil(">\r\n").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
            peer.ExpectUntil("\r\n.\r\n").Send("250 ok\r\n").Expect("QUIT").Send("221 bye\r\n").Close();
        }
        peer.Start();
        Form4->show();
        Form4->Button1->click();
        Fill("127.0.0.1", "me@example.com", "001-212-5551234");
        QTimer::singleShot(0, Form1.get(), [this] { Form1->Button4->click(); });
        QTimer::singleShot(300, Form1.get(), [this] { Form1->close(); });
        // Run the loop as start-up does; only Yes may end it.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(yes ? 1300 : 2000);
        const auto start = std::chrono::steady_clock::now();
        Win::Application().Run();
        EXPECT_EQ(Questions.size(), 1);
        ASSERT_TRUE(peer.WaitDone(3000ms));
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
        EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
        EXPECT_EQ(Win::Application().Terminated(), yes);
        EXPECT_EQ(Form1->isVisible(), !yes);
        if (yes) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, 1300ms);
        } else {
            EXPECT_EQ(Statuses1.back(), QString::fromUtf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
        }
        Win::Application().ClearTerminate();
    }
}

TEST_F(WindowsTest, FeedbackSaysItIsNotConfiguredWhileTheMailboxIsAPlaceholder) {
    Form4->FeedbackHost = "mail.morvane.example";
    Form4->Button4->click();
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QString::fromUtf8("本版本没有配置反馈邮箱，无法发送反馈。")});
    EXPECT_FALSE(Statuses4.contains(QString::fromUtf8("正在连接......")));
    EXPECT_TRUE(app::IsPlaceholderHost("MAIL.Example"));
    EXPECT_FALSE(app::IsPlaceholderHost("mail.example.com"));
    EXPECT_FALSE(app::IsPlaceholderHost("127.0.0.1"));
}

// Stop and quit while the end mark's answer is awaited: the real message box
// saying the fax may have gone stays up, and the program ends once it is closed.
TEST_F(WindowsTest, StopAndQuitAfterTheEndMarkKeepsTheMayHaveGoneBoxUp) {
    app::SetMessageBoxFunction(nullptr);
    AnswerYes = true;
    ScriptedPeer peer;
    UsePort(peer.Port());
    peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
    peer.Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n").ExpectUntil(">\r\n").Send("250 ok\r\n");
    peer.Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").ReadUntilClose();
    peer.Start();
    Form4->show();
    Form4->Button1->click();
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    QTimer::singleShot(0, Form1.get(), [this] { Form1->Button4->click(); });
    QTimer poll;
    QString shown;
    bool closedBox = false;
    std::chrono::steady_clock::time_point answered;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (answered == std::chrono::steady_clock::time_point{}) {
            if (peer.Received().find("\r\n.\r\n") == std::string::npos) return;
            answered = std::chrono::steady_clock::now();
            Form1->close();  // asks, is answered Yes, and stops the send
            return;
        }
        if (std::chrono::steady_clock::now() - answered < 1000ms || closedBox) return;
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        shown = box->text();
        closedBox = true;
        box->accept();
    });
    poll.start(20);
    EXPECT_TRUE(RunsUntilTheProgramEnds());
    EXPECT_EQ(Questions.size(), 1);
    EXPECT_EQ(shown.toStdString(), app::MessageForDisplay(mail::kMsgMaybeDelivered).toStdString());
    EXPECT_TRUE(Win::Application().Terminated());
    EXPECT_TRUE(peer.WaitDone(3000ms));
}
