#include "fax/Dispatch.h"

#include "platform/Windows.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

using fax::TFaxDispatch;
using fax::TFaxForm;

TEST(Dispatch, UserIdIsTheTextBeforeTheFirstAt) {
    EXPECT_EQ(fax::UserIdOf("me@example.com"), "me");
    EXPECT_EQ(fax::UserIdOf("a@b@c"), "a");
    EXPECT_EQ(fax::UserIdOf("no-at-sign"), "");
    EXPECT_EQ(fax::UserIdOf("@example.com"), "");
}

TEST(Dispatch, RefusalsComeInOrderAndTouchNothing) {
    mail::TZelSMTP client(nullptr);
    TFaxDispatch dispatch(client);
    TFaxForm form;
    form.CoverageLines = fax::CoverageList();
    form.Server = "no..such.host";
    form.Number = "garbage";  // the blank e-mail is reported before the number is looked at
    EXPECT_EQ(dispatch.Send(form), fax::kMsgBlankFields);
    form.Email = "me@example.com";
    EXPECT_EQ(dispatch.Send(form), fax::kMsgNoHyphen);
    EXPECT_EQ(dispatch.LastGatewayAddress(), "");
    form.Number = "0086-10-12345678";
    EXPECT_EQ(dispatch.Send(form), fax::kMsgNotCovered);
    // The address is built before the coverage check and kept.
    EXPECT_EQ(dispatch.LastGatewayAddress(), "remote-printer.the_following_address@861012345678.iddd.faxgateway.example");
    form.Number = "x-y-1";
    EXPECT_THROW(dispatch.Send(form), rtl::EConvertError);
    EXPECT_EQ(dispatch.LastGatewayAddress(), "remote-printer.the_following_address@861012345678.iddd.faxgateway.example");
    EXPECT_EQ(client.Host, "");  // nothing reached the mail client
    EXPECT_FALSE(client.Connected);
}

TEST(Dispatch, AnUnresolvableServerFailsInConnectAndLeavesTheMessageUntouched) {
    mail::TZelSMTP client(nullptr);
    TFaxDispatch dispatch(client);
    TFaxForm form{"no..such.host", "me@example.com", "001-212-5551234", {}, fax::CoverageList()};
    form.Files.Add("/tmp/a.doc");
    try {
        dispatch.Send(form);
        FAIL() << "sent to a host that does not exist";
    } catch (const net::ESockError& e) {
        EXPECT_EQ(e.Message, "Null Remote Address");
    }
    EXPECT_EQ(client.UserID, "me");
    EXPECT_EQ(client.Port, 25);
    EXPECT_EQ(client.PostMessage().Attachments.Count(), 0);
    EXPECT_EQ(client.PostMessage().ToBlindCarbonCopy.Count(), 0);
    EXPECT_FALSE(dispatch.Sending());
}

TEST(Dispatch, TheFaxReadsAsSentWithItsDateIdAndEveryFileName) {
    testsupport::RealSmtpServer server;
    struct : mail::TMessageClock {
        std::string Date() const override { return "Tue, 08 Dec 2026 10:34:04 +0800"; }
        std::string UniqueId() const override { return "fixed.1"; }
    } clock;
    mail::TZelSMTP client(nullptr);
    client.Port = server.Port();
    client.Clock = &clock;
    TFaxDispatch dispatch(client);
    std::vector<std::unique_ptr<testsupport::TempFile>> files;
    for (const char* name : {"contract.pdf", "\xE4\xBC\xA0\xE7\x9C\x9F.pdf" /* 传真.pdf */,
                             "invoice.pdf\"; filename=\"evil.exe"})
        files.push_back(std::make_unique<testsupport::TempFile>(name, testsupport::RandomBytes(3000, files.size())));
    TFaxForm form{"127.0.0.1", "me@example.com", "001-212-5551234", {}, fax::CoverageList()};
    std::string attachments;
    for (const auto& f : files) {
        form.Files.Add(f->Path());
        const std::string name = f->Path().substr(f->Path().rfind('/') + 1);
        attachments += std::string(attachments.empty() ? "" : ", ") + "{\"name\": " + testsupport::JsonString(name) +
                       ", \"path\": " + testsupport::JsonString(f->Path()) + "}";
    }
    ASSERT_EQ(dispatch.Send(form), "");
    ASSERT_TRUE(server.WaitForMessages(1, std::chrono::seconds(10)));
    EXPECT_EQ(testsupport::CheckMessage(
                  server, 1,
                  "{\"rcpt\": [\"" + dispatch.LastGatewayAddress() + "\"], \"from\": \"me@example.com\","
                  " \"headers\": {\"From\": \"\\\"me@example.com\\\" <me@example.com>\","
                  " \"Subject\": \"me@example.comSend a Fax\", \"Reply-To\": \"me@example.com\","
                  " \"Date\": \"Tue, 08 Dec 2026 10:34:04 +0800\", \"Message-ID\": \"<fixed.1@example.com>\"},"
                  " \"no_headers\": [\"To\", \"CC\", \"Bcc\"], \"body_lines\": [\"me@example.comSend a Fax\"],"
                  " \"munpack\": true, \"attachments\": [" + attachments + "]}"),
              "message ok");
}
