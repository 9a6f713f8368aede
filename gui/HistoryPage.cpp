#include "gui/HistoryPage.h"

#include "app/HistoryText.h"
#include "gui/Forms.h"
#include "history/SendRecorder.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QClipboard>
#include <QFont>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>

#include <vector>

namespace app {

// The records, read a page at a time as the list scrolls: a history of many
// thousands opens as fast as one of a few.
class THistoryModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    history::THistory* Store = nullptr;
    std::vector<history::TRecord> Records;
    bool AtEnd = true;
    static constexpr int kPage = 200;

    void Reload() {
        beginResetModel();
        Records.clear();
        AtEnd = Store == nullptr;
        endResetModel();
        if (canFetchMore({})) fetchMore({});
    }
    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : static_cast<int>(Records.size()); }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : THistoryPage::ColCount; }
    bool canFetchMore(const QModelIndex& parent) const override { return !parent.isValid() && !AtEnd; }
    void fetchMore(const QModelIndex& parent) override {
        if (parent.isValid() || AtEnd) return;
        std::vector<history::TRecord> more = Store->Latest(kPage, Records.empty() ? 0 : Records.back().Id);
        AtEnd = more.size() < static_cast<std::size_t>(kPage);
        if (more.empty()) return;
        const int first = static_cast<int>(Records.size());
        beginInsertRows({}, first, first + static_cast<int>(more.size()) - 1);
        for (auto& r : more) Records.push_back(std::move(r));
        endInsertRows();
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= static_cast<int>(Records.size())) return {};
        const history::TRecord& r = Records[static_cast<std::size_t>(index.row())];
        const bool maybeSent = r.Outcome == history::TOutcome::MaybeSent;
        const bool problem = history::IsProblem(r.Confirmation);
        if (role == Qt::ForegroundRole && maybeSent && index.column() == THistoryPage::ColOutcome) return QColor(Qt::red);
        if (role == Qt::ForegroundRole && problem && index.column() == THistoryPage::ColConfirmation) return QColor(Qt::red);
        // A failed or unanswered fax stands out until it is looked at.
        if (role == Qt::FontRole && r.Unseen) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        if (role == Qt::ToolTipRole && index.column() == THistoryPage::ColConfirmation && !r.Confirmations.empty()) {
            QStringList lines;
            for (const history::TNumberConfirmation& c : r.Confirmations) lines << NumberConfirmationText(c);
            return lines.join('\n');
        }
        if (role == Qt::ToolTipRole && !r.Failure.isEmpty()) return r.Failure;
        if (role != Qt::DisplayRole) return {};
        switch (index.column()) {
            case THistoryPage::ColTime: return StartedText(r);
            case THistoryPage::ColNumber: return r.NumberTyped;
            case THistoryPage::ColPlace: return r.Place;
            case THistoryPage::ColFiles: return FileNamesText(r);
            case THistoryPage::ColOutcome: return OutcomeText(r.Outcome);
            case THistoryPage::ColConfirmation: return ConfirmationText(r.Confirmation);
            case THistoryPage::ColQueueId: return r.QueueId();
            default: return {};
        }
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
        static const char* const kTitles[] = {"时间", "号码", "地点", "文件", "结果", "网关回复", "队列号"};
        return section >= 0 && section < THistoryPage::ColCount ? QString::fromUtf8(kTitles[section]) : QVariant();
    }
};

THistoryPage::THistoryPage() : Model(new THistoryModel(this)) {
    List = new QTableView(this);
    List->setGeometry(8, 8, 465, 150);
    List->setModel(Model);
    List->setSelectionBehavior(QAbstractItemView::SelectRows);
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List->verticalHeader()->hide();
    List->verticalHeader()->setDefaultSectionSize(18);
    List->horizontalHeader()->setStretchLastSection(true);
    List->setWordWrap(false);
    const int widths[] = {120, 100, 50, 90, 70, 60};
    for (int c = 0; c < static_cast<int>(std::size(widths)); ++c) List->setColumnWidth(c, widths[c]);
    Details = new QPlainTextEdit(this);
    Details->setGeometry(8, 164, 465, 80);
    Details->setReadOnly(true);
    Details->setLineWrapMode(QPlainTextEdit::NoWrap);
    CopyButton = MakeButton(this, "复制Message-ID", 8, 250, 110, 25);
    ResendButton = MakeButton(this, "再次发送", 126, 250, 75, 25);
    QObject::connect(List->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        ShowDetails();
        MarkSeen();
    });
    OnClick(CopyButton, [this] { CopyMessageId(); });
    OnClick(ResendButton, [this] { Resend(); });
    ShowDetails();
}

THistoryPage::~THistoryPage() = default;

void THistoryPage::SetStore(history::THistory* store) {
    Model->Store = store;
    ShowUnseen();
    // The window keeps no descriptor of the file while the page is not read.
    if (store != nullptr) store->Release();
}

void THistoryPage::Refresh() {
    Model->Reload();
    ShowDetails();
    ShowUnseen();
}

void THistoryPage::ShowUnseen() {
    // The tab widget holds the page in its stack: the page names its own tab.
    QTabWidget* tabs = nullptr;
    for (QWidget* w = parentWidget(); w != nullptr && tabs == nullptr; w = w->parentWidget()) tabs = qobject_cast<QTabWidget*>(w);
    if (tabs == nullptr || Model->Store == nullptr) return;
    const qint64 unseen = Model->Store->CountUnseen();
    const QString title = QString::fromUtf8("发送记录");
    tabs->setTabText(tabs->indexOf(this), unseen > 0 ? title + QString::fromUtf8("（%1）").arg(unseen) : title);
}

void THistoryPage::RecordChanged(qint64 Id) {
    if (Model->Store == nullptr) return;
    ShowUnseen();
    for (std::size_t row = 0; row < Model->Records.size(); ++row) {
        if (Model->Records[row].Id != Id) continue;
        const std::optional<history::TRecord> now = Model->Store->Find(Id);
        if (!now) return;
        Model->Records[row] = *now;
        const int at = static_cast<int>(row);
        emit Model->dataChanged(Model->index(at, 0), Model->index(at, ColCount - 1));
        if (List->selectionModel()->currentIndex().row() == at) ShowDetails();
        return;
    }
}

const history::TRecord* THistoryPage::Selected() const {
    const QModelIndex current = List->selectionModel()->currentIndex();
    if (!current.isValid() || current.row() >= static_cast<int>(Model->Records.size())) return nullptr;
    return &Model->Records[static_cast<std::size_t>(current.row())];
}

void THistoryPage::MarkSeen() {
    const QModelIndex current = List->selectionModel()->currentIndex();
    if (!current.isValid() || current.row() >= static_cast<int>(Model->Records.size()) || Model->Store == nullptr) return;
    history::TRecord& r = Model->Records[static_cast<std::size_t>(current.row())];
    if (!r.Unseen) return;
    r.Unseen = false;
    Model->Store->MarkSeen(r.Id);
    emit Model->dataChanged(Model->index(current.row(), 0), Model->index(current.row(), ColCount - 1));
    ShowUnseen();
}

void THistoryPage::ShowDetails() {
    const history::TRecord* r = Selected();
    CopyButton->setEnabled(r != nullptr && !r->MessageId.isEmpty());
    ResendButton->setEnabled(r != nullptr);
    if (r == nullptr) {
        Details->clear();
        return;
    }
    QStringList lines;
    const auto add = [&](const char* label, const QString& value) {
        if (!value.isEmpty()) lines << QString::fromUtf8(label) + value;
    };
    add("结果：", OutcomeText(r->Outcome));
    add("Message-ID：", r->MessageId);
    add("网关：", r->Gateways.join(", "));
    add("服务器：", r->Server.isEmpty() ? QString() : r->Server + ':' + QString::number(r->Port) + " (" + r->Protection + ')');
    add("服务器的应答：", r->Reply);
    add("失败原因：", r->Failure);
    add("结束时间：", LocalTimeText(r->Ended));
    if (r->Confirmations.size() == 1 && r->Numbers().size() <= 1) {
        add("网关回复：", NumberConfirmationText(r->Confirmations.front()).section(QString::fromUtf8("："), 1));
    } else if (!r->Confirmations.empty()) {
        add("网关回复：", ConfirmationText(r->Confirmation));
        for (const history::TNumberConfirmation& c : r->Confirmations) lines << QString::fromUtf8("  ") + NumberConfirmationText(c);
    }
    Details->setPlainText(lines.join('\n'));
}

void THistoryPage::CopyMessageId() {
    const history::TRecord* r = Selected();
    if (r == nullptr || r->MessageId.isEmpty()) return;
    QApplication::clipboard()->setText(r->MessageId);
    if (OnStatus) OnStatus(QString::fromUtf8("已复制 Message-ID：") + r->MessageId);
}

void THistoryPage::Resend() {
    const history::TRecord* r = Selected();
    if (r == nullptr) return;
    // The same fax means the same bytes: a file changed since is named, not sent.
    QStringList changed;
    QList<QByteArray> files;
    for (const history::TFileEntry& file : r->Files) {
        files << file.Bytes();
        const history::TFileEntry now = history::FileEntryOf(rtl::TFilePath(file.Bytes().toStdString()));
        // A file the earlier send never read (it failed before the text) has
        // no digest: its size is all there is to compare.
        if (now.Sha256.isEmpty())
            changed << file.Path + QString::fromUtf8("（已不存在或无法读取）");
        else if (file.Sha256.isEmpty() ? now.Size != file.Size : now.Sha256 != file.Sha256)
            changed << file.Path + QString::fromUtf8("（内容已改变）");
    }
    if (!changed.isEmpty()) {
        ShowMessage(QString::fromUtf8("这些文件与当时发送的不一样，没有再次发送：\n") + changed.join('\n'));
        return;
    }
    // The main page sends to one number: a fax that went to several is sent
    // again from the first, and the user is told which ones are left.
    const QStringList numbers = r->NumberTyped.split(QString::fromUtf8(history::kListSeparator));
    if (numbers.size() > 1)
        ShowMessage(QString::fromUtf8("这份传真当时发往 %1 个号码；主页面一次只发往一个号码，已填入第一个。其余号码：\n")
                        .arg(numbers.size()) +
                    numbers.mid(1).join('\n'));
    if (OnResend) OnResend(numbers.first(), files);
}

}  // namespace app
