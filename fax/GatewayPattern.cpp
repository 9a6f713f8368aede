#include "fax/GatewayPattern.h"

#include "fax/Mailbox.h"

#include <algorithm>

namespace fax {
namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// The pattern with the placeholder it holds (if any) written as the design's
// {number}; "+{number}" gives {e164}'s characters, and {number} the same kind
// of text (digits) as {national}, so the design's check judges the mailbox.
std::string AsDesignPattern(std::string pattern) {
    for (const auto& [placeholder, design] : {std::pair<const char*, const char*>{kGatewayE164Placeholder, "+{number}"},
                                             {kGatewayNationalPlaceholder, kGatewayNumberPlaceholder}}) {
        const std::size_t at = pattern.find(placeholder);
        if (at != std::string::npos) return pattern.replace(at, std::string(placeholder).size(), design);
    }
    return pattern;
}

}  // namespace

std::string GatewayAddressOf(const TNumberReading& reading, const std::string& pattern) {
    const auto replaced = [&](const std::string& placeholder, const std::string& value) {
        std::string address = pattern;
        return address.replace(address.find(placeholder), placeholder.size(), value);
    };
    if (pattern.find(kGatewayE164Placeholder) != std::string::npos)
        return replaced(kGatewayE164Placeholder, "+" + reading.Number.Country + reading.National);
    if (pattern.find(kGatewayNationalPlaceholder) != std::string::npos)
        return replaced(kGatewayNationalPlaceholder, reading.National);
    return GatewayAddress(reading.Number, pattern);
}

std::string GatewayAddressProblem(const TNumberReading& reading, const std::string& pattern) {
    const FaxNumber& n = reading.Number;
    const bool e164 = pattern.find(kGatewayE164Placeholder) != std::string::npos;
    const std::string number = e164 ? n.Country + reading.National
                               : pattern.find(kGatewayNationalPlaceholder) != std::string::npos ? reading.National
                                                                                              : n.Country + n.Area + n.Subscriber;
    if (number.empty() || !std::all_of(number.begin(), number.end(), [](char c) { return (c >= '0' && c <= '9') || c == '-'; }))
        return kMsgGatewayNumberNotDigits;
    return IsSmtpMailbox(GatewayAddressOf(reading, pattern)) ? std::string() : kMsgGatewayAddressUnusable;
}

std::string GatewayPatternProblem(const std::string& pattern) {
    const int placeholders = Count(pattern, kGatewayNumberPlaceholder) + Count(pattern, kGatewayE164Placeholder) +
                             Count(pattern, kGatewayNationalPlaceholder);
    if (placeholders > 1) return kMsgGatewayOnePlaceholder;
    return GatewayPatternFailure(AsDesignPattern(pattern));
}

}  // namespace fax
