// The start window: the introduction, the feedback page, and the way on to
// the main window (TForm1). It is the first window shown, and closing it ends
// the program.
#pragma once

#include "mail/SendJob.h"

#include <QWidget>

#include <memory>
#include <string>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;

namespace app {

class TForm1;

class TForm4 : public QWidget {
public:
    TForm4();
    ~TForm4() override;

    QTabWidget* TabbedNotebook1;
    QPlainTextEdit* Memo1;
    QGroupBox* GroupBox1;
    QLabel* Label3;
    QLineEdit* Edit3;
    QPlainTextEdit* Memo3;
    QPushButton* Button4;
    QLabel* WebAddressLabel;
    QStatusBar* StatusBar1;
    QPushButton* Button1;
    QPushButton* Button3;
    std::unique_ptr<mail::TZelSMTP> ZelSMTP1;

    void SetMainWindow(TForm1* mainWindow) { MainWindow = mainWindow; }
    // The feedback mailbox's SMTP server; a constant of the program, set
    // otherwise only by tests.
    std::string FeedbackHost;
    std::int32_t FeedbackPort = mail::kDefaultSmtpPort;

    // Handlers.
    void FormCreate();
    void Button1Click();
    void Button3Click();
    void Button4Click();
    void Onconnect(rtl::TObject* Sender);
    void packt(rtl::TObject* Sender);
    void SMTP1Success(rtl::TObject* Sender);
    void SMTP1OnFailure(rtl::TObject* Sender);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlaceStatusBar();

    TForm1* MainWindow = nullptr;
    std::unique_ptr<mail::TSendJob> FeedbackJob;
};

}  // namespace app
