#include "fax/FaxNumber.h"

#include "rtl/SysUtils.h"

#include <string_view>

namespace fax {

namespace {

FaxParseResult Failed(const char* message) {
    FaxParseResult result;
    result.Failure = message;
    return result;
}

std::string Normalised(const std::string& digits) { return rtl::IntToStr(rtl::StrToInt(digits)); }

bool IsAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Dot-separated parts, none empty, each character accepted by the test.
template <typename Fn>
bool DotSeparated(const std::string& text, Fn&& accepts) {
    if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string::npos) return false;
    for (char c : text)
        if (c != '.' && !accepts(c)) return false;
    return true;
}

// The mailbox forms a gateway really has: a dot-atom local part and a host
// name with at least one dot. Quoted local parts and address literals are
// left out on purpose.
bool IsMailbox(const std::string& address) {
    const std::size_t at = address.find('@');
    if (at == std::string::npos || address.find('@', at + 1) != std::string::npos) return false;
    const std::string local = address.substr(0, at);
    const std::string domain = address.substr(at + 1);
    const auto atext = [](char c) { return IsAlnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos; };
    const auto label = [](char c) { return IsAlnum(c) || c == '-' || c == '_'; };
    return DotSeparated(local, atext) && DotSeparated(domain, label) && domain.find('.') != std::string::npos;
}

bool IsLabelText(const std::string& text) {
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-')) return false;
    return true;
}

}  // namespace

FaxParseResult ParseFaxNumber(const std::string& text) {
    if (text.empty()) return Failed(kMsgEmptyNumber);

    // Zero-based index of the first hyphen; a country part may hold at most
    // five characters, leading zeros included, so index 6 (the seventh
    // character) and beyond is refused before "no hyphen" is considered.
    const std::size_t p1 = text.find('-');
    if (p1 != std::string::npos && p1 >= 6) return Failed(kMsgNoHyphenBeforeArea);
    if (p1 == std::string::npos) return Failed(kMsgNoHyphen);

    const std::string country = text.substr(0, p1);
    const std::string rest = text.substr(p1 + 1);
    const std::size_t p2 = rest.find('-');
    if (p2 == std::string::npos) return Failed(kMsgNoHyphenBeforeSubscriber);

    FaxParseResult result;
    result.Number.Area = Normalised(rest.substr(0, p2));
    result.Number.Country = Normalised(country);
    result.Number.Subscriber = rest.substr(p2 + 1);
    if (!IsLabelText(result.Number.Subscriber)) return Failed(kMsgBadSubscriber);
    result.Ok = true;
    return result;
}

std::string GatewayAddress(const FaxNumber& number, const std::string& pattern) {
    std::string address = pattern;
    const std::size_t at = address.find(kGatewayNumberPlaceholder);
    if (at != std::string::npos)
        address.replace(at, sizeof kGatewayNumberPlaceholder - 1, number.Country + number.Area + number.Subscriber);
    return address;
}

std::string GatewayPatternFailure(const std::string& pattern) {
    const std::size_t first = pattern.find(kGatewayNumberPlaceholder);
    if (first == std::string::npos || pattern.find(kGatewayNumberPlaceholder, first + 1) != std::string::npos)
        return kMsgGatewayPlaceholder;
    return IsMailbox(GatewayAddress(FaxNumber{"1", "212", "5551234"}, pattern)) ? std::string() : kMsgGatewayNotAddress;
}

}  // namespace fax
