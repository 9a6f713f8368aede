// The send-fax press: validates what the main window holds, builds the
// gateway address, checks coverage and drives the window's mail client.
#pragma once

#include "fax/CheckRefusal.h"
#include "fax/Coverage.h"
#include "fax/FaxNumber.h"
#include "fax/NumberFront.h"
#include "fax/SendRequest.h"
#include "mail/SendJob.h"
#include "mail/SmtpConnection.h"
#include "mail/Zelsmtp.h"
#include "rtl/Classes.h"

#include <string>
#include <utility>
#include <vector>

namespace fax {

// "邮件服务器或电子邮件不能为空白"
inline constexpr char kMsgBlankFields[] =
    "\xd3\xca\xbc\xfe\xb7\xfe\xce\xf1\xc6\xf7\xbb\xf2\xb5\xe7\xd7\xd3\xd3\xca\xbc\xfe\xb2\xbb\xc4\xdc\xce\xaa\xbf\xd5\xb0\xd7";

// "电子邮件地址只能由英文字母、数字和英文符号组成，不能含有中文或其它字符。"
inline constexpr char kMsgEmailNotAscii[] =
    "\xb5\xe7\xd7\xd3\xd3\xca\xbc\xfe\xb5\xd8\xd6\xb7\xd6\xbb\xc4\xdc\xd3\xc9\xd3\xa2\xce\xc4\xd7\xd6\xc4\xb8\xa1\xa2"
    "\xca\xfd\xd7\xd6\xba\xcd\xd3\xa2\xce\xc4\xb7\xfb\xba\xc5\xd7\xe9\xb3\xc9\xa3\xac\xb2\xbb\xc4\xdc\xba\xac\xd3\xd0"
    "\xd6\xd0\xce\xc4\xbb\xf2\xc6\xe4\xcb\xfc\xd7\xd6\xb7\xfb\xa1\xa3";
// "邮件服务器的名称中不能有空格、控制字符或换行。"
inline constexpr char kMsgBadServerName[] =
    "\xd3\xca\xbc\xfe\xb7\xfe\xce\xf1\xc6\xf7\xb5\xc4\xc3\xfb\xb3\xc6\xd6\xd0\xb2\xbb\xc4\xdc\xd3\xd0\xbf\xd5"
    "\xb8\xf1\xa1\xa2\xbf\xd8\xd6\xc6\xd7\xd6\xb7\xfb\xbb\xf2\xbb\xbb\xd0\xd0\xa1\xa3";
// "邮件的主题不能含有换行或其它控制字符，传真没有发送。"
inline constexpr char kMsgSubjectControl[] =
    "\xd3\xca\xbc\xfe\xb5\xc4\xd6\xf7\xcc\xe2\xb2\xbb\xc4\xdc\xba\xac\xd3\xd0\xbb\xbb\xd0\xd0\xbb\xf2\xc6\xe4"
    "\xcb\xfc\xbf\xd8\xd6\xc6\xd7\xd6\xb7\xfb\xa3\xac\xb4\xab\xd5\xe6\xc3\xbb\xd3\xd0\xb7\xa2\xcb\xcd\xa1\xa3";

class TFaxDispatch {
public:
    // A refused recipient ends the send before DATA: the later "503 need RCPT"
    // would hide the cause, and a message to some numbers only is not what was asked.
    explicit TFaxDispatch(mail::TZelSMTP& Client)
        : Client(Client), Job(Client, mail::TZelSMTP::TRefusedRecipient::Stop) {}

    // Sends one fax e-mail, connecting as the request says (the client's
    // events and time limits stay the front end's). Returns the refusal to show in a modal message box
    // (blank fields, an e-mail address that is not plain ASCII or not one
    // mailbox, a server name with a blank or control character, a number the
    // front cannot read, an unusable gateway pattern, no coverage), or "" once
    // the fax has gone out.
    // Conversion errors and every failure of the send are raised (see
    // TSendJob::Run); a refused recipient as RecipientRefused, its Subject
    // the number as typed.
    TCheckRefusal Send(const TSendRequest& Form);
    // The checks of Send, in its order, without connecting: the refusal, or
    // none with the gateway addresses set. A file that cannot be opened is
    // refused here too ("Cannot open file %s"), before any connection.
    TCheckRefusal Check(const TSendRequest& Form);
    // What Send would hand to the mail client, on the client's message; the
    // front end composes it without connecting (--dry-run). Call after Check.
    void Fill(const TSendRequest& Form, mail::TPostMessage& Message) const;

    // The gateway address of the last number that parsed outside a send.
    const std::string& LastGatewayAddress() const { return GatewayAddressText; }
    // The gateway address of every number of the last send that passed Check.
    std::vector<std::string> GatewayAddresses() const {
        std::vector<std::string> addresses;
        for (const auto& recipient : Recipients) addresses.push_back(recipient.first);
        return addresses;
    }
    // A send is under way (lookup, connect or dialogue).
    bool Sending() const { return Job.Running(); }
    // What the last press outside a send understood of its numbers, each with
    // its gateway address, in order; the numbers its checks reached only.
    const std::vector<std::pair<TNumberReading, std::string>>& PressReadings() const { return PressReadingsValue; }

private:
    mail::TZelSMTP& Client;
    mail::TSendJob Job;
    std::string GatewayAddressText;
    // Every recipient of the message, with the number it stands for.
    std::vector<std::pair<std::string, std::string>> Recipients;
    std::vector<std::pair<TNumberReading, std::string>> PressReadingsValue;
};

// The user id for HELO: the text before the first "@" (empty without one).
std::string UserIdOf(const std::string& Email);

// The connection a request asks for: server, port, protection, login,
// trusted certificates, and the sender's user id for HELO.
mail::TSmtpConnection SmtpConnectionOf(const TSendRequest& Request);

}  // namespace fax
