#include "fax/Dispatch.h"

#include "fax/Mailbox.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"

namespace fax {
namespace {

// Servers refuse 8-bit bytes in HELO and MAIL FROM, with replies that blame something else.
bool IsPlainAscii(const std::string& text) {
    for (const char c : text)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

bool HasBlankOrControl(const std::string& text) {
    for (const char c : text)
        if ((c >= 0 && c <= 0x20) || c == 0x7f) return true;
    return false;
}

}  // namespace

std::string UserIdOf(const std::string& Email) {
    const auto at = Email.find('@');
    return at == std::string::npos ? std::string() : Email.substr(0, at);
}

std::string TFaxDispatch::Send(const TFaxForm& Form) {
    if (Form.Server.empty() || Form.Email.empty()) return kMsgBlankFields;
    if (HasBlankOrControl(Form.Server)) return kMsgBadServerName;
    if (!IsPlainAscii(Form.Email)) return kMsgEmailNotAscii;
    if (!IsSmtpMailbox(Form.Email)) return kMsgSenderNotMailbox;
    const TNumberReading reading = ReadFaxNumber(Form.Number, Form.HomeCountry);
    if (!reading.Ok) return reading.Failure;
    const std::string patternFailure = GatewayPatternProblem(Form.GatewayPattern);
    if (!patternFailure.empty()) return patternFailure;
    GatewayAddressText = GatewayAddressOf(reading, Form.GatewayPattern);
    if (!IsCovered(Form.CoverageLines, reading.Number)) return kMsgNotCovered;

    // Each press sends exactly what is on the screen: one body line, the
    // gateway as the only recipient, each document once, whatever an earlier
    // press left behind.
    Job.Run(Form.Server, UserIdOf(Form.Email), [&](mail::TPostMessage& message) {
        message.FromAddress = Form.Email;
        message.FromName = Form.Email;
        message.Subject = Form.Email + "Send a Fax";
        message.Body.Clear();
        message.Body.Add(Form.Email + "Send a Fax");
        message.ReplyTo = Form.Email;
        message.Date = Client.Clock->Date();
        message.ToAddress.Clear();
        message.ToCarbonCopy.Clear();
        message.ToBlindCarbonCopy.Clear();
        message.ToBlindCarbonCopy.Add(GatewayAddressText);
        message.Attachments.Assign(Form.Files);
    });
    return std::string();
}

}  // namespace fax
