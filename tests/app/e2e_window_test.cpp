// A fax through the real main window to a real SMTP server on 127.0.0.1.
#include "AppFixture.h"

#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"

#include <chrono>
#include <memory>

using namespace std::chrono_literals;

TEST_F(WindowsTest, EndToEndThroughTheMainWindowToARealServer) {
    std::unique_ptr<testsupport::RealSmtpServer> server;
    try {
        server = std::make_unique<testsupport::RealSmtpServer>();
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
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
                  " \"Subject\": \"me@example.comSend a Fax\"},"
                  " \"no_headers\": [\"To\", \"CC\", \"Bcc\"],"
                  " \"body_lines\": [\"me@example.comSend a Fax\"],"
                  " \"attachments\": [{\"name\": \"contract.pdf\", \"path\": \"" + doc.Path() + "\"},"
                  " {\"name\": \"草图.png\", \"path\": \"" + picture.Path() + "\"},"
                  " {\"name\": \"invoice.pdf\\\"; filename=\\\"evil.exe\", \"path\": " +
                  testsupport::JsonString(quoted.Path()) + "}]}"),
              "message ok");
}

TEST_F(WindowsTest, FeedbackInChineseThroughTheStartWindowToARealServer) {
    std::unique_ptr<testsupport::RealSmtpServer> server;
    try {
        server = std::make_unique<testsupport::RealSmtpServer>(25);
    } catch (const std::exception& e) {
        FAIL() << e.what() << " (port 25 must be free on 127.0.0.1)";
    }
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
