// The mailbox settings on the 发送设置 page: where the gateways' answers
// arrive (server, port, protection, login, folder) and 测试邮箱, which tries
// them on a thread of its own so the window never waits.
#pragma once

#include "app/MailboxSettings.h"

#include <QGroupBox>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace app {

class TMailboxBox : public QGroupBox {
public:
    explicit TMailboxBox(QWidget* parent);
    ~TMailboxBox() override;

    QLabel* ServerLabel;
    QLineEdit* ServerEdit;
    QLabel* PortLabel;
    QSpinBox* PortEdit;
    QLabel* SecurityLabel;
    QComboBox* SecurityBox;  // STARTTLS, SSL/TLS: never in the clear
    QLabel* LoginLabel;
    QLineEdit* LoginEdit;  // empty: the SMTP login
    QLabel* FolderLabel;
    QLineEdit* FolderEdit;
    QPushButton* TestButton;

    std::function<void()> OnChanged;
    // What the test needs that lives elsewhere on the page: the SMTP login,
    // the trust file and the password.
    std::function<TSendSettings()> SendSettings;
    std::function<QString()> Password;

    void Show(const TMailboxSettings& settings);
    // The fields into settings; the words and sender pattern are left alone.
    void Collect(TMailboxSettings& settings) const;

    void SecurityBoxChange();
    void TestButtonClick();

private:
    void Changed();
    watch::TImapSecurity Security = watch::TImapSecurity::StartTls;
    std::thread Tester;
    std::shared_ptr<std::atomic<bool>> Alive = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace app
