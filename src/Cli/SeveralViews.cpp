#include "Cli/SeveralViews.h"

#include "Cli/TerminalProgress.h"
#include "NxException.h"

#include <algorithm>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A terminal is redrawn at most this often, whatever the event rate.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string Label(const std::string& serial)
{
    return serial.empty() ? "(no serial)" : serial;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

std::string Seconds(const DeviceRun& r)
{
    return StrFormat("%.1f s", std::chrono::duration<double>(r.End - r.Start).count());
}

} // namespace

const char* ResultWord(DeviceResult r)
{
    switch (r) {
    case DeviceResult::Done:
        return "done";
    case DeviceResult::Busy:
        return "busy";
    case DeviceResult::Interrupted:
        return "interrupted";
    default:
        return "failed";
    }
}

void EmitJsonLine(const CliJson& event)
{
    PrintText(event.dump(-1, ' ', false, CliJson::error_handler_t::replace) + "\n");
}

StatusView::StatusView(const std::vector<DeviceRun>& runs, bool json)
    : m_Runs(runs), m_bJson(json), m_bTty(!json && ::isatty(STDERR_FILENO) == 1)
{
}

void StatusView::Changed(const DeviceRun& run)
{
    if (m_bJson)
        return;
    if (m_bTty) {
        m_bDirty = true;
        return;
    }
    WriteOutput(stderr,
                Label(run.Serial) + ": " + (run.Ended ? ResultWord(run.Result) : run.Text) + "\n");
}

StatusView::Clock::time_point StatusView::WakeAt() const
{
    return m_bDirty ? m_LastDraw + kRedrawEvery : Clock::time_point::max();
}

void StatusView::Draw()
{
    if (!m_bTty)
        return;
    winsize ws{};
    const size_t cols =
        ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20 ? ws.ws_col : 80;
    size_t width = 0;
    for (const DeviceRun& r : m_Runs)
        width = std::max(width, Label(r.Serial).size());
    width = std::min<size_t>(width, 24);
    std::string out;
    if (m_Drawn > 0)
        out += StrFormat("\033[%zuA", m_Drawn);
    for (const DeviceRun& r : m_Runs) {
        std::string label = Label(r.Serial);
        label.resize(width, ' ');
        std::string line = label + "  ";
        constexpr int kBar = 20;
        line += ProgressBar(r.Percent, kBar);
        line += r.Percent >= 0 ? StrFormat("%3d%% ", r.Percent) : "     ";
        const std::string first = FirstLine(r.Text);
        if (!r.Ended)
            line += first;
        else if (r.Result == DeviceResult::Done || r.UserStopped)
            line += ResultWord(r.Result);
        else
            line += std::string(ResultWord(r.Result)) + ": " + first;
        if (line.size() > cols - 1)
            line.resize(cols - 1);
        out += "\r" + line + "\033[K\n";
    }
    WriteOutput(stderr, out);
    m_Drawn = m_Runs.size();
    m_bDirty = false;
    m_LastDraw = Clock::now();
}

void PrintSummary(const std::vector<DeviceRun>& runs, const std::string& command, bool json)
{
    size_t ok = 0;
    for (const DeviceRun& r : runs)
        ok += r.Result == DeviceResult::Done;
    if (json) {
        CliJson devices = CliJson::array();
        for (const DeviceRun& r : runs) {
            CliJson d = {
                {"device", r.Serial},
                {"result", ResultWord(r.Result)},
                {"seconds",
                 std::chrono::round<std::chrono::milliseconds>(r.End - r.Start).count() / 1000.0}};
            if (r.Result == DeviceResult::Done && !r.Text.empty())
                d["checksum"] = r.Text;
            if (r.Result != DeviceResult::Done) {
                d["error"] = r.Text;
                d["bootloader"] = r.Bootloader;
            }
            devices.push_back(d);
        }
        EmitJsonLine({{"event", "summary"},
                      {"devices", devices},
                      {"succeeded", ok},
                      {"failed", runs.size() - ok}});
        return;
    }

    std::string text;
    // info: each report, under the device it came from.
    for (const DeviceRun& r : runs) {
        const std::string report = r.Done.is_object() ? r.Done.value("report", "") : "";
        if (report.empty())
            continue;
        text += Label(r.Serial) + ":\n";
        size_t begin = 0;
        for (size_t nl; (nl = report.find('\n', begin)) != std::string::npos; begin = nl + 1)
            text += "  " + report.substr(begin, nl - begin) + "\n";
        text += "\n";
    }
    const char* last = command == "download" ? "Checksum or failure" : "Failure";
    size_t wDev = 6, wRes = 6, wTime = 4;
    for (const DeviceRun& r : runs) {
        wDev = std::max(wDev, Label(r.Serial).size());
        wRes = std::max(wRes, std::strlen(ResultWord(r.Result)));
        wTime = std::max(wTime, Seconds(r).size());
    }
    const auto row = [&](const std::string& d, const std::string& res, const std::string& t,
                         const std::string& x) {
        std::string line =
            StrFormat("%-*s  %-*s  %*s  ", static_cast<int>(wDev), d.c_str(),
                      static_cast<int>(wRes), res.c_str(), static_cast<int>(wTime), t.c_str());
        const std::string indent(line.size(), ' ');
        size_t begin = 0;
        bool first = true;
        do {
            const size_t nl = x.find('\n', begin);
            line += (first ? "" : indent) + x.substr(begin, nl - begin);
            line.erase(line.find_last_not_of(' ') + 1);
            text += line + "\n";
            line.clear();
            first = false;
            begin = nl == std::string::npos ? nl : nl + 1;
        } while (begin != std::string::npos && begin < x.size());
    };
    row("Device", "Result", "Time", last);
    for (const DeviceRun& r : runs)
        row(Label(r.Serial), ResultWord(r.Result), Seconds(r), r.Text);
    text += StrFormat("%zu of %zu succeeded\n", ok, runs.size());
    PrintText(text);
}
