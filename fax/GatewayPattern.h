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

// The pattern with its placeholder replaced by the reading's number.
std::string GatewayAddressOf(const TNumberReading& reading, const std::string& pattern);

// "" for a usable pattern: exactly one of the three placeholders, and with a
// number in place a plain mailbox. Otherwise the message to show: the
// design's for a pattern without any placeholder or not a mailbox.
std::string GatewayPatternProblem(const std::string& pattern);

}  // namespace fax
