#include "app/DamagedSettings.h"

#include <QSettings>

namespace app {
namespace {

struct TField {
    const char* Key;
    const char* Label;
    const char* Option;  // "" when the command line has none
};

constexpr TField kFields[] = {
    {"smtp/port", "SMTP端口", "--port"},
    {"smtp/security", "安全连接", "--security"},
    {"smtp/rememberPassword", "记住密码", ""},
    {"fax/gatewayPattern", "传真网关", "--gateway"},
    {"fax/homeCountry", "本国国家代码", ""},
};

const TField* FieldOf(const QString& key) {
    for (const TField& field : kFields)
        if (key == QLatin1String(field.Key)) return &field;
    return nullptr;
}

}  // namespace

QString DamagedSettingLabel(const QString& Key) {
    const TField* field = FieldOf(Key);
    return field != nullptr ? QString::fromUtf8(field->Label) : Key;
}

QString DamagedSettingsMessage(const QList<TDamagedSetting>& Damaged) {
    if (Damaged.isEmpty()) return {};
    QString text = QString::fromUtf8("设置文件 %1 中的下列设置无法识别，为安全起见，传真没有发送：\n").arg(OpenSettings()->fileName());
    for (const TDamagedSetting& d : Damaged) {
        const TField* field = FieldOf(d.Key);
        QString where = DamagedSettingLabel(d.Key);
        if (field != nullptr && *field->Option != '\0') where += QString::fromUtf8("，选项 ") + field->Option;
        text += QString::fromUtf8("  %1=%2（%3）\n").arg(d.Key, d.Value, where);
    }
    return text + QString::fromUtf8("请在“发送设置”页改正标红的设置后再发送。");
}

void Repaired(QList<TDamagedSetting>& Damaged, const QString& Key) {
    Damaged.removeIf([&](const TDamagedSetting& d) { return d.Key == Key; });
}

}  // namespace app
