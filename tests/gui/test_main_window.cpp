// The main window: tree labels and icons, button states through selection,
// arrival and removal, the start layout, and closing.
#include "gui/GuiRig.h"

#include "Appcfg.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void treeShowsDevicesAndChannels();
    void buttonsFollowTheSelection();
    void filterButtonNeedsSerialPrefix_data();
    void filterButtonNeedsSerialPrefix();
    void treeFollowsArrivalAndRemoval();
    void startLayout();
    void mainWindowIsAnOrdinaryWindow();
    void enlargedWindowShowsTwoControllersWithLongNames();
    void buttonsFollowTheSelectionAfterARebuild();
    void closingEndsTheProgramButNotDuringAnAction();
    void keyboardAsOnAnyDesktop();
    void screenshots();
};

void TestMainWindow::treeShowsDevicesAndChannels()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window(); // created after the update: FormCreate builds the tree
    QCOMPARE(w.DeviceCount(), 1);
    QTreeWidgetItem* dev = rig.Node(0);
    QVERIFY(dev);
    QCOMPARE(dev->text(0).toStdString(), rig.List.GetDev(0)->GetName());
    QVERIFY(!dev->text(0).isEmpty());
    QVERIFY(dev->isExpanded());
    QCOMPARE(dev->childCount(), 3);
    QCOMPARE(dev->child(0)->text(0), QString("Channel #1 (0001|21|1330427)"));
    QCOMPARE(dev->child(1)->text(0), QString("Channel #2 (0001|32|2210058)"));
    QCOMPARE(dev->child(2)->text(0), QString("Channel #3 (0000|40)"));

    // Image 0 for the device and the downloadable channels, none otherwise.
    QCOMPARE(TFormDownload::ImageIndex(dev), 0);
    QCOMPARE(TFormDownload::ImageIndex(dev->child(0)), 0);
    QCOMPARE(TFormDownload::ImageIndex(dev->child(1)), 0);
    QCOMPARE(TFormDownload::ImageIndex(dev->child(2)), -1);
    QVERIFY(!dev->icon(0).isNull());
    QVERIFY(!dev->icon(0).pixmap(16, 16).isNull()); // the SVG resource loads
    QVERIFY(dev->child(2)->icon(0).isNull());

    // Node references name the device and the channel number.
    QCOMPARE(w.GetNodeRef(dev->child(1)).Dev, rig.List.GetDev(0));
    QCOMPARE(w.GetNodeRef(dev->child(1)).Channel, 2);
    QCOMPARE(w.GetNodeRef(dev).Channel, 0);
    QVERIFY(!w.GetNodeRef(nullptr).Dev);

    // One device: its node is selected.
    QCOMPARE(w.TreeViewDevice->currentItem(), dev);
    QVERIFY(dev->isSelected());
}

void TestMainWindow::buttonsFollowTheSelection()
{
    GuiRig rig;
    RecordingForm& w = rig.Window();
    rig.List.Update(); // arrival after creation: OnDevAdded selects the device
    QCOMPARE(w.TreeViewDevice->currentItem(), rig.Node(0));
    w.InitView();
    QVERIFY(w.ButtonDownload->isEnabled());
    QVERIFY(w.ButtonVersion->isEnabled());
    QVERIFY(!w.ButtonResetFilter->isEnabled());

    struct Row
    {
        int Channel;
        bool Download, Filter;
    } rows[] = {
        {1, true, true}, {2, true, false}, {3, false, false}, {0, true, false}, {1, true, true}};
    for (const Row& r : rows) {
        rig.Select(0, r.Channel);
        QVERIFY2(w.ButtonDownload->isEnabled() == r.Download,
                 qPrintable(QString::number(r.Channel)));
        QVERIFY2(w.ButtonResetFilter->isEnabled() == r.Filter,
                 qPrintable(QString::number(r.Channel)));
    }

    // An action's end turns the filter button off until the selection changes.
    w.EnableControls(false);
    QVERIFY(!w.TreeViewDevice->isEnabled());
    QVERIFY(!w.ButtonDownload->isEnabled() && !w.ButtonVersion->isEnabled());
    QVERIFY(!w.ButtonClose->isEnabled() && !w.ButtonResetFilter->isEnabled());
    w.EnableControls(true);
    QVERIFY(w.TreeViewDevice->isEnabled() && w.ButtonClose->isEnabled());
    QVERIFY(!w.ButtonResetFilter->isEnabled());
    rig.Select(0, 2);
    rig.Select(0, 1);
    QVERIFY(w.ButtonResetFilter->isEnabled());
}

void TestMainWindow::filterButtonNeedsSerialPrefix_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("133 and more") << "133X" << true;
    QTest::newRow("142 only") << "142" << true;
    QTest::newRow("two characters") << "13" << false;
    QTest::newRow("other prefix") << "134000" << false;
    QTest::newRow("none") << "" << false;
}

void TestMainWindow::filterButtonNeedsSerialPrefix()
{
    QFETCH(QString, serial);
    QFETCH(bool, enabled);
    GuiRig rig;
    rig.Controller().Channel(2)->SerialNumber = serial.toStdString();
    rig.List.Update();
    RecordingForm& w = rig.Window();
    const QString label =
        serial.isEmpty() ? "Channel #2 (0001|32)" : "Channel #2 (0001|32|" + serial + ")";
    QCOMPARE(rig.Node(0, 2)->text(0), label);
    rig.Select(0, 2);
    QCOMPARE(w.ButtonResetFilter->isEnabled(), enabled);
}

void TestMainWindow::treeFollowsArrivalAndRemoval()
{
    GuiRig rig(false);
    RecordingForm& w = rig.Window();
    rig.List.Update();
    QCOMPARE(w.TreeViewDevice->topLevelItemCount(), 0);
    QVERIFY(!w.TreeViewDevice->currentItem());
    QVERIFY(w.TreeViewDevice->selectedItems().isEmpty());

    rig.AddController("0001");
    rig.List.Update();
    QCOMPARE(w.DeviceCount(), 1);
    QCOMPARE(w.TreeViewDevice->currentItem(), rig.Node(0));

    // A second device: both listed, nothing selected.
    rig.AddController("0002");
    rig.List.Update();
    QCOMPARE(w.DeviceCount(), 2);
    QCOMPARE(w.TreeViewDevice->topLevelItemCount(), 2);
    QCOMPARE(rig.Node(1)->childCount(), 3);
    QVERIFY(w.TreeViewDevice->selectedItems().isEmpty());
    QCOMPARE(w.GetNodeRef(rig.Node(1, 3)).Dev->GetSerial(), std::string("0002"));

    // Removal rebuilds the tree; the selection is not set again.
    rig.Select(1, 1);
    rig.Handles[1].Device->Unplug();
    rig.List.Update();
    QCOMPARE(w.DeviceCount(), 1);
    QCOMPARE(w.TreeViewDevice->topLevelItemCount(), 1);
    QVERIFY(w.TreeViewDevice->selectedItems().isEmpty());
    QCOMPARE(w.GetNodeRef(rig.Node(0)).Dev->GetSerial(), std::string("0001"));

    rig.Handles[0].Device->Unplug();
    rig.List.Update();
    QCOMPARE(w.DeviceCount(), 0);
    QCOMPARE(w.TreeViewDevice->topLevelItemCount(), 0);
}

void TestMainWindow::enlargedWindowShowsTwoControllersWithLongNames()
{
    GuiRig rig(false);
    Sim::SimScenario s = Sim::DemoScenario();
    s.Bridges[0].Description = QString(60, 'W').toStdString();
    s.Bridges[0].Serial = "SN-20240117-0042";
    rig.Handles = Sim::InstallScenario(rig.Lib, s);
    rig.AddController("0002");
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // The serial number survives, the description gives way in its middle.
    const QString shown = w.ShownText(rig.Node(0));
    QVERIFY2(shown.endsWith(" (#SN-20240117-0042)") &&
                 shown.size() < int(rig.List.GetDev(0)->GetName().size()),
             qPrintable(shown));
    QVERIFY(w.TreeViewDevice->verticalScrollBar()->maximum() > 0); // 8 rows in a 4-row tree

    // What the window gains goes to the tree; the column moves along.
    const QRect tree = w.TreeViewDevice->geometry(), bar = w.ProgressBar1->geometry();
    const QRect download = w.ButtonDownload->geometry(), close = w.ButtonClose->geometry();
    w.resize(w.minimumSize() + QSize(164, 155));
    QTRY_COMPARE(w.TreeViewDevice->geometry(), tree.adjusted(0, 0, 164, 155));
    QCOMPARE(w.ProgressBar1->geometry(), bar.translated(0, 155).adjusted(0, 0, 164, 0));
    QCOMPARE(w.ButtonDownload->geometry(), download.translated(164, 0));
    QCOMPARE(w.ButtonClose->geometry(), close.translated(164, 0));
    QTRY_COMPARE(w.TreeViewDevice->verticalScrollBar()->maximum(), 0);
    QVERIFY(w.ShownText(rig.Node(0)).size() > shown.size()); // more of the description
    w.hide();
}

void TestMainWindow::buttonsFollowTheSelectionAfterARebuild()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    rig.Select(0, 1);
    QVERIFY(w.ButtonResetFilter->isEnabled());
    rig.AddController("0002"); // rebuilt without a selection: the start state
    rig.List.Update();
    QVERIFY(!w.ButtonResetFilter->isEnabled());
    QVERIFY(w.ButtonDownload->isEnabled());

    rig.Select(1, 3); // cannot be downloaded
    QVERIFY(!w.ButtonDownload->isEnabled());
    rig.Handles[1].Device->Unplug(); // one left, its device node selected
    rig.List.Update();
    QVERIFY(w.ButtonDownload->isEnabled());

    // While an action has the controls off, a rebuild leaves them off.
    w.EnableControls(false);
    rig.Handles[1].Device->Plug();
    rig.List.Update();
    QVERIFY(!w.ButtonDownload->isEnabled() && !w.ButtonResetFilter->isEnabled());
}

void TestMainWindow::mainWindowIsAnOrdinaryWindow()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    QCOMPARE(w.windowType(), Qt::Window);
    QVERIFY(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    QVERIFY(!w.windowIcon().isNull());
    // Qt's display of it waits until it closes, without making it modal.
    bool shownPlainly = false;
    QTimer::singleShot(0, &w, [&] {
        shownPlainly = w.isVisible() && !w.isModal() && !QApplication::activeModalWidget();
        emit w.finished(QDialog::Accepted); // ends the wait without ending the test run
    });
    QtDialogs().Exec(w);
    QVERIFY(shownPlainly);
    w.hide();
}

void TestMainWindow::startLayout()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    QCOMPARE(w.windowTitle(), QString("Nurax Update 5000 v0.5.3"));
    // The column before InitView: all five buttons, 4 pixels apart.
    const int step = w.ButtonDownload->height() + 4;
    QCOMPARE(w.ButtonReset->y(), 5 + 2 * step);
    QCOMPARE(w.ButtonClose->y(), 5 + 4 * step);

    w.EditFilename->setText("old.hex");
    w.SetProgress(w.Status(), 40);
    w.InitView();
    for (const char* name :
         {"TreeViewDevice", "ProgressBar1", "EditFilename", "LabelSts", "ButtonDownload",
          "ButtonVersion", "ButtonReset", "ButtonResetFilter", "ButtonClose"})
        QVERIFY2(w.findChild<QWidget*>(name), name);
    QVERIFY(w.LabelSts->isHidden());
    QVERIFY(w.ButtonReset->isHidden());
    // The designed places; sizes at least the designed ones (the font may need more).
    const int column = w.ButtonClose->width(), h = w.ButtonClose->height();
    QVERIFY(column >= 137 && h >= 25);
    QCOMPARE(w.ButtonDownload->geometry(), QRect(392, 5, column - 1, h));
    QCOMPARE(w.ButtonVersion->geometry(), QRect(392, 5 + step, column - 1, h));
    QCOMPARE(w.ButtonResetFilter->geometry(), QRect(391, 5 + 2 * step, column, h));
    QCOMPARE(w.ButtonClose->geometry(), QRect(391, 5 + 3 * step, column, h));
    const QRect tree = w.TreeViewDevice->geometry(), bar = w.ProgressBar1->geometry();
    QCOMPARE(tree.topLeft(), QPoint(8, 8));
    QCOMPARE(tree.width(), 377);
    QVERIFY(tree.height() >= 73);
    QCOMPARE(bar, QRect(8, tree.bottom() + 7, 377, std::max(25, bar.height())));
    QCOMPARE(w.EditFilename->geometry().top(), bar.bottom() + 7);
    // The client area ends below the file field: the hidden label is cut off.
    QCOMPARE(w.size(), QSize(8 + 377 + 6 + column + 8, w.EditFilename->geometry().bottom() + 7));
    QCOMPARE(w.minimumSize(), w.size());
    QCOMPARE(w.TreeViewDevice->indentation(), 19);
    QCOMPARE(w.ProgressBar1->value(), 0);
    QVERIFY(w.EditFilename->text().isEmpty());
    QVERIFY(w.EditFilename->isReadOnly() && !w.EditFilename->isEnabled());
    QVERIFY(!w.FilePreset());
    QCOMPARE(w.ButtonClose->text(), QString("Close"));
    QCOMPARE(w.ButtonResetFilter->text(), QString("Reset Filter change"));
}

void TestMainWindow::closingEndsTheProgramButNotDuringAnAction()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    rig.Select(0, 0);

    // Inside the version dialog an action runs: closing is refused.
    bool closedInside = true;
    rig.Dialogs.OnExec = [&](QDialog&) {
        w.close();
        w.ButtonCloseClick();
        closedInside = w.TerminateRequested() || !w.isVisible();
        return int(QDialog::Accepted);
    };
    w.ButtonVersionClick();
    QCOMPARE(rig.Dialogs.Execs.size(), size_t(1));
    QVERIFY(!closedInside);

    QVERIFY(w.close());
    QVERIFY(w.TerminateRequested());
    QVERIFY(!w.isVisible());
}

void TestMainWindow::keyboardAsOnAnyDesktop()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    rig.Select(0, 1); // every button on

    // Tab: tree, Download, Version Info, Reset Filter change, Close, and round.
    QCOMPARE(QApplication::focusWidget(), w.TreeViewDevice);
    const QWidget* order[] = {w.ButtonDownload, w.ButtonVersion, w.ButtonResetFilter, w.ButtonClose,
                              w.TreeViewDevice};
    for (const QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }

    // Escape never closes the main window; Enter presses the focused button.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(w.isVisible() && !w.TerminateRequested());
    w.ButtonVersion->setFocus();
    QTest::keyClick(w.ButtonVersion, Qt::Key_Return);
    QCOMPARE(rig.Dialogs.Execs, std::vector<QString>{"FormVersionInfo"});
    w.ButtonClose->setFocus();
    QTest::keyClick(w.ButtonClose, Qt::Key_Enter);
    QVERIFY(w.TerminateRequested());
}

void TestMainWindow::screenshots()
{
    // NX_SCREENSHOTS=DIR saves the README's pictures there: the window with a
    // channel selected, a download's pause and blocks, the two dialogs.
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    rig.Select(0, 1);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QString dir = QString::fromLocal8Bit(qgetenv("NX_SCREENSHOTS"));
    const auto save = [&](const QPixmap& shot, const char* name) {
        if (!dir.isEmpty())
            QVERIFY(shot.save(dir + "/" + name));
    };
    const QPixmap window = w.grab();
    QCOMPARE(window.size() / window.devicePixelRatio(), w.minimumSize());
    save(window, "main-window.png");
    if (dir.isEmpty())
        return;

    rig.Dialogs.OnExec = [&](QDialog& dlg) {
        save(dlg.grab(),
             dlg.objectName() == "FormVersionInfo" ? "version-dialog.png" : "filter-dialog.png");
        return int(QDialog::Rejected);
    };
    w.ButtonResetFilterClick();
    rig.Select(0, 0);
    w.ButtonVersionClick();

    // The example file by a name that shows no folder of this machine.
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(NX_SOURCE_DIR);
    QPixmap pause, blocks;
    w.OnStatus = [&] {
        if (w.Statuses.back() == "Block: 21/97 - Address: 0xC00A00 - Progress: 21%")
            blocks = w.grab();
    };
    rig.Clock.DuringWait = [&] {
        if (pause.isNull())
            pause = w.grab();
    };
    w.RunDownload("0001", 0, "examples/incucontrol_app.hex");
    QDir::setCurrent(cwd);
    QVERIFY(!pause.isNull() && !blocks.isNull());
    QPixmap both(pause.width(), pause.height() + blocks.height());
    both.setDevicePixelRatio(pause.devicePixelRatio());
    both.fill(Qt::transparent);
    QPainter paint(&both);
    paint.drawPixmap(0, 0, pause);
    paint.drawPixmap(0, pause.height() / pause.devicePixelRatio(), blocks);
    paint.end();
    save(both, "download-progress.png");
}

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
