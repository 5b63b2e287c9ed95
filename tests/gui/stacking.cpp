// Every box and dialog opens above the main window and stays there, under
// a real X server with a window manager: tests/gui/with-openbox runs this on
// a private Xvfb display with openbox. While each box is open the window
// manager's stacking order (_NET_CLIENT_LIST_STACKING) is read, the main
// window is raised as a click on it would, and the order is read again.
#include "gui/DownloadFiles.h"
#include "gui/RunDesktop.h"

#include "Forms/NxDialogs.h"
#include "Forms/TFormDownload.h"
#include "NxUi.h"
#include "support/SimRig.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

class TestStacking : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void boxesOfTheWindowOpenAboveIt();
    void unattendedDownloadEndsOnTopBeforeItsBox();
    void failedUnattendedDownloadShowsBothBoxesAboveTheWindow();
};

namespace {

QString Xprop(const QStringList& args)
{
    QProcess p;
    p.start("xprop", args);
    p.waitForFinished(5000);
    return QString::fromLatin1(p.readAllStandardOutput());
}

// Managed windows, bottom to top.
std::vector<WId> Stacking()
{
    std::vector<WId> ids;
    const QString out = Xprop({"-root", "_NET_CLIENT_LIST_STACKING"});
    const QRegularExpression hex("0x[0-9a-f]+");
    for (auto it = hex.globalMatch(out.section('#', 1)); it.hasNext();)
        ids.push_back(static_cast<WId>(it.next().captured().toULongLong(nullptr, 16)));
    return ids;
}

int Level(const std::vector<WId>& stack, const QWidget* w)
{
    const auto it = std::find(stack.begin(), stack.end(), w->winId());
    return it == stack.end() ? -1 : static_cast<int>(it - stack.begin());
}

bool KeptAbove(const QWidget* w)
{
    return Xprop({"-id", QString::number(w->winId()), "_NET_WM_STATE"})
        .contains("_NET_WM_STATE_ABOVE");
}

TFormDownload* ShownWindow()
{
    TFormDownload* w = MainWindow();
    return w && w->isVisible() ? w : nullptr;
}

// One modal box as the window manager stacked it.
struct Stacked
{
    QString Title;
    bool Above = false;      // above the main window when it opened
    bool StillAbove = false; // and after the main window was raised
    bool MainOnTop = false;  // the main window kept above all others
};

// Checks each modal box once the window manager lists it, then closes it
// (as Escape would); Then runs after the check, with the box still open.
class BoxWatch : public QObject
{
public:
    BoxWatch()
    {
        connect(&m_Tick, &QTimer::timeout, this, &BoxWatch::Look);
        m_Tick.start(20);
    }
    std::vector<Stacked> Seen;
    std::function<void(QWidget* box)> Then;

private:
    void Look()
    {
        QWidget* box = QApplication::activeModalWidget();
        TFormDownload* main = ShownWindow();
        if (!box || !main || box == main || box == m_pLast || m_bBusy)
            return;
        const std::vector<WId> stack = Stacking();
        if (Level(stack, box) < 0 || Level(stack, main) < 0)
            return; // not managed yet
        m_bBusy = true;
        m_pLast = box;
        Stacked s{box->windowTitle(), Level(stack, box) > Level(stack, main)};
        s.MainOnTop = KeptAbove(main);
        main->raise(); // what a click on it asks of the window manager
        QTest::qWait(300);
        const std::vector<WId> after = Stacking();
        s.StillAbove = Level(after, box) > Level(after, main);
        Seen.push_back(s);
        if (Then)
            Then(box);
        if (auto* dlg = qobject_cast<QDialog*>(box))
            dlg->reject();
        m_bBusy = false;
    }
    QTimer m_Tick;
    QWidget* m_pLast = nullptr;
    bool m_bBusy = false;
};

// At the download's first pause, lets the window manager show the main
// window and notes whether it keeps it above the others then.
class OnTopWatch : public VirtualClock
{
public:
    void SleepMs(uint32_t ms) override
    {
        VirtualClock::SleepMs(ms);
        TFormDownload* w = ShownWindow();
        if (m_bDone || !w)
            return;
        m_bDone = true;
        for (int i = 0; i < 100 && !(Level(Stacking(), w) >= 0 && KeptAbove(w)); ++i)
            QTest::qWait(50);
        OnTopWhileRunning = KeptAbove(w);
    }
    bool OnTopWhileRunning = false;

private:
    bool m_bDone = false;
};

void VerifyAbove(const std::vector<Stacked>& seen, const QStringList& titles)
{
    QStringList shown;
    for (const Stacked& s : seen) {
        shown << s.Title;
        QVERIFY2(s.Above && s.StillAbove, qPrintable(s.Title));
        QVERIFY2(!s.MainOnTop, qPrintable(s.Title));
    }
    QCOMPARE(shown, titles);
}

} // namespace

void TestStacking::initTestCase()
{
    if (QGuiApplication::platformName() != "xcb" ||
        !Xprop({"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"))
        QSKIP("needs an X server with a window manager: run it with tests/gui/with-openbox");
}

void TestStacking::init()
{
    // A run that ended has quit the application, which ends every event
    // loop until the application's loop runs again.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

void TestStacking::boxesOfTheWindowOpenAboveIt()
{
    SimRig rig;
    rig.Install();
    QtMessageSink sink;
    SetNxMessages(&sink);
    TFormDownload w;
    rig.list.Update();
    w.InitView();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    BoxWatch watch;

    w.TreeViewDevice->setCurrentItem(w.TreeViewDevice->topLevelItem(0));
    w.ButtonVersionClick();
    w.TreeViewDevice->setCurrentItem(w.TreeViewDevice->topLevelItem(0)->child(0));
    w.ButtonResetFilterClick(); // the question, refused
    w.TreeViewDevice->setCurrentItem(nullptr);
    w.TreeViewDevice->clearSelection();
    w.ButtonVersionClick(); // "No device selected"
    // A box of the core's own (the device list's), through the message sink.
    NxMessages().ShowMessage("TNxDev::Open() failed", TNxDevList::kCaption,
                             INxMessageSink::Icon::Warning);
    SetNxMessages(nullptr);
    VerifyAbove(watch.Seen, {"Version Information", "Reset Filter change", w.windowTitle(),
                             TNxDevList::kCaption});
}

void TestStacking::unattendedDownloadEndsOnTopBeforeItsBox()
{
    QTemporaryDir dir;
    const QString hex = dir.filePath("ctl.hex");
    WriteText(hex.toStdString(), ControllerHex());
    BoxWatch watch;
    // After the result box the window stays for further use: its version
    // report opens above it too; then the user closes it.
    watch.Then = [&](QWidget*) {
        if (watch.Seen.size() != 1)
            return;
        QTimer::singleShot(0, [] {
            TFormDownload* w = ShownWindow();
            w->TreeViewDevice->setCurrentItem(w->TreeViewDevice->topLevelItem(0));
            w->ButtonVersionClick();
            w->close();
        });
    };
    OnTopWatch clock;
    QCOMPARE(RunDesktop({"--simulate", "--file=" + hex}, clock), 0);
    QVERIFY(clock.OnTopWhileRunning);
    VerifyAbove(watch.Seen, {"Nurax Update 5000 v0.5.3", "Version Information"});
}

void TestStacking::failedUnattendedDownloadShowsBothBoxesAboveTheWindow()
{
    BoxWatch watch;
    VirtualClock clock;
    QCOMPARE(RunDesktop({"--simulate", "--file"}, clock),
             1); // an empty file name: the download fails
    VerifyAbove(watch.Seen, {"Download failed", kAppTitle});
}

QTEST_MAIN(TestStacking)
#include "stacking.moc"
