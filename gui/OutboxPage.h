// The main window's page "发件箱": the faxes waiting to go (number, files,
// due time, tries, last failure), 立即发送 and 删除, and the setting
// 失败时放入发件箱.
#pragma once

#include "outbox/Outbox.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QPushButton;
class QTableWidget;

namespace app {

class TOutboxPage : public QWidget {
public:
    TOutboxPage();

    // The outbox the page shows; nothing is read before Refresh.
    void SetStore(outbox::TOutbox* store) { Store = store; }
    void Refresh();

    QTableWidget* List;
    QPushButton* SendNowButton;
    QPushButton* DeleteButton;
    QCheckBox* QueueOnFailureBox;

    // 立即发送 with the selected fax's id.
    std::function<void(qint64 Id)> OnSendNow;
    std::function<void(const QString& text)> OnStatus;
    // After a fax was deleted.
    std::function<void()> OnChanged;

    enum TColumn { ColId, ColNumber, ColFiles, ColDue, ColTries, ColFailure, ColCount };

private:
    qint64 SelectedId() const;
    void Delete();

    outbox::TOutbox* Store = nullptr;
};

}  // namespace app
