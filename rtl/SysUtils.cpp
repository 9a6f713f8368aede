#include "rtl/SysUtils.h"

#include <cctype>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <langinfo.h>
#include <sys/stat.h>

namespace rtl {

void Abort() { throw EAbort(); }

std::string FormatMessage(const std::string& pattern, const std::string& arg) {
    const auto at = pattern.find("%s");
    if (at == std::string::npos) return pattern;
    return pattern.substr(0, at) + arg + pattern.substr(at + 2);
}

std::string QuotedHead(const std::string& text) {
    constexpr std::size_t kHead = 32;
    if (text.size() <= kHead) return text;
    // Strings below the windows are GB2312: a lead byte takes its trail byte along.
    std::size_t end = 0;
    while (end < kHead) end += static_cast<unsigned char>(text[end]) >= 0x81 && end + 1 < text.size() ? 2 : 1;
    return text.substr(0, end) + "\xa1\xad";  // "…"
}

bool TryStrToInt(const std::string& text, std::int32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > std::int64_t{2147483648}) return false;
    }
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (!std::in_range<std::int32_t>(signedValue)) return false;
    value = static_cast<std::int32_t>(signedValue);
    return true;
}

std::int32_t StrToInt(const std::string& text) {
    std::int32_t value = 0;
    if (!TryStrToInt(text, value)) throw EConvertError(FormatMessage("'%s' is not a valid integer value", QuotedHead(text)));
    return value;
}

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::int64_t RegularFileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return info.st_size;
}

bool PathExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string FormatLongTime(const std::tm& local) {
    const char* format = nl_langinfo(T_FMT);
    if (format == nullptr || *format == '\0') format = "%H:%M:%S";
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

std::string LongTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return FormatLongTime(local);
}

int CharLengthAt(const std::string& text, std::size_t pos) {
    if (pos >= text.size()) return 0;
    if (static_cast<unsigned char>(text[pos]) < 0x80) return 1;
    std::mbstate_t state{};
    const std::size_t n = std::mbrlen(text.data() + pos, text.size() - pos, &state);
    return n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2) || n == 0 ? 1 : static_cast<int>(n);
}

std::string UpperCase(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string LowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool SameText(const std::string& a, const std::string& b) { return a.size() == b.size() && LowerCase(a) == LowerCase(b); }

int AnsiCompareText(const std::string& a, const std::string& b) {
    // Fold ASCII letters only: in a double-byte code page the trail bytes of
    // a character must not be case-folded.
    auto fold = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    const std::string fa = fold(a), fb = fold(b);
    const int r = std::strcoll(fa.c_str(), fb.c_str());
    if (r != 0) return r < 0 ? -1 : 1;
    // strcoll stops at an embedded NUL; fall back to byte order.
    const int s = fa.compare(fb);
    return s < 0 ? -1 : (s > 0 ? 1 : 0);
}

}  // namespace rtl
