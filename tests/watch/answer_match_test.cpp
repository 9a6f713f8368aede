#include "watch/AnswerMatch.h"

#include "tests/watch/delivery_reports.h"

#include <gtest/gtest.h>

namespace watch {
namespace {

constexpr char kNumber[] = "001-212-1234567";
constexpr char kGateway[] = "remote-printer.the_following_address@12121234567.iddd.faxgateway.example";

TEST(AnswerMatch, NamesTheNumberInEveryCommonForm) {
    const struct {
        const char* Text;
        bool Names;
    } cases[] = {
        {"Fax to 12121234567 delivered", true},
        {"Fax to +1 212 1234567: sent", true},
        {"Fax an +1-212-123-4567", true},
        {"Fax to 001 (212) 1234567", true},
        {"Fax to 0012121234567", true},
        {"Fax to 212-1234567", true},
        {"Fax to (0212) 123 4567", true},
        {"Fax an +1 (212) 123-4567", true},
        {"传真 +1.212.1234567 已发送", true},
        {"remote-printer@12121234567.iddd.faxgateway.example", true},
        {"Fax to +1 212 7654321 delivered", false},
        {"Fax to 212123456", false},     // one digit short
        {"Fax to 121212345678", false},  // one digit more
        {"Job ID12121234567", false},    // part of a word
        {"2 pages, 0 errors", false},
    };
    // The design's form, and the full number as the history keeps it.
    for (const char* number : {kNumber, "+1 212-123-4567"})
        for (const auto& c : cases) EXPECT_EQ(NamesNumber(c.Text, number), c.Names) << number << ": " << c.Text;
}

TEST(AnswerMatch, TellsTheOutcomeFromEditableWords) {
    const struct {
        const char* Subject;
        const char* Text;
        TOutcome Outcome;
    } cases[] = {
        {"Fax delivered", "", TOutcome::Delivered},
        {"Your fax was sent SUCCESSFULLY", "", TOutcome::Delivered},
        {"传真发送成功", "", TOutcome::Delivered},
        {"Fax status", "The fax has been sent.", TOutcome::Delivered},
        {"Fax failed: busy", "", TOutcome::Failed},
        {"Fax not sent: no answer", "", TOutcome::Failed},
        {"传真失败", "", TOutcome::Failed},
        {"对方忙", "", TOutcome::Failed},
        {"Fax delivered", "If a fax failed, call us.", TOutcome::Delivered},  // the subject speaks first
        {"Fax report", "Pages: 2, errors: 0, resent: no", TOutcome::Answered},  // whole words only
        {"Fax report", "See the attached report.", TOutcome::Answered},
    };
    for (const auto& c : cases) {
        TAnswer answer;
        answer.Subject = c.Subject;
        answer.Text = c.Text;
        EXPECT_EQ(OutcomeOf(answer, TOutcomeWords{}), c.Outcome) << c.Subject << " / " << c.Text;
    }
    TAnswer custom;
    custom.Subject = "Transmission OK";
    EXPECT_EQ(OutcomeOf(custom, TOutcomeWords{{"ok"}, {}}), TOutcome::Delivered);
}

TEST(AnswerMatch, KnowsTheGatewaysSenders) {
    const struct {
        const char* Sender;
        const char* Pattern;
        bool Gateway;
    } cases[] = {
        {"noreply@iddd.faxgateway.example", "", true},
        {"noreply@faxgateway.example", "", true},
        {"status@mx.iddd.faxgateway.example", "", true},
        {"NoReply@FaxGateway.Example", "", true},
        {"noreply@example", "", false},  // a bare top-level domain is no gateway
        {"friend@elsewhere.example", "", false},
        {"fax@notify.example.net", "*@notify.example.net", true},
        {"noreply@faxgateway.example", "*@notify.example.net", false},
    };
    for (const auto& c : cases) EXPECT_EQ(FromGateway(c.Sender, kGateway, kNumber, c.Pattern), c.Gateway) << c.Sender;
}

// The user's own server, and what it says of a gateway's genuine answer.
constexpr char kMailServer[] = "imap.example.org";
constexpr char kPassed[] = "mx.example.org; dkim=pass header.d=faxgateway.example";

TMatchRules OwnServer() {
    TMatchRules rules;
    rules.MailServer = kMailServer;
    return rules;
}

TAnswer Answer(std::uint32_t uid, std::int64_t arrived, const std::string& from, const std::string& subject,
               const std::string& inReplyTo = "", const std::string& authentication = kPassed) {
    TAnswer a;
    a.AuthenticationResults = authentication;
    a.Uid = uid;
    a.Arrived = arrived;
    a.From = from;
    a.Subject = subject;
    a.MessageId = "answer" + std::to_string(uid) + "@gw";
    a.InReplyTo = inReplyTo;
    return a;
}

TEST(AnswerMatch, EachFaxTakesTheFirstAnswerAndEachAnswerOneFax) {
    const std::string gw = "noreply@faxgateway.example";
    const std::vector<TSentFax> faxes = {
        {1, 1000, "<one@me>", "001-212-1234567", kGateway},
        {2, 1100, "<two@me>", "001-212-1234567", kGateway},  // the same number again
        {3, 1200, "<three@me>", "0044-20-71234567", "remote-printer.the_following_address@442071234567.iddd.faxgateway.example"},
        {4, 1300, "<four@me>", "0086-10-12345678", "remote-printer.the_following_address@861012345678.iddd.faxgateway.example"},
    };
    const std::vector<TAnswer> answers = {
        Answer(1, 900, gw, "Fax to 12121234567 delivered"),        // before any send: no one's
        Answer(2, 1150, gw, "Fax to 12121234567 failed: busy"),     // the earliest waiting fax
        Answer(3, 1160, gw, "Fax to 12121234567 delivered"),        // the next one
        Answer(4, 1170, gw, "Fax to 12121234567 delivered"),        // none left for it
        Answer(5, 1250, "x@elsewhere.example", "Re: your fax", "<three@me>"),  // by reference only
        Answer(6, 1260, gw, "Fax to +44 20 7123 4567 delivered"),   // three has its answer
        Answer(7, 1350, gw, "Fax to +86 10 1234 5678 sent"),        // already on a record
    };
    const std::set<std::string> used = {AnswerKey(1350, "Fax to +86 10 1234 5678 sent")};
    const std::vector<TMatch> matches = MatchAnswers(faxes, answers, used, OwnServer());
    ASSERT_EQ(matches.size(), 3u);
    EXPECT_EQ(matches[0].Fax, 1);
    EXPECT_EQ(matches[0].Answer, 1u);
    EXPECT_EQ(matches[0].Outcome, TOutcome::Failed);
    EXPECT_EQ(matches[1].Fax, 2);
    EXPECT_EQ(matches[1].Answer, 2u);
    EXPECT_EQ(matches[1].Outcome, TOutcome::Delivered);
    EXPECT_EQ(matches[2].Fax, 3);
    EXPECT_EQ(matches[2].Answer, 4u);
    EXPECT_EQ(matches[2].Outcome, TOutcome::Answered);
}

TEST(AnswerMatch, BelievesOnlyTheOwnServersPassForTheSendersDomain) {
    const char* sender = "noreply@faxgateway.example";
    const struct {
        const char* Header;
        bool Passed;
    } cases[] = {
        {kPassed, true},
        {"mx.example.org 1; spf=pass (sender SPF authorized) smtp.mailfrom=bounce@faxgateway.example", true},
        {"imap.example.org; dkim=pass header.i=@faxgateway.example", true},
        {"MX.Example.Org;\r\n\tDKIM=pass header.d=\"FaxGateway.Example\"", true},
        {"example.org; spf=fail smtp.mailfrom=faxgateway.example; dkim=pass header.d=faxgateway.example", true},
        {"mx.example.org; dkim=fail header.d=faxgateway.example", false},
        {"mx.example.org; dkim=pass header.d=evil.example", false},             // another domain's signature
        {"mx.example.org; spf=pass smtp.mailfrom=x@sub.faxgateway.example", false},
        {"mx.example.org; dkim=pass (header.d=faxgateway.example)", false},     // a comment is no result
        {"mx.evil.example; dkim=pass header.d=faxgateway.example", false},      // someone else's server
        {"org; dkim=pass header.d=faxgateway.example", false},
        {"mx.example.org; none", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(SenderAuthenticated(c.Header, sender, kMailServer), c.Passed) << c.Header;
    EXPECT_FALSE(SenderAuthenticated(kPassed, sender, ""));  // no mailbox server known: nothing to believe
}

TEST(AnswerMatch, AMatchByDomainAndNumberAloneIsUnverifiedUntilAVerifiedOneComes) {
    const std::string gw = "noreply@faxgateway.example";
    std::vector<TSentFax> faxes = {{1, 1000, "<one@me>", kNumber, kGateway}, {2, 1000, "<two@me>", "0044-20-71234567",
                                                                               "fax@442071234567.iddd.faxgateway.example"}};
    const std::vector<TAnswer> answers = {
        Answer(1, 1100, gw, "Fax to 12121234567 delivered", "", ""),                          // spoofed: no results
        Answer(2, 1110, gw, "Fax to +44 20 7123 4567 delivered", "<two@me>", ""),            // by reference: as ever
        Answer(3, 1120, gw, "Fax to 12121234567 failed", "", "evil.example; dkim=pass header.d=faxgateway.example"),
    };
    std::vector<TMatch> matches = MatchAnswers(faxes, answers, {}, OwnServer());
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].Fax, 1);
    EXPECT_EQ(matches[0].Outcome, TOutcome::Unverified);
    EXPECT_EQ(matches[1].Fax, 2);
    EXPECT_EQ(matches[1].Outcome, TOutcome::Delivered);

    // Holding an unverified answer, the fax takes no other unverified one, but a verified one.
    faxes.resize(1);
    faxes[0].Unverified = true;
    const std::vector<TAnswer> later = {answers[2], Answer(4, 1200, gw, "Fax to 12121234567 delivered")};
    matches = MatchAnswers(faxes, later, {}, OwnServer());
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_EQ(matches[0].Answer, 1u);
    EXPECT_EQ(matches[0].Outcome, TOutcome::Delivered);
}

// Read in pages, keeping only the candidates, the matches are those of the whole mailbox.
TEST(AnswerMatch, PagesKeepingTheCandidatesMatchAsTheWholeMailbox) {
    const std::string gw = "noreply@faxgateway.example";
    const std::vector<TSentFax> faxes = {
        {1, 1000, "<one@me>", kNumber, kGateway},
        {2, 1001, "<two@me>", kNumber, kGateway},
        {3, 1002, "<three@me>", "0044-20-71234567", "fax@442071234567.iddd.faxgateway.example"},
    };
    std::vector<TAnswer> all;
    for (std::uint32_t uid = 1; uid <= 300; ++uid) {
        // Arrival out of UID order, mostly unrelated mail, answers scattered.
        const std::int64_t arrived = 2000 - static_cast<std::int64_t>(uid % 97) * 7;
        if (uid % 50 == 7) all.push_back(Answer(uid, arrived, gw, "Fax to 12121234567 delivered"));
        else if (uid % 60 == 11) all.push_back(Answer(uid, arrived, gw, "Fax to +44 20 7123 4567 failed"));
        else if (uid == 250) all.push_back(Answer(uid, arrived, "x@elsewhere.example", "Re: fax", "<two@me>"));
        else all.push_back(Answer(uid, arrived, "friend@elsewhere.example", "Lunch " + std::to_string(uid)));
    }
    const std::set<std::string> used = {AnswerKey(all[56].Arrived, all[56].Subject)};
    const std::vector<TMatch> whole = MatchAnswers(faxes, all, used, OwnServer());
    std::vector<TAnswer> kept;
    for (std::size_t first = 0; first < all.size(); first += 40) {
        kept.insert(kept.end(), all.begin() + static_cast<std::ptrdiff_t>(first),
                    all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), first + 40)));
        kept = Candidates(faxes, std::move(kept), used, OwnServer());
        EXPECT_LE(kept.size(), faxes.size() * faxes.size());
    }
    const std::vector<TMatch> paged = MatchAnswers(faxes, kept, used, OwnServer());
    ASSERT_EQ(paged.size(), whole.size());
    ASSERT_EQ(whole.size(), 3u);
    for (std::size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(paged[i].Fax, whole[i].Fax);
        EXPECT_EQ(kept[paged[i].Answer].Uid, all[whole[i].Answer].Uid);
        EXPECT_EQ(paged[i].Outcome, whole[i].Outcome);
    }
}

// A fax to two numbers, bounced for the second in each mail system's shape:
// that number fails with the status and diagnostic, the other still waits.
TEST(AnswerMatch, ABounceFailsTheNumbersItNamesInEveryShape) {
    using testing::TBounceShape;
    const std::string second = "remote-printer.the_following_address@442071234567.iddd.faxgateway.example";
    const std::vector<TSentFax> fax = {{7, 1000, "<fax7@me>", kNumber, kGateway, false, 0, false, false, 2},
                                       {7, 1000, "<fax7@me>", "0044-20-71234567", second, false, 1, false, false, 2}};
    const struct {
        TBounceShape Shape;
        const char* MessageId;
        const char* Action;
        const char* Status;
        TOutcome Outcome;  // Answered: not matched
        const char* Reason;
    } cases[] = {
        {TBounceShape::Postfix, "<fax7@me>", "failed", "5.1.1", TOutcome::Failed,
         "5.1.1 550 5.1.1 <remote-printer.the_following_address@442071234567.iddd.faxgateway.example>: Recipient address rejected: User unknown"},
        {TBounceShape::Exchange, "<fax7@me>", "failed", "5.1.10", TOutcome::Failed,
         "5.1.10 550 5.1.10 RESOLVER.ADR.RecipientNotFound; Recipient not found by SMTP address lookup"},
        {TBounceShape::Gmail, "<fax7@me>", "failed", "5.1.1", TOutcome::Failed,
         "5.1.1 550-5.1.1 The email account that you tried to reach does not exist. 550 5.1.1 https://support.example/mail/?p=NoSuchUser"},
        {TBounceShape::Postfix, "<fax7@me>", "delayed", "4.4.1", TOutcome::Delayed, nullptr},
        {TBounceShape::Postfix, "<other@me>", "failed", "5.1.1", TOutcome::Answered, nullptr},  // another mail's
        {TBounceShape::Gmail, "<other@me>", "failed", "5.1.1", TOutcome::Answered, nullptr},
    };
    for (const auto& c : cases) {
        const testing::TBounce bounce = testing::Bounce(c.Shape, c.MessageId, second, c.Action, c.Status);
        TAnswer answer = Answer(1, 1100, "MAILER-DAEMON@mx.example.org", "Undelivered Mail Returned to Sender", "", "");
        if (c.Shape == TBounceShape::Gmail) answer.InReplyTo = std::string(c.MessageId).substr(1, std::string(c.MessageId).size() - 2);
        answer.Report = ReadDeliveryReport(bounce.ContentType, bounce.Body);
        ASSERT_TRUE(answer.Report.has_value()) << static_cast<int>(c.Shape);
        const std::vector<TMatch> matches = MatchAnswers(fax, {answer}, {}, OwnServer());
        if (c.Outcome == TOutcome::Answered) {
            EXPECT_TRUE(matches.empty()) << static_cast<int>(c.Shape);
            continue;
        }
        ASSERT_EQ(matches.size(), 1u) << static_cast<int>(c.Shape);
        EXPECT_EQ(matches[0].Index, 1);
        EXPECT_EQ(matches[0].Outcome, c.Outcome);
        if (c.Reason != nullptr) {
            EXPECT_EQ(matches[0].Reason, c.Reason);
        }
    }
    // Naming an address of neither number, it fails a fax to one number, and none of a fax to two.
    TAnswer elsewhere = Answer(2, 1100, "MAILER-DAEMON@mx.example.org", "Undelivered Mail Returned to Sender", "", "");
    const testing::TBounce passedOn = testing::Bounce(TBounceShape::Postfix, "<fax7@me>", "printer@lan.faxgateway.example");
    elsewhere.Report = ReadDeliveryReport(passedOn.ContentType, passedOn.Body);
    EXPECT_TRUE(MatchAnswers(fax, {elsewhere}, {}, OwnServer()).empty());
    std::vector<TSentFax> single = {fax[0]};
    single[0].Numbers = 1;
    const std::vector<TMatch> alone = MatchAnswers(single, {elsewhere}, {}, OwnServer());
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0].Outcome, TOutcome::Failed);
    // Not a report: a mail that only looks like one.
    EXPECT_FALSE(ReadDeliveryReport("multipart/mixed; boundary=x", "--x\r\n\r\nhi\r\n--x--\r\n"));
}

TEST(AnswerMatch, AnAnswerReferringToAFaxOfSeveralNumbersGoesToTheOneItNames) {
    const std::vector<TSentFax> fax = {{7, 1000, "<fax7@me>", kNumber, kGateway, false, 0},
                                       {7, 1000, "<fax7@me>", "0044-20-71234567", "fax@442071234567.iddd.faxgateway.example", false, 1}};
    const std::vector<TAnswer> answers = {Answer(1, 1100, "x@elsewhere.example", "Fax to +44 20 7123 4567 delivered, 3 pages", "<fax7@me>"),
                                          Answer(2, 1200, "x@elsewhere.example", "Re: your fax", "<fax7@me>")};
    const std::vector<TMatch> matches = MatchAnswers(fax, answers, {}, OwnServer());
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].Index, 1);
    EXPECT_EQ(matches[0].Pages, 3);
    EXPECT_EQ(matches[1].Index, 0);
    EXPECT_EQ(matches[1].Pages, -1);
}

TEST(AnswerMatch, ReadsThePagesSent) {
    const struct {
        const char* Text;
        int Pages;
    } cases[] = {
        {"Pages: 3", 3}, {"Fax sent, 12 pages", 12}, {"PagesSent=4", 4}, {"Pages sent: 2", 2}, {"传真已发送，共3页", 3},
        {"1 page delivered", 1}, {"Job ID12 pages", -1}, {"Fax delivered", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(PagesOf(c.Text), c.Pages) << c.Text;
}

}  // namespace
}  // namespace watch
