// How soon the desktop program's tree follows a bridge plugged in or pulled
// out: from udev's event to the start of the device-list update (goal: 300
// ms), and on to the controller's node in the tree or its removal (the
// probe of its channels takes the time the protocol gives it). The bridges
// are a umockdev testbed's, each with the simulated demo controller behind
// it; the program restarts itself inside tests/umockdev/usb_testbed.py.
// The one-second poll is off, so only udev can have started an update.
//
//   build/bench_plug_latency [ROUNDS]     (default 5; needs build/nxsim)
#include "Forms/NxDialogs.h"
#include "Forms/PlugWatch.h"
#include "Forms/TFormDownload.h"
#include "NxCom/TNxDevList.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kCtl = "NX_USB_TESTBED_CTL";

double Now()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One command to the testbed, its reply line. The program's events run
// meanwhile, as the testbed sends a uevent before it has finished.
std::string Ask(const std::string& command)
{
    int to = -1, from = -1;
    if (std::sscanf(std::getenv(kCtl), "%d,%d", &to, &from) != 2)
        return "no testbed";
    const std::string line = command + "\n";
    if (::write(to, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "cannot write";
    std::string reply;
    for (;;) {
        pollfd p{from, POLLIN, 0};
        if (::poll(&p, 1, 1) == 0) {
            QCoreApplication::processEvents();
            continue;
        }
        char c = 0;
        if (::read(from, &c, 1) != 1 || c == '\n')
            return reply;
        reply += c;
    }
}

// The testbed's time of its last uevent.
double LastUevent()
{
    const std::string reply = Ask("last-uevent");
    return reply.rfind("ok ", 0) == 0 ? std::atof(reply.c_str() + 3) : -1;
}

// Boxes answer at once; the figures are about the tree.
class QuietDialogs : public INxDialogs
{
public:
    void Message(QWidget*, Icon, const QString&, const QString& text, bool) override
    {
        std::fprintf(stderr, "plug_latency: box: %s\n", qPrintable(text));
    }
    bool Question(QWidget*, const QString&, const QString&, bool) override { return false; }
    QString OpenFile(QWidget*, const QString&, const QString&, const QStringList&,
                     const QString&) override
    {
        return {};
    }
    int Exec(QDialog&) override { return QDialog::Rejected; }
};

void Report(const char* what, std::vector<double> ms, const char* goal)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %7.1f ms  max %7.1f ms  %s\n", what, ms[ms.size() / 2], ms.back(),
                goal);
}

// Starts this program again inside the testbed, with rounds bridges unplugged.
int RunInTestbed(int rounds, char** argv)
{
    std::string bridges = "[";
    for (int i = 0; i < rounds; ++i)
        bridges += std::string(i ? "," : "") + "{\"node\": \"ttyUSB" + std::to_string(i) +
                   "\", \"serial\": \"" + std::to_string(1001 + i) +
                   "\", \"product\": \"Incubator Controller\", \"plugged\": false}";
    bridges += "]";
    const std::string fixture = NX_SOURCE_DIR "/tests/umockdev/usb_testbed.py";
    const std::string opt = "--bridges=" + bridges;
    const std::string sim = "--nxsim=" NX_BINARY_DIR "/nxsim";
    const std::string timeout = "--timeout=" + std::to_string(30 + 10 * rounds);
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 2;
    const std::string count = std::to_string(rounds);
    std::vector<const char*> args{
        "/usr/bin/python3", fixture.c_str(), opt.c_str(), sim.c_str(), timeout.c_str(), "--", self,
        count.c_str(),      nullptr};
    ::execv(args[0], const_cast<char* const*>(args.data()));
    std::perror("plug_latency: python3");
    (void)argv;
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!std::getenv(kCtl))
        return RunInTestbed(rounds, argv);
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QuietDialogs dialogs;
    SetNxDialogs(&dialogs);
    TNxDevList list;
    TNxDevList::SetInstance(&list);
    int rc = 0;
    {
        TFormDownload window;
        window.InitView();
        double started = 0;
        PlugWatch plugs([&] {
            started = Now();
            window.UpdateDeviceList();
        });
        if (!plugs.Active()) {
            std::fprintf(stderr, "plug_latency: udev cannot be reached\n");
            return 1;
        }
        // Waits, turning the event loop, until the tree holds count controllers.
        const auto waitFor = [&](int count) {
            QElapsedTimer t;
            t.start();
            while (window.DeviceCount() != count && t.elapsed() < 10000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            return window.DeviceCount() == count;
        };
        std::vector<double> toUpdate, toTree, toGone;
        for (int i = 0; i < rounds && rc == 0; ++i) {
            const std::string node = "ttyUSB" + std::to_string(i);
            started = 0;
            if (Ask("plug " + node) != "ok" || !waitFor(1)) {
                std::fprintf(stderr, "plug_latency: %s was not listed\n", node.c_str());
                rc = 1;
                break;
            }
            const double shown = Now(), sent = LastUevent();
            toUpdate.push_back((started - sent) * 1000);
            toTree.push_back((shown - sent) * 1000);
            if (Ask("unplug " + node) != "ok" || !waitFor(0)) {
                std::fprintf(stderr, "plug_latency: %s was not removed\n", node.c_str());
                rc = 1;
                break;
            }
            toGone.push_back((Now() - LastUevent()) * 1000);
        }
        if (rc == 0) {
            Report("plug: udev event to the list's update", toUpdate, "(goal: under 300 ms)");
            Report("plug: udev event to the controller in the tree", toTree, "(probe included)");
            Report("unplug: udev event to the node's removal", toGone, "");
        }
    }
    TNxDevList::SetInstance(nullptr);
    SetNxDialogs(nullptr);
    return rc;
}
