// The window while it waits for a device: one exchange at a time (a click
// or a poll tick during another exchange starts nothing), and a wait longer
// than the feedback delay shows the busy cursor, the controls off and what
// is awaited, all taken back at its end.
#include "gui/GuiRig.h"

#include "VersionInfo.h"

#include <QApplication>
#include <QPushButton>
#include <QtTest>

class TestWaits : public QObject
{
    Q_OBJECT

private slots:
    void clickAndTickDuringASlowProbeStartNothing();
    void longWaitShowsWhatIsAwaited_data();
    void longWaitShowsWhatIsAwaited();
};

namespace {
constexpr int kNever = 3600 * 1000;
}

void TestWaits::clickAndTickDuringASlowProbeStartNothing()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    rig.Select(0, 0); // Version Info would start at once
    w.Guard().SetFeedbackDelay(kNever);
    rig.AddController("0002"); // probing it ends with a read that times out

    bool injected = false, nestedUpdate = true, controlsOn = false;
    rig.Clock.DuringWait = [&] {
        if (injected)
            return;
        injected = true;
        QTest::mouseClick(w.ButtonVersion, Qt::LeftButton);
        w.ButtonDownloadClick();
        nestedUpdate = w.UpdateDeviceList(); // the poll's tick
        rig.AddController("0003");           // plugged meanwhile
        QCoreApplication::processEvents();
        controlsOn = w.ButtonVersion->isEnabled() && w.ButtonDownload->isEnabled() &&
                     w.TreeViewDevice->isEnabled();
    };
    QVERIFY(w.UpdateDeviceList());
    rig.Clock.DuringWait = nullptr;
    QVERIFY(injected);
    QVERIFY(!nestedUpdate);
    QVERIFY(controlsOn); // a short wait changes nothing on the screen
    QVERIFY(rig.Dialogs.Execs.empty() && rig.Dialogs.FileCalls.empty());
    QVERIFY(rig.Dialogs.Boxes.empty());
    QCOMPARE(w.DeviceCount(), 2);
    // The tick was kept: it runs once the update has ended, and finds the third.
    QTRY_COMPARE(w.DeviceCount(), 3);
    w.hide();
}

void TestWaits::longWaitShowsWhatIsAwaited_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("awaited");
    QTest::newRow("silent component")
        << 3 << QString::fromUtf8("Waiting for the component on channel 3…");
    QTest::newRow("controller") << 0 << QString::fromUtf8("Waiting for the controller…");
}

void TestWaits::longWaitShowsWhatIsAwaited()
{
    QFETCH(int, channel);
    QFETCH(QString, awaited);
    GuiRig rig;
    rig.Controller().Channel(3)->Silent = true;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    rig.Select(0, channel);
    const bool download = w.ButtonDownload->isEnabled();
    w.Guard().SetFeedbackDelay(0);
    if (channel == 0)
        rig.Controller().AddFault({Sim::SimFaultKind::NoReply, -1, -1, -1, -1, 1, 0});

    QString bar;
    bool busyCursor = false, controlsOff = false;
    rig.Clock.DuringWait = [&] {
        QCoreApplication::processEvents(); // the delay's timer fires in the wait
        bar = w.ProgressBar1->FullText();
        busyCursor = QApplication::overrideCursor() &&
                     QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        controlsOff = !w.TreeViewDevice->isEnabled() && !w.ButtonVersion->isEnabled() &&
                      !w.ButtonDownload->isEnabled() && !w.ButtonClose->isEnabled();
    };
    w.ButtonVersionClick();
    rig.Clock.DuringWait = nullptr;
    QCOMPARE(bar, awaited);
    QVERIFY(busyCursor);
    QVERIFY(controlsOff);

    // All back as it was, the failure in its box.
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(w.ProgressBar1->FullText().isEmpty());
    QVERIFY(w.TreeViewDevice->isEnabled() && w.ButtonVersion->isEnabled());
    QCOMPARE(w.ButtonDownload->isEnabled(), download);
    QVERIFY(w.ButtonClose->isEnabled());
    w.hide();
}

QTEST_MAIN(TestWaits)
#include "test_waits.moc"
