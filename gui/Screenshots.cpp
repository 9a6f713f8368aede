// Renders both windows, as they open, into PNG files for the README.
// Usage: faxmail_screenshots OUTPUT_FOLDER
#include "gui/MailboxBox.h"
#include "gui/SettingsPage.h"
#include "gui/StartUp.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    // The pictures show a first run, whatever the settings of whoever renders them.
    const QTemporaryDir settingsFolder;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder.path());
    // The output folder is no document: the windows start with an empty list.
    int windowArgc = 1;
    app::TStartUp startUp(windowArgc, argv);
    app::TForm4& form4 = startUp.Form4;
    app::TForm1& form1 = startUp.Form1;
    form1.show();
    form1.Edit1->setText("smtp.example.com");
    form1.Edit2->setText("me@example.com");
    form1.Edit3->setText("001-212-5551234");
    form1.ListBox1->addItem("/home/me/letter.doc");
    form1.ListBox1->addItem("/home/me/drawing.png");
    // A send under way: its status text and the progress bar beside it.
    form1.SMTP1Connect(nullptr);
    form1.ZelSMTP1->BytesTotal = 40000;
    form1.ZelSMTP1->BytesSent = 16383;
    form1.SMTP1Packentsent(nullptr);
    for (int i = 0; i < 10; ++i) QApplication::processEvents();
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool ok = form4.grab().save(folder + "/start-window.png");
    ok = form1.grab().save(folder + "/main-window.png") && ok;
    form1.TabbedNotebook1->setCurrentIndex(1);
    QApplication::processEvents();
    ok = form1.grab().save(folder + "/coverage-page.png") && ok;
    form1.SettingsPage->SecurityBox->setCurrentIndex(1);
    form1.SettingsPage->LoginEdit->setText("me@example.com");
    form1.SettingsPage->PasswordEdit->setText("password");
    form1.TabbedNotebook1->setCurrentIndex(2);
    QApplication::processEvents();
    ok = form1.grab().save(folder + "/settings-page.png") && ok;
    // The mailbox for the gateways' answers, further down the same page.
    form1.SettingsPage->Mailbox->ServerEdit->setText("imap.example.com");
    if (auto* area = qobject_cast<QScrollArea*>(form1.TabbedNotebook1->currentWidget()))
        area->ensureWidgetVisible(form1.SettingsPage->Mailbox->TestButton);
    QApplication::processEvents();
    ok = form1.grab().save(folder + "/mailbox-settings.png") && ok;
    return ok ? 0 : 1;
}
