#include "app/Unit1.h"

#include "app/Constants.h"
#include "app/Forms.h"
#include "app/Unit4.h"
#include "fax/Coverage.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>

namespace app {
namespace {

QLabel* MakeLabel(QWidget* parent, const char* text, int left, int top) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setFont(SongTiFont());
    label->adjustSize();
    label->move(left, top);
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, int left, int top, int width, int height) {
    // The input-method request of the original fields has no counterpart
    // here: the desktop's input method serves every edit.
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(left, top, width, height);
    return edit;
}

}  // namespace

TForm1::TForm1(TForm4* startWindow) : QWidget(nullptr, Qt::Window), StartWindow(startWindow) {
    ApplyWindowStyle(this);
    setFont(DefaultFont());
    setFixedSize(490, 327);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, 327 - 21, 490, 21);

    TabbedNotebook1 = new QTabWidget(this);
    TabbedNotebook1->setGeometry(0, 0, 489, 305);
    TabbedNotebook1->setFont(SongTiFont());
    auto* mainPage = new QWidget;
    auto* coveragePage = new QWidget;
    TabbedNotebook1->addTab(mainPage, QString::fromUtf8("主页面"));
    TabbedNotebook1->addTab(coveragePage, QString::fromUtf8("传真范围列表"));

    Memo1 = new QPlainTextEdit(coveragePage);
    Memo1->setGeometry(8, 8, 465, 201);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setFont(DefaultFont());
    QStringList lines;
    for (const auto& line : fax::CoverageList()) lines << FromGb(line);
    Memo1->setPlainText(lines.join('\n'));

    GroupBox1 = new QGroupBox(mainPage);
    GroupBox1->setGeometry(0, 0, 483, 276);
    GroupBox1->setFont(DefaultFont());

    Label1 = MakeLabel(GroupBox1, "SMTP邮件服务器：", 16, 20);
    Edit1 = MakeEdit(GroupBox1, 112, 16, 129, 21);
    Label2 = MakeLabel(GroupBox1, "您的电子邮件：", 256, 20);
    Edit2 = MakeEdit(GroupBox1, 344, 16, 121, 21);
    Label3 = MakeLabel(GroupBox1, "对方传真号码：", 24, 45);
    Edit3 = MakeEdit(GroupBox1, 112, 40, 353, 21);
    Label4 = MakeLabel(GroupBox1, "传真内容均以附件文件的形式发送：（可以为Word等文件，以及各种图形文件等）。", 24, 72);

    GroupBox2 = new QGroupBox(QString::fromUtf8("附件文件"), GroupBox1);
    GroupBox2->setGeometry(24, 96, 441, 89);
    GroupBox2->setFont(SongTiFont());
    ListBox1 = new QListWidget(GroupBox2);
    ListBox1->setGeometry(16, 16, 329, 57);
    ListBox1->setFont(DefaultFont());
    Button1 = MakeButton(GroupBox2, "增加", 360, 16, 49, 25);
    Button2 = MakeButton(GroupBox2, "删除", 360, 48, 49, 25);

    Label5 = MakeLabel(GroupBox1, "特别注意：附件文件内不能发送中文（只能用图形发送中文），只能为英文。", 24, 200);
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

    ZelSMTP1 = MakeWindowMailClient();
    ZelSMTP1->OnConnect = [this](rtl::TObject* s) { SMTP1Connect(s); };
    ZelSMTP1->OnPacketSent = [this](rtl::TObject* s) { SMTP1Packentsent(s); };
    ZelSMTP1->OnSuccess = [this](rtl::TObject* s) { ZelSMTP1Success(s); };
    ZelSMTP1->OnInvalidHost = [this](bool& handled) { ZelSMTP1InvalidHost(handled); };
    Dispatch = std::make_unique<fax::TFaxDispatch>(*ZelSMTP1);

    Edit3->installEventFilter(this);
    OnClick(Button1, [this] { Button1Click(); });
    OnClick(Button2, [this] { Button2Click(); });
    OnClick(Button4, [this] { Button4Click(); });
    OnClick(Button3, [this] { Button3Click(); });

    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::FormCreate() { TabbedNotebook1->setCurrentIndex(0); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit3 && event->type() == QEvent::FocusIn) RunHandler([this] { Edit3Enter(); });
    return QWidget::eventFilter(watched, event);
}

void TForm1::Edit3Enter() { SetStatusText(StatusBar1, QString::fromUtf8("传真号码的形式必须为：001-212-1234567")); }

void TForm1::Button1Click() {
    const QString path = RunOpenDialog(this);
    if (!path.isEmpty()) ListBox1->addItem(path);
}

void TForm1::Button2Click() {
    const int row = ListBox1->currentRow();
    if (row >= 0 && ListBox1->currentItem() != nullptr && ListBox1->currentItem()->isSelected()) delete ListBox1->takeItem(row);
}

rtl::TStringList TForm1::CoverageLines() const {
    rtl::TStringList lines;
    for (const QString& line : Memo1->toPlainText().split('\n')) lines.Add(ToGb(line));
    return lines;
}

void TForm1::Button4Click() {
    fax::TFaxForm form;
    if (!FieldToGb(Edit1->text(), "SMTP邮件服务器", form.Server) || !FieldToGb(Edit2->text(), "您的电子邮件", form.Email) ||
        !FieldToGb(Edit3->text(), "对方传真号码", form.Number))
        return;
    // Paths keep the file system's own bytes, so the files can be opened.
    for (int i = 0; i < ListBox1->count(); ++i) form.Files.Add(ListBox1->item(i)->text().toLocal8Bit().toStdString());
    form.CoverageLines = CoverageLines();
    const std::string refusal = Dispatch->Send(form);
    if (!refusal.empty()) ShowMessage(FromGb(refusal));
}

void TForm1::Button3Click() { ZelSMTP1->Abort(); }

void TForm1::Form1Close() {
    if (StartWindow != nullptr) StartWindow->close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    RunHandler([this] { Form1Close(); });
    event->accept();
}

void TForm1::SMTP1Connect(rtl::TObject*) { SetStatusText(StatusBar1, QString::fromUtf8("已与传真服务器连接上")); }

void TForm1::SMTP1Packentsent(rtl::TObject*) {
    SetStatusText(StatusBar1, QString::number(ZelSMTP1->BytesTotal) + QString::fromUtf8("字节的") +
                                  QString::number(ZelSMTP1->BytesSent) + QString::fromUtf8("正在发送"));
}

void TForm1::ZelSMTP1Success(rtl::TObject*) {
    SetStatusText(StatusBar1, QString::fromUtf8("传真已经发送，请稍后检查您的邮箱，证实Fax是否真正成功。"));
}

void TForm1::ZelSMTP1InvalidHost(bool&) {
    SetStatusText(StatusBar1, QString::fromUtf8("您的邮件服务器(SMTP)设置不正确，请重新设置。"));
}

}  // namespace app
