// The main window's third page, "发送设置": the server's port and protection,
// the login, the fax gateway's pattern and the extra trusted certificates.
// The page holds the values; the main window reads and saves them.
#pragma once

#include "app/SecretStore.h"
#include "app/Settings.h"
#include "fax/SendRequest.h"
#include "mail/Smtp.h"

#include <QWidget>

#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace mail {
class TZelSMTP;
}

namespace app {

class TMailboxBox;

class TSettingsPage : public QWidget {
public:
    TSettingsPage();

    QGroupBox* GroupBox1;
    QLabel* PortLabel;
    QSpinBox* PortEdit;
    QLabel* SecurityLabel;
    QComboBox* SecurityBox;  // in the order of mail::TSmtpSecurity
    QLabel* LoginLabel;
    QLineEdit* LoginEdit;
    QLabel* LoginHint;
    QLabel* PasswordLabel;
    QLineEdit* PasswordEdit;
    QCheckBox* RememberBox;
    QLabel* GatewayLabel;
    QLineEdit* GatewayEdit;
    QLabel* GatewayHint;
    QLabel* TrustFileLabel;
    QLineEdit* TrustFileEdit;
    QPushButton* TrustFileButton;
    QLabel* TrustFileHint;
    QLabel* HomeCountryLabel;
    QLineEdit* HomeCountryEdit;  // empty: none
    QLabel* HomeCountryHint;
    QLabel* SavedNote;
    QPushButton* TestButton;  // "测试连接"
    TMailboxBox* Mailbox;  // below the send settings: where the gateways' answers arrive

    // A remembered value changed (the password is not one of them).
    std::function<void()> OnChanged;
    // A text for the window's status bar.
    std::function<void(const QString&)> OnStatus;
    // The connection test was asked for (the window knows the server).
    std::function<void()> OnTestConnection;

    // Puts saved values on the page without firing OnChanged; with the
    // password remembered, asks the secret store for it.
    void Show(const TSendSettings& settings);
    // The page's values into settings; server and e-mail are left alone.
    void Collect(TSendSettings& settings) const;
    // The connection part of a send request: port, protection, login,
    // password and trusted certificates.
    fax::TSendRequest ConnectionRequest() const;
    // The accepted gateway pattern, in GB2312 as the fax layer takes it.
    std::string GatewayPattern() const;
    // The accepted home country (0: none).
    int HomeCountry() const { return AcceptedHome; }
    // The saved values that could not be read and are not corrected yet.
    const QList<TDamagedSetting>& Damaged() const { return DamagedValues; }

    // Handlers.
    void SecurityBoxChange();
    void GatewayEditExit();
    void HomeCountryEditExit();
    void PasswordEditExit();
    void RememberBoxClick();
    void TrustFileButtonClick();

private:
    void Changed();
    // Marks the field of each damaged value; Repair takes the mark off one,
    // true when it was marked.
    void MarkDamaged();
    bool Repair(const char* Key, QWidget* Field);
    void StorePassword();
    // A secret store reply that says once per run when no store answered.
    TSecretStore::TReply FailureReply();

    mail::TSmtpSecurity Security = mail::TSmtpSecurity::None;
    QString AcceptedPattern;
    int AcceptedHome = 0;
    bool StoreFailureShown = false;
    QList<TDamagedSetting> DamagedValues;
    // The password the secret store holds as far as this run knows (empty:
    // none; unset: not known), so that an unchanged one is not written again.
    std::optional<QString> InStore;
};

}  // namespace app
