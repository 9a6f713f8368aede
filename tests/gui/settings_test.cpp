#include "AppFixture.h"

#include "gui/SettingsPage.h"
#include "gui/StartUp.h"
#include "tests/support/ScriptedPeer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QSpinBox>
#include <QTranslator>

#include <chrono>

using namespace std::chrono_literals;
using mail::TSmtpSecurity;

namespace {

const QString kStoreFailure = QString::fromUtf8("无法使用桌面的密码保管库，密码只在本次运行中保留。");

void LeaveGatewayField(app::TSettingsPage* page, const char* text) {
    page->GatewayEdit->setText(QString::fromUtf8(text));
    emit page->GatewayEdit->editingFinished();
}

}  // namespace

TEST_F(WindowsTest, SettingsSurviveARestartAndThePasswordStaysOutOfTheFile) {
    app::TSettingsPage* page = Form1->SettingsPage;
    EXPECT_EQ(Form1->TabbedNotebook1->tabText(2), QString::fromUtf8("发送设置"));
    EXPECT_EQ(app::ReadSendSettings(), app::TSendSettings());

    Fill("smtp.example.com", "me@example.com", "001-212-5551234");
    page->SecurityBox->setCurrentIndex(1);
    EXPECT_EQ(page->PortEdit->value(), 587);
    page->PortEdit->setValue(2525);
    page->LoginEdit->setText(QString::fromUtf8("我的名字"));
    page->PasswordEdit->setText("s3cret-pw");
    page->RememberBox->setChecked(true);
    LeaveGatewayField(page, "fax.{number}@gw.example.org");
    NextFile = "/etc/ssl/extra.pem";
    page->TrustFileButton->click();

    MakeWindows();
    page = Form1->SettingsPage;
    EXPECT_EQ(Form1->Edit1->text(), QString("smtp.example.com"));
    EXPECT_EQ(Form1->Edit2->text(), QString("me@example.com"));
    EXPECT_EQ(Form1->Edit3->text(), QString());  // the number is not remembered
    EXPECT_EQ(page->SecurityBox->currentIndex(), 1);
    EXPECT_EQ(page->PortEdit->value(), 2525);
    EXPECT_EQ(page->LoginEdit->text(), QString::fromUtf8("我的名字"));
    EXPECT_EQ(page->PasswordEdit->text(), QString("s3cret-pw"));
    EXPECT_TRUE(page->RememberBox->isChecked());
    EXPECT_EQ(page->GatewayEdit->text(), QString("fax.{number}@gw.example.org"));
    EXPECT_EQ(page->TrustFileEdit->text(), QString("/etc/ssl/extra.pem"));
    QFile file(app::OpenSettings()->fileName());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.contains("2525"));
    EXPECT_FALSE(bytes.contains("s3cret"));

    // Unticked, the password leaves the store and the next run starts without it.
    page->RememberBox->setChecked(false);
    EXPECT_TRUE(Secrets->Secrets.empty());
    MakeWindows();
    EXPECT_EQ(Form1->SettingsPage->PasswordEdit->text(), QString());
    EXPECT_TRUE(Statuses1.isEmpty());
}

TEST(SettingsPort, AModeProposesItsUsualPortUnlessAnotherWasTyped) {
    const struct {
        TSmtpSecurity from, to;
        int port, proposed;
    } cases[] = {
        {TSmtpSecurity::None, TSmtpSecurity::StartTls, 25, 587},
        {TSmtpSecurity::StartTls, TSmtpSecurity::ImplicitTls, 587, 465},
        {TSmtpSecurity::ImplicitTls, TSmtpSecurity::None, 465, 25},
        {TSmtpSecurity::None, TSmtpSecurity::ImplicitTls, 2525, 2525},
        {TSmtpSecurity::None, TSmtpSecurity::StartTls, 465, 465},  // another mode's port, typed by the user
    };
    for (const auto& c : cases) EXPECT_EQ(app::ProposedPort(c.from, c.to, c.port), c.proposed) << c.port;
}

TEST_F(WindowsTest, TheChosenModePortAndLoginReachTheMailClient) {
    app::TSettingsPage* page = Form1->SettingsPage;
    const fax::TSendRequest untouched = page->ConnectionRequest();  // a first run: today's plain port 25, no login
    EXPECT_EQ(untouched.Port, 25);
    EXPECT_EQ(untouched.Security, TSmtpSecurity::None);
    EXPECT_EQ(untouched.LoginName.Bytes(), "");

    page->SecurityBox->setCurrentIndex(2);
    page->LoginEdit->setText("me");
    page->PasswordEdit->setText(QString::fromUtf8("密码"));
    page->TrustFileEdit->setText("/tmp/ca.pem");
    Fill("no..such.host", "me@example.com", "001-212-5551234");
    Form1->OutboxPage->QueueOnFailureBox->setChecked(false);  // shown as it is, not queued
    Form1->Button4->click();
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_TRUE(BoxTexts()[0].endsWith(QString::fromUtf8("（Null Remote Address）")));
    EXPECT_EQ(Form1->ZelSMTP1->Security, TSmtpSecurity::ImplicitTls);
    EXPECT_EQ(Form1->ZelSMTP1->Port, 465);
    // The login is used by that connection only (the wire tests follow it to AUTH).
    EXPECT_EQ(Form1->ZelSMTP1->TrustFile.Bytes(), "/tmp/ca.pem");
}

TEST_F(WindowsTest, ThePortAndTheGatewayPatternReachTheWireAndTheAddressIsShown) {
    testsupport::ScriptedPeer peer;
    peer.Send("220 hi\r\n").Expect("HELO me").Send("250 ok\r\n").Expect("RSET").Send("250 ok\r\n");
    peer.Expect("MAIL FROM:<me@example.com>").Send("250 ok\r\n").Expect("RCPT TO:<fax.12125551234@gw.example.org>");
    peer.Send("250 ok\r\n").Expect("DATA").Send("354 go\r\n").ExpectUntil("\r\n.\r\n").Send("250 ok\r\n");
    peer.Expect("QUIT").Send("221 bye\r\n").Close();
    peer.Start();
    Form1->SettingsPage->PortEdit->setValue(peer.Port());
    LeaveGatewayField(Form1->SettingsPage, " fax.{number}@gw.example.org ");
    Fill("127.0.0.1", "me@example.com", "001-212-5551234");
    Form1->Button4->click();
    ASSERT_TRUE(peer.WaitDone(5000ms));
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures().front();
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form1->StatusBar1->toolTip(), QString::fromUtf8("传真已发往网关：fax.12125551234@gw.example.org"));
}

TEST_F(WindowsTest, ABadGatewayPatternIsRefusedWhenLeavingTheField) {
    app::TSettingsPage* page = Form1->SettingsPage;
    LeaveGatewayField(page, "fax.{number}@gw.example.org");
    const std::pair<const char*, const char*> refusals[] = {
        {"fax@gw.example.org", "传真网关必须含有一个且只有一个{number}，它代表完整的传真号码。"},
        {"{number}", "传真网关填入号码后必须是一个电子邮件地址（名字@域名）。"},
    };
    for (const auto& [pattern, message] : refusals) {
        Boxes.clear();
        LeaveGatewayField(page, pattern);
        ASSERT_EQ(BoxTexts(), std::vector<QString>{QString::fromUtf8(message)}) << pattern;
        EXPECT_EQ(page->GatewayEdit->text(), QString("fax.{number}@gw.example.org"));
        EXPECT_EQ(page->GatewayPattern(), "fax.{number}@gw.example.org");
        EXPECT_EQ(app::ReadSendSettings().GatewayPattern, QString("fax.{number}@gw.example.org"));
    }
    LeaveGatewayField(page, "");  // an emptied field brings the built-in pattern back
    EXPECT_EQ(page->GatewayEdit->text(), app::DefaultGatewayPattern());
    EXPECT_EQ(app::ReadSendSettings().GatewayPattern, app::DefaultGatewayPattern());
}

TEST_F(WindowsTest, WithoutASecretStoreThePasswordIsKeptForThisRunAndThatIsSaidOnce) {
    Secrets->Answers = false;
    app::TSettingsPage* page = Form1->SettingsPage;
    page->PasswordEdit->setText("first");
    page->RememberBox->setChecked(true);
    page->PasswordEdit->setText("second");
    emit page->PasswordEdit->editingFinished();
    EXPECT_EQ(Statuses1, QStringList{kStoreFailure});
    EXPECT_EQ(page->ConnectionRequest().Password.Bytes(), "second");
    // The next run asks the store again and says so again.
    MakeWindows();
    EXPECT_EQ(app::StatusText(Form1->StatusBar1), kStoreFailure);
    EXPECT_TRUE(Form1->SettingsPage->RememberBox->isChecked());
}

TEST(QtTranslations, StandardDialogsSpeakChineseWhateverTheLocale) {
    const std::unique_ptr<QTranslator> translator = app::InstallQtTranslations(QLocale(QLocale::English, QLocale::UnitedStates));
    ASSERT_NE(translator, nullptr) << "qt6-translations-l10n is not installed";
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("取消"));
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QString::fromUtf8("查找范围："));
}

// Only a changed password is written as the program ends: the store's round
// trip would hold up every close.
TEST_F(WindowsTest, APasswordChangedJustBeforeTheProgramEndsIsRemembered) {
    app::TSendSettings saved = app::ReadSendSettings();
    saved.RememberPassword = true;
    app::WriteSendSettings(saved);
    for (const char* last : {"new", "old"}) {
        SCOPED_TRACE(last);
        Secrets->Secrets[app::kPasswordKey] = "old";
        MakeWindows();  // reads "old" back from the store
        app::TSettingsPage* page = Form1->SettingsPage;
        ASSERT_EQ(page->PasswordEdit->text(), QString("old"));
        Secrets->Writes = 0;
        page->PasswordEdit->setText(last);  // still in the field when the program ends
        Form4->close();
        EXPECT_EQ(Secrets->Secrets[app::kPasswordKey], QString(last));
        EXPECT_EQ(Secrets->Writes, last == std::string("new") ? 1 : 0);
    }
}
