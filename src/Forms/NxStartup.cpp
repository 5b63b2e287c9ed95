#include "Forms/NxStartup.h"

#include "Appcfg.h"
#include "CmdLine.h"
#include "History/ActionRecord.h"
#include "Forms/NxDialogs.h"
#include "Forms/PlugWatch.h"
#include "Forms/QtClock.h"
#include "Forms/TFormDownload.h"
#include "Forms/TFormFilterInfo.h"
#include "Forms/TFormVersionInfo.h"
#include "NxException.h"
#include "NxUi.h"
#include "Sim/SimBackend.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {

// Values taken from the command line.
struct StartOptions
{
    std::optional<std::string> File;
    int Channel = 0;
    std::optional<std::string> Simulate; // empty text: the built-in demo
    std::optional<std::string> History;  // --history=PATH|off
};

StartOptions ApplyOptions(const CmdLineArgs& args)
{
    StartOptions o;
    for (const CmdLineArg& a : args) {
        switch (static_cast<ENxOption>(a.OptionIndex)) {
        case ENxOption::File:
            o.File = a.Value;
            break;
        case ENxOption::Path:
            CAppCfg::Instance().SetLastDir(a.Value);
            break;
        case ENxOption::Channel:
            o.Channel = ParseChannelValue(a.Value);
            break;
        case ENxOption::Simulate:
            o.Simulate = a.Value;
            break;
        case ENxOption::ComLog:
            CAppCfg::Instance().SetComLog(true, a.Value);
            break;
        case ENxOption::History:
            o.History = a.Value;
            break;
        default:
            break;
        }
    }
    return o;
}

} // namespace

namespace {

constexpr const char* kHelp =
    "Usage: nxupdate [--file=FILE [--channel=N]] [--path=DIR] [--simulate[=FILE]]\n"
    "                [--comlog[=DIR]] [--history=PATH|off]\n"
    "Service tool for the controllers of the incubation system: lists the attached\n"
    "controllers with their components, downloads firmware and parameter tables,\n"
    "shows versions and resets the filter-change counter.\n"
    "\n"
    "  --file=FILE        preset download file (.hex, .xml or .dat); with one\n"
    "                     controller and channel 0 it is downloaded at once\n"
    "  --channel=N        the preset file's channel (0: the controller itself)\n"
    "  --path=DIR         folder the file dialog starts in\n"
    "  --simulate[=FILE]  the built-in simulator (or a scenario or communication log)\n"
    "  --comlog[=DIR]     write the communication log NxComLog_<n>.txt\n"
    "  --history=PATH     the service record of every download and reset (default:\n"
    "                     NXUPDATE_HISTORY, else $XDG_STATE_HOME/nxupdate/history.db;\n"
    "                     none for simulated devices); off: none\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Exit status: 0, or 1 when an unattended download or the start failed.\n";

// The GNU options answer before anything else starts, without a display.
std::optional<int> AnswerGnuOption(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--version") {
            const char* version = NX_PROGRAM_VERSION;
            std::printf("nxupdate %s\n", version + (version[0] == 'v' ? 1 : 0));
            return 0;
        }
    }
    return std::nullopt;
}

} // namespace

namespace {

// The parts of one run. Members go in the reverse order of their
// declaration, which is the order the end needs: the poll stops first, the
// windows leave the list's listeners before the list goes, the list closes
// its bridges before the simulator behind them goes, then the configuration,
// the application object and last the hooks that point at the clock and
// the message sink.
struct RunParts
{
    explicit RunParts(INxClock* clock) { SetNxClock(clock ? clock : &QtTime); }
    RunParts(const RunParts&) = delete;
    RunParts& operator=(const RunParts&) = delete;

    // Creates the application object unless there is one (a test's).
    void EnsureApplication(int& argc, char** argv)
    {
        if (!QApplication::instance())
            OwnApp = std::make_unique<QApplication>(argc, argv);
    }
    // The poll's and a plug's update; nothing may escape into the event loop.
    void UpdateList()
    {
        try {
            if (Window)
                Window->UpdateDeviceList();
            else if (List)
                List->Update();
        } catch (const std::exception& e) {
            NxMessages().ShowMessage(e.what(), TNxDevList::kCaption, INxMessageSink::Icon::Warning);
        }
    }

    QtClock QtTime;
    QtMessageSink Sink;
    struct HooksEnd
    {
        ~HooksEnd()
        {
            SetNxMessages(nullptr);
            SetNxClock(nullptr);
            SetHistory("", "desktop");
        }
    } Hooks;
    std::unique_ptr<QApplication> OwnApp;
    struct ConfigEnd
    {
        ~ConfigEnd() { CAppCfg::DestroyInstance(); }
    } Config;
    std::unique_ptr<Sim::SimBackend> Sim;
    std::unique_ptr<TNxDevList> List; // clears the process-wide pointer as it goes
    std::unique_ptr<TFormDownload> Window;
    std::unique_ptr<TFormVersionInfo> VersionForm; // owned by the window's frame, gone first
    std::unique_ptr<TFormFilterInfo> FilterForm;
    std::unique_ptr<QTimer> Poll;
    std::unique_ptr<PlugWatch> Plugs;
};

} // namespace

int NxUpdateRun(int& argc, char** argv, const NxRunSettings& settings)
{
    if (const std::optional<int> answered = AnswerGnuOption(argc, argv))
        return *answered;
    int exitCode = 0;
    RunParts run(settings.Clock);
    try {
        CmdLineArgs args;
        const std::string text = JoinArguments(argc, argv);
        ParseCommandLine(args, kNxOptionNames, text.c_str());
        const StartOptions opt = ApplyOptions(args);
        SetHistory(ChooseHistoryPath(opt.History, opt.Simulate.has_value()), "desktop");

        if (opt.Simulate)
            // A replayed log is lenient: the one-second poll and the user's
            // order of actions differ from the recording.
            run.Sim = std::make_unique<Sim::SimBackend>(*opt.Simulate, /*wireTime=*/true,
                                                        /*lenient=*/true);
        run.List = std::make_unique<TNxDevList>();
        TNxDevList::SetInstance(run.List.get());

        if (!QApplication::instance()) {
            run.EnsureApplication(argc, argv);
            QApplication::setApplicationName("nxupdate");
            QApplication::setApplicationVersion(NX_PROGRAM_VERSION);
            // Desktops match the window to the installed entry and its icon.
            QGuiApplication::setDesktopFileName("nxupdate");
        }
        SetNxMessages(&run.Sink);
        // The list's one-second poll; a tick while an exchange waits is kept
        // for its end, one while the list is busy is skipped by Update.
        run.Poll = std::make_unique<QTimer>();
        QObject::connect(run.Poll.get(), &QTimer::timeout, [&run] { run.UpdateList(); });
        run.Poll->start(1000);
        // Real bridges also announce themselves through udev.
        if (!opt.Simulate)
            run.Plugs = std::make_unique<PlugWatch>([&run] { run.UpdateList(); });

        run.Window = std::make_unique<TFormDownload>();
        QApplication::setWindowIcon(run.Window->windowIcon());
        run.VersionForm = std::make_unique<TFormVersionInfo>(run.Window.get());
        run.FilterForm = std::make_unique<TFormFilterInfo>(run.Window.get());
        run.Window->SetForms(run.VersionForm.get(), run.FilterForm.get());

        QCoreApplication::processEvents();
        run.UpdateList();

        PostDownloadRequest(*run.Window, nullptr, opt.Channel,
                            opt.File ? opt.File->c_str() : nullptr);
        if (!run.Window->TerminateRequested())
            QApplication::exec();
    } catch (const std::exception& e) {
        run.EnsureApplication(argc, argv);
        NxDialogs().Error(run.Window.get(), kAppTitle, e.what());
        exitCode = 1;
    } catch (...) {
        run.EnsureApplication(argc, argv);
        NxDialogs().Error(run.Window.get(), kAppTitle, QString());
        exitCode = 1;
    }
    return exitCode;
}
