#include "app/OutboxSettings.h"

#include "app/Settings.h"

#include <QSettings>

namespace app {

int OutboxGiveUpHours() {
    bool ok = false;
    const int hours = OpenSettings()->value("outbox/giveUpHours", 24).toInt(&ok);
    return ok && hours > 0 ? hours : 24;
}

bool QueueOnFailure() { return OpenSettings()->value("outbox/queueOnFailure", true).toBool(); }

void SetQueueOnFailure(bool queue) { OpenSettings()->setValue("outbox/queueOnFailure", queue); }

TGivenUpNotice& GivenUpNotice() {
    static TGivenUpNotice notice;
    return notice;
}

void TellGivenUp(const outbox::TEntry& Entry) {
    if (GivenUpNotice()) GivenUpNotice()(Entry.Numbers, Entry.LastFailure);
}

}  // namespace app
