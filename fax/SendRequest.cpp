#include "fax/SendRequest.h"

namespace fax {

void ApplyConnection(const TSendRequest& Request, mail::TZelSMTP& Client) {
    Client.Port = Request.Port;
    Client.Security = Request.Security;
    Client.LoginName = Request.LoginName;
    Client.Password = Request.Password;
    Client.TrustFile = Request.TrustFile;
}

}  // namespace fax
