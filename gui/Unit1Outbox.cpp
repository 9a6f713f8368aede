// The main window's outbox: a send that failed for a while is queued, 稍后发送
// queues one for later, and what is due goes out while the window is open.
#include "app/FailureText.h"
#include "app/Notifier.h"
#include "app/OutboxSettings.h"
#include "gui/Forms.h"
#include "gui/OutboxPage.h"
#include "gui/SettingsPage.h"
#include "gui/Unit1.h"
#include "platform/Application.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

namespace app {
namespace {

// How often the window looks for faxes that have come due.
constexpr int kFlushIntervalMs = 60 * 1000;

QString DueText(const QDateTime& due) { return due.toLocalTime().toString("yyyy-MM-dd HH:mm"); }

}  // namespace

void TForm1::SetUpOutbox() {
    Outbox = std::make_unique<outbox::TOutbox>();
    // A fax given up is told as a failed answer is, when nothing else listens.
    if (!GivenUpNotice()) GivenUpNotice() = [](const QString& numbers, const QString& reason) { NotifyFaxProblem(numbers, reason); };
    Outbox->OnGivenUp = [this](const outbox::TEntry& entry) {
        SetStatusText(StatusBar1, QString::fromUtf8("发件箱中的传真（%1）已放弃，不再重试。").arg(entry.Numbers));
        TellGivenUp(entry);
    };
    OutboxPage->SetStore(Outbox.get());
    OutboxPage->OnSendNow = [this](qint64 id) { FlushOutbox(id); };
    OutboxPage->OnStatus = [this](const QString& text) { SetStatusText(StatusBar1, text); };
    OutboxPage->OnChanged = [this] { OutboxChanged(); };
    connect(TabbedNotebook1, &QTabWidget::currentChanged, this, [this](int index) {
        if (TabbedNotebook1->widget(index) == OutboxPage) OutboxPage->Refresh();
    });

    LaterEdit = new QDateTimeEdit(QDateTime::currentDateTime().addSecs(3600), GroupBox1);
    LaterEdit->setGeometry(24, 234, 126, 21);
    LaterEdit->setDisplayFormat("yyyy-MM-dd HH:mm");
    LaterEdit->setFont(DefaultFont());
    LaterButton = MakeButton(GroupBox1, "稍后发送", 336, 232, 75, 25);
    OnClick(LaterButton, [this] { LaterButtonClick(); });

    OutboxCount = new QLabel;
    StatusBar1->addPermanentWidget(OutboxCount);
    OutboxTimer = new QTimer(this);
    connect(OutboxTimer, &QTimer::timeout, this, [this] { RunHandler([this] { FlushOutbox(); }); });
    OutboxTimer->start(kFlushIntervalMs);
    // What came due while the program was not running goes out once the window is up.
    QTimer::singleShot(0, this, [this] { RunHandler([this] { FlushOutbox(); }); });
    OutboxChanged();
}

void TForm1::OutboxChanged() {
    const int waiting = Outbox->Waiting();
    Outbox->Release();
    OutboxCount->setText(QString::fromUtf8("发件箱：%1").arg(waiting));
    OutboxCount->setVisible(waiting > 0);
    if (TabbedNotebook1->currentWidget() == OutboxPage) OutboxPage->Refresh();
}

bool TForm1::QueueFailure(const fax::TSendRequest& request, const std::exception& failure) {
    if (!OutboxPage->QueueOnFailureBox->isChecked() || !outbox::SafeToRetry(failure)) return false;
    fax::TSendRequest queued = request;
    queued.Password = rtl::TUtf8Text();
    Outbox->GiveUpHours = OutboxGiveUpHours();
    const QDateTime due = QDateTime::currentDateTimeUtc().addSecs(qint64{outbox::RetryDelayMinutes(1)} * 60);
    const QString explained = ExplainFailure(failure, {Edit1->text(), ZelSMTP1->Port});
    QString error;
    const qint64 id = Outbox->Add(queued, history::kWindow, due, 1, explained, error);
    if (id == 0) return false;
    // The failed try in the history names the fax it now is in the outbox.
    history::TRecord record = Recorder->Last();
    if (record.Id != 0) {
        record.OutboxId = id;
        History->Update(record);
    }
    OutboxChanged();
    ShowModalMessage(ApplicationTitle(),
                     explained + QString::fromUtf8("\n\n传真已放入发件箱，将在 %1 自动重试。").arg(DueText(due)), TMsgIcon::Error);
    return true;
}

void TForm1::LaterButtonClick() {
    fax::TSendRequest request;
    if (!MakeRequest(request)) return;
    // The checks of a send now, so that a fax queued for later can go.
    const std::string refusal = Recorder->Check(request);
    if (!refusal.empty()) {
        ShowMessage(FromGb(refusal));
        return;
    }
    request.Password = rtl::TUtf8Text();
    Outbox->GiveUpHours = OutboxGiveUpHours();
    QString error;
    const QDateTime due = LaterEdit->dateTime().toUTC();
    if (Outbox->Add(request, history::kWindow, due, 0, QString(), error) == 0) {
        ShowMessage(error);
        return;
    }
    SetStatusText(StatusBar1, QString::fromUtf8("传真已放入发件箱，将在 %1 发送。").arg(DueText(due)));
    OutboxChanged();
}

void TForm1::FlushOutbox(qint64 Id) {
    // One send at a time: the main page's send, a flush, or 立即发送.
    if (Flushing || Dispatch->Sending() || ZelSMTP1->Busy() || Win::Application().Terminated()) return;
    Flushing = true;
    struct Done {
        TForm1* Form;
        ~Done() {
            Form->Flushing = false;
            Form->Recorder->OutboxId = 0;
            Form->History->Release();
            Form->OutboxChanged();
        }
    } done{this};
    Outbox->GiveUpHours = OutboxGiveUpHours();
    while (const std::optional<outbox::TEntry> entry = Outbox->Claim(Id)) {
        fax::TSendRequest request = entry->Request;
        if (!request.LoginName.IsEmpty()) request.Password = rtl::TUtf8Text(SettingsPage->PasswordEdit->text().toStdString());
        request.CoverageLines = CoverageLines();
        Recorder->OutboxId = entry->Id;
        const QString host = FromGb(request.Server.Bytes());
        SetStatusText(StatusBar1, QString::fromUtf8("正在发送发件箱中的传真（%1）").arg(entry->Numbers));
        // The last moment a resend is safe: recorded before the end mark goes out.
        const auto trace = ZelSMTP1->OnDialogue;
        ZelSMTP1->OnDialogue = [this, id = entry->Id, trace](bool sent, const std::string& line) {
            if (sent && ZelSMTP1->Phase() == mail::TSmtpPhase::EndMark) Outbox->EndMarkGoing(id);
            if (trace) trace(sent, line);
        };
        try {
            const std::string refusal = Recorder->Send(request);
            if (refusal.empty())
                Outbox->Sent(entry->Id);
            else
                Outbox->Failed(entry->Id, FromGb(refusal), false);
        } catch (const mail::EMaybeDelivered& e) {
            Outbox->MaybeSent(entry->Id, ExplainFailure(e, {host, request.Port}));
        } catch (const rtl::Exception& e) {
            // A stop leaves it due again.
            Outbox->Failed(entry->Id, ExplainFailure(e, {host, request.Port}),
                           e.Kind == rtl::TErrorKind::Stopped || outbox::SafeToRetry(e));
        } catch (const std::exception& e) {
            Outbox->Failed(entry->Id, ExplainFailure(e, {host, request.Port}), false);
        }
        ZelSMTP1->OnDialogue = trace;
        if (Id != 0 || Win::Application().Terminated()) break;
    }
}

}  // namespace app
