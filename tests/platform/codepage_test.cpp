#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <clocale>

TEST(CodePage, ProgramTextsRoundTrip) {
    for (const char* text : {"传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。", "Morvane 2.0——用E-mail发送免费国际传真。",
                             "传真号码的形式必须为：001-212-1234567，在城市区号前您没有输入\"-\".", "40000字节的16383正在发送",
                             "宋体", "plain ASCII"}) {
        const std::string gb = Win::Utf8ToGb2312(text);
        EXPECT_EQ(Win::Gb2312ToUtf8(gb), text);
    }
    // 传 is B4 AB in GB2312.
    EXPECT_EQ(Win::Utf8ToGb2312("传"), "\xB4\xAB");
    EXPECT_EQ(Win::Utf8ToGb2312("——"), "\xA1\xAA\xA1\xAA");
}

TEST(CodePage, UnmappableAndMalformedBytesDoNotStopConversion) {
    EXPECT_EQ(Win::Utf8ToGb2312("a\xF0\x9F\x98\x80" "b"), "a?b");
    EXPECT_EQ(Win::Gb2312ToUtf8("a\xFF" "b").front(), 'a');
    EXPECT_EQ(Win::Gb2312ToUtf8("a\xFF" "b").back(), 'b');
}

TEST(CodePage, LeadBytes) {
    EXPECT_TRUE(Win::IsGb2312LeadByte(0xB4));
    EXPECT_FALSE(Win::IsGb2312LeadByte('\\'));
    EXPECT_FALSE(Win::IsGb2312LeadByte(0x80));
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C.UTF-8");
    EXPECT_FALSE(Win::IsDBCSLeadByte(0xB4));  // UTF-8 has no trail bytes that look like ASCII
    std::setlocale(LC_CTYPE, saved.c_str());
}
