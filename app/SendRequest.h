// The send request as both front ends build it from what the user set: the
// settings and the number as typed (UTF-8), the password as typed, the
// documents by their file-system bytes.
#pragma once

#include "app/Settings.h"
#include "fax/SendRequest.h"

#include <QString>

#include <vector>

namespace app {

// The connection part alone: port, protection, login as typed, the trusted
// certificates by their file-system bytes.
fax::TSendRequest ConnectionOf(const TSendSettings& Settings, const QString& Password);

// Puts the send settings on a mail client: port, protection, login and the
// trusted certificates. The login and password go as UTF-8, as SASL carries them.
void ApplySendSettings(mail::TZelSMTP& client, const TSendSettings& settings, const QString& password);

// False, with RefusedField naming the field ("SMTP邮件服务器", "您的电子邮件",
// "对方传真号码"), when the code page cannot hold one of its characters:
// nothing is sent with a text changed on the way.
bool MakeSendRequest(const TSendSettings& Settings, const QString& Number, const QString& Password,
                     std::vector<rtl::TFilePath> Files, fax::TSendRequest& Request, const char*& RefusedField);

}  // namespace app
