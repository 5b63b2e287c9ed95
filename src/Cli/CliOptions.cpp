#include "CliOptions.h"

#include <algorithm>
#include <cstdlib>

namespace {

struct OptionDef
{
    const char* Name;
    unsigned Bit;      // CliOption bit, 0 for the common options
    bool NeedsValue;   // --name=value required
    bool MayHaveValue; // --name or --name=value
};

constexpr OptionDef kOptionDefs[] = {
    {"device", kOptDevice, true, true},
    {"channel", kOptChannel, true, true},
    {"file", kOptFile, true, true},
    {"reset", kOptReset, false, false},
    {"yes", kOptYes, false, false},
    {"json", kOptJson, false, false},
    {"dry-run", kOptDryRun, false, false},
    {"simulate", 0, false, true},
    {"comlog", 0, false, true},
    {"help", 0, false, false},
    {"version", 0, false, false},
    {"events", kOptEvents, false, false},
    {"history", 0, true, true},
    {"since", kOptSince, true, true},
    {"until", kOptUntil, true, true},
    {"result", kOptResult, true, true},
    {"csv", kOptCsv, false, false},
    {"verify", kOptVerify, false, false},
    {"out", kOptOut, true, true},
};

int ParseChannel(const std::string& text)
{
    // Digits only: "1x" or "-1" must not quietly become a channel.
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        throw CliUsageError("--channel needs a number from 0 to 255, not '" + text + "'");
    const int n = std::atoi(text.c_str());
    if (n > 255)
        throw CliUsageError("--channel needs a number from 0 to 255, not '" + text + "'");
    return n;
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

} // namespace

bool CliOptions::SeveralDevices() const
{
    return Device && (*Device == kAllDevices || Device->find(',') != std::string::npos);
}

std::vector<std::string> CliOptions::DeviceList() const
{
    return Device ? SplitDevices(*Device) : std::vector<std::string>{};
}

CliOptions ParseCliOptions(const std::vector<std::string>& args)
{
    CliOptions o;
    std::vector<std::string> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // The GNU short forms of the two options that stop at once.
        if (arg == "-h" || arg == "-V") {
            (arg == "-h" ? o.Help : o.Version) = true;
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

        const OptionDef* def = nullptr;
        for (const OptionDef& s : kOptionDefs)
            if (name == s.Name)
                def = &s;
        if (!def)
            throw CliUsageError("unknown option '--" + name + "'");
        for (const std::string& s : seen)
            if (s == name && name != "history") // history and report merge several files
                throw CliUsageError("--" + name + " is given twice");
        seen.push_back(name);

        if (value && !def->MayHaveValue)
            throw CliUsageError("--" + name + " takes no value");
        if (!value && def->NeedsValue) {
            if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0)
                throw CliUsageError("--" + name + " needs a value (--" + name + "=...)");
            value = args[++i];
        }
        if (def->NeedsValue && value->empty())
            throw CliUsageError("--" + name + " needs a value (--" + name + "=...)");
        o.Given |= def->Bit;

        if (name == "device") {
            o.Device = *value;
            const std::vector<std::string> list = SplitDevices(*value);
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->empty())
                    throw CliUsageError("--device: an empty serial number in '" + *value + "'");
                if (std::find(list.begin(), it, *it) != it)
                    throw CliUsageError("--device names '" + *it + "' twice");
            }
        } else if (name == "events")
            o.Events = true;
        else if (name == "channel")
            o.Channel = ParseChannel(*value);
        else if (name == "file")
            o.File = *value;
        else if (name == "reset")
            o.Reset = true;
        else if (name == "yes")
            o.Yes = true;
        else if (name == "json")
            o.Json = true;
        else if (name == "dry-run")
            o.DryRun = true;
        else if (name == "simulate") {
            o.Simulate = true;
            o.ScenarioFile = value.value_or("");
        } else if (name == "comlog") {
            o.ComLog = true;
            o.ComLogDir = value.value_or("");
        } else if (name == "history")
            o.History.push_back(*value);
        else if (name == "since")
            o.Since = *value;
        else if (name == "until")
            o.Until = *value;
        else if (name == "result")
            o.Result = *value;
        else if (name == "out")
            o.Out = *value;
        else if (name == "csv")
            o.Csv = true;
        else if (name == "verify")
            o.Verify = true;
        else if (name == "help")
            o.Help = true;
        else if (name == "version")
            o.Version = true;
    }
    return o;
}
