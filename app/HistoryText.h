// How a history record reads for people: the outcome in words, the files,
// the time, as the history page and `faxmail history` show them.
#pragma once

#include "history/History.h"

#include <QString>

namespace app {

QString OutcomeText(history::TOutcome outcome);
// The file names, joined by "、".
QString FileNamesText(const history::TRecord& record);
// The start time in local time, "yyyy-MM-dd HH:mm:ss".
QString StartedText(const history::TRecord& record);
// "已送达", "发送失败", "有回复" for the gateway's answer (delivered, failed,
// answered); empty without one.
QString ConfirmationText(const QString& outcomeName);
// A time in local time, "yyyy-MM-dd HH:mm:ss"; empty when invalid.
QString LocalTimeText(const QDateTime& time);

}  // namespace app
