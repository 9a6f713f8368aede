// The outbox on its own: which failures it takes, its back-off, its copies
// and the give-up time. Sending from it is run end to end by the front ends.
#include "outbox/Outbox.h"

#include "mail/ReplyError.h"
#include "mail/Smtp.h"
#include "net/ZelSock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlQuery>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using rtl::TErrorKind;

namespace {

mail::ESmtpReplyError Reply(TErrorKind kind, const char* command, std::int16_t code) {
    return mail::ESmtpReplyError(std::to_string(code) + " text", kind, command, code, "", {});
}

mode_t ModeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(OutboxRule, QueuesWhatIsSafeToRetryAndNothingThatNeedsTheUserOrMayHaveGone) {
    struct Case {
        const char* what;
        std::function<void()> raise;
        bool queued;
    };
    const std::vector<Case> cases = {
        {"no connection", [] { throw net::ESockError("refused", TErrorKind::ConnectionRefused); }, true},
        {"no route", [] { throw net::ESockError("unreachable", TErrorKind::Unreachable); }, true},
        {"lookup", [] { throw net::ESockError("no host", TErrorKind::LookupFailed); }, true},
        {"time-out", [] { throw net::ESockError("late", TErrorKind::TimedOut); }, true},
        {"closed before the end mark", [] { throw net::ESockError("closed", TErrorKind::ClosedByPeer); }, true},
        {"451 greeting", [] { throw Reply(TErrorKind::Refused, "greeting", 421); }, true},
        {"451 MAIL FROM", [] { throw Reply(TErrorKind::SenderRefused, "MAIL FROM", 451); }, true},
        {"451 RCPT", [] { throw Reply(TErrorKind::RecipientRefused, "RCPT TO", 451); }, true},
        {"452 DATA", [] { throw Reply(TErrorKind::Refused, "DATA", 452); }, true},
        {"451 end mark", [] { throw Reply(TErrorKind::Refused, ".", 451); }, true},
        {"550 RCPT", [] { throw Reply(TErrorKind::RecipientRefused, "RCPT TO", 550); }, false},
        {"554 end mark", [] { throw Reply(TErrorKind::Refused, ".", 554); }, false},
        {"552 too large", [] { throw Reply(TErrorKind::TooLarge, ".", 552); }, false},
        {"454 login", [] { throw Reply(TErrorKind::LoginUnavailable, "AUTH", 454); }, false},
        {"535 login", [] { throw Reply(TErrorKind::LoginRefused, "AUTH", 535); }, false},
        {"454 STARTTLS", [] { throw Reply(TErrorKind::StartTlsRefused, "STARTTLS", 454); }, false},
        {"TLS", [] { throw rtl::Exception("handshake", TErrorKind::TlsUntrusted); }, false},
        {"refused before connecting", [] { throw rtl::Exception("field", TErrorKind::Invalid); }, false},
        {"stopped", [] { throw net::EAbortError("stop"); }, false},
        {"broken server", [] { throw rtl::Exception("junk", TErrorKind::Protocol); }, false},
        {"no reply to the end mark", [] { throw mail::EMaybeDelivered("maybe", TErrorKind::TimedOut); }, false},
        {"closed after the end mark", [] { throw mail::EMaybeDelivered("maybe", TErrorKind::ClosedByPeer); }, false},
    };
    for (const Case& c : cases) {
        try {
            c.raise();
            ADD_FAILURE() << c.what << " raised nothing";
        } catch (const std::exception& e) {
            EXPECT_EQ(outbox::SafeToRetry(e), c.queued) << c.what;
        }
    }
}

TEST(Outbox, KeepsPrivateCopiesUntilTheFaxHasGoneAndFailsADamagedOne) {
    QTemporaryDir folder;
    const QString original = folder.filePath("scan.pdf");
    QFile file(original);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("%PDF first");
    file.close();
    outbox::TOutbox box(folder.filePath("data/outbox.sqlite"), folder.filePath("data/outbox"));
    fax::TSendRequest request;
    request.Number = rtl::TGbText("001-212-5551234");
    request.Password = rtl::TUtf8Text("secret");
    request.Files = {rtl::TFilePath(QFile::encodeName(original).toStdString()), rtl::TFilePath(QFile::encodeName(original).toStdString())};
    QString error;
    const qint64 first = box.Add(request, "command line", QDateTime::currentDateTimeUtc(), 0, "", error);
    const qint64 second = box.Add(request, "command line", QDateTime::currentDateTimeUtc(), 0, "", error);
    ASSERT_NE(first, 0) << error.toStdString();
    ASSERT_NE(second, 0) << error.toStdString();
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("changed after queueing");
    file.close();

    const std::optional<outbox::TEntry> taken = box.Claim();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->Id, first);
    EXPECT_TRUE(taken->Request.Password.IsEmpty());
    ASSERT_EQ(taken->Request.Files.size(), 2u);
    const QString copy = QFile::decodeName(QByteArray::fromStdString(taken->Request.Files[0].Bytes()));
    EXPECT_EQ(QFileInfo(copy).fileName(), "scan.pdf");
    QFile copied(copy);
    ASSERT_TRUE(copied.open(QIODevice::ReadOnly));
    EXPECT_EQ(copied.readAll(), "%PDF first");
    EXPECT_EQ(ModeOf(copy), 0600u);
    EXPECT_EQ(ModeOf(folder.filePath("data/outbox")), 0700u);
    EXPECT_EQ(ModeOf(QFileInfo(copy).absolutePath()), 0700u);
    EXPECT_EQ(ModeOf(folder.filePath("data/outbox.sqlite")), 0600u);
    box.Sent(first);
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("data/outbox/%1").arg(first)));

    // The second fax's copy damaged: failed when taken, never sent.
    const QString other = folder.filePath("data/outbox/%1/0/scan.pdf").arg(second);
    QFile damaged(other);
    ASSERT_TRUE(damaged.open(QIODevice::Append));
    damaged.write("x");
    damaged.close();
    EXPECT_FALSE(box.Claim());
    EXPECT_EQ(box.Find(second)->State, outbox::TState::Failed);
    EXPECT_TRUE(box.Delete(second));
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("data/outbox/%1").arg(second)));
    EXPECT_TRUE(box.List().empty());
}

TEST(Outbox, RetriesAfterTheBackOffUntilTheGiveUpTimeThenFailsAndTells) {
    QTemporaryDir folder;
    outbox::TOutbox box(folder.filePath("outbox.sqlite"), folder.filePath("outbox"));
    QDateTime now = QDateTime::fromString("2026-12-10T08:00:00.000Z", Qt::ISODateWithMs);
    box.Now = [&] { return now; };
    box.GiveUpHours = 2;
    std::vector<qint64> told;
    box.OnGivenUp = [&](const outbox::TEntry& entry) { told.push_back(entry.Id); };
    fax::TSendRequest request;
    request.Number = rtl::TGbText("001-212-5551234");
    QString error;
    const qint64 id = box.Add(request, "window", now.addSecs(60), 1, "no connection", error);
    ASSERT_NE(id, 0) << error.toStdString();

    EXPECT_FALSE(box.Claim()) << "not due yet";
    // Tries 2 to 5 wait 5, 15, 30 and 60 minutes; the next wait would pass the give-up time.
    now = now.addSecs(60);
    for (int minutes : {5, 15, 30, 60}) {
        ASSERT_TRUE(box.Claim()) << minutes;
        box.Failed(id, "451 try later", true);
        EXPECT_EQ(box.Find(id)->Due, now.addSecs(minutes * 60));
        EXPECT_FALSE(box.Claim());
        now = now.addSecs(minutes * 60);
    }
    EXPECT_TRUE(told.empty());
    ASSERT_TRUE(box.Claim());
    box.Failed(id, "451 try later", true);
    const outbox::TEntry entry = *box.Find(id);
    EXPECT_EQ(entry.State, outbox::TState::Failed);
    EXPECT_EQ(entry.Tries, 6);
    EXPECT_TRUE(entry.LastFailure.endsWith("451 try later"));
    EXPECT_EQ(told, std::vector<qint64>{id});
    EXPECT_FALSE(box.Claim());
}

// The claim of a process that is gone: due again, unless its end mark had gone out.
TEST(Outbox, AClaimLeftByAKilledProcessIsDueAgainUnlessItsEndMarkWentOut) {
    QTemporaryDir folder;
    outbox::TOutbox box(folder.filePath("outbox.sqlite"), folder.filePath("outbox"));
    fax::TSendRequest request;
    request.Number = rtl::TGbText("001-212-5551234");
    QString error;
    const qint64 cut = box.Add(request, "command line", QDateTime::currentDateTimeUtc(), 0, "", error);
    const qint64 ended = box.Add(request, "command line", QDateTime::currentDateTimeUtc(), 0, "", error);
    ASSERT_TRUE(box.Claim() && box.Claim());
    box.EndMarkGoing(ended);
    box.Release();
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "killed");
        db.setDatabaseName(folder.filePath("outbox.sqlite"));
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec(QString("UPDATE faxes SET claim_pid = %1").arg(gone)));
        db.close();
    }
    QSqlDatabase::removeDatabase("killed");

    const std::optional<outbox::TEntry> again = box.Claim();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Id, cut);
    EXPECT_FALSE(box.Claim());
    EXPECT_EQ(box.Find(ended)->State, outbox::TState::MaybeSent);
}
