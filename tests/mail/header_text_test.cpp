#include "mail/HeaderText.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace mail;

namespace {

std::tm Tm(int year, int month, int day, int yday, int wday, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_yday = yday;
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

std::vector<std::string> PhysicalLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

std::string FromBase64(const std::string& text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<std::uint32_t>(digits.find(c));
        if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
    }
    return out;
}

// True when a double-byte text ends on a whole character.
bool WholeCharacters(const std::string& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) i += static_cast<unsigned char>(bytes[i]) >= 0x81 ? 2 : 1;
    return i == bytes.size();
}

// The pieces a folded value carries: each encoded word, or each RFC 2231
// section, decoded; with each line's length checked.
std::vector<std::string> Pieces(const std::string& folded, std::size_t firstColumn) {
    std::vector<std::string> pieces;
    const std::regex word(R"(=\?[^?]+\?B\?([^?]*)\?=|filename\*\d+\*=(?:[^']*'')?([^;]*))");
    std::size_t column = firstColumn;
    for (const auto& line : PhysicalLines(folded)) {
        EXPECT_LE(column + line.size(), kEncodedLineLimit) << line;
        column = 0;
        for (std::sregex_iterator m(line.begin(), line.end(), word), end; m != end; ++m) {
            if ((*m)[1].matched) {
                pieces.push_back(FromBase64((*m)[1]));
                continue;
            }
            std::string bytes, section = (*m)[2];
            for (std::size_t i = 0; i < section.size(); ++i)
                bytes += section[i] == '%' ? static_cast<char>(std::stoi(section.substr((i += 2) - 1, 2), nullptr, 16))
                                           : section[i];
            pieces.push_back(bytes);
        }
    }
    return pieces;
}

std::string Joined(const std::vector<std::string>& pieces) {
    std::string all;
    for (const auto& p : pieces) all += p;
    return all;
}

// "传真" in GB2312 and "镕" (GBK only), repeated into texts that need folding.
const std::string kFax = "\xB4\xAB\xD5\xE6";
const std::string kGbkOnly = "\xE9\x46";

}  // namespace

TEST(HeaderText, DatesInEnglishWithASignedZone) {
    struct Case {
        std::tm Local;
        long Offset;
        const char* Expected;
    } cases[] = {
        {Tm(2026, 12, 8, 341, 2, 10, 34, 4), 8 * 3600, "Tue, 08 Dec 2026 10:34:04 +0800"},
        {Tm(2027, 1, 1, 0, 5, 0, 0, 0), 0, "Fri, 01 Jan 2027 00:00:00 +0000"},
        {Tm(2024, 2, 29, 59, 4, 23, 59, 59), -(3 * 3600 + 1800), "Thu, 29 Feb 2024 23:59:59 -0330"},
        {Tm(2026, 7, 15, 195, 3, 9, 5, 0), 5 * 3600 + 45 * 60, "Wed, 15 Jul 2026 09:05:00 +0545"},
    };
    for (const auto& c : cases) EXPECT_EQ(Rfc5322Date(c.Local, c.Offset), c.Expected);
}

TEST(HeaderText, UtcOffsetAcrossDaysAndYears) {
    struct Case {
        std::tm Local, Utc;
        long Expected;
    } cases[] = {
        {Tm(2026, 12, 8, 341, 2, 10, 34, 4), Tm(2026, 12, 8, 341, 2, 2, 34, 4), 8 * 3600},
        {Tm(2027, 1, 1, 0, 5, 7, 0, 0), Tm(2026, 12, 31, 364, 4, 23, 0, 0), 8 * 3600},
        {Tm(2026, 12, 31, 364, 4, 14, 0, 0), Tm(2027, 1, 1, 0, 5, 0, 0, 0), -10 * 3600},
        {Tm(2026, 7, 15, 195, 3, 0, 15, 0), Tm(2026, 7, 14, 194, 2, 18, 30, 0), 5 * 3600 + 45 * 60},
    };
    for (const auto& c : cases) EXPECT_EQ(UtcOffset(c.Local, c.Utc), c.Expected);
}

TEST(HeaderText, MessageIdTakesTheSendersDomainOrAFixedHost) {
    const std::pair<const char*, const char*> cases[] = {
        {"me@example.com", "<u.1@example.com>"},
        {"a@b@mail.example.org", "<u.1@mail.example.org>"},
        {"", "<u.1@localhost.localdomain>"},
        {"no-at-sign", "<u.1@localhost.localdomain>"},
        {"me@", "<u.1@localhost.localdomain>"},
        {"me@[127.0.0.1]", "<u.1@localhost.localdomain>"},
        {"me@exa mple.com", "<u.1@localhost.localdomain>"},
        {"me@.example.com", "<u.1@localhost.localdomain>"},
    };
    for (const auto& [from, id] : cases) EXPECT_EQ(MessageId("u.1", from), id) << from;
}

TEST(HeaderText, CharsetOfCodePageText) {
    EXPECT_EQ(CodePageCharset(""), "us-ascii");
    EXPECT_EQ(CodePageCharset("plain text\t~"), "us-ascii");
    EXPECT_EQ(CodePageCharset("a" + kFax + "b"), "GB2312");
    EXPECT_EQ(CodePageCharset(kFax + kGbkOnly), "GBK");     // trail byte below A1
    EXPECT_EQ(CodePageCharset("\x81\xA1" + kFax), "GBK");   // lead byte below A1
    EXPECT_EQ(CodePageCharset(kFax + "\xB4"), "GBK");       // a lead byte cut off
}

TEST(HeaderText, PlainAsciiStaysAsItIs) {
    const std::string longAscii(200, 'x');
    for (const std::string& text : {std::string("A fax"), std::string("=?not?B?decoded?= a: b"), longAscii})
        EXPECT_EQ(HeaderText(text, 9), text);
}

TEST(HeaderText, EightBitTextBecomesFoldedWordsOfWholeCharacters) {
    std::string text = "Morvane 2.0";
    for (int i = 0; i < 12; ++i) text += kFax + (i % 3 == 0 ? "x" : "") + (i % 5 == 0 ? kGbkOnly : "");
    for (std::size_t used : {9u, 40u, 60u}) {
        const std::string value = HeaderText(text, used);
        EXPECT_EQ(value.rfind("=?GBK?B?", 0), 0u) << value;
        const auto pieces = Pieces(value, used);
        EXPECT_GT(pieces.size(), 1u);
        EXPECT_EQ(Joined(pieces), text);
        for (const auto& p : pieces) EXPECT_TRUE(WholeCharacters(p)) << used;
    }
    EXPECT_EQ(HeaderText("Morvane 2.0\xD6\xD0\xCE\xC4\xB0\xE6\xBD\xA8\xD2\xE9", 9),
              "=?GB2312?B?TW9ydmFuZSAyLjDW0M7EsOa9qNLp?=");
}

TEST(HeaderText, DisplayNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "<a@b>"},
        {"Fax User", "Fax User<a@b>"},
        {"me@example.com", "\"me@example.com\"<a@b>"},
        {"J. Smith, Sales", "\"J. Smith, Sales\"<a@b>"},
        {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\"<a@b>"},
        {"\xD5\xC5\xC8\xFD", "=?GB2312?B?1cXI/Q==?= <a@b>"},  // 张三
    };
    for (const auto& [name, value] : cases) EXPECT_EQ(FromValue(name, "a@b"), value) << name;
    // A long name folds, and the address goes to a line of its own when it no longer fits.
    std::string name;
    for (int i = 0; i < 20; ++i) name += kFax;
    const std::string value = FromValue(name, "someone.with.a.long.address@example.com");
    EXPECT_EQ(Joined(Pieces(value, 6)), name);
    EXPECT_EQ(PhysicalLines(value).back(), " <someone.with.a.long.address@example.com>");
}

TEST(HeaderText, AttachmentNameParameters) {
    struct Case {
        std::string Name, Charset, Type, Disposition;
    } cases[] = {
        {"letter.doc", "us-ascii", "name=\"letter.doc\"", "filename=\"letter.doc\""},
        {"a b.pdf", "us-ascii", "name=\"a b.pdf\"", "filename=\"a b.pdf\""},
        // A quote stays inside one parameter: escaped in name=, and in
        // filename*= no quote character is left for a careless reader to meet.
        {"x\";y=\"z", "us-ascii", "name=\"x\\\";y=\\\"z\"", "filename*=us-ascii''x%22%3By%3D%22z"},
        {"a\\b", "us-ascii", "name=\"a\\\\b\"", "filename*=us-ascii''a%5Cb"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NameParameter(c.Name, c.Charset, 49), c.Type);
        EXPECT_EQ(FileNameParameter(c.Name, c.Charset, 20), c.Disposition);
    }
    EXPECT_TRUE(IsPlainName("a b.pdf"));
    EXPECT_FALSE(IsPlainName("a\"b"));
    EXPECT_FALSE(IsPlainName(kFax));

    // 传真.pdf: encoded words in name=, an extended filename*= (continued where the line is short).
    const std::string fax = kFax + ".pdf";
    EXPECT_EQ(NameParameter(fax, "GB2312", 20), "name=\"=?GB2312?B?tKvV5i5wZGY=?=\"");
    EXPECT_EQ(FileNameParameter(fax, "GB2312", 20), "filename*=GB2312''%B4%AB%D5%E6.pdf");
    std::string longName;
    for (int i = 0; i < 30; ++i) longName += kFax;
    longName += ".pdf";
    for (std::size_t used : {20u, 49u}) {
        const std::string type = NameParameter(longName, "GB2312", used);
        const std::string disposition = FileNameParameter(longName, "GB2312", used);
        EXPECT_EQ(type.back(), '"');
        EXPECT_EQ(Joined(Pieces(type, used)), longName);
        EXPECT_EQ(disposition.rfind("filename*0*=GB2312''", 0), 0u) << disposition;
        const auto sections = Pieces(disposition, used);
        EXPECT_EQ(Joined(sections), longName);
        for (const auto& s : sections) EXPECT_TRUE(WholeCharacters(s));
    }
}
