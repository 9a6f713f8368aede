// Exact header texts for short values; folding and decoding over any bytes
// is the fuzz target header_text's.
#include "mail/HeaderText.h"

#include <gtest/gtest.h>

#include <string>

using namespace mail;

namespace {

std::tm Tm(int year, int month, int day, int yday, int wday, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_yday = yday, t.tm_wday = wday;
    t.tm_hour = hour, t.tm_min = minute, t.tm_sec = second;
    return t;
}

const std::string kFax = "\xB4\xAB\xD5\xE6";  // 传真 in GB2312

}  // namespace

TEST(HeaderText, DatesInEnglishWithASignedZone) {
    const std::tuple<std::tm, long, const char*> cases[] = {
        {Tm(2026, 12, 8, 341, 2, 10, 34, 4), 8 * 3600, "Tue, 08 Dec 2026 10:34:04 +0800"},
        {Tm(2027, 1, 1, 0, 5, 0, 0, 0), 0, "Fri, 01 Jan 2027 00:00:00 +0000"},
        {Tm(2024, 2, 29, 59, 4, 23, 59, 59), -(3 * 3600 + 1800), "Thu, 29 Feb 2024 23:59:59 -0330"},
    };
    for (const auto& [local, offset, text] : cases) EXPECT_EQ(Rfc5322Date(local, offset), text);
}

TEST(HeaderText, UtcOffsetAcrossDaysAndYears) {
    const std::tuple<std::tm, std::tm, long> cases[] = {
        {Tm(2026, 12, 8, 341, 2, 10, 34, 4), Tm(2026, 12, 8, 341, 2, 2, 34, 4), 8 * 3600},
        {Tm(2027, 1, 1, 0, 5, 7, 0, 0), Tm(2026, 12, 31, 364, 4, 23, 0, 0), 8 * 3600},
        {Tm(2026, 12, 31, 364, 4, 14, 0, 0), Tm(2027, 1, 1, 0, 5, 0, 0, 0), -10 * 3600},
        {Tm(2026, 7, 15, 195, 3, 0, 15, 0), Tm(2026, 7, 14, 194, 2, 18, 30, 0), 5 * 3600 + 45 * 60},
    };
    for (const auto& [local, utc, offset] : cases) EXPECT_EQ(UtcOffset(local, utc), offset);
}

TEST(HeaderText, MessageIdTakesTheSendersDomainOrAFixedHost) {
    const std::pair<const char*, const char*> cases[] = {
        {"me@example.com", "<u.1@example.com>"},         {"a@b@mail.example.org", "<u.1@mail.example.org>"},
        {"", "<u.1@localhost.localdomain>"},             {"no-at-sign", "<u.1@localhost.localdomain>"},
        {"me@[127.0.0.1]", "<u.1@localhost.localdomain>"}, {"me@exa mple.com", "<u.1@localhost.localdomain>"},
        {"me@.example.com", "<u.1@localhost.localdomain>"},
    };
    for (const auto& [from, id] : cases) EXPECT_EQ(MessageId("u.1", from), id) << from;
}

TEST(HeaderText, CharsetOfCodePageText) {
    const std::pair<std::string, const char*> cases[] = {
        {"plain text\t~", "us-ascii"}, {"a" + kFax, "GB2312"},
        {kFax + "\xE9\x46", "GBK"},  // 镕: trail byte below A1
        {"\x81\xA1", "GBK"},          // lead byte below A1
        {kFax + "\xB4", "GBK"},       // a lead byte cut off
    };
    for (const auto& [text, charset] : cases) EXPECT_EQ(CodePageCharset(text), charset) << text;
}

TEST(HeaderText, SubjectsAndDisplayNames) {
    EXPECT_EQ(HeaderText("=?not?B?encoded?= a: b", 9), "=?not?B?encoded?= a: b");
    EXPECT_EQ(HeaderText("Morvane 2.0\xD6\xD0\xCE\xC4\xB0\xE6\xBD\xA8\xD2\xE9", 9),
              "=?GB2312?B?TW9ydmFuZSAyLjDW0M7EsOa9qNLp?=");
    const std::pair<std::string, std::string> names[] = {
        {"", "<a@b>"},
        {"Fax User", "Fax User <a@b>"},
        {"me@example.com", "\"me@example.com\" <a@b>"},
        {"J. Smith, Sales", "\"J. Smith, Sales\" <a@b>"},
        {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\" <a@b>"},
        {"\xD5\xC5\xC8\xFD", "=?GB2312?B?1cXI/Q==?= <a@b>"},  // 张三
    };
    for (const auto& [name, value] : names) EXPECT_EQ(FromValue(name, "a@b"), value) << name;
}

TEST(HeaderText, AttachmentNameParameters) {
    const std::tuple<std::string, const char*, const char*, const char*> cases[] = {
        {"letter.doc", "us-ascii", "name=\"letter.doc\"", "filename=\"letter.doc\""},
        // A quote stays inside one parameter: escaped in name=, and in
        // filename*= no quote is left for a careless reader to meet.
        {"x\";y=\"z", "us-ascii", "name=\"x\\\";y=\\\"z\"", "filename*=us-ascii''x%22%3By%3D%22z"},
        {"a\\b", "us-ascii", "name=\"a\\\\b\"", "filename*=us-ascii''a%5Cb"},
        {kFax + ".pdf", "GB2312", "name=\"=?GB2312?B?tKvV5i5wZGY=?=\"", "filename*=GB2312''%B4%AB%D5%E6.pdf"},
        // A name that reads as an encoded word is itself encoded: it arrives literally.
        {"=?a?B?Lg==?=", "us-ascii", "name=\"=?us-ascii?B?PT9hP0I/TGc9PT89?=\"", "filename*=us-ascii''%3D%3Fa%3FB%3FLg%3D%3D%3F%3D"},
    };
    for (const auto& [name, charset, type, disposition] : cases) {
        EXPECT_EQ(NameParameter(name, charset, 20), type);
        EXPECT_EQ(FileNameParameter(name, charset, 20), disposition);
    }
}
