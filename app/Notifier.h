// Telling the user of a fax that went wrong when no window may be looked at:
// a desktop notification through the freedesktop notification service on
// the session bus.
#pragma once

#include <QString>

namespace app {

// "发往 NUMBER 的传真出了问题" with the reason as its text. Nothing happens, and
// nothing is reported, when there is no session bus or no service answers;
// the call waits about two seconds at most. Any thread.
void NotifyFaxProblem(const QString& number, const QString& reason);

}  // namespace app
