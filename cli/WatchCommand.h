// `faxmail watch`: reads the mailbox for the gateways' answers and puts each
// on its fax's record, once or until stopped.
#pragma once

#include <QStringList>

namespace app {

// The arguments as QCoreApplication has them ("faxmail", "watch", ...); the
// exit status: 0 read, 1 the mailbox could not be read, 2 usage, 130 interrupted.
int WatchCommand(const QStringList& arguments);

}  // namespace app
