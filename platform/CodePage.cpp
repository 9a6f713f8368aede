#include "platform/CodePage.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <string_view>
#include <strings.h>
#include <utility>

namespace Win {
namespace {

std::string Convert(const char* to, const char* from, const std::string& text) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out;
    out.resize(text.size() * 4 + 8);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* dst = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            const std::size_t used = static_cast<std::size_t>(dst - out.data());
            out.resize(out.size() * 2);
            dst = out.data() + used;
            outLeft = out.size() - used;
            continue;
        }
        // An unmappable or malformed sequence: skip one byte, mark it, go on.
        ++in;
        --inLeft;
        if (outLeft == 0) continue;
        *dst++ = '?';
        --outLeft;
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
    iconv_close(cd);
    return out;
}

}  // namespace

// Four bytes out for every byte in is room enough for any of the sets used here.
bool ConvertExactly(const char* to, const char* from, const std::string& text, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string result(text.size() * 4 + 8, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* dst = result.data();
    std::size_t outLeft = result.size();
    const bool exact = iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1) && inLeft == 0 &&
                       iconv(cd, nullptr, nullptr, &dst, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!exact) return false;
    result.resize(static_cast<std::size_t>(dst - result.data()));
    out = std::move(result);
    return true;
}

bool Utf8ToGbExactly(const rtl::TUtf8Text& Utf8, rtl::TGbText& Gb) {
    std::string bytes;
    if (!ConvertExactly("CP936", "UTF-8", Utf8.Bytes(), bytes)) return false;
    Gb = rtl::TGbText(std::move(bytes));
    return true;
}

rtl::TUtf8Text GbToUtf8(const rtl::TGbText& Gb) { return rtl::TUtf8Text(Gb2312ToUtf8(Gb.Bytes())); }

bool Utf8ToGb2312Exact(const std::string& utf8, std::string& gb) { return ConvertExactly("CP936", "UTF-8", utf8, gb); }

std::string Gb2312ToUtf8(const std::string& gb) { return Convert("UTF-8//TRANSLIT", "CP936", gb); }
std::string Utf8ToGb2312(const std::string& utf8) { return Convert("CP936//TRANSLIT", "UTF-8", utf8); }

bool IsGb2312LeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

bool IsDBCSLeadByte(unsigned char byte) {
    const std::string_view codeset = nl_langinfo(CODESET);
    auto is = [&](std::string_view name) { return strcasecmp(std::string(codeset).c_str(), std::string(name).c_str()) == 0; };
    if (is("GBK") || is("GB2312") || is("GB18030") || is("CP936") || is("BIG5") || is("BIG5-HKSCS") || is("EUC-CN"))
        return IsGb2312LeadByte(byte);
    if (is("SJIS") || is("SHIFT_JIS") || is("CP932")) return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    return false;
}

}  // namespace Win
