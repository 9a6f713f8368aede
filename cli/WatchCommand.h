// `faxmail watch`: reads the mailbox for the gateways' answers and puts each
// on its fax's record, once or until stopped.
#pragma once

#include <QStringList>

namespace app {

// The arguments as QCoreApplication has them ("faxmail", "watch", ...); the
// exit status: 0 read, 1 refused before connecting, 2 usage, 3 or 4 the
// mailbox could not be read, 6 a fax failed or went unanswered, 130 interrupted.
int WatchCommand(const QStringList& arguments);

}  // namespace app
