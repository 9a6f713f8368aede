#include "AppFixture.h"

#include "platform/Application.h"
#include "tests/support/ScriptedPeer.h"

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

TEST_F(WindowsTest, ClosingTheMainWindowEndsTheProgram) {
    Form4->show();
    Form4->Button1->click();
    // Run the loop as start-up does; closing the main window must end it.
    QTimer::singleShot(50, Form1.get(), [this] { Form1->close(); });
    QTimer guard;
    guard.setSingleShot(true);
    bool guardFired = false;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        guardFired = true;
        QCoreApplication::exit(1);
    });
    guard.start(5000);
    Win::Application().Run();
    EXPECT_FALSE(guardFired);
    EXPECT_FALSE(Form4->isVisible());
    EXPECT_FALSE(Form1->isVisible());
}

TEST_F(WindowsTest, FeedbackWithAnEmptyAddressStillGoesOut) {
    ScriptedPeer peer(25);
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
    ScriptedPeer peer(25);
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
    EXPECT_NE(wire.find("From: \"me@example.com\"<feedback@morvane.example>\r\n"), std::string::npos);
    EXPECT_NE(wire.find("charset=us-ascii\r\n\r\n\r\n.\r\n"), std::string::npos);
}

TEST_F(WindowsTest, ARefusedFeedbackShowsTheFailureTextAndTheReply) {
    ScriptedPeer peer(25);
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
