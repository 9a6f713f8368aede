// Renders both windows, as they open, into PNG files for the README.
// Usage: faxmail_screenshots OUTPUT_FOLDER
#include "app/Constants.h"
#include "app/Forms.h"
#include "app/Unit1.h"
#include "app/Unit4.h"
#include "platform/Application.h"

#include <QPixmap>
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    app::TApplicationObject qtApplication(argc, argv);
    Win::Application().Title = app::kApplicationTitle;
    app::TForm4 form4;
    app::TForm1 form1(&form4);
    form4.SetMainWindow(&form1);
    form4.show();
    form1.show();
    form1.Edit1->setText("smtp.example.com");
    form1.Edit2->setText("me@example.com");
    form1.Edit3->setText("001-212-5551234");
    form1.ListBox1->addItem("/home/me/letter.doc");
    form1.ListBox1->addItem("/home/me/drawing.png");
    form1.SMTP1Connect(nullptr);
    for (int i = 0; i < 10; ++i) QApplication::processEvents();
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool ok = form4.grab().save(folder + "/start-window.png");
    ok = form1.grab().save(folder + "/main-window.png") && ok;
    form1.TabbedNotebook1->setCurrentIndex(1);
    QApplication::processEvents();
    ok = form1.grab().save(folder + "/coverage-page.png") && ok;
    return ok ? 0 : 1;
}
