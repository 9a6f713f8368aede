#include "gui/Unit4.h"

#include "app/Constants.h"
#include "app/MailClient.h"
#include "gui/Forms.h"
#include "gui/SettingsPage.h"
#include "gui/Unit1.h"
#include "platform/Application.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QStatusBar>
#include <QTabWidget>

namespace app {
namespace {

constexpr char kAskStopAndQuit[] = "传真或建议正在发送中。要停止发送并退出程序吗？";

// "Morvane 2.0中文版建议"
constexpr char kFeedbackSubject[] = "Morvane 2.0\xd6\xd0\xce\xc4\xb0\xe6\xbd\xa8\xd2\xe9";

}  // namespace

TForm4::TForm4() : QWidget(nullptr, Qt::Window), FeedbackHost(kFeedbackSmtpHost) {
    ApplyWindowStyle(this);
    setFont(SongTiFont());
    // An outer size of 545 x 292 with a resizable border leaves this client area.
    resize(537, 265);

    TabbedNotebook1 = new QTabWidget(this);
    TabbedNotebook1->setGeometry(0, 0, 537, 201);
    auto* introPage = new QWidget;
    auto* feedbackPage = new QWidget;
    TabbedNotebook1->addTab(introPage, QString::fromUtf8("简介"));
    TabbedNotebook1->addTab(feedbackPage, QString::fromUtf8("使用过程中出现的问题"));

    Memo1 = new QPlainTextEdit(introPage);
    Memo1->setGeometry(0, 0, 531, 172);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setPlainText(QString::fromUtf8(kIntroduction));

    GroupBox1 = new QGroupBox(feedbackPage);
    GroupBox1->setGeometry(0, 0, 531, 172);
    Label3 = new QLabel(QString::fromUtf8("您的电子邮件："), GroupBox1);
    FitToWidth(Label3, 96 - 8);
    Label3->move(8, 20);
    Edit3 = new QLineEdit(GroupBox1);
    Edit3->setGeometry(96, 16, 161, 20);
    Memo3 = new QPlainTextEdit(GroupBox1);
    Memo3->setGeometry(8, 40, 513, 73);
    Memo3->setPlainText(QString::fromUtf8("您的批评或建议:"));
    Button4 = MakeButton(GroupBox1, "发送", 216, 128, 75, 25);

    WebAddressLabel = new QLabel(QString::fromUtf8(kMakersWebAddress), this);
    WebAddressLabel->adjustSize();
    WebAddressLabel->move(24, 216);
    Button1 = MakeButton(this, "继续", 336, 216, 75, 25);
    Button3 = MakeButton(this, "关闭", 424, 216, 75, 25);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    PlaceStatusBar();

    ZelSMTP1 = MakeWindowMailClient();
    ZelSMTP1->OnConnect = [this](rtl::TObject* s) { Onconnect(s); };
    ZelSMTP1->OnPacketSent = [this](rtl::TObject* s) { packt(s); };
    ZelSMTP1->OnSuccess = [this](rtl::TObject* s) { SMTP1Success(s); };
    ZelSMTP1->OnFailure = [this](rtl::TObject* s) { SMTP1OnFailure(s); };
    FeedbackJob = std::make_unique<mail::TSendJob>(*ZelSMTP1);

    OnClick(Button1, [this] { Button1Click(); });
    OnClick(Button3, [this] { Button3Click(); });
    OnClick(Button4, [this] { Button4Click(); });

    FormCreate();
}

TForm4::~TForm4() = default;

void TForm4::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceStatusBar();
}

// Aligned to the bottom: the border is resizable, and the bar follows it.
void TForm4::PlaceStatusBar() { StatusBar1->setGeometry(0, height() - 19, width(), 19); }

void TForm4::FormCreate() { TabbedNotebook1->setCurrentIndex(0); }

void TForm4::Button1Click() {
    hide();
    if (MainWindow != nullptr) {
        MainWindow->show();
        CenterOnScreen(MainWindow);
    }
}

void TForm4::Button3Click() { close(); }

void TForm4::closeEvent(QCloseEvent* event) {
    const bool faxGoingOut = MainWindow != nullptr && MainWindow->SendUnderWay();
    if ((faxGoingOut || FeedbackJob->Running()) && !AskYesNo(ApplicationTitle(), QString::fromUtf8(kAskStopAndQuit))) {
        event->ignore();
        return;
    }
    // Stopped as the stop button stops them; the waits end as the program ends.
    if (faxGoingOut) MainWindow->ZelSMTP1->Abort();
    ZelSMTP1->Abort();
    // A password changed in its field without leaving it still reaches the store.
    if (MainWindow != nullptr) MainWindow->SettingsPage->PasswordEditExit();
    event->accept();
    // Closing the start window ends the program, whichever window is showing.
    Win::Application().Terminate();
    if (MainWindow != nullptr && MainWindow->isVisible()) MainWindow->hide();
}

void TForm4::Button4Click() {
    SetStatusText(StatusBar1, QString());
    if (IsPlaceholderHost(FeedbackHost)) {
        ShowMessage(QString::fromUtf8("本版本没有配置反馈邮箱，无法发送反馈。"));
        return;
    }
    std::string fromName, comment;
    if (!FieldToGb(Edit3->text(), "您的电子邮件", fromName) || !FieldToGb(Memo3->toPlainText(), "您的批评或建议", comment))
        return;
    mail::TSmtpConnection connection;
    connection.Host = FeedbackHost;
    connection.Port = FeedbackPort;
    connection.UserID = FeedbackUserId();
    FeedbackJob->Run(connection, [&](mail::TPostMessage& message) {
        message.FromAddress = kFeedbackAddress;
        message.FromName = fromName;
        message.Subject = kFeedbackSubject;
        message.Date = ZelSMTP1->Clock->Date();
        message.ToAddress.Clear();
        message.ToAddress.Add(kFeedbackAddress);
        message.Body.Clear();
        if (!comment.empty()) {
            std::size_t start = 0;
            for (std::size_t end; (end = comment.find('\n', start)) != std::string::npos; start = end + 1)
                message.Body.Add(comment.substr(start, end - start));
            message.Body.Add(comment.substr(start));
        }
    });
}

void TForm4::Onconnect(rtl::TObject*) { SetStatusText(StatusBar1, QString::fromUtf8("正在连接......")); }
void TForm4::packt(rtl::TObject*) { SetStatusText(StatusBar1, QString::fromUtf8("正在发送......")); }
void TForm4::SMTP1Success(rtl::TObject*) {
    SetStatusText(StatusBar1, QString::fromUtf8("感谢您的批判与建议，我们会及时与您联系。"));
}
void TForm4::SMTP1OnFailure(rtl::TObject*) { SetStatusText(StatusBar1, QString::fromUtf8("发送失败，请等一会再发送")); }

}  // namespace app
