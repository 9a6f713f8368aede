// The window's confirmation watch: runs the watch on its own thread with the
// page's settings, restarts it (after a pause) when they change, and hands
// its news to the window's thread: an answer that arrived, or once, in
// Chinese, that the mailbox cannot be reached (it is tried again later).
#pragma once

#include "app/MailboxSettings.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

namespace app {

class TMailboxWatch {
public:
    TMailboxWatch();
    ~TMailboxWatch();
    TMailboxWatch(const TMailboxWatch&) = delete;
    TMailboxWatch& operator=(const TMailboxWatch&) = delete;

    // On the window's thread.
    std::function<void(const watch::TConfirmed&)> OnConfirmed;
    std::function<void(const QString&)> OnStatus;
    // The settings to use when the watch (re)starts; called on the window's thread.
    std::function<TMailboxSettings()> Mailbox;
    std::function<TSendSettings()> Send;
    std::function<QString()> Password;

    // (Re)starts the watch after DelayMs, with the settings as they are then;
    // an empty mailbox server stops it.
    void Restart(int DelayMs = 2000);
    void Stop();
    bool Running() const { return Watch != nullptr; }

private:
    void Start();
    struct TLink;
    QObject Context;  // queued calls from the watch's thread land here
    std::shared_ptr<TLink> Link;
    QTimer Pending;
    std::unique_ptr<watch::TConfirmationWatch> Watch;
};

}  // namespace app
