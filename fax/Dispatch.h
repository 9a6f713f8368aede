// The send-fax press: validates what the main window holds, builds the
// gateway address, checks coverage and drives the window's mail client.
#pragma once

#include "fax/Coverage.h"
#include "fax/FaxNumber.h"
#include "mail/SendJob.h"
#include "mail/Zelsmtp.h"
#include "rtl/Classes.h"

#include <string>

namespace fax {

// "邮件服务器或电子邮件不能为空白"
inline constexpr char kMsgBlankFields[] =
    "\xd3\xca\xbc\xfe\xb7\xfe\xce\xf1\xc6\xf7\xbb\xf2\xb5\xe7\xd7\xd3\xd3\xca\xbc\xfe\xb2\xbb\xc4\xdc\xce\xaa\xbf\xd5\xb0\xd7";

// The main window's inputs at the moment of the press (GB2312 text; file
// paths in the file system's own bytes).
struct TFaxForm {
    std::string Server;
    std::string Email;
    std::string Number;
    rtl::TStringList Files;
    rtl::TStringList CoverageLines;
};

class TFaxDispatch {
public:
    explicit TFaxDispatch(mail::TZelSMTP& Client) : Job(Client) {}

    // Sends one fax e-mail. Returns the refusal to show in a modal message box
    // (blank fields, a malformed number, no coverage), or "" once the fax has
    // gone out. Conversion errors and every failure of the send are raised.
    std::string Send(const TFaxForm& Form);

    // The gateway address of the last number that parsed.
    const std::string& LastGatewayAddress() const { return GatewayAddressText; }
    // A send is under way (lookup, connect or dialogue).
    bool Sending() const { return Job.Running(); }

private:
    mail::TSendJob Job;
    std::string GatewayAddressText;
};

// The user id for HELO: the text before the first "@" (empty without one).
std::string UserIdOf(const std::string& Email);

}  // namespace fax
