#include "platform/LocaleText.h"

#include "platform/CodePage.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <langinfo.h>

namespace Win {
namespace {

bool IsAscii(const std::string& bytes) {
    for (const unsigned char c : bytes)
        if (c >= 0x80) return false;
    return true;
}

// UTF-8 is the only set here whose name differs in spelling only.
bool IsUtf8Charset(const std::string& charset) {
    std::string lower;
    for (const char c : charset)
        if (c != '-' && c != '_') lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "utf8";
}

bool IsAsciiCharset(const std::string& charset) { return charset == "ANSI_X3.4-1968" || charset.empty(); }

// The bytes as UTF-8, each malformed sequence replaced; Valid says whether there was none.
std::string RepairedUtf8(const std::string& bytes, bool& valid) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = decoder(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    valid = !decoder.hasError();
    return valid ? bytes : text.toStdString();
}

}  // namespace

std::string LocaleCharset() {
    const char* charset = nl_langinfo(CODESET);
    return charset != nullptr ? charset : "";
}

rtl::TUtf8Text LocaleTextToUtf8(const std::string& Bytes) {
    const std::string charset = LocaleCharset();
    std::string utf8;
    if (!IsAscii(Bytes) && !IsUtf8Charset(charset) && !IsAsciiCharset(charset) &&
        ConvertExactly("UTF-8", charset.c_str(), Bytes, utf8))
        return rtl::TUtf8Text(utf8);
    bool valid = false;
    return rtl::TUtf8Text(RepairedUtf8(Bytes, valid));
}

std::string Utf8ToTerminal(const rtl::TUtf8Text& Text) {
    const std::string charset = LocaleCharset();
    std::string out;
    if (IsUtf8Charset(charset) || IsAscii(Text.Bytes()) || !ConvertExactly(charset.c_str(), "UTF-8", Text.Bytes(), out))
        return Text.Bytes();
    return out;
}

rtl::TUtf8Text FileNameText(const rtl::TFilePath& Name) {
    bool valid = false;
    std::string text = RepairedUtf8(Name.Bytes(), valid);
    if (valid) return rtl::TUtf8Text(std::move(text));
    std::string decoded;
    const std::string charset = LocaleCharset();
    if (!IsUtf8Charset(charset) && !IsAsciiCharset(charset) && ConvertExactly("UTF-8", charset.c_str(), Name.Bytes(), decoded))
        return rtl::TUtf8Text(std::move(decoded));
    return rtl::TUtf8Text(std::move(text));
}

}  // namespace Win
