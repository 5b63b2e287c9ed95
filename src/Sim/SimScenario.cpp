#include "Sim/SimScenario.h"

#include "NxException.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <set>
#include <sstream>
#include <type_traits>

namespace Sim {

using nlohmann::json;

namespace {

// Rejects keys a scenario does not know, so that a typo does not pass silently.
void CheckKeys(const json& j, const char* where, std::initializer_list<const char*> keys)
{
    if (!j.is_object())
        ThrowNx("Scenario: %s must be an object", where);
    for (const auto& [key, value] : j.items()) {
        bool known = false;
        for (const char* k : keys)
            known = known || key == k;
        if (!known)
            ThrowNx("Scenario: unknown key '%s' in %s", key.c_str(), where);
    }
}

uint64_t Number(const json& v, const char* key, uint64_t max, int textBase = 0)
{
    if (v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0)) {
        const uint64_t n = v.get<uint64_t>();
        if (n <= max)
            return n;
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        const unsigned long long n = std::strtoull(s.c_str(), &end, textBase);
        if (!s.empty() && *end == 0 && n <= max)
            return n;
    }
    ThrowNx("Scenario: '%s' must be a number from 0 to %llu", key,
            static_cast<unsigned long long>(max));
}

template <class T> void Get(const json& j, const char* key, T& out, uint64_t max = 0, int base = 0)
{
    if (!j.contains(key))
        return;
    const json& v = j.at(key);
    if constexpr (std::is_same_v<T, std::string>) {
        if (!v.is_string())
            ThrowNx("Scenario: '%s' must be a text", key);
        out = v.get<std::string>();
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!v.is_boolean())
            ThrowNx("Scenario: '%s' must be true or false", key);
        out = v.get<bool>();
    } else {
        out = static_cast<T>(Number(v, key, max ? max : std::numeric_limits<T>::max(), base));
    }
}

// "application" or "bootloader"; true for the bootloader.
void GetState(const json& j, bool& bootloader)
{
    if (!j.contains("state"))
        return;
    const json& v = j.at("state");
    if (v == "bootloader")
        bootloader = true;
    else if (v == "application")
        bootloader = false;
    else
        ThrowNx("Scenario: 'state' must be \"application\" or \"bootloader\"");
}

// A match field: a number, or -1 / absent for any.
void GetMatch(const json& j, const char* key, int& out, uint64_t max)
{
    if (!j.contains(key))
        return;
    const json& v = j.at(key);
    if (v.is_number_integer() && v.get<int64_t>() == -1)
        out = -1;
    else
        out = static_cast<int>(Number(v, key, max));
}

SimComponent ParseComponent(const json& j)
{
    CheckKeys(j, "a channel",
              {"channel", "identifier", "capability", "appName", "appVersion", "appDate",
               "hwVersion", "blName", "blVersion", "blDate", "serialNumber", "state", "statusExtra",
               "runtime", "lastFilterChange", "filterInterval", "silent", "silentStatus",
               "ignoreModeChange"});
    SimComponent c;
    Get(j, "identifier", c.Identifier);
    Get(j, "capability", c.Capability);
    Get(j, "appName", c.AppName);
    Get(j, "appVersion", c.AppVersion);
    Get(j, "appDate", c.AppDate);
    Get(j, "hwVersion", c.HwVersion);
    Get(j, "blName", c.BlName);
    Get(j, "blVersion", c.BlVersion);
    Get(j, "blDate", c.BlDate);
    Get(j, "serialNumber", c.SerialNumber);
    GetState(j, c.Bootloader);
    Get(j, "statusExtra", c.StatusExtra, 0x7FFF);
    Get(j, "runtime", c.Runtime);
    Get(j, "lastFilterChange", c.LastFilterChange);
    Get(j, "filterInterval", c.FilterInterval);
    Get(j, "silent", c.Silent);
    Get(j, "silentStatus", c.SilentStatus, 1000000);
    Get(j, "ignoreModeChange", c.IgnoreModeChange);
    return c;
}

SimFault ParseFault(const json& j)
{
    CheckKeys(j, "a fault",
              {"kind", "cmd", "channel", "access", "sub", "from", "count", "execute", "errorByte",
               "garbage", "delayMs"});
    SimFault f;
    static const std::pair<const char*, SimFaultKind> kinds[] = {
        {"noReply", SimFaultKind::NoReply}, {"badChecksum", SimFaultKind::BadChecksum},
        {"reject", SimFaultKind::Reject},   {"garbage", SimFaultKind::Garbage},
        {"unplug", SimFaultKind::Unplug},   {"late", SimFaultKind::Late}};
    bool found = false;
    for (const auto& [name, kind] : kinds) {
        if (j.value("kind", std::string()) == name) {
            f.Kind = kind;
            found = true;
        }
    }
    if (!found)
        ThrowNx("Scenario: a fault needs a 'kind' of noReply, badChecksum, reject, garbage, "
                "unplug or late");
    GetMatch(j, "cmd", f.Cmd, 255);
    GetMatch(j, "channel", f.Channel, 255);
    GetMatch(j, "sub", f.Sub, 255);
    if (j.contains("access")) {
        const json& a = j.at("access");
        if (a == "R")
            f.Access = kAccessRead;
        else if (a == "W")
            f.Access = kAccessWrite;
        else
            GetMatch(j, "access", f.Access, 255);
    }
    Get(j, "from", f.From, 1000000);
    Get(j, "count", f.Count, 1000000);
    Get(j, "execute", f.Execute);
    Get(j, "errorByte", f.ErrorByte);
    Get(j, "delayMs", f.DelayMs, 600000);
    if (j.contains("garbage")) {
        f.Garbage.clear();
        for (const json& b : j.at("garbage"))
            f.Garbage.push_back(static_cast<uint8_t>(Number(b, "garbage", 255)));
    }
    if (f.From == 0)
        ThrowNx("Scenario: a fault's 'from' counts from 1");
    return f;
}

SimController ParseController(const json& j)
{
    CheckKeys(j, "a controller",
              {"state", "hwName", "hwVersion", "blName", "blVersion", "blDate", "appName",
               "appVersion", "appDate", "tblName", "tblVersion", "tblDate", "ignoreResets",
               "stayWithoutImage", "channels", "faults"});
    SimController c;
    GetState(j, c.Bootloader);
    Get(j, "hwName", c.HwName);
    Get(j, "hwVersion", c.HwVersion);
    Get(j, "blName", c.BlName);
    Get(j, "blVersion", c.BlVersion);
    Get(j, "blDate", c.BlDate);
    Get(j, "appName", c.AppName);
    Get(j, "appVersion", c.AppVersion);
    Get(j, "appDate", c.AppDate);
    Get(j, "tblName", c.TblName);
    Get(j, "tblVersion", c.TblVersion);
    Get(j, "tblDate", c.TblDate);
    Get(j, "ignoreResets", c.IgnoreResets);
    Get(j, "stayWithoutImage", c.StayWithoutImage);
    for (const json& ch : j.value("channels", json::array())) {
        if (!ch.is_object() || !ch.contains("channel"))
            ThrowNx("Scenario: every channel needs a 'channel' number");
        const auto n = static_cast<uint8_t>(Number(ch.at("channel"), "channel", 255));
        if (n == 0)
            ThrowNx("Scenario: channel numbers run from 1 to 255");
        if (!c.Channels.emplace(n, ParseComponent(ch)).second)
            ThrowNx("Scenario: channel %u is given twice", n);
    }
    for (const json& f : j.value("faults", json::array()))
        c.AddFault(ParseFault(f));
    return c;
}

} // namespace

SimScenario ParseScenario(const std::string& jsonText)
{
    // A scenario is a few levels deep; copying a deeper document recurses
    // once per level, and 100,000 levels overflow the stack.
    const json::parser_callback_t depthCheck = [](int depth, json::parse_event_t, json&) {
        if (depth > kMaxScenarioDepth)
            ThrowNx("Scenario: nested deeper than %d levels", kMaxScenarioDepth);
        return true;
    };
    json doc;
    try {
        doc = json::parse(jsonText, depthCheck);
    } catch (const json::exception& e) {
        ThrowNx("Scenario: %s", e.what());
    }
    CheckKeys(doc, "the scenario", {"bridges"});
    SimScenario s;
    std::set<std::string> serials;
    try {
        for (const json& b : doc.value("bridges", json::array())) {
            CheckKeys(b, "a bridge",
                      {"serial", "description", "vid", "pid", "plugged", "controller"});
            SimBridgeSpec spec;
            Get(b, "serial", spec.Serial);
            Get(b, "description", spec.Description);
            Get(b, "vid", spec.Vid, 0xFFFF, 16);
            Get(b, "pid", spec.Pid, 0xFFFF, 16);
            Get(b, "plugged", spec.Plugged);
            if (spec.Serial.empty())
                ThrowNx("Scenario: every bridge needs a 'serial'");
            if (!serials.insert(spec.Serial).second)
                ThrowNx("Scenario: serial '%s' is given twice", spec.Serial.c_str());
            if (b.contains("controller"))
                spec.Controller = ParseController(b.at("controller"));
            s.Bridges.push_back(std::move(spec));
        }
    } catch (const json::exception& e) {
        ThrowNx("Scenario: %s", e.what());
    }
    return s;
}

SimScenario LoadScenario(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        ThrowNx("Cannot open scenario file '%s'", path.c_str());
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseScenario(text.str());
    } catch (const NxException& e) {
        ThrowNx("%s: %s", path.c_str(), e.what());
    }
}

SimScenario DemoScenario()
{
    SimController c;
    c.HwName = "IncuControl";
    c.HwVersion = "2.1";
    c.BlName = "IncuBoot";
    c.BlVersion = "1.04";
    c.BlDate = "2019-03-12";
    c.AppName = "IncuControlApp";
    c.AppVersion = "4.2.0";
    c.AppDate = "2023-09-28";
    c.TblName = "IncuControl";
    c.TblVersion = "17";
    c.TblDate = "2023-10-02";

    SimComponent gas;
    gas.Identifier = 0x21;
    gas.Capability = 0x0001;
    gas.AppName = "GasProbe";
    gas.AppVersion = "3.10";
    gas.AppDate = "2022-05-17";
    gas.HwVersion = "B";
    gas.BlName = "ProbeBoot";
    gas.BlVersion = "1.2";
    gas.BlDate = "2018-11-06";
    gas.SerialNumber = "1330427";
    gas.Runtime = 12345;
    gas.LastFilterChange = 10000;
    gas.FilterInterval = 5000;
    c.Channels[1] = gas;

    SimComponent meridian;
    meridian.Identifier = 0x32;
    meridian.Capability = 0x0001;
    meridian.AppName = "Meridian";
    meridian.AppVersion = "1.8";
    meridian.AppDate = "2021-02-09";
    meridian.HwVersion = "C";
    meridian.BlName = "MeriBoot";
    meridian.BlVersion = "2.0";
    meridian.BlDate = "2020-07-30";
    meridian.SerialNumber = "2210058";
    meridian.Runtime = 8000;
    c.Channels[2] = meridian;

    SimComponent sensor;
    sensor.Identifier = 0x40;
    sensor.AppName = "HumiditySensor";
    sensor.AppVersion = "1.0";
    sensor.AppDate = "2017-01-20";
    sensor.HwVersion = "A";
    sensor.BlName = "SensBoot";
    sensor.BlVersion = "1.0";
    sensor.BlDate = "2016-12-01";
    c.Channels[3] = sensor;

    SimScenario s;
    s.Bridges.push_back({"0001", "Controller", 0x10C4, 0xEA60, true, c});
    return s;
}

std::vector<SimHandle> InstallScenario(Bridge::SimBridgeLib& lib, const SimScenario& scenario)
{
    std::vector<SimHandle> out;
    for (const SimBridgeSpec& b : scenario.Bridges) {
        SimHandle h;
        h.Device = lib.Add(b.Serial, b.Description, b.Vid, b.Pid);
        h.Controller = std::make_shared<SimController>(b.Controller);
        h.Device->SetPeer(h.Controller);
        if (!b.Plugged)
            h.Device->Unplug();
        out.push_back(std::move(h));
    }
    return out;
}

} // namespace Sim
