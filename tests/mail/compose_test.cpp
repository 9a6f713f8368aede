#include "mail/Zelsmtp.h"
#include "rtl/SysUtils.h"
#include "tests/support/ScopedLocale.h"
#include "tests/support/TempFiles.h"

#include <gtest/gtest.h>

#include <clocale>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include <vector>

using mail::TZelSMTP;
using testsupport::TempFile;

namespace {

std::vector<std::string> Lines(const rtl::TStringList& list) { return {list.begin(), list.end()}; }

std::vector<std::string> SplitCrlf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    EXPECT_EQ(start, text.size()) << "text does not end with CR LF";
    return lines;
}

struct FixedClock : mail::TMessageClock {
    std::string Date() const override { return "Tue, 08 Dec 2026 10:34:04 +0800"; }
    std::string UniqueId() const override { return "fixed.1"; }
};

class Compose : public ::testing::Test {
protected:
    void SetUp() override { Client.Clock = &Clock; }
    FixedClock Clock;
    TZelSMTP Client{nullptr};
    mail::TPostMessage& M = Client.PostMessage();
};

}  // namespace

TEST_F(Compose, NoAttachmentsAndEmptyBody) {
    M.FromAddress = "me@example.com";
    Client.ComposeMessage();
    EXPECT_EQ(Lines(Client.FinalHeader), (std::vector<std::string>{
                                              "From: <me@example.com>",
                                              "Mime-Version: 1.0",
                                              "Content-Type: text/plain;                        charset=us-ascii",
                                          }));
    EXPECT_EQ(Client.MessageStream.Size(), 0);
}

TEST_F(Compose, HeaderLinesInOrderWithListsJoinedAndBlindCopiesHidden) {
    M.FromName = "Me";
    M.FromAddress = "me@example.com";
    M.ToAddress = rtl::TStringList{"a@x", "B <b@x>", ""};
    M.ToCarbonCopy.Add("c@x");
    M.ToBlindCarbonCopy.Add("hidden@x");
    M.Subject = "Hello: there";
    M.LocalProgram = "Mailer 1";
    M.ReplyTo = "r@x";
    M.Date = "Tue, 8 Dec 2026 10:00:00 +0800";
    Client.ComposeMessage();
    EXPECT_EQ(Lines(Client.FinalHeader), (std::vector<std::string>{
                                              "From: Me <me@example.com>",
                                              "To: a@x,B <b@x>,",
                                              "CC: c@x",
                                              "Subject: Hello: there",
                                              "X-Mailer: Mailer 1",
                                              "Reply-To: r@x",
                                              "Date: Tue, 8 Dec 2026 10:00:00 +0800",
                                              "Message-ID: <fixed.1@example.com>",
                                              "Mime-Version: 1.0",
                                              "Content-Type: text/plain;                        charset=us-ascii",
                                          }));
    // Blind copies only: a To that names no one.
    M.ToAddress.Clear();
    M.ToCarbonCopy.Clear();
    M.Subject.clear();
    Client.ComposeMessage();
    EXPECT_EQ(Lines(Client.FinalHeader), (std::vector<std::string>{
                                              "From: Me <me@example.com>",
                                              "To: undisclosed-recipients:;",
                                              "X-Mailer: Mailer 1",
                                              "Reply-To: r@x",
                                              "Date: Tue, 8 Dec 2026 10:00:00 +0800",
                                              "Message-ID: <fixed.1@example.com>",
                                              "Mime-Version: 1.0",
                                              "Content-Type: text/plain;                        charset=us-ascii",
                                          }));
}

TEST_F(Compose, BodyLinesAreDotStuffed) {
    M.FromAddress = "me@x";
    M.Body = rtl::TStringList{".", ".x", " .x", "", "plain", "two\r\n.lines\nin one"};
    Client.ComposeMessage();
    EXPECT_EQ(Client.MessageStream.ToString(), "..\r\n..x\r\n .x\r\n\r\nplain\r\ntwo\r\n..lines\r\nin one\r\n");
}

TEST_F(Compose, AttachmentsOfZeroAndAroundOneLine) {
    const TempFile empty("empty.bin", "");
    const TempFile f45("f45.bin", testsupport::RandomBytes(45, 1));
    const TempFile f46("f46.bin", testsupport::RandomBytes(46, 2));
    const TempFile f47("f47.bin", testsupport::RandomBytes(47, 3));
    M.FromAddress = "me@x";
    M.Attachments = rtl::TStringList{empty.Path(), f45.Path(), f46.Path(), f47.Path()};
    std::vector<std::string> started, ended;
    Client.OnEncodeStart = [&](const std::string& f) { started.push_back(f); };
    Client.OnEncodeEnd = [&](const std::string& f) { ended.push_back(f); };
    Client.ComposeMessage();

    const std::string b = Client.Boundary;
    ASSERT_EQ(b.rfind("====================54535", 0), 0u);
    ASSERT_EQ(b.substr(b.size() - 4), "====");
    EXPECT_EQ(Client.FinalHeader[Client.FinalHeader.Count() - 1],
              "Content-Type: multipart/mixed;                   boundary=\"" + b + "\"");
    EXPECT_EQ(started, (std::vector<std::string>{empty.Path(), f45.Path(), f46.Path(), f47.Path()}));
    EXPECT_EQ(ended, started);

    const auto lines = SplitCrlf(Client.MessageStream.ToString());
    auto partHeader = [&](const std::string& name) {
        return std::vector<std::string>{"--" + b,
                                        "Content-Type: application/octet-stream;          name=\"" + name + "\"",
                                        "Content-Transfer-Encoding: base64",
                                        "Content-Disposition: attachment;                 filename=\"" + name + "\"", ""};
    };
    std::vector<std::string> expected{"--" + b, "Content-Type: text/plain;                        charset=us-ascii", ""};
    for (const auto& [name, encoded] : std::vector<std::pair<std::string, std::vector<int>>>{
             {"empty.bin", {}}, {"f45.bin", {60}}, {"f46.bin", {60, 4}}, {"f47.bin", {60, 4}}}) {
        const auto header = partHeader(name);
        expected.insert(expected.end(), header.begin(), header.end());
        for (int len : encoded) expected.push_back(std::to_string(len));  // placeholder: compared by length below
    }
    expected.push_back("--" + b + "--");
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool isLength = !expected[i].empty() && std::isdigit(static_cast<unsigned char>(expected[i][0]));
        if (isLength)
            EXPECT_EQ(lines[i].size(), std::stoul(expected[i])) << "line " << i;
        else
            EXPECT_EQ(lines[i], expected[i]) << "line " << i;
    }
    // 46 bytes end in one byte and two fillers, 47 in two bytes and one.
    EXPECT_EQ(lines[lines.size() - 9].substr(2), "==");
    EXPECT_NE(lines[lines.size() - 2].substr(2, 1), "=");
    EXPECT_EQ(lines[lines.size() - 2].substr(3), "=");
}

TEST_F(Compose, AttachmentsWithAnEmptyBodyFollowTheTextPartAtOnce) {
    const TempFile f("a.txt", "abc");
    M.FromAddress = "me@x";
    M.Attachments.Add(f.Path());
    Client.ComposeMessage();
    const auto lines = SplitCrlf(Client.MessageStream.ToString());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "--" + Client.Boundary);
    EXPECT_EQ(lines[8], "YWJj");
}

TEST_F(Compose, MessagesComposedInOneSecondShareTheBoundary) {
    const TempFile f("a.txt", "abc");
    M.FromAddress = "me@x";
    M.Attachments.Add(f.Path());
    const auto now = [] {  // the time of day with ASCII digits, whatever the locale
        const std::time_t t = std::time(nullptr);
        std::tm local{};
        localtime_r(&t, &local);
        return mail::TimeOfDay(local);
    };
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string before = now();
        Client.ComposeMessage();
        const std::string first = Client.Boundary;
        Client.ComposeMessage();
        if (now() != before) continue;  // a second ended in between: try again
        EXPECT_EQ(Client.Boundary, first);
        EXPECT_EQ(first, "====================54535" + before + "====");
        return;
    }
    FAIL() << "could not compose twice within one second";
}

TEST_F(Compose, AMissingAttachmentFiresItsEventAndRaisesTheFileError) {
    const TempFile present("here.doc", "x");
    M.FromAddress = "me@x";
    M.Attachments = rtl::TStringList{present.Path(), "/no/such/dir/letter.doc"};
    std::string notFound;
    Client.OnAttachmentNotFound = [&](const std::string& f) { notFound = f; };
    try {
        Client.ComposeMessage();
        FAIL() << "composed a message with a missing file";
    } catch (const rtl::EFOpenError& e) {
        EXPECT_EQ(e.Message, "Cannot open file /no/such/dir/letter.doc");
    }
    EXPECT_EQ(notFound, "/no/such/dir/letter.doc");
}

TEST_F(Compose, UuencodedPartsAreLabelledAndStuffed) {
    const TempFile f("fourteen.bin", "fourteen bytes");  // 14 bytes: the length character is "."
    M.FromAddress = "me@x";
    M.Attachments.Add(f.Path());
    Client.EncodeType = codec::uuCode;
    Client.ComposeMessage();
    const auto lines = SplitCrlf(Client.MessageStream.ToString());
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[5], "Content-Transfer-Encoding: x-uuencode");
    EXPECT_EQ(lines[8].substr(0, 2), "..");
    EXPECT_EQ(lines[8].size(), 1u + 1u + 19u);  // stuffing dot, length character, 14 bytes as 19 characters
    EXPECT_EQ(lines[9], "`");
}

TEST_F(Compose, EightBitTextIsEncodedAndNamesAreConvertedFromTheFileSystem) {
    // Names on the disk are UTF-8; 传真 becomes GB2312, a snowman has no place there and stays UTF-8.
    const TempFile fax("\xE4\xBC\xA0\xE7\x9C\x9F.pdf", "abc");
    const TempFile snowman("\xE2\x98\x83.pdf", "def");
    M.FromName = "\xD5\xC5\xC8\xFD";  // 张三
    M.FromAddress = "me@example.com";
    M.Subject = "Morvane 2.0\xD6\xD0\xCE\xC4\xB0\xE6\xBD\xA8\xD2\xE9";
    M.Body.Add("\xC4\xFA\xBA\xC3");  // 您好
    Client.ComposeMessage();
    EXPECT_EQ(Lines(Client.FinalHeader), (std::vector<std::string>{
                                              "From: =?GB2312?B?1cXI/Q==?= <me@example.com>",
                                              "Subject: =?GB2312?B?TW9ydmFuZSAyLjDW0M7EsOa9qNLp?=",
                                              "Mime-Version: 1.0",
                                              "Content-Type: text/plain;                        charset=GB2312",
                                          }));

    M.Attachments = rtl::TStringList{fax.Path(), snowman.Path()};
    Client.ComposeMessage();
    const auto lines = SplitCrlf(Client.MessageStream.ToString());
    const std::string b = "--" + Client.Boundary;
    EXPECT_EQ(lines, (std::vector<std::string>{
                         b, "Content-Type: text/plain;                        charset=GB2312", "", "\xC4\xFA\xBA\xC3",
                         b,
                         "Content-Type: application/pdf;                   name=\"=?GB2312?B?tKs=?=",
                         " =?GB2312?B?1eYucGRm?=\"",
                         "Content-Transfer-Encoding: base64",
                         "Content-Disposition: attachment;                 filename*0*=GB2312''%B4%AB;",
                         " filename*1*=%D5%E6.pdf",
                         "", "YWJj",
                         b,
                         "Content-Type: application/pdf;                   name=\"=?UTF-8?B?4piDLnBk?=",
                         " =?UTF-8?B?Zg==?=\"",
                         "Content-Transfer-Encoding: base64",
                         "Content-Disposition: attachment;                 filename*0*=UTF-8''%E2%98%83;",
                         " filename*1*=.pdf",
                         "", "ZGVm",
                         b + "--"}));
}

// The database reads the content, the name fills in; a type too long for
// the parameter column puts the name on a folded line.
TEST_F(Compose, PartsDeclareTheTypeOfTheirContent) {
    const TempFile tiff("page.bin", std::string("II*\0\x08\0\0\0", 8) + std::string(40, '\0'));
    const TempFile docx("letter.docx", "PK\x03\x04");
    M.FromAddress = "me@x";
    M.Attachments = rtl::TStringList{tiff.Path(), docx.Path()};
    Client.ComposeMessage();
    const auto lines = SplitCrlf(Client.MessageStream.ToString());
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[4], "Content-Type: image/tiff;                        name=\"page.bin\"");
    EXPECT_EQ(lines[11], "Content-Type: application/vnd.openxmlformats-officedocument.wordprocessingml.document;");
    EXPECT_EQ(lines[12], " name=\"letter.docx\"");
    EXPECT_EQ(lines[13], "Content-Transfer-Encoding: base64");
}

TEST_F(Compose, SubTypeChangesNothing) {
    M.FromAddress = "me@x";
    M.Body.Add("text");
    Client.ComposeMessage();
    const auto header = Lines(Client.FinalHeader);
    const auto text = Client.MessageStream.ToString();
    Client.SubType = mail::mtHtml;
    Client.ComposeMessage();
    EXPECT_EQ(Lines(Client.FinalHeader), header);
    EXPECT_EQ(Client.MessageStream.ToString(), text);
}

TEST(AttachmentName, TextAfterTheLastSlashBackslashOrColon) {
    EXPECT_EQ(TZelSMTP::AttachmentName("/home/me/docs/letter.doc"), "letter.doc");
    EXPECT_EQ(TZelSMTP::AttachmentName("C:\\My Documents\\faxes\\page1.tif"), "page1.tif");
    EXPECT_EQ(TZelSMTP::AttachmentName("D:letter.doc"), "letter.doc");
    EXPECT_EQ(TZelSMTP::AttachmentName("letter.doc"), "letter.doc");
    EXPECT_EQ(TZelSMTP::AttachmentName("dir/"), "");
}

TEST(AttachmentName, ATrailByteThatLooksLikeABackslashIsNoSeparatorInAGbkLocale) {
    const std::string folder = ::testing::TempDir() + "gbk-locale";
    const std::string make = "localedef -i zh_CN -f GBK " + folder + "/zh_CN.GBK >/dev/null 2>&1";
    if (std::system(("mkdir -p " + folder).c_str()) != 0 || std::system(make.c_str()) != 0)
        GTEST_SKIP() << "cannot build a GBK locale here";
    const char* oldPath = std::getenv("LOCPATH");
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    ::setenv("LOCPATH", folder.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_CTYPE, "zh_CN.GBK"), nullptr);
    // "乗" is 81 5C in GBK: its second byte has the value of a backslash.
    const std::string name = TZelSMTP::AttachmentName("C:\\docs\\\x81\x5C.doc");
    std::setlocale(LC_CTYPE, saved.c_str());
    if (oldPath != nullptr)
        ::setenv("LOCPATH", oldPath, 1);
    else
        ::unsetenv("LOCPATH");
    EXPECT_EQ(name, "\x81\x5C.doc");
    // In a UTF-8 locale the same bytes are no character, and the backslash splits.
    const testsupport::ScopedLocale utf8("zh_CN.UTF-8");
    EXPECT_EQ(TZelSMTP::AttachmentName("C:\\docs\\\x81\x5C.doc"), ".doc");
}

// Two attachments that each fit the 32-bit byte counters but not together
// are refused before either is read, with both sizes. The files are sparse.
TEST_F(Compose, AttachmentsBeyondTheByteCountersAreRefusedBeforeAnyIsRead) {
    const TempFile first("first.bin", ""), second("second.bin", "");
    ASSERT_EQ(::truncate(first.Path().c_str(), 800 << 20) | ::truncate(second.Path().c_str(), 800 << 20), 0);
    M.Attachments = rtl::TStringList{first.Path(), second.Path()};
    Client.OnEncodeStart = [](const std::string& f) { ADD_FAILURE() << "read " << f; };
    const std::int64_t encoded = 2 * std::int64_t{(800 << 20) / 45 * 62 + 10};  // 45 bytes a line of 62
    try {
        Client.ComposeMessage();
        ADD_FAILURE() << "composed";
    } catch (const rtl::Exception& e) {
        const std::int64_t size = std::stoll(e.Message.substr(e.Message.find_first_of("0123456789")));
        EXPECT_GT(size - encoded, 0);
        EXPECT_LT(size - encoded, 1000);  // the part headers
        EXPECT_EQ(e.Message, rtl::FormatMessage(rtl::FormatMessage(mail::kMsgTooLarge, rtl::IntToStr(size)), "2147483647"));
        EXPECT_EQ(e.Kind, rtl::TErrorKind::TooLarge);
    }
}

TEST(ExtractAddress, TheThreeEntryShapes) {
    EXPECT_EQ(TZelSMTP::ExtractAddress("Fax Gateway <gw@example.com>"), "gw@example.com");
    EXPECT_EQ(TZelSMTP::ExtractAddress("gw@example.com"), "gw@example.com");
    EXPECT_EQ(TZelSMTP::ExtractAddress("fax:gw@example.com"), "gw@example.com");
    EXPECT_EQ(TZelSMTP::ExtractAddress("fax: gw@example.com"), " gw@example.com");
    EXPECT_EQ(TZelSMTP::ExtractAddress("<>"), "");
    EXPECT_EQ(TZelSMTP::ExtractAddress("Name <box"), "box");
}
