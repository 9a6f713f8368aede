// The mail client against a real SMTP server (aiosmtpd), with Python's email
// package checking what arrived.
#include "mail/Zelsmtp.h"
#include "platform/CodePage.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>

using namespace std::chrono_literals;
using testsupport::RealSmtpServer;
using testsupport::TempFile;

TEST(EndToEnd, ChineseSubjectAndAttachmentsArriveByteExact) {
    std::unique_ptr<RealSmtpServer> server;
    try {
        server = std::make_unique<RealSmtpServer>();
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    std::vector<std::unique_ptr<TempFile>> files;
    files.push_back(std::make_unique<TempFile>("empty.doc", ""));
    files.push_back(std::make_unique<TempFile>("b45.bin", testsupport::RandomBytes(45, 45)));
    files.push_back(std::make_unique<TempFile>("b46.bin", testsupport::RandomBytes(46, 46)));
    files.push_back(std::make_unique<TempFile>("b47.bin", testsupport::RandomBytes(47, 47)));
    files.push_back(std::make_unique<TempFile>("scan.tif", testsupport::RandomBytes(1 << 20, 1)));

    mail::TZelSMTP client(nullptr);
    client.Host = "127.0.0.1";
    client.Port = server->Port();
    client.UserID = "me";
    const std::string subject = Win::Utf8ToGb2312("传真测试：国际传真");
    client.Connect();
    auto& m = client.PostMessage();
    m.FromAddress = "me@example.com";
    m.FromName = "me@example.com";
    m.Subject = subject;
    m.ReplyTo = "me@example.com";
    m.Body.Add("me@example.comSend a Fax");
    m.Body.Add(".a line that starts with a dot");
    m.ToAddress.Add("To Person <to@example.com>");
    m.ToCarbonCopy.Add("cc:cc@example.com");
    m.ToBlindCarbonCopy.Add("remote-printer.the_following_address@12125551234.iddd.faxgateway.example");
    for (const auto& f : files) m.Attachments.Add(f->Path());
    client.SubmitMessage();
    client.Disconnect();
    ASSERT_TRUE(server->WaitForMessages(1, 10s));

    std::ostringstream expect;
    expect << "{\"rcpt\": [\"to@example.com\", \"cc@example.com\", "
              "\"remote-printer.the_following_address@12125551234.iddd.faxgateway.example\"],"
           << " \"from\": \"me@example.com\", \"headers\": {\"Subject\": \"传真测试：国际传真\"},"
           << " \"body_lines\": [\"me@example.comSend a Fax\", \".a line that starts with a dot\"],"
           // The CC line joins its entries as they are: "cc:" reads as an unended group.
           << " \"allowed_defects\": [\"multipart/mixed header CC: end of header in group\"],"
           << " \"attachments\": [";
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i]->Path();
        expect << (i ? ", " : "") << "{\"name\": " << testsupport::JsonString(path.substr(path.rfind('/') + 1))
               << ", \"path\": " << testsupport::JsonString(path) << "}";
    }
    expect << "]}";
    const std::string expectPath = server->Folder() + "/expect.json";
    testsupport::WriteTextFile(expectPath, expect.str());
    std::string output;
    const int code = testsupport::RunPython(testsupport::SourceRoot() + "/tests/e2e/check_message.py " +
                                                server->Message(1) + " " + expectPath,
                                            output);
    EXPECT_EQ(code, 0) << output;
}

TEST(EndToEnd, SeveralMessagesOnOneConnection) {
    RealSmtpServer server;
    mail::TZelSMTP client(nullptr);
    client.Host = "localhost";
    client.Port = server.Port();
    client.UserID = "me";
    client.Connect();
    for (int i = 1; i <= 3; ++i) {
        auto& m = client.PostMessage();
        m.FromAddress = "me@example.com";
        m.ToAddress.Add("n" + std::to_string(i) + "@example.com");
        m.Body.Add("line " + std::to_string(i));
        client.SubmitMessage();
        EXPECT_EQ(m.ToAddress.Count(), 0);  // cleared after each success
    }
    client.Disconnect();
    ASSERT_TRUE(server.WaitForMessages(3, 10s));
    std::string output;
    testsupport::WriteTextFile(server.Folder() + "/e3.json",
                               "{\"rcpt\": [\"n3@example.com\"], \"body_lines\": [\"line 1\", \"line 2\", \"line 3\"]}");
    EXPECT_EQ(testsupport::RunPython(testsupport::SourceRoot() + "/tests/e2e/check_message.py " + server.Message(3) + " " +
                                         server.Folder() + "/e3.json",
                                     output),
              0)
        << output;
}
