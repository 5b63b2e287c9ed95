// The longest time the desktop program's event loop goes without running
// while the serial backend waits for a device: a controller behind a
// pseudo-terminal, served at the line's speed from a thread of its own (as
// nxsim does), with a component that never answers on channel 3. Run it
// under a virtual display so that the window is really shown:
//
//   xvfb-run -a build/bench_gui_stalls              the program as it is
//   xvfb-run -a build/bench_gui_stalls --blocking   ports waiting without the loop
//
// One line per case: the longest gap between two ticks of a 5 ms timer.
#include "Bridge/SerialBridge.h"
#include "Forms/NxDialogs.h"
#include "Forms/QtClock.h"
#include "Forms/TFormDownload.h"
#include "NxCom/TNxDevList.h"
#include "Sim/PtyServer.h"
#include "Sim/SimScenario.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Boxes and dialogs answer at once; the figures are about the waits.
class QuietDialogs : public INxDialogs
{
public:
    void Message(QWidget*, Icon, const QString&, const QString&, bool) override {}
    bool Question(QWidget*, const QString&, const QString&, bool) override { return true; }
    QString OpenFile(QWidget*, const QString&, const QString&, const QStringList&,
                     const QString&) override
    {
        return {};
    }
    int Exec(QDialog&) override { return QDialog::Accepted; }
};

// The clock before the window kept working in port waits.
class BlockingClock : public QtClock
{
public:
    int PollFd(pollfd& fd, int timeoutMs) override { return INxClock::PollFd(fd, timeoutMs); }
};

class StallMeter
{
public:
    StallMeter()
    {
        QObject::connect(&m_Tick, &QTimer::timeout,
                         [this] { m_Longest = std::max(m_Longest, m_Since.restart()); });
        m_Tick.setTimerType(Qt::PreciseTimer);
    }
    template <class Case> void Measure(const char* name, Case run)
    {
        m_Longest = 0;
        QElapsedTimer total;
        total.start();
        m_Since.start();
        m_Tick.start(5);
        run();
        m_Tick.stop();
        m_Longest = std::max(m_Longest, m_Since.elapsed());
        std::printf("%-40s longest stall %5lld ms  (case took %lld ms)\n", name,
                    static_cast<long long>(m_Longest), static_cast<long long>(total.elapsed()));
        std::fflush(stdout);
    }

private:
    QTimer m_Tick;
    QElapsedTimer m_Since;
    qint64 m_Longest = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const bool blocking = argc > 1 && std::strcmp(argv[1], "--blocking") == 0;

    Bridge::SimBridgeLib simLib;
    Sim::SimScenario scenario = Sim::DemoScenario();
    scenario.Bridges[0].Controller.Channels[3].Silent = true;
    const Sim::SimHandle sim = Sim::InstallScenario(simLib, scenario).front();
    Sim::PtyServer server(simLib, /*wireTime=*/true);
    server.Start();

    Bridge::SerialBridgeLib serial;
    Bridge::ScopedLib useSerial(serial);
    QtClock qtClock;
    BlockingClock blockingClock;
    ScopedClock useClock(blocking ? static_cast<INxClock&>(blockingClock) : qtClock);
    QuietDialogs dialogs;
    SetNxDialogs(&dialogs);
    TNxDevList list;
    TNxDevList::SetInstance(&list);
    int rc = 0;
    {
        TFormDownload window;
        window.InitView();
        window.show();
        StallMeter meter;
        // The port appears only now: the next update is a plug.
        ::setenv(Bridge::SerialBridgeLib::kPortsVariable, server.Ports().front().SlavePath.c_str(),
                 1);
        meter.Measure("plug, probing a silent component", [&] { window.UpdateDeviceList(); });
        if (window.DeviceCount() != 1) {
            std::fprintf(stderr, "gui_stalls: the simulated controller was not found\n");
            rc = 1;
        } else {
            QTreeWidgetItem* dev = window.TreeViewDevice->topLevelItem(0);
            window.TreeViewDevice->setCurrentItem(dev->child(2));
            meter.Measure("Version Info on a silent component",
                          [&] { window.ButtonVersionClick(); });
            window.TreeViewDevice->setCurrentItem(dev);
            meter.Measure("Version Info on the controller", [&] { window.ButtonVersionClick(); });
            meter.Measure("controller download (.hex)", [&] {
                try {
                    window.RunDownload(list.GetDev(0)->GetSerial(), 0,
                                       NX_SOURCE_DIR "/examples/incucontrol_app.hex");
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "gui_stalls: download failed: %s\n", e.what());
                    rc = 1;
                }
            });
        }
    }
    TNxDevList::SetInstance(nullptr);
    SetNxDialogs(nullptr);
    server.Stop();
    return rc;
}
