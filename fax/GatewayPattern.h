// The gateway pattern's placeholders: {number} (country, area and subscriber
// joined, as the design builds it), {e164} ("+" and the international digits)
// and {national} (the national significant number), as e-mail-to-fax
// services differ in what they expect.
#pragma once

#include "fax/NumberFront.h"
#include "platform/Catalogue.h"

#include <string>

namespace fax {

inline constexpr char kGatewayE164Placeholder[] = "{e164}";
inline constexpr char kGatewayNationalPlaceholder[] = "{national}";

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
