// The main window's outbox: a send to a server that is down lands on 发件箱
// and goes out once the server is up.
#include "AppFixture.h"

#include "gui/OutboxPage.h"
#include "tests/support/Ports.h"
#include "tests/support/RealSmtpServer.h"
#include "tests/support/TempFiles.h"

#include <QLabel>
#include <QTableWidget>

#include <chrono>

using namespace std::chrono_literals;

TEST_F(WindowsTest, ASendToAStoppedServerLandsInTheOutboxAndGoesOutOnceTheServerIsUp) {
    const std::uint16_t port = testsupport::UnusedPort();
    UsePort(port);
    const testsupport::TempFile doc("scan.pdf", testsupport::RandomBytes(5000, 21));
    AddFile(doc.Path());
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(Boxes[0].Text.contains(QString::fromUtf8("传真已放入发件箱"))) << Boxes[0].Text.toStdString();
    EXPECT_EQ(Form1->OutboxCount->text(), QString::fromUtf8("发件箱：1"));
    app::TOutboxPage* page = Form1->OutboxPage;
    Form1->TabbedNotebook1->setCurrentWidget(page);
    ASSERT_EQ(page->List->rowCount(), 1);
    EXPECT_EQ(page->List->item(0, app::TOutboxPage::ColNumber)->text(), "001-212-5551234");
    EXPECT_EQ(page->List->item(0, app::TOutboxPage::ColFiles)->text(), "scan.pdf");
    EXPECT_EQ(page->List->item(0, app::TOutboxPage::ColTries)->text(), "1");

    const testsupport::RealSmtpServer server(port);
    page->List->selectRow(0);
    page->SendNowButton->click();
    ASSERT_TRUE(server.WaitForMessages(1, 10s));
    EXPECT_EQ(testsupport::CheckMessage(server, 1,
                                        "{\"rcpt\": [\"remote-printer.the_following_address@12125551234.iddd.faxgateway.example\"],"
                                        " \"attachments\": [{\"name\": \"scan.pdf\", \"path\": \"" + doc.Path() + "\"}]}"),
              "message ok");
    EXPECT_EQ(page->List->rowCount(), 0);
    EXPECT_TRUE(Form1->OutboxCount->isHidden());
    EXPECT_EQ(server.MessageCount(), 1);
}
