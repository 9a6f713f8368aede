#include "gui/MailboxBox.h"

#include "gui/Forms.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>

namespace app {

TMailboxBox::TMailboxBox(QWidget* parent) : QGroupBox(QString::fromUtf8("确认邮箱（读取传真网关的回复）"), parent) {
    setFont(DefaultFont());
    ServerLabel = MakeLabel(this, "邮箱服务器：", 16, 24, 112);
    ServerEdit = MakeEdit(this, 112, 20, 129, 21);
    ServerEdit->setPlaceholderText(QString::fromUtf8("空白：不读取"));
    PortLabel = MakeLabel(this, "端口：", 256, 24, 344);
    PortEdit = new QSpinBox(this);
    PortEdit->setGeometry(344, 20, 73, 21);
    PortEdit->setRange(1, 65535);
    PortEdit->setValue(143);
    SecurityLabel = MakeLabel(this, "邮箱保护：", 16, 52, 112);
    SecurityBox = new QComboBox(this);
    SecurityBox->setGeometry(112, 48, 129, 21);
    SecurityBox->addItems({QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});
    FolderLabel = MakeLabel(this, "文件夹：", 256, 52, 344);
    FolderEdit = MakeEdit(this, 344, 48, 121, 21);
    FolderEdit->setText(QStringLiteral("INBOX"));
    LoginLabel = MakeLabel(this, "邮箱登录名：", 16, 80, 112);
    LoginEdit = MakeEdit(this, 112, 76, 129, 21);
    LoginEdit->setPlaceholderText(QString::fromUtf8("同SMTP登录名"));
    TestButton = MakeButton(this, "测试邮箱", 344, 74, 121, 25);
    PutCaptionOnFrame(this);

    const auto handle = [](auto handler) { return [handler] { RunHandler(handler); }; };
    connect(SecurityBox, &QComboBox::currentIndexChanged, this, handle([this] { SecurityBoxChange(); }));
    connect(ServerEdit, &QLineEdit::textChanged, this, [this] { Changed(); });
    connect(PortEdit, &QSpinBox::valueChanged, this, [this] { Changed(); });
    connect(LoginEdit, &QLineEdit::textChanged, this, [this] { Changed(); });
    connect(FolderEdit, &QLineEdit::textChanged, this, [this] { Changed(); });
    OnClick(TestButton, [this] { TestButtonClick(); });
}

TMailboxBox::~TMailboxBox() {
    *Alive = false;
    // A test under way ends within its bounded waits; its answer goes nowhere.
    if (Tester.joinable()) Tester.detach();
}

void TMailboxBox::Show(const TMailboxSettings& s) {
    const QSignalBlocker b1(ServerEdit), b2(PortEdit), b3(SecurityBox), b4(LoginEdit), b5(FolderEdit);
    Security = s.Security;
    ServerEdit->setText(s.Server);
    PortEdit->setValue(s.Port);
    SecurityBox->setCurrentIndex(s.Security == watch::TImapSecurity::ImplicitTls ? 1 : 0);
    LoginEdit->setText(s.LoginName);
    FolderEdit->setText(s.Folder);
}

void TMailboxBox::Collect(TMailboxSettings& s) const {
    s.Server = ServerEdit->text().trimmed();
    s.Port = PortEdit->value();
    s.Security = Security;
    s.LoginName = LoginEdit->text().trimmed();
    const QString folder = FolderEdit->text().trimmed();
    s.Folder = folder.isEmpty() ? QStringLiteral("INBOX") : folder;
}

void TMailboxBox::Changed() {
    if (OnChanged) OnChanged();
}

void TMailboxBox::SecurityBoxChange() {
    const auto chosen = SecurityBox->currentIndex() == 1 ? watch::TImapSecurity::ImplicitTls : watch::TImapSecurity::StartTls;
    if (PortEdit->value() == UsualImapPort(Security)) PortEdit->setValue(UsualImapPort(chosen));
    Security = chosen;
    Changed();
}

void TMailboxBox::TestButtonClick() {
    TMailboxSettings mailbox;
    Collect(mailbox);
    if (mailbox.Server.isEmpty()) {
        ShowMessage(QString::fromUtf8("请先填写“邮箱服务器”。"));
        return;
    }
    const TSendSettings send = SendSettings ? SendSettings() : TSendSettings{};
    const watch::TImapSettings imap = ImapSettingsOf(mailbox, send, Password ? Password() : QString());
    if (Tester.joinable()) Tester.join();  // the previous test has answered already: the button was off
    TestButton->setEnabled(false);
    TestButton->setText(QString::fromUtf8("正在测试…"));
    Tester = std::thread([imap, mailbox, alive = Alive, box = QPointer<TMailboxBox>(this)] {
        QString answer;
        bool ok = false;
        try {
            auto reader = watch::MakeImapMailbox();
            reader->Open(imap);
            reader->Close();
            ok = true;
            answer = QString::fromUtf8("邮箱连接正常：已登录 ") + mailbox.Server + QString::fromUtf8(" 并打开文件夹 ") + mailbox.Folder +
                     QString::fromUtf8("。");
        } catch (const watch::EImapError& e) {
            answer = MailboxProblemText(e, mailbox);
        }
        if (!*alive) return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [box, answer, ok] {
                if (box == nullptr) return;
                box->TestButton->setEnabled(true);
                box->TestButton->setText(QString::fromUtf8("测试邮箱"));
                (void)ok;
                ShowMessage(answer);
            },
            Qt::QueuedConnection);
    });
}

}  // namespace app
