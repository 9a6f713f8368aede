#include "app/SendRequest.h"

#include "platform/CodePage.h"

#include <QFile>

#include <utility>

namespace app {

fax::TSendRequest ConnectionOf(const TSendSettings& Settings, const QString& Password) {
    fax::TSendRequest request;
    request.Port = Settings.Port;
    request.Security = Settings.Security;
    request.LoginName = rtl::TUtf8Text(Settings.LoginName.toStdString());
    request.Password = rtl::TUtf8Text(Password.toStdString());
    request.TrustFile = rtl::TFilePath(QFile::encodeName(Settings.TrustFile).toStdString());
    return request;
}

void ApplySendSettings(mail::TZelSMTP& client, const TSendSettings& settings, const QString& password) {
    fax::ApplyConnection(ConnectionOf(settings, password), client);
}

bool MakeSendRequest(const TSendSettings& Settings, const QString& Number, const QString& Password,
                     std::vector<rtl::TFilePath> Files, fax::TSendRequest& Request, const char*& RefusedField) {
    fax::TSendRequest request = ConnectionOf(Settings, Password);
    // The send button's checks, in its order.
    const std::pair<QString, std::pair<const char*, rtl::TGbText*>> fields[] = {
        {Settings.Server, {"SMTP邮件服务器", &request.Server}},
        {Settings.Email, {"您的电子邮件", &request.Email}},
        {Number, {"对方传真号码", &request.Number}},
        {Settings.GatewayPattern, {"传真网关", &request.GatewayPattern}},
    };
    // Blanks are the dispatch's first refusal: an empty server is what the
    // user must hear of, not a character of the number.
    const bool blank = Settings.Server.isEmpty() || Settings.Email.isEmpty();
    for (const auto& [text, field] : fields) {
        if (blank) break;
        if (!Win::Utf8ToGbExactly(rtl::TUtf8Text(text.toStdString()), *field.second)) {
            RefusedField = field.first;
            return false;
        }
    }
    request.Files = std::move(Files);
    request.HomeCountry = Settings.HomeCountry;
    Request = std::move(request);
    return true;
}

}  // namespace app
