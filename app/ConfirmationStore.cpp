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
    explicit THistoryConfirmations(qint64 awaitedSince) : AwaitedSince(awaitedSince) {}

    std::vector<watch::TSentFax> Waiting() override {
        std::vector<watch::TSentFax> waiting;
        const QDateTime oldest = QDateTime::currentDateTimeUtc().addDays(-kWaitDays);
        for (const history::TRecord& r : Recent()) {
            if (r.Started < oldest) continue;
            // Only a fax that went out (or may have) gets an answer.
            if (r.Outcome != history::TOutcome::Sent && r.Outcome != history::TOutcome::MaybeSent) continue;
            if (r.Gateways.isEmpty()) continue;
            // Each number as understood, "+1 212-555-1234"; as typed when it was never understood.
            const QStringList numbers = r.Numbers();
            for (int i = 0; i < numbers.size(); ++i) {
                QString outcome;
                for (const history::TNumberConfirmation& c : r.Confirmations)
                    if (c.Index == i) outcome = c.Outcome;
                // These do not end the wait: a (verified) answer may still come.
                const bool unverified = outcome == QLatin1String(watch::OutcomeName(watch::TOutcome::Unverified));
                const bool unanswered = outcome == QLatin1String(watch::OutcomeName(watch::TOutcome::Unanswered));
                const bool delayed = outcome == QLatin1String(watch::OutcomeName(watch::TOutcome::Delayed));
                if (!outcome.isEmpty() && !unverified && !unanswered && !delayed) continue;
                const QString gateway = r.Gateways.value(i, r.Gateways.first());
                waiting.push_back({r.Id, r.Started.toSecsSinceEpoch(), r.MessageId.toStdString(), numbers[i].toStdString(),
                                   gateway.toStdString(), unverified, i, r.Started.toSecsSinceEpoch() >= AwaitedSince, unanswered,
                                   static_cast<int>(numbers.size())});
            }
        }
        return waiting;
    }

    std::set<std::string> UsedAnswers() override {
        std::set<std::string> used;
        for (const history::TRecord& r : Recent())
            for (const history::TNumberConfirmation& c : r.Confirmations)
                if (!c.Subject.isEmpty() || c.Outcome != QLatin1String(watch::OutcomeName(watch::TOutcome::Unanswered)))
                    used.insert(watch::AnswerKey(c.Time.toSecsSinceEpoch(), c.Subject.toStdString()));
        return used;
    }

    void Confirm(std::int64_t Fax, const watch::TConfirmation& c) override {
        Store.ConfirmNumber(Fax, {c.Index, QString::fromStdString(c.Number), QString::fromLatin1(watch::OutcomeName(c.Outcome)),
                                  QString::fromStdString(c.Subject), QDateTime::fromSecsSinceEpoch(c.Time, QTimeZone::utc()),
                                  QString::fromStdString(c.Reason), c.Pages});
    }

private:
    std::vector<history::TRecord> Recent() {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // The answers already used may belong to records a little older than the waiting ones.
        return Store.Between(now.addDays(-2 * kWaitDays), now.addDays(1));
    }

    qint64 AwaitedSince;
    history::THistory Store;  // its own connection, on the thread that uses it
};

}  // namespace

std::unique_ptr<watch::TConfirmationStore> OpenConfirmationStore(qint64 AwaitedSince) {
    return std::make_unique<THistoryConfirmations>(AwaitedSince);
}

}  // namespace app
