#include "AppFixture.h"

#include "app/MailboxSettings.h"
#include "gui/MailboxBox.h"
#include "gui/MailboxWatch.h"
#include "tests/support/Ports.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QSpinBox>

namespace {

template <typename Done>
bool WaitFor(Done done) {
    const QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

}  // namespace

TEST_F(WindowsTest, TheMailboxIsSavedTestedAndAnUnreachableOneSaidInTheStatusBar) {
    app::TMailboxBox* box = Form1->SettingsPage->Mailbox;
    box->SecurityBox->setCurrentIndex(1);
    EXPECT_EQ(box->PortEdit->value(), 993);  // the usual port of TLS from the start
    const int port = testsupport::UnusedPort();
    box->PortEdit->setValue(port);
    box->ServerEdit->setText("127.0.0.1");
    const app::TMailboxSettings saved = app::ReadMailboxSettings();
    EXPECT_EQ(saved.Server, "127.0.0.1");
    EXPECT_EQ(saved.Port, port);
    EXPECT_EQ(saved.Security, watch::TImapSecurity::ImplicitTls);
    EXPECT_EQ(saved.Folder, "INBOX");

    const QString expected = QString::fromUtf8("无法连接邮箱服务器 127.0.0.1:") + QString::number(port) +
                             QString::fromUtf8("，请检查发送设置中的“邮箱服务器”和“端口”。");
    box->TestButton->click();
    ASSERT_TRUE(WaitFor([&] { return !Boxes.empty(); }));
    EXPECT_TRUE(Boxes.front().Text.startsWith(expected)) << Boxes.front().Text.toStdString();

    // The window's watch starts on its own with the saved settings.
    EXPECT_TRUE(WaitFor([&] { return Statuses1.filter(expected).size() == 1; })) << Statuses1.join('\n').toStdString();
    EXPECT_TRUE(Form1->MailboxWatch->Running());
}
