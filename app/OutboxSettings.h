// What the front ends share of the outbox: its settings, and the one way a
// fax given up is told to the user.
#pragma once

#include "outbox/Outbox.h"

#include <QString>

#include <functional>

namespace app {

// outbox/giveUpHours: how long a fax is retried (default 24).
int OutboxGiveUpHours();
// outbox/queueOnFailure (失败时放入发件箱): the window queues a temporary failure (default on).
bool QueueOnFailure();
void SetQueueOnFailure(bool queue);

// The number(s) and the reason of a fax the outbox gave up; the front end
// sets where it goes (a desktop notification), nothing when unset.
using TGivenUpNotice = std::function<void(const QString& Numbers, const QString& Reason)>;
TGivenUpNotice& GivenUpNotice();
// Tells the user of a fax given up through GivenUpNotice.
void TellGivenUp(const outbox::TEntry& Entry);

}  // namespace app
