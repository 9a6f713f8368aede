#include "AppFixture.h"

#include "tests/support/ScriptedPeer.h"

#include <QFile>
#include <QLabel>
#include <QSettings>

#include <chrono>

using namespace std::chrono_literals;

namespace {

void TypeInto(QLineEdit* edit, const char* utf8) {
    edit->clear();
    for (const QChar c : QString::fromUtf8(utf8)) edit->insert(QString(c));
}

void Leave(QLineEdit* edit, const char* text) {
    edit->setText(QString::fromUtf8(text));
    emit edit->editingFinished();
}

}  // namespace

// Typed as a letterhead writes it, the number is shown as understood, with
// its place and coverage, and goes to the gateway of the design's form.
TEST_F(WindowsTest, ATypedNumberIsShownAsUnderstoodAndGoesToTheGatewayOfTheDesignsForm) {
    const std::string gateway = "remote-printer.the_following_address@12121234567.iddd.faxgateway.example";
    for (const char* typed : {"001-212-1234567", "+1 (212) 123-4567"}) {
        testsupport::ScriptedPeer peer;
        peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
        peer.Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n").Expect("RCPT TO:<" + gateway + ">");
        peer.Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
        peer.Expect("QUIT").Send("221 bye\r\n").Close();
        peer.Start();
        UsePort(peer.Port());
        Fill("127.0.0.1", "me@example.com", "");
        TypeInto(Form1->Edit3, typed);
        EXPECT_EQ(Form1->Label6->toolTip(),
                  QString::fromUtf8("可以发送：+1 212-123-4567  美国 New York, NY\n网关地址：") + QString::fromStdString(gateway))
            << typed;
        Form1->Button4->click();
        ASSERT_TRUE(peer.WaitDone(5000ms)) << typed;
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
        EXPECT_TRUE(Boxes.empty()) << typed;
    }
    TypeInto(Form1->Edit3, "+1 (212");
    EXPECT_EQ(Form1->Label6->text(), QString::fromUtf8("您输入的号码太短。"));
    TypeInto(Form1->Edit3, "+86 10 1234 5678");
    EXPECT_EQ(Form1->Label6->toolTip(), QString::fromUtf8("不在传真范围内：+86 10 1234 5678  北京市\n网关地址：")
                                            + "remote-printer.the_following_address@861012345678.iddd.faxgateway.example");
    EXPECT_TRUE(Form1->Memo1->toPlainText().contains(QString::fromUtf8("                +44-complete coverage  英国\n")));
}

TEST_F(WindowsTest, TheHomeCountryReadsNationalNumbersAndIsRemembered) {
    app::TSettingsPage* page = Form1->SettingsPage;
    Leave(page->HomeCountryEdit, "");
    Form1->Edit3->setText("(212) 123-4567");
    EXPECT_EQ(Form1->Label6->toolTip(), QString::fromUtf8("传真号码的形式必须为：001-212-1234567，请在号码前加上国家代码（如 +86 或 0086），或在“发送设置”中填写本国国家代码。"));
    Leave(page->HomeCountryEdit, "1");
    EXPECT_TRUE(Form1->Label6->text().startsWith(QString::fromUtf8("可以发送：+1 212-123-4567"))) << Form1->Label6->text().toStdString();
    EXPECT_EQ(app::ReadSendSettings().HomeCountry, 1);
    Leave(page->HomeCountryEdit, "999");
    EXPECT_EQ(BoxTexts(), std::vector<QString>{QString::fromUtf8("没有国家代码 999。本国国家代码是一个国家的电话代码，如 86（中国）或 1（美国、加拿大）。")});
    EXPECT_EQ(page->HomeCountryEdit->text(), QString("1"));
    EXPECT_EQ(page->HomeCountry(), 1);
    // The other placeholders are accepted by the page as by the gateway.
    Boxes.clear();
    Leave(page->GatewayEdit, "{e164}@fax.example.org");
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(app::ReadSendSettings().GatewayPattern, QString("{e164}@fax.example.org"));
    EXPECT_EQ(Form1->Label6->toolTip().section(QString::fromUtf8("网关地址："), 1), QString("+12121234567@fax.example.org"));

    // A damaged home country is not taken for the locale's: the national number asks for its code until the field is set.
    QFile::remove(app::OpenSettings()->fileName());
    app::OpenSettings()->setValue("fax/homeCountry", "abc");
    MakeWindows();
    Form1->Edit3->setText("(212) 123-4567");
    EXPECT_TRUE(Form1->Label6->toolTip().contains(QString::fromUtf8("请在号码前加上国家代码"))) << Form1->Label6->toolTip().toStdString();
    Leave(Form1->SettingsPage->HomeCountryEdit, "1");
    EXPECT_TRUE(Form1->SettingsPage->Damaged().isEmpty());
    EXPECT_EQ(app::ReadSendSettings().HomeCountry, 1);
}
