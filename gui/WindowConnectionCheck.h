// The settings page's 测试连接 in the main window: the connection test with
// what the window holds, its steps in the status bar, the result in a box,
// and a working alternative applied only when the user says yes.
#pragma once

class QLineEdit;
class QStatusBar;

namespace mail {
struct TSmtpTimeLimits;
}

namespace app {

class TSettingsPage;

// What the test reads of the main window; it knows no more of the window.
struct TConnectionCheckWindow {
    TSettingsPage& Page;
    const QLineEdit* Server;
    const QLineEdit* Email;
    QStatusBar* StatusBar;
    const mail::TSmtpTimeLimits& TimeLimits;  // the window's mail client's
    bool SendUnderWay;
};

void TestConnection(const TConnectionCheckWindow& window);

}  // namespace app
