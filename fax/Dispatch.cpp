#include "fax/Dispatch.h"

#include "net/ZelSock.h"

namespace fax {

std::string UserIdOf(const std::string& Email) {
    const auto at = Email.find('@');
    return at == std::string::npos ? std::string() : Email.substr(0, at);
}

std::string TFaxDispatch::Send(const TFaxForm& Form) {
    if (Form.Server.empty() || Form.Email.empty()) return kMsgBlankFields;
    const FaxParseResult parsed = ParseFaxNumber(Form.Number);
    if (!parsed.Ok) return parsed.Failure;
    GatewayAddressText = GatewayAddress(parsed.Number);
    if (!IsCovered(Form.CoverageLines, parsed.Number)) return kMsgNotCovered;

    // A press while an earlier one is still looking up the host or connecting
    // would change the client under the running attempt: refuse it as a press
    // during the dialogue is refused.
    if (InProgress || Client.Busy()) throw net::ESockError("Already connected", rtl::TErrorKind::Busy);
    InProgress = true;
    struct Done {
        bool& Flag;
        ~Done() { Flag = false; }
    } done{InProgress};

    Client.Host = Form.Server;
    Client.Port = 25;
    Client.UserID = UserIdOf(Form.Email);
    Client.Connect();

    // Each press sends exactly what is on the screen: one body line, the
    // gateway as the only recipient, each document once, whatever an earlier
    // press left behind.
    mail::TPostMessage& message = Client.PostMessage();
    message.FromAddress = Form.Email;
    message.FromName = Form.Email;
    message.Subject = Form.Email + "Send a Fax";
    message.Body.Clear();
    message.Body.Add(Form.Email + "Send a Fax");
    message.ReplyTo = Form.Email;
    message.ToAddress.Clear();
    message.ToCarbonCopy.Clear();
    message.ToBlindCarbonCopy.Clear();
    message.ToBlindCarbonCopy.Add(GatewayAddressText);
    message.Attachments.Assign(Form.Files);

    try {
        Client.SubmitMessage();
    } catch (...) {
        // Leave no connection behind, so the next press can connect again.
        Client.DropConnection();
        throw;
    }
    Client.Disconnect();
    return std::string();
}

}  // namespace fax
