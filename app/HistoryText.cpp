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
    if (outcomeName == QLatin1String("unverified")) return QString::fromUtf8("回复未经验证");
    if (outcomeName == QLatin1String("delayed")) return QString::fromUtf8("投递延迟");
    if (outcomeName == QLatin1String("unanswered")) return QString::fromUtf8("没有回复");
    return QString();
}

QString ProblemText(const QString& outcomeName, const QString& reason, const QString& subject) {
    if (outcomeName == QLatin1String("unanswered")) return QString::fromUtf8("在回复期限内没有收到传真网关的回复");
    return reason.isEmpty() ? subject : reason;
}

QString NumberConfirmationText(const history::TNumberConfirmation& c) {
    QString line = c.Number + QString::fromUtf8("：") + ConfirmationText(c.Outcome);
    QStringList when;
    if (c.Time.isValid()) when << LocalTimeText(c.Time);
    if (c.Pages >= 0) when << QString::fromUtf8("共%1页").arg(c.Pages);
    if (!when.isEmpty()) line += QString::fromUtf8("（") + when.join(QString::fromUtf8("，")) + QString::fromUtf8("）");
    const QString detail = c.Reason.isEmpty() ? c.Subject : c.Reason;
    if (!detail.isEmpty()) line += (when.isEmpty() ? QString(' ') : QString()) + detail;
    return line;
}

QString VisibleText(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\\') shown += QLatin1String("\\\\");
        else if (u == '\r') shown += QLatin1String("\\r");
        else if (u == '\n') shown += QLatin1String("\\n");
        else if (u == '\t') shown += QLatin1String("\\t");
        else if (u < 0x20 || u == 0x7f) shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else if (u >= 0x80 && u < 0xa0) shown += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else shown += c;
    }
    return shown;
}

}  // namespace app
