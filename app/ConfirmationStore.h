// The send history as the confirmation watch uses it: the faxes waiting for
// an answer, and the answer put on each record. Each call opens its own
// connection, so the watch may use it from its thread.
#pragma once

#include "watch/ConfirmationWatch.h"

#include <QtGlobal>

#include <memory>

namespace app {

// AwaitedSince: the faxes sent since then (seconds since 1970 UTC) were sent
// while a mailbox was set, and are told when they stay unanswered.
std::unique_ptr<watch::TConfirmationStore> OpenConfirmationStore(qint64 AwaitedSince);

}  // namespace app
