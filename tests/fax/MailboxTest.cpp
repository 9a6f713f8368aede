#include "fax/Dispatch.h"
#include "fax/Mailbox.h"

#include <gtest/gtest.h>

#include <string>

TEST(Mailbox, OneRfc5321MailboxAndNothingMore) {
    const std::pair<std::string, bool> cases[] = {
        {"me@example.com", true},
        {"first.last+fax@mail.example.com", true},
        {"!#$%&'*+-/=?^_`{|}~@example.com", true},
        {"\"john doe\"@example.com", true},
        {"\"a@b\\\"c\"@example.com", true},
        {"me@localhost", true},
        {"me@[192.0.2.1]", true},
        {"me@[IPv6:2001:db8::1]", true},
        {"me@[IPv6:2001:db8:0:0:0:0:0:1]", true},
        {"me@[IPv6:::ffff:192.0.2.1]", true},
        {"me@[x-tag:any.content]", true},
        {std::string(64, 'a') + "@example.com", true},
        {"me@" + std::string(63, 'a') + ".com", true},
        // What would change the envelope or the header.
        {"me@example.test> RET=HDRS ENVID=x", false},
        {"me@example.test>", false},
        {"<me@example.test>", false},
        {"me@example.test ", false},
        {"me @example.test", false},
        {"me@example.test,you@example.test", false},
        {"Me <me@example.test>", false},
        {"me@example.test\r\nRCPT TO:<x@y>", false},
        // Not a mailbox at all.
        {"", false},
        {"me", false},
        {"@example.com", false},
        {"me@", false},
        {"me@@example.com", false},
        {".me@example.com", false},
        {"me.@example.com", false},
        {"m..e@example.com", false},
        {"me@example..com", false},
        {"me@-example.com", false},
        {"me@example-.com", false},
        {"me@exa_mple.com", false},
        {"me@example.com.", false},
        {"\"unterminated@example.com", false},
        {"\"a\"b\"@example.com", false},
        {"\"a\\\"@example.com", false},
        {"\"tab\there\"@example.com", false},
        {"\"a\\\xf8\"@example.com", false},
        {std::string(65, 'a') + "@example.com", false},
        {"me@" + std::string(64, 'a') + ".com", false},
        {"me@" + std::string(252, 'a') + ".com", false},
        {"me@[192.0.2.256]", false},
        {"me@[192.0.2]", false},
        {"me@[IPv6:2001:db8::1::2]", false},
        {"me@[IPv6:1:2:3:4:5:6:7]", false},
        {"me@[IPv6:1:2:3:4:5:6:7::]", false},
        {"me@[IPv6:12345::1]", false},
        {"me@[tag:]", false},
        {"me@[tag:a]b]", false},
        {"me@[tag:a>b]", false},
        {"me@[]", false},
    };
    for (const auto& [text, accepted] : cases) EXPECT_EQ(fax::IsSmtpMailbox(text), accepted) << text;
}

TEST(Mailbox, TheSendRefusesASenderThatIsNotOneMailboxBeforeConnecting) {
    mail::TZelSMTP client(nullptr);
    fax::TFaxDispatch dispatch(client);
    const fax::TSendRequest form{.Server = rtl::TGbText("127.0.0.1"), .Email = rtl::TGbText("me@example.test> RET=HDRS ENVID=x"),
                                 .Number = rtl::TGbText("001-212-5551234")};
    EXPECT_EQ(dispatch.Send(form), fax::kMsgSenderNotMailbox);
    EXPECT_EQ(client.Host, "");
    EXPECT_FALSE(client.Connected);
}
