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

}  // namespace app
