// One send as a front end hands it over: where it goes, how it logs in, who
// sends it, the number and the documents. The window and the command line
// build it the same way (app/SendRequest.h); each field carries its encoding
// in its type, so the dispatch never guesses.
#pragma once

#include "fax/Coverage.h"
#include "fax/FaxNumber.h"
#include "mail/Smtp.h"
#include "rtl/Classes.h"
#include "rtl/Text.h"

#include <cstdint>
#include <vector>

namespace fax {

struct TSendRequest {
    rtl::TGbText Server{};
    std::int32_t Port = mail::kDefaultSmtpPort;
    mail::TSmtpSecurity Security = mail::TSmtpSecurity::None;
    rtl::TUtf8Text LoginName{};  // empty: no login
    rtl::TUtf8Text Password{};
    rtl::TFilePath TrustFile{};  // empty: the system's authorities only
    rtl::TGbText Email{};        // the sender
    rtl::TGbText Number{};
    std::vector<rtl::TFilePath> Files{};
    rtl::TGbText GatewayPattern{kDefaultGatewayPattern};
    rtl::TStringList CoverageLines = CoverageList();
    int HomeCountry = 0;  // the country a number without a country code belongs to; 0: none
    // More numbers for the same message (the command line's repeated
    // --number): each gets its own RCPT, all are checked before connecting.
    std::vector<rtl::TGbText> MoreNumbers{};
    rtl::TGbText Subject{};  // empty: the design's subject
};

}  // namespace fax
