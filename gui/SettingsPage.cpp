#include "gui/SettingsPage.h"

#include "app/DamagedSettings.h"
#include "app/Messages.h"
#include "app/SendRequest.h"
#include "fax/FaxNumber.h"
#include "fax/GatewayPattern.h"
#include "gui/Forms.h"
#include "gui/MailboxBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>

#include <algorithm>

namespace app {
namespace {

// Login names and passwords go to the server as UTF-8, as SASL carries them
// (RFC 4616), not in the code page of the message text.

}  // namespace

TSettingsPage::TSettingsPage() : QWidget(nullptr), AcceptedPattern(DefaultGatewayPattern()) {
    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(0, 0, 483, 276);
    GroupBox1->setFont(DefaultFont());

    PortLabel = MakeLabel(GroupBox1, "SMTP端口：", 16, 20, 112);
    PortEdit = new QSpinBox(GroupBox1);
    PortEdit->setGeometry(112, 16, 73, 21);
    PortEdit->setRange(1, 65535);
    PortEdit->setValue(mail::kDefaultSmtpPort);
    SecurityLabel = MakeLabel(GroupBox1, "安全连接：", 256, 20, 344);
    SecurityBox = new QComboBox(GroupBox1);
    SecurityBox->setGeometry(344, 16, 121, 21);
    SecurityBox->addItems({QString::fromUtf8("无"), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});

    LoginLabel = MakeLabel(GroupBox1, "登录名：", 16, 52, 112);
    LoginEdit = MakeEdit(GroupBox1, 112, 48, 129, 21);
    LoginHint = MakeLabel(GroupBox1, "（空白：不登录）", 112, 76, 336);
    PasswordLabel = MakeLabel(GroupBox1, "密码：", 256, 52, 344);
    PasswordEdit = MakeEdit(GroupBox1, 344, 48, 121, 21);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    RememberBox = new QCheckBox(QString::fromUtf8("记住密码"), GroupBox1);
    RememberBox->setFont(SongTiFont());
    RememberBox->setGeometry(344, 74, 121, 17);

    GatewayLabel = MakeLabel(GroupBox1, "传真网关：", 16, 112, 112);
    GatewayEdit = MakeEdit(GroupBox1, 112, 108, 353, 21);
    GatewayEdit->setText(AcceptedPattern);
    GatewayEdit->setCursorPosition(0);
    GatewayHint = MakeLabel(GroupBox1, "{number} 国家+区号+用户号码；{e164} +和号码；{national} 国内号码", 112, 136, 455);

    TrustFileLabel = MakeLabel(GroupBox1, "信任的证书：", 16, 168, 112);
    TrustFileEdit = MakeEdit(GroupBox1, 112, 164, 289, 21);
    TrustFileButton = MakeButton(GroupBox1, "浏览", 408, 162, 57, 25);
    TrustFileHint = MakeLabel(GroupBox1, "（可选：系统证书之外另行信任的证书文件）", 112, 192, 465);

    HomeCountryLabel = MakeLabel(GroupBox1, "本国国家代码：", 16, 216, 112);
    HomeCountryEdit = MakeEdit(GroupBox1, 112, 212, 49, 21);
    HomeCountryEdit->setValidator(new QIntValidator(0, 999, HomeCountryEdit));
    HomeCountryHint = MakeLabel(GroupBox1, "（如 86；空白：号码必须带国家代码）", 168, 216, 384);  // the test button on its right

    SavedNote = MakeLabel(GroupBox1, "以上设置自动保存；密码只在勾选“记住密码”时存入桌面的密码保管库。", 16, 236, 465);
    TestButton = MakeButton(GroupBox1, "测试连接", 390, 206, 75, 25);
    OnClick(TestButton, [this] {
        if (OnTestConnection) OnTestConnection();
    });

    Mailbox = new TMailboxBox(this);
    // The page scrolls in the notebook now: both frames make room for the
    // scroll bar, and the fields (up to 465) still fit inside them.
    const int width = std::max(467, 483 - style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    GroupBox1->resize(width, GroupBox1->height());
    Mailbox->setGeometry(0, 280, width, 108);
    Mailbox->OnChanged = [this] { Changed(); };
    Mailbox->SendSettings = [this] {
        TSendSettings settings;
        Collect(settings);
        return settings;
    };
    Mailbox->Password = [this] { return PasswordEdit->text(); };
    setFixedSize(width, 392);

    setTabOrder(PortEdit, SecurityBox);
    setTabOrder(SecurityBox, LoginEdit);
    setTabOrder(LoginEdit, PasswordEdit);
    setTabOrder(PasswordEdit, RememberBox);
    setTabOrder(RememberBox, GatewayEdit);
    setTabOrder(GatewayEdit, TrustFileEdit);
    setTabOrder(TrustFileEdit, TrustFileButton);
    setTabOrder(TrustFileButton, HomeCountryEdit);
    setTabOrder(HomeCountryEdit, TestButton);

    const auto handle = [](auto handler) { return [handler] { RunHandler(handler); }; };
    connect(SecurityBox, &QComboBox::currentIndexChanged, this, handle([this] { SecurityBoxChange(); }));
    connect(GatewayEdit, &QLineEdit::editingFinished, this, handle([this] { GatewayEditExit(); }));
    connect(HomeCountryEdit, &QLineEdit::editingFinished, this, handle([this] { HomeCountryEditExit(); }));
    connect(PasswordEdit, &QLineEdit::editingFinished, this, handle([this] { PasswordEditExit(); }));
    connect(RememberBox, &QCheckBox::toggled, this, handle([this] { RememberBoxClick(); }));
    connect(PortEdit, &QSpinBox::valueChanged, this, [this] {
        Repair("smtp/port", PortEdit);
        Changed();
    });
    connect(PortEdit, &QSpinBox::editingFinished, this, [this] {
        if (Repair("smtp/port", PortEdit)) Changed();
    });
    connect(LoginEdit, &QLineEdit::textChanged, this, [this] { Changed(); });
    connect(TrustFileEdit, &QLineEdit::textChanged, this, [this] { Changed(); });
    OnClick(TrustFileButton, [this] { TrustFileButtonClick(); });
}

void TSettingsPage::Show(const TSendSettings& s) {
    {
        const QSignalBlocker b1(PortEdit), b2(SecurityBox), b3(LoginEdit), b4(RememberBox), b5(GatewayEdit),
            b6(TrustFileEdit), b7(HomeCountryEdit);
        Security = s.Security;
        SecurityBox->setCurrentIndex(static_cast<int>(s.Security));
        PortEdit->setValue(s.Port);
        LoginEdit->setText(s.LoginName);
        RememberBox->setChecked(s.RememberPassword);
        AcceptedPattern = s.GatewayPattern;
        GatewayEdit->setText(s.GatewayPattern);
        GatewayEdit->setCursorPosition(0);  // the start of a long pattern says most
        TrustFileEdit->setText(s.TrustFile);
        AcceptedHome = s.HomeCountry;
        HomeCountryEdit->setText(s.HomeCountry == 0 ? QString() : QString::number(s.HomeCountry));
        DamagedValues = s.Damaged;
        MarkDamaged();
    }
    if (!s.RememberPassword) return;
    SecretStore().Read(kPasswordKey, [page = QPointer<TSettingsPage>(this), failed = FailureReply()](
                                         TSecretStore::TOutcome outcome, const QString& secret) {
        failed(outcome, secret);
        if (page == nullptr || outcome == TSecretStore::TOutcome::Failed) return;
        page->InStore = secret;
        // What the user typed meanwhile wins over the stored password.
        if (outcome == TSecretStore::TOutcome::Done && page->PasswordEdit->text().isEmpty())
            page->PasswordEdit->setText(secret);
    });
}

void TSettingsPage::Collect(TSendSettings& s) const {
    s.Port = PortEdit->value();
    s.Security = Security;
    s.LoginName = LoginEdit->text();
    s.RememberPassword = RememberBox->isChecked();
    s.GatewayPattern = AcceptedPattern;
    s.TrustFile = TrustFileEdit->text();
    s.HomeCountry = AcceptedHome;
    s.Damaged = DamagedValues;
}

fax::TSendRequest TSettingsPage::ConnectionRequest() const {
    TSendSettings settings;
    Collect(settings);
    return ConnectionOf(settings, PasswordEdit->text());
}

std::string TSettingsPage::GatewayPattern() const { return ToGb(AcceptedPattern); }

void TSettingsPage::Changed() {
    if (OnChanged) OnChanged();
}

void TSettingsPage::MarkDamaged() {
    for (const TDamagedSetting& d : DamagedValues) {
        QWidget* field = d.Key == "smtp/port"       ? static_cast<QWidget*>(PortEdit)
                         : d.Key == "smtp/security" ? static_cast<QWidget*>(SecurityBox)
                         : d.Key == "fax/gatewayPattern" ? static_cast<QWidget*>(GatewayEdit)
                         : d.Key == "fax/homeCountry"    ? static_cast<QWidget*>(HomeCountryEdit)
                                                         : static_cast<QWidget*>(RememberBox);
        field->setStyleSheet(QStringLiteral("background-color: #ffd0d0;"));
        field->setToolTip(QString::fromUtf8("设置文件中的值“%1”无法识别，请重新设置%2。").arg(d.Value, DamagedSettingLabel(d.Key)));
        // No choice shown, so that choosing any one (the first included) is a change.
        if (field == SecurityBox) SecurityBox->setCurrentIndex(-1);
        if (field == GatewayEdit) GatewayEdit->setText(d.Value);
        if (field == HomeCountryEdit) HomeCountryEdit->setText(d.Value);
    }
}

bool TSettingsPage::Repair(const char* Key, QWidget* Field) {
    const qsizetype before = DamagedValues.size();
    app::Repaired(DamagedValues, QLatin1String(Key));
    if (DamagedValues.size() == before) return false;
    Field->setStyleSheet(QString());
    Field->setToolTip(QString());
    return true;
}

void TSettingsPage::SecurityBoxChange() {
    if (SecurityBox->currentIndex() < 0) return;
    Repair("smtp/security", SecurityBox);
    const auto chosen = static_cast<mail::TSmtpSecurity>(SecurityBox->currentIndex());
    const int port = ProposedPort(Security, chosen, PortEdit->value());
    Security = chosen;
    PortEdit->setValue(port);
    Changed();
}

void TSettingsPage::GatewayEditExit() {
    const QString typed = GatewayEdit->text().trimmed();
    // An emptied field brings the built-in pattern back.
    const QString pattern = typed.isEmpty() ? DefaultGatewayPattern() : typed;
    if (pattern == AcceptedPattern) {
        GatewayEdit->setText(pattern);
        if (Repair("fax/gatewayPattern", GatewayEdit)) Changed();
        return;
    }
    const std::string failure = fax::GatewayPatternProblem(ToGb(pattern));
    // The field gets the accepted pattern back before the message box takes
    // the focus, so that leaving the field again finds nothing to refuse.
    GatewayEdit->setText(failure.empty() ? pattern : AcceptedPattern);
    if (!failure.empty()) {
        ShowMessage(FromGb(failure));
        return;
    }
    AcceptedPattern = pattern;
    Repair("fax/gatewayPattern", GatewayEdit);
    Changed();
}

void TSettingsPage::HomeCountryEditExit() {
    const QString typed = HomeCountryEdit->text().trimmed();
    bool isNumber = true;
    const int home = typed.isEmpty() ? 0 : typed.toInt(&isNumber);
    if (!isNumber || !IsHomeCountry(home)) {
        // The accepted code comes back before the box takes the focus, as in the gateway field.
        HomeCountryEdit->setText(AcceptedHome == 0 ? QString() : QString::number(AcceptedHome));
        ShowMessage(Msg(TMsg::NoSuchHomeCountry, {typed}));
        return;
    }
    const bool repaired = Repair("fax/homeCountry", HomeCountryEdit);
    if (home == AcceptedHome && !repaired) return;
    AcceptedHome = home;
    Changed();
}

void TSettingsPage::PasswordEditExit() {
    if (RememberBox->isChecked()) StorePassword();
}

void TSettingsPage::RememberBoxClick() {
    Repair("smtp/rememberPassword", RememberBox);
    if (RememberBox->isChecked()) {
        StorePassword();
    } else {
        SecretStore().Remove(kPasswordKey, FailureReply());
        InStore = QString();
    }
    Changed();
}

void TSettingsPage::StorePassword() {
    // Every close passes here: the store's round trip must not hold up the program's end.
    const QString password = PasswordEdit->text();
    if (InStore == password) return;
    InStore = password;
    if (password.isEmpty())
        SecretStore().Remove(kPasswordKey, FailureReply());
    else
        SecretStore().Write(kPasswordKey, password, FailureReply());
}

TSecretStore::TReply TSettingsPage::FailureReply() {
    return [page = QPointer<TSettingsPage>(this)](TSecretStore::TOutcome outcome, const QString&) {
        if (page == nullptr || outcome != TSecretStore::TOutcome::Failed || page->StoreFailureShown) return;
        page->StoreFailureShown = true;
        if (page->OnStatus) page->OnStatus(QString::fromUtf8("无法使用桌面的密码保管库，密码只在本次运行中保留。"));
    };
}

void TSettingsPage::TrustFileButtonClick() {
    const QString path = RunOpenDialog(this);
    if (!path.isEmpty()) TrustFileEdit->setText(path);
}

}  // namespace app
