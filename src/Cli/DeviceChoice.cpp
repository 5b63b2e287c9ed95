#include "Cli/DeviceChoice.h"

#include "History/ActionRecord.h"
#include "History/HistoryDb.h"
#include "NxException.h"

#include <algorithm>
#include <fnmatch.h>

namespace {

void AddOnce(std::vector<std::string>& names, const std::string& name)
{
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
}

bool Attached(const std::string& serial, const std::vector<SNamedBridge>& bridges)
{
    return std::any_of(bridges.begin(), bridges.end(),
                       [&](const SNamedBridge& b) { return b.Serial == serial; });
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text.empty() ? "none" : text;
}

} // namespace

std::vector<std::string> ChooseDevices(const std::string& device,
                                       const std::vector<SNamedBridge>& bridges)
{
    std::vector<std::string> names;
    if (device == kAllDevices) {
        for (const SNamedBridge& b : bridges)
            AddOnce(names, b.Serial);
        if (names.empty())
            ThrowNx("No controller found. Attach one, list its serial port in NXUPDATE_PORTS, "
                    "or use --simulate.");
        return names;
    }
    std::vector<std::string> entries;
    for (size_t begin = 0, end; begin <= device.size(); begin = end + 1) {
        end = std::min(device.find(',', begin), device.size());
        entries.push_back(device.substr(begin, end - begin));
    }
    bool patterns = false;
    for (const std::string& e : entries) {
        const auto exact = std::find_if(bridges.begin(), bridges.end(), [&](const SNamedBridge& b) {
            return b.Serial == e || (!b.Port.empty() && b.Port == e);
        });
        if (exact != bridges.end()) {
            AddOnce(names, exact->Serial);
        } else if (IsDevicePattern(e)) {
            patterns = true;
            for (const SNamedBridge& b : bridges)
                if (::fnmatch(e.c_str(), b.Serial.c_str(), 0) == 0 ||
                    (!b.Port.empty() && ::fnmatch(e.c_str(), b.Port.c_str(), 0) == 0))
                    AddOnce(names, b.Serial);
        } else {
            AddOnce(names, e);
        }
    }
    if (names.empty() && patterns) {
        std::vector<std::string> found;
        for (const SNamedBridge& b : bridges)
            found.push_back(b.Port.empty() || b.Port == b.Serial ? b.Serial
                                                                 : b.Serial + " (" + b.Port + ")");
        ThrowNx("No controller matches '%s'; attached: %s", device.c_str(), Joined(found).c_str());
    }
    return names;
}

std::vector<std::string> FailedInLastRun(const std::string& path)
{
    if (path.empty())
        throw CliUsageError(std::string("--device=") + kFailedDevices +
                            " reads the service record, which is off here: name one with "
                            "--history=PATH");
    std::vector<HistoryRecord> records;
    try {
        records = HistoryDb(path, false).Select();
    } catch (const HistoryError& e) {
        throw NxException(e.what());
    }
    const std::string user = UserName(), host = HostName();
    const auto ofLastRun = [&](const HistoryRecord& r) {
        return r.Run && r.User == user && r.Host == host && !r.DryRun &&
               r.Action != HistoryAction::FilterReset;
    };
    // Records come by start time: the last run's is the last such record.
    const auto last = std::find_if(records.rbegin(), records.rend(), ofLastRun);
    std::vector<std::string> names;
    if (last == records.rend())
        return names;
    for (const HistoryRecord& r : records)
        if (ofLastRun(r) && r.Run == last->Run && r.Result != HistoryResult::Done)
            AddOnce(names, r.Serial);
    return names;
}

void CheckExpected(int expected, const std::vector<std::string>& names,
                   const std::vector<SNamedBridge>& bridges)
{
    std::vector<std::string> found, missing;
    for (const std::string& n : names)
        (Attached(n, bridges) ? found : missing).push_back(n);
    if (found.size() == static_cast<size_t>(expected))
        return;
    std::string text = StrFormat("Expected %d controller%s, found %zu: %s", expected,
                                 expected == 1 ? "" : "s", found.size(), Joined(found).c_str());
    if (!missing.empty())
        text += " (not attached: " + Joined(missing) + ")";
    throw NxException(text + ". Nothing was started.");
}
