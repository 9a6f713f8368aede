#include "fax/Dispatch.h"

#include "fax/Mailbox.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"
#include "platform/CodePage.h"
#include "platform/LocaleText.h"
#include "rtl/SysUtils.h"

#include <algorithm>

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

std::string TCheckRefusal::Text() const {
    switch (Kind) {
        case TCheckRefused::None: return std::string();
        case TCheckRefused::BlankFields: return kMsgBlankFields;
        case TCheckRefused::BadServerName: return kMsgBadServerName;
        case TCheckRefused::EmailNotAscii: return kMsgEmailNotAscii;
        case TCheckRefused::SenderNotMailbox: return kMsgSenderNotMailbox;
        case TCheckRefused::SubjectControl: return kMsgSubjectControl;
        case TCheckRefused::Number:
        case TCheckRefused::GatewayPattern:
        case TCheckRefused::GatewayAddress: return Reason;
        case TCheckRefused::NotCovered: return kMsgNotCovered;
        case TCheckRefused::FileMissing:
            // Code-page text; the path is the file system's bytes.
            return rtl::FormatMessage("Cannot open file %s", Win::Utf8ToGb2312(Win::FileNameText(rtl::TFilePath(Field)).Bytes()));
    }
    return std::string();
}

std::string UserIdOf(const std::string& Email) {
    const auto at = Email.find('@');
    return at == std::string::npos ? std::string() : Email.substr(0, at);
}

mail::TSmtpConnection SmtpConnectionOf(const TSendRequest& Request) {
    mail::TSmtpConnection connection;
    connection.Host = Request.Server.Bytes();
    connection.Port = Request.Port;
    connection.Security = Request.Security;
    connection.Login = {Request.LoginName, Request.Password};
    connection.TrustFile = Request.TrustFile;
    connection.UserID = UserIdOf(Request.Email.Bytes());
    return connection;
}

TCheckRefusal TFaxDispatch::Check(const TSendRequest& Form) {
    // A press refused during a send leaves the running send's addresses,
    // which its success names and its refusals report, and what it understood.
    const bool idle = !Job.Running() && !Client.Busy();
    if (idle) PressReadingsValue.clear();
    const std::string& server = Form.Server.Bytes();
    const std::string& email = Form.Email.Bytes();
    using K = TCheckRefused;
    if (server.empty() || email.empty()) return {K::BlankFields, {}, {}};
    if (HasBlankOrControl(server)) return {K::BadServerName, server, {}};
    if (!IsPlainAscii(email)) return {K::EmailNotAscii, email, {}};
    if (!IsSmtpMailbox(email)) return {K::SenderNotMailbox, email, {}};
    for (const char c : Form.Subject.Bytes())
        if ((c >= 0 && c < 0x20) || c == 0x7f) return {K::SubjectControl, Form.Subject.Bytes(), {}};
    std::vector<std::pair<std::string, std::string>> recipients;
    std::vector<const rtl::TGbText*> numbers{&Form.Number};
    for (const rtl::TGbText& more : Form.MoreNumbers) numbers.push_back(&more);
    for (const rtl::TGbText* number : numbers) {
        const TNumberReading reading = ReadFaxNumber(number->Bytes(), Form.HomeCountry);
        if (!reading.Ok) return {K::Number, number->Bytes(), reading.Failure};
        const std::string patternFailure = GatewayPatternProblem(Form.GatewayPattern.Bytes());
        if (!patternFailure.empty()) return {K::GatewayPattern, Form.GatewayPattern.Bytes(), patternFailure};
        const std::string gateway = GatewayAddressOf(reading, Form.GatewayPattern.Bytes());
        const std::string addressFailure = GatewayAddressProblem(reading, Form.GatewayPattern.Bytes());
        if (!addressFailure.empty()) return {K::GatewayAddress, number->Bytes(), addressFailure};
        if (idle && recipients.empty()) GatewayAddressText = gateway;
        if (idle) PressReadingsValue.emplace_back(reading, gateway);
        if (!IsCovered(Form.CoverageLines, reading.Number)) return {K::NotCovered, number->Bytes(), {}};
        // One number written several ways is one recipient.
        if (std::none_of(recipients.begin(), recipients.end(), [&](const auto& r) { return r.first == gateway; }))
            recipients.emplace_back(gateway, number->Bytes());
    }
    // Found now, not after the server has been reached.
    for (const rtl::TFilePath& file : Form.Files)
        if (rtl::RegularFileSize(file.Bytes()) < 0) return {K::FileMissing, file.Bytes(), {}};
    if (idle) Recipients = std::move(recipients);
    return {};
}

void TFaxDispatch::Fill(const TSendRequest& Form, mail::TPostMessage& message) const {
    // Each press sends exactly what is on the screen: one body line, the
    // gateways as the only recipients, each document once, whatever an
    // earlier press left behind.
    const std::string& email = Form.Email.Bytes();
    message.FromAddress = email;
    message.FromName = email;
    message.Subject = Form.Subject.IsEmpty() ? email + "Send a Fax" : Form.Subject.Bytes();
    message.Body.Clear();
    message.Body.Add(email + "Send a Fax");
    message.ReplyTo = email;
    message.Date = Client.Clock->Date();
    message.ToAddress.Clear();
    message.ToCarbonCopy.Clear();
    message.ToBlindCarbonCopy.Clear();
    for (const auto& recipient : Recipients) message.ToBlindCarbonCopy.Add(recipient.first);
    // The list holds paths as the file system's bytes: the composer opens them as they are.
    message.Attachments.Clear();
    for (const rtl::TFilePath& file : Form.Files) message.Attachments.Add(file.Bytes());
}

TCheckRefusal TFaxDispatch::Send(const TSendRequest& Form) {
    const TCheckRefusal refusal = Check(Form);
    if (!refusal.empty()) return refusal;
    try {
        Job.Run(SmtpConnectionOf(Form), [&](mail::TPostMessage& message) { Fill(Form, message); });
    } catch (rtl::Exception& e) {
        // The client names the gateway address; the user knows the number.
        if (e.Kind == rtl::TErrorKind::RecipientRefused) {
            const std::string entry = e.Subject;
            for (const auto& recipient : Recipients)
                if (recipient.first == entry) e.Subject = recipient.second;
        }
        throw;
    }
    return {};
}

}  // namespace fax
