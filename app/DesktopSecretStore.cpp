// The desktop's secret store (Secret Service through QtKeychain), as a
// module of its own that SecretStore.cpp loads when a password is to be kept
// or read.
#include "app/SecretStore.h"

#include "app/Settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace app {
namespace {

class TDesktopSecretStore : public TSecretStore {
public:
    void Read(const QString& key, TReply reply) override {
        auto* job = new QKeychain::ReadPasswordJob(Service());
        Start(job, key, [reply = std::move(reply)](QKeychain::Job* done) {
            const auto outcome = OutcomeOf(*done);
            reply(outcome, outcome == TOutcome::Done ? static_cast<QKeychain::ReadPasswordJob*>(done)->textData() : QString());
        });
    }

    void Write(const QString& key, const QString& secret, TReply reply) override {
        auto* job = new QKeychain::WritePasswordJob(Service());
        job->setTextData(secret);
        Start(job, key, [reply = std::move(reply)](QKeychain::Job* done) { reply(OutcomeOf(*done), QString()); });
    }

    void Remove(const QString& key, TReply reply) override {
        Start(new QKeychain::DeletePasswordJob(Service()), key,
              [reply = std::move(reply)](QKeychain::Job* done) { reply(OutcomeOf(*done), QString()); });
    }

    void Finish(int limitMs) override {
        const QDeadlineTimer deadline(limitMs);
        QTimer wake;  // ends each wait below in time for the deadline check
        wake.start(20);
        while (Pending > 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    }

private:
    static QString Service() { return QString::fromLatin1(kOrganisationName) + '/' + kSettingsApplicationName; }

    static TOutcome OutcomeOf(const QKeychain::Job& job) {
        switch (job.error()) {
            case QKeychain::NoError:
                return TOutcome::Done;
            case QKeychain::EntryNotFound:
                return TOutcome::NotFound;
            default:
                return TOutcome::Failed;
        }
    }

    void Start(QKeychain::Job* job, const QString& key, std::function<void(QKeychain::Job*)> finished) {
        job->setAutoDelete(true);
        // Never a plain-text copy next to the settings when no store answers.
        job->setInsecureFallback(false);
        job->setKey(key);
        ++Pending;
        // Context: a reply that comes after the store is gone is dropped.
        QObject::connect(job, &QKeychain::Job::finished, &Context, [this, finished = std::move(finished)](QKeychain::Job* done) {
            --Pending;
            finished(done);
        });
        job->start();
    }

    QObject Context;
    int Pending = 0;
};

}  // namespace
}  // namespace app

extern "C" [[gnu::visibility("default")]] app::TSecretStore* faxmail_make_secret_store() { return new app::TDesktopSecretStore; }
