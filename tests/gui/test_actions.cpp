// The version report, the reset and the filter-change counter, driven from
// the main window's buttons against the simulated demo controller.
#include "gui/GuiRig.h"

#include "Forms/TFormFilterInfo.h"
#include "Forms/TFormVersionInfo.h"
#include "VersionInfo.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

class TestActions : public QObject
{
    Q_OBJECT

private slots:
    void versionOfControllerInApplication();
    void versionOfControllerInBootloader();
    void versionOfComponent();
    void versionOfSilentComponent();
    void actionsNeedASelection();
    void resetRestartsTheApplication();
    void filterCancelSendsNothing();
    void filterOkResetsAndConfirms();
    void filterOnControllerDoesNothing();
    void secondActionIsRefusedWhileOneRuns();
};

namespace {

// Runs the version action and returns the memo's text shown in the dialog.
QString VersionReport(GuiRig& rig, int channel)
{
    QString shown;
    rig.Dialogs.OnExec = [&](QDialog& dlg) {
        auto* form = qobject_cast<TFormVersionInfo*>(&dlg);
        if (form)
            shown = form->MemoVersionInfo->toPlainText();
        return int(QDialog::Accepted);
    };
    rig.Select(0, channel);
    rig.Window().ButtonVersionClick();
    return shown;
}

} // namespace

void TestActions::versionOfControllerInApplication()
{
    GuiRig rig;
    rig.List.Update();
    const QString report = VersionReport(rig, 0);
    QCOMPARE(rig.Dialogs.Execs, std::vector<QString>{"FormVersionInfo"});
    QVERIFY(rig.Dialogs.Boxes.empty());
    QCOMPARE(report, QString("Hardware     Name: IncuControl              Ver: 2.1    \n"
                             "Bootloader   Name: IncuBoot                 Ver: 1.04    Date: "
                             "2019-03-12\n"
                             "Application  Name: IncuControlApp           Ver: 4.2.0   Date: "
                             "2023-09-28\n"
                             "ParamTables  Name: IncuControl              Ver: 17      Date: "
                             "2023-10-02"));
    QCOMPARE(rig.Window().VersionForm().windowTitle(), QString("Version Information"));
}

void TestActions::versionOfControllerInBootloader()
{
    GuiRig rig;
    rig.Controller().Bootloader = true;
    rig.List.Update();
    const QString report = VersionReport(rig, 0);
    QCOMPARE(report.split('\n').size(), 2);
    QVERIFY(report.startsWith("Hardware     Name: IncuControl"));
    QVERIFY(report.split('\n')[1].startsWith("Bootloader   Name: IncuBoot"));
}

void TestActions::versionOfComponent()
{
    GuiRig rig;
    rig.List.Update();
    QCOMPARE(VersionReport(rig, 1),
             QString("Hardware     Name:                          Ver: B      \n"
                     "Bootloader   Name: ProbeBoot                Ver: 1.2     Date: 2018-11-06\n"
                     "Application  Name: GasProbe                 Ver: 3.10    Date: 2022-05-17"));

    // A component in its bootloader has no application line.
    rig.Controller().Channel(2)->Bootloader = true;
    const QString boot = VersionReport(rig, 2);
    QCOMPARE(boot.split('\n').size(), 2);
    QVERIFY(boot.contains("MeriBoot"));
}

void TestActions::versionOfSilentComponent()
{
    GuiRig rig;
    rig.List.Update();
    rig.Controller().Channel(3)->Silent = true;
    VersionReport(rig, 3);
    QVERIFY(rig.Dialogs.Execs.empty()); // no report at all
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QCOMPARE(rig.Dialogs.Boxes[0].Text, QString(kNoComponentAnswer));
    QCOMPARE(rig.Dialogs.Boxes[0].Caption, QString("Nurax Update 5000 v0.5.3"));
    QCOMPARE(rig.Dialogs.Boxes[0].Icon, INxDialogs::Icon::Error);
    QVERIFY(!rig.List.Lock.IsHeld());
}

void TestActions::actionsNeedASelection()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.TreeViewDevice->setCurrentItem(nullptr);
    w.TreeViewDevice->clearSelection();
    w.ButtonVersionClick();
    w.ButtonResetFilterClick();
    w.ButtonResetClick();
    w.ButtonDownloadClick();
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(4));
    for (const ShownBox& b : rig.Dialogs.Boxes) {
        QCOMPARE(b.Text, QString("No device selected"));
        QCOMPARE(b.Caption, w.windowTitle());
    }
    QVERIFY(rig.Dialogs.FileCalls.empty());
    QVERIFY(rig.Dialogs.Execs.empty());
}

void TestActions::resetRestartsTheApplication()
{
    GuiRig rig;
    rig.List.Update();
    rig.Controller().Channel(2)->Bootloader = true;
    rig.Clock.Clear();
    rig.Select(0, 2);
    rig.Window().ButtonResetClick();
    QVERIFY(rig.Dialogs.Boxes.empty());
    QVERIFY(!rig.Controller().Channel(2)->Bootloader);
    QCOMPARE(rig.Clock.Sleeps(), std::vector<uint32_t>{250});
    QCOMPARE(rig.Node(0, 2)->text(0), QString("Channel #2 (0001|32|2210058)")); // tree unchanged
}

void TestActions::filterCancelSendsNothing()
{
    GuiRig rig;
    rig.List.Update();
    TFormFilterInfo* shown = nullptr;
    QStringList memo;
    QString label;
    rig.Dialogs.OnExec = [&](QDialog& dlg) {
        shown = qobject_cast<TFormFilterInfo*>(&dlg);
        memo = shown->MemoFilterInfo->toPlainText().split('\n');
        label = shown->LabelMessage->text();
        return int(QDialog::Rejected);
    };
    rig.Select(0, 1);
    rig.Window().ButtonResetFilterClick();
    QVERIFY(shown);
    QCOMPARE(rig.Dialogs.Execs.size(), size_t(1));
    QCOMPARE(memo,
             QStringList({"      Current Runtime:   1234.5 h", "Last Filter Change at:   1000.0 h",
                          "Next filter change at:   1500.0 h", "            Time used:    234.5 h",
                          "            Time left:    265.5 h"}));
    QVERIFY(label.startsWith("Do you want to reset the filter change counter of this component?\n"
                             "\nOnly reset the counter"));
    QVERIFY(!shown->ButtonOK->isHidden() && !shown->ButtonCancel->isHidden());
    QVERIFY(shown->ButtonOKCenter->isHidden());
    QCOMPARE(rig.Controller().Channel(1)->LastFilterChange, 10000u);

    QCOMPARE(shown->windowTitle(), QString("Reset Filter change"));
}

void TestActions::filterOkResetsAndConfirms()
{
    GuiRig rig;
    rig.List.Update();
    std::vector<QStringList> memos;
    std::vector<QString> labels;
    std::vector<bool> centred;
    rig.Dialogs.OnExec = [&](QDialog& dlg) {
        auto* f = qobject_cast<TFormFilterInfo*>(&dlg);
        memos.push_back(f->MemoFilterInfo->toPlainText().split('\n'));
        labels.push_back(f->LabelMessage->text());
        centred.push_back(!f->ButtonOKCenter->isHidden() && f->ButtonOK->isHidden() &&
                          f->ButtonCancel->isHidden());
        return int(QDialog::Accepted);
    };
    rig.Select(0, 1);
    rig.Window().ButtonResetFilterClick();
    QCOMPARE(rig.Dialogs.Execs.size(), size_t(2));
    QVERIFY(rig.Dialogs.Boxes.empty());
    QCOMPARE(rig.Controller().Channel(1)->LastFilterChange, 12345u);
    QCOMPARE(centred, std::vector<bool>({false, true}));
    QCOMPARE(labels[1], QString("The filter change counter has been reset."));
    QCOMPARE(memos[1][1], QString("Last Filter Change at:   1234.5 h"));
    QCOMPARE(memos[1][3], QString("            Time used:      0.0 h"));
    QCOMPARE(memos[1][4], QString("            Time left:    500.0 h"));
}

void TestActions::filterOnControllerDoesNothing()
{
    GuiRig rig;
    rig.List.Update();
    rig.Select(0, 0);
    rig.Controller().ClearLog();
    rig.Window().ButtonResetFilterClick();
    QVERIFY(rig.Dialogs.Execs.empty());
    QVERIFY(rig.Dialogs.Boxes.empty());
    QVERIFY(rig.Controller().Log().empty());
}

void TestActions::secondActionIsRefusedWhileOneRuns()
{
    GuiRig rig;
    rig.List.Update();
    rig.Select(0, 1);
    RecordingForm& w = rig.Window();
    int inner = 0;
    bool runningInside = false;
    rig.Dialogs.OnExec = [&](QDialog&) {
        if (inner++ == 0) {
            runningInside = w.ActionRunning();
            w.ButtonResetFilterClick();
            w.ButtonVersionClick();
            w.ButtonDownloadClick();
        }
        return int(QDialog::Rejected);
    };
    w.ButtonResetFilterClick();
    QVERIFY(runningInside);
    QCOMPARE(rig.Dialogs.Execs.size(), size_t(1));
    QVERIFY(rig.Dialogs.FileCalls.empty());
    QVERIFY(!w.ActionRunning());
}

QTEST_MAIN(TestActions)
#include "test_actions.moc"
