// One connection to an SMTP server as a value: what a front end's request
// becomes before the mail client connects. The login travels in it and is
// used for that connection only; the component never keeps it.
#pragma once

#include "mail/Smtp.h"
#include "rtl/Text.h"

#include <cstdint>
#include <optional>
#include <string>

namespace mail {

// UTF-8 as typed: SASL carries these bytes unchanged.
struct TSmtpLogin {
    rtl::TUtf8Text Name{};  // empty: no login
    rtl::TUtf8Text Password{};
    bool Empty() const { return Name.IsEmpty(); }
};

struct TSmtpConnection {
    std::string Host{};  // code-page text, as the server field holds it
    std::int32_t Port = kDefaultSmtpPort;
    TSmtpSecurity Security = TSmtpSecurity::None;
    TSmtpLogin Login{};
    rtl::TFilePath TrustFile{};  // empty: the system's authorities only
    std::string UserID{};        // the HELO name
    std::optional<TSmtpTimeLimits> Limits{};  // none: the client's own
};

}  // namespace mail
