#include "Cli/CliOptions.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

enum class Arg
{
    None,     // --name
    Optional, // --name or --name=value
    Required, // --name=value or --name value
};

using Setter = void (*)(CliOptions&, const std::string& value); // value: "" when none

// One option: everything the parser, the usage text and the messages know of it.
struct OptionDef
{
    const char* Name;
    Arg Argument;
    const char* ValueName; // in the usage text: --channel=N
    const char* Commands;  // the commands that take it, separated by spaces; null: every command
    Setter Set;
    const char* Help;     // its lines in the usage text; a line that starts with "--" is
                          // another form of the option; null: named in the synopses only
    char Short = 0;       // -h
    bool Repeats = false; // may be given more than once
};

template <bool CliOptions::*Member> void Flag(CliOptions& o, const std::string&)
{
    o.*Member = true;
}

void AddHistory(CliOptions& o, const std::string& value)
{
    o.History.push_back(value);
}

template <std::optional<std::string> CliOptions::*Member>
void Text(CliOptions& o, const std::string& value)
{
    o.*Member = value;
}

// An option whose value is optional: given, with the value or "".
template <bool CliOptions::*Member, std::string CliOptions::*Value>
void FlagAndText(CliOptions& o, const std::string& value)
{
    o.*Member = true;
    o.*Value = value;
}

// Splits A,B,C; empty when text names one device.
std::vector<std::string> SplitDevices(const std::string& text)
{
    std::vector<std::string> out;
    if (text.find(',') == std::string::npos)
        return out;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find(',', begin);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return out;
}

void SetDevice(CliOptions& o, const std::string& value)
{
    o.Device = value;
    const std::vector<std::string> list = SplitDevices(value);
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->empty())
            throw CliUsageError("--device: an empty serial number in '" + value + "'");
        if (std::find(list.begin(), it, *it) != it)
            throw CliUsageError("--device names '" + *it + "' twice");
        if (*it == kFailedDevices || *it == kAllDevices)
            throw CliUsageError(std::string("--device=") + *it + " stands alone, not in a list");
    }
}

// A count of devices: digits only, 1 to 999.
template <std::optional<int> CliOptions::*Member>
void SetCount(CliOptions& o, const std::string& text)
{
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::atoi(text.c_str()) < 1)
        throw CliUsageError("--" + std::string(Member == &CliOptions::Expect ? "expect" : "jobs") +
                            " needs a number from 1 to 999, not '" + text + "'");
    o.*Member = std::atoi(text.c_str());
}

void SetChannel(CliOptions& o, const std::string& text)
{
    // Digits only: "1x" or "-1" must not quietly become a channel.
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::atoi(text.c_str()) > 255)
        throw CliUsageError("--channel needs a number from 0 to 255, not '" + text + "'");
    o.Channel = std::atoi(text.c_str());
}

constexpr const char* kEvery = nullptr; // every command takes it
// The commands that run on several devices at once, one process each
// telling its events.
constexpr const char* kSeveral = "info download reset";

// In this order in the usage text, and the first of several options a
// command does not take is the one named.
const OptionDef kOptions[] = {
    {"device", Arg::Required, "SERIAL", "list info download filter reset history report", SetDevice,
     "the controller's bridge serial number or port (needed when\n"
     "several are attached)\n"
     "--device=A,B,...  info, download, reset: on every listed controller at once,\n"
     "--device=all      on every attached one, on those whose serial number or port\n"
     "--device='A1*'    matches a shell pattern, or on those that failed, were busy\n"
     "--device=@failed  or were interrupted in your last download or reset on\n"
     "several (read from the service record); a live line per\n"
     "device, then a summary; exit code 0 only when every device\n"
     "succeeded"},
    {"expect", Arg::Required, "N", "info download reset", SetCount<&CliOptions::Expect>,
     "with several devices: start nothing (exit code 1) unless\n"
     "exactly N controllers match"},
    {"jobs", Arg::Required, "N", "info download reset", SetCount<&CliOptions::Jobs>,
     "with several devices: at most N at once (default: all)"},
    {"channel", Arg::Required, "N", "info download filter reset inspect", SetChannel,
     "the component on channel N; 0 or none: the controller"},
    {"file", Arg::Required, "PATH", "download inspect", Text<&CliOptions::File>, nullptr},
    {"reset", Arg::None, nullptr, "filter", Flag<&CliOptions::Reset>, nullptr},
    {"yes", Arg::None, nullptr, "filter", Flag<&CliOptions::Yes>, nullptr},
    {"simulate", Arg::Optional, "FILE", kEvery,
     FlagAndText<&CliOptions::Simulate, &CliOptions::ScenarioFile>,
     "run on the simulator: the demo, or a scenario file; a\n"
     "communication log (or a folder of them) is replayed"},
    {"comlog", Arg::Optional, "DIR", kEvery,
     FlagAndText<&CliOptions::ComLog, &CliOptions::ComLogDir>,
     "write the communication log NxComLog_<n>.txt into DIR\n"
     "(default: the parent folder of the working directory)"},
    {"history", Arg::Required, "PATH|off", kEvery, AddHistory,
     "the service record every download, reset and filter reset\n"
     "is written to (default: NXUPDATE_HISTORY, else\n"
     "$XDG_STATE_HOME/nxupdate/history.db; none with --simulate);\n"
     "off: none; history and report read every one given",
     0, true},
    {"json", Arg::None, nullptr, kEvery, Flag<&CliOptions::Json>,
     "print one JSON document (list, info, filter, bridges,\n"
     "inspect); with several devices, one JSON line per event\n"
     "and a summary line"},
    {"since", Arg::Required, "DATE", "history report", Text<&CliOptions::Since>,
     "--since=DATE, --until=DATE  history, report: 2026-12-07 or\n"
     "2026-12-07T14:30[+01:00]; a date alone is that whole day"},
    {"until", Arg::Required, "DATE", "history report", Text<&CliOptions::Until>, nullptr},
    {"result", Arg::Required, "R", "history", Text<&CliOptions::Result>,
     "history: done, failed, busy, interrupted or refused"},
    {"csv", Arg::None, nullptr, "history", Flag<&CliOptions::Csv>,
     "history: CSV with a header line (RFC 4180)"},
    {"verify", Arg::None, nullptr, "history", Flag<&CliOptions::Verify>,
     "history: check the record's hash chain, print its head"},
    {"out", Arg::Required, "FILE.html", "report", Text<&CliOptions::Out>,
     "report: the page to write"},
    {"dry-run", Arg::None, nullptr, "download", Flag<&CliOptions::DryRun>,
     "download: run the checks a download makes before its\n"
     "first write and say what it would do; nothing is written"},
    {"events", Arg::Optional, "RUN", "list info download reset",
     FlagAndText<&CliOptions::Events, &CliOptions::Run>,
     "one JSON line per event of one device (info, download,\n"
     "reset): what a run on several devices reads from each"},
    {"help", Arg::None, nullptr, kEvery, Flag<&CliOptions::Help>, "print this help and exit", 'h'},
    {"version", Arg::None, nullptr, kEvery, Flag<&CliOptions::Version>,
     "print the version and exit", 'V'},
};

const OptionDef* Find(const std::string& name)
{
    for (const OptionDef& def : kOptions)
        if (name == def.Name)
            return &def;
    return nullptr;
}

const OptionDef* FindShort(char name)
{
    for (const OptionDef& def : kOptions)
        if (def.Short == name)
            return &def;
    return nullptr;
}

bool Takes(const char* commands, const std::string& command)
{
    return !commands ||
           (" " + std::string(commands) + " ").find(" " + command + " ") != std::string::npos;
}

// --name, --name=VALUE or --name[=VALUE].
std::string Form(const OptionDef& def)
{
    std::string s = std::string("--") + def.Name;
    if (def.Argument == Arg::Required)
        s += std::string("=") + def.ValueName;
    else if (def.Argument == Arg::Optional)
        s += std::string("[=") + def.ValueName + "]";
    return s;
}

} // namespace

bool IsDevicePattern(const std::string& name)
{
    return name.find_first_of("*?[") != std::string::npos;
}

bool CliOptions::SeveralDevices() const
{
    return Device && (*Device == kAllDevices || *Device == kFailedDevices ||
                      Device->find(',') != std::string::npos || IsDevicePattern(*Device));
}

CliOptions ParseCliOptions(const std::vector<std::string>& args)
{
    CliOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // The GNU short forms of the two options that stop at once.
        if (const OptionDef* def = arg.size() == 2 && arg[0] == '-' ? FindShort(arg[1]) : nullptr) {
            def->Set(o, "");
            continue;
        }
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            if (arg.rfind("-", 0) == 0)
                throw CliUsageError("unknown option '" + arg + "'");
            if (!o.Command.empty())
                throw CliUsageError("unexpected argument '" + arg + "'");
            o.Command = arg;
            continue;
        }

        const size_t eq = arg.find('=');
        const std::string name =
            arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        std::optional<std::string> value;
        if (eq != std::string::npos)
            value = arg.substr(eq + 1);

        const OptionDef* def = Find(name);
        if (!def)
            throw CliUsageError("unknown option '--" + name + "'");
        if (!def->Repeats && std::find(o.Given.begin(), o.Given.end(), name) != o.Given.end())
            throw CliUsageError("--" + name + " is given twice");
        o.Given.push_back(name);

        if (value && def->Argument == Arg::None)
            throw CliUsageError("--" + name + " takes no value");
        if (def->Argument == Arg::Required) {
            if (!value && i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0)
                value = args[++i];
            if (!value || value->empty())
                throw CliUsageError("--" + name + " needs a value (--" + name + "=...)");
        }
        def->Set(o, value.value_or(""));
    }
    return o;
}

void CheckOptionsOf(const std::string& command, const CliOptions& opts)
{
    for (const OptionDef& def : kOptions)
        if (!Takes(def.Commands, command) &&
            std::find(opts.Given.begin(), opts.Given.end(), def.Name) != opts.Given.end())
            throw CliUsageError(command + " does not take --" + def.Name);
    if (opts.SeveralDevices() && !Takes(kSeveral, command))
        throw CliUsageError(command + " works on one device at a time: --device=SERIAL");
    if (opts.SeveralDevices() && opts.Events)
        throw CliUsageError("--events goes with one device; with several, --json gives the events");
    for (const char* name : {"expect", "jobs"})
        if (!opts.SeveralDevices() &&
            std::find(opts.Given.begin(), opts.Given.end(), name) != opts.Given.end())
            throw CliUsageError(std::string("--") + name +
                                " goes with several devices: --device=all, a list, a pattern "
                                "or @failed");
}

std::string CommonOptionsUsage()
{
    std::string line;
    for (const OptionDef& def : kOptions)
        if (!def.Commands)
            line += (line.empty() ? "" : "  ") + Form(def);
    return line;
}

std::string OptionsHelp()
{
    std::string text;
    for (const OptionDef& def : kOptions) {
        if (!def.Help)
            continue;
        std::string form = (def.Short ? std::string("-") + def.Short + ", " : "") + Form(def);
        // A form too long for its column stands on a line of its own.
        std::string head = "  " + form + "\n" + std::string(20, ' ');
        if (form.size() <= 17)
            head = "  " + form + std::string(18 - form.size(), ' ');
        std::istringstream lines(def.Help);
        std::string line;
        for (; std::getline(lines, line); head.assign(20, ' '))
            text += (line.rfind("--", 0) == 0 ? "  " : head) + line + "\n";
    }
    return text;
}
