#include "gui/WindowConnectionCheck.h"

#include "app/ConnectionCheck.h"
#include "app/Messages.h"
#include "fax/Dispatch.h"
#include "gui/Forms.h"
#include "gui/SettingsPage.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStringList>

namespace app {

void TestConnection(const TConnectionCheckWindow& window) {
    TSettingsPage& page = window.Page;
    // One at a time, and never beside a send: both would use the same settings.
    if (!page.TestButton->isEnabled() || window.SendUnderWay) return;
    TSendSettings settings;
    settings.Server = window.Server->text().trimmed();
    settings.Email = window.Email->text().trimmed();
    page.Collect(settings);
    if (settings.Server.isEmpty()) {
        ShowMessage(FromGb(fax::kMsgBlankFields));
        return;
    }
    page.TestButton->setEnabled(false);
    struct Enable {
        QPushButton* Button;
        ~Enable() { Button->setEnabled(true); }
    } enable{page.TestButton};

    TConnectionCheck check;
    QStringList lines;
    check.OnStatus = [&](const QString& text) { SetStatusText(window.StatusBar, text); };
    check.OnReport = [&](const QString& line) {
        lines << line;
        SetStatusText(window.StatusBar, line);
    };
    check.Prepare = [&](mail::TSmtpConnection& connection, mail::TZelSMTP&) { connection.Limits = window.TimeLimits; };
    const QString caption = Msg(TMsg::CheckCaption);
    if (check.Run(settings, page.PasswordEdit->text())) {
        ShowModalMessage(caption, lines.join('\n'), TMsgIcon::None);
        return;
    }
    const QString report = (lines.isEmpty() ? QString() : lines.join('\n') + "\n\n") + check.Failure;
    if (!check.Alternative) {
        ShowModalMessage(caption, report + (check.AlternativesTried ? "\n\n" + Msg(TMsg::CheckNoAlternative) : QString()),
                         TMsgIcon::Error);
        return;
    }
    const TSendSettings& better = *check.Alternative;
    const QString question =
        Msg(TMsg::CheckConfirm, {QString::number(better.Port), SecurityLabel(better.Security)});
    if (!AskYesNo(caption, report + "\n\n" + question)) return;
    // The mode first: its change proposes its usual port, which the tested one then replaces.
    page.SecurityBox->setCurrentIndex(static_cast<int>(better.Security));
    page.PortEdit->setValue(better.Port);
}

}  // namespace app
