#include "AppFixture.h"

#include "gui/SettingsPage.h"

#include <QComboBox>
#include <QFile>
#include <QSettings>
#include <QSpinBox>

// A value the settings file holds but the program cannot read is reported
// naming the setting and the file, the send stops, the page marks the field,
// and saving the page does not overwrite the value with a default.
TEST_F(WindowsTest, ADamagedSettingStopsTheSendIsMarkedOnThePageAndIsNotReplaced) {
    const struct {
        const char* Key;
        const char* Value;
        const char* Label;
    } cases[] = {
        {"smtp/security", "STARTTLS", "安全连接"},
        {"smtp/port", "abc", "SMTP端口"},
        {"smtp/port", "99999", "SMTP端口"},
        {"fax/gatewayPattern", "fax@gw.example.org", "传真网关"},
        {"smtp/rememberPassword", "maybe", "记住密码"},
        {"fax/homeCountry", "086", "本国国家代码"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Key + std::string("=") + c.Value);
        const QString fileName = app::OpenSettings()->fileName();
        QFile::remove(fileName);
        app::OpenSettings()->setValue(c.Key, QString::fromUtf8(c.Value));
        MakeWindows();
        Boxes.clear();
        Fill("no..such.host", "me@example.com", "001-212-5551234");
        Form1->Button4->click();
        ASSERT_EQ(Boxes.size(), 1u);
        const QString text = Boxes.front().Text;
        EXPECT_TRUE(text.contains(fileName)) << text.toStdString();
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.Key) + "=" + QString::fromUtf8(c.Value))) << text.toStdString();
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.Label))) << text.toStdString();
        EXPECT_EQ(Form1->ZelSMTP1->Host, "");  // nothing reached the mail client
        const QList<QWidget*> marked = Form1->SettingsPage->findChildren<QWidget*>();
        EXPECT_EQ(std::count_if(marked.begin(), marked.end(), [](QWidget* w) { return !w->styleSheet().isEmpty(); }), 1);
        EXPECT_EQ(app::OpenSettings()->value(c.Key).toString(), QString::fromUtf8(c.Value));  // saved as it was
    }

    // Choosing a protection corrects that one value, and only then is it written.
    QFile::remove(app::OpenSettings()->fileName());
    app::OpenSettings()->setValue("smtp/security", "STARTTLS");
    MakeWindows();
    app::TSettingsPage* page = Form1->SettingsPage;
    EXPECT_EQ(page->SecurityBox->currentIndex(), -1);
    page->SecurityBox->setCurrentIndex(0);
    EXPECT_TRUE(page->SecurityBox->styleSheet().isEmpty());
    EXPECT_TRUE(page->Damaged().isEmpty());
    EXPECT_EQ(app::OpenSettings()->value("smtp/security").toString(), QString("none"));
}
