#include "fax/Dispatch.h"

#include "fax/Mailbox.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"
#include "rtl/SysUtils.h"

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

std::string TFaxDispatch::Check(const TFaxForm& Form) {
    if (Form.Server.empty() || Form.Email.empty()) return kMsgBlankFields;
    if (HasBlankOrControl(Form.Server)) return kMsgBadServerName;
    if (!IsPlainAscii(Form.Email)) return kMsgEmailNotAscii;
    if (!IsSmtpMailbox(Form.Email)) return kMsgSenderNotMailbox;
    // A press refused during a send leaves the running send's addresses,
    // which its success names and its refusals report.
    const bool idle = !Job.Running() && !Client.Busy();
    std::vector<std::pair<std::string, std::string>> recipients;
    std::vector<std::string> numbers{Form.Number};
    numbers.insert(numbers.end(), Form.MoreNumbers.begin(), Form.MoreNumbers.end());
    for (const std::string& number : numbers) {
        const TNumberReading reading = ReadFaxNumber(number, Form.HomeCountry);
        if (!reading.Ok) return reading.Failure;
        const std::string patternFailure = GatewayPatternProblem(Form.GatewayPattern);
        if (!patternFailure.empty()) return patternFailure;
        const std::string gateway = GatewayAddressOf(reading, Form.GatewayPattern);
        if (idle && recipients.empty()) GatewayAddressText = gateway;
        if (!IsCovered(Form.CoverageLines, reading.Number)) return kMsgNotCovered;
        recipients.emplace_back(gateway, number);
    }
    // Found now, not after the server has been reached.
    for (const auto& file : Form.Files)
        if (rtl::RegularFileSize(file) < 0) return rtl::FormatMessage("Cannot open file %s", file);
    if (idle) Recipients = std::move(recipients);
    return std::string();
}

void TFaxDispatch::Fill(const TFaxForm& Form, mail::TPostMessage& message) const {
    // Each press sends exactly what is on the screen: one body line, the
    // gateways as the only recipients, each document once, whatever an
    // earlier press left behind.
    message.FromAddress = Form.Email;
    message.FromName = Form.Email;
    message.Subject = Form.Subject.empty() ? Form.Email + "Send a Fax" : Form.Subject;
    message.Body.Clear();
    message.Body.Add(Form.Email + "Send a Fax");
    message.ReplyTo = Form.Email;
    message.Date = Client.Clock->Date();
    message.ToAddress.Clear();
    message.ToCarbonCopy.Clear();
    message.ToBlindCarbonCopy.Clear();
    for (const auto& recipient : Recipients) message.ToBlindCarbonCopy.Add(recipient.first);
    message.Attachments.Assign(Form.Files);
}

std::string TFaxDispatch::Send(const TFaxForm& Form) {
    const std::string refusal = Check(Form);
    if (!refusal.empty()) return refusal;
    // A refused recipient ends the send before DATA: the later "503 need RCPT"
    // would hide the cause, and a message to some numbers only is not what was asked.
    Client.OnRecipientNotFound = [this](const std::string& entry) {
        rtl::Exception refused(Client.LastReply, rtl::TErrorKind::RecipientRefused);
        refused.Subject = entry;
        for (const auto& recipient : Recipients)
            if (recipient.first == entry) refused.Subject = recipient.second;
        throw refused;
    };
    Job.Run(Form.Server, UserIdOf(Form.Email), [&](mail::TPostMessage& message) { Fill(Form, message); });
    return std::string();
}

}  // namespace fax
