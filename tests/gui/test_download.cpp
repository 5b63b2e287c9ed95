// The download action from the main window: the file dialog and the
// confirmation, each file kind into the simulated demo controller or a
// component with the progress texts, every failure with its box, and the
// start-up download request.
#include "gui/DownloadFiles.h"
#include "gui/GuiRig.h"

#include "Appcfg.h"
#include "NxException.h"

#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {
const QString kUnplug = "Do not unplug the bridge or switch the incubator off until the download "
                        "has finished.";
// The question's checks only read: nothing written, nothing reset.
bool OnlyReads(Sim::SimController& c)
{
    for (int ch = 1; ch <= 3; ++ch)
        if (!c.Channel(ch)->Pages.empty() || c.Channel(ch)->Bootloader)
            return false;
    return c.PageWrites() == 0 && !c.Bootloader && c.TableRecords().empty();
}
} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fileDialogAndConfirmation();
    void questionFlagsWhatTheDownloadWouldRefuse_data();
    void questionFlagsWhatTheDownloadWouldRefuse();
    void hexIntoController();
    void hexIntoComponent();
    void xmlIntoController();
    void datIntoController_data();
    void datIntoController();
    void barCarriesTheStatusCountdownAndAttempts();
    void failures_data();
    void failures();
    void requestDownloadsAtOnceForOneDevice();
    void requestOpensWindowWithPreset();
    void requestWithoutFileOrWithSeveralDevices();
    void requestWithEmptyFileFails();

private:
    QString Path(const char* name) const { return m_Dir->filePath(name); }
    QString Write(const char* name, const std::string& text)
    {
        WriteText(Path(name).toStdString(), text);
        return Path(name);
    }
    // Button press with the file chosen and confirmed.
    void ClickDownload(GuiRig& rig, const QString& file)
    {
        rig.Dialogs.Files = {file};
        rig.Dialogs.Answers = {true};
        rig.Window().ButtonDownloadClick();
    }
    static bool Has(const RecordingForm& w, const std::string& status)
    {
        return std::find(w.Statuses.begin(), w.Statuses.end(), status) != w.Statuses.end();
    }
    bool TempFilesLeft() const { return !QDir(m_Tmp->path()).isEmpty(QDir::Files | QDir::Hidden); }

    std::unique_ptr<QTemporaryDir> m_Dir, m_Tmp;
    QByteArray m_OldTmp;
};

void TestDownload::init()
{
    m_Dir = std::make_unique<QTemporaryDir>();
    m_Tmp = std::make_unique<QTemporaryDir>();
    m_OldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_Tmp->path().toLocal8Bit()); // where .dat downloads unpack
    CAppCfg::DestroyInstance();
}

void TestDownload::cleanup()
{
    qputenv("TMPDIR", m_OldTmp);
    CAppCfg::DestroyInstance();
}

void TestDownload::fileDialogAndConfirmation()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    const QString hex = Write("ctl.hex", ControllerHex());

    // Cancelled dialog: nothing else happens.
    rig.Controller().ClearLog();
    w.ButtonDownloadClick();
    QCOMPARE(rig.Dialogs.FileCalls.size(), size_t(1));
    const FakeDialogs::FileCall& call = rig.Dialogs.FileCalls[0];
    QCOMPARE(call.Title, QString("Select download file ..."));
    QCOMPARE(call.StartDir.toStdString(), WorkingDirectory());
    QCOMPARE(call.Filters,
             QStringList({"All Files (*.hex *.xml *.dat)", "IntelHexFile (*.hex)",
                          "XML Parameter Table (*.xml)", "DAT Download File (*.dat)"}));
    QCOMPARE(call.Suffix, QString("dat"));
    QVERIFY(rig.Dialogs.Questions.empty());

    // No to the question: nothing is written, but the next dialog starts in the file's folder.
    // The question names the file's target, its least time and the device.
    rig.Dialogs.Files = {hex};
    rig.Dialogs.Answers = {false};
    w.ButtonDownloadClick();
    const QString question = "Download confirmation|Are you sure to download this file: '" + hex;
    QCOMPARE(rig.Dialogs.Questions.size(), size_t(1));
    QVERIFY(rig.Dialogs.Questions[0].startsWith(question + "'\n\nFile for: controller "
                                                           "application 'IncuControlApp'\n"
                                                           "Download time: at least "));
    QVERIFY(rig.Dialogs.Questions[0].endsWith("\nDevice: controller 0001\n\n" + kUnplug));
    QCOMPARE(rig.Dialogs.DefaultsYes, std::vector<bool>{true});
    QVERIFY(OnlyReads(rig.Controller()));
    QVERIFY(rig.Dialogs.Boxes.empty());
    w.ButtonDownloadClick();
    QCOMPARE(rig.Dialogs.FileCalls.back().StartDir, m_Dir->path() + "/");
}

void TestDownload::questionFlagsWhatTheDownloadWouldRefuse_data()
{
    QTest::addColumn<QString>("content"); // as in failures()
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("tail"); // the question's end, after the checks' reads

    const QString probe =
        "\nDevice: channel 1 of controller 0001 (identifier 0x21, serial 1330427)";
    QTest::newRow("component model matches") << "probe" << 1 << probe + "\n\n" + kUnplug;
    QTest::newRow("another component model")
        << "meridian" << 1
        << probe +
               "\n\nInvalid download file for this device (Device='GasProbe' File='Meridian')"
               "\n\n" +
               kUnplug;
    QTest::newRow("another controller application")
        << "wrongapp" << 0
        << "\nDevice: controller 0001\n\nInvalid download file for this device\n\n" + kUnplug;
    // Nothing to inspect: only the device and the reason follow the question.
    QTest::newRow("no block") << "eof" << 0
                              << "'\n\nDevice: controller 0001\n\nOpen download file first\n\n" +
                                     kUnplug;
}

void TestDownload::questionFlagsWhatTheDownloadWouldRefuse()
{
    QFETCH(QString, content);
    QFETCH(int, channel);
    QFETCH(QString, tail);
    GuiRig rig;
    rig.List.Update();
    rig.Select(0, channel);
    rig.Controller().ClearLog();
    rig.Dialogs.Files = {Write("f.hex", content == "probe"      ? ComponentHex()
                                        : content == "meridian" ? ComponentHex("Meridian", 0xEFD0)
                                        : content == "wrongapp" ? ControllerHex("OtherApp")
                                                                : ":00000001FF\n")};
    rig.Window().ButtonDownloadClick(); // answered No
    QCOMPARE(rig.Dialogs.Questions.size(), size_t(1));
    QVERIFY2(rig.Dialogs.Questions[0].endsWith(tail), qPrintable(rig.Dialogs.Questions[0]));
    // A refusal makes No the answer to Enter.
    QCOMPARE(rig.Dialogs.DefaultsYes, std::vector<bool>{content == "probe"});
    QVERIFY(OnlyReads(rig.Controller()));
}

void TestDownload::hexIntoController()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    rig.Select(0, 0);
    const QString hex = Write("ctl.HEX", ControllerHex("incucontrolapp")); // names ignore case
    ClickDownload(rig, hex);

    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QCOMPARE(rig.Dialogs.Boxes[0].Icon, INxDialogs::Icon::Information);
    QCOMPARE(rig.Dialogs.Boxes[0].Caption, w.windowTitle());
    QCOMPARE(rig.Dialogs.Boxes[0].Text, QString("Download finished successfully"));
    QCOMPARE(rig.Controller().CurrentAppName(), std::string("incucontrolapp"));

    QVERIFY(Has(w, "Reset to Bootloader ..."));
    QVERIFY(Has(w, "Clear flash"));
    QVERIFY(Has(w, "Block: 1/2 - Address: 0xC08000 - Progress: 50%"));
    QVERIFY(Has(w, "Block: 2/2 - Address: 0xC08080 - Progress: 100%"));
    QVERIFY(Has(w, "Reset to Application ..."));
    char sum[32];
    std::snprintf(sum, sizeof sum, "Checksum: 0x%08X", rig.Controller().FlashSum());
    QVERIFY(Has(w, sum));
    QVERIFY(Has(w, std::string("Download successful: ") + sum));
    QCOMPARE(w.Statuses.back(), std::string("Download finished successfully"));
    QCOMPARE(w.Progress.front(), 0u);
    QCOMPARE(w.ProgressBar1->value(), 100);

    // The controls are back, the filter button waits for a new selection.
    QVERIFY(w.TreeViewDevice->isEnabled() && w.ButtonDownload->isEnabled());
    QVERIFY(w.ButtonVersion->isEnabled() && w.ButtonClose->isEnabled());
    QVERIFY(!w.ButtonResetFilter->isEnabled());
    QCOMPARE(w.EditFilename->text(), hex);
    QCOMPARE(w.DownloadChannel(), 0);
    QVERIFY(!rig.List.Lock.IsHeld());
    QVERIFY(!w.ActionRunning());
}

void TestDownload::hexIntoComponent()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    rig.Select(0, 1);
    ClickDownload(rig, Write("probe.hex", ComponentHex()));

    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QCOMPARE(rig.Dialogs.Boxes[0].Text, QString("Download finished successfully"));
    QVERIFY(!rig.Controller().Channel(1)->Pages.empty());
    QVERIFY(Has(w, "Block: 1/2 - Address: 0x006F80 - Progress: 50%"));
    QVERIFY(Has(w, "Block: 2/2 - Address: 0x006F80 - Progress: 100%"));
    QVERIFY(Has(w, "Reset to Application ..."));
    QVERIFY(!Has(w, "Clear flash"));
    QCOMPARE(w.DownloadChannel(), 1);
    QCOMPARE(w.TreeViewDevice->currentItem(), rig.Node(0, 1));
    QVERIFY(!w.ButtonResetFilter->isEnabled()); // even though channel 1 supports it
}

void TestDownload::xmlIntoController()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    rig.Select(0, 0);
    ClickDownload(rig, Write("tables.xml", TableXml()));
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QCOMPARE(rig.Dialogs.Boxes[0].Text, QString("Download finished successfully"));
    QVERIFY(!rig.Controller().TableRecords().empty());
    QVERIFY(rig.Controller().Flash().empty() || rig.Controller().PageWrites() == 0);
    QVERIFY(w.Statuses.size() > 2);
}

void TestDownload::datIntoController_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::newRow("gzip") << true;
    QTest::newRow("plain XML") << false;
}

void TestDownload::datIntoController()
{
    QFETCH(bool, compressed);
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    rig.Select(0, 0);
    const QString dat = Path("pack.dat");
    const std::string xml = DatXml(ControllerHex());
    if (compressed)
        WriteGzip(dat.toStdString(), xml);
    else
        WriteText(dat.toStdString(), xml);
    ClickDownload(rig, dat);
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QCOMPARE(rig.Dialogs.Boxes[0].Text, QString("Download finished successfully"));
    QCOMPARE(rig.Controller().CurrentAppName(), std::string("IncuControlApp"));
    QVERIFY(!rig.Controller().TableRecords().empty());
    QVERIFY(Has(w, "Block: 2/2 - Address: 0xC08080 - Progress: 100%"));
    QVERIFY(!TempFilesLeft());
}

namespace {
// Notes what the progress bar says whenever the download pauses.
class BarWatch : public VirtualClock
{
public:
    explicit BarWatch(const TextProgressBar& bar) : m_Bar(bar) {}
    void SleepMs(uint32_t ms) override
    {
        Shown << m_Bar.FullText();
        VirtualClock::SleepMs(ms);
    }
    QStringList Shown;

private:
    const TextProgressBar& m_Bar;
};
} // namespace

void TestDownload::barCarriesTheStatusCountdownAndAttempts()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    rig.Select(0, 0);
    BarWatch watch(*w.ProgressBar1);
    ScopedClock useWatch(watch);
    rig.Controller().AddFault({Sim::SimFaultKind::NoReply, 3, -1, -1, -1, 2, 1}); // one page lost
    ClickDownload(rig, Write("ctl.hex", ControllerHex()));

    QCOMPARE(watch.Shown, QStringList({
                              "Reset to Bootloader ... - Waiting for the controller: 5 s",
                              "Block: 2/2 - Address: 0xC08080 - Progress: 100% - attempt 2 of 5",
                              "Reset to Application ... - Waiting for the controller: 2 s",
                          }));
    QCOMPARE(w.ProgressBar1->text(), QString("Download finished successfully"));
    QCOMPARE(w.ProgressBar1->palette().color(QPalette::Highlight),
             w.palette().color(QPalette::Highlight));
}

void TestDownload::failures_data()
{
    QTest::addColumn<QString>("file");    // name in the test folder
    QTest::addColumn<QString>("content"); // "ctl", "probe", "meridian", "eof", "badline", "xml",
                                          // "dat-nohex", "wrongapp", "reject"
    QTest::addColumn<QString>("serial");  // empty: the button on the selected channel
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("text"); // expected message (prefix when ending in "*")
    QTest::addColumn<bool>("silent");  // nothing may reach the controller

    QTest::newRow("other extension") << "fw.txt"
                                     << "ctl"
                                     << "" << 0 << "Invalid download file" << true;
    QTest::newRow("no extension") << "fw"
                                  << "ctl"
                                  << "" << 0 << "Invalid download file" << true;
    QTest::newRow("unknown device") << "fw.hex"
                                    << "ctl"
                                    << "9999" << 0 << "Device '9999' not found" << true;
    QTest::newRow("channel above count")
        << "fw.hex"
        << "probe"
        << "0001" << 4 << "Invalid channel for device '0001'" << true;
    QTest::newRow("negative channel")
        << "fw.hex"
        << "ctl"
        << "0001" << -1 << "Invalid channel for device '0001'" << true;
    QTest::newRow("xml to component") << "t.xml"
                                      << "xml"
                                      << "" << 1 << "File not supported in SerialMode" << true;
    QTest::newRow("dat to component") << "p.dat"
                                      << "xml"
                                      << "" << 2 << "File not supported in SerialMode" << true;
    QTest::newRow("hex read error") << "bad.hex"
                                    << "badline"
                                    << "" << 0 << "IntelHex error at line 2: *" << true;
    QTest::newRow("no block") << "empty.hex"
                              << "eof"
                              << "" << 0 << "Open download file first" << true;
    QTest::newRow("dat without HexFile") << "nohex.dat"
                                         << "dat-nohex"
                                         << "" << 0 << "Error: First Tag not found" << true;
    QTest::newRow("wrong controller image")
        << "w.hex"
        << "wrongapp"
        << "" << 0 << "Invalid download file for this device" << false;
    QTest::newRow("wrong component model")
        << "m.hex"
        << "meridian"
        << "" << 1 << "Invalid download file for this device (Device='GasProbe' File='Meridian')"
        << false;
    QTest::newRow("link failure") << "r.hex"
                                  << "reject"
                                  << "" << 0 << "'DeviceStatus' failed: *" << false;
    QTest::newRow("pages lost after the erase")
        << "l.hex"
        << "pageslost"
        << "" << 0
        << "Download of block #0/2 failed: Read timed out\nThe controller is left in its "
           "bootloader: repeat the download once it is listed again."
        << false;
    QTest::newRow("bridge pulled out")
        << "u.hex"
        << "unplug"
        << "" << 0
        << "Download of block #0/2 failed: Device IO Failed\nThe controller is left in its "
           "bootloader: repeat the download once it is listed again.\nThe bridge was "
           "disconnected: unplug it for two seconds and plug it in again."
        << false;
}

void TestDownload::failures()
{
    QFETCH(QString, file);
    QFETCH(QString, content);
    QFETCH(QString, serial);
    QFETCH(int, channel);
    QFETCH(QString, text);
    QFETCH(bool, silent);

    std::string body;
    if (content == "ctl" || content == "reject" || content == "pageslost" || content == "unplug")
        body = ControllerHex();
    else if (content == "wrongapp")
        body = ControllerHex("OtherApp");
    else if (content == "probe")
        body = ComponentHex();
    else if (content == "meridian")
        body = ComponentHex("Meridian", 0xEFD0);
    else if (content == "eof")
        body = ":00000001FF\r\n";
    else if (content == "badline")
        body = ":020000040000FA\r\n:10000000000102030405060708090A0B0C0D0E0F00\r\n:00000001FF\r\n";
    else if (content == "xml")
        body = TableXml();
    else if (content == "dat-nohex")
        body = TableXml();
    const QString path = Write(qPrintable(file), body);

    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    if (content == "reject")
        rig.Controller().AddFault({Sim::SimFaultKind::Reject, -1, -1, -1, -1, 1, 0});
    if (content == "pageslost")
        rig.Controller().AddFault({Sim::SimFaultKind::NoReply, 3, -1, -1, -1, 1, 0});
    if (content == "unplug")
        rig.Controller().AddFault({Sim::SimFaultKind::Unplug, 3});
    rig.Controller().ClearLog();

    if (serial.isEmpty()) {
        rig.Select(0, channel);
        ClickDownload(rig, path);
    } else {
        bool raised = false;
        try {
            w.RunDownload(serial.toStdString(), channel, path.toStdString());
        } catch (const NxException& e) {
            raised = true;
            QCOMPARE(QString(e.what()), rig.Dialogs.Boxes.at(0).Text);
        }
        QVERIFY(raised); // shown, then passed on to the caller
    }

    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    const ShownBox& box = rig.Dialogs.Boxes[0];
    QCOMPARE(box.Caption, QString("Download failed"));
    QCOMPARE(box.Icon, INxDialogs::Icon::Error);
    if (text.endsWith('*'))
        QVERIFY2(box.Text.startsWith(text.chopped(1)), qPrintable(box.Text));
    else
        QCOMPARE(box.Text, text);
    if (silent)
        QVERIFY(rig.Controller().Log().empty());
    QCOMPARE(w.ProgressBar1->value(), 100);
    // Full as specified, but it says so and has the error colour.
    QCOMPARE(w.ProgressBar1->text(), QString("Failed"));
    QVERIFY(w.ProgressBar1->palette().color(QPalette::Highlight) !=
            w.palette().color(QPalette::Highlight));
    QVERIFY(w.TreeViewDevice->isEnabled() && w.ButtonDownload->isEnabled());
    QVERIFY(w.ButtonClose->isEnabled());
    QVERIFY(!rig.List.Lock.IsHeld());
    QVERIFY(!TempFilesLeft());
}

void TestDownload::requestDownloadsAtOnceForOneDevice()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    const QString hex = Write("ctl.hex", ControllerHex());
    rig.Clock.Clear();
    // On top while it runs; no longer when its result box opens.
    bool onTopWhileRunning = false, onTopAtTheBox = true;
    w.OnStatus = [&] { onTopWhileRunning = bool(w.windowFlags() & Qt::WindowStaysOnTopHint); };
    rig.Dialogs.OnMessage = [&](const ShownBox&) {
        onTopAtTheBox = bool(w.windowFlags() & Qt::WindowStaysOnTopHint);
        w.OnStatus = nullptr;
    };
    PostDownloadRequest(w, nullptr, 0, hex.toUtf8().constData());
    QVERIFY(rig.Dialogs.FileCalls.empty());
    QVERIFY(rig.Dialogs.Questions.empty());
    QVERIFY(rig.Dialogs.Execs.empty()); // shown, not modal
    QVERIFY(w.isVisible());
    QVERIFY(onTopWhileRunning && !onTopAtTheBox);
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QCOMPARE(rig.Dialogs.Boxes[0].Text, QString("Download finished successfully"));
    QCOMPARE(rig.Clock.Sleeps().back(), 100u);
    QCOMPARE(rig.Controller().CurrentAppName(), std::string("IncuControlApp"));
    QVERIFY(w.FilePreset());
    QVERIFY(!w.TerminateRequested());
}

void TestDownload::requestOpensWindowWithPreset()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    const QString hex = Write("probe.hex", ComponentHex());
    bool preset = false, versionOff = false;
    QString shownFile;
    rig.Dialogs.OnExec = [&](QDialog& dlg) {
        if (&dlg != &w)
            return int(QDialog::Accepted);
        preset = w.FilePreset();
        versionOff = !w.ButtonVersion->isEnabled() && !w.EditFilename->isEnabled();
        shownFile = w.EditFilename->text();
        // The user picks the component and presses Download: no dialog, no question.
        rig.Select(0, 1);
        w.ButtonDownloadClick();
        return int(QDialog::Accepted);
    };
    PostDownloadRequest(w, nullptr, 1, hex.toUtf8().constData());
    QCOMPARE(rig.Dialogs.Execs, std::vector<QString>{"FormDownload"});
    QVERIFY(preset);
    QVERIFY(versionOff);
    QCOMPARE(shownFile, hex);
    QVERIFY(rig.Dialogs.FileCalls.empty());
    QVERIFY(rig.Dialogs.Questions.empty());
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1));
    QCOMPARE(rig.Dialogs.Boxes[0].Text, QString("Download finished successfully"));
    QVERIFY(!rig.Controller().Channel(1)->Pages.empty());
}

void TestDownload::requestWithoutFileOrWithSeveralDevices()
{
    struct Case
    {
        const char* Name;
        bool File;
        int Channel;
        bool TwoDevices;
    } cases[] = {{"no file", false, 0, false},
                 {"negative channel", true, -1, false},
                 {"two devices", true, 0, true}};
    const QString hex = Write("ctl.hex", ControllerHex());
    for (const Case& c : cases) {
        GuiRig rig;
        if (c.TwoDevices)
            rig.AddController("0002");
        rig.List.Update();
        RecordingForm& w = rig.Window();
        rig.Controller().ClearLog();
        PostDownloadRequest(w, nullptr, c.Channel, c.File ? hex.toUtf8().constData() : nullptr);
        QVERIFY2(rig.Dialogs.Execs == std::vector<QString>{"FormDownload"}, c.Name);
        QVERIFY2(rig.Dialogs.Boxes.empty(), c.Name);
        QVERIFY2(rig.Controller().Log().empty(), c.Name);
        QCOMPARE(w.FilePreset(), c.File);
        QCOMPARE(w.EditFilename->text(), c.File ? hex : QString());
    }
}

void TestDownload::requestWithEmptyFileFails()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    QString raised;
    try {
        PostDownloadRequest(w, nullptr, 0, "");
    } catch (const NxException& e) {
        raised = e.what();
    }
    QCOMPARE(raised, QString("Invalid download file"));
    QCOMPARE(rig.Dialogs.Boxes.size(), size_t(1)); // the window's own box
    QCOMPARE(rig.Dialogs.Boxes[0].Caption, QString("Download failed"));
    QVERIFY(rig.Dialogs.Execs.empty());
}

QTEST_MAIN(TestDownload)
#include "test_download.moc"
