// Every target a download knows, as the simulator plays it: the demo
// controller with a component of each device profile on channels 4 to 8, an
// image for each, and the device side's own judgement of which requests
// change the device.
#pragma once

#include "Download/NxProgrammer.h"
#include "Sim/SimScenario.h"
#include "support/HexText.h"

#include <string>
#include <vector>

// The demo with one component per profile row, from channel 4 on, each
// running the row's model.
inline Sim::SimScenario ProfileScenario()
{
    auto sc = Sim::DemoScenario();
    uint8_t ch = 4;
    for (const DeviceProfile* r = kDeviceProfiles; r->IdentityAddress; ++r, ++ch) {
        Sim::SimComponent c;
        c.Identifier = ch;
        c.Capability = 1;
        c.AppName = r->ModelName;
        sc.Bridges[0].Controller.Channels[ch] = c;
    }
    return sc;
}

// Code around the row's identity address plus the name, loaded at 128 bytes.
inline Image ComponentImage(const DeviceProfile& r, const std::string& name)
{
    const uint32_t base = (r.IdentityAddress & ~0xFFFu) + 0x100;
    return {{base + 0x10, Pattern(0x160, static_cast<uint8_t>(r.BlockSize))},
            {r.IdentityAddress, Name8("." + name)}};
}

// One target in its application or its bootloader, with an image it takes.
struct TargetCase
{
    std::string What;
    int Channel;
    bool Bootloader;
    Image Img;
};

// The controller and each profile's component, in both states.
inline std::vector<TargetCase> TargetCases()
{
    // 0xF0 bytes in the code make the frames stuffed.
    Bytes code = Pattern(0x1F0, 0x11);
    code[5] = code[6] = 0xF0;
    std::vector<TargetCase> cases;
    for (bool boot : {false, true}) {
        const char* state = boot ? " in its bootloader" : "";
        cases.push_back({std::string("controller") + state,
                         0,
                         boot,
                         {{0x10, code}, {0xC08000, Name8("IncuControlApp")}}});
        uint8_t ch = 4;
        for (const DeviceProfile* r = kDeviceProfiles; r->IdentityAddress; ++r, ++ch)
            cases.push_back(
                {r->ModelName + std::string(state), ch, boot, ComponentImage(*r, r->ModelName)});
    }
    return cases;
}

// ProfileScenario with the case's target in the case's state.
inline Sim::SimScenario TargetScenario(const TargetCase& c)
{
    auto sc = ProfileScenario();
    if (c.Channel == 0)
        sc.Bridges[0].Controller.Bootloader = c.Bootloader;
    else
        sc.Bridges[0].Controller.Channels[static_cast<uint8_t>(c.Channel)].Bootloader =
            c.Bootloader;
    return sc;
}

// The requests in log that change the device, judged on the device side by
// command (relayed reads carry the access byte W as well): resets, erase,
// flash pages, checksum, table writes, and the relayed bootloader, erase,
// page, application and filter-reset commands.
inline std::vector<std::string> DeviceWrites(const std::vector<Sim::SimLogEntry>& log)
{
    std::vector<std::string> writes;
    for (const auto& e : log) {
        const bool tableText = e.Cmd >= 12 && e.Cmd <= 14 && e.Access == 'W';
        const bool relayed =
            e.Cmd == 143 && (e.Sub == 0x30 || e.Sub == 0x31 || e.Sub == 0x3C || e.Sub == 0x42);
        if ((e.Cmd >= 1 && e.Cmd <= 3) || tableText || e.Cmd == 138 || e.Cmd == 139 || relayed)
            writes.push_back(StrFormat("cmd %u sub %d", e.Cmd, e.Sub));
    }
    return writes;
}
