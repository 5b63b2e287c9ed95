#include "Cli/SeveralViews.h"

#include "Cli/TerminalProgress.h"
#include "NxException.h"

#include <algorithm>
#include <cstdlib>
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
        constexpr int kBar = 20;
        std::string bar = ProgressBar(r.Percent, kBar);
        bar += r.Percent >= 0 ? StrFormat("%3d%% ", r.Percent) : "     ";
        // The result word, never cut; the failure text is the summary's.
        const std::string status = r.Ended ? ResultWord(r.Result) : FirstLine(r.Text);
        if (label.size() + 2 + bar.size() + (r.Ended ? status.size() : 0) > cols - 1)
            bar.clear();
        std::string line = label + "  " + bar + status;
        if (line.size() > cols - 1)
            line.resize(cols - 1);
        out += "\r" + line + "\033[K\n";
    }
    WriteOutput(stderr, out);
    m_Drawn = m_Runs.size();
    m_bDirty = false;
    m_LastDraw = Clock::now();
}

namespace {

// The width summary lines wrap at: COLUMNS, else the terminal's; 0 (no
// wrapping) when stdout is not a terminal.
size_t SummaryWidth()
{
    if (::isatty(STDOUT_FILENO) != 1)
        return 0;
    if (const char* env = std::getenv("COLUMNS"); env && std::atoi(env) >= 20)
        return static_cast<size_t>(std::atoi(env));
    winsize ws{};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20 ? ws.ws_col : 0;
}

// text's lines, each broken at spaces into lines of at most room characters
// (a longer word stands alone).
std::vector<std::string> Wrapped(const std::string& text, size_t room)
{
    std::vector<std::string> out;
    size_t begin = 0;
    do {
        const size_t nl = text.find('\n', begin);
        std::string rest = text.substr(begin, nl == std::string::npos ? nl : nl - begin);
        while (room > 0 && rest.size() > room) {
            size_t cut = rest.rfind(' ', room);
            if (cut == std::string::npos || cut == 0)
                cut = rest.find(' ', room);
            if (cut == std::string::npos)
                break;
            out.push_back(rest.substr(0, cut));
            rest.erase(0, rest.find_first_not_of(' ', cut));
        }
        out.push_back(rest);
        begin = nl == std::string::npos ? nl : nl + 1;
    } while (begin != std::string::npos && begin < text.size());
    return out;
}

// The last column: the checksum and what runs now, or the failure; the log.
std::string Outcome(const DeviceRun& r)
{
    std::string text = r.Text;
    if (r.Result == DeviceResult::Done && !r.Version.empty())
        text += (text.empty() ? "" : ", ") + std::string("application ") + r.Version;
    if (!r.ComLog.empty())
        text += (text.empty() ? "" : "\n") + std::string("log ") +
                r.ComLog.substr(r.ComLog.rfind('/') + 1);
    return text;
}

} // namespace

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
            if (r.Result == DeviceResult::Done && !r.Version.empty())
                d["version"] = r.Version;
            if (!r.ComLog.empty())
                d["comlog"] = r.ComLog;
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
    const size_t width = SummaryWidth();
    const auto row = [&](const std::string& d, const std::string& res, const std::string& t,
                         const std::string& x) {
        const std::string head =
            StrFormat("%-*s  %-*s  %*s  ", static_cast<int>(wDev), d.c_str(),
                      static_cast<int>(wRes), res.c_str(), static_cast<int>(wTime), t.c_str());
        const size_t room =
            width == 0 ? 0 : std::max<size_t>(width - std::min(width, head.size()), 20);
        bool first = true;
        for (const std::string& part : Wrapped(x, room)) {
            std::string line = (first ? head : std::string(head.size(), ' ')) + part;
            line.erase(line.find_last_not_of(' ') + 1);
            text += line + "\n";
            first = false;
        }
    };
    row("Device", "Result", "Time", last);
    for (const DeviceRun& r : runs)
        row(Label(r.Serial), ResultWord(r.Result), Seconds(r), Outcome(r));
    text += StrFormat("%zu of %zu succeeded\n", ok, runs.size());
    PrintText(text);
}
