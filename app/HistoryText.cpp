#include "app/HistoryText.h"

namespace app {

QString OutcomeText(history::TOutcome outcome) {
    using history::TOutcome;
    switch (outcome) {
        case TOutcome::Sent: return QString::fromUtf8("已发送");
        case TOutcome::Refused: return QString::fromUtf8("发送前被拒绝");
        case TOutcome::Failed: return QString::fromUtf8("发送失败");
        case TOutcome::Stopped: return QString::fromUtf8("已停止");
        case TOutcome::MaybeSent: return QString::fromUtf8("可能已经发出");
        case TOutcome::Unfinished: break;
    }
    return QString::fromUtf8("未完成");
}

QString FileNamesText(const history::TRecord& record) {
    QStringList names;
    for (const history::TFileEntry& file : record.Files) names << file.Name();
    return names.join(QString::fromUtf8("、"));
}

QString StartedText(const history::TRecord& record) { return LocalTimeText(record.Started); }

QString LocalTimeText(const QDateTime& time) {
    return time.isValid() ? time.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : QString();
}

QString ConfirmationText(const QString& outcomeName) {
    if (outcomeName == QLatin1String("delivered")) return QString::fromUtf8("已送达");
    if (outcomeName == QLatin1String("failed")) return QString::fromUtf8("发送失败");
    if (outcomeName == QLatin1String("answered")) return QString::fromUtf8("有回复");
    return QString();
}

}  // namespace app
