#include "fax/Dispatch.h"
#include "fax/GatewayPattern.h"

#include "platform/Windows.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

using namespace std::chrono_literals;
#include <tuple>

using fax::TFaxDispatch;
using fax::TSendRequest;
using rtl::TGbText;

TEST(Dispatch, UserIdIsTheTextBeforeTheFirstAt) {
    EXPECT_EQ(fax::UserIdOf("me@example.com"), "me");
    EXPECT_EQ(fax::UserIdOf("a@b@c"), "a");
    EXPECT_EQ(fax::UserIdOf("no-at-sign"), "");
    EXPECT_EQ(fax::UserIdOf("@example.com"), "");
}

TEST(Dispatch, RefusalsComeInOrderAndTouchNothing) {
    mail::TZelSMTP client(nullptr);
    TFaxDispatch dispatch(client);
    TSendRequest form;
    form.Server = TGbText("no..such.host");
    form.Number = TGbText("garbage");  // the blank e-mail is reported before the number is looked at
    EXPECT_EQ(dispatch.Send(form), fax::kMsgBlankFields);
    form.Email = TGbText("me@example.com");
    EXPECT_EQ(dispatch.Send(form), fax::kMsgNoHyphen);
    EXPECT_EQ(dispatch.LastGatewayAddress(), "");
    form.Number = TGbText("0086-10-12345678");
    EXPECT_EQ(dispatch.Send(form), fax::kMsgNotCovered);
    // The address is built before the coverage check and kept.
    EXPECT_EQ(dispatch.LastGatewayAddress(), "remote-printer.the_following_address@861012345678.iddd.faxgateway.example");
    form.Number = TGbText("001-212-5551234");
    form.GatewayPattern = TGbText("fax@gw.example.org");  // a pattern a corrupted settings file could hold
    EXPECT_EQ(dispatch.Send(form), fax::kMsgGatewayPlaceholder);
    form.Number = TGbText("x-y-1");
    EXPECT_THROW(dispatch.Send(form), rtl::EConvertError);
    EXPECT_EQ(dispatch.LastGatewayAddress(), "remote-printer.the_following_address@861012345678.iddd.faxgateway.example");
    EXPECT_EQ(client.Host, "");  // nothing reached the mail client
    EXPECT_FALSE(client.Connected);
}

TEST(Dispatch, AnUnresolvableServerFailsInConnectAndLeavesTheMessageUntouched) {
    mail::TZelSMTP client(nullptr);
    TFaxDispatch dispatch(client);
    testsupport::TempFile document("a.doc", "text");
    TSendRequest form{.Server = TGbText("no..such.host"), .Email = TGbText("me@example.com"),
                      .Number = TGbText("001-212-5551234"), .Files = {rtl::TFilePath(document.Path())}};
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

TEST(Dispatch, AGatewayPatternChangesTheRecipientAndNothingElse) {
    // Both sends are dated and identified alike, so only the recipient may differ.
    struct FixedClock : mail::TMessageClock {
        std::string Date() const override { return "Tue, 08 Dec 2026 10:34:04 +0800"; }
        std::string UniqueId() const override { return "fixed"; }
    } clock;
    const std::pair<const char*, const char*> runs[] = {
        {fax::kDefaultGatewayPattern, "remote-printer.the_following_address@12125551234.iddd.faxgateway.example"},
        {"fax.{number}@gw.example.org", "fax.12125551234@gw.example.org"},
    };
    std::vector<std::string> wires;
    for (const auto& [pattern, recipient] : runs) {
        testsupport::ScriptedPeer peer;
        peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
        peer.Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n").Expect(std::string("RCPT TO:<") + recipient + ">");
        peer.Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
        peer.Expect("QUIT").Send("221 bye\r\n").Close();
        peer.Start();
        mail::TZelSMTP client(nullptr);
        client.Clock = &clock;
        TFaxDispatch dispatch(client);
        const TSendRequest form{.Server = TGbText("127.0.0.1"), .Port = peer.Port(), .Email = TGbText("me@example.com"),
                                .Number = TGbText("001-212-5551234"), .GatewayPattern = TGbText(pattern)};
        EXPECT_EQ(dispatch.Send(form), "");
        ASSERT_TRUE(peer.WaitDone(5000ms));
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
        std::string wire = peer.Received();
        const std::size_t at = wire.find(recipient);
        ASSERT_NE(at, std::string::npos);
        wires.push_back(wire.replace(at, std::string(recipient).size(), "GATEWAY"));
    }
    EXPECT_EQ(wires[0], wires[1]);
}

// Servers refuse 8-bit bytes in HELO and MAIL FROM with misleading replies,
// and a server name with a blank or line break names no server.
TEST(Dispatch, AnEmailOrServerNameNoServerCouldTakeIsRefusedBeforeConnecting) {
    const std::tuple<std::string, std::string, const char*> cases[] = {
        {"no..such.host ", "me@example.com", fax::kMsgBadServerName},
        {"no..such.host\r\nRSET", "me@example.com", fax::kMsgBadServerName},
        {"no..such.host", "\xa4\xa2\xa4\xa4@example.com", fax::kMsgEmailNotAscii},  // kana before the "@"
    };
    for (const auto& [server, email, refusal] : cases) {
        mail::TZelSMTP client(nullptr);
        TFaxDispatch dispatch(client);
        EXPECT_EQ(dispatch.Send({.Server = TGbText(server), .Email = TGbText(email), .Number = TGbText("001-212-5551234")}),
                  refusal)
            << server << email;
        EXPECT_EQ(client.Host, "");
    }
}

// What a server would refuse only after the connection (in its own words),
// refused before: an address no server takes, letters where the number
// goes, a subject with a line break. One number written several ways is one RCPT.
TEST(Dispatch, AnAddressOrSubjectNoServerTakesIsRefusedBeforeConnecting) {
    const std::string label63 = "fax@" + std::string(63 - 11, 'a') + "{number}.example";
    const struct {
        std::string Number;
        std::string Pattern;
        std::string Subject;
        const char* Refusal;
    } cases[] = {
        {"001-212-5551234", label63, "", ""},
        {"001-212-55512345", label63, "", fax::kMsgGatewayAddressUnusable},  // a label of 64
        {"001-212-" + std::string(10000, '5'), "", "", fax::kMsgGatewayAddressUnusable},
        {"001-212-5551234-", "", "", fax::kMsgGatewayAddressUnusable},  // a label ending in "-"
        {"001-212-555FLOW", "", "", fax::kMsgGatewayNumberNotDigits},
        {"001-212-5551234", std::string(53, 'x') + "{number}@fax.example", "", ""},  // a local part of 64
        {"001-212-55512345", std::string(53, 'x') + "{number}@fax.example", "", fax::kMsgGatewayAddressUnusable},
        {"001-212-5551234", "", "Invoice\r\nBcc: x@example.com", fax::kMsgSubjectControl},
        {"001-212-5551234", "", "Invoice\n", fax::kMsgSubjectControl},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Number.substr(0, 40) + " " + c.Pattern + " " + c.Subject);
        mail::TZelSMTP client(nullptr);
        TFaxDispatch dispatch(client);
        TSendRequest form{.Server = TGbText("no..such.host"), .Email = TGbText("me@example.com"), .Number = TGbText(c.Number)};
        if (!c.Pattern.empty()) form.GatewayPattern = TGbText(c.Pattern);
        form.Subject = TGbText(c.Subject);
        EXPECT_EQ(dispatch.Check(form), c.Refusal);
        EXPECT_EQ(client.Host, "");
    }
    mail::TZelSMTP client(nullptr);
    TFaxDispatch dispatch(client);
    TSendRequest form{.Server = TGbText("no..such.host"), .Email = TGbText("me@example.com"), .Number = TGbText("001-212-5551234")};
    form.MoreNumbers = {TGbText("+1 212 555 1234"), TGbText("001-212-5551234"), TGbText("0044-20-71234567")};
    ASSERT_EQ(dispatch.Check(form), "");
    EXPECT_EQ(dispatch.GatewayAddresses(),
              (std::vector<std::string>{"remote-printer.the_following_address@12125551234.iddd.faxgateway.example",
                                        "remote-printer.the_following_address@442071234567.iddd.faxgateway.example"}));
}

// A refused number ends the send before DATA, naming that number; the
// numbers after it are not tried.
TEST(Dispatch, ARefusedRecipientEndsTheSendBeforeDataAndNamesItsNumber) {
    testsupport::ScriptedPeer peer;
    peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
    peer.Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n");
    peer.Expect("RCPT TO:<remote-printer.the_following_address@12125551234.iddd.faxgateway.example>").Send("250 ok\r\n");
    peer.Expect("RCPT TO:<remote-printer.the_following_address@442071234567.iddd.faxgateway.example>");
    peer.Send("550 5.1.1 no such gateway\r\n").ReadUntilClose();
    peer.Start();
    mail::TZelSMTP client(nullptr);
    TFaxDispatch dispatch(client);
    TSendRequest form{.Server = TGbText("127.0.0.1"), .Port = peer.Port(), .Email = TGbText("me@example.com"),
                      .Number = TGbText("001-212-5551234")};
    form.MoreNumbers = {TGbText("0044-20-71234567"), TGbText("001-212-5559999")};
    try {
        dispatch.Send(form);
        FAIL() << "a refused recipient was not reported";
    } catch (const rtl::Exception& e) {
        EXPECT_EQ(e.Kind, rtl::TErrorKind::RecipientRefused);
        EXPECT_EQ(e.Subject, "0044-20-71234567");
        EXPECT_EQ(e.Message, "550 5.1.1 no such gateway\r\n");
    }
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_EQ(peer.Received().find("DATA"), std::string::npos);
}
