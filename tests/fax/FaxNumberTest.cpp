#include "fax/Coverage.h"
#include "fax/FaxNumber.h"

#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <string>

using namespace fax;

namespace {

FaxNumber Parsed(const std::string& text) {
    const FaxParseResult r = ParseFaxNumber(text);
    EXPECT_TRUE(r.Ok) << text;
    EXPECT_EQ(r.Failure, "");
    return r.Number;
}

std::string Failure(const std::string& text) {
    const FaxParseResult r = ParseFaxNumber(text);
    EXPECT_FALSE(r.Ok) << text;
    return r.Failure;
}

std::string ConvertError(const std::string& text) {
    try {
        ParseFaxNumber(text);
    } catch (const rtl::EConvertError& e) {
        return e.Message;
    }
    return "no error";
}

std::string Gb2312ToUtf8(const std::string& gb) {
    iconv_t cd = iconv_open("UTF-8", "CP936");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = gb, out(gb.size() * 2, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    EXPECT_NE(iconv(cd, &src, &inLeft, &dst, &outLeft), static_cast<std::size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

bool Covered(const std::string& text) { return IsCovered(CoverageList(), Parsed(text)); }

}  // namespace

TEST(FaxNumber, SplitsAndNormalises) {
    const FaxNumber n = Parsed("001-212-1234567");
    EXPECT_EQ(n.Country, "1");
    EXPECT_EQ(n.Area, "212");
    EXPECT_EQ(n.Subscriber, "1234567");
    EXPECT_EQ(GatewayAddress(n), "remote-printer.the_following_address@12121234567.iddd.faxgateway.example");
    EXPECT_EQ(Parsed("86-010-12345678").Area, "10");
    EXPECT_EQ(Parsed("00000-1-2").Country, "0");  // first hyphen at the sixth character
    EXPECT_EQ(Parsed("001-212-555-1234").Subscriber, "555-1234");
    EXPECT_EQ(GatewayAddress(Parsed("001-212-")), std::string(kGatewayLocalPart) + "1212" + kGatewayDomainSuffix);
    EXPECT_EQ(kGatewayDomainSuffix[0], '.');
}

TEST(GatewayPattern, TheDefaultBuildsTheFixedAddressAndAPatternPlacesTheNumber) {
    EXPECT_EQ(std::string(kDefaultGatewayPattern),
              std::string(kGatewayLocalPart) + kGatewayNumberPlaceholder + kGatewayDomainSuffix);
    const struct {
        const char* number;
        const char* pattern;
        const char* address;
    } cases[] = {
        {"001-212-555-1234", kDefaultGatewayPattern,
         "remote-printer.the_following_address@1212555-1234.iddd.faxgateway.example"},
        {"0044-20-7", "fax+{number}@gw.example.org", "fax+44207@gw.example.org"},
        {"001-212-", "{number}@fax.example.org", "1212@fax.example.org"},
    };
    for (const auto& c : cases) EXPECT_EQ(GatewayAddress(Parsed(c.number), c.pattern), c.address) << c.pattern;
}

TEST(GatewayPattern, OnlyOnePlaceholderInAPlainMailboxIsAccepted) {
    const std::pair<const char*, const char*> cases[] = {
        {kDefaultGatewayPattern, ""},
        {"{number}@fax.example.org", ""},
        {"remote-printer.{number}@x_y.example", ""},
        {"fax@gw.example.org", kMsgGatewayPlaceholder},
        {"{number}@{number}.example.org", kMsgGatewayPlaceholder},
        {"{Number}@fax.example.org", kMsgGatewayPlaceholder},
        {"", kMsgGatewayPlaceholder},
        {"{number}", kMsgGatewayNotAddress},
        {"{number}@localhost", kMsgGatewayNotAddress},
        {"@{number}.example.org", kMsgGatewayNotAddress},
        {"a@b@{number}.example.org", kMsgGatewayNotAddress},
        {"fax {number}@gw.example.org", kMsgGatewayNotAddress},
        {"<{number}@gw.example.org>", kMsgGatewayNotAddress},
        {"fax..{number}@gw.example.org", kMsgGatewayNotAddress},
        {"{number}@gw..example.org", kMsgGatewayNotAddress},
        {"{number}@gw.example.org.", kMsgGatewayNotAddress},
        {"{number}@gw.exa+mple.org", kMsgGatewayNotAddress},
        {"{number}@\xb4\xab.example.org", kMsgGatewayNotAddress},
    };
    for (const auto& [pattern, failure] : cases) EXPECT_EQ(GatewayPatternFailure(pattern), failure) << pattern;
}

TEST(FaxNumber, ValidationFailures) {
    EXPECT_EQ(Failure(""), kMsgEmptyNumber);
    EXPECT_EQ(Failure("000001-1-2"), kMsgNoHyphenBeforeArea);
    EXPECT_EQ(Failure("0012121234567"), kMsgNoHyphen);
    EXPECT_EQ(Failure("0012121234567-"), kMsgNoHyphenBeforeArea);  // the position test comes first
    EXPECT_EQ(Failure("001-2121234567"), kMsgNoHyphenBeforeSubscriber);
}

TEST(FaxNumber, BadCodesRaiseConversionErrorAreaFirst) {
    EXPECT_EQ(ConvertError("001--1234567"), "'' is not a valid integer value");
    EXPECT_EQ(ConvertError("x-y-1"), "'y' is not a valid integer value");
    EXPECT_EQ(ConvertError("x-1-1"), "'x' is not a valid integer value");
    EXPECT_EQ(ConvertError("1-99999999999-1"), "'99999999999' is not a valid integer value");
}

TEST(FaxNumber, MessagesAreGb2312OfTheirTexts) {
    EXPECT_EQ(Gb2312ToUtf8(kMsgEmptyNumber), "请输入对方传真号码。");
    EXPECT_EQ(Gb2312ToUtf8(kMsgNoHyphenBeforeArea), "传真号码的形式必须为：001-212-1234567，在城市区号前您没有输入\"-\".");
    EXPECT_EQ(Gb2312ToUtf8(kMsgNoHyphen), "传真号码的形式必须为：001-212-1234567，您没有输入\"-\".");
    EXPECT_EQ(Gb2312ToUtf8(kMsgNoHyphenBeforeSubscriber),
              "传真号码的形式必须为：001-212-1234567，在用户号码前您没有输入\"-\".");
    EXPECT_EQ(Gb2312ToUtf8(kMsgGatewayPlaceholder), "传真网关必须含有一个且只有一个{number}，它代表完整的传真号码。");
    EXPECT_EQ(Gb2312ToUtf8(kMsgGatewayNotAddress), "传真网关填入号码后必须是一个电子邮件地址（名字@域名）。");
    EXPECT_EQ(Gb2312ToUtf8(kMsgNotCovered), "对不起，您所输入的号码，目前不能发送免费传真，请查看传真范围列表。");
}

TEST(Coverage, ListLayout) {
    const rtl::TStringList list = CoverageList();
    ASSERT_EQ(list.Count(), 171);
    EXPECT_EQ(Gb2312ToUtf8(list[0]), "            传真范围列表                ");
    EXPECT_EQ(list[1], "");
    EXPECT_EQ(Gb2312ToUtf8(list[2]), "注意：在输入对方传真号码时，要按照以下号码的格式输入。");
    EXPECT_EQ(list[4], "                +1-201");
    EXPECT_EQ(list[170], "                +961-complete coverage");
    int entries = 0;
    for (int i = 4; i < list.Count(); ++i)
        if (!list[i].empty()) {
            ++entries;
            EXPECT_EQ(list[i].rfind("                +", 0), 0u) << i;
        }
    EXPECT_EQ(entries, 142);
    EXPECT_EQ(list.IndexOf("                +94-complete coverage "), 168);
}

TEST(Coverage, AreaCountryAndSubstringKeys) {
    EXPECT_TRUE(Covered("001-212-5551234"));
    EXPECT_TRUE(Covered("1-0212-5551234"));
    EXPECT_TRUE(Covered("0044-20-71234567"));  // +44-comp
    EXPECT_TRUE(Covered("00961-1-123456"));    // the last line
    EXPECT_TRUE(Covered("001-2-5551234"));     // prefix of +1-201
    EXPECT_TRUE(Covered("0061-8-1234"));       // prefix of +61-8-89
    EXPECT_TRUE(Covered("0094-1-1"));
    EXPECT_FALSE(Covered("0086-10-12345678"));
    EXPECT_FALSE(Covered("006-1-1"));
    // The check searches what the page displays, not a copy of its own.
    EXPECT_FALSE(IsCovered(rtl::TStringList{"+1-201"}, Parsed("0044-20-1")));
    EXPECT_TRUE(IsCovered(rtl::TStringList{"x", "+86-complete coverage"}, Parsed("0086-10-1")));
}

// The subscriber part lands in the leftmost label of the gateway's domain:
// whatever a label cannot hold could turn the address into another one.
TEST(FaxNumber, ASubscriberPartADomainLabelCannotHoldIsRefused) {
    for (const char* subscriber : {"12 34", "12.34", "1<x@evil.example>", "x@evil", "12\t34", "12\x7f", "\xb6\xfe"})
        EXPECT_EQ(Failure(std::string("001-212-") + subscriber), kMsgBadSubscriber) << subscriber;
    EXPECT_EQ(Parsed("001-212-Ab-9").Subscriber, "Ab-9");
    EXPECT_EQ(Gb2312ToUtf8(kMsgBadSubscriber), "传真号码的形式必须为：001-212-1234567，用户号码只能由数字、英文字母和\"-\"组成。");
}
