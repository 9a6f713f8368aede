// The locale's edge: file names, typed text and the terminal in each of the
// users' locales.
#include "platform/LocaleText.h"
#include "tests/support/ScopedLocale.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kFaxUtf8 = "\xE4\xBC\xA0\xE7\x9C\x9F";  // 传真
const std::string kFaxGbk = "\xB4\xAB\xD5\xE6";
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

TEST(LocaleText, FileNamesDecodeAsUtf8ElseTheLocaleElseWithOnlyTheBadBytesReplaced) {
    struct Case {
        const char* Locale;
        std::string Bytes;
        std::string Shown;
    };
    const Case cases[] = {
        {"C", "scan.tif", "scan.tif"},
        {"C", kFaxUtf8 + ".pdf", kFaxUtf8 + ".pdf"},
        {"zh_CN.GBK", kFaxUtf8 + ".pdf", kFaxUtf8 + ".pdf"},  // GBK would read it as other characters
        {"zh_CN.GBK", kFaxGbk + ".pdf", kFaxUtf8 + ".pdf"},
        {"zh_CN.UTF-8", kFaxGbk + ".pdf", kReplacement + kReplacement + kReplacement + kReplacement + ".pdf"},
        {"C", "caf\xE9.pdf", "caf" + kReplacement + ".pdf"},                     // Latin-1
        {"zh_CN.GBK", "caf\xE9.pdf", "caf" + kReplacement + ".pdf"},
        {"zh_CN.GBK", "\xE6\x96\x87\xE4\xBB\xB6.doc\xFE" "a", "\xE6\x96\x87\xE4\xBB\xB6.doc" + kReplacement + "a"},
        // GBK with one bad byte: the rest is still read as GBK.
        {"zh_CN.GBK", "\xCE\xC4\xBC\xFE.doc\xFE" "a", "\xE6\x96\x87\xE4\xBB\xB6.doc" + kReplacement + "a"},
        {"zh_CN.GBK", "C:\xCE\xC4\xBC\xFE.doc\xA1/\\y", "C:\xE6\x96\x87\xE4\xBB\xB6.doc" + kReplacement + "/\\y"},
    };
    for (const Case& c : cases) {
        testsupport::ScopedLocale locale(c.Locale);
        EXPECT_EQ(Win::FileNameText(rtl::TFilePath(c.Bytes)).Bytes(), c.Shown) << c.Locale << " " << c.Bytes;
    }
}

TEST(LocaleText, TypedTextAndTheTerminalInEachLocale) {
    struct Case {
        const char* Locale;
        std::string Typed;     // the locale's bytes
        std::string Utf8;      // what the program holds
        std::string Terminal;  // what the terminal is shown for it
    };
    const Case cases[] = {
        {"C", "abc", "abc", "abc"},
        {"C", kFaxUtf8, kFaxUtf8, kFaxUtf8},  // not "??": UTF-8 where ASCII cannot hold it
        {"zh_CN.UTF-8", kFaxUtf8, kFaxUtf8, kFaxUtf8},
        {"zh_CN.GBK", kFaxGbk, kFaxUtf8, kFaxGbk},
        {"zh_CN.GBK", "caf\xA8\xA6", "caf\xC3\xA9", "caf\xA8\xA6"},  // é
    };
    for (const Case& c : cases) {
        testsupport::ScopedLocale locale(c.Locale);
        EXPECT_EQ(Win::LocaleTextToUtf8(c.Typed).Bytes(), c.Utf8) << c.Locale;
        EXPECT_EQ(Win::Utf8ToTerminal(rtl::TUtf8Text(c.Utf8)), c.Terminal) << c.Locale;
    }
    testsupport::ScopedLocale gbk("zh_CN.GBK");
    const std::string snowman = "\xE2\x98\x83";  // no place in GBK: written as UTF-8, not "?"
    EXPECT_EQ(Win::Utf8ToTerminal(rtl::TUtf8Text(snowman)), snowman);
}
