// The sender's mailbox as SMTP takes it in MAIL FROM, checked before a send
// connects: what the user types there goes between the angle brackets of the
// envelope and into From and Reply-To, so anything beyond one mailbox (a ">",
// a blank, a parameter such as RET=HDRS) could change the envelope.
#pragma once

#include <string>

namespace fax {

// "您的电子邮件必须是一个邮件地址（名字@域名），不能含有空格、尖括号或逗号等符号。"
inline constexpr char kMsgSenderNotMailbox[] =
    "\xc4\xfa\xb5\xc4\xb5\xe7\xd7\xd3\xd3\xca\xbc\xfe\xb1\xd8\xd0\xeb\xca\xc7\xd2\xbb\xb8\xf6\xd3\xca"
    "\xbc\xfe\xb5\xd8\xd6\xb7\xa3\xa8\xc3\xfb\xd7\xd6@\xd3\xf2\xc3\xfb\xa3\xa9\xa3\xac\xb2\xbb\xc4\xdc"
    "\xba\xac\xd3\xd0\xbf\xd5\xb8\xf1\xa1\xa2\xbc\xe2\xc0\xa8\xba\xc5\xbb\xf2\xb6\xba\xba\xc5\xb5\xc8"
    "\xb7\xfb\xba\xc5\xa1\xa3";

// True for exactly one RFC 5321 Mailbox: a dot-atom or quoted local part of
// at most 64 octets, "@", then a domain (labels of letters, digits and
// inner hyphens, at most 63 octets each) or an address literal ([192.0.2.1],
// [IPv6:2001:db8::1], [tag:content]), at most 255 octets.
bool IsSmtpMailbox(const std::string& Text);

}  // namespace fax
