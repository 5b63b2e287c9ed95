// Start-up and end of the desktop program: the command line's effect, the
// unattended download and the exit codes.
#include "gui/DownloadFiles.h"
#include "gui/GuiRig.h"
#include "gui/RunDesktop.h"

#include "Appcfg.h"
#include "Forms/NxStartup.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <fstream>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void interactiveRunEndsWithZero();
    void pathOptionMovesTheDialogStart();
    void unattendedDownloadSucceeds();
    void unattendedDownloadFailureEndsWithOne();
    void presetFileForAChannelOpensTheWindow();
    void broken_scenarioEndsWithOne();
    void communicationLogReplaysLeniently();
    void helpAndVersionPrintAndEnd_data();
    void helpAndVersionPrintAndEnd();
};

void TestStartup::interactiveRunEndsWithZero()
{
    VirtualClock clock;
    FakeDialogs dialogs;
    int channels = -1;
    bool preset = true;
    dialogs.OnExec = [&](QDialog& dlg) {
        auto* w = qobject_cast<TFormDownload*>(&dlg);
        channels =
            w->TreeViewDevice->topLevelItem(0)->childCount(); // listed before the window opens
        preset = w->FilePreset();
        w->ButtonCloseClick();
        return int(QDialog::Accepted);
    };
    QCOMPARE(RunDesktop({"--simulate", "--channel=2"}, clock), 0);
    QCOMPARE(dialogs.Execs, std::vector<QString>{"FormDownload"});
    QCOMPARE(channels, 3);
    QVERIFY(!preset);
    QVERIFY(dialogs.Boxes.empty());
    QVERIFY(!TNxDevList::Instance());
    QVERIFY(!MainWindow());
}

void TestStartup::pathOptionMovesTheDialogStart()
{
    VirtualClock clock;
    FakeDialogs dialogs;
    QTemporaryDir dir;
    dialogs.OnExec = [&](QDialog& dlg) {
        auto* w = qobject_cast<TFormDownload*>(&dlg);
        w->ButtonDownloadClick(); // the demo controller is selected; the dialog is cancelled
        return int(QDialog::Accepted);
    };
    QCOMPARE(RunDesktop({"--simulate", "--PATH=" + dir.path()}, clock), 0);
    QCOMPARE(dialogs.FileCalls.size(), size_t(1));
    QCOMPARE(dialogs.FileCalls[0].StartDir, dir.path());

    dialogs.FileCalls.clear();
    QCOMPARE(RunDesktop({"--simulate", "--path="}, clock), 0); // empty: the working directory
    QCOMPARE(dialogs.FileCalls.at(0).StartDir.toStdString(), WorkingDirectory());
}

void TestStartup::unattendedDownloadSucceeds()
{
    VirtualClock clock;
    FakeDialogs dialogs;
    QTemporaryDir dir;
    const QString hex = dir.filePath("ctl.hex");
    WriteText(hex.toStdString(), ControllerHex());
    // The user reads the success box and then closes the window that stays open.
    dialogs.OnMessage = [](const ShownBox&) {
        QTimer::singleShot(0, [] {
            if (TFormDownload* w = MainWindow())
                w->close();
        });
    };
    QCOMPARE(RunDesktop({"--simulate", "--file=" + hex}, clock), 0);
    QVERIFY(dialogs.Execs.empty());
    QVERIFY(dialogs.FileCalls.empty() && dialogs.Questions.empty());
    QCOMPARE(dialogs.Boxes.size(), size_t(1));
    QCOMPARE(dialogs.Boxes[0].Text, QString("Download finished successfully"));
}

void TestStartup::unattendedDownloadFailureEndsWithOne()
{
    VirtualClock clock;
    FakeDialogs dialogs;
    // "--file" without "=" presets an empty name: the download fails.
    QCOMPARE(RunDesktop({"--simulate", "--file"}, clock), 1);
    QCOMPARE(dialogs.Boxes.size(), size_t(2));
    QCOMPARE(dialogs.Boxes[0].Caption, QString("Download failed"));
    QCOMPARE(dialogs.Boxes[0].Text, QString("Invalid download file"));
    QCOMPARE(dialogs.Boxes[1].Caption, QString(kAppTitle));
    QCOMPARE(dialogs.Boxes[1].Text, QString("Invalid download file"));
    QVERIFY(dialogs.Execs.empty());
    QVERIFY(!MainWindow());
}

void TestStartup::presetFileForAChannelOpensTheWindow()
{
    VirtualClock clock;
    FakeDialogs dialogs;
    QString shown;
    dialogs.OnExec = [&](QDialog& dlg) {
        auto* w = qobject_cast<TFormDownload*>(&dlg);
        shown = w->EditFilename->text();
        return int(QDialog::Rejected); // closed by the window frame
    };
    QCOMPARE(RunDesktop({"--simulate", "--file=C:\\fw\\new image.hex", "--channel=1"}, clock), 0);
    QCOMPARE(shown, QString("C:\\fw\\new image.hex"));
    QVERIFY(dialogs.Boxes.empty());
}

void TestStartup::broken_scenarioEndsWithOne()
{
    VirtualClock clock;
    FakeDialogs dialogs;
    QTemporaryDir dir;
    const QString bad = dir.filePath("bad.json");
    WriteText(bad.toStdString(), "{ \"bridges\": [ { \"nonsense\": 1 } ] }");
    QCOMPARE(RunDesktop({"--simulate=" + bad}, clock), 1);
    QCOMPARE(dialogs.Boxes.size(), size_t(1));
    QCOMPARE(dialogs.Boxes[0].Caption, QString(kAppTitle));
    QVERIFY(!dialogs.Boxes[0].Text.isEmpty());
    QVERIFY(dialogs.Execs.empty());
    QVERIFY(!TNxDevList::Instance());
}

// --simulate=LOG replays the recorded start-up; a request the recording does
// not have first (the poll or the user's order) is skipped, not fatal.
void TestStartup::communicationLogReplaysLeniently()
{
    VirtualClock clock;
    FakeDialogs dialogs;
    QString top;
    int channels = -1;
    dialogs.OnExec = [&](QDialog& dlg) {
        auto* w = qobject_cast<TFormDownload*>(&dlg);
        if (QTreeWidgetItem* item = w->TreeViewDevice->topLevelItem(0)) {
            top = item->text(0);
            channels = item->childCount();
        }
        w->ButtonCloseClick();
        return int(QDialog::Accepted);
    };
    QTemporaryDir dir;
    QCOMPARE(RunDesktop({"--simulate", "--comlog=" + dir.path()}, clock), 0);
    const std::string log = dir.filePath("NxComLog_0.txt").toStdString();
    std::ifstream in(log, std::ios::binary);
    const std::string recorded((std::istreambuf_iterator<char>(in)), {});
    WriteText(log, "12:00:00.000: --- SEND: CmdNr=4; CmdName='GetHwName'; Timeout=2500\n"
                   "12:00:00.000: Writing...\n"
                   "12:00:00.000: SI_Write:         F0 00 04 00  52 56 00 [.....]\n" +
                       recorded);
    QCOMPARE(RunDesktop({"--simulate=" + dir.filePath("NxComLog_0.txt")}, clock), 0);
    QCOMPARE(top, QString("Replay NxComLog_0.txt (#replay-0)"));
    QCOMPARE(channels, 3);
    QVERIFY(dialogs.Boxes.empty());
}

void TestStartup::helpAndVersionPrintAndEnd_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("starts");
    QTest::newRow("version") << "--version"
                             << "nxupdate 0.5.3\n";
    QTest::newRow("help") << "--help"
                          << "Usage: nxupdate [--file=FILE";
}

void TestStartup::helpAndVersionPrintAndEnd()
{
    QFETCH(QString, option);
    QFETCH(QString, starts);
    const QString exe = NX_BINARY_DIR "/nxupdate";
    if (!QFileInfo::exists(exe))
        QSKIP("nxupdate is not built");
    QProcess p;
    // No window may open: without a display it could not even start.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "minimal-does-not-exist");
    p.setProcessEnvironment(env);
    p.start(exe, {option});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    QVERIFY2(out.startsWith(starts), qPrintable(out));
    if (option == "--help")
        for (const char* o : {"--file=", "--channel=", "--path=", "--simulate", "--comlog"})
            QVERIFY2(out.contains(o), o);
}

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
