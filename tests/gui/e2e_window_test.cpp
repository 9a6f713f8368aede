// A fax through the real main window to a real SMTP server on 127.0.0.1.
#include "AppFixture.h"

#include "tests/support/RealSmtpServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TempFiles.h"

#include <QCheckBox>
#include <QComboBox>

#include <algorithm>
#include <chrono>
#include <memory>

using namespace std::chrono_literals;

TEST_F(WindowsTest, EndToEndThroughTheMainWindowToARealServer) {
    const auto server = std::make_unique<testsupport::RealSmtpServer>();  // throws when it does not come up
    UsePort(server->Port());
    const testsupport::TempFile doc("contract.pdf", testsupport::RandomBytes(300000, 11));
    const testsupport::TempFile picture("\xE8\x8D\x89\xE5\x9B\xBE.png", testsupport::RandomBytes(47, 12));  // 草图.png
    const testsupport::TempFile quoted("invoice.pdf\"; filename=\"evil.exe", testsupport::RandomBytes(46, 13));
    AddFile(doc.Path());
    AddFile(picture.Path());
    AddFile(quoted.Path());
    Fill("127.0.0.1", "me@example.com", "0044-20-71234567");
    Form1->Button4->click();
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    ASSERT_TRUE(server->WaitForMessages(1, 10s));
    EXPECT_EQ(testsupport::CheckMessage(
                  *server, 1,
                  "{\"rcpt\": [\"remote-printer.the_following_address@442071234567.iddd.faxgateway.example\"],"
                  " \"from\": \"me@example.com\", \"dated\": true, \"munpack\": true,"
                  " \"headers\": {\"From\": \"\\\"me@example.com\\\" <me@example.com>\","
                  " \"Subject\": \"me@example.comSend a Fax\","
                  " \"To\": \"undisclosed-recipients:;\"},"
                  " \"no_headers\": [\"CC\", \"Bcc\"], \"rcpt_hidden\": true, \"spam\": \"the main window\","
                  // The third name has ".pdf" before its last dot: the filter's rule for a
                  // PDF in disguise looks at the name only (it scores nothing).
                  " \"spam_allowed\": [\"T_OBFU_PDF_ATTACH\"],"
                  " \"body_lines\": [\"me@example.comSend a Fax\"],"
                  " \"attachments\": [{\"name\": \"contract.pdf\", \"path\": \"" + doc.Path() + "\"},"
                  " {\"name\": \"草图.png\", \"path\": \"" + picture.Path() + "\"},"
                  " {\"name\": \"invoice.pdf\\\"; filename=\\\"evil.exe\", \"path\": " +
                  testsupport::JsonString(quoted.Path()) + "}]}"),
              "message ok");
}

TEST_F(WindowsTest, FeedbackInChineseThroughTheStartWindowToARealServer) {
    const auto server = std::make_unique<testsupport::RealSmtpServer>();  // throws when it does not come up
    UsePort(server->Port());
    Form4->FeedbackHost = "127.0.0.1";
    Form4->Edit3->setText("me@example.com");
    Form4->Memo3->setPlainText(QString::fromUtf8("您的批评或建议:\n传真很清楚，谢谢！"));
    Form4->Button4->click();
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    ASSERT_TRUE(server->WaitForMessages(1, 10s));
    EXPECT_EQ(testsupport::CheckMessage(
                  *server, 1,
                  "{\"rcpt\": [\"feedback@morvane.example\"], \"dated\": true,"
                  " \"headers\": {\"Subject\": \"Morvane 2.0中文版建议\","
                  " \"From\": \"\\\"me@example.com\\\" <feedback@morvane.example>\","
                  " \"To\": \"feedback@morvane.example\"},"
                  " \"body_lines\": [\"您的批评或建议:\", \"传真很清楚，谢谢！\"]}"),
              "message ok");
}

// The send settings as a user sets them on the page: STARTTLS, a login and
// the company's own authority; the login and the fax go only over TLS. The
// credentials log in as typed, and again from the secret store after a restart.
TEST_F(WindowsTest, TheSettingsPageLogsInOverStartTls) {
    const std::string user = "jos\xC3\xA9\xE7\x94\xA8\xE6\x88\xB7";      // josé用户
    const std::string password = "caf\xC3\xA9\xE5\xAF\x86\xE7\xA0\x81";  // café密码
    const auto& certs = testsupport::Certificates();
    testsupport::SmtpServerOptions options;
    options.CertFile = certs.Server.Cert;
    options.KeyFile = certs.Server.Key;
    options.OfferStartTls = options.RequireStartTls = true;
    options.User = user;
    options.Password = password;
    testsupport::RealSmtpServer server(options);
    app::TSettingsPage& page = *Form1->SettingsPage;
    page.SecurityBox->setCurrentIndex(static_cast<int>(mail::TSmtpSecurity::StartTls));
    UsePort(server.Port());
    page.LoginEdit->setText(QString::fromStdString(user));
    page.PasswordEdit->setText(QString::fromStdString(password));
    page.RememberBox->setChecked(true);
    page.TrustFileEdit->setText(QString::fromStdString(certs.Authority));
    const testsupport::TempFile doc("scan.tif", testsupport::RandomBytes(5000, 14));
    AddFile(doc.Path());
    Fill("localhost", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    ASSERT_TRUE(server.WaitForMessages(1, 10s));
    auto commands = server.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "login ok " + user), 1) << ::testing::PrintToString(commands);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](const std::string& line) { return line.rfind("clear ", 0) == 0; }),
              2)  // EHLO and STARTTLS
        << ::testing::PrintToString(commands);

    MakeWindows();  // the password now comes from the secret store
    ASSERT_EQ(Form1->SettingsPage->PasswordEdit->text(), QString::fromStdString(password));
    AddFile(doc.Path());
    Form1->Edit3->setText("001-212-5551234");
    Form1->Button4->click();
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    ASSERT_TRUE(server.WaitForMessages(2, 10s));
    commands = server.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "login ok " + user), 2) << ::testing::PrintToString(commands);
}
