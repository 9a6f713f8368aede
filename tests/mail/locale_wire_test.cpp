// Nothing of the locale reaches the wire: a message composed in each of the
// users' locales is byte for byte the C locale's, given the same clock.
#include "mail/Zelsmtp.h"
#include "tests/support/ScopedLocale.h"
#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FixedClock : mail::TMessageClock {
    std::time_t Now() const override { return 1796726039; }  // 16:33:59 UTC
    std::string UniqueId() const override { return "fixed.1"; }
};

std::string Composed(const std::vector<std::string>& files) {
    FixedClock clock;
    mail::TZelSMTP client(nullptr);
    client.Clock = &clock;
    auto& m = client.PostMessage();
    m.FromName = "\xD5\xC5\xC8\xFD";  // 张三
    m.FromAddress = "me@example.com";
    m.Subject = "\xB4\xAB\xD5\xE6 Fax";  // 传真
    m.Date = clock.Date();
    m.Body.Add("\xC4\xFA\xBA\xC3");  // 您好
    for (const auto& f : files) m.Attachments.Add(f);
    client.ComposeMessage();
    std::string header;
    for (const auto& line : client.FinalHeader) header += line + "\r\n";
    return header + "\r\n" + client.MessageStream.ToString();
}

}  // namespace

TEST(LocaleFreeWire, AMessageIsTheCLocalesInEveryUsersLocale) {
    const testsupport::TempFile plain("scan.tif", "abc");
    const testsupport::TempFile chinese("\xE4\xBC\xA0\xE7\x9C\x9F.pdf", "def");  // 传真.pdf, UTF-8 on the disk
    const std::vector<std::string> files = {plain.Path(), chinese.Path()};
    std::string reference;
    {
        testsupport::ScopedLocale c("C");
        reference = Composed(files);
    }
    const auto at = reference.find("boundary=\"");
    ASSERT_NE(at, std::string::npos);
    const std::string boundary = reference.substr(at + 10, reference.find('"', at + 10) - at - 10);
    EXPECT_EQ(boundary.size(), 37u) << boundary;
    for (const unsigned char c : boundary) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << boundary;
    for (const char* name : testsupport::kUserLocales) {
        testsupport::ScopedLocale locale(name);
        if (locale.Active) {
            EXPECT_EQ(Composed(files), reference) << name;
        }
    }
}
