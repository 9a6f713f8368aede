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

// The request, or the field the code page cannot hold one of the characters
// of ("SMTP邮件服务器", "您的电子邮件", "对方传真号码", "传真网关"): nothing is
// sent with a text changed on the way.
struct TMadeRequest {
    fax::TSendRequest Request;
    const char* RefusedField = nullptr;
    bool Refused() const { return RefusedField != nullptr; }
};
TMadeRequest MakeSendRequest(const TSendSettings& Settings, const QString& Number, const QString& Password,
                             std::vector<rtl::TFilePath> Files);

}  // namespace app
