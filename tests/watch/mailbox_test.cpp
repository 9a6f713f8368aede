// The watch against a real IMAP server: dovecot with its own configuration,
// answers placed in its Maildir as a gateway's mail would arrive.
#include "watch/ConfirmationWatch.h"

#include "tests/support/DovecotServer.h"
#include "tests/support/ProcessMemory.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TestCertificates.h"
#include "tests/watch/delivery_reports.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>

namespace watch {
namespace {

using testsupport::DovecotServer;

// The history as the watch sees it, in memory.
class TMemoryStore final : public TConfirmationStore {
public:
    explicit TMemoryStore(std::vector<TSentFax> faxes) : Faxes(std::move(faxes)) {}
    std::vector<TSentFax> Waiting() override {
        std::lock_guard<std::mutex> guard(Lock);
        std::vector<TSentFax> waiting;
        for (const TSentFax& fax : Faxes)
            if (Confirmed.count(fax.Id) == 0) waiting.push_back(fax);
        return waiting;
    }
    std::set<std::string> UsedAnswers() override {
        std::lock_guard<std::mutex> guard(Lock);
        std::set<std::string> keys;
        for (const auto& [id, c] : Confirmed) keys.insert(AnswerKey(c.Time, c.Subject));
        return keys;
    }
    void Confirm(std::int64_t fax, const TConfirmation& confirmation) override {
        std::lock_guard<std::mutex> guard(Lock);
        Confirmed[fax] = confirmation;
    }
    std::map<std::int64_t, TConfirmation> Snapshot() {
        std::lock_guard<std::mutex> guard(Lock);
        return Confirmed;
    }

private:
    std::mutex Lock;
    std::vector<TSentFax> Faxes;
    std::map<std::int64_t, TConfirmation> Confirmed;
};

std::string Gateway(const std::string& digits) {
    return "remote-printer.the_following_address@" + digits + ".iddd.faxgateway.example";
}

std::string Mail(const std::string& from, const std::string& subject, const std::string& extra = "", const std::string& body = "") {
    static int n = 0;
    return "From: " + from + "\r\nTo: me@example.org\r\nSubject: " + subject + "\r\nMessage-ID: <m" + std::to_string(++n) +
           "." + std::to_string(::time(nullptr)) + "@mail.example>\r\n" + extra + "\r\n" + body + "\r\n";
}

// What the user's own server (the mailbox's host, "localhost" here) adds to a
// gateway's genuine answer.
constexpr char kPassed[] = "Authentication-Results: localhost; dkim=pass header.d=faxgateway.example\r\n";

TMatchRules OwnServer() {
    TMatchRules rules;
    rules.MailServer = "localhost";
    return rules;
}

class Mailbox : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Server = new DovecotServer(); }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }

    static TImapSettings Settings(TImapSecurity security = TImapSecurity::StartTls) {
        TImapSettings s;
        s.Server = "localhost";
        s.Port = security == TImapSecurity::StartTls ? Server->StartTlsPort() : Server->TlsPort();
        s.Security = security;
        s.Login = DovecotServer::kUser;
        s.Password = DovecotServer::kPassword;
        s.TrustFile = testsupport::Certificates().Authority;
        s.WaitSeconds = 10;
        return s;
    }

    static DovecotServer* Server;
};

DovecotServer* Mailbox::Server = nullptr;

// Bounces in three mail systems' shapes fail their fax with the status; a
// delay is only noted; the bounce of another mail belongs to no fax.
TEST_F(Mailbox, ABounceFailsItsFaxWithTheStatus) {
    using testing::Bounce;
    using testing::TBounceShape;
    Server->Clear();
    const std::int64_t sent = ::time(nullptr) - 600;
    TMemoryStore store({
        {1, sent, "<b1@me.example>", "001-212-1234567", Gateway("12121234567")},
        {2, sent, "<b2@me.example>", "0044-20-71234567", Gateway("442071234567")},
        {3, sent, "<b3@me.example>", "0086-10-12345678", Gateway("861012345678")},
        {4, sent, "<b4@me.example>", "0033-1-23456789", Gateway("3312345678")},
        {5, sent, "<b5@me.example>", "0049-30-1234567", Gateway("49301234567")},
    });
    Server->Deliver(Bounce(TBounceShape::Postfix, "<b1@me.example>", Gateway("12121234567")).Whole(), sent + 10);
    Server->Deliver(Bounce(TBounceShape::Exchange, "<b2@me.example>", Gateway("442071234567"), "failed", "5.1.10").Whole(), sent + 20);
    Server->Deliver(Bounce(TBounceShape::Gmail, "<b3@me.example>", Gateway("861012345678")).Whole(), sent + 30);
    Server->Deliver(Bounce(TBounceShape::Postfix, "<b4@me.example>", Gateway("3312345678"), "delayed", "4.4.1").Whole(), sent + 40);
    Server->Deliver(Bounce(TBounceShape::Postfix, "<lunch@me.example>", "friend@elsewhere.example").Whole(), sent + 50);

    auto mailbox = MakeImapMailbox();
    mailbox->Open(Settings());
    std::uint32_t lastUid = 0;
    ReadAnswersOnce(*mailbox, store, OwnServer(), 86400, lastUid);
    mailbox->Close();

    const auto records = store.Snapshot();
    ASSERT_EQ(records.size(), 4u);
    const std::pair<std::int64_t, const char*> failed[] = {{1, "5.1.1 550 5.1.1"}, {2, "5.1.10 550 5.1.10 RESOLVER"}, {3, "5.1.1 550-5.1.1"}};
    for (const auto& [fax, status] : failed) {
        EXPECT_EQ(records.at(fax).Outcome, TOutcome::Failed) << fax;
        EXPECT_EQ(records.at(fax).Reason.rfind(status, 0), 0u) << fax << ": " << records.at(fax).Reason;
    }
    EXPECT_EQ(records.at(4).Outcome, TOutcome::Delayed);
    EXPECT_EQ(records.count(5), 0u);
}

TEST_F(Mailbox, PutsEachAnswerOnItsRecordAndLeavesTheFlags) {
    const std::int64_t sent = ::time(nullptr) - 600;
    const std::string gw = "Fax Service <noreply@faxgateway.example>";
    TMemoryStore store({
        {1, sent, "<f1@me.example>", "001-212-1234567", Gateway("12121234567")},
        {2, sent, "<f2@me.example>", "0044-20-71234567", Gateway("442071234567")},
        {3, sent, "<f3@me.example>", "0086-10-12345678", Gateway("861012345678")},
        {4, sent, "<f4@me.example>", "0033-1-23456789", Gateway("3312345678")},
        {5, sent, "<f5@me.example>", "0049-30-1234567", Gateway("49301234567")},
    });
    Server->Deliver(Mail("old@faxgateway.example", "Fax to +33 1 23456789 delivered"), sent - 60, "S");  // before the send
    Server->Deliver(Mail("friend@elsewhere.example", "Lunch on Friday?"), sent + 10, "S");
    Server->Deliver(Mail(gw, "Fax to +1 999 1234567 delivered"), sent + 20);  // another number
    Server->Deliver(Mail(gw, "Fax to +1 212 1234567 delivered (2 pages)", kPassed), sent + 30, "SF");
    Server->Deliver(Mail(gw, "=?UTF-8?B?5Lyg55yf?= 0044-20-7123 4567",
                         std::string(kPassed) + "Content-Type: text/plain; charset=utf-8\r\n", "Transmission failed: no answer"),
                    sent + 40);
    // Anyone may write from the gateway's domain; a result of the sender's own making, below the
    // user's server's, changes nothing.
    Server->Deliver(Mail("anyone@faxgateway.example", "Fax to +49 30 1234567 delivered",
                         "Authentication-Results: localhost; dkim=none\r\n"
                         "Authentication-Results: localhost; dkim=pass header.d=faxgateway.example\r\n"),
                    sent + 45);
    Server->Deliver(Mail("postmaster@isp.example", "Re: your document", "In-Reply-To: <f3@me.example>\r\n"), sent + 50);
    const std::vector<std::string> before = Server->MessageFiles();

    auto mailbox = MakeImapMailbox();
    mailbox->Open(Settings());
    std::uint32_t lastUid = 0;
    const std::vector<TConfirmed> confirmed = ReadAnswersOnce(*mailbox, store, OwnServer(), 86400, lastUid);
    mailbox->Close();

    EXPECT_EQ(confirmed.size(), 4u);
    const auto records = store.Snapshot();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records.at(1).Outcome, TOutcome::Delivered);
    EXPECT_EQ(records.at(1).Subject, "Fax to +1 212 1234567 delivered (2 pages)");
    EXPECT_EQ(records.at(1).Time, sent + 30);
    EXPECT_EQ(records.at(2).Outcome, TOutcome::Failed);
    EXPECT_EQ(records.at(2).Subject, "传真 0044-20-7123 4567");
    EXPECT_EQ(records.at(3).Outcome, TOutcome::Answered);
    EXPECT_EQ(records.count(4), 0u);
    EXPECT_EQ(records.at(5).Outcome, TOutcome::Unverified);
    // EXAMINE and BODY.PEEK: no flag moved, nothing renamed.
    EXPECT_EQ(Server->MessageFiles(), before);

    // A second pass finds nothing new for the records that have their answer.
    auto again = MakeImapMailbox();
    again->Open(Settings(TImapSecurity::ImplicitTls));
    std::uint32_t fromStart = 0;
    EXPECT_TRUE(ReadAnswersOnce(*again, store, OwnServer(), 86400, fromStart).empty());
}

TEST_F(Mailbox, AnAnswerArrivingDuringTheWatchReachesItsRecordAtOnce) {
    const std::int64_t sent = ::time(nullptr) - 5;
    auto* store = new TMemoryStore({{7, sent, "<f7@me.example>", "0061-2-98765432", Gateway("61298765432")}});
    TWatchOptions options;
    options.RetrySeconds = 1;
    options.Rules = OwnServer();
    TConfirmationWatch watch(MakeImapMailbox(), [store] { return std::unique_ptr<TConfirmationStore>(store); },
                             Settings(TImapSecurity::ImplicitTls), options);
    std::promise<TConfirmed> arrived;
    watch.OnConfirmed = [&](const TConfirmed& c) { arrived.set_value(c); };
    watch.Start();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the watch is idling on the folder by now
    Server->Deliver(Mail("noreply@faxgateway.example", "Fax to +61 2 9876 5432: 成功", kPassed), ::time(nullptr));
    auto future = arrived.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const TConfirmed c = future.get();
    EXPECT_EQ(c.Fax, 7);
    EXPECT_EQ(c.Confirmation.Outcome, TOutcome::Delivered);

    const auto stopping = std::chrono::steady_clock::now();
    watch.Stop();
    watch.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(3));
}

TEST_F(Mailbox, AnUnreachableMailboxIsReportedOnceAndTriedAgain) {
    TImapSettings settings = Settings();
    settings.Port = Server->StartTlsPort();
    settings.Server = "127.0.0.2";  // nothing listens there
    TWatchOptions options;
    options.RetrySeconds = 1;
    // The real mailbox, its attempts counted.
    struct TCounting final : TImapMailbox {
        std::unique_ptr<TImapMailbox> Inner = MakeImapMailbox();
        std::atomic<int>& Opened;
        explicit TCounting(std::atomic<int>& opened) : Opened(opened) {}
        void Open(const TImapSettings& s) override {
            ++Opened;
            Inner->Open(s);
        }
        std::vector<TAnswer> Fetch(std::int64_t since, std::uint32_t after) override { return Inner->Fetch(since, after); }
        std::uint32_t UidValidity() const override { return Inner->UidValidity(); }
        bool OffersIdle() const override { return Inner->OffersIdle(); }
        bool WaitForNews(int seconds) override { return Inner->WaitForNews(seconds); }
        void Stop() override { Inner->Stop(); }
        void Close() override { Inner->Close(); }
    };
    std::atomic<int> attempts{0};
    TConfirmationWatch watch(std::make_unique<TCounting>(attempts),
                             [] { return std::make_unique<TMemoryStore>(std::vector<TSentFax>{}); }, settings, options);
    std::atomic<int> reports{0};
    watch.OnUnreachable = [&](const EImapError&) { ++reports; };
    watch.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (attempts < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    watch.Stop();
    watch.Join();
    EXPECT_GE(attempts.load(), 3);
    EXPECT_EQ(reports.load(), 1);
}

TEST_F(Mailbox, ReportsAWrongPasswordAndAnUntrustedCertificate) {
    TImapSettings wrongPassword = Settings();
    wrongPassword.Password = "not-the-password";
    TImapSettings untrusted = Settings(TImapSecurity::ImplicitTls);
    untrusted.TrustFile.clear();
    TImapSettings untrustedStartTls = Settings();
    untrustedStartTls.TrustFile.clear();
    const struct {
        const char* Name;
        TImapSettings Settings;
        TImapStage Stage;
        rtl::TErrorKind Kind;
        const char* Says;
    } cases[] = {
        {"wrong password", wrongPassword, TImapStage::Login, rtl::TErrorKind::Refused, "Authentication failed"},
        // "服务器证书由未知的颁发机构签发" in GB2312, as the SMTP client says it
        {"untrusted, TLS", untrusted, TImapStage::Secure, rtl::TErrorKind::Tls, "\xb7\xfe\xce\xf1\xc6\xf7\xd6\xa4\xca\xe9\xd3\xc9\xce\xb4\xd6\xaa"},
        {"untrusted, STARTTLS", untrustedStartTls, TImapStage::Secure, rtl::TErrorKind::Tls, "\xb7\xfe\xce\xf1\xc6\xf7\xd6\xa4\xca\xe9\xd3\xc9\xce\xb4\xd6\xaa"},
    };
    for (const auto& c : cases) {
        auto mailbox = MakeImapMailbox();
        try {
            mailbox->Open(c.Settings);
            ADD_FAILURE() << c.Name << ": opened";
        } catch (const EImapError& e) {
            EXPECT_EQ(e.Stage, c.Stage) << c.Name;
            EXPECT_EQ(e.Kind, c.Kind) << c.Name;
            EXPECT_NE(e.Message.find(c.Says), std::string::npos) << c.Name << ": " << e.Message;
            EXPECT_EQ(e.Message.find(DovecotServer::kPassword), std::string::npos) << c.Name;
        }
    }
}

// 20 000 messages since the fax, each with 4 KB of text (held whole, about 90 MB).
// Its own suite: once is enough, not in every locale.
class LargeMailbox : public Mailbox {};

TEST_F(LargeMailbox, IsReadInPagesWithBoundedMemory) {
    Server->Clear();
    const std::int64_t sent = ::time(nullptr) - 3600;
    const std::string text(4000, 'x');
    for (int i = 0; i < 20000; ++i)
        Server->Deliver(Mail("friend@elsewhere.example", "Note " + std::to_string(i), "", text), sent + 1 + i % 3000);
    Server->Deliver(Mail("noreply@faxgateway.example", "Fax to +1 212 1234567 delivered", kPassed), sent + 3500);
    TMemoryStore store({{1, sent, "<f1@me.example>", "001-212-1234567", Gateway("12121234567")}});
    auto mailbox = MakeImapMailbox();
    mailbox->Open(Settings());
    testsupport::ResetPeak();
    const long before = testsupport::StatusKb("VmRSS");
    std::uint32_t lastUid = 0;
    const std::vector<TConfirmed> confirmed = ReadAnswersOnce(*mailbox, store, OwnServer(), 86400, lastUid);
    const long growth = testsupport::StatusKb("VmHWM") - before;
    mailbox->Close();
    Server->Clear();
    ASSERT_EQ(confirmed.size(), 1u);
    EXPECT_EQ(confirmed[0].Confirmation.Outcome, TOutcome::Delivered);
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peak growth " << growth << " kB: the sanitizer holds freed memory in its quarantine";
#endif
    EXPECT_LT(growth, 32 * 1024);
}

// Each would empty the INBOX were it sent as it stands.
TEST_F(Mailbox, AControlCharacterInTheLoginPasswordOrFolderIsRefusedBeforeConnecting) {
    Server->Clear();
    for (int i = 0; i < 3; ++i) Server->Deliver(Mail("friend@elsewhere.example", "Note " + std::to_string(i)), ::time(nullptr) - 60);
    const std::vector<std::string> before = Server->MessageFiles();
    // No quote or backslash, which the quoting would escape: the password as a LITERAL+.
    const std::string injected = std::string("\r\nA0 LOGIN ") + DovecotServer::kUser + " {" +
                                 std::to_string(std::strlen(DovecotServer::kPassword)) + "+}\r\n" + DovecotServer::kPassword +
                                 "\r\nA1 SELECT INBOX\r\nA2 FETCH 1:* BODY[]\r\nA3 CREATE Trash2\r\nA4 MOVE 1:* Trash2\r\nA5 NOOP";
    TImapSettings login = Settings(), password = Settings(), folder = Settings(), tab = Settings();
    login.Login += injected;
    password.Password += injected;
    folder.Folder += injected;
    tab.Folder += "\tx\x7f";
    const struct {
        const char* Name;
        TImapSettings Settings;
        TImapStage Stage;
    } cases[] = {
        {"login", login, TImapStage::Login},
        {"password", password, TImapStage::Login},
        {"folder", folder, TImapStage::Folder},
        {"tab and DEL", tab, TImapStage::Folder},
    };
    for (const auto& c : cases) {
        auto mailbox = MakeImapMailbox();
        try {
            mailbox->Open(c.Settings);
            ADD_FAILURE() << c.Name << ": opened";
        } catch (const EImapError& e) {
            EXPECT_EQ(e.Stage, c.Stage) << c.Name;
            EXPECT_EQ(e.Kind, rtl::TErrorKind::Invalid) << c.Name;
        }
        mailbox->Close();
        EXPECT_EQ(Server->MessageFiles(), before) << c.Name;

        // Refused before connecting: a listener there sees no one.
        testsupport::ScriptedPeer peer;
        peer.Send("* OK ready\r\n").ReadUntilClose();
        peer.Start();
        TImapSettings elsewhere = c.Settings;
        elsewhere.Server = "127.0.0.1";
        elsewhere.Port = peer.Port();
        EXPECT_THROW(MakeImapMailbox()->Open(elsewhere), EImapError) << c.Name;
        peer.Finish();
        EXPECT_EQ(peer.ConnectionsAccepted(), 0) << c.Name;
    }
}

}  // namespace
}  // namespace watch
