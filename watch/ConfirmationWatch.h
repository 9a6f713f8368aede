// The confirmation watch: reads the mailbox for the gateways' answers and
// puts each on its fax's record. It runs on a thread of its own, so neither
// the windows nor a send ever wait for the mailbox; the store it writes to
// must be one it may use from that thread.
#pragma once

#include "watch/AnswerMatch.h"
#include "watch/ImapMailbox.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace watch {

// What came (or did not) for one number of a fax.
struct TConfirmation {
    TOutcome Outcome = TOutcome::Answered;
    std::int64_t Time = 0;  // when the answer arrived (unanswered: when the period ended), seconds since 1970 UTC
    std::string Subject = {};  // UTF-8; empty when unanswered
    int Index = 0;          // which of the fax's numbers (TSentFax::Index)
    std::string Number = {};  // that number
    std::string Reason = {};  // a bounce's status and diagnostic
    int Pages = -1;         // the pages the answer says were sent; -1: not said
};

// Where the records are: the send history behind a small interface.
class TConfirmationStore {
public:
    virtual ~TConfirmationStore() = default;
    // The faxes that went out and have no answer yet.
    virtual std::vector<TSentFax> Waiting() = 0;
    // The answers already on a record: AnswerKey(time, subject) of each confirmation.
    // An unanswered mark is none: its subject is empty.
    virtual std::set<std::string> UsedAnswers() = 0;
    virtual void Confirm(std::int64_t Fax, const TConfirmation& Confirmation) = 0;
};

struct TWatchOptions {
    TMatchRules Rules;
    int PollSeconds = 180;     // without IDLE: how often to look
    int IdleSeconds = 600;     // with IDLE: renewed well before servers end it (30 min)
    int RetrySeconds = 300;    // after the mailbox could not be reached
    std::int64_t SinceSlack = 86400;  // search from the day before the oldest waiting fax
};

// One pass over the mailbox, on the calling thread: fetches what arrived
// since LastUid, matches it against the waiting faxes, marks unanswered the
// awaited ones whose answer period has passed (Rules.AnswerWithinSeconds,
// by the clock now), writes the confirmations and returns them with their
// fax. Raises EImapError.
struct TConfirmed {
    std::int64_t Fax = 0;
    TConfirmation Confirmation;
};
// The user is to be told of it: the fax failed or stayed unanswered.
bool IsProblem(const TConfirmation& Confirmation);
std::vector<TConfirmed> ReadAnswersOnce(TImapMailbox& Mailbox, TConfirmationStore& Store, const TMatchRules& Rules,
                                        std::int64_t SinceSlack, std::uint32_t& LastUid);

class TConfirmationWatch {
public:
    using TStoreFactory = std::function<std::unique_ptr<TConfirmationStore>()>;
    using TConfirmedEvent = std::function<void(const TConfirmed&)>;
    // Unreachable: when the mailbox fails after having worked (or at the
    // start); Reachable: when it works again. Both on the watch's thread.
    using TProblemEvent = std::function<void(const EImapError&)>;
    using TNotifyEvent = std::function<void()>;

    TConfirmationWatch(std::unique_ptr<TImapMailbox> Mailbox, TStoreFactory MakeStore, TImapSettings Settings,
                       TWatchOptions Options);
    ~TConfirmationWatch();  // stops and joins
    TConfirmationWatch(const TConfirmationWatch&) = delete;
    TConfirmationWatch& operator=(const TConfirmationWatch&) = delete;

    TConfirmedEvent OnConfirmed;
    TProblemEvent OnUnreachable;
    TNotifyEvent OnReachable;

    void Start();
    // Any thread; returns at once. The thread ends within about a second.
    void Stop();
    void Join();
    bool Running() const { return Worker.joinable() && !Finished; }

private:
    void Run();
    bool Pause(int Seconds);

    std::unique_ptr<TImapMailbox> Mailbox;
    TStoreFactory MakeStore;
    TImapSettings Settings;
    TWatchOptions Options;
    std::thread Worker;
    std::atomic<bool> Stopping{false};
    std::atomic<bool> Finished{false};
    std::mutex Lock;
    std::condition_variable Wake;
};

}  // namespace watch
