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
// "已送达", "发送失败", "有回复", "回复未经验证", "投递延迟", "没有回复" for the
// gateway's answer (delivered, failed, answered, unverified, delayed,
// unanswered); empty without one.
QString ConfirmationText(const QString& outcomeName);
// What a number's confirmation says went wrong, for the user: the bounce's
// reason or the answer's subject, or that no answer came in time.
QString ProblemText(const QString& outcomeName, const QString& reason, const QString& subject);
// One line of a number's confirmation: the number, the outcome in words,
// the time, the pages, the reason or subject.
QString NumberConfirmationText(const history::TNumberConfirmation& confirmation);
// The text with its control characters as visible escapes (\x1b, \r, \n,
// and "\\" for a backslash), so a text from outside can neither forge a
// line of output nor drive the terminal.
QString VisibleText(const QString& text);
// A time in local time, "yyyy-MM-dd HH:mm:ss"; empty when invalid.
QString LocalTimeText(const QDateTime& time);

}  // namespace app
