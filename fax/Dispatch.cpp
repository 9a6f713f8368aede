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

std::string TFaxDispatch::Send(const TSendRequest& Form) {
    if (!Job.Running() && !Client.Busy()) {
        PressReadingValue = TNumberReading();
        PressGatewayText.clear();
    }
    const std::string& server = Form.Server.Bytes();
    const std::string& email = Form.Email.Bytes();
    if (server.empty() || email.empty()) return kMsgBlankFields;
    if (HasBlankOrControl(server)) return kMsgBadServerName;
    if (!IsPlainAscii(email)) return kMsgEmailNotAscii;
    if (!IsSmtpMailbox(email)) return kMsgSenderNotMailbox;
    const TNumberReading reading = ReadFaxNumber(Form.Number.Bytes(), Form.HomeCountry);
    if (!reading.Ok) return reading.Failure;
    const std::string patternFailure = GatewayPatternProblem(Form.GatewayPattern.Bytes());
    if (!patternFailure.empty()) return patternFailure;
    const std::string gateway = GatewayAddressOf(reading, Form.GatewayPattern.Bytes());
    // A press refused during a send leaves the running send's address, which
    // its success names, and what that send understood.
    if (!Job.Running() && !Client.Busy()) {
        GatewayAddressText = gateway;
        PressReadingValue = reading;
        PressGatewayText = gateway;
    }
    if (!IsCovered(Form.CoverageLines, reading.Number)) return kMsgNotCovered;

    // Each press sends exactly what is on the screen: one body line, the
    // gateway as the only recipient, each document once, whatever an earlier
    // press left behind.
    Job.Run(server, UserIdOf(email), [&](mail::TPostMessage& message) {
        message.FromAddress = email;
        message.FromName = email;
        message.Subject = email + "Send a Fax";
        message.Body.Clear();
        message.Body.Add(email + "Send a Fax");
        message.ReplyTo = email;
        message.Date = Client.Clock->Date();
        message.ToAddress.Clear();
        message.ToCarbonCopy.Clear();
        message.ToBlindCarbonCopy.Clear();
        message.ToBlindCarbonCopy.Add(gateway);
        // The list holds paths as the file system's bytes: the composer opens them as they are.
        message.Attachments.Clear();
        for (const rtl::TFilePath& file : Form.Files) message.Attachments.Add(file.Bytes());
    });
    return std::string();
}

}  // namespace fax
