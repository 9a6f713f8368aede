#include "fax/Coverage.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"

#include "platform/CodePage.h"
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <string>

using namespace fax;

namespace {

TNumberReading Read(const char* utf8, int home) { return ReadFaxNumber(Win::Utf8ToGb2312(utf8), home); }

}  // namespace

// Every form people write, the forms without an area code, the refusals with
// their texts, and the design's own forms, which the front leaves as typed.
TEST(NumberFront, TheTableOfForms) {
    const struct {
        const char* typed;
        int home;
        const char* designForm;  // or the failure text
        const char* number;      // the gateway address's {number}
        bool covered;
    } cases[] = {
        {"+1 212 1234567", 86, "1-212-1234567", "12121234567", true},
        {"001 212 1234567", 86, "1-212-1234567", "12121234567", true},
        {"0012121234567", 0, "1-212-1234567", "12121234567", true},
        {"+1 (212) 123-4567", 0, "1-212-1234567", "12121234567", true},
        {"(212) 123-4567", 1, "1-212-1234567", "12121234567", true},
        {"212.123.4567", 1, "1-212-1234567", "12121234567", true},
        {"011 44 20 7123 4567", 1, "44-20-71234567", "442071234567", true},
        {"010-12345678", 86, "86-10-12345678", "861012345678", false},
        {"（０１０）１２３４５６７８", 86, "86-10-12345678", "861012345678", false},
        {"＋86　21 1234 5678", 0, "86-21-12345678", "862112345678", false},
        {"+39 06 1234 5678", 0, "39-06-12345678", "39612345678", false},  // the design's parser drops the zero
        // Without an area code the national number is all subscriber.
        {"+65 6123 4567", 0, "65--61234567", "6561234567", true},
        {"+1 800 555 1234", 0, "1--8005551234", "18005551234", true},
        {"+86 138 0013 8000", 0, "86--13800138000", "8613800138000", false},
        // The design's forms, as typed.
        {"001-212-1234567", 0, "001-212-1234567", "12121234567", true},
        {"+1-212-1234567", 0, "+1-212-1234567", "12121234567", true},
        {"001-212-555-1234", 0, "001-212-555-1234", "1212555-1234", true},
        {"0086-10-12345678", 1, "0086-10-12345678", "861012345678", false},
        // Refusals.
        {"010-12345678", 0, "传真号码的形式必须为：001-212-1234567，请在号码前加上国家代码（如 +86 或 0086），或在“发送设置”中填写本国国家代码。", "", false},
        {"+1 212 555 CALL", 0, "传真号码的形式必须为：001-212-1234567，号码中只能有数字、空格和 + - . ( ) /，不能有字母或其它符号。", "", false},
        {"0012121234567#", 86, "传真号码的形式必须为：001-212-1234567，号码中只能有数字、空格和 + - . ( ) /，不能有字母或其它符号。", "", false},
        {"+999 1234567", 0, "传真号码的形式必须为：001-212-1234567，您输入的国家代码不存在。", "", false},
        {"+1 212 1234", 0, "传真号码的形式必须为：001-212-1234567，您输入的号码太短。", "", false},
        // The design's form that the front cannot read: the design's own texts.
        {"001-212", 86, "传真号码的形式必须为：001-212-1234567，在用户号码前您没有输入\"-\".", "", false},
        {"000001-1-2", 86, "传真号码的形式必须为：001-212-1234567，在城市区号前您没有输入\"-\".", "", false},
        {"0000000-1", 0, "传真号码的形式必须为：001-212-1234567，在城市区号前您没有输入\"-\".", "", false},
        {"+", 86, "传真号码的形式必须为：001-212-1234567，您输入的号码太短。", "", false},
        {"+1 212 1234567 890", 0, "传真号码的形式必须为：001-212-1234567，您输入的号码太长。", "", false},
        {"+49 30 12", 0, "传真号码的形式必须为：001-212-1234567，您输入的号码太短。", "", false},
        {"+44 20 71234", 0, "传真号码的形式必须为：001-212-1234567，您输入的号码太短。", "", false},
        {"+86 0000 0000", 0, "传真号码的形式必须为：001-212-1234567，这不是一个有效的电话号码。", "", false},
        // Not begun like a number: the design's own refusal.
        {"garbage", 86, "传真号码的形式必须为：001-212-1234567，您没有输入\"-\".", "", false},
        {"", 86, "请输入对方传真号码。", "", false},
    };
    for (const auto& c : cases) {
        const TNumberReading r = Read(c.typed, c.home);
        if (!r.Ok) {
            EXPECT_EQ(Win::Gb2312ToUtf8(r.Failure), c.designForm) << c.typed;
            EXPECT_EQ(c.number, std::string()) << c.typed;
            continue;
        }
        EXPECT_EQ(r.Failure, "") << c.typed;
        EXPECT_EQ(r.DesignForm, Win::Utf8ToGb2312(c.designForm)) << c.typed;
        EXPECT_EQ(GatewayAddressOf(r, kDefaultGatewayPattern),
                  std::string(kGatewayLocalPart) + c.number + kGatewayDomainSuffix)
            << c.typed;
        EXPECT_EQ(IsCovered(CoverageList(), r.Number), c.covered) << c.typed;
    }
}

TEST(NumberFront, TheDesignsConversionErrorsStay) {
    EXPECT_THROW(Read("x-y-1", 86), rtl::EConvertError);
    EXPECT_THROW(Read("1 212-555-1234", 86), rtl::EConvertError);
}

TEST(NumberFront, WhatWasUnderstood) {
    const struct {
        const char* typed;
        const char* shown;
        const char* place;
    } cases[] = {
        {"+1 (212) 123-4567", "+1 212-123-4567", "美国 New York, NY"},
        {"001-212-1234567", "+1 212-123-4567", "美国 New York, NY"},
        {"010-12345678", "+86 10 1234 5678", "北京市"},
        {"+44 20 7123 4567", "+44 20 7123 4567", "英国 London"},
        {"+65 6123 4567", "+65 6123 4567", "新加坡"},
        {"009-999-1234567", "+9 999-1234567", ""},
    };
    for (const auto& c : cases) {
        const TNumberReading r = Read(c.typed, 86);
        EXPECT_EQ(r.Shown, c.shown) << c.typed;
        EXPECT_EQ(r.PlaceUtf8, c.place) << c.typed;
    }
    EXPECT_EQ(PlaceOfCoverageEntry("                +1-416"), "加拿大 Ontario");
    EXPECT_EQ(PlaceOfCoverageEntry("                +44-complete coverage"), "英国");
    EXPECT_EQ(PlaceOfCoverageEntry(""), "");
    EXPECT_EQ(CountryCodeOfRegion("CN"), 86);
    EXPECT_EQ(CountryCodeOfRegion(""), 0);
}

TEST(GatewayPattern, TheThreePlaceholders) {
    const TNumberReading italy = Read("+39 06 1234 5678", 0);
    const std::pair<const char*, const char*> cases[] = {
        {"{number}@fax.example.org", "39612345678@fax.example.org"},
        {"{e164}@fax.example.org", "+390612345678@fax.example.org"},
        {"fax.{national}@gw.example.org", "fax.0612345678@gw.example.org"},
    };
    for (const auto& [pattern, address] : cases) {
        EXPECT_EQ(GatewayPatternProblem(pattern), "") << pattern;
        EXPECT_EQ(GatewayAddressOf(italy, pattern), address) << pattern;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"fax@gw.example.org", kMsgGatewayPlaceholder},
        {"{e164}@{number}.example.org", kMsgGatewayOnePlaceholder},
        {"{national}{national}@gw.example.org", kMsgGatewayOnePlaceholder},
        {"fax@{e164}.example.org", kMsgGatewayNotAddress},
        {"{national}", kMsgGatewayNotAddress},
    };
    for (const auto& [pattern, problem] : refused) EXPECT_EQ(GatewayPatternProblem(pattern), problem) << pattern;
    EXPECT_EQ(Win::Gb2312ToUtf8(kMsgGatewayOnePlaceholder), "传真网关只能含有{number}、{e164}、{national}中的一个，且只能出现一次。");
}
