#include "app/ConfirmationStore.h"

#include "history/History.h"

#include <QDateTime>
#include <QTimeZone>

namespace app {
namespace {

// How far back a fax still waits for its answer: gateways answer within
// minutes or hours, and an answer days late is still worth having.
constexpr qint64 kWaitDays = 14;

class THistoryConfirmations final : public watch::TConfirmationStore {
public:
    std::vector<watch::TSentFax> Waiting() override {
        std::vector<watch::TSentFax> waiting;
        const QDateTime oldest = QDateTime::currentDateTimeUtc().addDays(-kWaitDays);
        for (const history::TRecord& r : Recent()) {
            if (r.Started < oldest) continue;
            // Only a fax that went out (or may have) gets an answer.
            if (r.Outcome != history::TOutcome::Sent && r.Outcome != history::TOutcome::MaybeSent) continue;
            // An unverified answer does not end the wait: a verified one may still come.
            const bool unverified = r.Confirmation == QLatin1String(watch::OutcomeName(watch::TOutcome::Unverified));
            if ((!r.Confirmation.isEmpty() && !unverified) || r.Gateways.isEmpty()) continue;
            // The number as understood, "+1 212-555-1234"; as typed when it was never
            // understood. A message to several numbers waits for the first one's answer.
            const QString number = (r.Number.isEmpty() ? r.NumberTyped : r.Number).section(history::kListSeparator, 0, 0);
            waiting.push_back({r.Id, r.Started.toSecsSinceEpoch(), r.MessageId.toStdString(), number.toStdString(),
                               r.Gateways.first().toStdString(), unverified});
        }
        return waiting;
    }

    std::set<std::string> UsedAnswers() override {
        std::set<std::string> used;
        for (const history::TRecord& r : Recent())
            if (!r.Confirmation.isEmpty())
                used.insert(watch::AnswerKey(r.ConfirmationTime.toSecsSinceEpoch(), r.ConfirmationSubject.toStdString()));
        return used;
    }

    void Confirm(std::int64_t Fax, const watch::TConfirmation& c) override {
        Store.SetConfirmation(Fax, QString::fromLatin1(watch::OutcomeName(c.Outcome)), QString::fromStdString(c.Subject),
                              QDateTime::fromSecsSinceEpoch(c.Time, QTimeZone::utc()));
    }

private:
    std::vector<history::TRecord> Recent() {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // The answers already used may belong to records a little older than the waiting ones.
        return Store.Between(now.addDays(-2 * kWaitDays), now.addDays(1));
    }

    history::THistory Store;  // its own connection, on the thread that uses it
};

}  // namespace

std::unique_ptr<watch::TConfirmationStore> OpenConfirmationStore() { return std::make_unique<THistoryConfirmations>(); }

}  // namespace app
