#include "fax/FaxNumber.h"

#include "rtl/SysUtils.h"

namespace fax {

namespace {

FaxParseResult Failed(const char* message) {
    FaxParseResult result;
    result.Failure = message;
    return result;
}

std::string Normalised(const std::string& digits) { return rtl::IntToStr(rtl::StrToInt(digits)); }

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

std::string GatewayAddress(const FaxNumber& number) {
    return kGatewayLocalPart + number.Country + number.Area + number.Subscriber + kGatewayDomainSuffix;
}

}  // namespace fax
