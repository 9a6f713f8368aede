// Which answer in the mailbox belongs to which fax, and what it says. Pure
// functions: no mailbox, no store, no clock.
#pragma once

#include "watch/ImapMailbox.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace watch {

// Unverified: the answer came by the gateway's domain and the number alone,
// and nothing shows its sender is who it claims to be. Delayed: a mail server
// still tries to deliver the fax's mail. Unanswered: nothing came within the
// answer period. The last three do not end the wait for a real answer.
enum class TOutcome { Delivered, Failed, Answered, Unverified, Delayed, Unanswered };

// "delivered", "failed", "answered", "unverified", "delayed", "unanswered":
// the names scripts read.
const char* OutcomeName(TOutcome Outcome);

// One number of a sent fax still waiting for its answer, as the history
// holds it: a fax to several numbers waits once for each.
struct TSentFax {
    std::int64_t Id = 0;
    std::int64_t SentAt = 0;  // seconds since 1970 UTC, when the send began
    std::string MessageId;    // with or without angle brackets
    std::string Number;       // 001-212-1234567, +12121234567: a form the number front reads without a home country
    std::string Gateway;      // the address it went to
    bool Unverified = false;  // it holds an unverified answer: only a verified one replaces it
    int Index = 0;            // which of the fax's numbers
    bool Awaited = false;     // sent while a mailbox was set: its silence is told
    bool Unanswered = false;  // already marked unanswered
    int Numbers = 1;          // how many numbers the fax went to
};

// The words that tell the outcome (UTF-8). A word of Latin letters counts as
// a whole word in any case; others (Chinese) wherever they appear.
struct TOutcomeWords {
    std::vector<std::string> Delivered{"delivered", "successfully", "sent", "成功", "已发送"};
    std::vector<std::string> Failed{"failed", "failure", "busy", "no answer", "error", "失败", "忙"};
};

struct TMatchRules {
    TOutcomeWords Words;
    // A sender pattern for the gateway's answers (shell wildcards, any case,
    // e.g. "*@notify.example.net"); empty: the gateway address's domain.
    std::string SenderPattern;
    // The user's own mail server (the mailbox's host): the Authentication-Results
    // it adds are believed, those of anyone else are not.
    std::string MailServer;
    // How long an awaited fax may stay without an answer; 0: for ever.
    std::int64_t AnswerWithinSeconds = 4 * 3600;
};

// The answer names the message (In-Reply-To or References).
bool RefersTo(const TAnswer& Answer, const std::string& MessageId);
// The sender is the gateway's: the pattern, else the gateway address's
// domain (the labels that hold the number left out), its parents or children.
bool FromGateway(const std::string& Sender, const std::string& GatewayAddress, const std::string& Number,
                 const std::string& SenderPattern);
// The text names the fax number in any common written form: with or without
// the country code, "+", "00" or a trunk "0", blanks, hyphens, dots, brackets.
bool NamesNumber(const std::string& Text, const std::string& Number);
// The Authentication-Results header was added by the user's own server (its
// authserv-id is MailServer or a name in MailServer's parent domain) and
// says DKIM (header.d or header.i) or SPF (smtp.mailfrom) passed for the
// sender's domain.
bool SenderAuthenticated(const std::string& AuthenticationResults, const std::string& Sender, const std::string& MailServer);
// Failure words first (an answer that says "not sent: busy" failed), in
// the subject first, then in the text.
TOutcome OutcomeOf(const TAnswer& Answer, const TOutcomeWords& Words);
// The pages an answer says were sent ("Pages: 3", "3 pages", "PagesSent=3",
// "共3页"); -1 when it says nothing of them.
int PagesOf(const std::string& Text);

struct TMatch {
    std::size_t Answer = 0;  // index into the answers
    std::int64_t Fax = 0;    // TSentFax::Id
    TOutcome Outcome = TOutcome::Answered;
    int Index = 0;           // TSentFax::Index
    std::string Reason;      // a bounce's status and diagnostic
    int Pages = -1;
};

// What names an answer on a record: its arrival time and subject, the two
// things the record keeps of it.
std::string AnswerKey(std::int64_t Arrived, const std::string& Subject);

// Answers in order of arrival; each fax takes the first answer that matches
// it, and an answer goes to one fax only: the one it refers to (of its
// numbers the one the text names), else the earliest sent. Answers whose key
// is in Used are already on a record. A match by the gateway's domain and
// the number alone says Unverified unless SenderAuthenticated. A bounce goes
// by the Message-ID alone, to each number whose gateway address it names
// (a fax to one number also when it names another address, or none), and
// fails it or notes its delay.
std::vector<TMatch> MatchAnswers(const std::vector<TSentFax>& Faxes, const std::vector<TAnswer>& Answers,
                                 const std::set<std::string>& Used, const TMatchRules& Rules);

// The answers MatchAnswers could still give to a fax: for each fax its
// Faxes.size() earliest possible answers (the others' can take no more than
// one each). What is left out would never be chosen, so a mailbox read in
// pages needs to keep only these.
std::vector<TAnswer> Candidates(const std::vector<TSentFax>& Faxes, std::vector<TAnswer> Answers,
                                const std::set<std::string>& Used, const TMatchRules& Rules);

}  // namespace watch
