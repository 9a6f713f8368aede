// The main window: the fields of a fax, its documents, the send and stop
// buttons, the coverage list and the status bar.
#pragma once

#include "fax/Dispatch.h"
#include "history/SendRecorder.h"
#include "outbox/Outbox.h"

#include <QStringList>
#include <QWidget>

#include <memory>
#include <string>

class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTimer;

namespace app {

class TMailboxWatch;
class TSettingsPage;
class THistoryPage;
class TOutboxPage;

class TForm1 : public QWidget {
public:
    // The start window is closed with this one; it drives this window, not the other way round.
    explicit TForm1(QWidget* startWindow = nullptr);
    ~TForm1() override;

    QStatusBar* StatusBar1;
    // The share of the message sent, beside the status text; hidden when no send runs.
    QProgressBar* ProgressBar1;
    QTabWidget* TabbedNotebook1;
    QPlainTextEdit* Memo1;
    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLineEdit* Edit1;
    QLabel* Label2;
    QLineEdit* Edit2;
    QLabel* Label3;
    QLineEdit* Edit3;
    // The number as understood, its place and coverage, beside the number field.
    QLabel* Label6;
    QLabel* Label4;
    QGroupBox* GroupBox2;
    QListWidget* ListBox1;
    QPushButton* Button1;
    QPushButton* Button2;
    QLabel* Label5;
    QPushButton* Button4;
    QPushButton* Button3;
    TSettingsPage* SettingsPage;
    THistoryPage* HistoryPage;  // the fourth page, 发送记录
    TOutboxPage* OutboxPage;    // the fifth page, 发件箱
    // 稍后发送: the fax goes into the outbox, due at the time beside the button.
    QDateTimeEdit* LaterEdit;
    QPushButton* LaterButton;
    // How many faxes wait in the outbox, in the status bar; hidden at none.
    QLabel* OutboxCount;
    std::unique_ptr<outbox::TOutbox> Outbox;
    std::unique_ptr<history::THistory> History;
    std::unique_ptr<mail::TZelSMTP> ZelSMTP1;
    // Reads the gateways' answers into the history while the window is open.
    std::unique_ptr<TMailboxWatch> MailboxWatch;

    void SetStartWindow(QWidget* startWindow) { StartWindow = startWindow; }
    const std::string& LastGatewayAddress() const { return Dispatch->LastGatewayAddress(); }

    // Handlers.
    void FormCreate();
    void Edit3Enter();
    void Edit3Change();
    void Button1Click();
    void Button2Click();
    // Adds files to the attachment list in the given order, as if added one
    // by one (the file dialog, a drop, the program's arguments).
    void AddFiles(const QStringList& paths);
    // Paths as the file system's bytes, shown decoded; a send opens these bytes.
    void AddFileBytes(const QList<QByteArray>& paths);
    void Button4Click();
    void Button3Click();
    void Form1Close();
    void SMTP1Connect(rtl::TObject* Sender);
    void SMTP1Packentsent(rtl::TObject* Sender);
    void ZelSMTP1Success(rtl::TObject* Sender);
    void ZelSMTP1InvalidHost(bool& Handled);

    // Sends what the outbox holds due (Id 0), or that fax now; never while a send runs.
    void FlushOutbox(qint64 Id = 0);
    void LaterButtonClick();

    // A fax is being sent (lookup, connect or dialogue).
    bool SendUnderWay() const { return Dispatch->Sending(); }

    // The coverage page's lines as displayed, in GB2312.
    rtl::TStringList CoverageLines() const;
    // Writes the two fields and the settings page to the user's settings.
    void SaveSettings();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowProgress(int percent);
    // The request of the main page's fields; false once the user was told why there is none.
    bool MakeRequest(fax::TSendRequest& request);
    // The outbox's page, timer and count (Unit1Outbox.cpp).
    void SetUpOutbox();
    // Queues a send that failed for a while, when the user wants it, and says so; false otherwise.
    bool QueueFailure(const fax::TSendRequest& request, const std::exception& failure);
    void OutboxChanged();
    QTimer* OutboxTimer = nullptr;
    bool Flushing = false;

    QWidget* StartWindow;
    std::unique_ptr<fax::TFaxDispatch> Dispatch;
    std::unique_ptr<history::TSendRecorder> Recorder;
    // What the history had to say during a send, shown once it has ended.
    QStringList HistoryNotices;
    void AfterSend();
    void ShowHistoryNotices();
};

}  // namespace app
