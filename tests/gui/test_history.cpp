// The desktop program's part of the service record: its actions are recorded
// as the desktop's, and "History..." (Ctrl+H) shows the selected entry's
// records, newest first.
#include "gui/GuiRig.h"

#include "Forms/TFormHistory.h"
#include "support/CampaignFiles.h"
#include "support/HistoryRig.h"

#include <QAction>
#include <QLabel>
#include <QTableWidget>
#include <QtTest>

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    void actionsAreRecordedAndShownNewestFirst();
    void withoutARecordTheDialogSaysSo();
};

namespace {

// Opens the history with Ctrl+H and returns its table as "channel action result" rows.
QStringList ShownRows(GuiRig& rig, QString* label = nullptr)
{
    QStringList rows;
    rig.Dialogs.OnExec = [&](QDialog& dlg) {
        if (auto* form = qobject_cast<TFormHistory*>(&dlg)) {
            for (int r = 0; r < form->TableHistory->rowCount(); ++r)
                rows << form->TableHistory->item(r, 1)->text() + " " +
                            form->TableHistory->item(r, 2)->text() + " " +
                            form->TableHistory->item(r, 3)->text();
            if (label)
                *label = form->LabelHistory->text();
        }
        return int(QDialog::Accepted);
    };
    rig.Window().TreeViewDevice->findChild<QAction*>("ActionHistory")->trigger();
    return rows;
}

} // namespace

void TestHistory::actionsAreRecordedAndShownNewestFirst()
{
    GuiRig rig;
    HistoryRig history("desktop");
    TempFolder files("gui");
    WriteCampaignFiles(files);
    rig.List.Update();
    rig.Window().RunDownload("0001", 1, (files / "component.hex").string());
    rig.Select(0, 2);
    rig.Window().ButtonResetClick();
    rig.Dialogs.Execs.clear();

    rig.Select(0);
    QCOMPARE(ShownRows(rig), QStringList({"2 reset done", "1 component-firmware done"}));
    QCOMPARE(rig.Dialogs.Execs, std::vector<QString>{"FormHistory"});
    rig.Select(0, 1);
    QCOMPARE(ShownRows(rig), QStringList({"1 component-firmware done"}));
    for (const HistoryRecord& r : history.Records())
        QCOMPARE(r.Frontend, std::string("desktop"));

    // The shortcut is the action's, and the tree offers it in its menu.
    QAction* action = rig.Window().TreeViewDevice->findChild<QAction*>("ActionHistory");
    QCOMPARE(action->shortcut(), QKeySequence("Ctrl+H"));
    QCOMPARE(action->text(), QString("History..."));
    QCOMPARE(rig.Window().TreeViewDevice->contextMenuPolicy(), Qt::ActionsContextMenu);
}

void TestHistory::withoutARecordTheDialogSaysSo()
{
    GuiRig rig;
    rig.List.Update();
    rig.Select(0);
    QString label;
    QVERIFY(ShownRows(rig, &label).isEmpty());
    QVERIFY(label.startsWith("No service record is kept"));
}

QTEST_MAIN(TestHistory)
#include "test_history.moc"
