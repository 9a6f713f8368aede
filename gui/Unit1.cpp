#include "gui/Unit1.h"

#include "app/Constants.h"
#include "app/DamagedSettings.h"
#include "app/FailureText.h"
#include "app/HistoryText.h"
#include "app/MailClient.h"
#include "app/Messages.h"
#include "app/SendRequest.h"
#include "app/Settings.h"
#include "fax/Coverage.h"
#include "gui/Forms.h"
#include "gui/HistoryPage.h"
#include "gui/MailboxBox.h"
#include "gui/MailboxWatch.h"
#include "gui/NumberEchoLabel.h"
#include "gui/OutboxPage.h"
#include "gui/SettingsPage.h"
#include "gui/WindowConnectionCheck.h"
#include "platform/Application.h"

#include <QCloseEvent>
#include <QFile>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include <cstdint>

namespace app {
namespace {

// Rows of the list box's fixed item height, whatever the font's line height.
class TFixedRowHeight : public QStyledItemDelegate {
public:
    TFixedRowHeight(int height, QObject* parent) : QStyledItemDelegate(parent), Height(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), Height};
    }

private:
    int Height;
};

// Keeps the progress bar shown for as long as a send runs. A second press
// refused inside a running send leaves the bar as it found it.
class TSendProgress {
public:
    explicit TSendProgress(QProgressBar* bar) : Bar(bar), WasHidden(bar->isHidden()) {}
    ~TSendProgress() {
        if (!WasHidden) return;
        Bar->hide();
        Bar->reset();
    }
    TSendProgress(const TSendProgress&) = delete;
    TSendProgress& operator=(const TSendProgress&) = delete;

private:
    QProgressBar* Bar;
    bool WasHidden;
};

// A focus change inside the window is the field's enter event; the window
// becoming active again, or a popup of the field closing, hands the focus
// back to the control that already had it.
bool EntersFromAnotherControl(Qt::FocusReason reason) {
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

}  // namespace

TForm1::TForm1(QWidget* startWindow) : QWidget(nullptr, Qt::Window), StartWindow(startWindow) {
    ApplyWindowStyle(this);
    setFont(DefaultFont());
    setFixedSize(490, 327);
    // Documents dragged from the file manager join the attachment list.
    setAcceptDrops(true);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, 327 - 21, 490, 21);
    // Beside the status text while a send runs; the text keeps its place on the left.
    ProgressBar1 = new QProgressBar;
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setFixedSize(120, 15);
    StatusBar1->addPermanentWidget(ProgressBar1);
    ProgressBar1->hide();

    TabbedNotebook1 = new QTabWidget(this);
    TabbedNotebook1->setGeometry(0, 0, 489, 305);
    TabbedNotebook1->setFont(SongTiFont());
    auto* mainPage = new QWidget;
    auto* coveragePage = new QWidget;
    TabbedNotebook1->addTab(mainPage, QString::fromUtf8("主页面"));
    TabbedNotebook1->addTab(coveragePage, QString::fromUtf8("传真范围列表"));
    SettingsPage = new TSettingsPage;
    // The mailbox settings below the send settings make the page taller than the notebook.
    auto* settingsScroll = new QScrollArea;
    settingsScroll->setFrameShape(QFrame::NoFrame);
    settingsScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    settingsScroll->setWidget(SettingsPage);
    TabbedNotebook1->addTab(settingsScroll, QString::fromUtf8("发送设置"));
    HistoryPage = new THistoryPage;
    TabbedNotebook1->addTab(HistoryPage, QString::fromUtf8("发送记录"));
    OutboxPage = new TOutboxPage;
    TabbedNotebook1->addTab(OutboxPage, QString::fromUtf8("发件箱"));

    Memo1 = new QPlainTextEdit(coveragePage);
    Memo1->setGeometry(8, 8, 465, 201);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setFont(DefaultFont());
    Memo1->setPlainText(CoveragePageLines().join('\n'));

    GroupBox1 = new QGroupBox(mainPage);
    GroupBox1->setGeometry(0, 0, 483, 276);
    GroupBox1->setFont(DefaultFont());

    constexpr int kFieldsRight = 465;
    Label1 = MakeLabel(GroupBox1, "SMTP邮件服务器：", 16, 20, 112);
    Edit1 = MakeEdit(GroupBox1, 112, 16, 129, 21);
    Label2 = MakeLabel(GroupBox1, "您的电子邮件：", 256, 20, 344);
    Edit2 = MakeEdit(GroupBox1, 344, 16, 121, 21);
    Label3 = MakeLabel(GroupBox1, "对方传真号码：", 24, 45, 112);
    Edit3 = MakeEdit(GroupBox1, 112, 40, 141, 21);
    Label6 = MakeLabel(GroupBox1, "", 260, 45, kFieldsRight);
    Label6->setFixedWidth(kFieldsRight - 260);
    Label4 = MakeLabel(GroupBox1, "传真内容均以附件文件的形式发送：（可以为Word等文件，以及各种图形文件等）。", 24, 72,
                       kFieldsRight);

    GroupBox2 = new QGroupBox(QString::fromUtf8("附件文件"), GroupBox1);
    GroupBox2->setGeometry(24, 96, 441, 89);
    GroupBox2->setFont(SongTiFont());
    PutCaptionOnFrame(GroupBox2);
    ListBox1 = new QListWidget(GroupBox2);
    ListBox1->setGeometry(16, 16, 329, 57);
    ListBox1->setFont(DefaultFont());
    ListBox1->setItemDelegate(new TFixedRowHeight(12, ListBox1));
    Button1 = MakeButton(GroupBox2, "增加", 360, 16, 49, 25);
    Button2 = MakeButton(GroupBox2, "删除", 360, 48, 49, 25);

    Label5 = MakeLabel(GroupBox1, "特别注意：附件文件内不能发送中文（只能用图形发送中文），只能为英文。", 24, 200,
                       kFieldsRight);
    Label5->setStyleSheet("color: red");

    Button4 = MakeButton(GroupBox1, "发送传真", 160, 232, 75, 25);
    Button3 = MakeButton(GroupBox1, "停止", 248, 232, 75, 25);

    // Tab order: server, e-mail, number, attachments, stop, send.
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Edit3);
    setTabOrder(Edit3, ListBox1);
    setTabOrder(ListBox1, Button1);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Button4);
    SetUpOutbox();

    ZelSMTP1 = MakeWindowMailClient();
    ZelSMTP1->OnConnect = [this](rtl::TObject* s) { SMTP1Connect(s); };
    ZelSMTP1->OnPacketSent = [this](rtl::TObject* s) { SMTP1Packentsent(s); };
    ZelSMTP1->OnSuccess = [this](rtl::TObject* s) { ZelSMTP1Success(s); };
    ZelSMTP1->OnInvalidHost = [this](bool& handled) { ZelSMTP1InvalidHost(handled); };
    Dispatch = std::make_unique<fax::TFaxDispatch>(*ZelSMTP1);
    History = std::make_unique<history::THistory>();
    History->OnNotice = [this](const QString& text) { HistoryNotices << text; };
    Recorder = std::make_unique<history::TSendRecorder>(*Dispatch, *ZelSMTP1, history::kWindow);
    Recorder->Store = History.get();
    Recorder->FailureText = [this](const std::exception& e) { return ExplainFailure(e, {Edit1->text(), ZelSMTP1->Port}); };
    HistoryPage->OnStatus = [this](const QString& text) { SetStatusText(StatusBar1, text); };
    HistoryPage->OnResend = [this](const QString& number, const QList<QByteArray>& files) {
        Edit3->setText(number);
        ListBox1->clear();
        AddFileBytes(files);
        TabbedNotebook1->setCurrentIndex(0);
    };
    HistoryPage->SetStore(History.get());
    // Read each time it is shown, not before.
    connect(TabbedNotebook1, &QTabWidget::currentChanged, this, [this](int index) {
        if (TabbedNotebook1->widget(index) != HistoryPage) return;
        HistoryPage->Refresh();
        ShowHistoryNotices();
    });
    // Where a send stands, while the user waits for it.
    ZelSMTP1->OnStep = [this](mail::TSmtpPhase phase) {
        const QString text = StepText(phase, {Edit1->text(), ZelSMTP1->Port}, ZelSMTP1->TimeLimits.Greeting);
        if (!text.isEmpty()) SetStatusText(StatusBar1, text);
    };

    // What was saved last time, then every change saved as it happens.
    const TSendSettings saved = ReadSendSettings();
    Edit1->setText(saved.Server);
    Edit2->setText(saved.Email);
    SettingsPage->OnStatus = [this](const QString& text) { SetStatusText(StatusBar1, text); };
    SettingsPage->Show(saved);
    SettingsPage->Mailbox->Show(ReadMailboxSettings());
    SettingsPage->OnChanged = [this] {
        SaveSettings();
        Edit3Change();  // the home country or the gateway may read the number otherwise
    };
    SettingsPage->OnTestConnection = [this] {
        TestConnection({*SettingsPage, Edit1, Edit2, StatusBar1, ZelSMTP1->TimeLimits, SendUnderWay()});
    };
    MailboxWatch = std::make_unique<TMailboxWatch>();
    MailboxWatch->Mailbox = [] { return ReadMailboxSettings(); };
    MailboxWatch->Send = [this] {
        TSendSettings settings;
        SettingsPage->Collect(settings);
        return settings;
    };
    MailboxWatch->Password = [this] { return SettingsPage->PasswordEdit->text(); };
    MailboxWatch->OnStatus = [this](const QString& text) { SetStatusText(StatusBar1, text); };
    MailboxWatch->OnConfirmed = [this](const watch::TConfirmed& c) {
        HistoryPage->RecordChanged(c.Fax);
        SetStatusText(StatusBar1, QString::fromUtf8("收到传真网关的回复（") + ConfirmationText(watch::OutcomeName(c.Confirmation.Outcome)) +
                                      QString::fromUtf8("）：") + QString::fromStdString(c.Confirmation.Subject));
    };
    MailboxWatch->Restart();
    connect(Edit1, &QLineEdit::textChanged, this, [this] { SaveSettings(); });
    connect(Edit2, &QLineEdit::textChanged, this, [this] { SaveSettings(); });

    Edit3->installEventFilter(this);
    connect(Edit3, &QLineEdit::textChanged, this, [this] { RunHandler([this] { Edit3Change(); }); });
    OnClick(Button1, [this] { Button1Click(); });
    OnClick(Button2, [this] { Button2Click(); });
    OnClick(Button4, [this] {
        TSendProgress progress(ProgressBar1);
        Button4Click();
    });
    OnClick(Button3, [this] { Button3Click(); });

    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::FormCreate() { TabbedNotebook1->setCurrentIndex(0); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit3 && event->type() == QEvent::FocusIn &&
        EntersFromAnotherControl(static_cast<QFocusEvent*>(event)->reason()))
        RunHandler([this] { Edit3Enter(); });
    return QWidget::eventFilter(watched, event);
}

void TForm1::Edit3Enter() { SetStatusText(StatusBar1, QString::fromUtf8("传真号码的形式必须为：001-212-1234567")); }

void TForm1::Edit3Change() {
    ShowEcho(Label6, EchoNumber(Edit3->text(), SettingsPage->HomeCountry(), CoverageLines(), SettingsPage->GatewayPattern()));
}

void TForm1::Button1Click() { AddFiles(RunOpenFilesDialog(this)); }

void TForm1::AddFiles(const QStringList& paths) {
    QList<QByteArray> bytes;
    for (const QString& path : paths) bytes << QFile::encodeName(path);
    AddFileBytes(bytes);
}

void TForm1::AddFileBytes(const QList<QByteArray>& paths) {
    for (const QByteArray& path : paths) {
        if (path.isEmpty()) continue;
        auto* item = new QListWidgetItem(QFile::decodeName(path), ListBox1);
        item->setData(Qt::UserRole, path);
    }
}

namespace {
// The local files a drag carries; none when it carries anything else.
QStringList DraggedFiles(const QMimeData* data) {
    QStringList paths;
    if (data == nullptr || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) return {};
        paths << url.toLocalFile();
    }
    return paths;
}
}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!DraggedFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    const QStringList paths = DraggedFiles(event->mimeData());
    if (paths.isEmpty()) return;
    RunHandler([&] { AddFiles(paths); });
    event->acceptProposedAction();
}

void TForm1::Button2Click() {
    // The selected item, wherever the current row is: a screen reader selects without moving it.
    const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
    if (selected.isEmpty()) return;
    delete ListBox1->takeItem(ListBox1->row(selected.front()));
    // The view selects the row that moves up into the deleted one's place;
    // the list box leaves nothing selected, so a second press deletes nothing.
    ListBox1->clearSelection();
}

rtl::TStringList TForm1::CoverageLines() const {
    rtl::TStringList lines;
    for (const QString& line : Memo1->toPlainText().split('\n')) lines.Add(ToGb(line));
    return lines;
}

void TForm1::SaveSettings() {
    TSendSettings settings;
    settings.Server = Edit1->text();
    settings.Email = Edit2->text();
    SettingsPage->Collect(settings);
    WriteSendSettings(settings);
    TMailboxSettings mailbox = ReadMailboxSettings();
    const TMailboxSettings before = mailbox;
    SettingsPage->Mailbox->Collect(mailbox);
    if (mailbox == before) return;
    WriteMailboxSettings(mailbox);
    MailboxWatch->Restart();
}

bool TForm1::MakeRequest(fax::TSendRequest& request) {
    // A protection the settings file names but the program cannot read is
    // never replaced by none: the send waits for the page to be corrected.
    const QString damaged = DamagedSettingsMessage(SettingsPage->Damaged());
    if (!damaged.isEmpty()) {
        ShowMessage(damaged);
        return false;
    }
    // A press during a send is refused by the send itself; the running send
    // keeps the client as it started.
    TSendSettings settings;
    settings.Server = Edit1->text();
    settings.Email = Edit2->text();
    SettingsPage->Collect(settings);
    // Paths keep the file system's own bytes, so the files can be opened.
    std::vector<rtl::TFilePath> files;
    for (int i = 0; i < ListBox1->count(); ++i) {
        const QListWidgetItem* item = ListBox1->item(i);
        const QByteArray bytes = item->data(Qt::UserRole).toByteArray();
        files.emplace_back((bytes.isEmpty() ? QFile::encodeName(item->text()) : bytes).toStdString());
    }
    TMadeRequest made = MakeSendRequest(settings, Edit3->text(), SettingsPage->PasswordEdit->text(), std::move(files));
    if (made.Refused()) {
        ShowMessage(UnrepresentableFieldText(made.RefusedField));
        return false;
    }
    request = std::move(made.Request);
    request.CoverageLines = CoverageLines();
    return true;
}

void TForm1::Button4Click() {
    fax::TSendRequest request;
    if (!MakeRequest(request)) return;
    struct Ended {
        TForm1* Form;
        ~Ended() { Form->AfterSend(); }
    } ended{this};
    try {
        const std::string refusal = Recorder->Send(request);
        if (!refusal.empty()) ShowMessage(FromGb(refusal));
    } catch (const rtl::EAbort&) {
        throw;
    } catch (const mail::EMaybeDelivered&) {
        throw;  // the outer handler shows it, even when the user stopped the send
    } catch (const rtl::Exception& e) {
        // The stop button asked for this: a word in the status bar, no error box.
        if (e.Kind == rtl::TErrorKind::Stopped) {
            if (!Win::Application().Terminated()) SetStatusText(StatusBar1, Msg(TMsg::Stopped));
            return;
        }
        if (QueueFailure(request, e)) return;
        ShowModalMessage(ApplicationTitle(), ExplainFailure(e, {Edit1->text(), ZelSMTP1->Port}), TMsgIcon::Error);
    }
}

void TForm1::AfterSend() {
    if (TabbedNotebook1->currentWidget() == HistoryPage) HistoryPage->Refresh();
    History->Release();
    ShowHistoryNotices();
}

void TForm1::ShowHistoryNotices() {
    if (HistoryNotices.isEmpty()) return;
    // After the send's own message, never in the middle of it.
    QTimer::singleShot(0, this, [this] {
        const QStringList notices = std::exchange(HistoryNotices, {});
        for (const QString& text : notices) ShowMessage(text);
    });
}

void TForm1::Button3Click() { ZelSMTP1->Abort(); }

void TForm1::Form1Close() {
    if (StartWindow != nullptr) StartWindow->close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    RunHandler([this] { Form1Close(); });
    // The start window asks first while a send is under way; its No keeps
    // the program, and this window, as they are.
    if (StartWindow != nullptr && !Win::Application().Terminated()) {
        event->ignore();
        return;
    }
    event->accept();
}

void TForm1::SMTP1Connect(rtl::TObject*) {
    SetStatusText(StatusBar1, QString::fromUtf8("已与传真服务器连接上"));
    ShowProgress(0);
}

void TForm1::SMTP1Packentsent(rtl::TObject*) {
    const std::int64_t total = ZelSMTP1->BytesTotal;
    ShowProgress(total > 0 ? static_cast<int>(std::int64_t{ZelSMTP1->BytesSent} * 100 / total) : 0);
    SetStatusText(StatusBar1, QString::number(ZelSMTP1->BytesTotal) + QString::fromUtf8("字节的") +
                                  QString::number(ZelSMTP1->BytesSent) + QString::fromUtf8("正在发送"));
}

void TForm1::ShowProgress(int percent) {
    ProgressBar1->show();
    ProgressBar1->setValue(percent);
}

void TForm1::ZelSMTP1Success(rtl::TObject*) {
    SetStatusText(StatusBar1, QString::fromUtf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
    // The gateway answers from this address: the user looks for it in the mailbox.
    StatusBar1->setToolTip(QString::fromUtf8("传真已发往网关：") + FromGb(LastGatewayAddress()));
}

void TForm1::ZelSMTP1InvalidHost(bool&) {
    SetStatusText(StatusBar1, QString::fromUtf8("您的邮件服务器(SMTP)设置不正确，请重新设置。"));
}

}  // namespace app
