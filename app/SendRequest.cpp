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

TMadeRequest MakeSendRequest(const TSendSettings& Settings, const QString& Number, const QString& Password,
                             std::vector<rtl::TFilePath> Files) {
    TMadeRequest made{ConnectionOf(Settings, Password)};
    fax::TSendRequest& request = made.Request;
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
            made.RefusedField = field.first;
            return made;
        }
    }
    request.Files = std::move(Files);
    request.HomeCountry = Settings.HomeCountry;
    return made;
}

}  // namespace app
