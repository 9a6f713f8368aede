#include "platform/LocaleText.h"

#include "platform/CodePage.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <iconv.h>
#include <langinfo.h>

namespace Win {
namespace {

constexpr char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

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

std::size_t Replacements(const std::string& utf8) {
    std::size_t n = 0;
    for (std::size_t at = utf8.find(kReplacement); at != std::string::npos; at = utf8.find(kReplacement, at + 1)) ++n;
    return n;
}

// The bytes read in a character set (to UTF-8), each byte it cannot read
// replaced by U+FFFD and the reading taken up again after it; false when the
// set is unknown. Lost counts the bytes replaced.
bool ConvertReplacing(const std::string& charset, const std::string& bytes, std::string& out, std::size_t& lost) {
    const iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.clear();
    lost = 0;
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    std::string buffer(bytes.size() * 4 + 8, '\0');
    while (inLeft > 0) {
        char* dst = buffer.data();
        std::size_t outLeft = buffer.size();
        const bool done = iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1);
        out.append(buffer.data(), static_cast<std::size_t>(dst - buffer.data()));
        if (done) break;
        // EILSEQ, or EINVAL for a lead byte at the end: that byte alone is lost.
        out += kReplacement;
        ++lost;
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return true;
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
    if (IsUtf8Charset(charset) || IsAsciiCharset(charset)) return rtl::TUtf8Text(std::move(text));
    if (ConvertExactly("UTF-8", charset.c_str(), Name.Bytes(), decoded)) return rtl::TUtf8Text(std::move(decoded));
    // Whole in neither: the reading that loses fewer bytes, UTF-8 on a tie,
    // so one bad byte does not cost a GBK name its other characters.
    std::size_t lost = 0;
    if (ConvertReplacing(charset, Name.Bytes(), decoded, lost) && lost < Replacements(text) - Replacements(Name.Bytes()))
        return rtl::TUtf8Text(std::move(decoded));
    return rtl::TUtf8Text(std::move(text));
}

}  // namespace Win
