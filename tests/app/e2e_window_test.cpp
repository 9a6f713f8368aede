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
    const testsupport::TempFile picture("sketch.png", testsupport::RandomBytes(47, 12));
    AddFile(doc.Path());
    AddFile(picture.Path());
    Fill("127.0.0.1", "me@example.com", "0044-20-71234567");
    Form1->Button4->click();
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text.toStdString();
    ASSERT_TRUE(server->WaitForMessages(1, 10s));
    const std::string expect =
        "{\"rcpt\": [\"remote-printer.the_following_address@442071234567.iddd.faxgateway.example\"],"
        " \"from\": \"me@example.com\", \"subject_hex\": \"" +
        std::string("6d65406578616d706c652e636f6d53656e642061204661") + "78\","
        " \"no_headers\": [\"To\", \"CC\", \"Bcc\"],"
        " \"body_lines\": [\"me@example.comSend a Fax\"],"
        " \"attachments\": [{\"name\": \"contract.pdf\", \"path\": \"" + doc.Path() + "\"},"
        " {\"name\": \"sketch.png\", \"path\": \"" + picture.Path() + "\"}]}";
    testsupport::WriteTextFile(server->Folder() + "/expect.json", expect);
    std::string output;
    EXPECT_EQ(testsupport::RunPython(testsupport::SourceRoot() + "/tests/e2e/check_message.py " + server->Message(1) +
                                         " " + server->Folder() + "/expect.json",
                                     output),
              0)
        << output;
}
