#include "fax/SettingValues.h"

#include "fax/NumberFront.h"

#include <array>
#include <utility>

namespace fax {
namespace {

// Names in the file rather than numbers, so the file reads for itself.
constexpr std::array<std::pair<mail::TSmtpSecurity, const char*>, 3> kSecurityNames{{
    {mail::TSmtpSecurity::None, "none"},
    {mail::TSmtpSecurity::StartTls, "starttls"},
    {mail::TSmtpSecurity::ImplicitTls, "tls"},
}};

}  // namespace

std::optional<std::int32_t> PortSetting(const std::string& Text) {
    if (Text.empty() || Text.size() > 5 || Text[0] == '0') return std::nullopt;
    std::int32_t port = 0;
    for (const char c : Text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port > 65535) return std::nullopt;
    return port;
}

std::optional<mail::TSmtpSecurity> SecuritySetting(const std::string& Text) {
    for (const auto& [security, name] : kSecurityNames)
        if (Text == name) return security;
    return std::nullopt;
}

const char* SecuritySettingText(mail::TSmtpSecurity Security) {
    for (const auto& [security, name] : kSecurityNames)
        if (security == Security) return name;
    return kSecurityNames[0].second;
}

std::optional<bool> FlagSetting(const std::string& Text) {
    if (Text == "true") return true;
    if (Text == "false") return false;
    return std::nullopt;
}

std::optional<int> HomeCountrySetting(const std::string& Text) {
    if (Text == "0") return 0;
    if (Text.empty() || Text.size() > 3 || Text[0] == '0') return std::nullopt;
    int code = 0;
    for (const char c : Text) {
        if (c < '0' || c > '9') return std::nullopt;
        code = code * 10 + (c - '0');
    }
    if (!IsCountryCode(code)) return std::nullopt;
    return code;
}

}  // namespace fax
