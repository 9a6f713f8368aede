// The fax number the user types (001-212-1234567) and the gateway mailbox
// it is mailed to. User texts are GB2312 bytes.
#pragma once

#include "platform/Catalogue.h"

#include <string>

namespace fax {

// Mail domain of the remote-printing gateway; the full international number
// becomes its leftmost label. A placeholder under the reserved .example
// domain: set it to the real gateway's domain once one is contracted.
inline constexpr char kGatewayDomainSuffix[] = ".iddd.faxgateway.example";

// Local part and at sign of every gateway address.
inline constexpr char kGatewayLocalPart[] = "remote-printer.the_following_address@";

// A gateway pattern is the gateway address with this placeholder where the
// full number (country, area and subscriber, joined) goes. The default gives
// the address the program has always built.
inline constexpr char kGatewayNumberPlaceholder[] = "{number}";
inline constexpr char kDefaultGatewayPattern[] =
    "remote-printer.the_following_address@{number}.iddd.faxgateway.example";

// Validation failures, shown by the caller in a modal message box.
// "请输入对方传真号码。"
inline constexpr char kMsgEmptyNumber[] =
    "\xc7\xeb\xca\xe4\xc8\xeb\xb6\xd4\xb7\xbd\xb4\xab\xd5\xe6\xba\xc5\xc2\xeb\xa1\xa3";
// "传真号码的形式必须为：001-212-1234567，在城市区号前您没有输入"-"."
inline constexpr char kMsgNoHyphenBeforeArea[] =
    "\xb4\xab\xd5\xe6\xba\xc5\xc2\xeb\xb5\xc4\xd0\xce\xca\xbd\xb1\xd8\xd0\xeb\xce\xaa\xa3\xba"
    "001-212-1234567\xa3\xac\xd4\xda\xb3\xc7\xca\xd0\xc7\xf8\xba\xc5\xc7\xb0\xc4\xfa\xc3\xbb"
    "\xd3\xd0\xca\xe4\xc8\xeb\"-\".";
// "传真号码的形式必须为：001-212-1234567，您没有输入"-"."
inline constexpr char kMsgNoHyphen[] =
    "\xb4\xab\xd5\xe6\xba\xc5\xc2\xeb\xb5\xc4\xd0\xce\xca\xbd\xb1\xd8\xd0\xeb\xce\xaa\xa3\xba"
    "001-212-1234567\xa3\xac\xc4\xfa\xc3\xbb\xd3\xd0\xca\xe4\xc8\xeb\"-\".";
// "传真号码的形式必须为：001-212-1234567，在用户号码前您没有输入"-"."
inline constexpr char kMsgNoHyphenBeforeSubscriber[] =
    "\xb4\xab\xd5\xe6\xba\xc5\xc2\xeb\xb5\xc4\xd0\xce\xca\xbd\xb1\xd8\xd0\xeb\xce\xaa\xa3\xba"
    "001-212-1234567\xa3\xac\xd4\xda\xd3\xc3\xbb\xa7\xba\xc5\xc2\xeb\xc7\xb0\xc4\xfa\xc3\xbb"
    "\xd3\xd0\xca\xe4\xc8\xeb\"-\".";

struct FaxNumber {
    std::string Country;     // decimal, no leading zeros
    std::string Area;        // decimal, no leading zeros
    std::string Subscriber;  // as typed: letters, digits and hyphens only; may be empty
};

// Either a number (Ok) or the text of the validation failure.
struct FaxParseResult {
    bool Ok = false;
    FaxNumber Number;
    std::string Failure;
};

// Splits the field's text as typed (nothing trimmed). A country or area part
// that is not a 32-bit integer raises rtl::EConvertError; the area is
// converted first, so it is the one named when both are bad. The subscriber
// part ends up inside the leftmost label of the gateway's domain: anything a
// label cannot hold (a blank, ".", "<", "@", a control or 8-bit character)
// fails with kMsgBadSubscriber, so no text typed there can change the address.
FaxParseResult ParseFaxNumber(const std::string& text);

// The pattern with its placeholder replaced by the full number; nothing in
// the number is read as a placeholder.
std::string GatewayAddress(const FaxNumber& number, const std::string& pattern = kDefaultGatewayPattern);

// "" for a usable pattern: exactly one placeholder, and with a number in
// place a plain mailbox (local part, "@", a domain of two or more labels,
// ASCII only). Otherwise the message to show.
std::string GatewayPatternFailure(const std::string& pattern);

}  // namespace fax
