// The sender's mailbox as SMTP takes it in MAIL FROM, checked before a send
// connects: what the user types there goes between the angle brackets of the
// envelope and into From and Reply-To, so anything beyond one mailbox (a ">",
// a blank, a parameter such as RET=HDRS) could change the envelope.
#pragma once

#include "platform/Catalogue.h"

#include <string>

namespace fax {

// True for exactly one RFC 5321 Mailbox: a dot-atom or quoted local part of
// at most 64 octets, "@", then a domain (labels of letters, digits and
// inner hyphens, at most 63 octets each) or an address literal ([192.0.2.1],
// [IPv6:2001:db8::1], [tag:content]), at most 255 octets.
bool IsSmtpMailbox(const std::string& Text);

}  // namespace fax
