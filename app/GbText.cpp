#include "app/GbText.h"

#include "platform/CodePage.h"

namespace app {

QString FromGb(const std::string& gb) { return QString::fromUtf8(Win::Gb2312ToUtf8(gb).c_str()); }
std::string ToGb(const QString& text) { return Win::Utf8ToGb2312(text.toStdString()); }

QString UnrepresentableFieldText(const char* fieldName) {
    return QString::fromUtf8("“%1”中有无法用GB2312表示的字符，请修改后再发送。").arg(QString::fromUtf8(fieldName));
}

QString MessageForDisplay(const std::string& message) {
    QString text = FromGb(message);
    if (!text.isEmpty() && text.back() > QChar('.')) text += '.';
    return text;
}

}  // namespace app
