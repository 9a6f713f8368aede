// The send history: the store on its own, and sends recorded through the
// recorder against a real SMTP server (aiosmtpd).
#include "history/History.h"
#include "history/SendRecorder.h"
#include "platform/CodePage.h"

#include "tests/support/RealSmtpServer.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using history::TOutcome;
using history::TRecord;

namespace {

TRecord Attempt(const char* number) {
    TRecord r;
    r.FrontEnd = history::kCommandLine;
    r.Started = QDateTime::currentDateTimeUtc();
    r.NumberTyped = number;
    return r;
}

// The Message-ID header of a message the server stored.
std::string ReceivedMessageId(const testsupport::RealSmtpServer& server, int n) {
    std::ifstream file(server.Message(n) + ".eml", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::smatch match;
    const std::string s = text.str();
    return std::regex_search(s, match, std::regex("\r\nMessage-ID: ([^\r\n]*)\r\n")) ? match[1].str() : std::string();
}

}  // namespace

TEST(HistoryStore, KeepsTheNewestRecordsWithEveryFieldAndFindsThemByTime) {
    QTemporaryDir folder;
    history::THistory store(folder.filePath("h/history.sqlite"));
    store.Keep = 3;
    TRecord first = Attempt("001-212-5551234");
    first.Started = QDateTime::fromString("2026-01-02T03:04:05.678Z", Qt::ISODateWithMs);
    first.Files = {{"/tmp/a b.pdf", 12, "ab12"}};
    first.Gateways = {"fax@1.example", "fax@2.example"};
    ASSERT_TRUE(store.Add(first));
    first.Outcome = TOutcome::MaybeSent;
    first.Reply = "250 2.0.0 Ok: queued as 4QfX1";
    first.MessageId = "<1.2@example.com>";
    first.Ended = first.Started.addSecs(9);
    ASSERT_TRUE(store.Update(first));
    ASSERT_TRUE(store.SetConfirmation(first.Id, "delivered", "Fax OK", first.Ended));
    const auto found = store.Between(first.Started.addSecs(-1), first.Started.addSecs(1));
    ASSERT_EQ(found.size(), 1u);
    const TRecord& r = found[0];
    EXPECT_EQ(r.Id, first.Id);
    EXPECT_EQ(r.Started, first.Started);
    EXPECT_EQ(r.Ended, first.Ended);
    EXPECT_EQ(r.Outcome, TOutcome::MaybeSent);
    EXPECT_EQ(r.QueueId(), "4QfX1");
    EXPECT_EQ(r.Gateways, first.Gateways);
    ASSERT_EQ(r.Files.size(), 1u);
    EXPECT_EQ(r.Files[0].Name(), "a b.pdf");
    EXPECT_EQ(r.Files[0].Size, 12);
    EXPECT_EQ(r.Confirmation, "delivered");
    EXPECT_EQ(r.ConfirmationTime, first.Ended);

    for (const char* n : {"2", "3", "4"}) {
        TRecord next = Attempt(n);
        ASSERT_TRUE(store.Add(next));
    }
    std::vector<QString> numbers;
    for (const TRecord& kept : store.Latest(0)) numbers.push_back(kept.NumberTyped);
    EXPECT_EQ(numbers, (std::vector<QString>{"4", "3", "2"}));
    EXPECT_EQ(store.Latest(1, store.Latest(1)[0].Id)[0].NumberTyped, "3");
}

TEST(HistoryStore, ADatabaseOfANewerProgramIsLeftAsItIs) {
    QTemporaryDir folder;
    const QString path = folder.filePath("history.sqlite");
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("PRAGMA user_version = 99");
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");
    history::THistory store(path);
    QStringList notices;
    store.OnNotice = [&](const QString& text) { notices << text; };
    TRecord r = Attempt("1");
    EXPECT_FALSE(store.Add(r));
    EXPECT_EQ(notices.size(), 1);
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_FALSE(QFile::exists(path + "-wal"));
}

// It holds addresses, paths and servers: the owner's alone under the usual umask.
TEST(HistoryStore, TheFolderAndTheFilesAreTheOwnersAloneWhateverTheUmask) {
    QTemporaryDir folder;
    const QString path = folder.filePath("faxmail/history.sqlite");
    const mode_t saved = ::umask(022);
    history::THistory store(path);
    TRecord r = Attempt("1");
    const bool added = store.Add(r);
    ::umask(saved);
    ASSERT_TRUE(added);
    const auto mode = [](const QString& p) {
        struct stat st {};
        return ::lstat(QFile::encodeName(p).constData(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    EXPECT_EQ(mode(folder.filePath("faxmail")), 0700u);
    for (const QString& file : {path, path + "-wal", path + "-shm"}) EXPECT_EQ(mode(file), 0600u) << file.toStdString();
}

// A link planted at the history, its companions or the name it would be set
// aside under is never followed: the file it points to stays as it was.
TEST(HistoryStore, ALinkAtTheHistoryOrWhereItIsSetAsideIsNeverFollowed) {
    for (const char* planted : {"", "-wal", "-shm"}) {
        SCOPED_TRACE(planted);
        QTemporaryDir folder;
        const QString path = folder.filePath("history.sqlite");
        const QString victim = folder.filePath("victim");
        testsupport::WriteTextFile(victim.toStdString(), "mine");
        ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(path + planted).constData()), 0);
        history::THistory store(path);
        QStringList notices;
        store.OnNotice = [&](const QString& text) { notices << text; };
        TRecord r = Attempt("1");
        EXPECT_FALSE(store.Add(r));
        ASSERT_EQ(notices.size(), 1);
        EXPECT_TRUE(notices[0].contains(QString::fromUtf8("不是普通文件"))) << notices[0].toStdString();
        QFile file(victim);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), "mine");
    }
    // Dangling links at every name the next seconds could give the damaged file.
    QTemporaryDir folder;
    const QString path = folder.filePath("history.sqlite");
    const QString victim = folder.filePath("victim");
    testsupport::WriteTextFile(path.toStdString(), std::string(8192, 'x'));
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 30; ++s) {
        const QString aside = path + ".damaged-" + now.addSecs(s).toString("yyyyMMdd-HHmmss");
        ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(aside).constData()), 0);
    }
    history::THistory store(path);
    TRecord r = Attempt("1");
    EXPECT_TRUE(store.Add(r));
    EXPECT_FALSE(QFileInfo::exists(victim));
    EXPECT_EQ(QDir(folder.path()).entryList({"history.sqlite.damaged-*~2"}, QDir::Files).size(), 1);
}

// The right version without its table: set aside like a damaged file, and the send recorded in a new one.
TEST(HistoryStore, AFileOfTheRightVersionWithoutItsTableIsSetAside) {
    QTemporaryDir folder;
    const QString path = folder.filePath("history.sqlite");
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "tableless");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec(QString("PRAGMA user_version = %1").arg(history::THistory::kSchemaVersion));
        QSqlQuery(db).exec("CREATE TABLE other (x)");
        db.close();
    }
    QSqlDatabase::removeDatabase("tableless");
    history::THistory store(path);
    QStringList notices;
    store.OnNotice = [&](const QString& text) { notices << text; };
    TRecord r = Attempt("1");
    EXPECT_TRUE(store.Add(r));
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains(QString::fromUtf8("已移到"))) << notices[0].toStdString();
    EXPECT_EQ(store.Count(), 1);
}

class RecordedSend : public ::testing::Test {
protected:
    void SetUp() override {
        Server = std::make_unique<testsupport::RealSmtpServer>();
        Recorder.Store = &Store;
        Form.Server = rtl::TGbText("127.0.0.1");
        Form.Port = Server->Port();
        Form.Email = rtl::TGbText("me@example.com");
        Form.Number = rtl::TGbText("001-212-5551234");
        Form.Files.emplace_back(Doc.Path());
    }
    TRecord Stored() {
        const auto records = Store.Latest(0);
        return records.size() == 1 ? records[0] : TRecord();
    }

    std::unique_ptr<testsupport::RealSmtpServer> Server;
    testsupport::TempFile Doc{"scan.tif", testsupport::RandomBytes(5000, 3)};
    QTemporaryDir Folder;
    history::THistory Store{Folder.filePath("history.sqlite")};
    mail::TZelSMTP Client{nullptr};
    fax::TFaxDispatch Dispatch{Client};
    history::TSendRecorder Recorder{Dispatch, Client, history::kWindow};
    fax::TSendRequest Form;
};

TEST_F(RecordedSend, ASentFaxHasTheMessageIdTheServerReceived) {
    EXPECT_EQ(Recorder.Send(Form), "");
    ASSERT_TRUE(Server->WaitForMessages(1, 10s));
    const TRecord r = Stored();
    EXPECT_EQ(r.Outcome, TOutcome::Sent);
    EXPECT_EQ(r.MessageId.toStdString(), ReceivedMessageId(*Server, 1));
    EXPECT_EQ(r.Reply, "250 OK stored");
    EXPECT_EQ(r.Number, "+1 212-555-1234");
    EXPECT_EQ(r.Place, QString::fromUtf8("美国 New York, NY"));
    EXPECT_EQ(r.Files[0].Sha256, history::FileEntryOf(rtl::TFilePath(Doc.Path())).Sha256);
    EXPECT_EQ(r.Files[0].Size, 5000);
    EXPECT_TRUE(r.Ended.isValid());
}

TEST_F(RecordedSend, ARefusedFaxIsRecordedWithWhatTheUserWasTold) {
    Form.Number = rtl::TGbText("009-999-1234567");
    const std::string refusal = Recorder.Send(Form);
    EXPECT_EQ(refusal, fax::kMsgNotCovered);
    const TRecord r = Stored();
    EXPECT_EQ(r.Outcome, TOutcome::Refused);
    EXPECT_EQ(r.Failure.toStdString(), Win::Gb2312ToUtf8(refusal));
    EXPECT_EQ(r.MessageId, "");
    EXPECT_EQ(Server->MessageCount(), 0);
}

TEST_F(RecordedSend, AFileWithoutEndIsRefusedBeforeAnyOfItIsRead) {
    // Nothing may open these before the checks: the read (or the open) would never end.
    const std::string fifo = Folder.filePath("pipe.pdf").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {std::string("/dev/zero"), fifo, Folder.path().toStdString()}) {
        Form.Files = {rtl::TFilePath(path)};
        EXPECT_EQ(Recorder.Send(Form), "Cannot open file " + path);
        const TRecord r = Store.Latest(1).at(0);
        EXPECT_EQ(r.Outcome, TOutcome::Refused) << path;
        EXPECT_EQ(r.Files.at(0).Size, -1) << path;
    }
    EXPECT_EQ(Server->MessageCount(), 0);
}

TEST_F(RecordedSend, AStoppedFaxKeepsTheMessageIdItWasComposedWith) {
    // The stop button, pressed as the composed message is about to go out.
    Client.OnSendStart = [this](rtl::TObject*) { Client.Abort(); };
    EXPECT_THROW(Recorder.Send(Form), rtl::Exception);
    const TRecord r = Stored();
    EXPECT_EQ(r.Outcome, TOutcome::Stopped);
    EXPECT_FALSE(r.MessageId.isEmpty());
    EXPECT_EQ(Server->MessageCount(), 0);
    EXPECT_TRUE(Client.OnSendStart);  // the front end's own handler is back
}

TEST(RecordedMaybeSent, AFaxWhoseEndMarkGotNoReplyMayHaveGoneWithItsMessageId) {
    testsupport::ScriptedPeer peer;
    peer.Send("220 ready\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
    peer.ExpectUntil("\r\n").Send("250 ok\r\n").ExpectUntil("\r\n").Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n");
    peer.ExpectUntil("\r\n.\r\n").Close();  // the message arrived; its reply never comes
    peer.Start();
    QTemporaryDir folder;
    history::THistory store(folder.filePath("history.sqlite"));
    mail::TZelSMTP client(nullptr);
    fax::TSendRequest form;
    form.Server = rtl::TGbText("127.0.0.1");
    form.Port = peer.Port();
    form.Email = rtl::TGbText("me@example.com");
    form.Number = rtl::TGbText("001-212-5551234");
    fax::TFaxDispatch dispatch(client);
    history::TSendRecorder recorder(dispatch, client, history::kCommandLine);
    recorder.Store = &store;
    EXPECT_THROW(recorder.Send(form), mail::EMaybeDelivered);
    ASSERT_TRUE(peer.WaitDone(5s));
    const TRecord r = store.Latest(1).at(0);
    EXPECT_EQ(r.Outcome, TOutcome::MaybeSent);
    EXPECT_NE(peer.Received().find("\r\nMessage-ID: " + r.MessageId.toStdString() + "\r\n"), std::string::npos);
}
