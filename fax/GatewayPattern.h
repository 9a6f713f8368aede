// The gateway pattern's placeholders: {number} (country, area and subscriber
// joined, as the design builds it), {e164} ("+" and the international digits)
// and {national} (the national significant number), as e-mail-to-fax
// services differ in what they expect.
#pragma once

#include "fax/NumberFront.h"

#include <string>

namespace fax {

inline constexpr char kGatewayE164Placeholder[] = "{e164}";
inline constexpr char kGatewayNationalPlaceholder[] = "{national}";

// "传真网关只能含有{number}、{e164}、{national}中的一个，且只能出现一次。"
inline constexpr char kMsgGatewayOnePlaceholder[] =
    "\xb4\xab\xd5\xe6\xcd\xf8\xb9\xd8\xd6\xbb\xc4\xdc\xba\xac\xd3\xd0{number}\xa1\xa2{e164}\xa1\xa2{national}"
    "\xd6\xd0\xb5\xc4\xd2\xbb\xb8\xf6\xa3\xac\xc7\xd2\xd6\xbb\xc4\xdc\xb3\xf6\xcf\xd6\xd2\xbb\xb4\xce\xa1\xa3";

// "传真网关地址中代表号码的部分只能是数字，传真没有发送。"
inline constexpr char kMsgGatewayNumberNotDigits[] =
    "\xb4\xab\xd5\xe6\xcd\xf8\xb9\xd8\xb5\xd8\xd6\xb7\xd6\xd0\xb4\xfa\xb1\xed\xba\xc5\xc2\xeb\xb5\xc4\xb2\xbf"
    "\xb7\xd6\xd6\xbb\xc4\xdc\xca\xc7\xca\xfd\xd7\xd6\xa3\xac\xb4\xab\xd5\xe6\xc3\xbb\xd3\xd0\xb7\xa2\xcb\xcd\xa1\xa3";
// "填入号码后的传真网关地址不是可用的邮件地址（域名的每一段最多63个字符，不能以“-”开头或结尾；@前面最多64个字符），传真没有发送。"
inline constexpr char kMsgGatewayAddressUnusable[] =
    "\xcc\xee\xc8\xeb\xba\xc5\xc2\xeb\xba\xf3\xb5\xc4\xb4\xab\xd5\xe6\xcd\xf8\xb9\xd8\xb5\xd8\xd6\xb7\xb2\xbb"
    "\xca\xc7\xbf\xc9\xd3\xc3\xb5\xc4\xd3\xca\xbc\xfe\xb5\xd8\xd6\xb7\xa3\xa8\xd3\xf2\xc3\xfb\xb5\xc4\xc3\xbf"
    "\xd2\xbb\xb6\xce\xd7\xee\xb6\xe0""63\xb8\xf6\xd7\xd6\xb7\xfb\xa3\xac\xb2\xbb\xc4\xdc\xd2\xd4\xa1\xb0-\xa1\xb1"
    "\xbf\xaa\xcd\xb7\xbb\xf2\xbd\xe1\xce\xb2\xa3\xbb@\xc7\xb0\xc3\xe6\xd7\xee\xb6\xe0""64\xb8\xf6\xd7\xd6\xb7\xfb"
    "\xa3\xa9\xa3\xac\xb4\xab\xd5\xe6\xc3\xbb\xd3\xd0\xb7\xa2\xcb\xcd\xa1\xa3";

// The pattern with its placeholder replaced by the reading's number.
std::string GatewayAddressOf(const TNumberReading& reading, const std::string& pattern);

// "" for a usable pattern: exactly one of the three placeholders, and with a
// number in place a plain mailbox. Otherwise the message to show: the
// design's for a pattern without any placeholder or not a mailbox.
std::string GatewayPatternProblem(const std::string& pattern);

// "" when the reading's address under a usable pattern is one mailbox a
// server takes, with digits (and hyphens) where the number goes; otherwise
// the message to show. Found before connecting, where the server's refusal
// of the RCPT would come in English.
std::string GatewayAddressProblem(const TNumberReading& reading, const std::string& pattern);

}  // namespace fax
