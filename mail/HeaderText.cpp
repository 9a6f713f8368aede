#include "mail/HeaderText.h"

#include "codec/ZelUUE.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

namespace mail {
namespace {

constexpr char kFold[] = "\r\n ";
constexpr char kFallbackHost[] = "localhost.localdomain";

bool IsAtext(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    for (const char* p = "!#$%&'*+-/=?^_`{|}~"; *p; ++p)
        if (c == static_cast<unsigned char>(*p)) return true;
    return false;
}

bool HasEightBit(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return true;
    return false;
}

bool IsPrintableAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

// Bytes of the character that starts at i, so that no encoded word or
// parameter section splits one (a decoder takes each on its own).
std::size_t CharLength(const std::string& text, std::size_t i, const std::string& charset) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = 1;
    if (charset == "UTF-8") {
        if (c >= 0xF0) n = 4;
        else if (c >= 0xE0) n = 3;
        else if (c >= 0xC0) n = 2;
    } else if (charset == "GB2312" || charset == "GBK") {
        if (c >= 0x81 && c <= 0xFE) n = 2;
    }
    return std::min(n, text.size() - i);
}

std::size_t Base64Length(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

// Text as B-encoded words, the first after Used characters of its line and
// each further one on a folded line of its own, every line within Limit. A
// line too short for one character takes one all the same.
std::string EncodedWords(const std::string& text, const std::string& charset, std::size_t used, std::size_t limit) {
    const std::string open = "=?" + charset + "?B?";
    const std::size_t overhead = open.size() + 2;
    std::string out;
    for (std::size_t pos = 0; pos < text.size();) {
        if (pos > 0) {
            out += kFold;
            used = 1;
        }
        const std::size_t room = limit > used + overhead ? limit - used - overhead : 0;
        std::size_t end = pos + CharLength(text, pos, charset);
        while (end < text.size()) {
            const std::size_t next = end + CharLength(text, end, charset);
            if (Base64Length(next - pos) > room) break;
            end = next;
        }
        out += open + codec::Base64(text.substr(pos, end - pos)) + "?=";
        pos = end;
    }
    return out;
}

// A quoted string: the text with its quotes and backslashes escaped.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

std::size_t LastLineLength(const std::string& text) {
    const auto fold = text.rfind("\r\n");
    return fold == std::string::npos ? text.size() : text.size() - fold - 2;
}

// RFC 2231 value characters: what needs no escape in any reader.
std::string PercentEncoded(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

bool IsDotAtom(const std::string& text) {
    if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string::npos) return false;
    for (unsigned char c : text)
        if (c != '.' && !IsAtext(c)) return false;
    return true;
}

}  // namespace

std::time_t TMessageClock::Now() const { return std::time(nullptr); }

std::string TMessageClock::Date() const {
    const std::time_t now = Now();
    std::tm local{}, utc{};
    localtime_r(&now, &local);
    gmtime_r(&now, &utc);
    return Rfc5322Date(local, UtcOffset(local, utc));
}

std::string TMessageClock::UniqueId() const {
    static std::mutex lock;
    static std::mt19937_64 random{(std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()};
    static std::uint64_t counter = 0;
    const std::lock_guard<std::mutex> hold(lock);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    char text[80];
    std::snprintf(text, sizeof text, "%lld.%llu.%016llx", static_cast<long long>(seconds),
                  static_cast<unsigned long long>(++counter), static_cast<unsigned long long>(random()));
    return text;
}

const TMessageClock& SystemClock() {
    static const TMessageClock clock;
    return clock;
}

std::string Rfc5322Date(const std::tm& Local, long UtcOffsetSeconds) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long minutes = (UtcOffsetSeconds < 0 ? -UtcOffsetSeconds : UtcOffsetSeconds) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[Local.tm_wday % 7],
                  Local.tm_mday, kMonths[Local.tm_mon % 12], Local.tm_year + 1900, Local.tm_hour, Local.tm_min,
                  Local.tm_sec, UtcOffsetSeconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string TimeOfDay(const std::tm& Local) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", Local.tm_hour % 100, Local.tm_min % 100, Local.tm_sec % 100);
    return text;
}

long UtcOffset(const std::tm& Local, const std::tm& Utc) {
    // The two readings are at most a day apart, across a year's end too.
    const long days = Local.tm_year != Utc.tm_year ? (Local.tm_year > Utc.tm_year ? 1 : -1) : Local.tm_yday - Utc.tm_yday;
    return ((days * 24 + Local.tm_hour - Utc.tm_hour) * 60 + Local.tm_min - Utc.tm_min) * 60 + Local.tm_sec - Utc.tm_sec;
}

std::string MessageId(const std::string& Unique, const std::string& FromAddress) {
    const auto at = FromAddress.rfind('@');
    std::string domain = at == std::string::npos ? std::string() : FromAddress.substr(at + 1);
    if (!IsDotAtom(domain)) domain = kFallbackHost;
    return "<" + Unique + "@" + domain + ">";
}

std::string CodePageCharset(const std::string& Text) {
    bool eightBit = false;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(Text[i]);
        if (lead < 0x80) continue;
        eightBit = true;
        const auto trail = i + 1 < Text.size() ? static_cast<unsigned char>(Text[i + 1]) : 0u;
        if (lead < 0xA1 || lead > 0xF7 || trail < 0xA1 || trail > 0xFE) return "GBK";
        ++i;
    }
    return eightBit ? "GB2312" : "us-ascii";
}

std::string HeaderText(const std::string& Text, std::size_t Used) {
    if (!HasEightBit(Text)) return Text;
    return EncodedWords(Text, CodePageCharset(Text), Used, kEncodedLineLimit);
}

std::string FromValue(const std::string& Name, const std::string& Address) {
    const std::string angle = "<" + Address + ">";
    if (Name.empty()) return angle;
    if (HasEightBit(Name)) {
        const std::string words = EncodedWords(Name, CodePageCharset(Name), 6, kEncodedLineLimit);
        const bool fits = LastLineLength(words) + 1 + angle.size() <= kEncodedLineLimit;
        return words + (fits ? " " : kFold) + angle;
    }
    bool atoms = false, plain = true;
    for (unsigned char c : Name) {
        atoms = atoms || IsAtext(c);
        plain = plain && (IsAtext(c) || c == ' ' || c == '\t');
    }
    return (atoms && plain ? Name : Quoted(Name)) + " " + angle;
}

bool LooksEncoded(const std::string& Name) { return Name.find("=?") != std::string::npos; }

bool IsPlainName(const std::string& Name) {
    return IsPrintableAscii(Name) && Name.find_first_of("\"\\") == std::string::npos && !LooksEncoded(Name);
}

std::string NameParameter(const std::string& Name, const std::string& Charset, std::size_t Used) {
    if (IsPrintableAscii(Name) && !LooksEncoded(Name)) return "name=" + Quoted(Name);
    // One more character on each line is the closing quote's.
    return "name=\"" + EncodedWords(Name, Charset, Used + 6, kEncodedLineLimit - 1) + "\"";
}

std::string FileNameParameter(const std::string& Name, const std::string& Charset, std::size_t Used) {
    if (IsPlainName(Name)) return "filename=" + Quoted(Name);
    const std::string& charset = Charset;
    const std::string whole = "filename*=" + charset + "''" + PercentEncoded(Name);
    if (Used + whole.size() <= kEncodedLineLimit) return whole;
    // Sections of whole characters, each on its own line with its ";".
    std::string out;
    std::size_t used = Used;
    for (std::size_t pos = 0, section = 0; pos < Name.size(); ++section) {
        std::string head = "filename*" + std::to_string(section) + "*=";
        if (section == 0) {
            head += charset + "''";
        } else {
            out += ";";
            out += kFold;
            used = 1;
        }
        std::size_t end = pos + CharLength(Name, pos, charset);
        std::string value = PercentEncoded(Name.substr(pos, end - pos));
        while (end < Name.size()) {
            const std::size_t next = end + CharLength(Name, end, charset);
            const std::string more = PercentEncoded(Name.substr(end, next - end));
            if (used + head.size() + value.size() + more.size() + 1 > kEncodedLineLimit) break;
            value += more;
            end = next;
        }
        out += head + value;
        pos = end;
    }
    return out;
}

}  // namespace mail
