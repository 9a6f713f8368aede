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
// "已送达", "发送失败", "有回复", "回复未经验证" for the gateway's answer
// (delivered, failed, answered, unverified); empty without one.
QString ConfirmationText(const QString& outcomeName);
// The text with its control characters as visible escapes (\x1b, \r, \n,
// and "\\" for a backslash), so a text from outside can neither forge a
// line of output nor drive the terminal.
QString VisibleText(const QString& text);
// A time in local time, "yyyy-MM-dd HH:mm:ss"; empty when invalid.
QString LocalTimeText(const QDateTime& time);

}  // namespace app
