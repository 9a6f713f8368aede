#include "gui/OutboxPage.h"

#include "app/OutboxSettings.h"
#include "gui/Forms.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

namespace app {

TOutboxPage::TOutboxPage() {
    List = new QTableWidget(0, ColCount, this);
    List->setGeometry(8, 8, 465, 200);
    List->setHorizontalHeaderLabels({QString::fromUtf8("编号"), QString::fromUtf8("号码"), QString::fromUtf8("文件"),
                                     QString::fromUtf8("发送时间"), QString::fromUtf8("已试"), QString::fromUtf8("上次的失败")});
    List->setSelectionBehavior(QAbstractItemView::SelectRows);
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List->verticalHeader()->hide();
    List->horizontalHeader()->setStretchLastSection(true);
    List->setFont(DefaultFont());
    SendNowButton = MakeButton(this, "立即发送", 8, 216, 75, 25);
    DeleteButton = MakeButton(this, "删除", 92, 216, 75, 25);
    QueueOnFailureBox = new QCheckBox(QString::fromUtf8("失败时放入发件箱"), this);
    QueueOnFailureBox->setGeometry(200, 220, 273, 17);
    QueueOnFailureBox->setFont(SongTiFont());
    QueueOnFailureBox->setChecked(QueueOnFailure());
    connect(QueueOnFailureBox, &QCheckBox::toggled, this, [](bool on) { SetQueueOnFailure(on); });
    OnClick(SendNowButton, [this] {
        if (const qint64 id = SelectedId(); id != 0 && OnSendNow) OnSendNow(id);
    });
    OnClick(DeleteButton, [this] { Delete(); });
}

void TOutboxPage::Refresh() {
    const qint64 selected = SelectedId();
    List->setRowCount(0);
    if (Store == nullptr) return;
    for (const outbox::TEntry& e : Store->List()) {
        const int row = List->rowCount();
        List->insertRow(row);
        QStringList names;
        for (const outbox::TCopy& f : e.Files) names << QFileInfo(QFile::decodeName(f.Original)).fileName();
        const QString state = e.State == outbox::TState::Failed      ? QString::fromUtf8("失败")
                              : e.State == outbox::TState::MaybeSent ? QString::fromUtf8("可能已发出")
                              : e.State == outbox::TState::Sending   ? QString::fromUtf8("正在发送")
                                                                     : e.Due.toLocalTime().toString("yyyy-MM-dd HH:mm");
        const QString cells[ColCount] = {QString::number(e.Id), e.Numbers, names.join(", "), state, QString::number(e.Tries),
                                         e.LastFailure.simplified()};
        for (int c = 0; c < ColCount; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (c == ColFailure) item->setToolTip(e.LastFailure);
            List->setItem(row, c, item);
        }
        if (e.Id == selected) List->selectRow(row);
    }
    Store->Release();
}

qint64 TOutboxPage::SelectedId() const {
    const QList<QTableWidgetItem*> items = List->selectedItems();
    return items.isEmpty() ? 0 : List->item(items.front()->row(), ColId)->text().toLongLong();
}

void TOutboxPage::Delete() {
    const qint64 id = SelectedId();
    if (id == 0 || Store == nullptr) return;
    if (!Store->Delete(id) && OnStatus) OnStatus(QString::fromUtf8("这份传真正在发送，不能删除。"));
    Refresh();
    if (OnChanged) OnChanged();
}

}  // namespace app
