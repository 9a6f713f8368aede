// The page 发送记录: records of both front ends, details, the Message-ID to
// copy, and "再次发送" only with the files as they were sent.
#include "AppFixture.h"

#include "app/HistoryText.h"
#include "gui/HistoryPage.h"
#include "gui/MailboxWatch.h"
#include "history/SendRecorder.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QListWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QFont>
#include <QTimeZone>

#include <chrono>
#include <fstream>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A command line's record, written through a connection of its own as
// another process (or the watch's thread) writes it.
bool AddCommandLineRecord(history::THistory& store, const char* number, history::TOutcome outcome, history::TRecord& r) {
    r.FrontEnd = history::kCommandLine;
    r.Started = QDateTime::currentDateTimeUtc();
    r.NumberTyped = number;
    r.Outcome = outcome;
    return store.Add(r);
}

}  // namespace

TEST_F(WindowsTest, TheHistoryPageListsSendsOfBothFrontEndsAndSendsAgainOnlyUnchangedFiles) {
    const auto server = std::make_unique<testsupport::RealSmtpServer>();
    UsePort(server->Port());
    const testsupport::TempFile doc("contract.pdf", testsupport::RandomBytes(3000, 21));
    AddFile(doc.Path());
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    ASSERT_TRUE(server->WaitForMessages(1, 10s));
    // A command line's send that may have gone, written meanwhile by another process.
    {
        history::THistory other;
        history::TRecord r;
        ASSERT_TRUE(AddCommandLineRecord(other, "0044-20-71234567; 001-212-5559999", history::TOutcome::MaybeSent, r));
    }

    app::THistoryPage& page = *Form1->HistoryPage;
    Form1->TabbedNotebook1->setCurrentWidget(&page);
    const QAbstractItemModel& model = *page.List->model();
    ASSERT_EQ(model.rowCount(), 2);
    const auto cell = [&](int row, int column) { return model.index(row, column).data().toString(); };
    EXPECT_EQ(cell(0, app::THistoryPage::ColNumber), "0044-20-71234567; 001-212-5559999");
    EXPECT_EQ(cell(0, app::THistoryPage::ColOutcome), QString::fromUtf8("可能已经发出"));
    EXPECT_EQ(cell(1, app::THistoryPage::ColOutcome), QString::fromUtf8("已发送"));
    EXPECT_EQ(cell(1, app::THistoryPage::ColFiles), "contract.pdf");

    page.List->selectRow(1);
    const QString messageId = page.Selected()->MessageId;
    EXPECT_TRUE(page.Details->toPlainText().contains("Message-ID：" + messageId));
    EXPECT_TRUE(page.Details->toPlainText().contains("250 OK stored"));
    page.CopyButton->click();
    EXPECT_EQ(QApplication::clipboard()->text(), messageId);

    Form1->Edit3->clear();
    Form1->ListBox1->clear();
    page.ResendButton->click();
    EXPECT_EQ(Form1->Edit3->text(), "001-212-5551234");
    ASSERT_EQ(Form1->ListBox1->count(), 1);
    EXPECT_EQ(Form1->ListBox1->item(0)->text().toStdString(), doc.Path());
    EXPECT_EQ(Form1->TabbedNotebook1->currentIndex(), 0);

    std::ofstream(doc.Path(), std::ios::app) << "changed";
    Form1->TabbedNotebook1->setCurrentWidget(&page);
    page.List->selectRow(1);
    page.ResendButton->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].Text.contains(QString::fromStdString(doc.Path()) + QString::fromUtf8("（内容已改变）")));
    EXPECT_EQ(Form1->TabbedNotebook1->currentWidget(), &page);

    // The main page takes one number: the first, and the others are named.
    page.List->selectRow(0);
    page.ResendButton->click();
    EXPECT_EQ(Form1->Edit3->text(), "0044-20-71234567");
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_TRUE(Boxes[1].Text.endsWith("\n001-212-5559999")) << Boxes[1].Text.toStdString();
}

// Names that are not UTF-8 (a stray byte, GBK's 传真) keep their own bytes in
// the history: 再次发送 finds the files and the send opens them.
TEST_F(WindowsTest, APathThatIsNotUtf8IsSentAgainByItsOwnBytes) {
    const auto server = std::make_unique<testsupport::RealSmtpServer>();
    UsePort(server->Port());
    QTemporaryDir folder;
    const QList<QByteArray> paths = {QFile::encodeName(folder.path()) + "/scan-\xff\xfe.pdf",
                                     QFile::encodeName(folder.path()) + "/\xb4\xab\xd5\xe6.tif"};
    // QTemporaryDir lists names decoded and could not remove these.
    struct Remove {
        const QList<QByteArray>& Paths;
        ~Remove() {
            for (const QByteArray& path : Paths) ::unlink(path.constData());
        }
    } remove{paths};
    history::TRecord r;
    for (const QByteArray& path : paths) {
        std::ofstream(path.toStdString(), std::ios::binary) << "page";
        r.Files.push_back(history::FileEntryOf(rtl::TFilePath(path.toStdString())));
    }
    {
        history::THistory other;
        ASSERT_TRUE(AddCommandLineRecord(other, "001-212-5551234", history::TOutcome::Sent, r));
    }
    app::THistoryPage& page = *Form1->HistoryPage;
    Form1->TabbedNotebook1->setCurrentWidget(&page);
    page.List->selectRow(0);
    page.ResendButton->click();
    EXPECT_TRUE(Boxes.empty()) << Boxes[0].Text.toStdString();
    ASSERT_EQ(Form1->ListBox1->count(), 2);
    EXPECT_TRUE(Form1->ListBox1->item(0)->text().contains(QChar::ReplacementCharacter));  // shown decoded
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    ASSERT_TRUE(server->WaitForMessages(1, 10s)) << ::testing::PrintToString(BoxTexts());
}

TEST_F(WindowsTest, AFailedAnswerShowsWithItsReasonOnTheOpenPageUntilLookedAt) {
    history::THistory other;  // the watch's own connection, as on its thread
    history::TRecord r;
    ASSERT_TRUE(AddCommandLineRecord(other, "001-212-5551234", history::TOutcome::Sent, r));
    app::THistoryPage& page = *Form1->HistoryPage;
    Form1->TabbedNotebook1->setCurrentWidget(&page);
    page.List->selectRow(0);
    EXPECT_EQ(page.List->model()->index(0, app::THistoryPage::ColConfirmation).data().toString(), "");

    // A bounce, as the watch records it.
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1796877688, QTimeZone::utc());
    const QString reason = "5.1.1 550 5.1.1 Recipient address rejected: User unknown";
    ASSERT_TRUE(other.ConfirmNumber(r.Id, {0, {}, "failed", "Undelivered Mail Returned to Sender", when, reason, -1}));
    watch::TConfirmed c{r.Id, {watch::TOutcome::Failed, when.toSecsSinceEpoch(), "Undelivered Mail Returned to Sender"}};
    Form1->MailboxWatch->OnConfirmed(c);

    const QModelIndex cell = page.List->model()->index(0, app::THistoryPage::ColConfirmation);
    EXPECT_EQ(cell.data().toString(), QString::fromUtf8("发送失败"));
    EXPECT_EQ(page.Selected()->Id, r.Id);
    EXPECT_TRUE(page.Details->toPlainText().contains(QString::fromUtf8("网关回复：发送失败（") + app::LocalTimeText(when) +
                                                     QString::fromUtf8("）") + reason))
        << page.Details->toPlainText().toStdString();
    // It stands out until it is looked at, on the page and on its tab.
    EXPECT_TRUE(cell.data(Qt::FontRole).value<QFont>().bold());
    const int tab = Form1->TabbedNotebook1->indexOf(&page);
    EXPECT_EQ(Form1->TabbedNotebook1->tabText(tab), QString::fromUtf8("发送记录（1）"));
    EXPECT_TRUE(Statuses1.last().contains(QString::fromUtf8("Undelivered Mail")));
    page.List->clearSelection();
    page.List->setCurrentIndex({});
    page.List->selectRow(0);
    EXPECT_FALSE(page.List->model()->index(0, 0).data(Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(other.Find(r.Id)->Unseen);
    EXPECT_EQ(Form1->TabbedNotebook1->tabText(tab), QString::fromUtf8("发送记录"));
}

TEST_F(WindowsTest, AnUnverifiedAnswerShowsAsSuch) {
    history::THistory other;
    history::TRecord r;
    ASSERT_TRUE(AddCommandLineRecord(other, "001-212-5551234", history::TOutcome::Sent, r));
    app::THistoryPage& page = *Form1->HistoryPage;
    Form1->TabbedNotebook1->setCurrentWidget(&page);
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1796877688, QTimeZone::utc());
    ASSERT_TRUE(other.SetConfirmation(r.Id, "unverified", "Fax to +1 212 5551234 delivered", when));
    Form1->MailboxWatch->OnConfirmed({r.Id, {watch::TOutcome::Unverified, when.toSecsSinceEpoch(), "Fax to +1 212 5551234 delivered"}});
    page.List->selectRow(0);
    EXPECT_EQ(page.List->model()->index(0, app::THistoryPage::ColConfirmation).data().toString(), QString::fromUtf8("回复未经验证"));
    EXPECT_TRUE(page.Details->toPlainText().contains(QString::fromUtf8("网关回复：回复未经验证"))) << page.Details->toPlainText().toStdString();
}
