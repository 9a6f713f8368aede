#include "watch/ConfirmationWatch.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace watch {

std::vector<TConfirmed> ReadAnswersOnce(TImapMailbox& Mailbox, TConfirmationStore& Store, const TMatchRules& Rules,
                                        std::int64_t SinceSlack, std::uint32_t& LastUid) {
    const std::vector<TSentFax> waiting = Store.Waiting();
    if (waiting.empty()) return {};
    std::int64_t oldest = waiting.front().SentAt;
    for (const TSentFax& fax : waiting) oldest = std::min(oldest, fax.SentAt);
    // Page by page, keeping only the answers that could still be chosen: a
    // large mailbox is never held whole.
    const std::set<std::string> used = Store.UsedAnswers();
    std::vector<TAnswer> answers;
    for (;;) {
        std::vector<TAnswer> page = Mailbox.Fetch(oldest - SinceSlack, LastUid);
        const std::uint32_t before = LastUid;
        for (const TAnswer& answer : page) LastUid = std::max(LastUid, answer.Uid);
        if (page.empty() || LastUid == before) break;
        answers.insert(answers.end(), std::make_move_iterator(page.begin()), std::make_move_iterator(page.end()));
        answers = Candidates(waiting, std::move(answers), used, Rules);
    }
    std::vector<TConfirmed> confirmed;
    std::set<std::pair<std::int64_t, int>> matched;
    const auto numberOf = [&](std::int64_t fax, int index) {
        for (const TSentFax& f : waiting)
            if (f.Id == fax && f.Index == index) return f.Number;
        return std::string();
    };
    for (const TMatch& match : MatchAnswers(waiting, answers, used, Rules)) {
        const TAnswer& answer = answers[match.Answer];
        TConfirmed item{match.Fax,
                        {match.Outcome, answer.Arrived, answer.Subject, match.Index, numberOf(match.Fax, match.Index), match.Reason, match.Pages}};
        Store.Confirm(item.Fax, item.Confirmation);
        matched.insert({match.Fax, match.Index});
        confirmed.push_back(std::move(item));
    }
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (const TSentFax& fax : waiting) {
        if (Rules.AnswerWithinSeconds <= 0 || !fax.Awaited || fax.Unanswered || fax.Unverified) continue;
        if (matched.count({fax.Id, fax.Index}) != 0 || now - fax.SentAt < Rules.AnswerWithinSeconds) continue;
        TConfirmed item{fax.Id, {TOutcome::Unanswered, fax.SentAt + Rules.AnswerWithinSeconds, "", fax.Index, fax.Number, "", -1}};
        Store.Confirm(item.Fax, item.Confirmation);
        confirmed.push_back(std::move(item));
    }
    return confirmed;
}

bool IsProblem(const TConfirmation& Confirmation) {
    return Confirmation.Outcome == TOutcome::Failed || Confirmation.Outcome == TOutcome::Unanswered;
}

TConfirmationWatch::TConfirmationWatch(std::unique_ptr<TImapMailbox> AMailbox, TStoreFactory AMakeStore,
                                       TImapSettings ASettings, TWatchOptions AOptions)
    : Mailbox(std::move(AMailbox)), MakeStore(std::move(AMakeStore)), Settings(std::move(ASettings)), Options(AOptions) {}

TConfirmationWatch::~TConfirmationWatch() {
    Stop();
    Join();
}

void TConfirmationWatch::Start() {
    if (Worker.joinable()) return;
    Worker = std::thread([this] { Run(); });
}

void TConfirmationWatch::Stop() {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Stopping = true;
    }
    Wake.notify_all();
    Mailbox->Stop();
}

void TConfirmationWatch::Join() {
    if (Worker.joinable()) Worker.join();
}

bool TConfirmationWatch::Pause(int Seconds) {
    std::unique_lock<std::mutex> guard(Lock);
    Wake.wait_for(guard, std::chrono::seconds(Seconds), [this] { return Stopping.load(); });
    return !Stopping;
}

void TConfirmationWatch::Run() {
    bool reported = false;  // an unreachable mailbox is reported once until it works again
    bool reachable = false;
    std::unique_ptr<TConfirmationStore> store;
    while (!Stopping) {
        try {
            if (!store) store = MakeStore();
            Mailbox->Open(Settings);
            if (!reachable && reported && OnReachable) OnReachable();
            reachable = true;
            reported = false;
            std::uint32_t lastUid = 0;
            std::uint32_t validity = Mailbox->UidValidity();
            while (!Stopping) {
                if (Mailbox->UidValidity() != validity) lastUid = 0, validity = Mailbox->UidValidity();
                for (const TConfirmed& item : ReadAnswersOnce(*Mailbox, *store, Options.Rules, Options.SinceSlack, lastUid))
                    if (OnConfirmed) OnConfirmed(item);
                if (!Mailbox->WaitForNews(Mailbox->OffersIdle() ? Options.IdleSeconds : Options.PollSeconds)) break;
            }
        } catch (const EImapError& e) {
            if (Stopping) break;
            reachable = false;
            if (!reported && OnUnreachable) OnUnreachable(e);
            reported = true;
        } catch (const std::exception& e) {
            // The store failed: try again later, as for the mailbox.
            if (Stopping) break;
            store.reset();
            if (!reported && OnUnreachable) OnUnreachable(EImapError(TImapStage::Read, rtl::TErrorKind::Other, e.what()));
            reported = true;
        }
        Mailbox->Close();
        if (!Pause(Options.RetrySeconds)) break;
    }
    Mailbox->Close();
    Finished = true;
}

}  // namespace watch
