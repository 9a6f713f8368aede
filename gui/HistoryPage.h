// The main window's page "发送记录": every send attempt, newest first, the
// details of the one selected, its Message-ID to copy, and "再次发送" to put
// its number and files back on the main page.
#pragma once

#include "history/History.h"

#include <QWidget>

#include <functional>

class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace app {

class THistoryModel;

class THistoryPage : public QWidget {
public:
    THistoryPage();
    ~THistoryPage() override;

    // The history the page shows; nothing is read before Refresh but the
    // count of unseen problems its tab shows.
    void SetStore(history::THistory* store);
    // Reads the history again from the newest.
    void Refresh();
    // Reads one record again where the list shows it (the watch put the
    // gateway's answer on it), keeping the selection.
    void RecordChanged(qint64 Id);

    QTableView* List;
    QPlainTextEdit* Details;
    QPushButton* CopyButton;
    QPushButton* ResendButton;

    // "再次发送" after every file checked: the number as typed and the file paths.
    std::function<void(const QString& number, const QList<QByteArray>& files)> OnResend;
    // A short text for the status bar.
    std::function<void(const QString& text)> OnStatus;

    // The selected record, or nullptr.
    const history::TRecord* Selected() const;
    // Columns of the list.
    enum TColumn { ColTime, ColNumber, ColPlace, ColFiles, ColOutcome, ColConfirmation, ColQueueId, ColCount };

private:
    void ShowDetails();
    // The selected record was looked at: its problem no longer stands out.
    void MarkSeen();
    // The page's tab says how many failed or unanswered faxes wait to be looked at.
    void ShowUnseen();
    void CopyMessageId();
    void Resend();

    THistoryModel* Model;
};

}  // namespace app
