// The saved send settings as the settings file holds them: each value's text
// read back, or nothing when the program cannot use it. A value that cannot
// be read is never taken for a default: for the protection that would send
// in clear text what the user meant to protect.
#pragma once

#include "mail/Smtp.h"

#include <cstdint>
#include <optional>
#include <string>

namespace fax {

// "1" to "65535", decimal digits only (no sign, blank or leading zero).
std::optional<std::int32_t> PortSetting(const std::string& Text);

// "none", "starttls" or "tls", exactly as SecuritySettingText writes them.
std::optional<mail::TSmtpSecurity> SecuritySetting(const std::string& Text);
const char* SecuritySettingText(mail::TSmtpSecurity Security);

// "true" or "false".
std::optional<bool> FlagSetting(const std::string& Text);

// The home country: a country calling code libphonenumber knows ("86"), or
// "0" for none; decimal digits without a leading zero.
std::optional<int> HomeCountrySetting(const std::string& Text);

}  // namespace fax
