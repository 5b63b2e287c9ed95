// The files that the fault campaign and the soak send to the demo controller,
// made at test time, and what the simulated devices hold after a run, each
// as one text to compare with a clean run's.
#pragma once

#include "NxException.h"
#include "Sim/SimController.h"
#include "support/HexText.h"
#include "support/TempFolder.h"

#include <string>

// Controller image: the running application's name at its name address, two blocks.
inline std::string ControllerHex()
{
    Bytes image = Pattern(256, 3);
    const Bytes name = Name8("IncuControlApp");
    std::copy(name.begin(), name.end(), image.begin());
    return HexText({{0xC08000, image}});
}

// Component image for the channel-1 "GasProbe": name at 0x6FD0, two 128-byte blocks.
inline std::string ComponentHex()
{
    Bytes image = Pattern(160, 9);
    const Bytes name = Name8("GasProbe");
    std::copy(name.begin(), name.end(), image.begin() + 0x50);
    return HexText({{0x6F80, image}});
}

// The demo controller's parameter tables from the test data.
inline std::string TablesFile()
{
    return std::string(NX_TEST_DATA) + "/tables/incucontrol.xml";
}

// Writes controller.hex, component.hex and bundle.dat (the controller image
// beside the tables, both below the declaration) into dir.
inline void WriteCampaignFiles(const TempFolder& dir)
{
    dir.Write("controller.hex", ControllerHex());
    dir.Write("component.hex", ComponentHex());
    std::string tables = ReadFile(TablesFile());
    tables.erase(0, tables.find("<ParameterTables>"));
    dir.WriteGzip("bundle.dat", "<?xml version=\"1.0\"?>\n<HexFile>" +
                                    Base64Encode(ControllerHex()) + "</HexFile>\n" + tables);
}

inline std::string FlashState(const Sim::SimController& c)
{
    return StrFormat("flash %08X valid %d boot %d", c.FlashSum(), c.ImageValid(), c.Bootloader);
}

// The pages written into the component on channel ch, and its state.
inline std::string ComponentState(const Sim::SimController& ctl, uint8_t ch)
{
    const Sim::SimComponent& c = *ctl.Channel(ch);
    std::string out;
    for (const auto& [page, bytes] : c.Pages)
        out += StrFormat("%u:%zu:%u ", page, bytes.size(), bytes.empty() ? 0 : bytes[5]);
    return out + StrFormat("boot %d", c.Bootloader);
}

// The table identity and records the controller took.
inline std::string TableState(const Sim::SimController& c)
{
    std::string out = c.TblName + c.TblVersion + c.TblDate;
    for (const auto& t : c.TableRecords())
        out += StrFormat(" %d/%d/%zu", t.Cmd, t.Channel, t.Payload.size());
    return out;
}
