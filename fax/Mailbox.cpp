#include "fax/Mailbox.h"

#include <string_view>
#include <vector>

namespace fax {
namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetDig(char c) { return IsAlpha(c) || IsDigit(c); }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsAtext(char c) { return IsLetDig(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos; }

std::vector<std::string_view> Split(std::string_view text, char at) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(at, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool IsDotString(std::string_view text) {
    for (const std::string_view atom : Split(text, '.')) {
        if (atom.empty()) return false;
        for (const char c : atom)
            if (!IsAtext(c)) return false;
    }
    return true;
}

// DQUOTE *(qtextSMTP / "\" %d32-126) DQUOTE
bool IsQuotedString(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const char c = text[i];
        if (c < 32 || c > 126) return false;
        if (c == '"') return false;
        if (c == '\\') {
            if (i + 2 >= text.size()) return false;  // the escape would take the closing quote
            const char escaped = text[++i];
            if (escaped < 32 || escaped > 126) return false;
        }
    }
    return true;
}

// Let-dig [*(ALPHA / DIGIT / "-") Let-dig]
bool IsLdhLabel(std::string_view label) {
    if (label.empty() || !IsLetDig(label.front()) || !IsLetDig(label.back())) return false;
    for (const char c : label)
        if (!IsLetDig(c) && c != '-') return false;
    return true;
}

bool IsDomain(std::string_view text) {
    for (const std::string_view label : Split(text, '.'))
        if (label.size() > 63 || !IsLdhLabel(label)) return false;
    return true;
}

bool IsIpv4(std::string_view text) {
    const auto parts = Split(text, '.');
    if (parts.size() != 4) return false;
    for (const std::string_view part : parts) {
        if (part.empty() || part.size() > 3) return false;
        int value = 0;
        for (const char c : part) {
            if (!IsDigit(c)) return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return false;
    }
    return true;
}

// Groups of one to four hex digits; a final IPv4 address counts as two.
// Without "::" eight in all, with one "::" at most six besides it.
bool IsIpv6(std::string_view text) {
    const std::size_t gap = text.find("::");
    if (gap != std::string_view::npos && text.find("::", gap + 1) != std::string_view::npos) return false;
    const auto groups = [](std::string_view part, bool ipv4Allowed, int& count) {
        if (part.empty()) return true;
        const auto pieces = Split(part, ':');
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const std::string_view piece = pieces[i];
            if (ipv4Allowed && i + 1 == pieces.size() && piece.find('.') != std::string_view::npos) {
                if (!IsIpv4(piece)) return false;
                count += 2;
                continue;
            }
            if (piece.empty() || piece.size() > 4) return false;
            for (const char c : piece)
                if (!IsHex(c)) return false;
            ++count;
        }
        return true;
    };
    int count = 0;
    if (gap == std::string_view::npos) return groups(text, true, count) && count == 8;
    return groups(text.substr(0, gap), false, count) && groups(text.substr(gap + 2), true, count) && count <= 6;
}

// "[" (IPv4 / "IPv6:" IPv6 / Ldh-str ":" 1*dcontent) "]"; the content of a
// general literal may not hold the quote or angle brackets, which servers
// read as the end of the path whatever the brackets.
bool IsAddressLiteral(std::string_view text) {
    if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
    const std::string_view inner = text.substr(1, text.size() - 2);
    const std::size_t colon = inner.find(':');
    if (colon == std::string_view::npos) return IsIpv4(inner);
    const std::string_view tag = inner.substr(0, colon);
    const std::string_view content = inner.substr(colon + 1);
    if (tag == "IPv6") return IsIpv6(content);
    if (!IsLdhLabel(tag) || content.empty()) return false;
    for (const char c : content)
        if (c < 33 || c > 126 || std::string_view("[\\]<>\"").find(c) != std::string_view::npos) return false;
    return true;
}

}  // namespace

bool IsSmtpMailbox(const std::string& Text) {
    // The local part may be quoted and hold "@": the domain follows the last one.
    const std::size_t at = Text.rfind('@');
    if (at == std::string::npos || at == 0) return false;
    const std::string_view local = std::string_view(Text).substr(0, at);
    const std::string_view domain = std::string_view(Text).substr(at + 1);
    if (local.size() > 64 || domain.size() > 255) return false;
    if (!IsDotString(local) && !IsQuotedString(local)) return false;
    return IsDomain(domain) || IsAddressLiteral(domain);
}

}  // namespace fax
