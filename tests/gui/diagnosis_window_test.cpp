// The main window against real servers: a protection that does not fit the
// port is explained in seconds, and 测试连接 reports a working set-up and
// proposes the right one for a wrong one, changing nothing until asked.
#include "AppFixture.h"

#include "tests/support/RealSmtpServer.h"
#include "tests/support/TestCertificates.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <chrono>

using namespace std::chrono_literals;

namespace {

testsupport::SmtpServerOptions TlsServer(bool implicit) {
    const auto& certs = testsupport::Certificates();
    testsupport::SmtpServerOptions options;
    options.CertFile = certs.Server.Cert;
    options.KeyFile = certs.Server.Key;
    options.ImplicitTls = implicit;
    options.OfferStartTls = options.RequireStartTls = !implicit;
    options.User = "tester";
    options.Password = "s3cret";
    return options;
}

}  // namespace

class DiagnosisWindow : public WindowsTest {
protected:
    void Settings(std::uint16_t port, int security) {
        auto* page = Form1->SettingsPage;
        page->SecurityBox->setCurrentIndex(security);
        UsePort(port);
        page->LoginEdit->setText("tester");
        page->PasswordEdit->setText("s3cret");
        page->TrustFileEdit->setText(QString::fromStdString(testsupport::Certificates().Authority));
        Fill("localhost", "me@example.com", "001-212-5551234");
    }
};

TEST_F(DiagnosisWindow, StartTlsOnATlsOnlyPortIsExplainedAndTheTestProposesSslTls) {
    testsupport::RealSmtpServer server(TlsServer(true));
    Settings(server.Port(), 1);
    Form1->ZelSMTP1->TimeLimits.GreetingProbe = 1000;
    const auto start = std::chrono::steady_clock::now();
    Form1->Button4->click();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].Text.contains(QString::fromUtf8("请把“安全连接”改为 SSL/TLS"))) << Boxes[0].Text.toStdString();
    EXPECT_EQ(server.MessageCount(), 0);

    AnswerYes = true;
    Form1->SettingsPage->TestButton->click();
    ASSERT_EQ(Questions.size(), 1);
    EXPECT_TRUE(Questions[0].contains(QString::fromUtf8("端口 %1、安全连接 SSL/TLS 可以连通").arg(server.Port())))
        << Questions[0].toStdString();
    EXPECT_EQ(Form1->SettingsPage->SecurityBox->currentIndex(), 2);
    EXPECT_EQ(Form1->SettingsPage->PortEdit->value(), server.Port());
}

TEST_F(DiagnosisWindow, TheConnectionTestReportsEachStepOfAWorkingSetUpAndSendsNothing) {
    testsupport::RealSmtpServer server(TlsServer(false));
    Settings(server.Port(), 1);
    Form1->SettingsPage->TestButton->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Caption, QString::fromUtf8("测试连接"));
    EXPECT_EQ(Boxes[0].Text, QString::fromUtf8("已连接 localhost:%1\n加密连接（STARTTLS）已建立\n服务器证书可信，名称相符\n"
                                               "以 tester 登录成功\n服务器接受的邮件最大 200.0 MB\n"
                                               "服务器提供的登录方式：LOGIN PLAIN\n连接测试成功，没有发送任何邮件。")
                                   .arg(server.Port()));
    EXPECT_EQ(server.MessageCount(), 0);
    EXPECT_TRUE(Questions.isEmpty());
}
