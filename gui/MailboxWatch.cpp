#include "gui/MailboxWatch.h"

#include "app/ConfirmationStore.h"
#include "app/HistoryText.h"
#include "app/Notifier.h"

#include <mutex>
#include <thread>

namespace app {

TMailboxWatch::TMailboxWatch() {
    Pending.setSingleShot(true);
    QObject::connect(&Pending, &QTimer::timeout, &Context, [this] { Start(); });
}

TMailboxWatch::~TMailboxWatch() { Stop(); }

void TMailboxWatch::Restart(int DelayMs) {
    Pending.start(DelayMs);
}

// What the watch's thread may still reach after the window let go of it.
struct TMailboxWatch::TLink {
    std::mutex Lock;
    QObject* Context = nullptr;  // nullptr once the window let go

    template <typename F>
    void Post(F f) {
        std::lock_guard<std::mutex> guard(Lock);
        if (Context != nullptr) QMetaObject::invokeMethod(Context, std::move(f), Qt::QueuedConnection);
    }
};

void TMailboxWatch::Stop() {
    Pending.stop();
    if (Link) {
        std::lock_guard<std::mutex> guard(Link->Lock);
        Link->Context = nullptr;
    }
    Link.reset();
    if (!Watch) return;
    Watch->Stop();
    // Its waits end at once on Stop, but a name lookup cannot be cut short:
    // the window does not wait for it.
    std::thread([old = std::move(Watch)]() mutable { old.reset(); }).detach();
}

void TMailboxWatch::Start() {
    Stop();
    const TMailboxSettings mailbox = Mailbox ? Mailbox() : ReadMailboxSettings();
    const TSendSettings send = Send ? Send() : ReadSendSettings();
    if (mailbox.Server.isEmpty()) return;
    const QString password = Password ? Password() : QString();
    if (const QString problem = MailboxSettingsProblem(mailbox, send, password); !problem.isEmpty()) {
        if (OnStatus) OnStatus(problem);
        return;
    }
    watch::TWatchOptions options;
    options.Rules = MatchRulesOf(mailbox);
    const qint64 awaitedSince = mailbox.WatchedSince;
    Watch = std::make_unique<watch::TConfirmationWatch>(
        watch::MakeImapMailbox(), [awaitedSince] { return OpenConfirmationStore(awaitedSince); }, ImapSettingsOf(mailbox, send, password),
        options);
    Link = std::make_shared<TLink>();
    Link->Context = &Context;
    Watch->OnConfirmed = [this, link = Link](const watch::TConfirmed& c) {
        // Told here, on the watch's thread: a minimised or hidden window is
        // not looked at, and a slow notification service never holds it up.
        if (watch::IsProblem(c.Confirmation))
            NotifyFaxProblem(QString::fromStdString(c.Confirmation.Number),
                             ProblemText(QString::fromLatin1(watch::OutcomeName(c.Confirmation.Outcome)),
                                         QString::fromStdString(c.Confirmation.Reason), QString::fromStdString(c.Confirmation.Subject)));
        link->Post([this, c] {
            if (OnConfirmed) OnConfirmed(c);
            // A problem is said as one, over the plain note of an answer.
            if (watch::IsProblem(c.Confirmation) && OnStatus)
                OnStatus(QString::fromUtf8("发往 %1 的传真出了问题：").arg(QString::fromStdString(c.Confirmation.Number)) +
                         ProblemText(QString::fromLatin1(watch::OutcomeName(c.Confirmation.Outcome)),
                                     QString::fromStdString(c.Confirmation.Reason), QString::fromStdString(c.Confirmation.Subject)));
        });
    };
    Watch->OnUnreachable = [this, link = Link, mailbox](const watch::EImapError& e) {
        const QString text = MailboxProblemText(e, mailbox) + QString::fromUtf8(" 稍后再试。");
        link->Post([this, text] {
            if (OnStatus) OnStatus(text);
        });
    };
    Watch->Start();
}

}  // namespace app
