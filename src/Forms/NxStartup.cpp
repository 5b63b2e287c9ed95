#include "NxStartup.h"

#include "Appcfg.h"
#include "CmdLine.h"
#include "History/ActionRecord.h"
#include "NxDialogs.h"
#include "NxException.h"
#include "NxUi.h"
#include "QtClock.h"
#include "Sim/SimBackend.h"
#include "TFormDownload.h"
#include "TFormFilterInfo.h"
#include "TFormVersionInfo.h"

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

// Restores the process-wide hooks the run installed, on every path.
struct HookGuard
{
    ~HookGuard()
    {
        SetNxMessages(nullptr);
        SetNxClock(nullptr);
        SetHistory("", "desktop");
    }
};

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

int NxUpdateRun(int& argc, char** argv, const NxRunSettings& settings)
{
    if (const std::optional<int> answered = AnswerGnuOption(argc, argv))
        return *answered;
    int exitCode = 0;
    QtClock qtClock;
    QtMessageSink sink;
    HookGuard hooks;
    SetNxClock(settings.Clock ? settings.Clock : &qtClock);

    std::unique_ptr<QApplication> ownApp;
    std::unique_ptr<Sim::SimBackend> sim; // outlives the list, which closes its bridges
    std::unique_ptr<TNxDevList> list;
    std::unique_ptr<QTimer> poll;
    std::unique_ptr<TFormDownload> formDownload;
    std::unique_ptr<TFormVersionInfo> formVersion;
    std::unique_ptr<TFormFilterInfo> formFilter;
    try {
        CmdLineArgs args;
        const std::string text = JoinArguments(argc, argv);
        ParseCommandLine(args, kNxOptionNames, text.c_str());
        const StartOptions opt = ApplyOptions(args);
        SetHistory(ChooseHistoryPath(opt.History, opt.Simulate.has_value()), "desktop");

        if (opt.Simulate)
            // A replayed log is lenient: the one-second poll and the user's
            // order of actions differ from the recording.
            sim = std::make_unique<Sim::SimBackend>(*opt.Simulate, /*wireTime=*/true,
                                                    /*lenient=*/true);
        list = std::make_unique<TNxDevList>();
        TNxDevList::SetInstance(list.get());

        if (!QApplication::instance()) {
            ownApp = std::make_unique<QApplication>(argc, argv);
            QApplication::setApplicationName("nxupdate");
            QApplication::setApplicationVersion(NX_PROGRAM_VERSION);
            // Desktops match the window to the installed entry and its icon.
            QGuiApplication::setDesktopFileName("nxupdate");
        }
        SetNxMessages(&sink);
        // The list's one-second poll; a tick while the list is busy is skipped by Update.
        poll = std::make_unique<QTimer>();
        QObject::connect(poll.get(), &QTimer::timeout, [] {
            // Nothing may escape into the event loop.
            try {
                if (TNxDevList* l = TNxDevList::Instance())
                    l->Update();
            } catch (const std::exception& e) {
                NxMessages().ShowMessage(e.what(), TNxDevList::kCaption,
                                         INxMessageSink::Icon::Warning);
            }
        });
        poll->start(1000);

        formDownload = std::make_unique<TFormDownload>();
        QApplication::setWindowIcon(formDownload->windowIcon());
        formVersion = std::make_unique<TFormVersionInfo>();
        formFilter = std::make_unique<TFormFilterInfo>();
        formDownload->SetForms(formVersion.get(), formFilter.get());

        QCoreApplication::processEvents();
        list->Update();
        // A communication log that cannot be written: one box, once the list is up.
        if (const std::string problem = TakeComLogProblem(); !problem.empty())
            NxMessages().ShowMessage(problem, kAppTitle, INxMessageSink::Icon::Warning);

        PostDownloadRequest(*formDownload, nullptr, opt.Channel,
                            opt.File ? opt.File->c_str() : nullptr);
        if (!formDownload->TerminateRequested())
            QApplication::exec();
    } catch (const std::exception& e) {
        if (!QApplication::instance())
            ownApp = std::make_unique<QApplication>(argc, argv);
        NxDialogs().Error(nullptr, kAppTitle, e.what());
        exitCode = 1;
    } catch (...) {
        if (!QApplication::instance())
            ownApp = std::make_unique<QApplication>(argc, argv);
        NxDialogs().Error(nullptr, kAppTitle, QString());
        exitCode = 1;
    }

    poll.reset();
    // The windows leave the list's listeners before the list goes.
    formDownload.reset();
    formFilter.reset();
    formVersion.reset();
    TNxDevList::SetInstance(nullptr);
    list.reset();
    sim.reset();
    CAppCfg::DestroyInstance();
    return exitCode;
}
