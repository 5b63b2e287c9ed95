#include "Forms/TFormHistory.h"

#include "Forms/NxDialogs.h"
#include "Forms/TFormDownload.h"
#include "History/ActionRecord.h"
#include "History/HistoryOutput.h"
#include "History/HistoryTime.h"
#include "NxException.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

namespace {

const QStringList kColumns = {"Start",  "Channel", "Action", "Result",
                              "Before", "After",   "File",   "Failure"};

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

QString Versions(const HistoryJson& v)
{
    QStringList lines;
    for (const std::string& l : VersionLines(v))
        lines << Q(l);
    return lines.join("; ");
}

} // namespace

TFormHistory::TFormHistory(QWidget* parent) : QDialog(parent)
{
    setObjectName("FormHistory");
    setWindowTitle("History");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    LabelHistory = new QLabel(this);
    LabelHistory->setObjectName("LabelHistory");
    LabelHistory->setWordWrap(true);
    TableHistory = new QTableWidget(0, static_cast<int>(kColumns.size()), this);
    TableHistory->setObjectName("TableHistory");
    TableHistory->setHorizontalHeaderLabels(kColumns);
    TableHistory->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TableHistory->setSelectionBehavior(QAbstractItemView::SelectRows);
    TableHistory->verticalHeader()->hide();
    TableHistory->horizontalHeader()->setStretchLastSection(true);
    ButtonOK = new QPushButton("OK", this);
    ButtonOK->setObjectName("ButtonOK");
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(LabelHistory);
    layout->addWidget(TableHistory, 1);
    layout->addWidget(ButtonOK, 0, Qt::AlignHCenter);
    resize(900, 360);
}

void TFormHistory::Load(const std::string& serial, int channel)
{
    TableHistory->setRowCount(0);
    const QString whose = channel > 0
                              ? QString("channel %1 of controller %2").arg(channel).arg(Q(serial))
                              : QString("controller %1").arg(Q(serial));
    setWindowTitle("History of " + whose);
    const std::string path = HistoryPath();
    if (path.empty()) {
        LabelHistory->setText("No service record is kept in this run (--history=off, or "
                              "simulated devices without --history).");
        return;
    }
    std::vector<HistoryRecord> records;
    try {
        HistoryFilter filter;
        filter.Serial = serial;
        records = HistoryDb(path, false).Select(filter);
    } catch (const std::exception& e) {
        LabelHistory->setText(Q(e.what()));
        return;
    }
    // A controller's records include its components'; a component's are its own.
    if (channel > 0)
        records.erase(std::remove_if(records.begin(), records.end(),
                                     [&](const HistoryRecord& r) { return r.Channel != channel; }),
                      records.end());
    std::reverse(records.begin(), records.end()); // newest first
    LabelHistory->setText(
        QString("%1 records of %2 in %3").arg(records.size()).arg(whose, Q(path)));
    TableHistory->setRowCount(static_cast<int>(records.size()));
    for (int row = 0; row < static_cast<int>(records.size()); ++row) {
        const HistoryRecord& r = records[static_cast<size_t>(row)];
        const QString action = Q(HistoryActionName(r.Action)) + (r.DryRun ? " (dry run)" : "");
        const QString result =
            Q(HistoryResultName(r.Result)) + (r.Bootloader ? ", left in its bootloader" : "");
        const QString file =
            r.File ? Q(std::filesystem::path(*r.File).filename().string()) : QString();
        const QString cells[] = {
            Q(LocalText(r.Start)), QString::number(r.Channel), action, result,
            Versions(r.Before),    Versions(r.After),          file,   Q(r.Failure.value_or(""))};
        for (int col = 0; col < static_cast<int>(std::size(cells)); ++col)
            TableHistory->setItem(row, col, new QTableWidgetItem(cells[col]));
        if (r.Sha256)
            TableHistory->item(row, 6)->setToolTip("SHA-256 " + Q(*r.Sha256));
    }
    TableHistory->resizeColumnsToContents();
}

void AddHistoryAction(TFormDownload& window)
{
    auto* action = new QAction("History...", window.TreeViewDevice);
    action->setObjectName("ActionHistory");
    action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    action->setShortcutContext(Qt::WindowShortcut);
    window.TreeViewDevice->addAction(action);
    window.TreeViewDevice->setContextMenuPolicy(Qt::ActionsContextMenu);
    QObject::connect(action, &QAction::triggered, &window, [&window] {
        if (window.ActionRunning())
            return;
        const TFormDownload::NodeRef ref = window.GetNodeRef(window.TreeViewDevice->currentItem());
        if (!ref.Dev) {
            NxDialogs().Error(&window, window.windowTitle(), TFormDownload::kNoDeviceSelected);
            return;
        }
        TFormHistory dlg(&window);
        dlg.Load(ref.Dev->GetSerial(), ref.Channel);
        NxDialogs().Exec(dlg);
    });
}
