// The window keeps working while a real port waits for a device's bytes: the
// serial backend over a pseudo-terminal, with the desktop program's clock.
#include "gui/GuiRig.h"

#include "Bridge/SerialBridge.h"
#include "Forms/QtClock.h"
#include "Forms/TFormVersionInfo.h"
#include "Sim/PtyServer.h"
#include "Sim/SimController.h"

#include <QTimer>
#include <QtTest>

#include <cstdlib>
#include <optional>

class TestEventLoop : public QObject
{
    Q_OBJECT

private slots:
    void eventsRunWhileThePortWaits();
};

namespace {

// Lists one port for the serial backend for the scope of a test.
class ListedPort
{
public:
    explicit ListedPort(const std::string& path)
    {
        if (const char* old = std::getenv(kVar))
            m_Old = old;
        ::setenv(kVar, path.c_str(), 1);
    }
    ~ListedPort()
    {
        if (m_Old)
            ::setenv(kVar, m_Old->c_str(), 1);
        else
            ::unsetenv(kVar);
    }

private:
    static constexpr const char* kVar = Bridge::SerialBridgeLib::kPortsVariable;
    std::optional<std::string> m_Old;
};

} // namespace

void TestEventLoop::eventsRunWhileThePortWaits()
{
    // The device side: the demo controller behind a pseudo-terminal. It is
    // served from this thread's event loop and answers only while the gate
    // is open, so it is as slow as the test wants it.
    Bridge::SimBridgeLib simLib;
    const Sim::SimHandle sim = Sim::InstallScenario(simLib, Sim::DemoScenario()).front();
    Sim::PtyServer server(simLib);
    bool gateOpen = true;
    QTimer device;
    connect(&device, &QTimer::timeout, [&] {
        if (gateOpen)
            server.Poll(0);
    });
    device.start(1);

    // The host side: the real serial backend, the Qt clock, list and window.
    ListedPort port(server.Ports().front().SlavePath);
    Bridge::SerialBridgeLib serial;
    Bridge::ScopedLib useSerial(serial);
    QtClock clock;
    ScopedClock useClock(clock);
    TNxDevList list;
    TNxDevList::SetInstance(&list);
    FakeDialogs dialogs;
    {
        TFormDownload window;
        QVERIFY(list.Update()); // the probe's exchanges are answered from the loop
        QCOMPARE(window.DeviceCount(), 1);
        window.TreeViewDevice->setCurrentItem(window.TreeViewDevice->topLevelItem(0));

        // An event posted before the action: handled while its first exchange
        // waits for the reply, which the device sends only after that.
        gateOpen = false;
        size_t requestsServed = 0;
        bool handled = false, insideAction = false, dialogShownBefore = false;
        QTimer::singleShot(0, &window, [&] {
            handled = true;
            insideAction = window.ActionRunning();
            requestsServed = sim.Controller->Log().size();
            dialogShownBefore = !dialogs.Execs.empty();
            gateOpen = true;
        });
        sim.Controller->ClearLog();
        window.ButtonVersionClick();
        QVERIFY(handled);
        QVERIFY(insideAction);
        QVERIFY(!dialogShownBefore);
        QCOMPARE(requestsServed, size_t(0)); // the action waited for its first reply
        // The exchange then ended normally: the whole report was shown.
        QVERIFY(dialogs.Boxes.empty());
        QCOMPARE(dialogs.Execs, std::vector<QString>{"FormVersionInfo"});
        QVERIFY(window.VersionForm().Report().startsWith("Hardware     Name: IncuControl"));
    }
    TNxDevList::SetInstance(nullptr);
}

QTEST_MAIN(TestEventLoop)
#include "test_event_loop.moc"
